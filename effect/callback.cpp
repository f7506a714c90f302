// The stream callback: runs on PortAudio's audio thread, once per buffer.
// It allocates nothing, locks nothing and prints at most two lines per run.
#include "callback.h"

#include <cstdio>

#include "effect.h"

static void writeSilence(const EffectState& fx, float* out, unsigned long frames) {
  const unsigned long samples = frames * static_cast<unsigned long>(fx.numChannels);
  for (unsigned long i = 0; i < samples; ++i) out[i] = 0.0f;
}

// Copies between the first two samples of each frame only, so that streams
// of one channel are left alone and those of three or four keep their other
// channels as the effect wrote them.
static void routeStereo(const EffectState& fx, float* out, unsigned long frames) {
  const int mode = fx.settings.stereoMode;
  const int stride = fx.numChannels;
  if (mode == stereoNone || stride < 2) return;
  for (unsigned long f = 0; f < frames; ++f) {
    float* frame = out + f * static_cast<unsigned long>(stride);
    if (mode == stereoLeftToBoth)
      frame[1] = frame[0];
    else if (mode == stereoRightToBoth)
      frame[0] = frame[1];
  }
}

int streamCallback(const void* inputBuffer, void* outputBuffer, unsigned long framesPerBuffer,
                   const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags,
                   void* userData) {
  (void)timeInfo;
  (void)statusFlags;
  EffectState& fx = *static_cast<EffectState*>(userData);
  float* out = static_cast<float*>(outputBuffer);

  if (framesPerBuffer != static_cast<unsigned long>(fx.projectedFramesPerBuffer)) {
    if (!fx.discrepancyReported) {
      printf("Discrepancy between the real framesPerBuffer (%d) and the projected one (%d).\n",
             static_cast<int>(framesPerBuffer), fx.projectedFramesPerBuffer);
      printf("Stop the program and correct the settings.\n");
      fx.discrepancyReported = 1;
    }
    // The effect's blocks have a fixed size, so this buffer cannot go
    // through it; silence is better than whatever the buffer held.
    writeSilence(fx, out, framesPerBuffer);
    return paContinue;
  }

  if (!inputBuffer) {
    writeSilence(fx, out, framesPerBuffer);
    ++fx.gNumNoInputs;
    return paContinue;
  }

  effectProcess(fx, inputBuffer, outputBuffer);
  routeStereo(fx, out, framesPerBuffer);
  return paContinue;
}
