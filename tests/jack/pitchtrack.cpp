// gw_pitchtrack: prints the stretches of steady pitch in a sound file, per
// channel, so that a run can be checked by ear and by number.
//
//   gw_pitchtrack FILE.wav
#include <sndfile.h>

#include <cstdio>
#include <vector>

#include "pitch.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gw_pitchtrack FILE.wav\n");
    return 2;
  }
  SF_INFO info = {};
  SNDFILE* file = sf_open(argv[1], SFM_READ, &info);
  if (!file) {
    std::fprintf(stderr, "gw_pitchtrack: cannot read %s: %s\n", argv[1], sf_strerror(nullptr));
    return 1;
  }
  std::vector<float> samples(static_cast<std::size_t>(info.frames) * info.channels);
  sf_count_t frames = sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);

  PitchOptions options;
  options.sampleRate = info.samplerate;
  options.hop = static_cast<std::size_t>(info.samplerate / 100);
  const double hopSeconds = double(options.hop) / info.samplerate;
  std::printf("%s: %.2f s, %d channel(s) at %d Hz\n", argv[1], double(frames) / info.samplerate,
              info.channels, info.samplerate);
  for (int c = 0; c < info.channels; ++c) {
    std::vector<PitchFrame> track = trackPitch(samples.data() + c, static_cast<std::size_t>(frames),
                                               static_cast<std::size_t>(info.channels), options);
    std::vector<PitchSegment> segments = pitchSegments(track, hopSeconds, 0.015, 0.05, 0.05);
    std::printf("channel %d:\n", c + 1);
    if (segments.empty()) std::printf("  no steady pitch\n");
    for (const PitchSegment& s : segments)
      std::printf("  %7.3f - %7.3f s  %7.1f Hz\n", s.start, s.end, s.hz);
  }
  return 0;
}
