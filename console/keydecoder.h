// Turns the bytes a terminal sends for key presses into the PC keyboard's key
// codes: characters as their code (UTF-8 decoded, those above 255 passed
// over) and extended keys as a lead code, 0 or 224, followed by a second code.
// Pure: it sees bytes only, so it can be driven without a terminal.
#pragma once

struct KeyDecoder {
  int state = 0;  // where in an escape or UTF-8 sequence the bytes so far leave off
  // Parameter bytes of a control sequence between its introducer and final byte.
  unsigned char params[16] = {};
  int paramLength = 0;
  bool paramsOverflowed = false;  // too long for any key: skipped once it ends
  unsigned int utf8Value = 0;
  int utf8Missing = 0;
  int utf8Length = 0;
  // Decoded codes not yet taken, oldest at `first`.
  int codes[8] = {};
  int first = 0;
  int count = 0;
};

// Takes the next byte from the terminal. Take the decoded codes before
// feeding more: at most three come of one byte, and the queue keeps eight.
void keyDecoderFeed(KeyDecoder& decoder, unsigned char byte);
// True while the bytes so far are the start of a longer sequence.
bool keyDecoderInSequence(const KeyDecoder& decoder);
// Ends an unfinished sequence because nothing followed in time or input ended:
// a lone Escape is the key 27; other fragments become what they most likely were.
void keyDecoderFlush(KeyDecoder& decoder);
// The next decoded code, or -1 when none is waiting.
int keyDecoderTake(KeyDecoder& decoder);
