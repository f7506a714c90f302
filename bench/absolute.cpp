// Absolute pitch beside relative pitch, at every buffer length: a sung
// vowel whose pitch wanders goes through an eight-note melody written in Hz,
// through the program's own stream callback as the render tool sends it.
//
//   input:  the quality benchmark's vowel (three formants) on 150 Hz, its
//           fundamental drifting +-300 cents (a 0.2 Hz sine) with a +-40 cent
//           vibrato at 5.5 Hz on top.
//   melody: eight notes of one second across an octave and a half, in Hz
//           (base 150, which no note equals); relative mode reads them as
//           ratios to 150, as if the singer held 150 Hz.
//
// Per buffer length and mode: the share of voiced 20 ms windows within +-10
// cents of the written note, from 50 ms after each note's start; the 5.5 Hz
// vibrato left in the output (the amplitude of a 5.5 Hz sine fitted, with a
// slow trend, to each note's pitch every 5 ms, the worst note), with Retune 0
// and with Retune 500; the most any output frame lags the input frame it
// copies. Then the exact ratio of matched splices in relative mode, white
// noise and silence in absolute mode, and the absolute callback's cost per
// buffer.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "callback.h"
#include "effect.h"
#include "pitch.h"
#include "vowel.h"

namespace {

constexpr int rate = 44100;
constexpr int noteFrames = 44100;  // 1000 ticks
constexpr double baseHz = 150;
// C3 to G4, an octave and a half, in an order that leaps both ways.
const double notes[] = {130.81, 392.00, 164.81, 261.63, 220.00, 293.66, 196.00, 329.63};
constexpr int noteCount = static_cast<int>(std::size(notes));
const int bufferLengths[] = {64, 128, 256, 512, 1024, 2048};
constexpr double vibratoHz = 5.5;

VowelPitch drifting() {
  VowelPitch p;
  p.hz = baseHz;
  p.vibratoCents = 40;
  p.vibratoHz = vibratoHz;
  p.driftCents = 300;
  p.driftHz = 0.2;
  return p;
}

std::string writeFile(const std::string& text) {
  char path[] = "/tmp/gwabsolute.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::fprintf(stderr, "cannot write %s\n", path);
    std::exit(1);
  }
  close(fd);
  return path;
}

std::string melodyText(int ticks) {
  std::string text = std::to_string(baseHz) + "\n";
  for (double hz : notes) text += std::to_string(ticks) + " " + std::to_string(hz) + "\n";
  return text;
}

struct Rendered {
  std::vector<float> signal;  // the output's left channel
  std::vector<long> lag;      // output frame index minus the input frame it copies
  bool finite = true;
  float loudest = 0;
  long jumps = 0, longJumps = 0;  // of the read position; long: beyond 12 ms
};

// The signal on the left and the right, each frame's index on a third
// channel, through the live set-up and the stream callback.
Rendered render(const std::vector<float>& input, const std::string& melody, int frames,
                EffectSettings settings) {
  EffectState fx;
  fx.numChannels = 3;
  fx.projectedFramesPerBuffer = frames;
  settings.sampleRate = rate;
  Rendered r;
  {
    QuietStdout quiet;
    if (liveEffectInit(fx, settings, melody.c_str(), 3, frames)) {
      std::fprintf(stderr, "set-up failed\n");
      std::exit(1);
    }
  }
  std::vector<float> in(3 * static_cast<std::size_t>(frames)), out(in.size());
  QuietStdout quiet;
  for (std::size_t at = 0; at + frames <= input.size(); at += frames) {
    for (int i = 0; i < frames; ++i) {
      in[3 * i] = in[3 * i + 1] = input[at + i];
      in[3 * i + 2] = static_cast<float>(at + i + 1);  // 0 is the silence before any input
    }
    streamCallback(in.data(), out.data(), static_cast<unsigned long>(frames), nullptr, 0, &fx);
    for (int i = 0; i < frames; ++i) {
      const float v = out[3 * i];
      r.finite = r.finite && std::isfinite(v) && std::isfinite(out[3 * i + 1]);
      r.loudest = std::max(r.loudest, std::fabs(v));
      r.signal.push_back(v);
      const long copied = static_cast<long>(out[3 * i + 2]) - 1;
      r.lag.push_back(copied < 0 ? 0 : static_cast<long>(at + i) - copied);
      // A step other than a note's move (at most 8 frames here) is a jump.
      const std::size_t n = r.lag.size();
      if (n > 1) {
        const long step = r.lag[n - 2] - r.lag[n - 1] + 1;
        if (step < 0 || step > 8) {
          ++r.jumps;
          r.longJumps += std::labs(step) > static_cast<long>(0.012 * rate);
        }
      }
    }
  }
  effectRelease(fx);
  return r;
}

