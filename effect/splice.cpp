// Matched splices: the read position keeps within one block plus MaxDelay
// of the output, and when a move would take it out of that range it jumps to
// where the input's waveform matches the stretch just played (the splice
// point search of WSOLA and delay-line pitch shifters). Output frames stay
// verbatim copies of input frames, unless the interpolated read is chosen:
// then each is read at the exact position through a windowed sinc, and each
// jump lands at the matched position between frames and is crossfaded.
#include "splice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pitchtrack.h"

namespace {

// Times in seconds, turned into frames at set-up.
constexpr double windowSeconds = 0.005;  // long enough for two periods at 400 Hz
// Jumps nearer than this land on the shoulder of the position's own peak.
constexpr double minJumpSeconds = 0.0007;
// Two periods of the lowest voices, so a nearest peak is always in reach.
constexpr double spanSeconds = 0.028;
// Absolute pitch's first reach: jumps this short keep a singer's vibrato whole.
constexpr double shortSpanSeconds = 0.012;
constexpr double earlyLagSeconds = 0.010;
constexpr double fallbackSeconds = 0.010;
constexpr double searchGapSeconds = 0.0007;
constexpr double earlyRetrySeconds = 0.003;

constexpr float matchFloor = 0.5f;   // below this there is nothing to match (noise)
constexpr float earlyFloor = 0.95f;  // an early jump needs a close match
// Coarse scores miss a narrow peak's top; peaks this close to the best are refined.
constexpr float coarseTolerance = 0.15f;
constexpr int maxRefined = 4;
// A landing this close to a whole frame ends the search for a rounder one.
constexpr double spliceRoundingGoal = 0.15;
// A match this close to perfect, this close to a whole frame, is a landing
// whole periods away that needs no rounding.
constexpr float wholeScore = 0.999f;
constexpr double wholeFraction = 0.02;

// The interpolated read's crossfade at a jump: long enough that the two
// stretches' small mismatch passes unheard, short enough to cost little lag.
constexpr double fadeSeconds = 0.003;
// Of the room between the least and the most lag, the share that a fade's two
// stretches may drift apart: fast notes fade more briefly.
constexpr double fadeShare = 0.25;
// The interpolator: a sinc cut off at half the rate, so that a read on a
// whole frame is that frame, in a Kaiser window whose beta of 10 leaves
// errors some 100 dB down at the frequencies of voices.
constexpr double kaiserBeta = 10.0;

int framesOf(double seconds, int rate) {
  return std::max(1, static_cast<int>(seconds * rate + 0.5));
}

// The sample that the search compares, from a frame of the input.
float comparedSample(const EffectState& fx, const unsigned char* frame) {
  const int frameBytes = fx.frameBytes;
  if (fx.splice.compareBoth) {
    float pair[2];
    std::memcpy(pair, frame, sizeof pair);
    return pair[0] + pair[1];
  }
  if (frameBytes >= 4) {
    float value;
    std::memcpy(&value, frame + fx.splice.sampleOffset, sizeof value);
    return value;
  }
  if (frameBytes == 2) {
    short value;
    std::memcpy(&value, frame, sizeof value);
    return static_cast<float>(value) / 32768.0f;
  }
  return static_cast<float>(static_cast<signed char>(frame[0])) / 128.0f;
}

// Eight floats that the compiler keeps in vector registers, where the target
// has them (one of AVX2's, two of SSE2's), and multiplies and adds lane by lane.
using Float8 = float __attribute__((vector_size(32)));

float laneSum(const Float8& v) {
  float lane[8];
  std::memcpy(lane, &v, sizeof lane);
  return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

// Sums of a[k]*b[k] and b[k]*b[k] over k below n, eight samples a step, in
// two partial sums of each: the additions of one sum wait on each other.
void products(const float* a, const float* b, int n, float& ab, float& bb) {
  Float8 sumAb[2] = {}, sumBb[2] = {};
  int k = 0;
  for (; k + 16 <= n; k += 16) {
    for (int u = 0; u < 2; ++u) {
      Float8 x, y;  // copied: the stretches are aligned to floats only
      std::memcpy(&x, a + k + 8 * u, sizeof x);
      std::memcpy(&y, b + k + 8 * u, sizeof y);
      sumAb[u] += x * y;
      sumBb[u] += y * y;
    }
  }
  float tailAb = 0, tailBb = 0;
  for (; k < n; ++k) {
    tailAb += a[k] * b[k];
    tailBb += b[k] * b[k];
  }
  ab = laneSum(sumAb[0] + sumAb[1]) + tailAb;
  bb = laneSum(sumBb[0] + sumBb[1]) + tailBb;
}

// Normalised cross-correlation of a[0..n) with b[0..n), given a's energy.
float similarity(const float* a, float aEnergy, const float* b, int n) {
  float ab, bEnergy;
  products(a, b, n, ab, bEnergy);
  const float product = aEnergy * bEnergy;
  // Silence, and NaN from a broken input, score 0.
  if (!(product > 1e-24f) || !(product < 1e30f)) return 0;
  return ab / std::sqrt(product);
}

float energy(const float* a, int n) {
  float ab, aa;
  products(a, a, n, ab, aa);
  return aa;
}

}  // namespace

namespace {

struct Refined {
  int position;
  float score;
  double fraction;
};

// The best full-resolution candidate within one coarse step of a coarse
// peak, placed between frames by a parabola through it and its neighbours.
Refined refine(const float* ref, float refEnergy, const float* start, int window, int centre) {
  const int step = spliceCoarseStep;
  const int low = centre - step;  // a coarse peak has coarse neighbours both sides
  float scores[2 * spliceCoarseStep + 1];
  Refined peak{centre, -2, 0};
  for (int i = 0; i <= 2 * step; ++i) {
    scores[i] = similarity(ref, refEnergy, start + low + i, window);
    if (i > 0 && i < 2 * step && scores[i] > peak.score) peak = {low + i, scores[i], 0};
  }
  const float before = scores[peak.position - 1 - low];
  const float after = scores[peak.position + 1 - low];
  const double curve = static_cast<double>(before) - 2.0 * peak.score + after;
  if (curve < 0)
    peak.fraction = std::clamp(0.5 * (static_cast<double>(before) - after) / curve, -0.5, 0.5);
  return peak;
}

}  // namespace

bool spliceSearch(const float* x, int window, int refEnd, int shift, int first, int last, int near,
                  float* scratch, SpliceMatch& match, double carry, int roundingReach,
                  int wholeLast) {
  if (last < first) return false;
  const float* ref = x + refEnd - window + 1;
  const float* start = x - shift - window + 1;  // + c: the stretch ending at c - shift
  const int step = spliceCoarseStep;
  const int count = (last - first) / step + 1;
  // The coarse pass compares every step-th sample, and its candidates lie
  // step frames apart: all of them read one run of every step-th sample,
  // copied here once so that each comparison reads it whole.
  const int coarseWindow = (window + step - 1) / step;
  float* coarse = scratch + count + 2;
  float* refCoarse = coarse + count + coarseWindow;
  for (int n = 0; n < count + coarseWindow - 1; ++n) coarse[n] = start[first + n * step];
  for (int n = 0; n < coarseWindow; ++n) refCoarse[n] = ref[n * step];
  const float refCoarseEnergy = energy(refCoarse, coarseWindow);
  const float refFine = energy(ref, window);
  // Peaks of the coarse scores, strictly above the one before so that a flat
  // stretch gives none.
  auto coarsePeak = [&](int k) {
    return k >= 1 && k + 1 < count && scratch[k] > scratch[k - 1] && scratch[k] >= scratch[k + 1];
  };

  // The coarse pass starts at the end nearest to `near`. A peak that scores
  // within the tolerance of a perfect match cannot be beaten by more than
  // that, so it ends the search: for a steady pitch, about one period in.
  const bool fromLast = near >= last;
  auto coarseIndex = [&](int n) { return fromLast ? count - 1 - n : n; };
  // Of such peaks, the one whose landing needs the least rounding to a
  // whole frame: the rounding is a jitter of its own, on top of the moves'.
  auto rounding = [&](const Refined& peak) {
    const double ideal = peak.fraction + carry;
    return std::fabs(ideal - std::round(ideal));
  };
  Refined exact{0, -2, 0};
  int exactCount = 0;
  bool settled = false;  // the nearest good landing is chosen
  for (int n = 0; n < count; ++n) {
    const int k = coarseIndex(n);
    scratch[k] = similarity(refCoarse, refCoarseEnergy, coarse + k, coarseWindow);
    if (n < 2) continue;
    const int m = coarseIndex(n - 1);
    if (coarsePeak(m) && scratch[m] >= 1 - coarseTolerance) {
      const Refined peak = refine(ref, refFine, start, window, first + m * step);
      if (peak.score >= 1 - spliceNearTolerance) {
        // A steady tone whose periods fill a whole number of frames: landing
        // there needs no rounding at all, which a pure tone would hear.
        if (peak.score >= wholeScore && std::fabs(peak.fraction) <= wholeFraction &&
            peak.position <= wholeLast) {
          exact = peak;
          exactCount = 1;
          break;
        }
        if (!settled) {
          // Farther peaks only within reach: long jumps build up delay.
          if (exactCount > 0 && std::abs(peak.position - near) > roundingReach) {
            settled = true;
          } else {
            if (exactCount == 0 || rounding(peak) < rounding(exact)) exact = peak;
            // With no reach, no farther peak could be taken: this one will do.
            if (++exactCount == maxRefined || rounding(exact) <= spliceRoundingGoal ||
                roundingReach <= 0)
              settled = true;
          }
        }
        // Only a steady tone goes on looking for such a whole landing, and
        // only when one may be taken.
        if (settled && (exact.score < wholeScore || wholeLast < first)) break;
      }
    }
  }
  if (exactCount > 0) {
    match = {exact.position, exact.fraction, exact.score};
    return true;
  }

  float coarseBest = -2;
  for (int k = 1; k + 1 < count; ++k)
    if (coarsePeak(k)) coarseBest = std::max(coarseBest, scratch[k]);
  if (coarseBest < -1) return false;
  // The qualifying peaks nearest to `near` first; of those, the nearest
  // within the tolerance of the best.
  Refined refined[maxRefined];
  int refinedCount = 0;
  float best = -2;
  for (int n = 1; n + 1 < count && refinedCount < maxRefined; ++n) {
    const int k = coarseIndex(n);
    if (!coarsePeak(k) || scratch[k] < coarseBest - coarseTolerance) continue;
    refined[refinedCount] = refine(ref, refFine, start, window, first + k * step);
    best = std::max(best, refined[refinedCount++].score);
  }
  for (int r = 0; r < refinedCount; ++r) {
    if (refined[r].score >= best - spliceNearTolerance) {
      match = {refined[r].position, refined[r].fraction, refined[r].score};
      return true;
    }
  }
  return false;
}

namespace {

// The modified Bessel function of order 0, by its series, to double precision.
double besselI0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; term > 1e-17 * sum; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
  }
  return sum;
}

