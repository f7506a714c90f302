// Matched splices, traced frame by frame: each input frame carries its own
// index in its last sample, so each output frame shows which input frame it
// copies, and its other samples show that it is a verbatim copy.
#include "splice.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "effect_testing.h"

namespace {

// A periodic wave rich in harmonics, with a period of `period` frames.
float periodic(double frame, double period) {
  const double phase = 2 * M_PI * frame / period;
  return static_cast<float>(0.5 * std::sin(phase) + 0.3 * std::sin(2 * phase + 1) +
                            0.2 * std::sin(5 * phase + 2));
}

// ---- The jump choice on its own ----

struct SearchCase {
  double period;
  int shift;  // the move that led to the position
};

class SpliceSearchOnPeriodicInput : public ::testing::TestWithParam<SearchCase> {};

TEST_P(SpliceSearchOnPeriodicInput, JumpsTheNearestWholeNumberOfPeriods) {
  const SearchCase c = GetParam();
  std::vector<float> samples(8000);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = periodic(static_cast<double>(i), c.period);
  const float* x = samples.data() + 4000;  // frames -4000 .. 3999
  std::vector<float> scratch(spliceScratchSize(1200, 220));
  for (int refEnd : {-37, 0, 1111}) {
    const int pos = refEnd + c.shift;
    // Back, as when the position runs ahead of the newest frame, and
    // forward, as when it lags too far.
    for (int direction : {-1, 1}) {
      const int first = direction < 0 ? pos - 1200 : pos + 30;
      const int last = direction < 0 ? pos - 30 : pos + 1200;
      SpliceMatch match{};
      ASSERT_TRUE(spliceSearch(x, 220, refEnd, c.shift, first, last, pos, scratch.data(), match));
      const double jump = match.position + match.fraction - pos;
      const double periods = jump / c.period;
      EXPECT_NEAR(std::fabs(periods), std::max(1.0, std::ceil(30 / c.period - 1e-9)), 1e-9 + 0.01)
          << "jumped " << jump << " frames, " << periods << " periods, from " << pos;
      EXPECT_NEAR(jump, std::round(periods) * c.period, 0.2) << "with the fraction";
      EXPECT_NEAR(match.position - pos, std::round(periods) * c.period, 1.0) << "whole frames";
      EXPECT_GT(match.score, 0.99f);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Periods, SpliceSearchOnPeriodicInput,
                         ::testing::Values(SearchCase{200.45, 1}, SearchCase{147.3, 2},
                                           SearchCase{551.25, 1}, SearchCase{44.1, 0},
                                           SearchCase{98.0, 1}));

// A period of 200.45 frames: one period back lands 0.45 off a whole frame,
// two periods back 0.1 off. Within reach, the rounder landing wins; the
// carried error counts, and an imperfect match is never traded for it.
TEST(SpliceSearch, WithinReachTheLandingNearestAWholeFrameWins) {
  const double period = 200.45;
  std::vector<float> samples(8000), scratch(spliceScratchSize(1200, 220));
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = periodic(static_cast<double>(i), period);
  const float* x = samples.data() + 4000;
  auto periodsBack = [&](double carry, int reach) {
    SpliceMatch match{};
    EXPECT_TRUE(
        spliceSearch(x, 220, 0, 1, 1 - 1200, 1 - 30, 1, scratch.data(), match, carry, reach));
    return std::round((1 - match.position - match.fraction) / period);
  };
  EXPECT_EQ(periodsBack(0, 0), 1);
  EXPECT_EQ(periodsBack(0, 300), 1);     // two periods are out of reach
  EXPECT_EQ(periodsBack(0, 441), 2);     // 0.1 off beats 0.45 off
  EXPECT_EQ(periodsBack(0.45, 441), 1);  // with the carry, one period lands on a whole frame
}

// 660 Hz at 44100 frames per second: 11 periods are exactly 735 frames. A
// landing there needs no rounding, so it beats every nearer one, but only up
// to the last candidate allowed for it; a tone with vibrato never qualifies.
TEST(SpliceSearch, AWholeFrameLandingOfASteadyToneWinsWithinItsLimit) {
  const double period = 44100.0 / 660;
  std::vector<float> samples(8000), scratch(spliceScratchSize(1200, 220)), wobbly(8000);
  double phase = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = periodic(static_cast<double>(i), period);
    // ±20 cents at 5 Hz.
    phase += 1 / (period * std::pow(2.0, 20 / 1200.0 * std::sin(2 * M_PI * 5 * i / 44100.0)));
    wobbly[i] = periodic(phase * period, period);
  }
  auto jumpBack = [&](const std::vector<float>& input, int wholeLast) {
    SpliceMatch match{};
    EXPECT_TRUE(spliceSearch(input.data() + 4000, 220, 0, 1, 1 - 1200, 1 - 30, 1, scratch.data(),
                             match, 0, 441, wholeLast));
    return 1 - match.position;
  };
  EXPECT_EQ(jumpBack(samples, 0), 735);
  EXPECT_NE(jumpBack(samples, -800), 735);  // beyond its limit
  EXPECT_LT(jumpBack(samples, INT_MIN), 441);
  EXPECT_LT(jumpBack(wobbly, 0), 441);
}

TEST(SpliceSearch, SilenceAndAConstantHaveNoPeak) {
  std::vector<float> scratch(spliceScratchSize(1200, 220));
  for (float level : {0.0f, 0.25f}) {
    std::vector<float> samples(4000, level);
    SpliceMatch match{};
    EXPECT_FALSE(
        spliceSearch(samples.data() + 2000, 220, 0, 1, -1000, -30, 1, scratch.data(), match))
        << level;
  }
}

// ---- The mode in the block processor ----

// Frames of floats: the compared sample(s), then the frame's index (from 1;
// 0 is the silence before any input).
class SpliceTest : public EffectTest {
 protected:
  int frames = 0;
  int floatsPerFrame = 2;
  long long nextIndex = 1;
  std::function<float(long long)> left = [](long long) { return 0.0f; };
  std::function<float(long long)> right = [](long long) { return 0.0f; };

  void SetUp() override {
    fx.settings.spliceMode = spliceMatched;
    fx.settings.maxDelayMs = defaultMaxDelayMs;
  }
  void TearDown() override {
    EffectTest::TearDown();
    fx.settings = EffectSettings{};
  }

  InitOutcome setUp(const std::string& melody, int blockFrames, int historyBlocks = 200,
                    int loop = 1, int floats = 2) {
    frames = blockFrames;
    floatsPerFrame = floats;
    nextIndex = 1;
    const int frameBytes = 4 * floats;
    return init(melody, loop, 1, historyBlocks, frames * frameBytes, 44100, frameBytes);
  }

  float sampleOf(long long index, int k) const {
    if (index == 0) return 0.0f;
    if (k == floatsPerFrame - 1) return static_cast<float>(index);
    return k == 0 ? left(index) : right(index);
  }

  // One block of fresh frames; returns the output's frame indices.
  std::vector<long long> block() {
    std::vector<float> input(static_cast<std::size_t>(frames * floatsPerFrame));
    const long long first = nextIndex;
    for (int i = 0; i < frames; ++i, ++nextIndex)
      for (int k = 0; k < floatsPerFrame; ++k)
        input[static_cast<std::size_t>(i * floatsPerFrame + k)] = sampleOf(nextIndex, k);
    std::vector<float> output(input.size(), -1.0f);
    effectProcess(fx, input.data(), output.data());
    std::vector<long long> indices(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) {
      const float* frame = output.data() + i * floatsPerFrame;
      const long long index = static_cast<long long>(frame[floatsPerFrame - 1]);
      indices[static_cast<std::size_t>(i)] = index;
      // Verbatim: every sample is the input frame's, and that frame has arrived.
      bool verbatim = index >= 0 && index < first + frames;
      for (int k = 0; k < floatsPerFrame && verbatim; ++k)
        verbatim = frame[k] == sampleOf(index, k);
      if (!verbatim) {
        ADD_FAILURE() << "output frame " << first + i << " is no input frame (index " << index
                      << ")";
        return indices;
      }
    }
    return indices;
  }

  // Output frame indices over `count` blocks; output frame n (from 1) lags
  // the input frame it copies by n - index.
  std::vector<long long> blocks(int count) {
    std::vector<long long> all;
    for (int b = 0; b < count && !HasFailure(); ++b) {
      auto out = block();
      all.insert(all.end(), out.begin(), out.end());
    }
    return all;
  }

  // Jumps: consecutive output frames whose indices differ by more than the
  // largest move or go back.
  static int jumps(const std::vector<long long>& out, int largestMove, std::size_t from = 1) {
    int count = 0;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < out.size(); ++i) {
      const long long step = out[i] - out[i - 1];
      count += step < 0 || step > largestMove;
    }
    return count;
  }
};

TEST_F(SpliceTest, AtTheInputsOwnPitchNothingIsDelayed) {
  left = [](long long i) { return periodic(static_cast<double>(i), 100.3); };
  for (int length : {64, 2048}) {
    ASSERT_EQ(setUp("440\n100 440\n", length, 200, 1).result, 0);
    startCapture();
    const auto out = blocks(3000 * 64 / length);
    const std::string printed = endCapture();
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<long long>(i + 1));
    EXPECT_EQ(printed.substr(0, printed.find('\n') + 1), "1. Delay on channel 0 = 0 samples\n");
    if (length == 64) {
      EXPECT_NE(printed.find("3. Delay on channel 0 = 0 samples\n"), std::string::npos);
    }
  }
}

