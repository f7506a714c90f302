// Pitch trackers side by side: the hand-written one in pitch/ (trackPitch),
// the effect's own (estimatePitchAround, which absolute pitch runs in the
// audio callback) and aubio's YIN, fast YIN and yinfft detectors, on the
// signals that this project measures: steady sines, a synthetic sung vowel
// with vibrato, the vowel that absolute pitch is measured on (drifting
// +-300 cents with +-40 cents of vibrato), and sines and vowels played
// through the effect a fifth up (x1.5) in blocks of 64 to 512 frames, which
// splices the signal at every block.
//
//   build/release/bench/pitch_bench
//
// Every detector analyses 44100 Hz mono with a 10 ms hop. Prints, per
// detector and signal group: the share of analysis frames it calls voiced,
// the share of voiced frames more than a semitone from the true pitch
// (gross errors), the median (and on clean signals the 95th percentile) of
// the cents error of the rest, and on clean signals the time it takes per
// second of audio.
#include <aubio/aubio.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "callback.h"
#include "effect.h"
#include "pitch.h"
#include "pitchtrack.h"
#include "vowel.h"

namespace {

constexpr int rate = 44100;
constexpr std::size_t hop = 441;  // 10 ms
constexpr double seconds = 3.0;
constexpr double ratio = 1.5;  // the note: a fifth up

// Known pitch at a time in seconds; 0 where it is not known (the effect's
// first buffers), which leaves the frame out.
using PitchAt = std::function<double(double)>;

struct Signal {
  std::string group;
  std::string name;
  std::vector<float> samples;
  PitchAt pitch;
  double centsSlack = 0;  // known uncertainty of the reference, left out of the error
};

// Estimates in Hz (0: unvoiced) and the time each frame's window is centred on.
struct Track {
  std::vector<double> time;
  std::vector<double> hz;
};

struct Detector {
  const char* name;
  std::function<Track(const std::vector<float>&)> run;
};

std::vector<float> sine(double hz) {
  std::vector<float> x(static_cast<std::size_t>(seconds * rate));
  for (std::size_t i = 0; i < x.size(); ++i)
    x[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * hz * double(i) / rate));
  return x;
}

// The fundamental of the vowel: f0 with +-20 cents of vibrato at 5 Hz.
double vowelF0(double f0, double t) {
  return f0 * std::pow(2.0, 20.0 / 1200.0 * std::sin(2 * M_PI * 5.0 * t));
}

// An /a/-like vowel: harmonics of the vibrato fundamental up to 5 kHz, each
// weighted by three formant resonances (700, 1220 and 2600 Hz) on a -6 dB
// per octave source.
std::vector<float> vowel(double f0) {
  const double formant[3][3] = {{700, 110, 1.0}, {1220, 120, 0.5}, {2600, 160, 0.25}};
  auto gain = [&](double hz) {
    double g = 0;
    for (const auto& f : formant) {
      const double d = (hz - f[0]) / f[1];
      g += f[2] / (1 + d * d);
    }
    return g * 200.0 / hz;
  };
  std::vector<float> x(static_cast<std::size_t>(seconds * rate));
  std::vector<double> phase(64, 0.0);
  double peak = 0;
  std::vector<double> y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double f = vowelF0(f0, double(i) / rate);
    double v = 0;
    for (int k = 1; k <= 63 && k * f < 5000; ++k) {
      phase[k] += 2 * M_PI * k * f / rate;
      v += gain(k * f) * std::sin(phase[k]);
    }
    y[i] = v;
    peak = std::max(peak, std::fabs(v));
  }
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(0.5 * y[i] / peak);
  return x;
}

// What the live program plays for `input` with one note at 1.5 times
// `baseHz`: the effect set up as the program sets it up, mono, and every
// buffer handed to the stream callback. Its delay reports go nowhere.
std::vector<float> throughEffect(const std::vector<float>& input, double baseHz, int frames) {
  char path[] = "/tmp/gwpitchbench.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return {};
  const std::string melody =
      std::to_string(baseHz) + "\n1000000 " + std::to_string(baseHz * ratio) + "\n";
  const bool written = write(fd, melody.data(), melody.size()) == ssize_t(melody.size());
  close(fd);
  std::vector<float> output;
  EffectState fx;
  fx.numChannels = 1;
  fx.projectedFramesPerBuffer = frames;
  std::fflush(stdout);
  const int savedStdout = dup(STDOUT_FILENO);
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, STDOUT_FILENO);
  if (written && liveEffectInit(fx, {.sampleRate = rate}, path, 1, frames) == 0) {
    std::vector<float> in(frames), out(frames);
    for (std::size_t at = 0; at + frames <= input.size(); at += frames) {
      std::copy(input.begin() + at, input.begin() + at + frames, in.begin());
      streamCallback(in.data(), out.data(), static_cast<unsigned long>(frames), nullptr, 0, &fx);
      output.insert(output.end(), out.begin(), out.end());
    }
    effectRelease(fx);
  }
  std::fflush(stdout);
  dup2(savedStdout, STDOUT_FILENO);
  close(savedStdout);
  close(devNull);
  unlink(path);
  return output;
}

