// How clean the bend is, in each way of splicing, at every buffer length:
// test signals go through the program's own stream callback as the render
// tool sends them, and each note of the output is measured.
//
//   sine:  a steady 220 Hz sine. Purity is the energy within max(25 Hz, 1.5%)
//          of the target frequency against all the rest, over 8192-frame
//          Blackman-Harris windows (the worst window of the note); the peak
//          error is the spectral peak's distance from the target in cents
//          (the worst window). The goal is 36 dB, or the jitter floor of
//          verbatim frames at the output frequency where that is lower; with
//          the interpolated read, 72 dB.
//   high:  the purity of a 660 Hz sine, beside "no jump": the same note's
//          moves applied to an endless history. The goal is within 3 dB of it;
//          with the interpolated read, 60 dB.
//   vowel: a synthetic voiced vowel, 150 Hz with three formants and a vibrato
//          of +-20 cents at 5 Hz. "in band" is the share of 50 ms windows
//          whose pitch lies within 50 cents of the target, "median" their
//          median distance from it in cents.
//   lag:   the most any output frame lags the input frame it copies, traced
//          through an index channel, over all three signals. The interpolated
//          read turns the index into the read position, averaged over a
//          crossfade's two stretches: see interpolatedLag.
//
// Then the same static bends of the sine through the offline tools users
// compare with (rubberband's two engines, sox, soundstretch), measured by the
// same code, and the real-time cost of the callback: every buffer of a
// minute of the vowel through a melody of all the ratios, timed one by one.
#include <fftw3.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "bench_support.h"
#include "callback.h"
#include "effect.h"
#include "pitch.h"
#include "splice.h"
#include "vowel.h"

namespace {

constexpr int rate = 44100;
constexpr double sineHz = 220;
// A higher sine, measured against the same note played without any jump.
constexpr double highHz = 660;
constexpr double vowelHz = 150;
// A base far above the input's pitch: the note rings then come within a
// fraction of a cent of each ratio, so what is measured is the splicing.
constexpr double base = 4400;
constexpr int noteTicks = 1000;
constexpr int noteFrames = 44100;  // 1000 ticks
// The first, at the input's own pitch, shows what the measurement itself reads.
const double ratios[] = {1.0, 0.5, 0.75, 1.125, 1.25, 4.0 / 3.0, 1.5, 2.0};
const char* const ratioNames[] = {"1", "0.5", "0.75", "1.125", "1.25", "4/3", "1.5", "2"};
const int bufferLengths[] = {64, 128, 256, 512, 1024, 2048};

// One way of splicing and reading.
struct Mode {
  SpliceMode splice;
  ReadMode read;
  const char* name;
};
const Mode blockMode{spliceBlock, readVerbatim, "block"};
const Mode matchedMode{spliceMatched, readVerbatim, "matched"};
const Mode interpolatedMode{spliceMatched, readInterpolated, "interp"};

std::vector<float> sine(std::size_t frames, double hz) {
  std::vector<float> x(frames);
  for (std::size_t i = 0; i < frames; ++i)
    x[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * hz * double(i) / rate));
  return x;
}

// A sine of `hz` played through each note's moves with no jump at all, as
// if the history were endless: what verbatim frames reach without splices.
std::vector<float> withoutJumps(const std::string& melody, double hz) {
  EffectState fx;
  {
    QuietStdout quiet;
    if (liveEffectInit(fx, {.sampleRate = rate}, melody.c_str(), 1, 2048)) std::exit(1);
  }
  std::vector<float> x;
  for (const Note* note = fx.firstNote; note; note = note->allocNext) {
    long long position = 0;
    const MoveStep* step = note->step;
    for (int k = 0; k < noteFrames; ++k, step = step->next) {
      x.push_back(static_cast<float>(0.5 * std::sin(2 * M_PI * hz * double(position) / rate)));
      position += step->move;
    }
  }
  effectRelease(fx);
  return x;
}

