// End to end, the matched splices: at a period where block jumps put a bent
// note far off its pitch, the program plays it on pitch.
#include <gtest/gtest.h>

#include <string>

#include "e2e_fixture.h"

namespace {

TEST_F(EndToEnd, MatchedSplicesBendATonesPitchAt128Frames) {
  startServer(128);
  startTone({"220"});
  dir.write("melody.txt", "220\n3000 330\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\nSplice: matched\n", {"melody.txt"});
  startProgram();

  expectOutput("for default ('1')\n", startupSeconds);
  sendKeys(program, " ");
  expectOutput("Buffer length: 128 frames\n");
  expectOutput("Num channels = 1.\n");
  startRecorder();
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  letRun(2.0);
  sendKeys(program, " ");
  expectOutput("Wire off.\n");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  // The mode is named once; the default MaxDelay fits: no clamping line.
  EXPECT_TRUE(printed("Last host error: \nSplice mode: matched, MaxDelay 25 ms.\n"));
  EXPECT_FALSE(printed("does not fit"));

  Recording r = stopRecorder();
  ASSERT_EQ(r.rate, 44100);
  auto plays = soundStretches(r, 0.1);
  ASSERT_EQ(plays.size(), 1u);
  const auto segments = segmentsOf(r, plays[0].first, plays[0].second, 0);
  ASSERT_EQ(segments.size(), 1u) << describe(segments);
  EXPECT_NEAR(segments[0].hz, 330, 330 * 0.005) << describe(segments);
  EXPECT_GT(segments[0].end - segments[0].start, 1.5) << describe(segments);
  std::printf("matched splices at 128 frames:\n%s", describe(segments).c_str());
}

}  // namespace
