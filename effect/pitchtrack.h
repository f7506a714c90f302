// Absolute pitch: the input's pitch measured as it plays, around the frames
// being read, and the read ratio that makes a note's frequency come out
// whatever pitch goes in. Chosen with "Pitch: absolute"; it always plays
// with matched splices.
#pragma once

#include <fftw3.h>

#include "effect.h"

// The range of pitches measured, in Hz.
constexpr double trackLowestHz = 55;
constexpr double trackHighestHz = 1500;

// One measurement's sizes and work space, made at set-up. The period is
// found over two periods of the lowest pitch (a normalised difference
// function, its correlations by FFT), then refined over a window of about
// one period centred on the frame asked about.
struct PitchEstimator {
  double rate = 0;  // of the samples measured
  int minLag = 0;   // the shortest period looked for, in frames
  int maxLag = 0;   // the longest
  int fftSize = 0;
  int refineWindow = 0;   // the fewest frames the refinement compares
  float* head = nullptr;  // the first maxLag frames of the span, zero-padded to fftSize
  float* span = nullptr;  // the span's 2 * maxLag frames, zero-padded to fftSize
  fftwf_complex* headSpectrum = nullptr;
  fftwf_complex* spanSpectrum = nullptr;
  float* correlation = nullptr;  // fftSize: of the head with the span at each lag
  double* squares = nullptr;     // 2 * maxLag + 1 running sums of squares of the span
  fftwf_plan headPlan = nullptr, spanPlan = nullptr, inversePlan = nullptr;
};

// Sizes the estimator for `rate` and makes its FFT plans. Returns false
// after "Out of memory.\n" when something could not be had. Not on the audio
// thread: planning takes FFTW's planner lock.
bool pitchEstimatorSetUp(EffectState& fx, PitchEstimator& e, double rate);
void pitchEstimatorRelease(PitchEstimator& e);

// The pitch in Hz around sample `centre` of `x`, of which only samples
// oldest..newest may be read: sample k is x[k * stride] (negative k
// allowed), at the rate the estimator was set up for. 0 when there is no
// clear pitch, when it is silent, or when too few samples exist. Allocates
// and locks nothing.
double estimatePitchAround(PitchEstimator& e, const float* x, int centre, int oldest, int newest,
                           int stride = 1);

// What the correction follows: the measured pitch, smoothed with the Retune
// time constant, held when nothing is measured.
struct PitchCorrection {
  double heldOctaves = 0;  // log2 of the pitch followed, in Hz
  bool found = false;      // false until a first pitch is measured
};

// The share of a step in the measured pitch that the correction covers per
// output frame: 1 for a Retune of 0.
double retuneCoefficient(int retuneMs, int rate);

// One output frame: takes `measuredHz` (0 or less: nothing measured, and the
// correction holds) into the correction.
void followPitch(PitchCorrection& c, double measuredHz, double coefficient);

// The read ratio that turns the followed pitch into `targetHz`: 1 before
// any pitch has been found, and kept within 1/maxRatio to maxRatio.
double correctedRatio(const PitchCorrection& c, double targetHz, double maxRatio);

// The mode's state for the splice processor, set up by spliceSetUp.
struct PitchTracking;

// Allocates what absolute pitch needs for the effect's channels; returns 0,
// or 1 after "Out of memory.\n".
int pitchSetUp(EffectState& fx, int sampleRate);
void pitchRelease(EffectState& fx);

// Frames the read position keeps behind the newest input, so that the
// measurement around it can be centred on it.
int pitchHoldBack(const EffectState& fx);

// Per block, after the history took the input: takes the channel's new
// frames in and measures every point of the pitch track they complete.
void pitchTrackBlock(EffectState& fx, const DelayChannel* channel);

// Per output frame: the ratio at which to read at `position` (frames from the
// start of the newest slot) so that the note's frequency comes out.
double absoluteRatio(EffectState& fx, const DelayChannel* channel, int position);
