#include "keydecoder.h"

namespace {

enum State { ground, escape, csi, csiBracket, ss3, utf8 };

constexpr int escapeByte = 0x1b;

// Extended keys and their codes plain, with Shift, with Ctrl and with Alt, as
// the PC keyboard delivers them: lead code, second code.
enum Key { home, up, pageUp, left, right, end, down, pageDown, insert, del, f1 };
struct KeyCodes {
  unsigned char plain[2], shift[2], ctrl[2], alt[2];
};
constexpr KeyCodes cursorKeys[] = {{{224, 71}, {224, 71}, {224, 119}, {0, 151}},   // Home
                                   {{224, 72}, {224, 72}, {224, 141}, {0, 152}},   // Up
                                   {{224, 73}, {224, 73}, {224, 134}, {0, 153}},   // Page Up
                                   {{224, 75}, {224, 75}, {224, 115}, {0, 155}},   // Left
                                   {{224, 77}, {224, 77}, {224, 116}, {0, 157}},   // Right
                                   {{224, 79}, {224, 79}, {224, 117}, {0, 159}},   // End
                                   {{224, 80}, {224, 80}, {224, 145}, {0, 160}},   // Down
                                   {{224, 81}, {224, 81}, {224, 118}, {0, 161}},   // Page Down
                                   {{224, 82}, {224, 82}, {224, 146}, {0, 162}},   // Insert
                                   {{224, 83}, {224, 83}, {224, 147}, {0, 163}}};  // Delete

// Modifier bits as xterm counts them in its parameter (the parameter is 1 + bits).
constexpr int shiftBit = 1, altBit = 2, ctrlBit = 4, metaBit = 8;

void push(KeyDecoder& d, int code) {
  if (d.count == static_cast<int>(sizeof d.codes / sizeof d.codes[0])) return;
  d.codes[(d.first + d.count) % 8] = code;
  ++d.count;
}

void pushPair(KeyDecoder& d, int lead, int second) {
  push(d, lead);
  push(d, second);
}

// Key is a cursor-block key (home..del) or f1 + n for F(n+1), n from 0 to 11.
void pushKey(KeyDecoder& d, int key, int modifiers) {
  bool alt = modifiers & (altBit | metaBit), ctrl = modifiers & ctrlBit,
       shift = modifiers & shiftBit;
  if (key < f1) {
    const KeyCodes& k = cursorKeys[key];
    const unsigned char* c = alt ? k.alt : ctrl ? k.ctrl : shift ? k.shift : k.plain;
    pushPair(d, c[0], c[1]);
    return;
  }
  int n = key - f1;
  if (n < 10) {
    pushPair(d, 0, (alt ? 104 : ctrl ? 94 : shift ? 84 : 59) + n);
  } else {
    pushPair(d, 224, (alt ? 139 : ctrl ? 137 : shift ? 135 : 133) + (n - 10));
  }
}

// Alt with a character key: the terminal sends ESC and the character, the PC
// keyboard a lead 0 and the key's scan code. False when there is no such code.
bool pushAlt(KeyDecoder& d, unsigned char c) {
  struct Row {
    const char* keys;
    int firstScanCode;
  };
  static constexpr Row rows[] = {
      {"1234567890-=", 120}, {"qwertyuiop[]", 16}, {"asdfghjkl;'`", 30}, {"\\zxcvbnm,./", 43}};
  if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
  int scanCode = c == '\r' ? 28 : c == 0x7f || c == '\b' ? 14 : -1;
  for (const Row& row : rows) {
    for (int i = 0; scanCode < 0 && row.keys[i]; ++i) {
      if (row.keys[i] == c) scanCode = row.firstScanCode + i;
    }
  }
  if (scanCode < 0) return false;
  pushPair(d, 0, scanCode);
  return true;
}

// The numbers of a sequence's parameters; false when it holds anything else.
bool parseParams(const KeyDecoder& d, int numbers[2], int& found) {
  numbers[0] = numbers[1] = -1;
  found = 0;
  int value = -1;
  for (int i = 0; i <= d.paramLength; ++i) {
    unsigned char c = i < d.paramLength ? d.params[i] : ';';
    if (c >= '0' && c <= '9') {
      value = (value < 0 ? 0 : value) * 10 + (c - '0');
      if (value > 9999) value = 9999;
    } else if (c == ';') {
      if (found < 2) numbers[found] = value;
      ++found;
      value = -1;
    } else {
      return false;
    }
  }
  if (d.paramLength == 0) found = 0;
  return found <= 2;
}

int modifiersOf(int parameter) {
  return parameter >= 2 ? parameter - 1 : 0;
}

// xterm's letter keys: ESC [ A, ESC O P and the like.
int cursorKeyForLetter(unsigned char c) {
  static constexpr char letters[] = "ABCDHFPQRS";
  static constexpr int keys[] = {up, down, right, left, home, end, f1, f1 + 1, f1 + 2, f1 + 3};
  for (int i = 0; letters[i]; ++i) {
    if (letters[i] == c) return keys[i];
  }
  return -1;
}

// VT220 numbered keys: ESC [ n ~ (rxvt also 7 and 8 for Home and End).
int keyForNumber(int n) {
  static constexpr int keys[] = {-1,     home,   insert,  del,    end,    pageUp, pageDown,
                                 home,   end,    -1,      -1,     f1,     f1 + 1, f1 + 2,
                                 f1 + 3, f1 + 4, -1,      f1 + 5, f1 + 6, f1 + 7, f1 + 8,
                                 f1 + 9, -1,     f1 + 10, f1 + 11};
  return n >= 0 && n < static_cast<int>(sizeof keys / sizeof keys[0]) ? keys[n] : -1;
}

// A complete ESC [ sequence; anything that is no key press (mouse or focus
// reports, pasted-text markers, answers to queries) is passed over.
void finishCsi(KeyDecoder& d, unsigned char final) {
  int p[2];
  int found;
  if (d.paramsOverflowed || !parseParams(d, p, found)) return;
  int key = cursorKeyForLetter(final);
  if (key >= 0) {
    if (p[0] <= 1) pushKey(d, key, modifiersOf(p[1]));
    return;
  }
  switch (final) {
    case 'Z':  // Shift+Tab
      if (found == 0) pushPair(d, 0, 15);
      return;
    case 'a':
    case 'b':
    case 'c':
    case 'd':  // rxvt's Shift with the arrows
      if (found == 0)
        pushKey(d, cursorKeyForLetter(static_cast<unsigned char>(final - 32)), shiftBit);
      return;
    case '~':
    case '$':
    case '^':
    case '@': {
      key = keyForNumber(p[0]);
      if (key < 0) return;
      int modifiers = final == '~'   ? modifiersOf(p[1])
                      : final == '$' ? shiftBit
                      : final == '^' ? ctrlBit
                                     : ctrlBit | shiftBit;
      pushKey(d, key, modifiers);
      return;
    }
    default:
      return;
  }
}

// A complete ESC O sequence: xterm's cursor keys in application mode, F1 to
// F4, and the numeric keypad in application mode.
void finishSs3(KeyDecoder& d, unsigned char final) {
  int p[2];
  int found;
  if (d.paramsOverflowed || !parseParams(d, p, found)) return;
  // Older xterms put the modifier first (ESC O 2 P), newer ones second.
  int modifiers = modifiersOf(found == 2 ? p[1] : p[0]);
  int key = cursorKeyForLetter(final);
  if (key >= 0) {
    pushKey(d, key, modifiers);
  } else if (final >= 'a' && final <= 'd') {  // rxvt's Ctrl with the arrows
    pushKey(d, cursorKeyForLetter(static_cast<unsigned char>(final - 32)), ctrlBit);
  } else if (final == 'M') {
    push(d, '\r');
  } else if (final >= 'j' && final <= 'y') {
    push(d, "*+,-./0123456789"[final - 'j']);
  } else if (final == 'X') {
    push(d, '=');
  }
}

void feedGround(KeyDecoder& d, unsigned char byte) {
  if (byte == escapeByte) {
    d.state = escape;
  } else if (byte == 0) {
    pushPair(d, 0, 3);  // Ctrl+Space and Ctrl+2 send NUL; the PC keyboard gives 0, 3
  } else if (byte < 0x80) {
    push(d, byte);
  } else if (byte >= 0xc2 && byte <= 0xf4) {
    d.utf8Length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : 2;
    d.utf8Missing = d.utf8Length - 1;
    d.utf8Value = byte & (0x7f >> d.utf8Length);
    d.state = utf8;
  }
  // Stray continuation bytes and bytes that never start UTF-8 are passed over.
}

void startSequence(KeyDecoder& d, State state) {
  d.state = state;
  d.paramLength = 0;
  d.paramsOverflowed = false;
}

void collectParam(KeyDecoder& d, unsigned char byte) {
  if (d.paramLength < static_cast<int>(sizeof d.params)) {
    d.params[d.paramLength++] = byte;
  } else {
    d.paramsOverflowed = true;
  }
}

}  // namespace

