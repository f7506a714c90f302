// A melody file set up for one plugin instance. It is made and freed on the
// worker, never on the audio thread, which only plays it.
#pragma once

#include "effect.h"

// The controls that shape a melody's set-up; a change of any of them means
// setting the melody up again.
struct MelodySettings {
  SpliceMode splice = spliceMatched;
  int maxDelayMs = defaultMaxDelayMs;
  int loop = 0;
  StereoMode stereo = stereoNone;
  bool operator==(const MelodySettings&) const = default;
};

struct Melody {
  EffectState fx;
  MelodySettings settings;
  long long frames = -1;  // one pass by the effect's clock; -1 when it loops
  char* path = nullptr;   // as the host gave it
};

// Receives one message of a set-up, as the program would print it; `error`
// is set for the messages of a set-up that failed.
using MelodyLog = void (*)(void* context, bool error, const char* text);

// Reads `path` and sets it up for blocks of `blockFrames` frames of
// `channels` interleaved floats at `rate`. Every message goes to `log`
// (null drops them); a failure ends with the line the program adds, and
// gives null.
Melody* melodyLoad(const char* path, const MelodySettings& settings, int rate, int channels,
                   int blockFrames, MelodyLog log, void* logContext);
void melodyFree(Melody* melody);
