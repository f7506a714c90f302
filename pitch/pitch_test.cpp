#include "pitch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr double rate = 44100;

std::vector<float> sine(double hz, std::size_t frames, double phase = 0, double amp = 0.5) {
  std::vector<float> x(frames);
  for (std::size_t i = 0; i < frames; ++i)
    x[i] = float(amp * std::sin(2 * M_PI * hz * i / rate + phase));
  return x;
}

// Ten harmonics falling off as 1/k, like a bright sung or bowed tone.
std::vector<float> harmonic(double hz, std::size_t frames) {
  std::vector<float> x(frames, 0.0f);
  for (int k = 1; k <= 10; ++k)
    for (std::size_t i = 0; i < frames; ++i)
      x[i] += float(0.3 / k * std::sin(2 * M_PI * k * hz * i / rate));
  return x;
}

void append(std::vector<float>& to, const std::vector<float>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

TEST(EstimatePitch, SinesAcrossTheRangeWithinOnePercent) {
  PitchOptions o;
  for (double hz : {100.0, 147.3, 220.0, 440.0, 661.5, 1000.0, 1234.5, 1800.0, 2000.0}) {
    for (double phase : {0.0, 1.3}) {
      std::vector<float> x = sine(hz, 4096, phase);
      double got = estimatePitch(x.data(), x.size(), o);
      EXPECT_NEAR(got, hz, hz * 0.01) << "tone " << hz << " phase " << phase;
    }
  }
}

TEST(EstimatePitch, HarmonicToneGivesItsFundamentalNotAnOctave) {
  PitchOptions o;
  for (double hz : {110.0, 150.0, 440.0, 900.0}) {
    std::vector<float> x = harmonic(hz, 4096);
    EXPECT_NEAR(estimatePitch(x.data(), x.size(), o), hz, hz * 0.01) << hz;
  }
}

TEST(EstimatePitch, NoPitchForSilenceNoiseOrTooFewSamples) {
  PitchOptions o;
  std::vector<float> silence(4096, 0.0f);
  EXPECT_EQ(estimatePitch(silence.data(), silence.size(), o), 0);

  std::vector<float> quiet = sine(440, 4096, 0, 1e-4);
  EXPECT_EQ(estimatePitch(quiet.data(), quiet.size(), o), 0);

  std::vector<float> noise(4096);
  uint32_t state = 12345;
  for (float& v : noise) {
    state = state * 1664525u + 1013904223u;
    v = float(state >> 8) / float(1 << 24) - 0.5f;
  }
  EXPECT_EQ(estimatePitch(noise.data(), noise.size(), o), 0);

  // A 100 Hz period needs window + 441 lags; one sample short gives nothing.
  std::vector<float> shortTone = sine(440, o.window + 441);
  EXPECT_EQ(estimatePitch(shortTone.data(), shortTone.size(), o), 0);
}

// What the effect plays for a note at 1.5 times the input's pitch: the input
// read 1.5 frames per output frame, jumping back by one 512-frame block every
// time it runs ahead, with no cross-fade at the jump.
TEST(TrackPitch, SpeededUpToneWithBlockJumpsReadsAsTheSpeededPitch) {
  std::vector<float> in = sine(440, 200000);
  std::vector<float> out;
  long read = 512 * 4;
  for (long i = 0; i < 44100; ++i) {
    long newestEnd = 512 * 4 + ((i / 512) + 1) * 512;
    if (read >= newestEnd) read -= 512;
    out.push_back(in[read]);
    read += (i % 2 == 0) ? 2 : 1;
  }
  PitchOptions o;
  std::vector<PitchFrame> frames = trackPitch(out.data(), out.size(), 1, o);
  std::vector<PitchSegment> segs = pitchSegments(frames, o.hop / rate, 0.015, 0.05, 0.05);
  ASSERT_EQ(segs.size(), 1u);
  EXPECT_NEAR(segs[0].hz, 660, 6.6);
  EXPECT_GT(segs[0].end - segs[0].start, 0.9);
}

TEST(PitchSegments, StepsOfAMelodyWithTheirTimes) {
  std::vector<float> x = sine(440, 44100);                  // 0.0 - 1.0 s
  append(x, sine(660, 44100));                              // 1.0 - 2.0 s
  append(x, std::vector<float>(size_t(0.3 * rate), 0.0f));  // 2.0 - 2.3 s
  append(x, harmonic(330, 22050));                          // 2.3 - 2.8 s
  append(x, std::vector<float>(size_t(0.2 * rate), 0.0f));  // 2.8 - 3.0 s
  PitchOptions o;
  std::vector<PitchFrame> frames = trackPitch(x.data(), x.size(), 1, o);
  ASSERT_FALSE(frames.empty());
  std::vector<PitchSegment> segs = pitchSegments(frames, o.hop / rate, 0.015, 0.05, 0.05);
  ASSERT_EQ(segs.size(), 3u);
  const double expected[3][3] = {{0.0, 1.0, 440}, {1.0, 2.0, 660}, {2.3, 2.8, 330}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(segs[i].hz, expected[i][2], expected[i][2] * 0.01) << i;
    // The first window starts at 0, so the first stretch begins half a
    // window late; elsewhere the boundaries sit within two hops.
    double startSlack = i == 0 ? o.window / rate : 0.02;
    EXPECT_NEAR(segs[i].start, expected[i][0], startSlack) << i;
    EXPECT_NEAR(segs[i].end, expected[i][1], 0.02) << i;
  }
  EXPECT_EQ(segs[0].end, segs[1].start);         // a direct change of pitch
  EXPECT_GT(segs[2].start - segs[1].end, 0.25);  // a pause stays a pause
}

TEST(PitchSegments, ShortDropOutBetweenEqualPitchesIsBridgedLongGapIsNot) {
  auto frame = [](double t, double hz) { return PitchFrame{t, hz, 0.3}; };
  std::vector<PitchFrame> frames;
  double t = 0;
  for (int i = 0; i < 20; ++i) frames.push_back(frame(t += 0.01, 440));
  frames.push_back(frame(t += 0.01, 610));  // one stray window
  for (int i = 0; i < 20; ++i) frames.push_back(frame(t += 0.01, 441));
  for (int i = 0; i < 30; ++i) frames.push_back(frame(t += 0.01, 0));  // 0.3 s silence
  for (int i = 0; i < 20; ++i) frames.push_back(frame(t += 0.01, 440));

  std::vector<PitchSegment> segs = pitchSegments(frames, 0.01, 0.015, 0.05, 0.05);
  ASSERT_EQ(segs.size(), 2u);
  EXPECT_NEAR(segs[0].end - segs[0].start, 0.41, 1e-9);
  EXPECT_NEAR(segs[0].hz, 440.5, 0.6);
  EXPECT_NEAR(segs[1].start - segs[0].end, 0.3, 1e-9);
}

TEST(TrackPitch, ReadsOneChannelOfInterleavedFrames) {
  std::vector<float> left = sine(440, 8192), right = sine(550, 8192);
  std::vector<float> stereo;
  for (std::size_t i = 0; i < left.size(); ++i) {
    stereo.push_back(left[i]);
    stereo.push_back(right[i]);
  }
  PitchOptions o;
  std::vector<PitchFrame> l = trackPitch(stereo.data(), left.size(), 2, o);
  std::vector<PitchFrame> r = trackPitch(stereo.data() + 1, left.size(), 2, o);
  ASSERT_EQ(l.size(), r.size());
  ASSERT_FALSE(l.empty());
  for (std::size_t i = 0; i < l.size(); ++i) {
    EXPECT_NEAR(l[i].hz, 440, 4.4);
    EXPECT_NEAR(r[i].hz, 550, 5.5);
  }
}

// A 5.5 Hz vibrato on a drift, as a pitch track reads it: its amplitude,
// whatever the drift, with a misread window (a fifth off) now and then.
TEST(VibratoAmplitude, FindsTheSineUnderADriftAndDropsMisreadPoints) {
  struct Case {
    double amplitude, drift;
    int misreadEvery;  // 0: none
  };
  for (const Case& c :
       {Case{12, 0, 0}, Case{12, 150, 0}, Case{3, 150, 17}, Case{0, 80, 9}, Case{40, 300, 5}}) {
    std::vector<double> seconds, cents;
    int misread = 0;
    for (int k = 0; k < 190; ++k) {
      const double t = 0.05 + 0.005 * k;
      seconds.push_back(t);
      double y = c.drift * std::sin(2 * M_PI * 0.2 * t + 1) +
                 c.amplitude * std::sin(2 * M_PI * 5.5 * t + 0.7);
      if (c.misreadEvery && k % c.misreadEvery == 3) {
        y += 702;
        ++misread;
      }
      cents.push_back(y);
    }
    int dropped = 0;
    EXPECT_NEAR(vibratoAmplitude(seconds, cents, 5.5, &dropped), c.amplitude, 0.05)
        << c.amplitude << " on " << c.drift;
    EXPECT_EQ(dropped, misread);
  }
  EXPECT_EQ(vibratoAmplitude({0.1, 0.2}, {1.0}, 5.5), 0) << "sizes that differ";
  EXPECT_EQ(vibratoAmplitude({}, {}, 5.5), 0);
}

}  // namespace
