// Absolute pitch: the measurement on its own, the correction's response to
// the pitch it is given, and the mode in the block processor, traced frame
// by frame through an index channel as the splice tests do.
#include "pitchtrack.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "effect_testing.h"
#include "splice.h"
#include "vowel.h"

namespace {

constexpr int rate = 44100;
// What the effect waits for after a point before it measures there.
constexpr int lookAhead = 353;

// A wave rich in harmonics at `cycles` into it.
float harmonic(double cycles) {
  const double phase = 2 * M_PI * cycles;
  return static_cast<float>(0.5 * std::sin(phase) + 0.3 * std::sin(2 * phase + 1) +
                            0.2 * std::sin(5 * phase + 2));
}

double cents(double hz, double reference) {
  return 1200 * std::log2(hz / reference);
}

// A signal of `frames` frames whose pitch at frame n is hzAt(n), phase
// continuous; `pure` gives a sine, otherwise the harmonic wave.
std::vector<float> toneOf(std::size_t frames, const std::function<double(double)>& hzAt,
                          bool pure) {
  std::vector<float> x(frames);
  double cycles = 0;
  for (std::size_t n = 0; n < frames; ++n) {
    x[n] = pure ? static_cast<float>(0.5 * std::sin(2 * M_PI * cycles)) : harmonic(cycles);
    cycles += hzAt(static_cast<double>(n)) / rate;
  }
  return x;
}

class Estimator : public ::testing::Test {
 protected:
  EffectState owner;
  PitchEstimator e;
  void SetUp() override { ASSERT_TRUE(pitchEstimatorSetUp(owner, e, rate)); }
  void TearDown() override { pitchEstimatorRelease(e); }

