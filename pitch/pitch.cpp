#include "pitch.h"

#include <algorithm>
#include <cmath>

namespace {

std::size_t maxLagOf(const PitchOptions& o) {
  return static_cast<std::size_t>(std::ceil(o.sampleRate / o.minHz)) + 1;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  return values[mid];
}

bool near(double a, double b, double tolerance) {
  return std::fabs(a - b) <= tolerance * b;
}

}  // namespace

double estimatePitch(const float* x, std::size_t count, const PitchOptions& o) {
  const std::size_t window = o.window;
  const std::size_t maxLag = maxLagOf(o);
  const std::size_t minLag =
      std::max<std::size_t>(2, static_cast<std::size_t>(std::floor(o.sampleRate / o.maxHz)));
  if (window == 0 || count < window + maxLag + 1 || minLag + 1 >= maxLag) return 0;

  double energy = 0;
  for (std::size_t j = 0; j < window; ++j) energy += double(x[j]) * x[j];
  if (std::sqrt(energy / window) < o.silenceRms) return 0;

  // Difference of the window against itself shifted by each lag; a periodic
  // signal gives a dip at its period. Normalising by the running mean keeps
  // the short lags, where the difference is always small, from winning.
  std::vector<double> diff(maxLag + 1, 0.0);
  std::vector<double> norm(maxLag + 1, 1.0);
  double runningSum = 0;
  for (std::size_t lag = 1; lag <= maxLag; ++lag) {
    double sum = 0;
    for (std::size_t j = 0; j < window; ++j) {
      double d = double(x[j]) - x[j + lag];
      sum += d * d;
    }
    diff[lag] = sum;
    runningSum += sum;
    norm[lag] = runningSum > 0 ? sum * lag / runningSum : 1.0;
  }

  // The first dip under the threshold is the period; a later, deeper one
  // would be a multiple of it.
  std::size_t lag = 0;
  for (std::size_t t = minLag; t < maxLag; ++t) {
    if (norm[t] < o.threshold) {
      while (t + 1 < maxLag && norm[t + 1] < norm[t]) ++t;
      lag = t;
      break;
    }
  }
  if (lag == 0) return 0;

  // Parabola through the raw differences around the dip: sub-sample period.
  double a = diff[lag - 1], b = diff[lag], c = diff[lag + 1];
  double curvature = a - 2 * b + c;
  double shift = curvature > 0 ? 0.5 * (a - c) / curvature : 0.0;
  shift = std::clamp(shift, -1.0, 1.0);
  return o.sampleRate / (double(lag) + shift);
}

std::vector<PitchFrame> trackPitch(const float* x, std::size_t frames, std::size_t stride,
                                   const PitchOptions& o) {
  std::vector<PitchFrame> result;
  if (stride == 0 || o.hop == 0) return result;
  const std::size_t span = o.window + maxLagOf(o) + 1;
  std::vector<float> buffer(span);
  for (std::size_t start = 0; start + span <= frames; start += o.hop) {
    double energy = 0;
    for (std::size_t j = 0; j < span; ++j) buffer[j] = x[(start + j) * stride];
    for (std::size_t j = 0; j < o.window; ++j) energy += double(buffer[j]) * buffer[j];
    PitchFrame f;
    f.time = (double(start) + o.window / 2.0) / o.sampleRate;
    f.hz = estimatePitch(buffer.data(), span, o);
    f.rms = std::sqrt(energy / o.window);
    result.push_back(f);
  }
  return result;
}

std::vector<PitchSegment> pitchSegments(const std::vector<PitchFrame>& frames, double hopSeconds,
                                        double tolerance, double minDuration, double maxGap) {
  struct Stretch {
    PitchSegment seg;
    std::vector<double> hz;
  };
  std::vector<Stretch> stretches;
  bool open = false;
  for (const PitchFrame& f : frames) {
    if (f.hz <= 0) {
      open = false;
      continue;
    }
    if (open && near(f.hz, stretches.back().hz.front(), tolerance)) {
      stretches.back().hz.push_back(f.hz);
      stretches.back().seg.end = f.time + hopSeconds / 2;
      continue;
    }
    stretches.push_back({{f.time - hopSeconds / 2, f.time + hopSeconds / 2, 0}, {f.hz}});
    open = true;
  }

  std::vector<Stretch> kept;
  for (Stretch& s : stretches) {
    if (s.seg.end - s.seg.start < minDuration) continue;
    s.seg.hz = median(s.hz);
    if (!kept.empty() && near(s.seg.hz, kept.back().seg.hz, tolerance) &&
        s.seg.start - kept.back().seg.end <= maxGap) {
      Stretch& last = kept.back();
      last.hz.insert(last.hz.end(), s.hz.begin(), s.hz.end());
      last.seg.end = s.seg.end;
      last.seg.hz = median(last.hz);
      continue;
    }
    kept.push_back(std::move(s));
  }

  // Neighbours of different pitch with only unsettled windows between them
  // meet halfway: the change lies somewhere in that gap.
  std::vector<PitchSegment> result;
  for (const Stretch& s : kept) {
    PitchSegment seg = s.seg;
    if (!result.empty() && seg.start - result.back().end <= maxGap) {
      double middle = 0.5 * (result.back().end + seg.start);
      result.back().end = middle;
      seg.start = middle;
    }
    result.push_back(seg);
  }
  return result;
}
