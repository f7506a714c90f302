// The audio callback must never allocate: a stalled allocator would cost a
// glitch on stage. With every allocation of this binary counted, this drives
// streamCallback through thousands of buffers of every kind once the first
// delay report has been printed (the first print may set up stdout's buffer).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "callback.h"
#include "counting_allocator.h"
#include "effect.h"
#include "testsupport.h"

namespace {

// Runs `work` with counting on and returns what it allocated.
template <typename Work>
AllocationCount countAllocations(Work work) {
  startCountingAllocations();
  work();
  return stopCountingAllocations();
}

// Without this the main test could pass with counting that never counts.
TEST(AllocationCounting, SeesNewAndMalloc) {
  AllocationCount counted = countAllocations([] {
    int* volatile n = new int(1);
    delete n;
    void* volatile p = std::malloc(16);
    std::free(p);
  });
  EXPECT_GE(counted.news, 1);
  EXPECT_GE(counted.mallocs, 2);  // operator new allocates through malloc too
}

constexpr int frames = 256;
constexpr int streamChannels = 2;

// The stream as the driver sets it up, with `melody` as the effect's file and
// `settings` (the rate is the driver's).
void setUpStream(EffectState& fx, const TempDir& dir, const std::string& melody, int loop,
                 EffectSettings settings = {}) {
  fx.numChannels = streamChannels;
  fx.projectedFramesPerBuffer = frames;
  const std::string path = dir.write("melody.txt", melody);
  settings.loop = loop;
  ASSERT_EQ(liveEffectInit(fx, settings, path.c_str(), streamChannels, frames), 0);
}

TEST(CallbackRealTime, NoBufferAllocatesAfterTheFirstReport) {
  TempDir dir;
  EffectState fx;
  std::vector<float> in(static_cast<std::size_t>(frames) * streamChannels);
  std::vector<float> out(in.size() + static_cast<std::size_t>(frames) * streamChannels);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i % 97) / 97.0f;
  auto buffer = [&](const void* input, int length) {
    streamCallback(input, out.data(), static_cast<unsigned long>(length), nullptr, 0, &fx);
  };

  // Notes up, down and held, a repeated section and a loop back to the start:
  // every path through the block processor's note changes.
  startCapture();
  setUpStream(fx, dir, "440\n30 440 20 660 20 330 -3\n25 880 10 220\n", 1);
  fx.gNumNoInputs = 0;
  fx.discrepancyReported = 0;
  buffer(in.data(), frames);
  AllocationCount looping = countAllocations([&] {
    for (int b = 1; b < 4000; ++b) {
      fx.settings.stereoMode = static_cast<StereoMode>(b / 1000 % 3);
      if (b % 7 == 0) {
        buffer(nullptr, frames);
      } else if (b % 500 == 0) {
        buffer(in.data(), frames / 2);  // the discrepancy lines come with the first of these
      } else {
        buffer(in.data(), frames);
      }
    }
  });
  fx.settings.stereoMode = stereoNone;
  effectRelease(fx);

  // A melody that ends: the rest passes the input through.
  setUpStream(fx, dir, "440\n50 660 50 440\n", 0);
  buffer(in.data(), frames);
  AllocationCount ending = countAllocations([&] {
    for (int b = 1; b < 2000; ++b) buffer(in.data(), frames);
  });
  effectRelease(fx);
  const std::string printed = endCapture();

