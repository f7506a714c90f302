#include "keydecoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<int> decode(const std::string& bytes, bool thenFlush = false) {
  KeyDecoder decoder;
  std::vector<int> codes;
  auto takeAll = [&] {
    for (int code; (code = keyDecoderTake(decoder)) >= 0;) codes.push_back(code);
  };
  for (char byte : bytes) {
    keyDecoderFeed(decoder, static_cast<unsigned char>(byte));
    takeAll();
  }
  if (thenFlush) keyDecoderFlush(decoder);
  takeAll();
  return codes;
}

using Codes = std::vector<int>;

TEST(KeyDecoder, TerminalSequencesBecomePcKeyCodes) {
  const struct {
    const char* bytes;
    Codes codes;
  } cases[] = {
      {"a\r\x03\x7f", {'a', 13, 3, 127}},
      {"\x1b[A\x1b[B\x1b[D\x1b[C", {224, 72, 224, 80, 224, 75, 224, 77}},
      {"\x1bOA\x1bOH\x1b[H\x1b[F", {224, 72, 224, 71, 224, 71, 224, 79}},
      {"\x1b[1~\x1b[2~\x1b[3~\x1b[4~", {224, 71, 224, 82, 224, 83, 224, 79}},
      {"\x1b[5~\x1b[6~\x1b[7~\x1b[8~", {224, 73, 224, 81, 224, 71, 224, 79}},
      {"\x1bOP\x1bOS\x1b[11~\x1b[[E", {0, 59, 0, 62, 0, 59, 0, 63}},
      {"\x1b[15~\x1b[17~\x1b[21~", {0, 63, 0, 64, 0, 68}},
      {"\x1b[23~\x1b[24~", {224, 133, 224, 134}},
      // Shift, Ctrl and Alt in xterm's and rxvt's forms.
      {"\x1b[1;2A\x1b[1;5A\x1b[1;3B\x1b[5;5~", {224, 72, 224, 141, 0, 160, 224, 134}},
      {"\x1b[1;2P\x1bO2P\x1b[24;5~\x1b[15;3~", {0, 84, 0, 84, 224, 138, 0, 108}},
      {"\x1b[2$\x1b[3^\x1b[Z\x1bOa", {224, 82, 224, 147, 0, 15, 224, 141}},
      {"\x1bx\x1bX\x1b"
       "1\x1b\r",
       {0, 45, 0, 45, 0, 120, 0, 28}},
      {"\x1b!\x1b\x1b[A", {27, '!', 27, 224, 72}},
      {"\x1bOM\x1bOp", {13, '0'}},
      // Latin-1 range characters arrive; the rest of Unicode is passed over.
      {"\xc3\xa9\xc2\x82\xe2\x82\xac\xf0\x9f\x98\x80!", {233, 130, '!'}},
      {"\xe0\x80\xa1\xc3"
       "A\x80\xff"
       "b",
       {'A', 'b'}},
      // Reports and unknown sequences are no keys; a control byte breaks one.
      {"\x1b[200~\x1b[I\x1b[<0;1;2M\x1b[1;2;3A\x1b[99~z", {'z'}},
      {"\x1b[1\x03\x1b[12\x1b[A", {3, 224, 72}},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.bytes), c.codes) << c.bytes;
  EXPECT_EQ(decode(std::string("\0", 1)), (Codes{0, 3}));
  EXPECT_EQ(decode("\x1b[" + std::string(40, '1') + "~x"), (Codes{'x'}));
}

TEST(KeyDecoder, AnUnfinishedSequenceIsSettledByTheFlush) {
  EXPECT_EQ(decode("\x1b"), (Codes{}));
  EXPECT_EQ(decode("\x1b", true), (Codes{27}));
  EXPECT_EQ(decode("\x1b[", true), (Codes{0, 26}));
  EXPECT_EQ(decode("\x1b[1;", true), (Codes{}));
  EXPECT_EQ(decode("\xc3", true), (Codes{}));
}

TEST(KeyDecoder, ArbitraryBytesGiveOnlyKeyCodes) {
  std::mt19937 random(7);
  KeyDecoder decoder;
  for (int i = 0; i < 200000; ++i) {
    keyDecoderFeed(decoder,
                   static_cast<unsigned char>(random() % 4 ? random() : "\x1b[O;1~"[i % 6]));
    if (random() % 50 == 0) keyDecoderFlush(decoder);
    ASSERT_LE(decoder.count, 8);
    if (random() % 3) continue;  // sometimes leave codes waiting
    for (int code; (code = keyDecoderTake(decoder)) >= 0;) ASSERT_LE(code, 255);
  }
}

}  // namespace
