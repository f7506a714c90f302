#include "callback.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "effect_testing.h"

namespace {

// Sets the stream up as the driver would, with an effect whose notes all keep
// the input's pitch, so that each output block is the block before it.
class CallbackTest : public EffectTest {
 protected:
  static constexpr float sentinel = 99.0f;
  int frames = 64;

  void setUpStream(int channels, const std::string& melody = "440 100000 440\n") {
    fx.numChannels = channels;
    fx.projectedFramesPerBuffer = frames;
    InitOutcome o = initLive(melody, channels, frames);
    ASSERT_EQ(o.result, 0) << o.printed;
  }

  void SetUp() override {
    fx.gNumNoInputs = 0;
    fx.discrepancyReported = 0;
    fx.settings.stereoMode = stereoNone;
  }

  void TearDown() override {
    fx.settings.stereoMode = stereoNone;
    EffectTest::TearDown();
  }

  // A block whose sample s of frame f is 1000 * s + f + 1 + 100 * tag.
  std::vector<float> block(int tag) const {
    std::vector<float> b(size_t(frames) * fx.numChannels);
    for (int f = 0; f < frames; ++f)
      for (int s = 0; s < fx.numChannels; ++s)
        b[f * fx.numChannels + s] = 1000.0f * s + f + 1 + 100 * tag;
    return b;
  }

  // Output room for `n` frames plus one sample past the end.
  static std::vector<float> outputFor(int n, int channels) {
    return std::vector<float>(size_t(n) * channels + 1, sentinel);
  }

