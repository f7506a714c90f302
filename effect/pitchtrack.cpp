// Absolute pitch. The input's pitch is measured on a track of points every
// gridStep input frames, each centred on its point, as soon as the frames a
// little after it have arrived; the read position keeps that far behind the
// newest input, so the pitch of the frames being read is always known, and
// a jump lands on a part of the track measured for where it lands.
#include "pitchtrack.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

// The measurement's arithmetic reads and writes only buffers that the audio
// thread alone touches while the stream runs. Under ThreadSanitizer it is
// left uninstrumented: instrumented, it takes longer than a short buffer
// lasts, and the end-to-end runs would only hear dropouts.
#define GW_PLAIN_ARITHMETIC __attribute__((no_sanitize("thread")))

namespace {

// The first dip of the normalised difference under this is the period.
constexpr double detectThreshold = 0.2;
// The refined period's difference, against the energy compared, must stay
// under this; a breath or a consonant does not.
constexpr double refineThreshold = 0.1;
// How far the refinement looks around the detected period, relative.
constexpr double refineReach = 0.05;
// The two stretches compared may differ in energy by this share of both.
constexpr double balance = 0.2;
// Quieter than this (RMS) has no pitch; it also keeps denormals out.
constexpr double silenceRms = 1e-5;
// Samples beyond this are no audio (or not floats at all): read as silence.
constexpr float loudest = 1e6f;

// The refinement compares at least this much, however short the period.
constexpr double refineSeconds = 0.004;
// A point of the pitch track every 64 frames at 44100 Hz.
constexpr double gridSeconds = 0.00145;
// What a point waits for after it: a refinement centred on it, over one
// period, reaches one period either side, so voices down to 125 Hz are
// measured centred (lower ones a little before their point).
constexpr double lookAheadSeconds = 0.008;
// Corrections beyond three octaves either way are measuring faults.
constexpr double maxCorrection = 8.0;

int framesOf(double seconds, double rate) {
  return std::max(1, static_cast<int>(seconds * rate + 0.5));
}

// Above this the input is measured at every second (fourth, ...) frame: a
// voice needs no more, and the measurement's cost grows with the square of
// the rate.
constexpr int measuredRate = 48000;

// Sums of (a[k] - b[k])^2 over the first `count` samples, every `stride`-th
// float, in four interleaved partial sums so that the additions need not
// wait on each other. Contiguous samples (Stride 1) get a loop of their own:
// the usual rates, where it matters most.
template <int Stride>
GW_PLAIN_ARITHMETIC double squaredDifferenceBy(const float* a, const float* b, int count,
                                               int stride) {
  const int step = Stride ? Stride : stride;
  double sum[4] = {0, 0, 0, 0};
  int k = 0;
  for (; k + 3 < count; k += 4) {
    for (int u = 0; u < 4; ++u) {
      const double d = static_cast<double>(a[(k + u) * step]) - b[(k + u) * step];
      sum[u] += d * d;
    }
  }
  for (; k < count; ++k) {
    const double d = static_cast<double>(a[k * step]) - b[k * step];
    sum[0] += d * d;
  }
  return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

GW_PLAIN_ARITHMETIC double squaredDifference(const float* a, const float* b, int count,
                                             int stride) {
  return stride == 1 ? squaredDifferenceBy<1>(a, b, count, 1)
                     : squaredDifferenceBy<0>(a, b, count, stride);
}

GW_PLAIN_ARITHMETIC double sumOfSquares(const float* a, int count, int stride) {
  double sum = 0;
  for (int k = 0; k < count; ++k) sum += static_cast<double>(a[k * stride]) * a[k * stride];
  return sum;
}

// The period, in whole samples, of the 2 * maxLag samples from `start`
// (every `stride`-th float): the first dip of the cumulative-mean normalised
// difference under the threshold, at its bottom; 0 when none.
GW_PLAIN_ARITHMETIC int detectPeriod(PitchEstimator& e, const float* start, int stride) {
  const int w = e.maxLag;
  const int length = 2 * w;
  e.squares[0] = 0;
  for (int k = 0; k < length; ++k) {
    const float v = start[k * stride];
    e.span[k] = v;
    e.squares[k + 1] = e.squares[k] + static_cast<double>(v) * v;
  }
  const double headEnergy = e.squares[w];
  if (!(headEnergy >= silenceRms * silenceRms * w) || !std::isfinite(e.squares[length])) return 0;

  std::memcpy(e.head, e.span, sizeof(float) * static_cast<std::size_t>(w));
  fftwf_execute(e.headPlan);
  fftwf_execute(e.spanPlan);
  // Correlation of the head with the span: conj(head) * span.
  const int bins = e.fftSize / 2 + 1;
  for (int k = 0; k < bins; ++k) {
    const float ar = e.headSpectrum[k][0], ai = e.headSpectrum[k][1];
    const float br = e.spanSpectrum[k][0], bi = e.spanSpectrum[k][1];
    e.headSpectrum[k][0] = ar * br + ai * bi;
    e.headSpectrum[k][1] = ar * bi - ai * br;
  }
  fftwf_execute(e.inversePlan);
  const double scale = 1.0 / e.fftSize;

  // d(lag) = head energy + energy of the shifted window - 2 r(lag), and its
  // cumulative-mean normalisation, which keeps the short lags from winning.
  double running = 0;
  int found = 0;
  double bottom = 1;
  for (int lag = 1; lag <= w; ++lag) {
    const double shifted = e.squares[lag + w] - e.squares[lag];
    const double d = std::max(0.0, headEnergy + shifted - 2 * scale * e.correlation[lag]);
    running += d;
    const double normalised = running > 0 ? d * lag / running : 1;
    if (found) {
      if (!(normalised < bottom)) break;  // the bottom of the dip
      found = lag;
      bottom = normalised;
    } else if (lag >= e.minLag && normalised < detectThreshold) {
      found = lag;
      bottom = normalised;
    }
  }
  return found;
}

}  // namespace

bool pitchEstimatorSetUp(EffectState& fx, PitchEstimator& e, double rate) {
  pitchEstimatorRelease(e);
  e.rate = rate;
  e.minLag = std::max(2, static_cast<int>(std::floor(rate / trackHighestHz)));
  e.maxLag = static_cast<int>(std::ceil(rate / trackLowestHz));
  e.refineWindow = framesOf(refineSeconds, rate);
  e.fftSize = 1;
  while (e.fftSize < 2 * e.maxLag) e.fftSize *= 2;
  const auto n = static_cast<std::size_t>(e.fftSize);
  const std::size_t bins = n / 2 + 1;
  e.head = static_cast<float*>(effectAllocate(fx, sizeof(float) * n));
  e.span = static_cast<float*>(effectAllocate(fx, sizeof(float) * n));
  e.correlation = static_cast<float*>(effectAllocate(fx, sizeof(float) * n));
  e.headSpectrum = static_cast<fftwf_complex*>(effectAllocate(fx, sizeof(fftwf_complex) * bins));
  e.spanSpectrum = static_cast<fftwf_complex*>(effectAllocate(fx, sizeof(fftwf_complex) * bins));
  e.squares = static_cast<double*>(
      effectAllocate(fx, sizeof(double) * static_cast<std::size_t>(2 * e.maxLag + 1)));
  if (e.head && e.span && e.correlation && e.headSpectrum && e.spanSpectrum && e.squares) {
    // Plans are made and destroyed under FFTW's own lock, so effects may be
    // set up on several threads at once.
    fftwf_make_planner_thread_safe();
    // Estimated plans: measuring would write the arrays and take seconds.
    e.headPlan = fftwf_plan_dft_r2c_1d(e.fftSize, e.head, e.headSpectrum, FFTW_ESTIMATE);
    e.spanPlan = fftwf_plan_dft_r2c_1d(e.fftSize, e.span, e.spanSpectrum, FFTW_ESTIMATE);
    e.inversePlan = fftwf_plan_dft_c2r_1d(e.fftSize, e.headSpectrum, e.correlation, FFTW_ESTIMATE);
  }
  if (!e.headPlan || !e.spanPlan || !e.inversePlan) {
    effectPrint(fx, "Out of memory.\n");
    pitchEstimatorRelease(e);
    return false;
  }
  return true;
}

void pitchEstimatorRelease(PitchEstimator& e) {
  for (fftwf_plan* plan : {&e.headPlan, &e.spanPlan, &e.inversePlan})
    if (*plan) fftwf_destroy_plan(*plan);
  std::free(e.head);
  std::free(e.span);
  std::free(e.correlation);
  std::free(e.headSpectrum);
  std::free(e.spanSpectrum);
  std::free(e.squares);
  e = PitchEstimator{};
}

GW_PLAIN_ARITHMETIC double estimatePitchAround(PitchEstimator& e, const float* x, int centre,
                                               int oldest, int newest, int stride) {
  if (!e.headPlan) return 0;
  // Detection: two periods of the lowest pitch, centred where the frames allow.
  const int length = 2 * e.maxLag;
  int start = std::min(newest, centre + e.maxLag) - length + 1;
  if (start < oldest) start = oldest;
  if (start + length - 1 > newest) return 0;
  const int detected = detectPeriod(e, x + static_cast<std::ptrdiff_t>(start) * stride, stride);
  if (detected == 0) return 0;

  // Refinement around the detected period, over a window centred on `centre`.
  const int low = std::max(e.minLag - 1, static_cast<int>(detected * (1 - refineReach)) - 1);
  const int high = static_cast<int>(std::ceil(detected * (1 + refineReach))) + 1;
  const int window = std::max(detected, e.refineWindow);
  int from = centre - (window + detected) / 2;
  from = std::min(from, newest - window - high + 1);
  from = std::max(from, oldest);
  if (from + window + high - 1 > newest) return 0;
  const float* a = x + static_cast<std::ptrdiff_t>(from) * stride;
  double best = -1, before = 0, after = 0;
  int bestLag = 0;
  double previous = -1;
  for (int lag = low; lag <= high; ++lag) {
    const double d = squaredDifference(a, a + lag * stride, window, stride);
    if (best < 0 || d < best) {
      best = d;
      bestLag = lag;
      before = previous;
    }
    if (lag == bestLag + 1) after = d;
    previous = d;
  }
  if (bestLag == low || bestLag == high) return 0;  // the pitch moved out of reach
  const double first = sumOfSquares(a, window, stride),
               second = sumOfSquares(a + bestLag * stride, window, stride);
  const double energy = first + second;
  if (!(energy > 0) || !(best <= refineThreshold * energy)) return 0;
  // A window across the start or the end of a sound reads a period that is
  // neither before nor after.
  if (std::fabs(first - second) > balance * energy) return 0;
  // A parabola through the bottom and its neighbours: the period between frames.
  const double curve = before - 2 * best + after;
  const double shift = curve > 0 ? std::clamp(0.5 * (before - after) / curve, -1.0, 1.0) : 0.0;
  const double hz = e.rate / (bestLag + shift);
  return std::isfinite(hz) ? hz : 0;
}

double retuneCoefficient(int retuneMs, int rate) {
  if (retuneMs <= 0) return 1;
  return 1 - std::exp(-1000.0 / (static_cast<double>(retuneMs) * rate));
}

void followPitch(PitchCorrection& c, double measuredHz, double coefficient) {
  if (!(measuredHz > 0) || !std::isfinite(measuredHz)) return;
  const double octaves = std::log2(measuredHz);
  if (!c.found || coefficient >= 1) {
    c.heldOctaves = octaves;
    c.found = true;
    return;
  }
  c.heldOctaves += coefficient * (octaves - c.heldOctaves);
}

double correctedRatio(const PitchCorrection& c, double targetHz, double maxRatio) {
  if (!c.found) return 1;
  const double ratio = targetHz / std::exp2(c.heldOctaves);
  if (!(ratio > 1 / maxRatio)) return 1 / maxRatio;  // NaN lands here too
  return std::min(ratio, maxRatio);
}

// ---- The effect's side ----

struct PitchChannel {
  float* samples;         // the measured sample of each frame of the tail, oldest first
  float* track;           // Hz around every gridStep-th input frame (0: none); a ring
  long long newestStart;  // input frames of this channel before its newest block
  long long nextPoint;    // the next point of the track to measure
  PitchCorrection correction;
};

struct PitchTracking {
  PitchEstimator estimator;
  PitchChannel* channels = nullptr;
  int channelCount = 0;
  int tailFrames = 0;  // frames of samples kept, whole blocks
  int stride = 1;      // frames per measured sample
  int gridStep = 0;    // measured samples between two points of the track
  int gridFrames = 0;  // the same in frames
  int trackSize = 0;   // points the ring holds
  int lookAhead = 0;   // measured samples after a point that must have come to measure it
  int holdBack = 0;    // frames the read position keeps behind the newest input
  int sampleOffset = 0;
  double coefficient = 1;
  double maxRatio = maxCorrection;
};

namespace {

// The measured channel's sample of a frame: the left, or the right with
// right-to-both; frames of 1 or 2 bytes hold integers.
float measuredSample(const EffectState& fx, int sampleOffset, const unsigned char* frame) {
  float value;
  if (fx.frameBytes >= 4) {
    std::memcpy(&value, frame + sampleOffset, sizeof value);
  } else if (fx.frameBytes == 2) {
    short whole;
    std::memcpy(&whole, frame, sizeof whole);
    value = static_cast<float>(whole) / 32768.0f;
  } else {
    value = static_cast<float>(static_cast<signed char>(frame[0])) / 128.0f;
  }
  return std::fabs(value) <= loudest ? value : 0.0f;  // NaN and infinities too
}

// The measured pitch at an input frame, between the two points of the track
// around it; the newest point when it lies beyond the track's end.
double measuredAt(const PitchTracking& t, const PitchChannel& p, long long frame) {
  if (frame < 0 || p.nextPoint == 0) return 0;
  const long long newestPoint = p.nextPoint - 1;
  const long long oldestPoint = std::max(0LL, p.nextPoint - t.trackSize);
  long long point = frame / t.gridFrames;
  if (point >= newestPoint) return p.track[newestPoint % t.trackSize];
  if (point < oldestPoint) return 0;
  const double a = p.track[point % t.trackSize];
  const double b = p.track[(point + 1) % t.trackSize];
  if (a > 0 && b > 0) {
    const double along = static_cast<double>(frame - point * t.gridFrames) / t.gridFrames;
    return a + (b - a) * along;
  }
  return a > 0 ? a : b;
}

}  // namespace

int pitchSetUp(EffectState& fx, int sampleRate) {
  pitchRelease(fx);
  const int frames = fx.blockBytes / fx.frameBytes;
  auto* t = static_cast<PitchTracking*>(effectAllocate(fx, sizeof(PitchTracking)));
  if (!t) {
    effectPrint(fx, "Out of memory.\n");
    return 1;
  }
  *t = PitchTracking{};
  fx.splice.pitch = t;
  t->stride = std::max(1, (sampleRate + measuredRate / 2) / measuredRate);
  const double rate = static_cast<double>(sampleRate) / t->stride;
  if (!pitchEstimatorSetUp(fx, t->estimator, rate)) return 1;
  const SpliceState& s = fx.splice;
  t->gridStep = framesOf(gridSeconds, rate);
  t->gridFrames = t->gridStep * t->stride;
  t->lookAhead = framesOf(lookAheadSeconds, rate);
  // Centred measurements need their look-ahead, and a position between two
  // points needs the later one too; but a jump needs room within the lag
  // bound, so at most half of MaxDelay is kept back.
  t->holdBack = std::min((t->lookAhead + t->gridStep) * t->stride, s.maxDelayFrames / 2);
  // Samples for the newest block's points: their detection spans and look-ahead.
  const int needed =
      frames + (t->lookAhead + t->gridStep + 3 * t->estimator.maxLag + 1) * t->stride;
  t->tailFrames = ((needed + frames - 1) / frames + 1) * frames;
  // Points back to the oldest frame a read may reach, and two blocks more.
  t->trackSize = (s.lagLimit + 2 * frames + t->lookAhead * t->stride) / t->gridFrames + 4;
  t->sampleOffset = fx.settings.stereoMode == stereoRightToBoth && fx.frameBytes >= 8
                        ? static_cast<int>(sizeof(float))
                        : 0;
  t->coefficient = retuneCoefficient(fx.settings.retuneMs, sampleRate);
  // A move beyond one block cannot be read back.
  t->maxRatio = std::min(maxCorrection, static_cast<double>(std::max(1, frames)));

  t->channelCount = fx.channelCount;
  t->channels = static_cast<PitchChannel*>(
      effectAllocate(fx, sizeof(PitchChannel) * static_cast<std::size_t>(t->channelCount)));
  if (!t->channels) {
    effectPrint(fx, "Out of memory.\n");
    return 1;
  }
  for (int i = 0; i < t->channelCount; ++i) {
    PitchChannel& p = t->channels[i];
    p.samples = static_cast<float*>(
        effectAllocate(fx, sizeof(float) * static_cast<std::size_t>(t->tailFrames)));
    p.track = static_cast<float*>(
        effectAllocate(fx, sizeof(float) * static_cast<std::size_t>(t->trackSize)));
    if (!p.samples || !p.track) {
      effectPrint(fx, "Out of memory.\n");
      return 1;
    }
    p.newestStart = -frames;  // the first block starts at frame 0
    p.nextPoint = 0;
    p.correction = PitchCorrection{};
  }
  return 0;
}

void pitchRelease(EffectState& fx) {
  PitchTracking* t = fx.splice.pitch;
  if (!t) return;
  pitchEstimatorRelease(t->estimator);
  if (t->channels) {
    for (int i = 0; i < t->channelCount; ++i) {
      std::free(t->channels[i].samples);
      std::free(t->channels[i].track);
    }
  }
  std::free(t->channels);
  std::free(t);
  fx.splice.pitch = nullptr;
}

int pitchHoldBack(const EffectState& fx) {
  return fx.splice.pitch ? fx.splice.pitch->holdBack : 0;
}

void pitchTrackBlock(EffectState& fx, const DelayChannel* channel) {
  PitchTracking& t = *fx.splice.pitch;
  PitchChannel& p = t.channels[channel->channelNumber];
  const int frames = fx.blockBytes / fx.frameBytes;
  const std::size_t kept = static_cast<std::size_t>(t.tailFrames - frames);
  std::memmove(p.samples, p.samples + frames, kept * sizeof(float));
  for (int i = 0; i < frames; ++i)
    p.samples[kept + static_cast<std::size_t>(i)] = measuredSample(
        fx, t.sampleOffset, channel->newest + static_cast<std::size_t>(i) * fx.frameBytes);
  p.newestStart += frames;

  // The measured samples are the frames whose count from the start is a
  // multiple of the stride: the first of them in the tail, and the last.
  const int d = t.stride;
  const long long tailStart = p.newestStart - static_cast<long long>(kept);
  const int first = static_cast<int>(((-tailStart) % d + d) % d);
  const float* x = p.samples + first;
  const int newest = (t.tailFrames - 1 - first) / d;
  const long long lastFrame = p.newestStart + frames - 1;
  for (; (p.nextPoint * t.gridStep + t.lookAhead) * d <= lastFrame; ++p.nextPoint) {
    const long long at = (p.nextPoint * t.gridFrames - tailStart - first) / d;
    const double hz = at >= 0 && at <= newest
                          ? estimatePitchAround(t.estimator, x, static_cast<int>(at), 0, newest, d)
                          : 0;
    p.track[p.nextPoint % t.trackSize] = static_cast<float>(hz);
  }
}

double absoluteRatio(EffectState& fx, const DelayChannel* channel, int position) {
  PitchTracking& t = *fx.splice.pitch;
  PitchChannel& p = t.channels[channel->channelNumber];
  followPitch(p.correction, measuredAt(t, p, p.newestStart + position), t.coefficient);
  const float target = channel->note->frequency;
  // A note at the base frequency is a rest: the input keeps its own pitch.
  if (target == static_cast<float>(fx.baseFrequency)) return 1;
  return correctedRatio(p.correction, target, t.maxRatio);
}