struct BoundsCase {
  int frames;
  int historyBlocks;
  int maxDelayMs;
  const char* signal;
};

class SpliceBounds : public SpliceTest, public ::testing::WithParamInterface<BoundsCase> {};

// Every move pattern, from a held frame to the largest move a note may have
// (one block), on a periodic input, noise and silence: no output frame lags
// by more than one block plus MaxDelay, none reads ahead of the newest
// input, and all are verbatim input frames.
TEST_P(SpliceBounds, LagStaysWithinOneBlockPlusMaxDelay) {
  const BoundsCase c = GetParam();
  fx.settings.maxDelayMs = c.maxDelayMs;
  std::mt19937 random(5);
  std::vector<float> noise(1 << 16);
  for (float& n : noise) n = std::uniform_real_distribution<float>(-1, 1)(random);
  const std::string signal = c.signal;
  if (signal == "periodic")
    left = [](long long i) { return periodic(static_cast<double>(i), 183.7); };
  else if (signal == "noise")
    left = [noise](long long i) { return noise[static_cast<std::size_t>(i) % noise.size()]; };
  char melody[256];
  std::snprintf(melody, sizeof melody,
                "100\n30 100 30 150 20 50 40 37.5 25 %d 30 199 20 1 20 %d 30 13 40 %d\n",
                100 * c.frames, 50 * c.frames, 100 * c.frames - 1);
  ASSERT_EQ(setUp(melody, c.frames, c.historyBlocks, 1).result, 0);
  const int lagLimit = c.frames + fx.splice.maxDelayFrames;
  const auto out = blocks(std::max(40, 30000 / c.frames));
  ASSERT_FALSE(HasFailure());
  long long worst = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const long long n = static_cast<long long>(i) + 1;
    const long long blockEnd = (static_cast<long long>(i) / c.frames + 1) * c.frames;
    ASSERT_LE(out[i], blockEnd) << "frame " << n << " reads ahead of the newest input";
    ASSERT_NE(out[i], 0) << "frame " << n << " reads the silence from before switch-on";
    worst = std::max(worst, n - out[i]);
    ASSERT_LE(n - out[i], lagLimit) << "frame " << n;
  }
  // The slow notes do build up a lag: to where a downward note jumps early
  // on a close match, or to the limit (or all the history holds).
  EXPECT_GE(worst,
            std::min({static_cast<long long>(fx.splice.earlyLag), static_cast<long long>(lagLimit),
                      static_cast<long long>(c.historyBlocks) * c.frames - 1}));
}