  EXPECT_EQ(looping.news, 0);
  EXPECT_EQ(looping.mallocs, 0);
  EXPECT_EQ(ending.news, 0);
  EXPECT_EQ(ending.mallocs, 0);
  // The windows did cover printing: later reports and the discrepancy lines.
  EXPECT_NE(printed.find("4. Delay on channel 0"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Discrepancy between the real framesPerBuffer (128)"), std::string::npos);
  EXPECT_GT(fx.gNumNoInputs, 500);
}

// The matched mode searches the history for splice points from the
// callback, and the interpolated read computes frames and crossfades them:
// everything either needs comes from the set-up.
class MatchedRealTime : public ::testing::TestWithParam<ReadMode> {};

TEST_P(MatchedRealTime, MatchedSplicesAllocateNothingEither) {
  TempDir dir;
  EffectState fx;
  std::vector<float> tone(static_cast<std::size_t>(frames) * streamChannels);
  std::vector<float> silence(tone.size(), 0.0f), out(tone.size());
  long long frame = 0;
  auto buffer = [&](const std::vector<float>* input) {
    if (input == &tone) {
      for (int i = 0; i < frames; ++i, ++frame)
        tone[2 * i] = tone[2 * i + 1] = static_cast<float>(std::sin(frame * 0.0314));
    }
    streamCallback(input ? input->data() : nullptr, out.data(), static_cast<unsigned long>(frames),
                   nullptr, 0, &fx);
  };
  EffectSettings matchedSettings;
  matchedSettings.spliceMode = spliceMatched;
  matchedSettings.readMode = GetParam();
  matchedSettings.maxDelayMs = 1000000;  // clamped, with a line from the set-up
  startCapture();
  // Up, down (with early jumps) and the largest move, looping.
  setUpStream(fx, dir, "440\n30 440 20 660 20 330 -3\n25 880 10 220 5 112640\n", 1,
              matchedSettings);
  ASSERT_EQ(fx.splice.readMode, GetParam());
  fx.gNumNoInputs = 0;
  buffer(&tone);
  AllocationCount matched = countAllocations([&] {
    for (int b = 1; b < 4000; ++b) {
      fx.settings.stereoMode = static_cast<StereoMode>(b / 1000 % 3);
      buffer(b % 7 == 0 ? nullptr : b % 300 < 100 ? &silence : &tone);
    }
  });
  fx.settings.stereoMode = stereoNone;
  effectRelease(fx);
  const std::string printed = endCapture();

  EXPECT_EQ(matched.news, 0);
  EXPECT_EQ(matched.mallocs, 0);
  EXPECT_NE(printed.find("MaxDelay 1000000 ms does not fit"), std::string::npos) << printed;
  EXPECT_NE(printed.find("4. Delay on channel 0"), std::string::npos) << printed;
}

INSTANTIATE_TEST_SUITE_P(Reads, MatchedRealTime, ::testing::Values(readVerbatim, readInterpolated),
                         [](const ::testing::TestParamInfo<ReadMode>& info) {
                           return info.param == readInterpolated ? "Interpolated" : "Verbatim";
                         });
// Absolute pitch measures the input in the callback, by FFT among others:
// its plans and buffers come from the set-up too.
TEST(CallbackRealTime, AbsolutePitchAllocatesNothingEither) {
  TempDir dir;
  EffectState fx;
  std::vector<float> voice(static_cast<std::size_t>(frames) * streamChannels);
  std::vector<float> silence(voice.size(), 0.0f), out(voice.size());
  long long frame = 0;
  double phase = 0;
  auto buffer = [&](const std::vector<float>* input) {
    if (input == &voice) {
      for (int i = 0; i < frames; ++i, ++frame) {
        // A voice gliding between 110 and 440 Hz, so every path of the
        // measurement runs.
        phase += 2 * M_PI * 220 * std::pow(2.0, std::sin(frame * 2e-5)) / 44100;
        voice[2 * i] = voice[2 * i + 1] =
            static_cast<float>(0.5 * std::sin(phase) + 0.2 * std::sin(3 * phase));
      }
    }
    streamCallback(input ? input->data() : nullptr, out.data(), static_cast<unsigned long>(frames),
                   nullptr, 0, &fx);
  };
  EffectSettings settings;
  settings.pitchMode = pitchAbsolute;
  settings.retuneMs = 50;
  startCapture();
  // Up, down, a rest at the base frequency, looping.
  setUpStream(fx, dir, "440\n30 440 20 660 20 330 -3\n25 880 10 220 5 1500\n", 1, settings);
  fx.gNumNoInputs = 0;
  buffer(&voice);
  AllocationCount counted = countAllocations([&] {
    for (int b = 1; b < 4000; ++b) {
      fx.settings.stereoMode = static_cast<StereoMode>(b / 1000 % 3);
      buffer(b % 7 == 0 ? nullptr : b % 300 < 100 ? &silence : &voice);
    }
  });
  fx.settings.stereoMode = stereoNone;
  effectRelease(fx);
  const std::string printed = endCapture();

  EXPECT_EQ(counted.news, 0);
  EXPECT_EQ(counted.mallocs, 0);
  EXPECT_NE(printed.find("Absolute pitch: matched splices"), std::string::npos) << printed;
  EXPECT_NE(printed.find("4. Delay on channel 0"), std::string::npos) << printed;
}

}  // namespace