// The kernel's taps for a read `fraction` past a frame, before scaling.
// `windowPeak` is the window's value at its centre, besselI0(kaiserBeta).
void kernelTaps(double fraction, double windowPeak, double* taps) {
  for (int k = 0; k < interpolationTaps; ++k) {
    const double d = k - (interpolationHalf - 1) - fraction;  // the tap's frame less the position
    const double u = d / interpolationHalf;
    const double window =
        std::fabs(u) < 1 ? besselI0(kaiserBeta * std::sqrt(1 - u * u)) / windowPeak : 0;
    const double sinc = d == 0 ? 1 : std::sin(M_PI * d) / (M_PI * d);
    taps[k] = sinc * window;
  }
}

// Scales `taps` so that they add up to 1, so that a constant comes out
// unchanged at every fraction, and writes them to `row`, each `stride` times.
void writeRow(const double* taps, int stride, float* row) {
  double sum = 0;
  for (int k = 0; k < interpolationTaps; ++k) sum += taps[k];
  for (int k = 0; k < interpolationTaps; ++k)
    std::fill_n(row + k * stride, stride, static_cast<float>(taps[k] / sum));
}

}  // namespace

void buildInterpolationTable(float* table, int stride) {
  double taps[interpolationTaps], mirrored[interpolationTaps];
  const double windowPeak = besselI0(kaiserBeta);
  const std::size_t length = static_cast<std::size_t>(interpolationTaps) * stride;
  // The kernel is symmetric: the taps at 1 - f are those at f in reverse
  // order, to the last bit, so half the fractions give the other half.
  for (int p = 0; 2 * p <= interpolationPhases; ++p) {
    kernelTaps(static_cast<double>(p) / interpolationPhases, windowPeak, taps);
    writeRow(taps, stride, table + static_cast<std::size_t>(p) * length);
    if (2 * p == interpolationPhases) break;
    std::reverse_copy(taps, taps + interpolationTaps, mirrored);
    writeRow(mirrored, stride, table + static_cast<std::size_t>(interpolationPhases - p) * length);
  }
}