// The sung vowel of the tests: 150 Hz with +-20 cents of vibrato at 5 Hz.
std::vector<float> vowel(std::size_t frames) {
  VowelPitch pitch;
  pitch.hz = vowelHz;
  return sungVowel(frames, rate, pitch);
}

// The melody of the measurement: one note per ratio.
std::string writeMelody() {
  char path[] = "/tmp/gwquality.XXXXXX";
  const int fd = mkstemp(path);
  std::string text = std::to_string(base) + "\n";
  for (double r : ratios) {
    char line[64];
    std::snprintf(line, sizeof line, "%d %.6f\n", noteTicks, base * r);
    text += line;
  }
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::fprintf(stderr, "cannot write %s\n", path);
    std::exit(1);
  }
  close(fd);
  return path;
}

struct Rendered {
  std::vector<float> signal;  // the output's first channel
  std::vector<double> lag;    // output frame index minus the input frame it copies
};

// The ratio of the note that plays at output frame t (the melody's notes are
// noteFrames long each); 1 once it has ended.
double ratioAt(std::size_t t) {
  const std::size_t n = t / noteFrames;
  return n < std::size(ratios) ? ratios[n] : 1.0;
}

// The lag of the interpolated read, from the traced index v[t] (the input
// frame read, plus 1). Both stretches of a crossfade advance by the note's
// ratio a frame, so less the sum of the ratios so far, R(t), each is a
// constant, and the trace u(t) = v(t) - 1 - R(t) is a constant between jumps
// and a straight line from the stretch left to the one taken during a
// fade. A fade is at most `fade` frames long, so the stretches heard at t are
// among the values u takes within fade + 1 frames of t: the one that lags
// most is at most t - R(t) - (their least). Half the interpolator's kernel
// reaches further back still.
std::vector<double> interpolatedLag(const std::vector<double>& v, int fade) {
  const std::size_t n = v.size();
  std::vector<double> u(n), lag(n, 0.0), before(n);
  double sum = 0;
  for (std::size_t t = 0; t < n; ++t) {
    before[t] = sum;
    u[t] = v[t] - 1 - sum;
    sum += ratioAt(t);
  }
  const std::size_t reach = static_cast<std::size_t>(fade) + 1;
  std::deque<std::size_t> least;  // indices of u in the window, values rising
  std::size_t next = 0;
  for (std::size_t t = 0; t < n; ++t) {
    for (; next < n && next <= t + reach; ++next) {
      while (!least.empty() && u[least.back()] >= u[next]) least.pop_back();
      least.push_back(next);
    }
    while (least.front() + reach < t) least.pop_front();
    // Before any input the index is 0: nothing there lags.
    if (v[t] >= 1)
      lag[t] = static_cast<double>(t) - before[t] - u[least.front()] + interpolationHalf;
  }
  return lag;
}

EffectSettings settingsOf(const Mode& mode) {
  EffectSettings settings;
  settings.spliceMode = mode.splice;
  settings.readMode = mode.read;
  settings.sampleRate = rate;
  return settings;
}