  // The estimate at `centre` of a signal that ends where the effect would
  // have it end: the look-ahead after the centre, and not a frame more.
  double at(std::vector<float> x, int centre) {
    x.resize(static_cast<std::size_t>(centre + lookAhead + 1));
    return estimatePitchAround(e, x.data(), centre, 0, centre + lookAhead);
  }
};

TEST_F(Estimator, FindsSteadyPitchesAcrossTheRange) {
  struct Case {
    double hz;
    bool pure;
    double toleranceCents;
  };
  // The ends of the range, a low voice whose window cannot be centred in
  // the look-ahead, and harmonic-rich waves whose fundamental is weak.
  const Case cases[] = {{56, true, 0.5},   {82.4, false, 0.5}, {150, false, 0.5}, {220, true, 0.1},
                        {440, false, 0.5}, {987.8, true, 0.5}, {1450, true, 1.0}};
  for (const Case& c : cases) {
    const auto x = toneOf(
        6000, [&](double) { return c.hz; }, c.pure);
    for (int centre : {3000, 4111, 5000}) {
      const double hz = at(x, centre);
      ASSERT_GT(hz, 0) << c.hz << " Hz at " << centre;
      EXPECT_NEAR(cents(hz, c.hz), 0, c.toleranceCents) << c.hz << " Hz at " << centre;
    }
  }
}

// A fast vibrato (+-100 cents at 6 Hz): the estimate is the pitch at its
// centre, not at the newest frame it may read, 8 ms later.
TEST_F(Estimator, MeasuresThePitchAtItsCentre) {
  auto hzAt = [](double n) { return 180 * std::pow(2.0, std::sin(2 * M_PI * 6 * n / rate) / 12); };
  const auto x = toneOf(40000, hzAt, false);
  double centred = 0, newest = 0;
  int count = 0;
  for (int centre = 3000; centre < 39000; centre += 97, ++count) {
    const double hz = at(x, centre);
    ASSERT_GT(hz, 0) << centre;
    centred = std::max(centred, std::fabs(cents(hz, hzAt(centre))));
    newest = std::max(newest, std::fabs(cents(hz, hzAt(centre + lookAhead))));
  }
  EXPECT_LT(centred, 6.0);
  EXPECT_GT(newest, 20.0) << "the signal cannot tell the two apart";
}

// A note's attack, 30 dB in 100 ms: measured as it grows, and right.
TEST_F(Estimator, AGrowingSoundIsMeasuredAsItGrows) {
  auto x = toneOf(
      20000, [](double) { return 200.0; }, false);
  for (std::size_t n = 0; n < x.size(); ++n)
    x[n] *= static_cast<float>(std::pow(10.0, (std::min(n, std::size_t{4410}) / 4410.0 - 1) * 1.5));
  for (int centre = 2000; centre <= 4000; centre += 250) {
    const double hz = at(x, centre);
    ASSERT_GT(hz, 0) << centre;
    EXPECT_NEAR(cents(hz, 200), 0, 2.0) << centre;
  }
}

TEST_F(Estimator, NoPitchInSilenceNoiseOrTooFewFrames) {
  std::vector<float> x(6000, 0.0f);
  EXPECT_EQ(at(x, 4000), 0) << "silence";
  std::fill(x.begin(), x.end(), 1e-40f);  // denormal
  EXPECT_EQ(at(x, 4000), 0) << "denormals";
  std::mt19937 random(4);
  for (float& v : x) v = std::uniform_real_distribution<float>(-0.5f, 0.5f)(random);
  EXPECT_EQ(at(x, 4000), 0) << "white noise";

  const auto tone = toneOf(
      6000, [](double) { return 220.0; }, false);
  // Two periods of the lowest pitch are needed; one frame fewer is too few.
  const int span = 2 * e.maxLag;
  EXPECT_GT(estimatePitchAround(e, tone.data(), span - 1 - lookAhead, 0, span - 1), 0);
  EXPECT_EQ(estimatePitchAround(e, tone.data() + 1, span - 1 - lookAhead, 0, span - 2), 0);
  // Only frames from `oldest` to `newest` count, wherever they lie in x.
  EXPECT_GT(estimatePitchAround(e, tone.data(), 4000, 4001 - span + 1, 4001), 0);
  EXPECT_EQ(estimatePitchAround(e, tone.data(), 4000, 4001 - span + 2, 4001), 0);
}

TEST_F(Estimator, NonFiniteSamplesGiveAFiniteAnswer) {
  auto x = toneOf(
      6000, [](double) { return 220.0; }, false);
  x[3500] = std::numeric_limits<float>::quiet_NaN();
  x[3700] = std::numeric_limits<float>::infinity();
  const double hz = at(x, 4000);
  EXPECT_TRUE(std::isfinite(hz)) << hz;
}

// ---- The correction ----

struct StepCase {
  int retuneMs;
};

class CorrectionStep : public ::testing::TestWithParam<StepCase> {};

// The measured pitch steps from 200 to 220 Hz. With Retune 0 the ratio that
// makes 300 Hz follows at once; with a Retune of T ms the followed pitch
// covers 63% of the step (in octaves) after T ms and 95% after 3T, never
// overshooting; a frame without a pitch changes nothing.
TEST_P(CorrectionStep, FollowsAStepWithItsTimeConstant) {
  const int retuneMs = GetParam().retuneMs;
  const double coefficient = retuneCoefficient(retuneMs, rate);
  PitchCorrection c;
  EXPECT_EQ(correctedRatio(c, 300, 8), 1.0) << "before any pitch";
  followPitch(c, 0, coefficient);
  followPitch(c, std::numeric_limits<double>::quiet_NaN(), coefficient);
  EXPECT_EQ(correctedRatio(c, 300, 8), 1.0) << "nothing measured is no pitch";
  for (int n = 0; n < 100; ++n) followPitch(c, 200, coefficient);
  EXPECT_NEAR(correctedRatio(c, 300, 8), 1.5, 1e-12) << "the first pitch is taken at once";

  const double step = std::log2(220.0 / 200);
  auto covered = [&] { return std::log2(1.5 / correctedRatio(c, 300, 8)) / step; };
  followPitch(c, 220, coefficient);
  if (retuneMs == 0) {
    EXPECT_NEAR(covered(), 1.0, 1e-12);
    EXPECT_NEAR(correctedRatio(c, 300, 8), 300.0 / 220, 1e-12);
  } else {
    const long constant = static_cast<long>(retuneMs) * rate / 1000;
    double before = covered();
    for (long n = 1; n < 3 * constant; ++n) {
      followPitch(c, 220, coefficient);
      const double now = covered();
      ASSERT_GE(now, before) << n;
      ASSERT_LT(now, 1.0) << n;
      before = now;
      if (n == constant - 1) {
        EXPECT_NEAR(now, 1 - std::exp(-1.0), 0.005);
      }
    }
    EXPECT_NEAR(covered(), 1 - std::exp(-3.0), 0.005);
  }
  const double held = correctedRatio(c, 300, 8);
  for (int n = 0; n < 20000; ++n) followPitch(c, 0, coefficient);
  EXPECT_EQ(correctedRatio(c, 300, 8), held) << "a breath holds the ratio";
}

INSTANTIATE_TEST_SUITE_P(Retune, CorrectionStep,
                         ::testing::Values(StepCase{0}, StepCase{20}, StepCase{500}),
                         [](const ::testing::TestParamInfo<StepCase>& info) {
                           return std::to_string(info.param.retuneMs) + "ms";
                         });

TEST(Correction, RatiosStayWithinTheirBounds) {
  PitchCorrection c;
  followPitch(c, 100, 1);
  EXPECT_EQ(correctedRatio(c, 5000, 8), 8.0);
  EXPECT_EQ(correctedRatio(c, 1, 8), 1.0 / 8);
  EXPECT_NEAR(correctedRatio(c, 700, 8), 7.0, 1e-12);
  EXPECT_EQ(correctedRatio(c, 700, 4), 4.0);
}

// ---- The mode in the block processor ----

// Frames of two floats, the input's sample and then the frame's index (from
// 1; 0 is the silence before any input), or of three, with a right sample
// between them.
class AbsolutePitchTest : public EffectTest {
 protected:
  int frames = 0;
  int sampleRate = rate;
  long long nextIndex = 1;
  std::vector<double> inputCycles{0};  // the input's phase at each index, in cycles
  std::function<double(long long)> inputHz = [](long long) { return 0.0; };
  std::function<float(long long)> sampleAt = [this](long long index) {
    return harmonic(inputCycles[static_cast<std::size_t>(index)]);
  };
  std::function<float(long long)> rightAt;  // set: frames of three floats