namespace {

// The read for frames of `stride` floats: the kernel's frames lie one after
// the other, so the taps and the frames are two runs of floats multiplied
// pairwise, in partial sums of `lanes` floats (a whole number of frames and
// of vectors) that stay in registers, each lane one sample of a frame. All
// `stride` samples of the frame are written to `out`.
template <int stride>
[[gnu::always_inline]] inline void interpolateStride(const float* table, const float* frame,
                                                     double fraction, float* out) {
  constexpr int length = interpolationTaps * stride;
  constexpr int lanes = stride == 3 ? 24 : 8;
  constexpr int vectors = lanes / 8;
  static_assert(length % lanes == 0 && lanes % stride == 0);
  const int phase =
      std::clamp(static_cast<int>(fraction * interpolationPhases + 0.5), 0, interpolationPhases);
  const float* row = table + static_cast<std::size_t>(phase) * length;
  const float* x = frame - static_cast<std::ptrdiff_t>(interpolationHalf - 1) * stride;
  Float8 sums[vectors] = {};
  // Unrolled whole, so that the sums are registers rather than memory.
#pragma GCC unroll 16
  for (int j = 0; j < length; j += lanes) {
#pragma GCC unroll 4
    for (int v = 0; v < vectors; ++v) {
      Float8 frames, taps;  // copied: frames are aligned to floats only
      std::memcpy(&frames, x + j + 8 * v, sizeof frames);
      std::memcpy(&taps, row + j + 8 * v, sizeof taps);
      sums[v] += frames * taps;
    }
  }
  if constexpr (lanes == 8) {
    // Lane u holds sample u % stride: the two halves add lane by lane, then
    // what is left adds down to the frame's samples.
    using Float4 = float __attribute__((vector_size(16)));
    Float4 low, high;
    std::memcpy(&low, &sums[0], sizeof low);
    std::memcpy(&high, reinterpret_cast<const char*>(&sums[0]) + sizeof low, sizeof high);
    const Float4 half = low + high;
    if constexpr (stride == 4) {
      std::memcpy(out, &half, sizeof half);
    } else if constexpr (stride == 2) {
      out[0] = half[0] + half[2];
      out[1] = half[1] + half[3];
    } else {
      out[0] = (half[0] + half[2]) + (half[1] + half[3]);
    }
  } else {
    float lane[lanes];
    std::memcpy(lane, sums, sizeof lane);
    for (int c = 0; c < stride; ++c) {
      float sum = lane[c];
      for (int u = c + stride; u < lanes; u += stride) sum += lane[u];
      out[c] = sum;
    }
  }
}

}  // namespace