// The signal through the live set-up and the stream callback, with each
// frame's index traced beside it.
Rendered render(const std::vector<float>& input, const std::string& melody, int frames,
                const Mode& mode) {
  EffectState fx;
  fx.numChannels = 3;
  fx.projectedFramesPerBuffer = frames;
  Rendered r;
  {
    QuietStdout quiet;
    if (liveEffectInit(fx, settingsOf(mode), melody.c_str(), 3, frames)) {
      std::fprintf(stderr, "set-up failed\n");
      std::exit(1);
    }
  }
  const int fade = fx.splice.fadeFrames;
  std::vector<float> in(3 * static_cast<std::size_t>(frames)), out(in.size());
  std::vector<double> index;
  QuietStdout quiet;
  for (std::size_t at = 0; at + frames <= input.size(); at += frames) {
    for (int i = 0; i < frames; ++i) {
      // The signal on both stereo channels, as a singer on a stereo input;
      // each frame's index on a third, which the splices do not compare.
      in[3 * i] = in[3 * i + 1] = input[at + i];
      in[3 * i + 2] = static_cast<float>(at + i + 1);  // 0 is the silence before any input
    }
    streamCallback(in.data(), out.data(), static_cast<unsigned long>(frames), nullptr, 0, &fx);
    for (int i = 0; i < frames; ++i) {
      r.signal.push_back(out[3 * i]);
      index.push_back(out[3 * i + 2]);
    }
  }
  effectRelease(fx);
  if (mode.read == readInterpolated) {
    r.lag = interpolatedLag(index, fade);
  } else {
    for (std::size_t t = 0; t < index.size(); ++t) {
      const long copied = static_cast<long>(index[t]) - 1;
      r.lag.push_back(copied < 0 ? 0 : static_cast<double>(static_cast<long>(t) - copied));
    }
  }
  return r;
}

struct Spectrum {
  static constexpr int size = 8192;
  float* in;
  fftwf_complex* out;
  fftwf_plan plan;
  std::vector<float> window;
  Spectrum() {
    in = fftwf_alloc_real(size);
    out = fftwf_alloc_complex(size / 2 + 1);
    plan = fftwf_plan_dft_r2c_1d(size, in, out, FFTW_ESTIMATE);
    window.resize(size);
    for (int i = 0; i < size; ++i) {
      const double a = 2 * M_PI * i / (size - 1);
      window[static_cast<std::size_t>(i)] = static_cast<float>(
          0.35875 - 0.48829 * std::cos(a) + 0.14128 * std::cos(2 * a) - 0.01168 * std::cos(3 * a));
    }
  }
  ~Spectrum() {
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
  }
  // Purity in dB and the peak's distance from `target` in cents.
  void measure(const float* x, double target, double& purity, double& cents) {
    for (int i = 0; i < size; ++i) in[i] = x[i] * window[static_cast<std::size_t>(i)];
    fftwf_execute(plan);
    const double binHz = double(rate) / size;
    const double band = std::max(25.0, 0.015 * target);
    double inside = 0, outside = 0;
    int peak = 1;
    std::vector<double> power(size / 2 + 1);
    for (int k = 0; k <= size / 2; ++k) {
      power[static_cast<std::size_t>(k)] =
          double(out[k][0]) * out[k][0] + double(out[k][1]) * out[k][1];
      if (std::fabs(k * binHz - target) <= band)
        inside += power[static_cast<std::size_t>(k)];
      else
        outside += power[static_cast<std::size_t>(k)];
      if (k > 0 && power[static_cast<std::size_t>(k)] > power[static_cast<std::size_t>(peak)])
        peak = k;
    }
    purity = 10 * std::log10(inside / std::max(outside, 1e-30));
    double shift = 0;
    if (peak > 0 && peak < size / 2) {
      const double a = std::log(power[static_cast<std::size_t>(peak) - 1] + 1e-30),
                   b = std::log(power[static_cast<std::size_t>(peak)] + 1e-30),
                   c = std::log(power[static_cast<std::size_t>(peak) + 1] + 1e-30);
      if (a - 2 * b + c < 0) shift = 0.5 * (a - c) / (a - 2 * b + c);
    }
    cents = 1200 * std::log2((peak + shift) * binHz / target);
  }
};

struct Row {
  double purity = 1e9, cents = 0, highPurity = 1e9, highReference = 1e9, inBand = 0, median = 0,
         lagMs = 0;
};

// The note of ratios[n] in the output, one second each. Its first 150 ms
// (the change of note) are left out.
std::size_t noteStart(int n) {
  return static_cast<std::size_t>(n) * noteFrames + static_cast<std::size_t>(0.15 * rate);
}
std::size_t noteEnd(int n) {
  return static_cast<std::size_t>(n + 1) * noteFrames;
}