  int call(const void* in, std::vector<float>& out, int n) {
    return streamCallback(in, out.data(), static_cast<unsigned long>(n), nullptr, 0, &fx);
  }
};

TEST_F(CallbackTest, WrongLengthIsReportedOnceAndPlaysSilenceWithoutTheEffect) {
  setUpStream(2);
  std::vector<float> in(size_t(128) * 2, 0.5f);
  std::vector<float> out = outputFor(32, 2);

  startCapture();
  EXPECT_EQ(call(in.data(), out, 32), paContinue);
  std::string first = endCapture();
  EXPECT_EQ(first,
            "Discrepancy between the real framesPerBuffer (32) and the projected one (64).\n"
            "Stop the program and correct the settings.\n");
  for (int i = 0; i < 64; ++i) ASSERT_EQ(out[i], 0.0f) << i;
  EXPECT_EQ(out[64], sentinel);

  std::vector<float> longer = outputFor(128, 2);
  startCapture();
  EXPECT_EQ(call(in.data(), longer, 128), paContinue);
  EXPECT_EQ(endCapture(), "");
  for (int i = 0; i < 256; ++i) ASSERT_EQ(longer[i], 0.0f) << i;

  EXPECT_EQ(fx.blockCounter, 0u);
  EXPECT_EQ(fx.gNumNoInputs, 0);
  EXPECT_EQ(fx.discrepancyReported, 1);

  // A buffer of the right length still reaches the effect afterwards.
  std::vector<float> right = outputFor(frames, 2);
  startCapture();
  call(in.data(), right, frames);
  EXPECT_EQ(endCapture().find("Discrepancy"), std::string::npos);
  EXPECT_EQ(fx.blockCounter, 1u);
}

TEST_F(CallbackTest, MissingInputPlaysSilenceCountsAndLeavesTheEffectWhereItWas) {
  setUpStream(2);
  std::vector<float> out = outputFor(frames, 2);
  EXPECT_EQ(call(nullptr, out, frames), paContinue);
  EXPECT_EQ(call(nullptr, out, frames), paContinue);
  for (int i = 0; i < frames * 2; ++i) ASSERT_EQ(out[i], 0.0f) << i;
  EXPECT_EQ(out[frames * 2], sentinel);
  EXPECT_EQ(fx.gNumNoInputs, 2);
  EXPECT_EQ(fx.blockCounter, 0u);

  // The effect then takes up exactly where it stood: the block after the
  // first real one is that first block, one block late.
  std::vector<float> a = block(1), b = block(2);
  startCapture();
  call(a.data(), out, frames);
  call(b.data(), out, frames);
  endCapture();
  EXPECT_EQ(std::vector<float>(out.begin(), out.end() - 1), a);
  EXPECT_EQ(fx.blockCounter, 2u);
  EXPECT_EQ(fx.gNumNoInputs, 2);
}

// Mode, then what each routed two-channel frame (L, R) becomes.
struct RoutingCase {
  StereoMode mode;
  int leftFrom;
  int rightFrom;
};

class StereoRoutingTest : public CallbackTest, public ::testing::WithParamInterface<RoutingCase> {};

TEST_P(StereoRoutingTest, EveryFrameOfAStereoBufferIsRouted) {
  const RoutingCase c = GetParam();
  setUpStream(2);
  fx.settings.stereoMode = c.mode;
  std::vector<float> a = block(1), b = block(2);
  std::vector<float> out = outputFor(frames, 2);
  startCapture();
  call(a.data(), out, frames);
  call(b.data(), out, frames);
  endCapture();
  for (int f = 0; f < frames; ++f) {
    ASSERT_EQ(out[f * 2], a[f * 2 + c.leftFrom]) << "frame " << f;
    ASSERT_EQ(out[f * 2 + 1], a[f * 2 + c.rightFrom]) << "frame " << f;
  }
  EXPECT_EQ(out[frames * 2], sentinel);
}

INSTANTIATE_TEST_SUITE_P(Modes, StereoRoutingTest,
                         ::testing::Values(RoutingCase{stereoNone, 0, 1},
                                           RoutingCase{stereoLeftToBoth, 0, 0},
                                           RoutingCase{stereoRightToBoth, 1, 1}));

TEST_F(CallbackTest, RoutingAlsoAppliesToFramesPassedThroughAfterTheMelody) {
  // One tick of 45 frames: the melody ends inside the first block, and every
  // later block passes through unchanged before it is routed.
  setUpStream(2, "440 1 440\n");
  fx.settings.stereoMode = stereoRightToBoth;
  std::vector<float> a = block(1), b = block(2);
  std::vector<float> out = outputFor(frames, 2);
  startCapture();
  call(a.data(), out, frames);
  call(b.data(), out, frames);
  endCapture();
  ASSERT_EQ(fx.channels[0]->note, nullptr);
  for (int f = 0; f < frames; ++f) {
    ASSERT_EQ(out[f * 2], b[f * 2 + 1]) << f;
    ASSERT_EQ(out[f * 2 + 1], b[f * 2 + 1]) << f;
  }
}

TEST_F(CallbackTest, RoutingWithOneChannelChangesNothingAndStaysInTheBuffer) {
  for (StereoMode mode : {stereoLeftToBoth, stereoRightToBoth}) {
    setUpStream(1);
    fx.settings.stereoMode = mode;
    std::vector<float> a = block(1), b = block(2);
    std::vector<float> out = outputFor(frames, 1);
    startCapture();
    call(a.data(), out, frames);
    call(b.data(), out, frames);
    endCapture();
    EXPECT_EQ(std::vector<float>(out.begin(), out.end() - 1), a) << mode;
    EXPECT_EQ(out[frames], sentinel) << mode;
  }
}

TEST_F(CallbackTest, RoutingWithFourChannelsTouchesOnlyTheFirstTwoSamplesOfAFrame) {
  setUpStream(4);
  fx.settings.stereoMode = stereoLeftToBoth;
  std::vector<float> a = block(1), b = block(2);
  std::vector<float> out = outputFor(frames, 4);
  startCapture();
  call(a.data(), out, frames);
  call(b.data(), out, frames);
  endCapture();
  for (int f = 0; f < frames; ++f) {
    ASSERT_EQ(out[f * 4 + 0], a[f * 4 + 0]) << f;
    ASSERT_EQ(out[f * 4 + 1], a[f * 4 + 0]) << f;
    ASSERT_EQ(out[f * 4 + 2], a[f * 4 + 2]) << f;
    ASSERT_EQ(out[f * 4 + 3], a[f * 4 + 3]) << f;
  }
  EXPECT_EQ(out[frames * 4], sentinel);
}

}  // namespace