void interpolateFrame(const float* table, const float* frame, int stride, int samples,
                      double fraction, float* out) {
  float all[maxInterpolationStride];
  switch (stride) {
    case 1:
      interpolateStride<1>(table, frame, fraction, all);
      break;
    case 2:
      interpolateStride<2>(table, frame, fraction, all);
      break;
    case 3:
      interpolateStride<3>(table, frame, fraction, all);
      break;
    default:
      interpolateStride<4>(table, frame, fraction, all);
      break;
  }
  std::copy(all, all + samples, out);
}

int spliceSetUp(EffectState& fx, int sampleRate) {
  spliceRelease(fx);
  SpliceState& s = fx.splice;
  const int frames = fx.blockBytes / fx.frameBytes;
  // A block too short for one whole frame plays nothing to splice. Absolute
  // pitch reads at ratios that change every frame: only matched splices
  // follow them.
  const bool absolute = fx.settings.pitchMode == pitchAbsolute;
  const bool matched = fx.settings.spliceMode == spliceMatched || absolute;
  const bool interpolated = fx.settings.readMode == readInterpolated;
  if (interpolated && !matched) {
    effectPrint(fx, "Interpolated reading needs matched splices.\n");
    return 1;
  }
  if (!matched || frames < 1) return 0;
  const int stride = fx.frameBytes / static_cast<int>(sizeof(float));
  if (interpolated && (fx.audioChannels < 1 || fx.frameBytes % sizeof(float) != 0 ||
                       stride < fx.audioChannels || stride > maxInterpolationStride)) {
    effectPrint(fx, "Interpolated reading needs frames of 32-bit float samples.\n");
    return 1;
  }
  // The interpolator reaches half a kernel either side of the read position.
  const int reach = interpolated ? interpolationHalf : 0;
  const int historyBlocks = fx.historyBlocks;
  s.window = framesOf(windowSeconds, sampleRate) / spliceCoarseStep * spliceCoarseStep;
  s.minJump = framesOf(minJumpSeconds, sampleRate);
  s.span = framesOf(spanSeconds, sampleRate);
  s.earlyLag = framesOf(earlyLagSeconds, sampleRate);
  s.fallbackJump = framesOf(fallbackSeconds, sampleRate);
  s.searchGap = framesOf(searchGapSeconds, sampleRate);
  s.earlyRetry = framesOf(earlyRetrySeconds, sampleRate);

  // What the history can hold: the lag, a move, the compared stretch and
  // the interpolator's reach before the newest slot.
  const long long room = (static_cast<long long>(historyBlocks) - 3) * frames - s.window - reach;
  const long long roomMs = room > 0 ? room * 1000 / sampleRate : 0;
  long long ms = fx.settings.maxDelayMs;
  ms = std::min(ms, roomMs);
  ms = std::max<long long>(ms, minMaxDelayMs);
  s.maxDelayMs = static_cast<int>(ms);
  s.maxDelayFrames = static_cast<int>(ms * sampleRate / 1000);
  s.lagLimit = frames + s.maxDelayFrames;
  const long long needed = static_cast<long long>(s.lagLimit) + frames + s.window + reach;
  const long long neededBlocks = (needed + frames - 1) / frames + 1;
  if (interpolated && neededBlocks > historyBlocks) {
    effectPrint(fx, "Interpolated reading needs a history of %lld buffers here.\n", neededBlocks);
    return 1;
  }
  s.keepBlocks = static_cast<int>(std::min<long long>(historyBlocks, neededBlocks));
  // Unrouted stereo keeps both channels, so a splice must suit both: their
  // sum is compared. Routed, only the channel that is heard counts.
  s.compareBoth = fx.settings.stereoMode == stereoNone && fx.audioChannels >= 2 &&
                  fx.frameBytes >= fx.audioChannels * static_cast<int>(sizeof(float));
  s.sampleOffset = fx.settings.stereoMode == stereoRightToBoth && fx.frameBytes >= 8
                       ? static_cast<int>(sizeof(float))
                       : 0;

  s.channelCount = fx.channelCount;
  s.channels = static_cast<SpliceChannel*>(
      effectAllocate(fx, sizeof(SpliceChannel) * static_cast<std::size_t>(s.channelCount)));
  s.scratch = static_cast<float*>(effectAllocate(
      fx, sizeof(float) * static_cast<std::size_t>(spliceScratchSize(s.span, s.window))));
  if (!s.channels || !s.scratch) {
    effectPrint(fx, "Out of memory.\n");
    return 1;
  }
  if (interpolated) {
    s.kernel = static_cast<float*>(effectAllocate(
        fx, sizeof(float) * static_cast<std::size_t>(interpolationTableSize(stride))));
    if (!s.kernel) {
      effectPrint(fx, "Out of memory.\n");
      return 1;
    }
    buildInterpolationTable(s.kernel, stride);
    s.readSamples = fx.audioChannels;
    s.fadeFrames = framesOf(fadeSeconds, sampleRate);
    s.fadeReach = fadeShare * (s.lagLimit - reach);
  }
  for (int i = 0; i < s.channelCount; ++i) {
    SpliceChannel& c = s.channels[i];
    // The first block after set-up starts on its own first frame: no delay
    // but the interpolator's half kernel.
    c.readFrame = frames - reach;
    c.fraction = 0;
    c.lastRead = c.readFrame - 1;
    c.fadeLength = 0;
    c.fadeDone = 0;
    c.lastLeap = 0;
    c.bounds.ratio = NAN;
    c.carry = 0;
    c.sinceSearch = s.searchGap;
    c.lastJump = 0;
    c.received = 0;
    c.samples = static_cast<float*>(
        effectAllocate(fx, sizeof(float) * static_cast<std::size_t>(s.keepBlocks) * frames));
    if (!c.samples) {
      effectPrint(fx, "Out of memory.\n");
      return 1;
    }
  }
  if (s.maxDelayMs != fx.settings.maxDelayMs)
    effectPrint(fx, "MaxDelay %d ms does not fit: using %d ms (at least %d, at most %lld here).\n",
                fx.settings.maxDelayMs, s.maxDelayMs, minMaxDelayMs,
                std::max<long long>(roomMs, minMaxDelayMs));
  if (absolute) {
    if (pitchSetUp(fx, sampleRate)) return 1;
    s.holdBack = pitchHoldBack(fx);
    s.shortSpan = framesOf(shortSpanSeconds, sampleRate);
    effectPrint(fx, "Absolute pitch: matched splices, at most one buffer plus %d ms of delay.\n",
                s.maxDelayMs);
  }
  s.mode = spliceMatched;
  s.readMode = fx.settings.readMode;
  return 0;
}