void keyDecoderFeed(KeyDecoder& d, unsigned char byte) {
  switch (d.state) {
    case ground:
      feedGround(d, byte);
      return;
    case escape:
      d.state = ground;
      if (byte == '[') {
        startSequence(d, csi);
      } else if (byte == 'O') {
        startSequence(d, ss3);
      } else if (byte == escapeByte) {
        push(d, 27);  // Escape pressed twice; the second may start a sequence
        d.state = escape;
      } else if (!pushAlt(d, byte)) {
        push(d, 27);
        feedGround(d, byte);
      }
      return;
    case csi:
    case ss3:
      if (d.state == csi && d.paramLength == 0 && byte == '[' && !d.paramsOverflowed) {
        d.state = csiBracket;  // the Linux console's F1 to F5: ESC [ [ A to E
      } else if (byte >= 0x20 && byte <= 0x3f && byte != '$') {
        collectParam(d, byte);
      } else if ((byte >= 0x40 && byte <= 0x7e) || byte == '$') {
        if (d.state == csi) {
          finishCsi(d, byte);
        } else {
          finishSs3(d, byte);
        }
        d.state = ground;
      } else {
        // Not part of any sequence: drop what came so far and take the byte
        // afresh, so a control key or a new Escape is not lost.
        d.state = ground;
        feedGround(d, byte);
      }
      return;
    case csiBracket:
      d.state = ground;
      if (byte >= 'A' && byte <= 'E') {
        pushKey(d, f1 + (byte - 'A'), 0);
      } else if (byte < 0x20 || byte >= 0x7f) {
        feedGround(d, byte);
      }
      return;
    case utf8:
      if ((byte & 0xc0) != 0x80) {
        d.state = ground;  // an unfinished character is passed over
        feedGround(d, byte);
        return;
      }
      d.utf8Value = (d.utf8Value << 6) | (byte & 0x3f);
      if (--d.utf8Missing == 0) {
        d.state = ground;
        // Only two-byte forms are short enough; longer ones spelling a small
        // value are malformed.
        if (d.utf8Length == 2 && d.utf8Value <= 0xff) push(d, static_cast<int>(d.utf8Value));
      }
      return;
    default:
      d.state = ground;
      return;
  }
}

bool keyDecoderInSequence(const KeyDecoder& d) {
  return d.state != ground;
}

void keyDecoderFlush(KeyDecoder& d) {
  int state = d.state;
  d.state = ground;
  bool bare = d.paramLength == 0 && !d.paramsOverflowed;
  if (state == escape) {
    push(d, 27);
  } else if (state == csi && bare) {
    pushAlt(d, '[');  // Alt+[ sends just ESC [
  } else if (state == ss3 && bare) {
    pushAlt(d, 'O');
  }
  // Other fragments are no key; they are passed over.
}

int keyDecoderTake(KeyDecoder& d) {
  if (d.count == 0) return -1;
  int code = d.codes[d.first];
  d.first = (d.first + 1) % 8;
  --d.count;
  return code;
}