INSTANTIATE_TEST_SUITE_P(
    MovesAndSizes, SpliceBounds,
    ::testing::Values(BoundsCase{64, 200, 25, "periodic"}, BoundsCase{64, 200, 25, "noise"},
                      BoundsCase{64, 200, 25, "silence"}, BoundsCase{128, 200, 100, "periodic"},
                      BoundsCase{256, 200, 5, "noise"}, BoundsCase{2048, 200, 25, "periodic"},
                      BoundsCase{1000, 200, 25, "silence"},
                      // A history too short for MaxDelay: clamped, and reads stay inside.
                      BoundsCase{64, 8, 25, "periodic"}, BoundsCase{64, 1, 25, "noise"}),
    [](const ::testing::TestParamInfo<BoundsCase>& info) {
      return std::to_string(info.param.frames) + "Frames" +
             std::to_string(info.param.historyBlocks) + "Blocks" +
             std::to_string(info.param.maxDelayMs) + "Ms_" + info.param.signal;
    });

// Switching on plays input from the first frame: a jump never lands in the
// history from before set-up, whatever the note and the input, and the lag
// stays bounded.
TEST_F(SpliceTest, TheFirst20MsAfterSwitchOnAreInputFrames) {
  const int first20Ms = 882;
  for (const char* note : {"150", "200", "75", "100", "50", "399", "6400"}) {
    for (const char* signal : {"periodic", "silence"}) {
      SCOPED_TRACE(std::string("note ") + note + ", " + signal);
      left = std::string(signal) == "periodic" ? std::function<float(long long)>([](long long i) {
        return periodic(static_cast<double>(i), 100.3);
      })
                                               : [](long long) { return 0.0f; };
      ASSERT_EQ(setUp(std::string("100\n1000 ") + note + "\n", 64).result, 0);
      startCapture();
      const auto out = blocks((first20Ms + 63) / 64);
      endCapture();
      ASSERT_FALSE(HasFailure());
      EXPECT_EQ(out[0], 1);
      const long long lagLimit = 64 + fx.splice.maxDelayFrames;
      for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_GE(out[i], 1) << "output frame " << i + 1 << " copies the history before switch-on";
        ASSERT_LE(static_cast<long long>(i) + 1 - out[i], lagLimit) << "output frame " << i + 1;
      }
      effectRelease(fx);
    }
  }
}