void spliceRelease(EffectState& fx) {
  SpliceState& s = fx.splice;
  if (s.channels)
    for (int i = 0; i < s.channelCount; ++i) std::free(s.channels[i].samples);
  std::free(s.channels);
  std::free(s.scratch);
  std::free(s.kernel);
  pitchRelease(fx);
  s = SpliceState{};
}

namespace {

// Where the read position goes from `pos` when a move took it past a bound
// (ahead: beyond the newest frame; otherwise: lagging too far) or, for an
// early jump, when it may: `pos` itself when an early jump finds no close
// match. [low, high] are the positions allowed for this output frame.
int jump(const SpliceState& s, SpliceChannel& c, const float* x, int pos, int low, int high,
         int oldest, int frames, int frame, bool ahead, bool early) {
  // The move that led here; the candidates' stretches end as far before them.
  const int shift = std::clamp(pos - c.lastRead, 0, frames);
  const bool due =
      c.sinceSearch >= (early ? s.earlyRetry : s.searchGap) && c.lastRead - s.window + 1 >= oldest;
  bool searchable = false;
  // Absolute pitch looks within a short reach first: long jumps scramble a
  // singer's vibrato. Only where nothing matches there does it look as far
  // as the span (a low voice's period may be longer).
  for (const int reach : {s.shortSpan, s.span}) {
    if (reach <= 0) continue;  // no first look
    int first, last;
    if (ahead) {
      last = std::min(high, pos - s.minJump);
      first = std::max(low, last - reach);
    } else {
      first = std::max(low, pos + s.minJump);
      last = std::min(high, first + reach);
    }
    first = std::max(first, oldest + s.window - 1 + shift);
    if (!due || last - first < 2 * spliceCoarseStep) continue;
    searchable = true;
    c.sinceSearch = 0;
    SpliceMatch match;
    const float floor = early ? earlyFloor : matchFloor;
    // A whole landing forward lags the output frame, so that the slower
    // moves of a downward note cannot carry it past the newest frame before
    // the block ends.
    const int wholeLast = ahead ? last : std::min(last, frame);
    if (spliceSearch(x, s.window, c.lastRead, shift, first, last, pos, s.scratch, match, c.carry,
                     s.earlyLag, wholeLast) &&
        match.score >= floor) {
      const double ideal = match.position + match.fraction + c.carry;
      const int target = std::clamp(static_cast<int>(std::lround(ideal)), low, high);
      c.carry = std::clamp(ideal - target, -1.0, 1.0);
      c.lastJump = target - pos;
      return target;
    }
  }
  if (early) return pos;
  // Too soon after a search (only moves of many frames get here): the last
  // matched jump most likely matches again.
  if (!searchable && c.lastJump != 0 && pos + c.lastJump >= low && pos + c.lastJump <= high &&
      (c.lastJump < 0) == ahead)
    return pos + c.lastJump;
  // Nothing to match: one long jump, so the next is far off.
  c.carry = 0;
  c.lastJump = 0;
  return ahead ? std::max(low, high - s.fallbackJump) : std::min(high, low + s.fallbackJump);
}

// The interpolated read's jump: where the exact read position `at` goes
// when it left [low, high] (ahead: past high) or, for an early jump, when it
// may; `at` itself when an early jump finds no close match. Matched jumps
// land between frames, where the correlation peaks; none is shorter than
// `minJump`.
double leap(const SpliceState& s, SpliceChannel& c, const float* x, double at, double low,
            double high, int oldest, int frames, int minJump, bool ahead, bool early) {
  const int pos = static_cast<int>(std::floor(at));
  const double fraction = at - pos;
  const int shift = std::clamp(pos - c.lastRead, 0, frames);
  // Candidates whose landing, up to half a frame either side, stays in bounds.
  const int lowest = static_cast<int>(std::ceil(low - fraction + 0.5));
  const int highest = static_cast<int>(std::floor(high - fraction - 0.5));
  int first, last;
  if (ahead) {
    last = std::min(highest, pos - minJump);
    first = std::max(lowest, last - s.span);
  } else {
    first = std::max(lowest, pos + minJump);
    last = std::min(highest, first + s.span);
  }
  first = std::max(first, oldest + s.window - 1 + shift);

  const bool searchable = c.sinceSearch >= (early ? s.earlyRetry : s.searchGap) &&
                          last - first >= 2 * spliceCoarseStep &&
                          c.lastRead - s.window + 1 >= oldest;
  if (searchable) {
    c.sinceSearch = 0;
    SpliceMatch match;
    if (spliceSearch(x, s.window, c.lastRead, shift, first, last, pos, s.scratch, match) &&
        match.score >= (early ? earlyFloor : matchFloor)) {
      // The stretch played last ended at lastRead plus the fraction it was
      // read at; the one matched ends match.fraction past its frame.
      const double landing = std::clamp(match.position + match.fraction + fraction, low, high);
      c.lastLeap = landing - at;
      return landing;
    }
  }
  if (early) return at;
  if (!searchable && c.lastLeap != 0 && at + c.lastLeap >= low && at + c.lastLeap <= high &&
      (c.lastLeap < 0) == ahead)
    return at + c.lastLeap;
  c.lastLeap = 0;
  return ahead ? std::max(low, high - s.fallbackJump) : std::min(high, low + s.fallbackJump);
}

// Whether the interpolator can read at `frame` from the slid tail.
bool readable(int frame, int oldest, int frames) {
  return frame - (interpolationHalf - 1) >= oldest && frame + interpolationHalf <= frames - 1;
}

// Moves a read position, a frame and a fraction from 0 to 1 past it, on by
// `ratio` (not negative).
void advance(int& frame, double& fraction, double ratio) {
  const double advanced = fraction + ratio;
  int whole = static_cast<int>(advanced);  // truncation is the floor of what is not negative
  if (whole > advanced) --whole;
  frame += whole;
  fraction = advanced - whole;
}

ReadBounds readBounds(const SpliceState& s, double ratio) {
  ReadBounds b;
  b.ratio = ratio;
  // A fade's two stretches drift apart by |ratio - 1| a frame; fast notes
  // fade more briefly, so that they stay within reach.
  const double drift = std::fabs(ratio - 1);
  b.fade = s.fadeFrames;
  if (drift * b.fade > s.fadeReach) b.fade = std::max(1, static_cast<int>(s.fadeReach / drift));
  b.ahead = interpolationHalf + b.fade * std::max(ratio - 1, 0.0);
  b.behind = b.fade * std::max(1 - ratio, 0.0);
  b.minJump = std::max(s.minJump, static_cast<int>(std::ceil(drift * b.fade)) + 1);
  return b;
}

// One output frame of the interpolated read, at output frame i of the block
// and the note's `ratio`: the jump when one is due, the read (mixed with the
// stretch a jump left while it fades out), and the advance.
// Inlined into each build of interpolatedBlock, so that its reads are that build's.
template <int stride>
[[gnu::always_inline]] inline void interpolatedFrame(const EffectState& fx,
                                                     const DelayChannel* channel, SpliceChannel& c,
                                                     const float* x, int i, double ratio,
                                                     int oldest, int frames, unsigned char* out) {
  const SpliceState& s = fx.splice;
  if (!(c.bounds.ratio == ratio)) c.bounds = readBounds(s, ratio);
  const ReadBounds& b = c.bounds;
  const int fade = b.fade, minJump = b.minJump;
  // The exact read positions allowed now: half a kernel behind the output,
  // and within the lag limit, each with room for the stretch left by a jump
  // here to play on until it has faded out.
  const double low =
      std::max(i - s.lagLimit + b.behind, static_cast<double>(oldest + interpolationHalf - 1));
  const double high = std::max(i - b.ahead, low);

  int frame = c.readFrame;
  double fraction = c.fraction;
  const double at = frame + fraction;
  double target = at;
  if (at > high || at < low) {
    target = leap(s, c, x, at, low, high, oldest, frames, minJump, at > high, false);
  } else if (c.fadeDone >= c.fadeLength && i - at > s.earlyLag && c.sinceSearch >= s.earlyRetry &&
             ratio < 1) {
    // A downward note lets the lag grow; a close match takes it back early.
    target = leap(s, c, x, at, low, high, oldest, frames, minJump, false, true);
  }
  if (target != at) {
    // The stretch left plays on and fades out; one left by an earlier jump
    // that has not faded out yet is dropped.
    c.fadeFrame = frame;
    c.fadeFraction = fraction;
    c.fadeLength = fade;
    c.fadeDone = 0;
    frame = static_cast<int>(std::floor(target));
    fraction = target - frame;
  }

  const int samples = s.readSamples;
  const float* newest = reinterpret_cast<const float*>(channel->newest);
  float now[stride];
  interpolateStride<stride>(s.kernel, newest + static_cast<std::ptrdiff_t>(frame) * stride,
                            fraction, now);
  // A note that speeds up during a fade can carry the stretch left out of
  // reach: that fade ends at once.
  if (c.fadeDone < c.fadeLength && !readable(c.fadeFrame, oldest, frames))
    c.fadeDone = c.fadeLength;
  if (c.fadeDone < c.fadeLength) {
    float before[stride];
    interpolateStride<stride>(s.kernel, newest + static_cast<std::ptrdiff_t>(c.fadeFrame) * stride,
                              c.fadeFraction, before);
    // Equal gain: the two stretches match, so their sum keeps the level.
    const float in = static_cast<float>(c.fadeDone + 1) / static_cast<float>(c.fadeLength + 1);
    for (int k = 0; k < samples; ++k) now[k] = before[k] + in * (now[k] - before[k]);
    advance(c.fadeFrame, c.fadeFraction, ratio);
    ++c.fadeDone;
  }
  // Bytes after the audio samples are no sound: copied from the frame read.
  const int audioBytes = samples * static_cast<int>(sizeof(float));
  if (samples == stride)
    std::memcpy(out, now, sizeof now);
  else
    for (int k = 0; k < std::min(samples, stride); ++k)
      std::memcpy(out + k * sizeof(float), now + k, sizeof(float));
  if (fx.frameBytes > audioBytes)
    std::memcpy(out + audioBytes,
                channel->newest + static_cast<std::ptrdiff_t>(frame) * fx.frameBytes + audioBytes,
                static_cast<std::size_t>(fx.frameBytes - audioBytes));
  c.lastRead = frame;
  advance(frame, fraction, ratio);
  c.readFrame = frame;
  c.fraction = fraction;
}

// The interpolated read of output frames from 0 on, while the melody plays:
// returns the first frame not played.
template <int stride>
[[gnu::always_inline]] inline int interpolatedFrames(EffectState& fx, DelayChannel* channel,
                                                     SpliceChannel& c, const float* x, int oldest,
                                                     int frames, unsigned char* out) {
  const SpliceState& s = fx.splice;
  int i = 0;
  for (; i < frames && channel->note; ++i) {
    // Set per frame: the note may change within the block.
    const double ratio = s.pitch ? absoluteRatio(fx, channel, c.readFrame)
                                 : static_cast<double>(channel->note->frequency) / fx.baseFrequency;
    interpolatedFrame<stride>(fx, channel, c, x, i, ratio, oldest, frames,
                              out + static_cast<std::size_t>(i) * fx.frameBytes);
    ++c.sinceSearch;
    countFrame(fx, channel);
  }
  return i;
}

// Built twice on x86-64 with GCC, once for processors with AVX2 and once for
// the rest; the loader picks one. Not in sanitizer builds: the loader runs
// the picking before their run-time is up.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
int interpolatedBlock(EffectState& fx, DelayChannel* channel, SpliceChannel& c, const float* x,
                      int oldest, int frames, unsigned char* out) {
  switch (fx.frameBytes / static_cast<int>(sizeof(float))) {
    case 1:
      return interpolatedFrames<1>(fx, channel, c, x, oldest, frames, out);
    case 2:
      return interpolatedFrames<2>(fx, channel, c, x, oldest, frames, out);
    case 3:
      return interpolatedFrames<3>(fx, channel, c, x, oldest, frames, out);
    default:
      return interpolatedFrames<4>(fx, channel, c, x, oldest, frames, out);
  }
}

}  // namespace