double maxLagMs(const Rendered& r) {
  long most = 0;
  for (long l : r.lag) most = std::max(most, l);
  return 1000.0 * most / rate;
}

// The pitch of the 20 ms of `x` from `at`, looked for within a fifth of `target`.
double windowPitch(const std::vector<float>& x, std::size_t at, double target) {
  const std::size_t span = static_cast<std::size_t>(0.02 * rate);
  if (at + span > x.size()) return 0;
  PitchOptions o;
  o.sampleRate = rate;
  o.minHz = target / 1.5;
  o.maxHz = target * 1.5;
  o.window = span - static_cast<std::size_t>(std::ceil(rate / o.minHz)) - 2;
  return estimatePitch(x.data() + at, span, o);
}

struct NoteFigures {
  int voiced = 0, windows = 0, within = 0;
  double worstVibrato = 0;      // cents, the worst note's
  int points = 0, dropped = 0;  // of the vibrato fits
};

NoteFigures measureNotes(const Rendered& r) {
  NoteFigures f;
  const std::size_t skip = static_cast<std::size_t>(0.05 * rate);
  const std::size_t span = static_cast<std::size_t>(0.02 * rate);
  for (int n = 0; n < noteCount; ++n) {
    const std::size_t start = static_cast<std::size_t>(n) * noteFrames;
    const std::size_t end = start + noteFrames;
    for (std::size_t at = start + skip; at + span <= end; at += span) {
      ++f.windows;
      const double hz = windowPitch(r.signal, at, notes[n]);
      if (hz <= 0) continue;
      ++f.voiced;
      f.within += std::fabs(1200 * std::log2(hz / notes[n])) <= 10;
    }
    std::vector<double> t, cents;
    for (std::size_t at = start + skip; at + span <= end; at += rate / 200) {
      const double hz = windowPitch(r.signal, at, notes[n]);
      if (hz <= 0) continue;
      t.push_back(static_cast<double>(at + span / 2 - start) / rate);
      cents.push_back(1200 * std::log2(hz / notes[n]));
    }
    f.points += static_cast<int>(t.size());
    f.worstVibrato = std::max(f.worstVibrato, vibratoAmplitude(t, cents, vibratoHz, &f.dropped));
  }
  return f;
}

double percent(int part, int whole) {
  return whole ? 100.0 * part / whole : 0;
}

void melodyTable(const std::vector<float>& vowel) {
  const std::string melody = writeFile(melodyText(1000));
  std::printf(
      "\nThe drifting vowel (150 Hz, +-300 cents at 0.2 Hz, +-40 cents of vibrato at 5.5 Hz)\n"
      "through eight notes of 1 s (%.2f to %.2f Hz). voiced: 20 ms windows with a pitch, from\n"
      "50 ms after each note's start; in +-10c: their share within 10 cents of the note;\n"
      "vibrato: the 5.5 Hz vibrato left in the output, cents (worst note), with Retune 0\n"
      "and with Retune 500, fitted with a slow trend; dropped: points of those fits more\n"
      "than 50 cents off the first fit's median, left out of the next (misread windows);\n"
      "lag: the most any frame lags its input, ms, and its limit (one buffer plus MaxDelay,\n"
      "%d ms); long jumps: the read position's jumps beyond 12 ms, of all (absolute: both\n"
      "renders). Relative mode takes the notes as ratios to 150 Hz.\n",
      notes[0], notes[1], defaultMaxDelayMs);
  std::printf("%6s %-9s %8s %9s %11s %12s %8s %8s %8s %11s\n", "frames", "mode", "voiced",
              "in +-10c", "vibrato R0", "vibrato R500", "dropped", "lag ms", "limit", "long jumps");
  int failures = 0;
  for (int frames : bufferLengths) {
    const double limit = 1000.0 * frames / rate + defaultMaxDelayMs;
    EffectSettings relative;
    relative.spliceMode = spliceMatched;
    EffectSettings absolute;
    absolute.pitchMode = pitchAbsolute;
    EffectSettings retuned = absolute;
    retuned.retuneMs = 500;
    const Rendered rr = render(vowel, melody, frames, relative);
    const Rendered ra = render(vowel, melody, frames, absolute);
    const Rendered rk = render(vowel, melody, frames, retuned);
    const NoteFigures fr = measureNotes(rr), fa = measureNotes(ra), fk = measureNotes(rk);
    std::printf("%6d %-9s %7.1f%% %8.1f%% %11.2f %12s %7.1f%% %8.1f %8.1f %4ld of %4ld\n", frames,
                "relative", percent(fr.voiced, fr.windows), percent(fr.within, fr.voiced),
                fr.worstVibrato, "-", percent(fr.dropped, fr.points), maxLagMs(rr), limit,
                rr.longJumps, rr.jumps);
    const double lag = std::max(maxLagMs(ra), maxLagMs(rk));
    const bool met = percent(fa.within, fa.voiced) >= 95 && fa.worstVibrato <= 5 &&
                     fk.worstVibrato >= 30 && lag <= limit + 1e-9 && ra.finite && rk.finite;
    failures += !met;
    std::printf("%6d %-9s %7.1f%% %8.1f%% %11.2f %12.2f %7.1f%% %8.1f %8.1f %4ld of %4ld%s\n",
                frames, "absolute", percent(fa.voiced, fa.windows), percent(fa.within, fa.voiced),
                fa.worstVibrato, fk.worstVibrato,
                percent(fa.dropped + fk.dropped, fa.points + fk.points), lag, limit,
                ra.longJumps + rk.longJumps, ra.jumps + rk.jumps, met ? "" : "  *");
  }
  std::printf(
      "absolute rows meeting every goal (in +-10c >= 95%%, vibrato R0 <= 5, R500 >= 30, lag\n"
      "within the limit): %d of %d (* marks the others)\n",
      static_cast<int>(std::size(bufferLengths)) - failures,
      static_cast<int>(std::size(bufferLengths)));
  unlink(melody.c_str());
}