// Silence and noise have nothing to match: the read position must neither
// stall nor jump on every frame, up or down.
TEST_F(SpliceTest, SilenceAndNoiseGiveNoJumpStorm) {
  std::mt19937 random(9);
  std::vector<float> noise(1 << 16);
  for (float& n : noise) n = std::uniform_real_distribution<float>(-1, 1)(random);
  for (const char* signal : {"silence", "noise"}) {
    left = [&, signal](long long i) {
      return std::string(signal) == "noise" ? noise[static_cast<std::size_t>(i) % noise.size()]
                                            : 0.0f;
    };
    for (const char* note : {"880", "330", "220"}) {
      ASSERT_EQ(setUp(std::string("440\n100000 ") + note + "\n", 64, 200, 0).result, 0);
      const auto out = blocks(2000);  // 2.9 s
      ASSERT_FALSE(HasFailure());
      const int counted = jumps(out, 2, 4410);
      // A jump at most every 5 ms; a storm would be one every few frames.
      EXPECT_LE(counted, static_cast<int>(out.size() - 4410) / 220) << signal << " " << note;
      // Not stalled: the lag stays bounded, so the read position keeps up.
      EXPECT_GE(out.back(), static_cast<long long>(out.size()) - 64 - fx.splice.maxDelayFrames)
          << signal << " " << note;
    }
  }
}

// On a periodic input every jump of a bent note is a whole number of
// periods, so the phase of what is played follows the note's moves as if
// there were no jumps at all; the sub-frame errors are carried, so they do
// not add up over hundreds of jumps.
TEST_F(SpliceTest, JumpsOnAPeriodicInputKeepItsPhase) {
  const double period = 200.45;
  left = [period](long long i) { return periodic(static_cast<double>(i), period); };
  struct Note {
    const char* hz;
    double ratio;
  };
  for (Note note : {Note{"660", 1.5}, Note{"330", 0.75}, Note{"880", 2.0}}) {
    ASSERT_EQ(setUp(std::string("440\n100000 ") + note.hz + "\n", 128, 200, 0).result, 0);
    const auto out = blocks(1000);
    ASSERT_FALSE(HasFailure());
    const std::size_t from = 4410;
    int seen = 0;
    double worst = 0;
    for (std::size_t i = from + 1; i < out.size(); ++i) {
      seen += out[i] < out[i - 1] || out[i] - out[i - 1] > 2;
      const double advance =
          static_cast<double>(out[i] - out[from]) - note.ratio * static_cast<double>(i - from);
      worst = std::max(worst, std::fabs(advance - std::round(advance / period) * period));
    }
    // Scores of jumps, each off by less than a frame, none adding up:
    // what is left is the moves' own rounding and the latest jump's.
    EXPECT_GT(seen, 50) << note.hz;
    EXPECT_LT(worst, 2.0) << note.hz;
  }
}