int spliceProcess(EffectState& state, DelayChannel* channel, const void* input, void* output) {
  const SpliceState& s = state.splice;
  SpliceChannel& c = s.channels[channel->channelNumber];
  const int blockBytes = state.blockBytes;
  const int frameBytes = state.frameBytes;
  const int frames = blockBytes / frameBytes;

  // The lag of the block's first output frame behind the frame it will copy.
  countBlock(state, channel, static_cast<long>(frames) - c.readFrame);

  // Only the slots that can be read are slid; the rest of the history is
  // never read in this mode.
  const std::size_t tailBytes =
      static_cast<std::size_t>(s.keepBlocks - 1) * static_cast<std::size_t>(blockBytes);
  std::memmove(channel->newest - tailBytes, channel->newest - tailBytes + blockBytes, tailBytes);
  std::memcpy(channel->newest, input, static_cast<std::size_t>(blockBytes));
  c.readFrame -= frames;
  c.lastRead -= frames;
  if (c.fadeDone < c.fadeLength) c.fadeFrame -= frames;
  const std::size_t tailFrames = static_cast<std::size_t>(s.keepBlocks - 1) * frames;
  std::memmove(c.samples, c.samples + frames, tailFrames * sizeof(float));
  for (int i = 0; i < frames; ++i)
    c.samples[tailFrames + i] =
        comparedSample(state, channel->newest + static_cast<std::size_t>(i) * frameBytes);
  if (s.pitch) pitchTrackBlock(state, channel);

  const float* x = c.samples + tailFrames;  // indexed by frame from the newest slot
  // Right after switch-on the history holds only what came since: no jump
  // may land before that, in the silence that was there at set-up.
  c.received = static_cast<int>(std::min<std::size_t>(c.received + frames, tailFrames + frames));
  const int oldest = frames - c.received;
  // The newest frame, less what absolute pitch keeps back to measure around
  // it, once that much has arrived.
  const int holdBack = std::min(s.holdBack, c.received - frames);
  const int high = frames - 1 - holdBack;
  unsigned char* out = channel->outBlock;
  int i = s.readMode == readInterpolated
              ? interpolatedBlock(state, channel, c, x, oldest, frames, out)
              : 0;
  for (; i < frames && channel->note; ++i) {
    // Set per frame: the note may change within the block.
    const double ratio = s.pitch
                             ? absoluteRatio(state, channel, c.readFrame)
                             : static_cast<double>(channel->note->frequency) / state.baseFrequency;
    int pos = c.readFrame;
    const int low = std::max(i - s.lagLimit, oldest);
    // A forward jump under absolute pitch keeps its distance behind this
    // output frame, or the rest of the block would carry it past `high`.
    const int forwardHigh = holdBack ? std::min(high, i - holdBack) : high;
    if (pos > high || pos < low) {
      pos = jump(s, c, x, pos, low, pos > high ? high : forwardHigh, oldest, frames, i, pos > high,
                 false);
    } else if (i - pos > s.earlyLag && c.sinceSearch >= s.earlyRetry &&
               (s.pitch ? ratio < 1
                        : static_cast<double>(channel->note->frequency) < state.baseFrequency)) {
      // A downward note lets the lag grow; a close match takes it back early.
      pos = jump(s, c, x, pos, low, forwardHigh, oldest, frames, i, false, true);
    }
    std::memcpy(out + static_cast<std::size_t>(i) * frameBytes,
                channel->newest + static_cast<std::ptrdiff_t>(pos) * frameBytes,
                static_cast<std::size_t>(frameBytes));
    c.lastRead = pos;
    // The read position advances by the note's ratio exactly; the frame at
    // its whole part is copied. Ratios are at most one block (appendNote),
    // so this cannot overflow.
    const double advanced = c.fraction + ratio;
    const double whole = std::floor(advanced);
    c.readFrame = pos + static_cast<int>(whole);
    c.fraction = advanced - whole;
    ++c.sinceSearch;
    countFrame(state, channel);
  }
  // A melody that ended within the block: the input passes through from
  // here, as it will from the next block on.
  if (i < frames)
    std::memcpy(out + static_cast<std::size_t>(i) * frameBytes,
                channel->newest + static_cast<std::size_t>(i) * frameBytes,
                static_cast<std::size_t>(frames - i) * frameBytes);
  std::memcpy(output, out, static_cast<std::size_t>(blockBytes));
  return 0;
}