  void SetUp() override { fx.settings.pitchMode = pitchAbsolute; }

  InitOutcome setUp(const std::string& melody, int blockFrames, int loop = 0) {
    frames = blockFrames;
    nextIndex = 1;
    inputCycles.assign(1, 0);
    const int frameBytes = rightAt ? 12 : 8;
    return init(melody, loop, 1, 200, frames * frameBytes, sampleRate, frameBytes);
  }

  // `count` blocks of fresh frames; the output's frame indices, each
  // checked to be a whole input frame that has arrived.
  std::vector<long long> blocks(int count) {
    std::vector<long long> all;
    const int floats = rightAt ? 3 : 2;
    std::vector<float> input(static_cast<std::size_t>(floats * frames)), output(input.size());
    for (int b = 0; b < count && !HasFailure(); ++b) {
      const long long first = nextIndex;
      for (int i = 0; i < frames; ++i, ++nextIndex) {
        inputCycles.push_back(inputCycles.back() + inputHz(nextIndex) / sampleRate);
        input[floats * i] = sampleAt(nextIndex);
        if (rightAt) input[floats * i + 1] = rightAt(nextIndex);
        input[floats * i + floats - 1] = static_cast<float>(nextIndex);
      }
      effectProcess(fx, input.data(), output.data());
      for (int i = 0; i < frames; ++i) {
        const float* frame = output.data() + floats * i;
        const long long index = static_cast<long long>(frame[floats - 1]);
        const bool whole = index >= 0 && index < first + frames &&
                           frame[0] == (index ? sampleAt(index) : 0.0f) &&
                           (!rightAt || frame[1] == (index ? rightAt(index) : 0.0f));
        if (!whole) {
          ADD_FAILURE() << "output frame " << first + i << " is no input frame";
          return all;
        }
        all.push_back(index);
      }
    }
    return all;
  }

  // The output's pitch over output frames [from, to): the input's phase at
  // the frames copied, unwrapped (a jump of whole periods adds only its
  // error), over the time it took.
  double outputHz(const std::vector<long long>& out, std::size_t from, std::size_t to,
                  double expectedHz,
                  const std::function<double(long long)>& cyclesAt = nullptr) const {
    const double perFrame = expectedHz / sampleRate;
    auto phase = [&](long long index) {
      return cyclesAt ? cyclesAt(index) : inputCycles[static_cast<std::size_t>(index)];
    };
    double cycles = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
      const double d = phase(out[i]) - phase(out[i - 1]);
      cycles += d - std::round(d - perFrame);
    }
    return cycles * sampleRate / static_cast<double>(to - from - 1);
  }
};

struct NoteCase {
  int frames;
  double inputHz;
  int rate = 44100;
};

