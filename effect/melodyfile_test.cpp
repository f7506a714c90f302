// Reading melody files: items, end-of-file rules, refusals and formats.
#include <string>

#include "effect_testing.h"

using MelodyFileTest = EffectTest;

TEST_F(MelodyFileTest, ExampleMelodyWithAndWithoutFinalLineEnd) {
  for (std::string end : {"\n", ""}) {
    auto outcome = init("440 250 440 250 660 -2 500 330" + end);
    ASSERT_EQ(outcome.result, 0) << outcome.printed;
    EXPECT_EQ(outcome.printed, "Opening file " + dir.file("melody.txt") + "\nInitialized, baby.\n");
    EXPECT_EQ(fx.baseFrequency, 440);
    Note *first = note(1), *second = note(2), *third = note(3);
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(first->next, second);
    EXPECT_EQ(second->next, third);
    EXPECT_EQ(third->next, nullptr);
    EXPECT_EQ(first->duration, 250);
    EXPECT_EQ(second->frequency, 660);
    EXPECT_EQ(third->duration, 500);
    EXPECT_EQ(third->frequency, 330);
    EXPECT_EQ(first->repeatTarget, nullptr);
    EXPECT_EQ(second->repeatTarget, first);
    EXPECT_EQ(second->repeatCount, 1);
    EXPECT_EQ(fx.channels[0]->sectionStart, third);
  }
}

TEST_F(MelodyFileTest, LastTokenAtEndOfFile) {
  // A repetition count that runs up to the end of the file is dropped...
  ASSERT_EQ(init("440 250 440 -2").result, 0);
  EXPECT_EQ(note(1)->repeatTarget, nullptr);
  // ...but kept when white space follows it.
  ASSERT_EQ(init("440 250 440 -2\n").result, 0);
  EXPECT_EQ(note(1)->repeatTarget, note(1));
  EXPECT_EQ(note(1)->repeatCount, 1);

  // A lone duration followed by white space takes its own value as frequency.
  ASSERT_EQ(init("440 250\n").result, 0);
  EXPECT_EQ(note(1)->duration, 250);
  EXPECT_EQ(note(1)->frequency, 250);
  EXPECT_EQ(note(2), nullptr);
  // Without the white space it is dropped and nothing is left.
  auto dropped = init("440 250");
  EXPECT_EQ(dropped.result, 1);
  EXPECT_NE(dropped.printed.find("Channel empty.\n"), std::string::npos);
}

TEST_F(MelodyFileTest, NothingAfterTheBaseFrequency) {
  for (const char* text : {"440\n", "440", "", "   \n\t"}) {
    auto outcome = init(text);
    EXPECT_EQ(outcome.result, 1) << text;
    EXPECT_EQ(outcome.printed, "Opening file " + dir.file("melody.txt") + "\nChannel empty.\n")
        << text;
  }
}

TEST_F(MelodyFileTest, AByteOrderMarkAtTheStartIsPassedOver) {
  const std::string mark = "\xEF\xBB\xBF";
  auto marked = init(mark + "440\r\n250 660\r\n");
  ASSERT_EQ(marked.result, 0) << marked.printed;
  EXPECT_EQ(fx.baseFrequency, 440);
  EXPECT_EQ(note(1)->frequency, 660);
  // Elsewhere, or only its first byte, is text that is no number.
  EXPECT_NE(init("440\n" + mark + "250 660\n").printed.find("Invalid input string " + mark + "250"),
            std::string::npos);
  EXPECT_NE(init("\xEF"
                 "440 250 660\n")
                .printed.find("Invalid input string \xEF"
                              "440\n"),
            std::string::npos);
  EXPECT_NE(
      init(mark + mark + "440 250 660\n").printed.find("Invalid input string " + mark + "440\n"),
      std::string::npos);
  EXPECT_NE(init(mark).printed.find("Channel empty.\n"), std::string::npos);
}

TEST_F(MelodyFileTest, RepetitionCounts) {
  auto misplaced = init("440 -2\n");
  EXPECT_EQ(misplaced.result, 1);
  EXPECT_NE(misplaced.printed.find("Misplaced repetition count 2.\n"), std::string::npos);

  auto tooSmall = init("440 250 440 -0.5\n");
  EXPECT_EQ(tooSmall.result, 1);
  EXPECT_NE(tooSmall.printed.find("Invalid repetition count 0.\n"), std::string::npos);

  // The fraction is cut: -2.7 plays the section twice.
  ASSERT_EQ(init("440 250 440 -2.7\n").result, 0);
  EXPECT_EQ(note(1)->repeatCount, 1);

  // A count directly after another replaces it; a later section starts after it.
  ASSERT_EQ(init("440 10 440 10 660 -3 -5 10 330 10 550 -2 10 440\n").result, 0);
  EXPECT_EQ(note(2)->repeatTarget, note(1));
  EXPECT_EQ(note(2)->repeatCount, 4);
  EXPECT_EQ(note(4)->repeatTarget, note(3));
  EXPECT_EQ(note(4)->repeatCount, 1);
  EXPECT_EQ(note(5)->repeatTarget, nullptr);

  // An enormous count is held at the largest int rather than wrapping.
  ASSERT_EQ(init("440 10 440 -1e30\n").result, 0);
  EXPECT_EQ(note(1)->repeatCount, 2147483646);
}