// The mean frequency of `x` from frame `from` on: its upward zero crossings,
// placed between frames, counted over the time from the first to the last.
double crossingsHz(const std::vector<float>& x, std::size_t from) {
  double first = -1, last = -1;
  long count = 0;
  for (std::size_t i = from + 1; i < x.size(); ++i) {
    if (!(x[i - 1] < 0 && x[i] >= 0)) continue;
    const double at = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
    if (first < 0) first = at;
    last = at;
    ++count;
  }
  return count > 1 ? (count - 1) * rate / (last - first) : 0;
}

// Matched splices in relative mode read at the note's exact ratio, whatever
// the base's unit: a 220 Hz sine's pitch against 220 times the ratio.
void exactRatioTable() {
  struct Case {
    const char* name;
    double base, note;
  };
  const double c2 = 65.406;
  const Case cases[] = {{"C2, C2+25c", c2, c2 * std::pow(2.0, 25.0 / 1200)}, {"1, 1.5", 1, 1.5}};
  std::vector<float> sine(static_cast<std::size_t>(2.5 * rate));
  for (std::size_t i = 0; i < sine.size(); ++i)
    sine[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 220 * double(i) / rate));
  std::printf(
      "\nRelative mode, matched splices: a 220 Hz sine through one note; the output's pitch\n"
      "from 0.2 s against 220 Hz times note / base, cents: the median of 20 ms windows every\n"
      "10 ms, and the mean over the whole stretch (its zero crossings)\n");
  std::printf("%-18s", "base, note");
  for (int frames : bufferLengths) std::printf(" %8d", frames);
  std::printf("\n");
  for (const Case& c : cases) {
    char text[128];
    std::snprintf(text, sizeof text, "%.6f\n3000 %.6f\n", c.base, c.note);
    const std::string melody = writeFile(text);
    const double expected = 220 * static_cast<double>(static_cast<float>(c.note)) / c.base;
    std::vector<double> median, mean;
    for (int frames : bufferLengths) {
      EffectSettings matched;
      matched.spliceMode = spliceMatched;
      const Rendered r = render(sine, melody, frames, matched);
      std::vector<double> hz;
      for (std::size_t at = rate / 5; at + rate / 50 <= r.signal.size(); at += rate / 100) {
        const double h = windowPitch(r.signal, at, expected);
        if (h > 0) hz.push_back(h);
      }
      std::nth_element(hz.begin(), hz.begin() + static_cast<long>(hz.size() / 2), hz.end());
      median.push_back(hz.empty() ? NAN : 1200 * std::log2(hz[hz.size() / 2] / expected));
      mean.push_back(1200 * std::log2(crossingsHz(r.signal, rate / 5) / expected));
    }
    for (const auto* row : {&median, &mean}) {
      std::printf("%-18s", (std::string(c.name) + (row == &median ? " med" : " mean")).c_str());
      for (double cents : *row) std::printf(" %+8.3f", cents);
      std::printf("\n");
    }
    unlink(melody.c_str());
  }
}

