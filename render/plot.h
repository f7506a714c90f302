// The render tool's picture: the melody's target pitch over time beside the
// pitch measured in the rendered output.
#pragma once

#include <string>
#include <vector>

#include "effect.h"
#include "pitch.h"

// A stretch of output time with one pitch ratio (note frequency over the
// melody's base frequency). `passThrough` marks the time after a melody
// that does not loop has ended, when the input plays unchanged.
struct TargetSpan {
  double start;  // seconds
  double end;
  double ratio;
  bool passThrough;
};

// The notes as channel 0 will play them over the first `frames` output
// frames, repeats and loops unrolled, with the block processor's tick rule.
// Call right after a successful effectInit, before any block is processed:
// it starts from the channel's and the notes' state as set-up leaves them.
std::vector<TargetSpan> melodyTimeline(const EffectState& state, long long frames, int sampleRate);

// Pitch track of the channel with the most energy in interleaved `samples`.
std::vector<PitchFrame> trackLoudestChannel(const std::vector<float>& samples, int channels,
                                            const PitchOptions& options);

// Median pitch of the voiced frames; 0 when none is voiced.
double medianPitch(const std::vector<PitchFrame>& frames);

struct PitchPlot {
  std::string title;
  std::string subtitle;
  std::vector<TargetSpan> target;
  double referenceHz;  // the pitch that ratio 1 stands for
  std::string targetLabel;
  std::vector<PitchFrame> measured;
  std::string measuredLabel;
  double seconds;  // length of the time axis
};

// Writes the picture as SVG; on failure returns false with a reason.
bool writePitchPlot(const std::string& path, const PitchPlot& plot, std::string& error);
