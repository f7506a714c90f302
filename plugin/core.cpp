#include "core.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "seek.h"

namespace {

std::size_t blockFloats(const Core& core) {
  return static_cast<std::size_t>(core.blockFrames) * static_cast<std::size_t>(core.channels);
}

// Frames the effect itself delays its input by at a unity melody.
int effectDelay(const Core& core) {
  const SpliceMode mode = core.melody ? core.melody->settings.splice : core.idleSplice;
  return mode == spliceBlock ? core.blockFrames : 0;
}

void copyFrame(const Core& core, float* to, const float* from, int frame) {
  const std::size_t at = static_cast<std::size_t>(frame) * static_cast<std::size_t>(core.channels);
  for (int c = 0; c < core.channels; ++c) to[at + c] = from[at + c];
}

void route(const Core& core, float* block) {
  if (core.channels < 2 || core.routing == stereoNone) return;
  for (int i = 0; i < core.blockFrames; ++i) {
    float* frame = block + 2 * i;
    if (core.routing == stereoLeftToBoth)
      frame[1] = frame[0];
    else if (core.routing == stereoRightToBoth)
      frame[0] = frame[1];
  }
}

// Marks the frames of the block starting at input frame `first` that the
// melody plays, by the segments in force `delay` frames earlier (the input
// frame each output frame carries at a unity melody). Returns the last
// frame at which it starts afresh (after not playing, at a new segment, or
// at the block's start when its clock is not in step), or -1, and the
// melody frame there.
int markPlaying(Core& core, long long first, int delay, long long& startFrame) {
  const Melody& melody = *core.melody;
  const Timeline& timeline = core.timeline;
  int index = timelineFind(timeline, first - delay);
  int lastStart = -1;
  bool before = core.inStep;
  for (int i = 0; i < core.blockFrames; ++i) {
    const long long frame = first + i - delay;
    while (index + 1 < timeline.count && timeline.items[index + 1].start <= frame) ++index;
    const Segment& segment = timeline.items[index];
    const long long melodyFrame = frame - segment.origin;
    const bool plays =
        segment.rolling && melodyFrame >= 0 && (melody.frames < 0 || melodyFrame < melody.frames);
    if (plays && (!before || segment.start == frame)) {
      lastStart = i;
      startFrame = melodyFrame;
    }
    core.playing[i] = plays;
    before = plays;
  }
  return lastStart;
}

void processBlock(Core& core, uint32_t frameInRun, ReportSink report, void* reportContext) {
  const int frames = core.blockFrames;
  const long long first = core.taken - frames;
  const int delay = effectDelay(core);
  // At a unity melody the output carries the input of `delay` frames before.
  const float* passed = delay ? core.kept[0] : core.input;
  if (!core.melody) {
    std::memcpy(core.output, passed, blockFloats(core) * sizeof(float));
  } else {
    EffectState& fx = core.melody->fx;
    // A melody that ended passes its blocks by without taking them into its
    // history; set back to its start, it keeps taking them.
    if (!fx.channels[0]->note) {
      effectSeek(fx, 0);
      core.inStep = false;
    }
    long long startFrame = 0;
    const int lastStart = markPlaying(core, first, delay, startFrame);
    // A start within the block: the clock is set that many frames earlier,
    // so the melody reaches the start frame exactly there.
    if (lastStart >= 0) effectSeek(fx, startFrame - lastStart);
    const bool due = delayReportDue(fx);
    effectProcess(fx, core.input, core.effectOutput);
    // Frames of a start that a later start in the same block overrode pass
    // through: the clock follows the later one.
    const int from = std::max(lastStart, 0);
    bool bent = false;
    for (int i = 0; i < frames; ++i) {
      const bool fromMelody = core.playing[i] && i >= from;
      copyFrame(core, core.output, fromMelody ? core.effectOutput : passed, i);
      bent = bent || fromMelody;
    }
    core.inStep = core.playing[frames - 1];
    if (due && bent && report)
      report(reportContext, frameInRun,
             static_cast<float>(static_cast<double>(fx.lastReportedDelay) * 1000.0 / core.rate));
  }
  route(core, core.output);
  // The block just taken becomes the newest kept one.
  float* recycled = core.kept[Core::keptBlocks - 1];
  for (int k = Core::keptBlocks - 1; k > 0; --k) core.kept[k] = core.kept[k - 1];
  core.kept[0] = core.input;
  core.input = recycled;
  timelineForget(core.timeline, first);
}

}  // namespace