TEST_F(MelodyFileTest, TokensThatAreNotNumbers) {
  auto zero = init("440 0.0 440\n");
  EXPECT_EQ(zero.result, 1);
  EXPECT_NE(zero.printed.find("Invalid input string 0.0\n"), std::string::npos);

  fx.baseFrequency = 123;
  auto words = init("abc 250 440\n");
  EXPECT_EQ(words.result, 1);
  EXPECT_EQ(fx.baseFrequency, 123);
  EXPECT_NE(words.printed.find("Invalid input string abc\n"), std::string::npos);

  auto frequency = init("440 250 loud\n");
  EXPECT_EQ(frequency.result, 1);
  EXPECT_NE(frequency.printed.find("Invalid input string loud\n"), std::string::npos);

  // Trailing characters inside a token are ignored...
  ASSERT_EQ(init("440 250ms 440Hz\n").result, 0);
  EXPECT_EQ(note(1)->duration, 250);
  EXPECT_EQ(note(1)->frequency, 440);
  // ...but the base frequency is read as a number only, so its unit is a token.
  auto unit = init("440Hz 250 440\n");
  EXPECT_EQ(unit.result, 1);
  EXPECT_EQ(fx.baseFrequency, 440);
  EXPECT_NE(unit.printed.find("Invalid input string Hz\n"), std::string::npos);

  // Tokens of any length are read whole and safely.
  const std::string longToken(100000, 'x');
  auto huge = init("440 250 " + longToken + "\n");
  EXPECT_EQ(huge.result, 1);
  EXPECT_NE(huge.printed.find("Invalid input string " + longToken + "\n"), std::string::npos);
}

TEST_F(MelodyFileTest, NegativeFrequencyIsRefused) {
  auto outcome = init("440 250 -440\n");
  EXPECT_EQ(outcome.result, 1);
  EXPECT_NE(
      outcome.printed.find("Zero or negative note in melody (f=-440.000000, d=250.000000).\n"),
      std::string::npos);
}

TEST_F(MelodyFileTest, BaseFrequencyMustBeUsable) {
  for (const char* base : {"0", "-5", "inf", "nan", "1e9"}) {
    auto outcome = init(std::string(base) + " 250 440\n");
    EXPECT_EQ(outcome.result, 1) << base;
    EXPECT_NE(outcome.printed.find("Invalid base frequency"), std::string::npos) << base;
    EXPECT_EQ(fx.initialized, 0);
  }
  auto outcome = init("-5 250 440\n");
  EXPECT_NE(outcome.printed.find("Invalid base frequency -5:"), std::string::npos);
}

TEST_F(MelodyFileTest, LoopClosesTheMelody) {
  ASSERT_EQ(init("440 10 440 10 660\n", 1).result, 0);
  EXPECT_EQ(note(2)->next, note(1));
  ASSERT_EQ(init("440 10 440 10 660\n", 0).result, 0);
  EXPECT_EQ(note(2)->next, nullptr);
}

TEST_F(MelodyFileTest, TickConstantsFollowTheRate) {
  const int rates[] = {22050, 44100, 11025, 11025, 22050, 44100};
  const int frames[] = {22, 44, 11, 11, 22, 44};
  const int every[] = {20, 10, 40, 40, 20, 10};
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(init("440 10 440\n", 0, 1, 200, 2048, rates[i]).result, 0);
    EXPECT_EQ(fx.tickFrames, frames[i]) << rates[i];
    EXPECT_EQ(fx.longTickEvery, every[i]) << rates[i];
  }
}

TEST_F(MelodyFileTest, FormatChecksInOrder) {
  startCapture();
  EXPECT_EQ(validateFormat(fx, 0, 200, 512, 7999, 4), 1);
  EXPECT_EQ(validateFormat(fx, 0, 200, 512, 192001, 4), 1);
  EXPECT_EQ(validateFormat(fx, 0, 200, 512, 44100, 4), 1);
  EXPECT_EQ(validateFormat(fx, 1, 200, 0, 44100, 4), 1);
  EXPECT_EQ(validateFormat(fx, 1, 0, 512, 44100, 4), 1);
  EXPECT_EQ(validateFormat(fx, 1, 200, 512, 44100, 20), 1);
  // Every rate in the range plays, not just the table's.
  for (int rate : {8000, 11025, 32000, 48000, 88200, 96000, 192000})
    EXPECT_EQ(validateFormat(fx, 1, 1, 1, rate, 16), 0) << rate;
  EXPECT_EQ(endCapture(),
            "Supported rates: 8000 to 192000. You supplied 7999\n"
            "Supported rates: 8000 to 192000. You supplied 192001\n"
            "At least 1 channel required.\n"
            "At least 1 byte required per buffer.\n"
            "At least 1 buffer required.\n"
            "Supported sample sizes are 1, 2, 4, 8, 12 and 16 bytes. You supplied 20\n");
}

TEST_F(MelodyFileTest, RejectedFormatLeavesAReadyEffectAlone) {
  ASSERT_EQ(init("440 10 660\n").result, 0);
  Note* before = note(1);
  auto rejected = init("440 10 330\n", 0, 1, 200, 2048, 4000);
  EXPECT_EQ(rejected.result, 1);
  EXPECT_EQ(rejected.printed, "Supported rates: 8000 to 192000. You supplied 4000\n");
  EXPECT_EQ(fx.initialized, 1);
  EXPECT_EQ(note(1), before);
  EXPECT_EQ(note(1)->frequency, 660);
}

TEST_F(MelodyFileTest, MissingFile) {
  startCapture();
  EXPECT_EQ(effectInit(fx, 1, 200, 2048, 44100, 4, "/nonexistent/tune.txt", 0), 1);
  EXPECT_EQ(endCapture(), "Opening file /nonexistent/tune.txt\nCan't open /nonexistent/tune.txt\n");
  EXPECT_EQ(fx.initialized, 0);
}
