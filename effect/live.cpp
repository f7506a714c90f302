// The effect as the live program sets it up for its stream.
#include "effect.h"

int liveEffectInit(EffectState& fx, const EffectSettings& settings, const char* path,
                   int streamChannels, int framesPerBuffer) {
  fx.settings = settings;
  fx.audioChannels = streamChannels;
  // One delay line carries whole frames, so all channels bend together.
  const int frameBytes = streamChannels * liveBytesPerSample;
  return effectInit(fx, 1, liveHistoryBlocks, frameBytes * framesPerBuffer, settings.sampleRate,
                    frameBytes, path, settings.loop);
}
