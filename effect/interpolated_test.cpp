// The interpolated read of matched splices: the interpolator on its own
// against a signal's exact values between frames, then the read in the block
// processor, traced through an index sample that the interpolator turns into
// the exact read position (averaged over a crossfade's two stretches).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "effect_testing.h"
#include "splice.h"

namespace {

constexpr double rate = 44100;

// ---- The interpolator on its own ----

struct Partial {
  double hz, amplitude, phase;
};

double partials(const std::vector<Partial>& signal, double frame) {
  double sum = 0;
  for (const Partial& p : signal)
    sum += p.amplitude * std::sin(2 * M_PI * p.hz * frame / rate + p.phase);
  return sum;
}

struct DelayCase {
  const char* name;
  std::vector<Partial> signal;
  double tolerance;  // of the largest error, against the signal's peak
};

class FractionalDelay : public ::testing::TestWithParam<DelayCase> {};

// Reads between frames of a band-limited signal, at fractions all over the
// table (on its entries, between them, at both ends), come out at the
// signal's exact value there, to what the table's steps of a 1024th of a
// frame allow: the higher the frequency, the larger the error.
TEST_P(FractionalDelay, MatchesTheSignalsExactValueBetweenFrames) {
  const DelayCase c = GetParam();
  std::vector<float> table(interpolationTableSize(1));
  buildInterpolationTable(table.data(), 1);
  std::vector<float> x(4000);
  double peak = 0;
  for (const Partial& p : c.signal) peak += p.amplitude;
  for (std::size_t n = 0; n < x.size(); ++n)
    x[n] = static_cast<float>(partials(c.signal, static_cast<double>(n)));
  double worst = 0;
  for (int frame = 100; frame < 3800; frame += 37) {
    for (double fraction : {0.0, 1.0 / interpolationPhases, 0.25, 0.3, 0.5, 0.61803, 0.77,
                            127.5 / interpolationPhases, 0.99999}) {
      float out;
      interpolateFrame(table.data(), x.data() + frame, 1, 1, fraction, &out);
      const double exact = partials(c.signal, frame + fraction);
      worst = std::max(worst, std::fabs(out - exact) / peak);
    }
  }
  EXPECT_LT(worst, c.tolerance) << 20 * std::log10(worst) << " dB";
}

INSTANTIATE_TEST_SUITE_P(
    Signals, FractionalDelay,
    ::testing::Values(
        DelayCase{"Sine220", {{220, 0.5, 0.3}}, 3e-5},
        DelayCase{"Voice", {{150, 0.4, 0}, {1220, 0.2, 1}, {2600, 0.1, 2}, {4800, 0.05, 3}}, 1e-4},
        DelayCase{"Bright", {{9000, 0.3, 0.5}, {13000, 0.3, 1.5}, {16000, 0.3, 2.5}}, 1.3e-3},
        DelayCase{"Constant", {{0, 0.7, M_PI / 2}}, 1e-6}),
    [](const ::testing::TestParamInfo<DelayCase>& info) { return info.param.name; });

// On a whole frame the read is that frame; a constant stays itself at every
// fraction. Interleaved samples are read each from its own channel, and
// samples after the ones asked for are not touched. Each frame width adds
// its lanes down in its own way.
class InterleavedRead : public ::testing::TestWithParam<int> {};

TEST_P(InterleavedRead, ReadsEachChannelOnItsOwn) {
  const int stride = GetParam();
  std::vector<float> table(interpolationTableSize(stride));
  buildInterpolationTable(table.data(), stride);
  // Channel 0 a slow sine, 1 a constant, 2 a ramp, 3 a faster cosine.
  auto expected = [](int channel, double position) {
    switch (channel) {
      case 0:
        return std::sin(0.05 * position);
      case 1:
        return 0.25;
      case 2:
        return position;
      default:
        return std::cos(0.11 * position);
    }
  };
  std::vector<float> x(static_cast<std::size_t>(stride) * 200);
  for (int n = 0; n < 200; ++n)
    for (int k = 0; k < stride; ++k)
      x[static_cast<std::size_t>(stride * n + k)] = static_cast<float>(expected(k, n));
  // Error bounds: the ramp's values are large, its error grows with them.
  const double bounds[] = {2e-5, 1e-6, 1e-3, 5e-5};
  for (int frame : {40, 41, 150}) {
    const float* at = x.data() + stride * frame;
    float out[maxInterpolationStride] = {-9, -9, -9, -9};
    interpolateFrame(table.data(), at, stride, stride - 1, 0.0, out);
    for (int k = 0; k + 1 < stride; ++k) EXPECT_NEAR(out[k], at[k], 1e-6) << "channel " << k;
    EXPECT_EQ(out[stride - 1], -9) << "a sample not asked for";
    for (double fraction : {0.2, 0.5, 0.9}) {
      interpolateFrame(table.data(), at, stride, stride, fraction, out);
      for (int k = 0; k < stride; ++k)
        EXPECT_NEAR(out[k], expected(k, frame + fraction), bounds[k])
            << "channel " << k << " at " << frame << " + " << fraction;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FrameWidths, InterleavedRead, ::testing::Values(2, 3, 4));

// ---- The read in the block processor ----

// A periodic wave rich in harmonics, with a period of `period` frames.
float periodic(double frame, double period) {
  const double phase = 2 * M_PI * frame / period;
  return static_cast<float>(0.5 * std::sin(phase) + 0.3 * std::sin(2 * phase + 1) +
                            0.2 * std::sin(5 * phase + 2));
}

// Frames of three floats: left, right, and the frame's index (from 1; 0 is
// the silence before any input), all read through the interpolator.
class InterpolatedRead : public EffectTest {
 protected:
  int frames = 0;
  long long nextIndex = 1;
  std::function<float(long long)> left = [](long long) { return 0.0f; };
  std::function<float(long long)> right = [](long long) { return 0.0f; };

  void SetUp() override {
    fx.settings.spliceMode = spliceMatched;
    fx.settings.readMode = readInterpolated;
    fx.audioChannels = 3;
  }
  void TearDown() override {
    EffectTest::TearDown();
    fx.settings = EffectSettings{};
  }

  InitOutcome setUp(const std::string& melody, int blockFrames, int historyBlocks = 200) {
    frames = blockFrames;
    nextIndex = 1;
    return init(melody, 0, 1, historyBlocks, frames * 12, 44100, 12);
  }

  // `count` blocks of fresh frames; the output, three floats a frame.
  std::vector<float> blocks(int count) {
    std::vector<float> all, input(static_cast<std::size_t>(3 * frames)), output(input.size());
    for (int b = 0; b < count; ++b) {
      for (int i = 0; i < frames; ++i, ++nextIndex) {
        input[static_cast<std::size_t>(3 * i)] = left(nextIndex);
        input[static_cast<std::size_t>(3 * i + 1)] = right(nextIndex);
        input[static_cast<std::size_t>(3 * i + 2)] = static_cast<float>(nextIndex);
      }
      effectProcess(fx, input.data(), output.data());
      all.insert(all.end(), output.begin(), output.end());
    }
    return all;
  }
};

// One stretch of the read, as the index trace shows it: between jumps the
// read position advances by the ratio exactly, so less ratio × t the trace
// is a constant; a crossfade is a straight line from the stretch left to the
// one taken.
struct Fade {
  std::size_t start;   // the first output frame with the new stretch in it
  std::size_t length;  // output frames with both
  double from, to;     // the two stretches' positions less ratio × t
};

// The crossfades of a trace from `first` on, checked to be straight lines
// between two constants; fails the test where the trace is neither.
std::vector<Fade> fadesOf(const std::vector<float>& out, double ratio, std::size_t first) {
  const std::size_t n = out.size() / 3;
  std::vector<double> u(n);
  for (std::size_t t = 0; t < n; ++t) u[t] = out[3 * t + 2] - 1.0 - ratio * static_cast<double>(t);
  // The index is a float near 1e5: its rounding and the kernel's leave a
  // few hundredths of a frame.
  const double noise = 0.05;
  std::vector<Fade> fades;
  // From the first constant stretch on: a fade under way at `first` is cut.
  while (first + 1 < n && std::fabs(u[first + 1] - u[first]) > noise) ++first;
  for (std::size_t t = first; t + 1 < n;) {
    if (std::fabs(u[t + 1] - u[t]) <= noise) {
      ++t;
      continue;
    }
    std::size_t end = t + 1;
    while (end + 1 < n && std::fabs(u[end + 1] - u[end]) > noise) ++end;
    if (end + 1 >= n) break;  // cut off by the end of the trace
    Fade fade{t + 1, end - t - 1, u[t], u[end]};
    const double step = (fade.to - fade.from) / static_cast<double>(end - t);
    for (std::size_t k = t + 1; k <= end; ++k)
      EXPECT_NEAR(u[k] - u[k - 1], step, 2 * noise) << "not a straight fade at frame " << k;
    fades.push_back(fade);
    t = end;
  }
  return fades;
}

struct ReadCase {
  const char* hz;
  double ratio;
  int frames;
  int maxDelayMs;
  double period;  // of the input, in frames
};

class InterpolatedSplices : public InterpolatedRead,
                            public ::testing::WithParamInterface<ReadCase> {};

// On a periodic input, every jump lands a whole number of periods away, to
// within a small part of a frame: between frames, where the waveform
// matches. Each is an equal-gain linear crossfade as long as the set-up says,
// and neither of its stretches reads a frame that has not arrived or lags by
// more than one buffer plus MaxDelay.
TEST_P(InterpolatedSplices, LandBetweenFramesAndFadeWithinTheBounds) {
  const ReadCase c = GetParam();
  const double period = c.period;
  left = [period](long long i) { return periodic(static_cast<double>(i), period); };
  fx.settings.maxDelayMs = c.maxDelayMs;
  ASSERT_EQ(setUp(std::string("440\n100000 ") + c.hz + "\n", c.frames).result, 0);
  const std::vector<float> out = blocks(44100 / c.frames);
  const std::size_t first = 4410;  // the first jumps compare against the silence before the input
  const std::vector<Fade> fades = fadesOf(out, c.ratio, first);
  ASSERT_FALSE(HasFailure());
  ASSERT_GT(fades.size(), 20u);
  const double lagLimit = c.frames + fx.splice.maxDelayFrames;
  double worstLanding = 0;
  // A fade's stretches drift apart by |ratio - 1| a frame; it is shorter
  // where the full length would take them further apart than fadeReach.
  const double drift = std::fabs(c.ratio - 1);
  const std::size_t fadeLength = static_cast<std::size_t>(
      std::min<double>(fx.splice.fadeFrames, std::floor(fx.splice.fadeReach / drift)));
  for (const Fade& fade : fades) {
    EXPECT_EQ(fade.length, fadeLength) << fade.start;
    const double jump = fade.to - fade.from;
    worstLanding = std::max(worstLanding, std::fabs(jump - std::round(jump / period) * period));
    // The stretch left is heard up to the fade's last frame, the one taken
    // from its first.
    for (std::size_t t = fade.start - 1; t <= fade.start + fade.length; ++t) {
      const double blockEnd = static_cast<double>((t / c.frames + 1) * c.frames - 1);
      for (double stretch : {fade.from, fade.to}) {
        if (t == (stretch == fade.from ? fade.start + fade.length : fade.start - 1)) continue;
        const double position = stretch + c.ratio * static_cast<double>(t);
        ASSERT_LE(std::floor(position + 0.05) + interpolationHalf, blockEnd) << "ahead at " << t;
        ASSERT_LE(static_cast<double>(t) - position, lagLimit + 0.05) << "lags at " << t;
      }
    }
  }
  EXPECT_LT(worstLanding, 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Notes, InterpolatedSplices,
    ::testing::Values(ReadCase{"660", 1.5, 64, 25, 200.45}, ReadCase{"880", 2.0, 128, 25, 200.45},
                      ReadCase{"330", 0.75, 64, 25, 200.45}, ReadCase{"220", 0.5, 256, 25, 200.45},
                      ReadCase{"495", 1.125, 2048, 25, 200.45},
                      // A high voice: a fade drifts over several periods.
                      ReadCase{"880", 2.0, 64, 25, 44.1},
                      // Limits nearer than a downward note's early jumps: its
                      // jumps wait for the limit, less the fade's drift. A
                      // shorter period leaves room for a whole one to match.
                      ReadCase{"220", 0.5, 64, 5, 90.7}, ReadCase{"330", 0.75, 128, 5, 90.7},
                      ReadCase{"880", 2.0, 64, 5, 90.7}),
    [](const ::testing::TestParamInfo<ReadCase>& info) {
      return std::string(info.param.hz) + "Hz" + std::to_string(info.param.frames) + "Frames" +
             std::to_string(info.param.maxDelayMs) + "Ms" +
             std::to_string(static_cast<int>(info.param.period)) + "Period";
    });

// The splices match the left channel alone; on the right a tone of another
// pitch has its phase broken at every jump. The crossfade spreads the break
// over its length: no sample differs from the one before by more than the
// tone's own slope plus one fade step of the largest break.
TEST_F(InterpolatedRead, NoStepAtASplice) {
  const double period = 200.45, amplitude = 0.5, hz = 97;
  left = [period](long long i) { return periodic(static_cast<double>(i), period); };
  right = [=](long long i) {
    return static_cast<float>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate));
  };
  fx.settings.stereoMode = stereoLeftToBoth;  // compare the left sample only
  for (double ratio : {1.5, 0.75}) {
    SCOPED_TRACE(ratio);
    ASSERT_EQ(setUp("440\n100000 " + std::to_string(440 * ratio) + "\n", 64).result, 0);
    const std::vector<float> out = blocks(44100 / 64);
    const std::vector<Fade> fades = fadesOf(out, ratio, 4410);
    ASSERT_FALSE(HasFailure());
    ASSERT_GT(fades.size(), 20u);
    // The breaks are real: cut there without a fade, the right would step.
    double largestBreak = 0;
    for (const Fade& fade : fades) {
      const double t = static_cast<double>(fade.start);
      const double w = 2 * M_PI * hz / rate;
      largestBreak = std::max(largestBreak, std::fabs(std::sin(w * (fade.to + ratio * t)) -
                                                      std::sin(w * (fade.from + ratio * t))));
    }
    ASSERT_GT(largestBreak, 0.5);
    const double slope = ratio * amplitude * 2 * M_PI * hz / rate;
    const double fadeStep = 2 * amplitude / (fx.splice.fadeFrames + 1);
    double worst = 0;
    for (std::size_t t = 4410; t + 1 < out.size() / 3; ++t)
      worst = std::max(worst, static_cast<double>(std::fabs(out[3 * t + 4] - out[3 * t + 1])));
    EXPECT_LE(worst, slope + fadeStep + 1e-4);
    effectRelease(fx);
  }
}

// Between jumps, and at the input's own pitch always, the read follows the
// input at half a kernel's delay: at ratio 1 every output frame is the input
// frame interpolationHalf before it.
TEST_F(InterpolatedRead, AtTheInputsOwnPitchTheDelayIsHalfAKernel) {
  left = [](long long i) { return periodic(static_cast<double>(i), 100.3); };
  ASSERT_EQ(setUp("440\n100000 440\n", 64).result, 0);
  const std::vector<float> out = blocks(200);
  for (std::size_t t = 100; t < out.size() / 3; ++t) {
    const long long index = static_cast<long long>(t) + 1 - interpolationHalf;
    ASSERT_NEAR(out[3 * t + 2], static_cast<float>(index), 1e-3) << t;
    ASSERT_NEAR(out[3 * t], left(index), 1e-5) << t;
  }
}

TEST_F(InterpolatedRead, SetUpRefusesWhatItCannotRead) {
  struct Case {
    SpliceMode splice;
    int audioChannels, frameBytes, historyBlocks;
    std::string message;
  };
  const Case cases[] = {
      {spliceBlock, 3, 12, 200, "Interpolated reading needs matched splices.\n"},
      {spliceMatched, 0, 12, 200, "Interpolated reading needs frames of 32-bit float samples.\n"},
      {spliceMatched, 4, 12, 200, "Interpolated reading needs frames of 32-bit float samples.\n"},
      {spliceMatched, 1, 2, 200, "Interpolated reading needs frames of 32-bit float samples.\n"},
      // The least lag limit (a buffer and 5 ms, 284 frames), a buffer's move,
      // the compared stretch (220) and the kernel's reach (16): 584 frames in
      // 10 buffers, and the newest one.
      {spliceMatched, 3, 12, 10, "Interpolated reading needs a history of 11 buffers here.\n"},
  };
  for (const Case& c : cases) {
    fx.settings.spliceMode = c.splice;
    fx.audioChannels = c.audioChannels;
    const InitOutcome outcome =
        init("440\n100 660\n", 0, 1, c.historyBlocks, 64 * c.frameBytes, 44100, c.frameBytes);
    EXPECT_EQ(outcome.result, 1) << c.message;
    EXPECT_NE(outcome.printed.find(c.message), std::string::npos) << outcome.printed;
    EXPECT_EQ(outcome.printed.find("Initialized"), std::string::npos) << outcome.printed;
    effectRelease(fx);
  }
  // Enough history: the same set-up works.
  fx.settings.spliceMode = spliceMatched;
  fx.audioChannels = 3;
  EXPECT_EQ(init("440\n100 660\n", 0, 1, 11, 64 * 12, 44100, 12).result, 0);
}

// A file set up after an interpolated one plays in the mode it asks for:
// verbatim output, frame for frame what a fresh verbatim set-up plays.
TEST_F(InterpolatedRead, ASecondSetUpDoesNotInheritTheRead) {
  left = [](long long i) { return periodic(static_cast<double>(i), 77.7); };
  const std::string melody = "440\n30 660 20 330 50 880 -3\n";
  fx.settings.readMode = readVerbatim;
  ASSERT_EQ(setUp(melody, 64).result, 0);
  const std::vector<float> fresh = blocks(300);
  fx.settings.readMode = readInterpolated;
  ASSERT_EQ(setUp(melody, 64).result, 0);
  const std::vector<float> interpolated = blocks(300);
  fx.settings.readMode = readVerbatim;
  ASSERT_EQ(setUp(melody, 64).result, 0);
  EXPECT_EQ(fx.splice.readMode, readVerbatim);
  EXPECT_EQ(blocks(300), fresh);
  EXPECT_NE(interpolated, fresh);
}

TEST_F(InterpolatedRead, EveryFailedAllocationOfTheSetUpIsReported) {
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
  // Those of matched splices (at least 7), and the interpolator's table.
  EXPECT_GE(failures, 8);
  EXPECT_NE(fx.splice.kernel, nullptr);
}

}  // namespace
