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

#include "pitch.h"
#include "session.h"
#include "testsupport.h"

namespace {

constexpr double startupSeconds = 20;  // generous for sanitizer builds
constexpr double stepSeconds = 10;

// Short: the server's name ends up in the names of its semaphores.
std::string uniqueServerName() {
  static std::atomic<int> counter{0};
  return "gwe2e" + std::to_string(getpid()) + "x" + std::to_string(counter++);
}

struct Recording {
  int rate = 0;
  int channels = 0;
  std::vector<float> samples;  // interleaved
  std::size_t frames() const { return channels ? samples.size() / channels : 0; }
};

Recording readWav(const std::string& path) {
  Recording r;
  SF_INFO info = {};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return r;
  r.rate = info.samplerate;
  r.channels = info.channels;
  r.samples.resize(static_cast<std::size_t>(info.frames) * info.channels);
  sf_count_t got = sf_readf_float(file, r.samples.data(), info.frames);
  r.samples.resize(static_cast<std::size_t>(got) * info.channels);
  sf_close(file);
  return r;
}

// Stretches of sound [first, last) in frames, split where the recording is
// silent on every channel for at least `gapSeconds`.
std::vector<std::pair<std::size_t, std::size_t>> soundStretches(const Recording& r,
                                                                double gapSeconds) {
  std::vector<std::pair<std::size_t, std::size_t>> result;
  const std::size_t gap = static_cast<std::size_t>(gapSeconds * r.rate);
  std::size_t start = 0, lastSound = 0;
  bool inSound = false;
  for (std::size_t f = 0; f < r.frames(); ++f) {
    bool loud = false;
    for (int c = 0; c < r.channels; ++c)
      loud = loud || std::fabs(r.samples[f * r.channels + c]) > 1e-3f;
    if (loud) {
      if (!inSound) start = f;
      inSound = true;
      lastSound = f;
    } else if (inSound && f - lastSound > gap) {
      result.emplace_back(start, lastSound + 1);
      inSound = false;
    }
  }
  if (inSound) result.emplace_back(start, lastSound + 1);
  return result;
}

std::vector<PitchSegment> segmentsOf(const Recording& r, std::size_t first, std::size_t last,
                                     int channel) {
  PitchOptions o;
  o.sampleRate = r.rate;
  o.hop = static_cast<std::size_t>(r.rate / 200);  // 5 ms
  std::vector<PitchFrame> track = trackPitch(r.samples.data() + first * r.channels + channel,
                                             last - first, static_cast<std::size_t>(r.channels), o);
  return pitchSegments(track, double(o.hop) / r.rate, 0.015, 0.06, 0.06);
}

std::string describe(const std::vector<PitchSegment>& segs) {
  std::string text;
  char line[96];
  for (const PitchSegment& s : segs) {
    std::snprintf(line, sizeof line, "  %.1f Hz for %.3f s (from %.3f s)\n", s.hz, s.end - s.start,
                  s.start);
    text += line;
  }
  return text;
}

// Expected note of a play: pitch and, where it is bounded, its duration.
struct Step {
  double hz;
  double seconds;  // 0: runs on to the end of the play
};

void expectSteps(const std::vector<PitchSegment>& segs, const std::vector<Step>& steps,
                 const std::string& what) {
  ASSERT_EQ(segs.size(), steps.size()) << what << "\n" << describe(segs);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_NEAR(segs[i].hz, steps[i].hz, steps[i].hz * 0.01) << what << " note " << i;
    if (steps[i].seconds > 0) {
      EXPECT_NEAR(segs[i].end - segs[i].start, steps[i].seconds, 0.03) << what << " note " << i;
    }
  }
  std::printf("%s:\n%s", what.c_str(), describe(segs).c_str());
}

class EndToEnd : public ::testing::Test {
 protected:
  TempDir dir;
  std::string server;
  Child jackd, tone, recorder, program;
  std::vector<std::pair<std::string, std::string>> env;

  void SetUp() override {
    server = uniqueServerName();
    env = {{"JACK_DEFAULT_SERVER", server},
           {"JACK_NO_START_SERVER", "1"},
           {"LSAN_OPTIONS", std::string("suppressions=") + GW_LSAN_SUPPRESSIONS}};
  }

