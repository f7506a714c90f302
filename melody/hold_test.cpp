// The pitch the live program holds for each note, as the converter works it
// out, beside the rings the program itself builds; and melodies written in a
// unit fine enough for every note.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "effect.h"
#include "melody.h"
#include "melodytest.h"
#include "testsupport.h"

namespace {

void quiet(void*, const char*) {}

// Sets a melody file up as the live program does and returns the average
// move of each note's ring, in order.
std::vector<double> programRatios(const std::string& melodyFile) {
  TempDir dir;
  const std::string path = dir.write("melody.txt", melodyFile);
  EffectState fx;
  fx.settings.log = quiet;
  // Blocks of 8192 frames of 4 bytes: room for notes up to 8192 times the base.
  EXPECT_EQ(effectInit(fx, 1, 4, 4 * 8192, 44100, 4, path.c_str(), 0), 0);
  std::vector<double> ratios;
  for (Note* note = fx.firstNote; note; note = note->allocNext) {
    std::map<MoveStep*, std::size_t> seen;
    std::vector<int> moves;
    MoveStep* step = note->step;
    while (!seen.count(step)) {
      seen[step] = moves.size();
      moves.push_back(step->move);
      step = step->next;
    }
    double sum = 0;
    for (std::size_t i = seen[step]; i < moves.size(); ++i) sum += moves[i];
    ratios.push_back(sum / static_cast<double>(moves.size() - seen[step]));
  }
  effectRelease(fx);
  return ratios;
}

// The numbers exactly as the program will read them back.
std::string exactly(double base, const std::vector<float>& frequencies) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g\n", base);
  std::string file = text;
  for (float f : frequencies) {
    std::snprintf(text, sizeof text, "1000 %.9g\n", static_cast<double>(f));
    file += text;
  }
  return file;
}

TEST(HeldPitch, WorkedCyclesOfTheBuilder) {
  struct Case {
    double base;
    float frequency;
    double ratio;
  };
  const Case cases[] = {
      {100, 100, 1},        {100, 150, 1.5}, {100, 50, 0.5},
      {100, 100.5f, 1},      // a transient step, then a ring of 1: the half percent is lost
      {440, 440.254f, 1},    // A4 one cent sharp plays A4
      {220, 329.628f, 1.5},  // E4 over A3 closes on the just fifth
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(heldRatio(c.base, c.frequency), c.ratio) << c.base << " " << c.frequency;
}

TEST(HeldPitch, MatchesTheRingsTheProgramBuilds) {
  for (double base : {32.703, 65.406, 100.0, 130.813, 220.0, 440.0, 523.251, 1320.0, 1761.5}) {
    std::vector<float> frequencies;
    for (int semitones = -24; semitones <= 24; semitones += 1)
      for (double cents : {0.0, 25.0, -13.7})
        frequencies.push_back(static_cast<float>(base * std::exp2((semitones + cents / 100) / 12)));
    const std::vector<double> program = programRatios(exactly(base, frequencies));
    ASSERT_EQ(program.size(), frequencies.size());
    for (std::size_t i = 0; i < frequencies.size(); ++i)
      EXPECT_DOUBLE_EQ(heldRatio(base, frequencies[i]), program[i])
          << "base " << base << ", note " << frequencies[i];
  }
}

// Each note's pitch in the live program over the pitch it stands for, in cents.
std::vector<double> centsOffInProgram(const Melody& melody, double base) {
  const std::vector<double> ratios = programRatios(melodyText(melody));
  std::vector<double> cents;
  for (std::size_t i = 0; i < ratios.size(); ++i)
    cents.push_back(1200 * std::log2(ratios[i] / (melody.notes[i].hz / base)));
  return cents;
}

TEST(MelodyUnit, EveryNoteHoldsWithinACentInTheSmallestUnitThatDoes) {
  // Every quarter tone over three octaves around the base, at the bases a
  // singer might hold.
  for (const char* baseNote : {"C2", "A2", "E3", "A3", "C4", "A4", "C5"}) {
    double pitch;
    ASSERT_TRUE(parseNoteName(baseNote, pitch));
    MelodyOptions options;
    options.base = noteFrequency(pitch);
    std::string text;
    for (int quarter = -36; quarter <= 36; ++quarter) {
      char note[64];
      std::snprintf(note, sizeof note, "%s%+d 100\n", baseNote, quarter * 50);
      text += note;
    }
    Melody melody;
    std::string error;
    ASSERT_TRUE(convertInput("in", text, options, melody, error)) << error;
    SCOPED_TRACE(std::string("base ") + baseNote + ", units of 1/" +
                 std::to_string(melody.unit.factor) + " Hz");
    const std::vector<double> cents = centsOffInProgram(melody, options.base);
    ASSERT_EQ(cents.size(), melody.notes.size());
    for (std::size_t i = 0; i < cents.size(); ++i)
      EXPECT_LT(std::fabs(cents[i]), maxCentsOff) << "note of " << melody.notes[i].hz << " Hz";
    EXPECT_LT(melody.unit.worstCents, maxCentsOff);
    // One unit coarser, some note would miss.
    if (melody.unit.factor > 1) {
      Melody coarser = melody;
      const int factor = melody.unit.factor - 1;
      coarser.base = std::strtod(formatNumber(factor * options.base).c_str(), nullptr);
      for (MelodyNote& note : coarser.notes)
        note.frequency = std::strtod(formatNumber(factor * note.hz).c_str(), nullptr);
      double worst = 0;
      for (double c : centsOffInProgram(coarser, options.base))
        worst = std::max(worst, std::fabs(c));
      EXPECT_GE(worst, maxCentsOff);
    }
  }
}

TEST(MelodyUnit, ALowBaseNoLongerLosesANoteAUnitAway) {
  // Written in hertz, C2+25 is within 1 of C2 and plays unbent.
  MelodyOptions options;
  options.base = noteFrequency(36);
  Melody melody;
  std::string error;
  ASSERT_TRUE(convertInput("in", "C2 500 C2+25 500 E2 500", options, melody, error)) << error;
  EXPECT_GT(melody.unit.factor, 1);
  const std::vector<double> cents = centsOffInProgram(melody, options.base);
  for (double c : cents) EXPECT_LT(std::fabs(c), maxCentsOff);
  Melody inHertz = melody;
  inHertz.base = std::strtod(formatNumber(options.base).c_str(), nullptr);
  for (MelodyNote& note : inHertz.notes)
    note.frequency = std::strtod(formatNumber(note.hz).c_str(), nullptr);
  EXPECT_NEAR(centsOffInProgram(inHertz, options.base)[1], -25, 0.1);
}

TEST(MelodyUnit, RestsAndRepeatsKeepTheirMeaningInAnyUnit) {
  MelodyOptions options;
  options.base = noteFrequency(36);
  options.repeat = 2;
  Melody melody;
  std::string error;
  ASSERT_TRUE(convertInput("in", "C2+25 100 R 100 -2 E2 100", options, melody, error)) << error;
  ASSERT_GT(melody.unit.factor, 1);
  // A rest is the base itself, however the base is written.
  EXPECT_EQ(melodyText(melody).substr(0, melodyText(melody).find('\n')),
            formatNumber(melody.unit.factor * options.base));
  for (const MelodyNote& note : melody.notes) {
    if (note.hz == options.base) {
      EXPECT_EQ(note.frequency, melody.base);
    }
  }
  EXPECT_EQ(melody.notes.size(), 5u);  // the section written out twice, then E2
  EXPECT_EQ(melody.notes.back().repeat, 2);
}

}  // namespace