TEST_F(SpliceTest, RightToBothComparesTheRightSample) {
  // The left carries noise; only the right is periodic.
  std::mt19937 random(3);
  std::vector<float> noise(1 << 16);
  for (float& n : noise) n = std::uniform_real_distribution<float>(-1, 1)(random);
  left = [noise](long long i) { return noise[static_cast<std::size_t>(i) % noise.size()]; };
  right = [](long long i) { return periodic(static_cast<double>(i), 150.5); };
  for (StereoMode mode : {stereoRightToBoth, stereoLeftToBoth}) {
    fx.settings.stereoMode = mode;
    ASSERT_EQ(setUp("440\n100000 660\n", 128, 200, 0, 3).result, 0);
    const auto out = blocks(400);
    ASSERT_FALSE(HasFailure());
    int whole = 0, all = 0;
    // From 100 ms on: the first jumps compare against the silence before the input.
    for (std::size_t i = 4410; i < out.size(); ++i) {
      const long long step = out[i] - out[i - 1];
      if (step >= 0 && step <= 2) continue;
      ++all;
      // Less the move the note took there, 1 or 2: a whole number of periods.
      for (int move : {1, 2}) {
        const double jump = static_cast<double>(step - move);
        if (std::fabs(jump - std::round(jump / 150.5) * 150.5) <= 1.0) {
          ++whole;
          break;
        }
      }
    }
    ASSERT_GT(all, 10);
    if (mode == stereoRightToBoth)
      EXPECT_EQ(whole, all);
    else
      EXPECT_LT(whole, all / 2) << "the left's noise should decide";
  }
}

// Between jumps the read position advances by the note's frequency over the
// base exactly, whatever the size of the base's unit: a base of 1 with a
// note of 1.5, or a low base with a note a quarter tone above it, where a
// ring of whole moves built to a tolerance of one unit comes out far off.
TEST_F(SpliceTest, ReadsAtTheExactRatioBetweenJumps) {
  struct Case {
    const char* melody;
    double ratio;
  };
  const Case cases[] = {{"1\n100000 1.5\n", 1.5},
                        {"65.41\n100000 66.3642\n", 66.3642 / 65.41},  // C2 and C2+25 cents
                        {"440\n100000 293.665\n", 293.665 / 440}};
  left = [](long long i) { return periodic(static_cast<double>(i), 200.3); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.melody);
    ASSERT_EQ(setUp(c.melody, 64, 200, 0).result, 0);
    const auto out = blocks(1000);
    ASSERT_FALSE(HasFailure());
    // The output's pitch: the phase of the periodic input at the frames it
    // copies, unwrapped (a jump of whole periods adds only its error).
    double cycles = 0;
    const std::size_t first = 4410;
    for (std::size_t i = first + 1; i < out.size(); ++i) {
      const double d = static_cast<double>(out[i] - out[i - 1]) / 200.3;
      cycles += d - std::round(d - 0.5 * c.ratio / 200.3);
    }
    const double measured = cycles * 200.3 / static_cast<double>(out.size() - first - 1);
    const double cents = 1200 * std::log2(measured / c.ratio);
    EXPECT_LT(std::fabs(cents), 1.0) << "measured ratio " << measured;
    effectRelease(fx);
  }
}

// Unrouted stereo: a splice must suit both channels, so a right channel
// unlike the left (here the only one with a pitch) decides too.
TEST_F(SpliceTest, UnroutedStereoComparesBothChannels) {
  right = [](long long i) { return periodic(static_cast<double>(i), 150.5); };
  fx.audioChannels = 2;  // left and right audio, then the index
  ASSERT_EQ(setUp("440\n100000 660\n", 128, 200, 0, 3).result, 0);
  const auto out = blocks(400);
  ASSERT_FALSE(HasFailure());
  int whole = 0, all = 0;
  for (std::size_t i = 4410; i < out.size(); ++i) {
    const long long step = out[i] - out[i - 1];
    if (step >= 0 && step <= 2) continue;
    ++all;
    for (int move : {1, 2}) {
      const double jump = static_cast<double>(step - move);
      if (std::fabs(jump - std::round(jump / 150.5) * 150.5) <= 1.0) {
        ++whole;
        break;
      }
    }
  }
  ASSERT_GT(all, 10);
  // Compared on the silent left alone, every jump would be the 10 ms fallback.
  EXPECT_EQ(whole, all);
}