Track handWritten(const std::vector<float>& x, const PitchOptions& options) {
  PitchOptions o = options;
  o.sampleRate = rate;
  o.hop = hop;
  Track t;
  for (const PitchFrame& f : trackPitch(x.data(), x.size(), 1, o)) {
    t.time.push_back(f.time);
    t.hz.push_back(f.hz);
  }
  return t;
}

// The effect's tracker as absolute pitch runs it: each estimate centred on
// its frame, with 8 ms of frames after it (what the effect waits for).
Track effectTracker(const std::vector<float>& x) {
  static EffectState owner;
  static PitchEstimator e;
  if (!e.headPlan && !pitchEstimatorSetUp(owner, e, rate)) std::exit(1);
  const int lookAhead = static_cast<int>(0.008 * rate + 0.5);
  Track t;
  const int size = static_cast<int>(x.size());
  for (int c = 2 * e.maxLag; c + lookAhead < size; c += static_cast<int>(hop)) {
    t.time.push_back(double(c) / rate);
    t.hz.push_back(estimatePitchAround(e, x.data(), c, 0, c + lookAhead));
  }
  return t;
}

// aubio reports a pitch for nearly every frame; `minConfidence` > 0 keeps only
// frames whose confidence reaches it (for YIN, 0.85 is the hand-written
// tracker's dip threshold of 0.15; yinfft's confidence never reached 0.85
// even on clean sines, so it runs ungated).
Detector aubioDetector(const char* name, const char* method, uint_t window, double minConfidence) {
  return {name, [method, window, minConfidence](const std::vector<float>& x) {
            aubio_pitch_t* p = new_aubio_pitch(method, window, hop, rate);
            aubio_pitch_set_unit(p, "Hz");
            fvec_t* in = new_fvec(hop);
            fvec_t* out = new_fvec(1);
            Track t;
            for (std::size_t at = 0; at + hop <= x.size(); at += hop) {
              std::copy(x.begin() + at, x.begin() + at + hop, in->data);
              aubio_pitch_do(p, in, out);
              // The analysis window ends with the newest hop; skip the
              // frames whose window still reaches back before the start.
              const double end = double(at + hop);
              if (end < window) continue;
              t.time.push_back((end - window / 2.0) / rate);
              const bool voiced =
                  out->data[0] > 0 && aubio_pitch_get_confidence(p) >= minConfidence;
              t.hz.push_back(voiced ? out->data[0] : 0.0);
            }
            del_fvec(out);
            del_fvec(in);
            del_aubio_pitch(p);
            return t;
          }};
}

struct Score {
  long frames = 0;
  long voiced = 0;
  long gross = 0;
  std::vector<double> cents;  // of voiced frames within a semitone
  double seconds = 0;         // of audio analysed
  double cpu = 0;             // seconds taken
};

void score(Score& s, const Signal& sig, const Track& t) {
  for (std::size_t i = 0; i < t.time.size(); ++i) {
    const double truth = sig.pitch(t.time[i]);
    if (truth <= 0) continue;
    ++s.frames;
    if (t.hz[i] <= 0) continue;
    ++s.voiced;
    const double cents = std::fabs(1200 * std::log2(t.hz[i] / truth));
    if (cents > 100)
      ++s.gross;
    else
      s.cents.push_back(std::max(0.0, cents - sig.centsSlack));
  }
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  const std::size_t k = std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()));
  std::nth_element(v.begin(), v.begin() + k, v.end());
  return v[k];
}

std::vector<Signal> signals() {
  std::vector<Signal> all;
  const double sines[] = {82.4, 110, 196, 261.6, 440, 659.3, 1000};
  const double vowels[] = {85, 120, 180, 240, 300};
  for (double f0 : {120.0, 150.0, 200.0}) {
    VowelPitch p;
    p.hz = f0;
    p.vibratoCents = 40;
    p.vibratoHz = 5.5;
    p.driftCents = 300;
    p.driftHz = 0.2;
    all.push_back({"drift", std::to_string(f0),
                   sungVowel(static_cast<std::size_t>(seconds * rate), rate, p),
                   [p](double t) { return vowelPitchAt(p, t); }});
  }
  for (double hz : sines)
    all.push_back({"sine", std::to_string(hz), sine(hz), [hz](double) { return hz; }});
  for (double f0 : vowels)
    all.push_back(
        {"vowel", std::to_string(f0), vowel(f0), [f0](double t) { return vowelF0(f0, t); }});

  // Through the effect the vibrato arrives late by the effect's varying
  // delay, so the output's reference is the note's pitch with the vibrato's
  // +-20 cents as slack. The first 0.2 s are left out: the note starts there.
  const int blocks[] = {64, 128, 256, 512};
  for (int frames : blocks) {
    for (double hz : {110.0, 220.0, 440.0}) {
      all.push_back({"sine x1.5", std::to_string(frames), throughEffect(sine(hz), hz, frames),
                     [hz](double t) { return t < 0.2 ? 0 : hz * ratio; }});
    }
    for (double f0 : {120.0, 240.0}) {
      Signal s{"vowel x1.5", std::to_string(frames), throughEffect(vowel(f0), f0, frames),
               [f0](double t) { return t < 0.2 ? 0 : f0 * ratio; }};
      s.centsSlack = 20;
      all.push_back(s);
    }
  }
  return all;
}