// The worst purity over the note's windows, and the worst peak error.
void measureSine(const float* signal, int n, double hz, Spectrum& spectrum, double& worstPurity,
                 double& worstCents) {
  const double target = hz * ratios[n];
  for (std::size_t at = noteStart(n); at + Spectrum::size <= noteEnd(n); at += 2048) {
    double purity, cents;
    spectrum.measure(signal + at, target, purity, cents);
    worstPurity = std::min(worstPurity, purity);
    if (std::fabs(cents) > std::fabs(worstCents)) worstCents = cents;
  }
}

void measureVowel(const Rendered& r, int n, Row& row) {
  const double target = vowelHz * ratios[n];
  const std::size_t span = static_cast<std::size_t>(0.05 * rate);
  PitchOptions o;
  o.sampleRate = rate;
  o.minHz = target / 1.5;
  o.maxHz = target * 1.5;
  o.window = span - static_cast<std::size_t>(std::ceil(rate / o.minHz)) - 2;
  std::vector<double> cents;
  int inside = 0, windows = 0;
  // Windows every 10 ms whose starts span four whole cycles of the vibrato
  // (the output keeps the input's time, so its vibrato stays at 5 Hz), from
  // 100 ms into the note.
  const std::size_t first = static_cast<std::size_t>(n) * noteFrames + rate / 10;
  for (int w = 0; w < 80; ++w) {
    const std::size_t at = first + static_cast<std::size_t>(w) * (rate / 100);
    const double hz = estimatePitch(r.signal.data() + at, span, o);
    ++windows;
    if (hz <= 0) continue;
    const double c = 1200 * std::log2(hz / target);
    cents.push_back(c);
    inside += std::fabs(c) <= 50;
  }
  row.inBand = windows ? 100.0 * inside / windows : 0;
  if (!cents.empty()) {
    std::nth_element(cents.begin(), cents.begin() + static_cast<long>(cents.size() / 2),
                     cents.end());
    row.median = cents[cents.size() / 2];
  }
}

double maxLagMs(const Rendered& r, int n) {
  double most = 0;
  for (std::size_t i = static_cast<std::size_t>(n) * noteFrames; i < noteEnd(n); ++i)
    most = std::max(most, r.lag[i]);
  return 1000.0 * most / rate;
}

// What verbatim frames can reach at output frequency f: the jitter of
// reading whole frames, or 36 dB where that is lower.
double purityGoal(double f) {
  return std::min(36.0, -20 * std::log10(2 * M_PI * f / (rate * std::sqrt(12.0))));
}

struct Inputs {
  std::vector<float> sine, high, highWithoutJumps, vowel;
};

// The interpolated read's goals: purer than the best offline tool, a peak
// within a cent, and at most the interpolator's reach (1 ms) more lag.
constexpr double interpolatedPurityGoal = 72;
constexpr double interpolatedHighGoal = 60;
constexpr double interpolatedCents = 1;
constexpr double interpolatedExtraLagMs = 1;