int coreBlockFrames(int rate) {
  return (rate + 99) / 100;
}

bool coreInit(Core& core, int rate, int channels) {
  core.rate = rate;
  core.channels = channels;
  core.blockFrames = coreBlockFrames(rate);
  const std::size_t floats = blockFloats(core);
  core.input = static_cast<float*>(std::calloc(floats, sizeof(float)));
  for (float*& block : core.kept) block = static_cast<float*>(std::calloc(floats, sizeof(float)));
  core.output = static_cast<float*>(std::calloc(floats, sizeof(float)));
  core.effectOutput = static_cast<float*>(std::calloc(floats, sizeof(float)));
  core.playing = static_cast<unsigned char*>(std::calloc(core.blockFrames, 1));
  bool ok = core.input && core.output && core.effectOutput && core.playing;
  for (float* block : core.kept) ok = ok && block;
  if (!ok)
    coreFree(core);
  else
    coreReset(core);
  return ok;
}

void coreFree(Core& core) {
  std::free(core.input);
  for (float*& block : core.kept) {
    std::free(block);
    block = nullptr;
  }
  std::free(core.output);
  std::free(core.effectOutput);
  std::free(core.playing);
  core.input = core.output = core.effectOutput = nullptr;
  core.playing = nullptr;
}

void coreReset(Core& core) {
  const std::size_t bytes = blockFloats(core) * sizeof(float);
  std::memset(core.input, 0, bytes);
  for (float* block : core.kept) std::memset(block, 0, bytes);
  std::memset(core.output, 0, bytes);
  core.fill = 0;
  core.taken = 0;
  core.inStep = false;
  const double offset = core.transport.offset;
  core.transport = Transport{};
  core.transport.offset = offset;
  // Before activation nothing played: a segment from long before frame 0,
  // which the first messages (at frame 0) follow instead of replacing.
  timelineReset(core.timeline, Segment{-(1LL << 60), false, 0});
  core.ownClockPending = core.melody != nullptr;
}

int coreLatency(const Core& core) {
  return core.blockFrames + effectDelay(core);
}

Melody* coreInstall(Core& core, Melody* melody) {
  Melody* old = core.melody;
  core.melody = melody;
  core.inStep = false;
  if (!melody) return old;
  // Block mode reads one block back at a unity melody; matched splices look
  // further back for their matches.
  const int blocks = melody->settings.splice == spliceBlock ? 1 : Core::keptBlocks;
  for (int k = blocks - 1; k >= 0; --k) effectProcess(melody->fx, core.kept[k], core.effectOutput);
  if (!core.transport.positioned) core.ownClockPending = true;
  return old;
}

void coreBeginRun(Core& core) {
  if (core.ownClockPending && !core.transport.positioned && core.melody)
    timelineAdd(core.timeline, Segment{core.taken, true, core.taken});
  core.ownClockPending = false;
}

void coreRun(Core& core, const float* const* in, float* const* out, uint32_t from, uint32_t to,
             ReportSink report, void* reportContext) {
  const int channels = core.channels;
  while (from < to) {
    const uint32_t count =
        std::min<uint32_t>(to - from, static_cast<uint32_t>(core.blockFrames - core.fill));
    // All of the input first: the host's buffers may be the same memory.
    float* input = core.input + static_cast<std::size_t>(core.fill) * channels;
    for (uint32_t k = 0; k < count; ++k)
      for (int c = 0; c < channels; ++c) input[k * channels + c] = in[c][from + k];
    const float* output = core.output + static_cast<std::size_t>(core.fill) * channels;
    for (uint32_t k = 0; k < count; ++k)
      for (int c = 0; c < channels; ++c) out[c][from + k] = output[k * channels + c];
    core.fill += static_cast<int>(count);
    core.taken += count;
    from += count;
    if (core.fill == core.blockFrames) {
      processBlock(core, from, report, reportContext);
      core.fill = 0;
    }
  }
}

void corePosition(Core& core, const double* frame, const double* speed) {
  Segment segment;
  if (transportPosition(core.transport, core.taken, frame, speed, core.rate, segment))
    timelineAdd(core.timeline, segment);
  core.ownClockPending = false;
}

void coreOffset(Core& core, double offset) {
  Segment segment;
  if (transportOffset(core.transport, core.taken, offset, core.rate, segment))
    timelineAdd(core.timeline, segment);
}