Score scoreGroup(const Detector& d, const std::vector<Signal>& all, const std::string& group,
                 const std::string& name) {
  Score s;
  for (const Signal& sig : all) {
    if (sig.group != group || (!name.empty() && sig.name != name)) continue;
    const auto start = std::chrono::steady_clock::now();
    const Track t = d.run(sig.samples);
    s.cpu += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.seconds += double(sig.samples.size()) / rate;
    score(s, sig, t);
  }
  return s;
}

double share(long part, long whole) {
  return whole ? 100.0 * part / whole : 0.0;
}

}  // namespace

int main() {
  const std::vector<Signal> all = signals();
  const std::vector<Detector> detectors = {
      {"hand-written", [](const std::vector<float>& x) { return handWritten(x, {}); }},
      {"hand 55-1500 Hz",
       [](const std::vector<float>& x) {
         PitchOptions o;
         o.minHz = trackLowestHz;
         o.maxHz = trackHighestHz;
         o.window = static_cast<std::size_t>(std::ceil(rate / trackLowestHz));
         return handWritten(x, o);
       }},
      {"effect's tracker", effectTracker},
      aubioDetector("aubio yin", "yin", 2048, 0),
      aubioDetector("yin >= 0.85", "yin", 2048, 0.85),
      aubioDetector("aubio yinfast", "yinfast", 2048, 0),
      aubioDetector("yinfast >= 0.85", "yinfast", 2048, 0.85),
      aubioDetector("aubio yinfft", "yinfft", 2048, 0),
  };

  std::printf(
      "Clean signals, 44100 Hz, 10 ms hop, %.0f s each: sines at 82.4, 110, 196, 261.6,\n"
      "440, 659.3 and 1000 Hz; vowels (formants 700, 1220, 2600 Hz) on f0 85, 120, 180,\n"
      "240 and 300 Hz with +-20 cents of vibrato at 5 Hz; drift: the vowel of absolute\n"
      "pitch's benchmark (formants 700, 1220, 2600 Hz) on 120, 150 and 200 Hz drifting\n"
      "+-300 cents at 0.2 Hz with +-40 cents of vibrato at 5.5 Hz. Cents: error of voiced\n"
      "frames within a semitone, against the pitch at the centre of each detector's\n"
      "window; gross: voiced frames further off; us per est.: time per estimate.\n",
      seconds);
  std::printf("%-16s %-6s %8s %8s %9s %9s %9s %10s\n", "detector", "signal", "voiced", "gross",
              "median c", "95% c", "ms per s", "us per est.");
  for (const Detector& d : detectors) {
    for (const char* group : {"sine", "vowel", "drift"}) {
      Score s = scoreGroup(d, all, group, "");
      std::printf("%-16s %-6s %7.1f%% %7.2f%% %9.2f %9.2f %9.2f %10.1f\n", d.name, group,
                  share(s.voiced, s.frames), share(s.gross, s.voiced), percentile(s.cents, 0.5),
                  percentile(s.cents, 0.95), 1000 * s.cpu / s.seconds,
                  s.frames ? 1e6 * s.cpu / s.frames : 0.0);
    }
  }

  const char* blocks[] = {"64", "128", "256", "512"};
  std::printf(
      "\nThrough the effect a fifth up (x1.5), by block length in frames: sines at 110,\n"
      "220 and 440 Hz, vowels on 120 and 240 Hz. Per block length: voiced share, gross\n"
      "share of the voiced frames and median cents of the rest, against 1.5 times the\n"
      "input's pitch (vowels: +-20 cents of vibrato allowed), from 0.2 s on.\n");
  std::printf("%-16s %-6s", "detector", "signal");
  for (const char* b : blocks) std::printf(" %20s", b);
  std::printf("\n");
  for (const Detector& d : detectors) {
    for (const char* group : {"sine x1.5", "vowel x1.5"}) {
      std::printf("%-16s %-6s", d.name, group[0] == 's' ? "sine" : "vowel");
      for (const char* b : blocks) {
        Score s = scoreGroup(d, all, group, b);
        std::printf("  %5.1f%% %5.1f%% %5.1f", share(s.voiced, s.frames), share(s.gross, s.voiced),
                    percentile(s.cents, 0.5));
      }
      std::printf("\n");
    }
  }
  return 0;
}