  void TearDown() override {
    // Every process this test started, newest first, each by its id.
    endChild(program);
    endChild(recorder);
    endChild(tone);
    endChild(jackd);
    if (HasFailure()) {
      std::printf("--- program output ---\n%s\n", program.output.c_str());
      std::printf("--- jackd log ---\n%s\n", readFile(dir.file("jackd.log")).c_str());
    }
  }

  // Each step below does nothing once the test has failed, so that one fault
  // does not cost a time-out per later step.
  void startServer() {
    if (HasFailure()) return;
    SpawnOptions o;
    o.argv = {"jackd", "-n", server, "--no-realtime", "-d", "dummy", "-r", "44100", "-p", "512"};
    o.env = env;
    o.logPath = dir.file("jackd.log");
    o.readStdout = false;
    ASSERT_TRUE(spawnChild(jackd, o));
    Child wait;
    SpawnOptions w;
    w.argv = {"jack_wait", "-s", server, "-w", "-t", "10"};
    w.env = env;
    ASSERT_TRUE(spawnChild(wait, w));
    bool answered = waitExit(wait, 15) && exitCode(wait) == 0;
    endChild(wait);
    ASSERT_TRUE(answered) << "jackd did not answer:\n" << readFile(dir.file("jackd.log"));
  }

  void startTone(const std::vector<std::string>& freqs) {
    if (HasFailure()) return;
    SpawnOptions o;
    o.argv = {GW_TONE_PATH};
    o.argv.insert(o.argv.end(), freqs.begin(), freqs.end());
    o.env = env;
    o.logPath = dir.file("tone.log");
    ASSERT_TRUE(spawnChild(tone, o));
    ASSERT_TRUE(expectText(tone, "ready", startupSeconds)) << readFile(dir.file("tone.log"));
  }

  void startRecorder() {
    if (HasFailure()) return;
    SpawnOptions o;
    o.argv = {GW_RECORD_PATH, dir.file("played.wav")};
    o.env = env;
    o.logPath = dir.file("record.log");
    ASSERT_TRUE(spawnChild(recorder, o));
    ASSERT_TRUE(expectText(recorder, "connected", startupSeconds))
        << readFile(dir.file("record.log"));
  }

  Recording stopRecorder() {
    endChild(recorder);
    EXPECT_NE(recorder.output.find("recorded"), std::string::npos) << recorder.output;
    EXPECT_EQ(recorder.output.find("dropped"), std::string::npos) << recorder.output;
    return readWav(dir.file("played.wav"));
  }

  void writeConfig(const std::string& extra, const std::vector<std::string>& files) {
    std::string text = "# written by the end-to-end test\n";
    for (const std::string& f : files) text += "File: " + f + "\n";
    text += "DefaultKeyCode: 32\nDefaultKeyName: space\n" + extra;
    dir.write("glidewarperconfig.txt", text);
  }

  void startProgram() {
    if (HasFailure()) return;
    SpawnOptions o;
    o.argv = {GW_PROGRAM_PATH};
    o.env = env;
    o.cwd = dir.path;
    o.terminal = true;
    ASSERT_TRUE(spawnChild(program, o));
  }

  void expectOutput(const std::string& text, double seconds = stepSeconds) {
    if (HasFailure()) return;
    EXPECT_TRUE(expectText(program, text, seconds))
        << "waited for: " << text << "\n--- output after the last match ---\n"
        << program.output.substr(program.cursor);
  }

  // Ends with the given status; a failure's report waits for one key first.
  void expectExit(int status, bool afterKey) {
    if (HasFailure()) return;
    if (afterKey) {
      expectOutput("Press any key to proceed\n");
      keepReading(program, 0.3);
      ASSERT_EQ(exitCode(program), -1) << "ended without waiting for a key";
      sendKeys(program, "q");
    }
    ASSERT_TRUE(waitExit(program, stepSeconds)) << program.output;
    EXPECT_EQ(exitCode(program), status);
  }

  // Lets the program run for a while, reading what it prints.
  void letRun(double seconds) {
    if (!HasFailure()) keepReading(program, seconds);
  }

  bool printed(const std::string& text) const {
    return program.output.find(text) != std::string::npos;
  }
};

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