void qualityTable(const Mode& mode, const std::string& melody, const Inputs& in,
                  Spectrum& spectrum) {
  const bool interpolated = mode.read == readInterpolated;
  std::printf("\n%s (MaxDelay %d ms), sines %.0f and %.0f Hz, vowel %.0f Hz\n",
              interpolated                   ? "Matched splices + interpolated read"
              : mode.splice == spliceMatched ? "Matched splices"
                                             : "Block splices",
              defaultMaxDelayMs, sineHz, highHz, vowelHz);
  std::printf("%6s %6s %9s %6s %11s %8s %8s %9s %9s %9s\n", "frames", "ratio", "purity", "goal",
              "peak cents", "high", interpolated ? "goal" : "no jump", "in band", "median",
              "lag ms");
  int failures = 0, rows = 0;
  for (int frames : bufferLengths) {
    const Rendered s = render(in.sine, melody, frames, mode);
    const Rendered h = render(in.high, melody, frames, mode);
    const Rendered v = render(in.vowel, melody, frames, mode);
    for (int n = 0; n < static_cast<int>(std::size(ratios)); ++n) {
      Row row;
      measureSine(s.signal.data(), n, sineHz, spectrum, row.purity, row.cents);
      double ignored = 0;
      measureSine(h.signal.data(), n, highHz, spectrum, row.highPurity, ignored);
      if (interpolated)
        row.highReference = interpolatedHighGoal;
      else
        measureSine(in.highWithoutJumps.data(), n, highHz, spectrum, row.highReference, ignored);
      measureVowel(v, n, row);
      row.lagMs = std::max({maxLagMs(s, n), maxLagMs(h, n), maxLagMs(v, n)});
      const double goal = interpolated ? interpolatedPurityGoal : purityGoal(sineHz * ratios[n]);
      const double lagLimitMs =
          1000.0 * frames / rate + defaultMaxDelayMs + (interpolated ? interpolatedExtraLagMs : 0);
      const bool met =
          row.purity >= goal && std::fabs(row.cents) <= (interpolated ? interpolatedCents : 5) &&
          row.highPurity >= row.highReference - (interpolated ? 0 : 3) && row.inBand >= 95 &&
          std::fabs(row.median) <= 10 && row.lagMs <= lagLimitMs + 1e-9;
      failures += !met;
      ++rows;
      std::printf("%6d %6s %9.1f %6.1f %+11.2f %8.1f %8.1f %8.1f%% %+9.2f %9.1f%s\n", frames,
                  ratioNames[n], row.purity, goal, row.cents, row.highPurity, row.highReference,
                  row.inBand, row.median, row.lagMs, met ? "" : "  *");
    }
  }
  std::printf("rows meeting every goal: %d of %d (* marks the others)\n", rows - failures, rows);
}

// ---- The offline tools on the same sine ----

bool writeWave(const std::string& path, const std::vector<float>& x) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  // 32-bit whole numbers: soundstretch misreads float files, and these keep
  // the sine some 190 dB clear of their rounding.
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return false;
  const bool whole = sf_writef_float(file, x.data(), static_cast<sf_count_t>(x.size())) ==
                     static_cast<sf_count_t>(x.size());
  return sf_close(file) == 0 && whole;
}

// The first channel of a sound file; empty when it cannot be read.
std::vector<float> readWave(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return {};
  std::vector<float> all(static_cast<std::size_t>(info.frames) *
                         static_cast<std::size_t>(info.channels));
  sf_readf_float(file, all.data(), info.frames);
  sf_close(file);
  std::vector<float> first(static_cast<std::size_t>(info.frames));
  for (std::size_t i = 0; i < first.size(); ++i)
    first[i] = all[i * static_cast<std::size_t>(info.channels)];
  return first;
}

constexpr double staticSeconds = 4;
constexpr double edgeSeconds = 0.5;  // left out at both ends: the tools' start and end

// The worst window's purity of a static bend to `target`, edges left out;
// NaN when the output is too short to measure.
double staticPurity(const std::vector<float>& x, double target, Spectrum& spectrum) {
  const std::size_t edge = static_cast<std::size_t>(edgeSeconds * rate);
  double worst = 1e9;
  for (std::size_t at = edge; at + Spectrum::size + edge <= x.size(); at += 2048) {
    double purity, cents;
    spectrum.measure(x.data() + at, target, purity, cents);
    worst = std::min(worst, purity);
  }
  return worst > 1e8 ? NAN : worst;
}