// White noise and silence: no NaN, nothing louder than the input, and the lag bound.
void unpitchedTable() {
  std::mt19937 random(7);
  std::vector<float> noise(static_cast<std::size_t>(3 * rate)), silence(noise.size(), 0.0f);
  float noiseLoudest = 0;
  for (float& n : noise) {
    n = std::uniform_real_distribution<float>(-0.5f, 0.5f)(random);
    noiseLoudest = std::max(noiseLoudest, std::fabs(n));
  }
  const std::string melody = writeFile(melodyText(300));
  std::printf(
      "\nAbsolute pitch on white noise (peak %.3f) and silence, 3 s through the melody at\n"
      "300 ms a note: finite output, its peak, the most lag and its limit (ms)\n",
      noiseLoudest);
  std::printf("%6s %-8s %7s %8s %8s %8s\n", "frames", "input", "finite", "peak", "lag ms", "limit");
  for (int frames : bufferLengths) {
    EffectSettings absolute;
    absolute.pitchMode = pitchAbsolute;
    for (const auto* input : {&noise, &silence}) {
      const Rendered r = render(*input, melody, frames, absolute);
      const double limit = 1000.0 * frames / rate + defaultMaxDelayMs;
      const bool met = r.finite && r.loudest <= (input == &noise ? noiseLoudest : 0.0f) &&
                       maxLagMs(r) <= limit + 1e-9;
      std::printf("%6d %-8s %7s %8.3f %8.1f %8.1f%s\n", frames,
                  input == &noise ? "noise" : "silence", r.finite ? "yes" : "NO", r.loudest,
                  maxLagMs(r), limit, met ? "" : "  *");
    }
  }
  unlink(melody.c_str());
}

// Every buffer of `seconds` of the drifting vowel through the looping
// melody, timed one by one over `passes` passes; the least time of each
// buffer is its own cost (the machine is shared).
void realTime(const std::vector<float>& vowel, int frames, EffectSettings settings, int passes) {
  const std::string melody = writeFile(melodyText(300));
  settings.sampleRate = rate;
  const BufferTimes t = timeBuffers(settings, melody.c_str(), frames, vowel, passes);
  unlink(melody.c_str());
  const std::vector<double>& least = t.least;
  const std::size_t buffers = least.size();
  const double worstSeen = t.worstSeen;
  const double budget = 1e6 * frames / rate;
  std::printf("%-9s %6d %9.1f %9.1f %9.1f %9.1f %9.2f%% %10.1f %9.2f%%%s\n",
              settings.pitchMode == pitchAbsolute ? "absolute" : "relative", frames,
              least[buffers / 2], least[buffers * 99 / 100], least[buffers * 999 / 1000],
              least.back(), 100 * least.back() / budget, worstSeen, 100 * worstSeen / budget,
              settings.pitchMode == pitchAbsolute && least.back() > 0.25 * budget ? "  *" : "");
}

}  // namespace

int main(int argc, char** argv) {
  // --realtime-only skips the tables.
  const bool tables = !(argc > 1 && std::string(argv[1]) == "--realtime-only");
  const std::vector<float> vowel =
      sungVowel(static_cast<std::size_t>(noteCount) * noteFrames + 4096, rate, drifting());
  if (tables) {
    melodyTable(vowel);
    exactRatioTable();
    unpitchedTable();
  }
  constexpr int passes = 5;
  const std::vector<float> longVowel =
      sungVowel(static_cast<std::size_t>(20) * rate, rate, drifting());
  std::printf(
      "\nReal time: every buffer of 20 s of the drifting vowel (stereo) through the callback,\n"
      "the melody looping at 300 ms a note, %d passes. Microseconds per buffer: each\n"
      "buffer's least time over the passes (its own cost), then the slowest single call\n"
      "seen. /buf: share of one buffer's duration; the goal for absolute pitch is 25%%\n",
      passes);
  std::printf("%-9s %6s %9s %9s %9s %9s %10s %10s %10s\n", "mode", "frames", "median", "p99",
              "p99.9", "worst", "worst/buf", "slowest", "slow/buf");
  for (int frames : {64, 128, 256}) {
    EffectSettings absolute;
    absolute.pitchMode = pitchAbsolute;
    EffectSettings relative;
    relative.spliceMode = spliceMatched;
    realTime(longVowel, frames, absolute, passes);
    realTime(longVowel, frames, relative, passes);
  }
  return 0;
}
