// Matched splices: a second way for the read position to jump. Instead of
// one whole block, it jumps to where the input's waveform matches the stretch
// just played, within a bounded lag, so the output goes on as if nothing
// happened. Chosen with "Splice: matched"; block jumps stay the default.
#pragma once

#include <climits>

#include "effect.h"

constexpr int spliceCoarseStep = 4;  // the coarse pass tries every 4th candidate and sample
constexpr int minMaxDelayMs = 5;

// Sets the mode up from the effect's settings for effectInit, after the channels
// exist: everything the callback needs is allocated here. Prints one line
// when MaxDelay had to be clamped. Returns 0, or 1 after "Out of memory.\n".
int spliceSetUp(EffectState& fx, int sampleRate);
// Frees what spliceSetUp allocated and leaves block mode; safe to repeat.
void spliceRelease(EffectState& fx);

// effectProcess's work for one block in matched mode, after the channel has
// been chosen and found playing.
int spliceProcess(EffectState& fx, DelayChannel* channel, const void* input, void* output);

// The best splice point found by spliceSearch.
struct SpliceMatch {
  int position;     // the candidate chosen
  double fraction;  // where between frames its correlation peaks, -0.5 to 0.5
  float score;      // its normalised cross-correlation, -1 to 1
};

// Looks for the candidate c in [first, last] whose `window` samples ending at
// c - shift best match the `window` samples ending at refEnd, by normalised
// cross-correlation: a coarse pass over every spliceCoarseStep-th candidate
// and sample, then a full one around the best peaks. Of the peaks within
// spliceNearTolerance of the best, takes the one nearest to `near`; but when
// that one matches within the tolerance of perfectly, a farther one as good
// and at most `roundingReach` frames from `near` is taken if its landing
// (its fraction plus `carry`) lies nearer a whole frame. Before all of these,
// a near-perfect match that falls on a whole frame (whole periods of a steady
// tone away) anywhere up to `wholeLast` is taken. `x` is indexed by
// frame (negative indices allowed); every sample compared must exist.
// `scratch` holds spliceScratchSize(last - first, window) floats. Returns
// false when the scores have no peak (silence, a constant).
constexpr float spliceNearTolerance = 0.01f;
// The floats of scratch a search over `range` frames with `window` needs:
// the coarse scores, and the coarse pass's samples of both stretches.
constexpr int spliceScratchSize(int range, int window) {
  const int coarseWindow = (window + spliceCoarseStep - 1) / spliceCoarseStep;
  return 2 * (range / spliceCoarseStep + 2) + 2 * coarseWindow;
}
bool spliceSearch(const float* x, int window, int refEnd, int shift, int first, int last, int near,
                  float* scratch, SpliceMatch& match, double carry = 0, int roundingReach = 0,
                  int wholeLast = INT_MIN);

// The interpolated read: a Kaiser-windowed sinc of interpolationTaps taps,
// tabulated at interpolationPhases + 1 fractions from 0 to 1 of a frame; a
// read takes the fraction nearest its own, at most half a 1024th of a frame
// away. A read at frame n plus a fraction takes frames
// n - interpolationHalf + 1 to n + interpolationHalf, so the read position
// keeps half a kernel behind the newest frame.
constexpr int interpolationTaps = 32;
constexpr int interpolationHalf = interpolationTaps / 2;
constexpr int interpolationPhases = 1024;
constexpr int maxInterpolationStride = 4;  // floats in a frame: 16 bytes at most

// Floats in the table for frames of `stride` floats: per tabulated fraction,
// each tap `stride` times over, one for each sample of a frame, so that a
// frame's samples are read together.
constexpr int interpolationTableSize(int stride) {
  return (interpolationPhases + 1) * interpolationTaps * stride;
}

// Fills `table` (interpolationTableSize(stride) floats) for frames of
// `stride` floats, 1 to maxInterpolationStride. Set-up only.
void buildInterpolationTable(float* table, int stride);

// Reads the first `samples` (at most `stride`) interleaved float samples of
// the frame at `frame` + `fraction` (0 to 1) into `out`. `frame` points at the
// first sample of that frame; frames lie `stride` floats apart, as in the
// table, and the kernel's reach on either side must exist. Only multiplies
// and adds: audio thread.
void interpolateFrame(const float* table, const float* frame, int stride, int samples,
                      double fraction, float* out);

// Shared with the block processor: one frame of the melody's clock, and the
// delay report with the block count.
void countFrame(const EffectState& fx, DelayChannel* channel);
void countBlock(EffectState& fx, const DelayChannel* channel, long delay);
