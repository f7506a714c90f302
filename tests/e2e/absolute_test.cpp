// End to end, absolute pitch: a tone 70 cents sharp of the melody's base
// comes out at each note's written pitch, where relative pitch would leave
// every note 70 cents sharp.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "e2e_fixture.h"

namespace {

TEST_F(EndToEnd, AbsolutePitchPutsASharpToneOnTheWrittenNotesAt128Frames) {
  const double toneHz = 220 * std::pow(2.0, 70.0 / 1200);
  startServer(128);
  startTone({std::to_string(toneHz)});
  dir.write("melody.txt", "220\n700 330 700 261.63 700 196\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\nPitch: absolute\n", {"melody.txt"});
  startProgram();

  expectOutput("for default ('1')\n", startupSeconds);
  sendKeys(program, " ");
  expectOutput("Buffer length: 128 frames\n");
  expectOutput("Absolute pitch: matched splices, at most one buffer plus 25 ms of delay.\n");
  startRecorder();
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  letRun(2.8);
  sendKeys(program, " ");
  expectOutput("Wire off.\n");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);

  Recording r = stopRecorder();
  ASSERT_EQ(r.rate, 44100);
  auto plays = soundStretches(r, 0.1);
  ASSERT_EQ(plays.size(), 1u);
  const auto segments = segmentsOf(r, plays[0].first, plays[0].second, 0);
  // The three notes (each 0.7 s), then the tone itself once the melody has
  // ended. A loaded machine (or a sanitizer build) may break a note into
  // pieces with dropouts; every piece must be on its note.
  const double written[] = {330, 261.63, 196, toneHz};
  double heard[4] = {0, 0, 0, 0};
  for (const PitchSegment& s : segments) {
    int nearest = 0;
    for (int n = 1; n < 4; ++n)
      if (std::fabs(std::log2(s.hz / written[n])) < std::fabs(std::log2(s.hz / written[nearest])))
        nearest = n;
    EXPECT_NEAR(1200 * std::log2(s.hz / written[nearest]), 0, 10)
        << s.hz << " Hz, nearest " << written[nearest] << "\n"
        << describe(segments);
    heard[nearest] += s.end - s.start;
  }
  // Each 0.7 s note was heard on its pitch for a good part of it.
  for (int n = 0; n < 3; ++n)
    EXPECT_GT(heard[n], 0.2) << "note " << n + 1 << "\n" << describe(segments);
  std::printf("absolute pitch at 128 frames, a tone at %.2f Hz:\n%s", toneHz,
              describe(segments).c_str());
}

}  // namespace
