// End-to-end runs of the real program on a private JACK server with the
// dummy backend: a test tone is the input device, keys go in through a
// pseudo-terminal, and what the program played is recorded and its pitch
// measured.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "pitch.h"
#include "session.h"
#include "testsupport.h"

namespace {

TEST_F(EndToEnd, ChoosingTheToneByItsKeyRewritesDefaultInput) {
  startServer();
  startTone({"440"});
  dir.write("melody.txt", "440\n500 440\n");
  writeConfig("DefaultInput: 0\nDefaultOutput: 0\n", {"melody.txt"});
  startProgram();

  expectOutput("Number of devices = 2\n");
  expectOutput(
      "device #1: gwtone, via JACK Audio Connection Kit\n"
      "Max inputs = 1, Max outputs = 0\n"
      "Default low input latency   =   0.0116\n"
      "Default high input latency  =   0.0116\n\n");
  expectOutput(
      "Specify the index of the input and output device:\n"
      "Press any of '0', '1' to choose, or space for default ('0')\n");
  sendKeys(program, "7");
  expectOutput("Key code: 55\n");
  sendKeys(program, "1");
  expectOutput("Key pressed: '1' (ASCII code: '49')\n");
  expectOutput(
      "Buffer length: 512 frames\nMinimum buffer length: 64 frames\n"
      "Maximum buffer length: 4096 frames\nGranularity: -1\n"
      "Input device # 1.\nOutput device # 0.\nNum channels = 1.\n");
  EXPECT_NE(readFile(dir.file("glidewarperconfig.txt")).find("\nDefaultInput: 1\n"),
            std::string::npos);
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, "x");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_FALSE(printed("Wire on"));
  EXPECT_EQ(readFile(dir.file("glidewarperconfig.txt")),
            "# written by the end-to-end test\nFile: melody.txt\n"
            "DefaultKeyCode: 32\nDefaultKeyName: space\nDefaultInput: 1\nDefaultOutput: 0\n");
}

TEST_F(EndToEnd, MelodyBendsTheToneAndRepeatsThenExitSkipsTheNextFile) {
  startServer();
  startTone({"440", "550"});
  dir.write("melody.txt", "440\n1000 440\n1000 660\n1000 330\n");
  dir.write("second.txt", "440\n1000 880\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\nStereo: none\n", {"melody.txt", "second.txt"});
  startProgram();

  expectOutput("Press any of '0', '1' to choose, or space for default ('1')\n");
  sendKeys(program, " ");
  expectOutput("Input device # 1.\nOutput device # 0.\nNum channels = 2.\nLast host error: ");
  startRecorder();
  for (int play = 0; play < 2; ++play) {
    expectOutput("Opening file melody.txt\n");
    expectOutput("Initialized, baby.\n");
    expectOutput("Press space to proceed, 'x' to exit\n");
    letRun(0.3);  // a clear gap of silence between the plays
    sendKeys(program, " ");
    expectOutput("Wire on, file melody.txt.\n");
    expectOutput("Press space to proceed, 'r' to repeat\n");
    letRun(3.6);  // the melody's 3 s and some pass-through
    sendKeys(program, play == 0 ? "r" : " ");
    expectOutput("Wire off.\n");
  }
  expectOutput("Opening file second.txt\n");
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, "x");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_FALSE(printed("Wire on, file second.txt"));

  Recording r = stopRecorder();
  ASSERT_EQ(r.channels, 2);
  ASSERT_EQ(r.rate, 44100);
  auto plays = soundStretches(r, 0.1);
  ASSERT_EQ(plays.size(), 2u);
  for (std::size_t p = 0; p < plays.size(); ++p) {
    std::string name = "play " + std::to_string(p + 1);
    // Left: the 440 Hz tone bent to the melody, then passed through; right:
    // the 550 Hz tone, bent by the same ratios in the same frames.
    expectSteps(segmentsOf(r, plays[p].first, plays[p].second, 0),
                {{440, 1.0}, {660, 1.0}, {330, 1.0}, {440, 0}}, name + " left");
    expectSteps(segmentsOf(r, plays[p].first, plays[p].second, 1),
                {{550, 1.0}, {825, 1.0}, {412.5, 1.0}, {550, 0}}, name + " right");
  }
}