// The sine bent by one note of `ratio`, through the stream callback.
std::vector<float> staticOurs(const std::vector<float>& input, double ratio, int frames,
                              const Mode& mode) {
  char path[] = "/tmp/gwquality.XXXXXX";
  const int fd = mkstemp(path);
  char text[96];
  const int length = std::snprintf(text, sizeof text, "%.6f\n%d %.6f\n", base,
                                   static_cast<int>(staticSeconds * 1000) + 1000, base * ratio);
  if (fd < 0 || write(fd, text, static_cast<std::size_t>(length)) != length) std::exit(1);
  close(fd);
  EffectState fx;
  fx.numChannels = 1;
  fx.projectedFramesPerBuffer = frames;
  std::vector<float> out;
  QuietStdout quiet;
  if (liveEffectInit(fx, settingsOf(mode), path, 1, frames)) std::exit(1);
  std::vector<float> block(static_cast<std::size_t>(frames));
  for (std::size_t at = 0; at + frames <= input.size(); at += frames) {
    streamCallback(input.data() + at, block.data(), static_cast<unsigned long>(frames), nullptr, 0,
                   &fx);
    out.insert(out.end(), block.begin(), block.end());
  }
  effectRelease(fx);
  unlink(path);
  return out;
}

struct Tool {
  const char* name;
  const char* program;
  // The command line for a ratio, from the input and output paths.
  std::string (*command)(double ratio, const std::string& in, const std::string& out);
};

std::string numberText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", value);
  return text;
}

const Tool tools[] = {
    {"rubberband R3", "rubberband",
     [](double r, const std::string& in, const std::string& out) {
       return "rubberband --fine -f " + numberText(r) + " " + in + " " + out;
     }},
    {"rubberband R2", "rubberband",
     [](double r, const std::string& in, const std::string& out) {
       return "rubberband --fast -f " + numberText(r) + " " + in + " " + out;
     }},
    // Its default crispness (5) smears a steady tone; 3 suits one best.
    {"R2 --crisp 3", "rubberband",
     [](double r, const std::string& in, const std::string& out) {
       return "rubberband --fast --crisp 3 -f " + numberText(r) + " " + in + " " + out;
     }},
    {"sox pitch", "sox",
     [](double r, const std::string& in, const std::string& out) {
       return "sox " + in + " " + out + " pitch " + numberText(1200 * std::log2(r));
     }},
    {"soundstretch", "soundstretch",
     [](double r, const std::string& in, const std::string& out) {
       return "soundstretch " + in + " " + out + " -pitch=" + numberText(12 * std::log2(r));
     }},
};

