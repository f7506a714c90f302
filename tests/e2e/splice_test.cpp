// End to end, the matched splices: at a period where block jumps put a bent
// note far off its pitch, the program plays it on pitch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace {

// Every piece of the stretch at `hz`, and `seconds` of it at least. A machine
// busy elsewhere can drop a period of the server's and so cut the stretch
// in two; the pitch must hold in every piece all the same.
void expectPitchThroughout(const std::vector<PitchSegment>& segments, double hz, double seconds) {
  ASSERT_FALSE(segments.empty());
  double heard = 0;
  for (const PitchSegment& s : segments) {
    EXPECT_NEAR(s.hz, hz, hz * 0.005) << describe(segments);
    heard += s.end - s.start;
  }
  EXPECT_GT(heard, seconds) << describe(segments);
}

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
  expectPitchThroughout(segments, 330, 1.5);
  std::printf("matched splices at 128 frames:\n%s", describe(segments).c_str());
}

// How much of channel 0 of `r` (from `start`, `length` frames) a sine of
// `hz` holds, against the rest, in dB: the sine fitted by least squares.
double sinePurity(const Recording& r, std::size_t start, std::size_t length, double hz) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  for (std::size_t t = start; t < start + length; ++t) {
    const double w = 2 * M_PI * hz * static_cast<double>(t) / r.rate;
    const double x = r.samples[t * r.channels];
    ss += std::sin(w) * std::sin(w);
    sc += std::sin(w) * std::cos(w);
    cc += std::cos(w) * std::cos(w);
    xs += x * std::sin(w);
    xc += x * std::cos(w);
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double sine = 0, rest = 0;
  for (std::size_t t = start; t < start + length; ++t) {
    const double w = 2 * M_PI * hz * static_cast<double>(t) / r.rate;
    const double fit = a * std::sin(w) + b * std::cos(w);
    sine += fit * fit;
    rest += (r.samples[t * r.channels] - fit) * (r.samples[t * r.channels] - fit);
  }
  return 10 * std::log10(sine / std::max(rest, 1e-30));
}

// The "Read: interpolated" line reaches the effect: the bent tone is as pure
// as only reads between frames make it (whole frames leave it near 40 dB).
TEST_F(EndToEnd, InterpolatedReadBendsATonePurelyAt128Frames) {
  startServer(128);
  startTone({"220"});
  dir.write("melody.txt", "220\n3000 330\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\nSplice: matched\nRead: interpolated\n",
              {"melody.txt"});
  startProgram();

  expectOutput("for default ('1')\n", startupSeconds);
  sendKeys(program, " ");
  expectOutput("Buffer length: 128 frames\n");
  startRecorder();
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  letRun(2.0);
  sendKeys(program, " ");
  expectOutput("Wire off.\n");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);

  Recording r = stopRecorder();
  ASSERT_EQ(r.rate, 44100);
  auto plays = soundStretches(r, 0.1);
  ASSERT_EQ(plays.size(), 1u);
  const auto segments = segmentsOf(r, plays[0].first, plays[0].second, 0);
  expectPitchThroughout(segments, 330, 1.5);
  // From 0.3 s into the stretch to 0.3 s before its end, clear of the
  // switches on and off; the median window, as a machine busy elsewhere may
  // break a period or two of the server's.
  const std::size_t edge = static_cast<std::size_t>(0.3 * r.rate), window = 4096;
  std::vector<double> purities;
  for (std::size_t at = plays[0].first + edge; at + window + edge <= plays[0].second; at += window)
    purities.push_back(sinePurity(r, at, window, 330));
  ASSERT_GE(purities.size(), 5u);
  std::nth_element(purities.begin(), purities.begin() + purities.size() / 2, purities.end());
  const double median = purities[purities.size() / 2];
  EXPECT_GT(median, 60);
  std::printf("interpolated read at 128 frames: median purity %.1f dB\n%s", median,
              describe(segments).c_str());
}

}  // namespace