class AbsoluteNotes : public AbsolutePitchTest, public ::testing::WithParamInterface<NoteCase> {};

// Whatever pitch comes in, each note comes out at its own frequency, and a
// note at the base frequency (a rest) lets the input's own pitch through.
TEST_P(AbsoluteNotes, EveryNoteComesOutAtItsFrequency) {
  const NoteCase c = GetParam();
  sampleRate = c.rate;
  inputHz = [&](long long) { return c.inputHz; };
  // 400 ms each: 330 Hz, a rest, 196 Hz, 523.25 Hz.
  ASSERT_EQ(setUp("220\n400 330 400 220 400 196 400 523.25\n", c.frames).result, 0);
  const std::size_t note = static_cast<std::size_t>(c.rate) * 2 / 5;
  const auto out = blocks(static_cast<int>(4 * note) / c.frames + 1);
  ASSERT_FALSE(HasFailure());
  const double written[] = {330, c.inputHz, 196, 523.25};
  for (int n = 0; n < 4; ++n) {
    // From 100 ms into the note to its end.
    const std::size_t from = static_cast<std::size_t>(n) * note + note / 4;
    const double hz = outputHz(out, from, static_cast<std::size_t>(n + 1) * note, written[n]);
    EXPECT_NEAR(cents(hz, written[n]), 0, 1.0) << "note " << n + 1 << ": " << hz << " Hz";
  }
}

INSTANTIATE_TEST_SUITE_P(InputsAndBlocks, AbsoluteNotes,
                         ::testing::Values(NoteCase{64, 220 * 1.0412}, NoteCase{128, 180},
                                           NoteCase{512, 261.6}, NoteCase{2048, 220 * 1.0412},
                                           NoteCase{100, 98},
                                           // Measured at every second and fourth frame.
                                           NoteCase{128, 180, 96000}, NoteCase{256, 98, 192000},
                                           NoteCase{64, 220, 22050}),
                         [](const ::testing::TestParamInfo<NoteCase>& info) {
                           return std::to_string(info.param.frames) + "Frames" +
                                  std::to_string(static_cast<int>(info.param.inputHz)) + "Hz_at" +
                                  std::to_string(info.param.rate);
                         });

struct RetuneCase {
  int retuneMs;
  double lowCents, highCents;  // the output's error 40 ms after the input's step
};

class AbsoluteRetune : public AbsolutePitchTest,
                       public ::testing::WithParamInterface<RetuneCase> {};

// The input steps 100 cents up in the middle of a note: with Retune 0 the
// note is back on its pitch within about 10 ms of the step reaching the
// frames read (measured over 20 ms, to within the splices' jitter); with a
// Retune of 300 ms the step comes through (e^(-40/300) of it after 40 ms)
// and fades with that time constant.
TEST_P(AbsoluteRetune, AStepOfTheInputComesThroughForTheRetuneTime) {
  const RetuneCase c = GetParam();
  fx.settings.retuneMs = c.retuneMs;
  const long long stepAt = 22050;
  inputHz = [&](long long n) { return n < stepAt ? 200.0 : 200 * std::pow(2.0, 1.0 / 12); };
  ASSERT_EQ(setUp("440\n2000 300\n", 128).result, 0);
  const auto out = blocks(600);
  ASSERT_FALSE(HasFailure());
  // The first output frame that reads past the step.
  std::size_t reached = 0;
  while (reached < out.size() && out[reached] < stepAt) ++reached;
  ASSERT_LT(reached + 44100, out.size());
  const double before = cents(outputHz(out, reached - 4410, reached - 441, 300), 300);
  EXPECT_NEAR(before, 0, 1.0);
  const std::size_t later = reached + 40 * rate / 1000;
  const double after = cents(outputHz(out, later - 441, later + 441, 300), 300);
  EXPECT_GE(after, c.lowCents);
  EXPECT_LE(after, c.highCents);
  const double settled = cents(outputHz(out, reached + 39690, reached + 44100, 300), 300);
  EXPECT_NEAR(settled, 0, c.retuneMs ? 5.0 : 1.0) << "a second later";
}

INSTANTIATE_TEST_SUITE_P(Retune, AbsoluteRetune,
                         ::testing::Values(RetuneCase{0, -2.0, 2.0},
                                           RetuneCase{300, 100 * std::exp(-40.0 / 300) - 8,
                                                      100 * std::exp(-40.0 / 300) + 8}),
                         [](const ::testing::TestParamInfo<RetuneCase>& info) {
                           return std::to_string(info.param.retuneMs) + "ms";
                         });

