// A small pitch tracker for checking what the program played: a normalised
// difference function (autocorrelation family) per analysis window, with
// parabolic interpolation of the chosen lag.
#pragma once

#include <cstddef>
#include <vector>

struct PitchOptions {
  double sampleRate = 44100;
  double minHz = 80;
  double maxHz = 2500;
  std::size_t window = 1024;  // frames compared per lag
  std::size_t hop = 441;      // frames between analysis windows (10 ms)
  double silenceRms = 1e-3;   // windows quieter than this have no pitch
  double threshold = 0.15;    // dip of the normalised difference that counts as periodic
};

// One analysis window: `time` is the window's start in seconds; `hz` is 0
// where the window is silent or has no clear period.
struct PitchFrame {
  double time;
  double hz;
  double rms;
};

// A stretch of steady pitch, in seconds.
struct PitchSegment {
  double start;
  double end;
  double hz;  // median of the stretch's frames
};

// Pitch of `count` samples starting at `x`, of which window + sampleRate/minHz
// are used; 0 when silent, unclear or too short.
double estimatePitch(const float* x, std::size_t count, const PitchOptions& options);

// Pitch every `hop` frames over the whole signal. `stride` steps over
// interleaved channels: pass the channel's first sample and the channel count.
std::vector<PitchFrame> trackPitch(const float* x, std::size_t frames, std::size_t stride,
                                   const PitchOptions& options);

// Joins consecutive frames whose pitch stays within `tolerance` (relative) of
// the stretch's first frame, drops stretches shorter than `minDuration`
// seconds, and joins neighbours of the same pitch that such a drop left
// apart by at most `maxGap` seconds. Neighbours of different pitch at most
// `maxGap` apart meet halfway between them.
std::vector<PitchSegment> pitchSegments(const std::vector<PitchFrame>& frames, double hopSeconds,
                                        double tolerance, double minDuration, double maxGap);

// The amplitude of a `hz` sine in a pitch track (`cents` at `seconds`),
// fitted by least squares together with a parabola that takes up slow
// drift, then fitted again without the points whose residual lies more
// than 50 cents from the median residual (a window misread by a fifth would
// otherwise decide it), up to three times; `dropped`, when given, counts
// those. 0 when the points cannot tell.
double vibratoAmplitude(std::vector<double> seconds, std::vector<double> cents, double hz,
                        int* dropped = nullptr);