// The delay report keeps its line; its number is the lag of the block's
// first output frame.
TEST_F(SpliceTest, DelayReportShowsTheLag) {
  left = [](long long i) { return periodic(static_cast<double>(i), 123.4); };
  ASSERT_EQ(setUp("440\n100000 330\n", 64, 200, 0).result, 0);
  startCapture();
  auto out = blocks(1000);
  const auto next = block();
  const std::string printed = endCapture();
  const long long lag = 1000LL * 64 + 1 - next[0];
  EXPECT_GT(lag, 0);
  EXPECT_EQ(printed, "1. Delay on channel 0 = 0 samples\n2. Delay on channel 0 = " +
                         std::to_string(lag) + " samples\n");
}

// Each set-up takes the mode the configuration has now: a file after a
// matched one plays exactly as block mode always did.
TEST_F(SpliceTest, ASecondSetUpDoesNotInheritTheMode) {
  left = [](long long i) { return periodic(static_cast<double>(i), 77.7); };
  const std::string melody = "440\n30 660 20 330 50 880 -3\n";
  fx.settings.spliceMode = spliceBlock;
  ASSERT_EQ(setUp(melody, 64).result, 0);
  const auto block1 = blocks(300);
  fx.settings.spliceMode = spliceMatched;
  ASSERT_EQ(setUp(melody, 64).result, 0);
  const auto matched = blocks(300);
  fx.settings.spliceMode = spliceBlock;
  ASSERT_EQ(setUp(melody, 64).result, 0);
  EXPECT_EQ(fx.splice.mode, spliceBlock);
  const auto block2 = blocks(300);
  EXPECT_EQ(block1, block2);
  EXPECT_NE(block1, matched);
}

TEST_F(SpliceTest, MaxDelayIsClampedWithOneLine) {
  struct Case {
    int historyBlocks, frames, requested, used;
  };
  // 197 blocks of 64 frames less the 220 compared: 12388 frames, 280 ms.
  for (Case c : {Case{200, 64, 100000, 280}, Case{200, 64, -3, 5}, Case{200, 64, 4, 5},
                 Case{200, 64, 280, 280}, Case{4, 64, 25, 5}}) {
    fx.settings.maxDelayMs = c.requested;
    const InitOutcome outcome = setUp("440\n100 660\n", c.frames, c.historyBlocks);
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(fx.splice.maxDelayMs, c.used);
    EXPECT_EQ(fx.splice.maxDelayFrames, c.used * 441 / 10);
    const bool clamped = c.used != c.requested;
    EXPECT_EQ(outcome.printed.find("MaxDelay ") != std::string::npos, clamped) << outcome.printed;
    if (clamped) {
      char line[160];
      std::snprintf(line, sizeof line, "MaxDelay %d ms does not fit: using %d ms", c.requested,
                    c.used);
      EXPECT_NE(outcome.printed.find(line), std::string::npos) << outcome.printed;
      // One line, from the set-up, before it says it is done.
      EXPECT_LT(outcome.printed.find(line), outcome.printed.find("Initialized, baby."));
    }
  }
  // Block mode ignores MaxDelay, and says nothing.
  fx.settings.spliceMode = spliceBlock;
  fx.settings.maxDelayMs = 100000;
  const InitOutcome block = setUp("440\n100 660\n", 64);
  EXPECT_EQ(block.printed.find("MaxDelay"), std::string::npos);
  EXPECT_EQ(fx.splice.mode, spliceBlock);
}

TEST_F(SpliceTest, EveryFailedAllocationOfTheSetUpIsReported) {
  int failures = 0;
  for (int n = 0;; ++n) {
    fx.allocFailCountdown = n;
    const InitOutcome outcome = setUp("440\n100 660\n", 64);
    fx.allocFailCountdown = -1;
    if (outcome.result == 0) break;
    ++failures;
    EXPECT_NE(outcome.printed.find("Out of memory.\n"), std::string::npos) << n;
    effectRelease(fx);
  }
  // The channel array, the channel's three buffers, the note and its steps,
  // and the matched mode's own.
  EXPECT_GE(failures, 7);
}

}  // namespace
