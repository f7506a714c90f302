// The effect as the live program sets it up for its stream.
#include "effect.h"

int liveEffectInit(const char* path, int streamChannels, int framesPerBuffer, int sampleRate,
                   int loop) {
  // One delay line carries whole frames, so all channels bend together.
  const int frameBytes = streamChannels * liveBytesPerSample;
  return effectInit(1, liveHistoryBlocks, frameBytes * framesPerBuffer, sampleRate, frameBytes,
                    path, loop);
}