// No pitch before any is found: the input passes at its own pitch. Once
// one is found, a silence holds the ratio it had. The tone starts and ends
// with a 20 ms fade, as a sung note does.
TEST_F(AbsolutePitchTest, WithoutAPitchTheLastRatioHolds) {
  const long long toneFrom = 44100, silenceFrom = 88200, fade = 882;
  inputHz = [](long long) { return 200.0; };
  sampleAt = [this, toneFrom, silenceFrom, fade](long long index) {
    if (index < toneFrom || index >= silenceFrom) return 0.0f;
    const double level = std::min({1.0, static_cast<double>(index - toneFrom) / fade,
                                   static_cast<double>(silenceFrom - index) / fade});
    return static_cast<float>(level * harmonic(inputCycles[static_cast<std::size_t>(index)]));
  };
  ASSERT_EQ(setUp("440\n5000 300\n", 256).result, 0);
  const auto out = blocks(3 * 44100 / 256);
  ASSERT_FALSE(HasFailure());
  // The read position's mean advance per output frame, jumps left out.
  auto advance = [&](std::size_t from, std::size_t to) {
    long long moved = 0, counted = 0;
    for (std::size_t i = from + 1; i <= to; ++i) {
      const long long step = out[i] - out[i - 1];
      if (step < 0 || step > 2) continue;
      moved += step;
      ++counted;
    }
    return static_cast<double>(moved) / static_cast<double>(counted);
  };
  // Silence first: ratio 1, with no jump at all once the lag has settled.
  EXPECT_EQ(out[22050 + 8820] - out[22050], 8820);
  // Then the tone at 300 Hz, and after it the silence read at 1.5.
  EXPECT_NEAR(cents(outputHz(out, 66150, 88200, 300), 300), 0, 1.0);
  EXPECT_NEAR(advance(110250, 110250 + 8820), 1.5, 0.001);
}

// The set-up says that absolute pitch plays with matched splices, whichever
// the configuration asks for, and relative pitch measures nothing.
TEST_F(AbsolutePitchTest, SetUpChoosesMatchedSplicesAndSaysSo) {
  for (SpliceMode splice : {spliceBlock, spliceMatched}) {
    fx.settings.spliceMode = splice;
    fx.settings.pitchMode = pitchAbsolute;
    InitOutcome outcome = setUp("440\n100 660\n", 64);
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(fx.splice.mode, spliceMatched);
    EXPECT_NE(fx.splice.pitch, nullptr);
    EXPECT_NE(outcome.printed.find(
                  "Absolute pitch: matched splices, at most one buffer plus 25 ms of delay.\n"),
              std::string::npos)
        << outcome.printed;
    fx.settings.pitchMode = pitchRelative;
    outcome = setUp("440\n100 660\n", 64);
    EXPECT_EQ(fx.splice.mode, splice);
    EXPECT_EQ(fx.splice.pitch, nullptr);
    EXPECT_EQ(outcome.printed.find("Absolute"), std::string::npos);
  }
}

// The left channel is measured, or the right one with right-to-both: with
// a left at 200 Hz and a right at 260 Hz, a note of 300 Hz puts the left
// on 300 Hz, or with right-to-both the right (the right would be at 390 Hz,
// the left at 230.8, if the other were measured).
TEST_F(AbsolutePitchTest, MeasuresTheChannelThatIsHeard) {
  inputHz = [](long long) { return 200.0; };
  auto rightCycles = [](long long index) { return 260 * static_cast<double>(index) / rate; };
  rightAt = [&](long long index) {
    return static_cast<float>(0.4 * std::sin(2 * M_PI * rightCycles(index)));
  };
  for (StereoMode stereo : {stereoNone, stereoLeftToBoth, stereoRightToBoth}) {
    fx.settings.stereoMode = stereo;
    ASSERT_EQ(setUp("440\n2000 300\n", 128).result, 0);
    const auto out = blocks(600);
    ASSERT_FALSE(HasFailure());
    const double hz = stereo == stereoRightToBoth ? outputHz(out, 22050, 66150, 300, rightCycles)
                                                  : outputHz(out, 22050, 66150, 300);
    EXPECT_NEAR(cents(hz, 300), 0, 1.0) << "stereo " << stereo;
  }
}