// Purity of static bends of the 220 Hz sine: ours in matched splices, both
// reads, beside the offline tools, all measured by the same code.
void peerTable(Spectrum& spectrum) {
  const std::vector<float> input = sine(static_cast<std::size_t>(staticSeconds * rate), sineHz);
  char folder[] = "/tmp/gwpeers.XXXXXX";
  if (!mkdtemp(folder)) std::exit(1);
  const std::string in = std::string(folder) + "/sine.wav";
  const std::string out = std::string(folder) + "/out.wav";
  if (!writeWave(in, input)) std::exit(1);
  std::printf(
      "\nStatic bends of a %.0f Hz sine (%.0f s, 32-bit WAV): purity in dB, worst\n"
      "8192-frame window with %.1f s left out at both ends, measured by the same code for\n"
      "every tool. Ours through the stream callback at 64 and 2048 frames per buffer.\n",
      sineHz, staticSeconds, edgeSeconds);
  std::printf("%-6s %9s %9s %9s", "ratio", "matched64", "interp64", "interp2k");
  for (const Tool& tool : tools) std::printf(" %14s", tool.name);
  std::printf("\n");
  std::vector<bool> present;
  for (const Tool& tool : tools)
    present.push_back(
        std::system((std::string("command -v ") + tool.program + " >/dev/null").c_str()) == 0);
  for (std::size_t n = 1; n < std::size(ratios); ++n) {
    const double target = sineHz * ratios[n];
    std::printf(
        "%-6s %9.1f %9.1f %9.1f", ratioNames[n],
        staticPurity(staticOurs(input, ratios[n], 64, matchedMode), target, spectrum),
        staticPurity(staticOurs(input, ratios[n], 64, interpolatedMode), target, spectrum),
        staticPurity(staticOurs(input, ratios[n], 2048, interpolatedMode), target, spectrum));
    for (std::size_t k = 0; k < std::size(tools); ++k) {
      double purity = NAN;
      if (present[k]) {
        unlink(out.c_str());
        const std::string command = tools[k].command(ratios[n], in, out) + " >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0)
          purity = staticPurity(readWave(out), target, spectrum);
      }
      if (std::isnan(purity))
        std::printf(" %14s", present[k] ? "failed" : "not installed");
      else
        std::printf(" %14.1f", purity);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  unlink(in.c_str());
  unlink(out.c_str());
  rmdir(folder);
}

// Every buffer of `seconds` of the vowel through a looping melody of all the
// ratios, timed one by one, in `passes` identical passes. The work of a
// buffer is the same in every pass, while the machine's other work (this
// machine is shared) lands on random buffers: the least time each buffer
// took over the passes is its own cost.
void realTime(int frames, const Mode& mode, double seconds, int passes) {
  char path[] = "/tmp/gwquality.XXXXXX";
  const int fd = mkstemp(path);
  std::string text = std::to_string(base) + "\n";
  for (double r : ratios) text += "300 " + std::to_string(base * r) + "\n";
  if (fd < 0 || write(fd, text.data(), text.size()) < 0) std::exit(1);
  close(fd);
  const std::vector<float> v = vowel(static_cast<std::size_t>(seconds * rate));
  const BufferTimes t = timeBuffers(settingsOf(mode), path, frames, v, passes);
  unlink(path);
  const std::vector<double>& least = t.least;
  const std::size_t buffers = least.size();
  const double worstSeen = t.worstSeen;
  const double budget = 1e6 * frames / rate;
  std::printf("%-8s %6d %9.1f %9.1f %9.1f %9.1f %9.2f%% %10.1f %9.2f%%\n", mode.name, frames,
              least[buffers / 2], least[buffers * 99 / 100], least[buffers * 999 / 1000],
              least.back(), 100 * least.back() / budget, worstSeen, 100 * worstSeen / budget);
}

}  // namespace

int main(int argc, char** argv) {
  // --realtime-only skips the quality tables and the tools; --interpolated-only
  // measures the interpolated read alone (its table, the tools, its cost).
  const std::string option = argc > 1 ? argv[1] : "";
  const bool tables = option != "--realtime-only";
  const bool verbatim = option != "--interpolated-only";
  if (tables) {
    const std::string melody = writeMelody();
    const std::size_t length = std::size(ratios) * noteFrames + 4096;
    Inputs in;
    in.sine = sine(length, sineHz);
    in.high = sine(length, highHz);
    in.highWithoutJumps = withoutJumps(melody, highHz);
    in.vowel = vowel(length);
    Spectrum spectrum;
    if (verbatim) {
      qualityTable(blockMode, melody, in, spectrum);
      qualityTable(matchedMode, melody, in, spectrum);
    }
    qualityTable(interpolatedMode, melody, in, spectrum);
    unlink(melody.c_str());
    peerTable(spectrum);
  }
  constexpr int passes = 5;
  std::printf(
      "\nReal time: every buffer of 60 s of the vowel (stereo) through the callback, a\n"
      "looping melody of every ratio, %d passes. Microseconds per buffer: each buffer's\n"
      "least time over the passes (its own cost), then the slowest single call seen\n"
      "(with the shared machine's interruptions). /buf: share of one buffer's duration\n",
      passes);
  std::printf("%-8s %6s %9s %9s %9s %9s %10s %10s %10s\n", "mode", "frames", "median", "p99",
              "p99.9", "worst", "worst/buf", "slowest", "slow/buf");
  for (int frames : {64, 128, 256}) {
    realTime(frames, interpolatedMode, 60, passes);
    if (!verbatim) continue;
    realTime(frames, matchedMode, 60, passes);
    realTime(frames, blockMode, 60, passes);
  }
  return 0;
}
