// The end-to-end fixture: a private JACK server with the dummy backend, a
// test tone as the input device and a recorder for what the program plays
// (all three from the JACK harness), and the real program in a
// pseudo-terminal. Shared by the end-to-end test files.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"
#include "pitch.h"
#include "session.h"
#include "testsupport.h"

inline constexpr double startupSeconds = 20;  // generous for sanitizer builds
inline constexpr double stepSeconds = 10;

inline std::string uniqueServerName() {
  return uniqueServerName("gwe2e");
}

struct Recording {
  int rate = 0;
  int channels = 0;
  std::vector<float> samples;  // interleaved
  std::size_t frames() const { return channels ? samples.size() / channels : 0; }
};

inline Recording readWav(const std::string& path) {
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
inline std::vector<std::pair<std::size_t, std::size_t>> soundStretches(const Recording& r,
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

inline std::vector<PitchSegment> segmentsOf(const Recording& r, std::size_t first, std::size_t last,
                                            int channel) {
  PitchOptions o;
  o.sampleRate = r.rate;
  o.hop = static_cast<std::size_t>(r.rate / 200);  // 5 ms
  std::vector<PitchFrame> track = trackPitch(r.samples.data() + first * r.channels + channel,
                                             last - first, static_cast<std::size_t>(r.channels), o);
  return pitchSegments(track, double(o.hop) / r.rate, 0.015, 0.06, 0.06);
}

inline std::string describe(const std::vector<PitchSegment>& segs) {
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

inline void expectSteps(const std::vector<PitchSegment>& segs, const std::vector<Step>& steps,
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
  JackHarness jack;
  // The harness's parts under the names the tests use.
  std::string& server = jack.server;
  Child& jackd = jack.jackd;
  Child& tone = jack.tone;
  Child& recorder = jack.recorder;
  std::vector<std::pair<std::string, std::string>>& env = jack.env;
  Child program;

  void SetUp() override {
    harnessInit(jack, uniqueServerName(), dir.path, GW_TONE_PATH, GW_RECORD_PATH);
  }

  void TearDown() override {
    // Every process this test started, newest first, each by its id.
    endChild(program);
    harnessStop(jack);
    if (HasFailure()) {
      std::printf("--- program output ---\n%s\n", program.output.c_str());
      std::printf("--- jackd log ---\n%s\n", readFile(dir.file("jackd.log")).c_str());
    }
  }

  // A dummy-backend server under this test's name, writing to the given log.
  bool spawnServer(Child& child, int period, const std::string& log) {
    return harnessSpawnServer(jack, child, period, log);
  }

  // Runs a JACK command-line tool against this test's server: its output, or
  // nothing when it could not start, failed or took longer than 15 s.
  std::optional<std::string> jackTool(const std::vector<std::string>& argv) {
    return harnessRunTool(jack, argv);
  }

  bool serverAnswers() {
    return jackTool({"jack_wait", "-s", server, "-w", "-t", "10"}).has_value();
  }

  // Each step below does nothing once the test has failed, so that one fault
  // does not cost a time-out per later step.
  void startServer(int period = 512, int rate = 44100) {
    if (HasFailure()) return;
    jack.rate = rate;
    std::string error;
    ASSERT_TRUE(harnessStartServer(jack, period, error)) << error;
  }

  void startTone(const std::vector<std::string>& freqs) {
    if (HasFailure()) return;
    std::string error;
    ASSERT_TRUE(harnessStartTone(jack, freqs, startupSeconds, error)) << error;
  }

  void startRecorder() {
    if (HasFailure()) return;
    std::string error;
    ASSERT_TRUE(harnessStartRecorder(jack, dir.file("played.wav"), startupSeconds, error)) << error;
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