TEST_F(EndToEnd, MelodyFileThatFailsItsSetUpEndsWithTheErrorReport) {
  startServer();
  startTone({"440"});
  dir.write("bad.txt", "440\n250 440\n0.0 330\n");
  dir.write("good.txt", "440\n250 440\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"bad.txt", "good.txt"});
  startProgram();

  expectOutput("for default ('1')\n");
  sendKeys(program, " ");
  expectOutput("Num channels = 1.\n");
  expectOutput("Opening file bad.txt\n");
  expectOutput("Invalid input string 0.0\n");
  expectOutput(
      "GlideWarp initialization failed\n"
      "An error occured while using the portaudio stream\n"
      "Error number: 0\n"
      "Error message: Success\n");
  expectExit(255, true);
  EXPECT_FALSE(printed("good.txt"));
}

TEST_F(EndToEnd, OutputDeviceBeyondTheDeviceCountIsReportedThroughTheErrorExit) {
  startServer();
  startTone({"440"});
  dir.write("melody.txt", "440\n250 440\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 5\n", {"melody.txt"});
  startProgram();

  expectOutput("for default ('1')\n");
  sendKeys(program, " ");
  expectOutput(
      "Input device # 1.\nOutput device # 5.\n"
      "An error occured while using the portaudio stream\n"
      "Error number: -9996\n"
      "Error message: Invalid device\n");
  expectExit(255, true);
  EXPECT_FALSE(printed("Num channels"));
  EXPECT_FALSE(printed("Opening file"));
}

TEST_F(EndToEnd, WithOneInputDeviceTheDefaultsAreUsedWithoutAsking) {
  startServer();
  dir.write("melody.txt", "440\n250 440\n");
  writeConfig("DefaultInput: 3\nDefaultOutput: 7\n", {"melody.txt"});
  const std::string before = readFile(dir.file("glidewarperconfig.txt"));
  startProgram();

  expectOutput("Number of devices = 1\n");
  expectOutput("Input device # 0.\nOutput device # 0.\nNum channels = 2.\n");
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, "x");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_FALSE(printed("Specify the index"));
  EXPECT_EQ(readFile(dir.file("glidewarperconfig.txt")), before);
}

struct RoutingRun {
  const char* setting;
  double bothHz;  // pitch of both channels while the note plays
  double passHz;  // pitch of both channels once the input passes through
};

class StereoRouting : public EndToEnd, public ::testing::WithParamInterface<RoutingRun> {};

TEST_P(StereoRouting, OneToneReachesBothChannels) {
  const RoutingRun run = GetParam();
  startServer();
  startTone({"440", "550"});
  dir.write("melody.txt", "440\n600 660\n");
  writeConfig(std::string("DefaultInput: 1\nDefaultOutput: 0\nStereo: ") + run.setting + "\n",
              {"melody.txt"});
  startProgram();

  expectOutput("for default ('1')\n");
  sendKeys(program, " ");
  expectOutput("Num channels = 2.\nLast host error: ");
  startRecorder();
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, " ");
  expectOutput("Press space to proceed, 'r' to repeat\n");
  letRun(1.2);
  sendKeys(program, " ");
  expectOutput("Wire off.\n");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);

  Recording r = stopRecorder();
  ASSERT_EQ(r.channels, 2);
  auto plays = soundStretches(r, 0.1);
  ASSERT_EQ(plays.size(), 1u);
  std::size_t differing = 0;
  for (std::size_t f = 0; f < r.frames(); ++f)
    if (r.samples[2 * f] != r.samples[2 * f + 1]) ++differing;
  EXPECT_EQ(differing, 0u) << "frames whose channels differ";
  for (int c = 0; c < 2; ++c)
    expectSteps(segmentsOf(r, plays[0].first, plays[0].second, c),
                {{run.bothHz, 0.6}, {run.passHz, 0}},
                std::string(run.setting) + (c ? " right" : " left"));
}

INSTANTIATE_TEST_SUITE_P(Modes, StereoRouting,
                         ::testing::Values(RoutingRun{"left-to-both", 660, 440},
                                           RoutingRun{"right-to-both", 825, 550}),
                         [](const ::testing::TestParamInfo<RoutingRun>& info) {
                           return std::string(info.param.setting[0] == 'l' ? "Left" : "Right") +
                                  "ToBoth";
                         });

TEST_F(EndToEnd, WithoutAnyAudioServerTheDeviceCountIsReported) {
  struct stat sound;
  if (stat("/dev/snd", &sound) == 0) GTEST_SKIP() << "this machine has a sound card";
  // No server is started under this name.
  dir.write("melody.txt", "440\n250 440\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"melody.txt"});
  startProgram();

  expectOutput("sizeof(long) = ");
  expectOutput(
      "ERROR: Pa_GetDeviceCount returned 0x0\n"
      "An error occured while using the portaudio stream\n"
      "Error number: 0\n"
      "Error message: Success\n");
  expectExit(255, true);
  EXPECT_FALSE(printed("Number of devices"));
}

}  // namespace