// A sung vowel with vibrato, bent up: each jump back goes one period or a
// few, well within 12 ms, even where a farther stretch matches a little
// better; long jumps would scramble the vibrato that Retune lets through.
TEST_F(AbsolutePitchTest, JumpsStayShort) {
  VowelPitch sung;
  sung.vibratoCents = 40;
  sung.vibratoHz = 5.5;
  sung.driftCents = 300;
  const std::vector<float> vowel = sungVowel(5 * rate, rate, sung);
  sampleAt = [&](long long index) { return vowel[static_cast<std::size_t>(index)]; };
  fx.settings.retuneMs = 500;
  ASSERT_EQ(setUp("150\n1000 392 1000 261.63 1000 329.63 1000 293.66\n", 256).result, 0);
  const auto out = blocks(4 * rate / 256);
  ASSERT_FALSE(HasFailure());
  int jumps = 0, long_ = 0;
  for (std::size_t i = 4410; i < out.size(); ++i) {
    const long long step = out[i] - out[i - 1];
    if (step >= 0 && step <= 8) continue;
    ++jumps;
    long_ += std::llabs(step) > rate * 12 / 1000;
  }
  ASSERT_GT(jumps, 300);
  EXPECT_LE(long_, jumps / 100);
}

struct LagCase {
  int frames;
  int maxDelayMs;
  const char* signal;
};

class AbsoluteLag : public AbsolutePitchTest, public ::testing::WithParamInterface<LagCase> {};

// Wild notes (up to the largest ratio, down to far below) on a tone, noise
// and silence: every output frame is an input frame that has arrived, none
// lags by more than one block plus MaxDelay.
TEST_P(AbsoluteLag, StaysWithinOneBlockPlusMaxDelay) {
  const LagCase c = GetParam();
  fx.settings.maxDelayMs = c.maxDelayMs;
  std::mt19937 random(11);
  std::vector<float> noise(1 << 16);
  for (float& n : noise) n = std::uniform_real_distribution<float>(-1, 1)(random);
  const std::string signal = c.signal;
  inputHz = [](long long n) { return 150 * std::pow(2.0, std::sin(n * 1e-4)); };
  if (signal == "noise")
    sampleAt = [noise](long long i) { return noise[static_cast<std::size_t>(i) % noise.size()]; };
  if (signal == "silence") sampleAt = [](long long) { return 0.0f; };
  ASSERT_EQ(setUp("100\n60 1200 40 20 50 100 30 310 40 690 25 90\n", c.frames, 1).result, 0);
  const int lagLimit = c.frames + fx.splice.maxDelayFrames;
  const auto out = blocks(std::max(40, 60000 / c.frames));
  ASSERT_FALSE(HasFailure());
  for (std::size_t i = 0; i < out.size(); ++i) {
    const long long n = static_cast<long long>(i) + 1;
    if (out[i] == 0) {
      ASSERT_LE(n, lagLimit) << "frame " << n << " reads before any input";
      continue;
    }
    ASSERT_LE(n - out[i], lagLimit) << "frame " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AbsoluteLag,
                         ::testing::Values(LagCase{64, 25, "tone"}, LagCase{64, 5, "tone"},
                                           LagCase{128, 25, "noise"}, LagCase{256, 5, "silence"},
                                           LagCase{2048, 25, "tone"}, LagCase{33, 25, "noise"}),
                         [](const ::testing::TestParamInfo<LagCase>& info) {
                           return std::to_string(info.param.frames) + "Frames" +
                                  std::to_string(info.param.maxDelayMs) + "Ms_" + info.param.signal;
                         });

TEST_F(AbsolutePitchTest, EveryFailedAllocationOfTheSetUpIsReported) {
  int failures = 0;
  for (int n = 0;; ++n) {
    fx.allocFailCountdown = n;
    const InitOutcome outcome = setUp("440\n100 660\n", 64);
    fx.allocFailCountdown = -1;
    if (outcome.result == 0) break;
    ++failures;
    EXPECT_NE(outcome.printed.find("Out of memory.\n"), std::string::npos) << n;
    effectRelease(fx);
    EXPECT_EQ(fx.splice.pitch, nullptr);
  }
  // The matched mode's own, the tracking record, the estimator's six
  // buffers, the channel array and its two buffers.
  EXPECT_GE(failures, 17);
}

}  // namespace
