#include "melody.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "seek.h"

namespace {

// Messages are held until the outcome is known, so that a failed set-up can
// report all of them as errors.
void collect(void* context, const char* text) {
  static_cast<std::vector<std::string>*>(context)->emplace_back(text);
}

// After set-up nothing may reach a log from the audio thread.
void drop(void*, const char*) {}

}  // namespace

Melody* melodyLoad(const char* path, const MelodySettings& settings, int rate, int channels,
                   int blockFrames, MelodyLog log, void* logContext) {
  std::vector<std::string> messages;
  auto* melody = new (std::nothrow) Melody;
  char* pathCopy = strdup(path);
  if (!melody || !pathCopy) {
    delete melody;
    std::free(pathCopy);
    if (log) log(logContext, true, "Out of memory.\n");
    return nullptr;
  }
  EffectSettings effect;
  effect.loop = settings.loop;
  effect.stereoMode = settings.stereo;
  effect.spliceMode = settings.splice;
  effect.maxDelayMs = settings.maxDelayMs;
  effect.sampleRate = rate;
  effect.log = collect;
  effect.logContext = &messages;
  effect.audioThreadPrints = 0;
  const bool failed = liveEffectInit(melody->fx, effect, path, channels, blockFrames) != 0;
  melody->fx.settings.log = drop;
  melody->fx.settings.logContext = nullptr;
  if (failed) messages.emplace_back("GlideWarp initialization failed\n");
  if (log)
    for (const std::string& text : messages) log(logContext, failed, text.c_str());
  if (failed) {
    effectRelease(melody->fx);
    delete melody;
    std::free(pathCopy);
    return nullptr;
  }
  melody->settings = settings;
  melody->frames = effectMelodyFrames(melody->fx);
  melody->path = pathCopy;
  return melody;
}

void melodyFree(Melody* melody) {
  if (!melody) return;
  effectRelease(melody->fx);
  std::free(melody->path);
  delete melody;
}
