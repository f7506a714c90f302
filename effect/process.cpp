// The block processor: slides a channel's history by one block and builds
// the output block frame by frame from it, following the melody.
#include <cstdio>
#include <cstring>

#include "effect.h"
#include "splice.h"

// Advances the channel's tick clock by one frame and moves to the next note
// when the current one has lasted its duration.
void countFrame(const EffectState& fx, DelayChannel* channel) {
  if (++channel->frameInTick < channel->tickLength) return;
  channel->frameInTick = 0;
  ++channel->tickCount;
  channel->tickLength = tickLengthAfter(fx, channel->tickCount, channel->tickRemainder);
  Note* note = channel->note;
  if (!noteEnded(channel->tickCount, note->duration)) return;
  channel->tickCount = 0;
  channel->note = followingNote(note, note->repeatCounter);
}

bool delayReportDue(const EffectState& state) {
  // A channel whose melody has ended passes blocks through uncounted.
  return state.initialized && state.channels[state.cursor]->note &&
         state.blockCounter % reportInterval == 0;
}

void countBlock(EffectState& state, const DelayChannel* channel, long delay) {
  if (state.blockCounter % reportInterval == 0) {
    ++state.reportCounter;
    state.lastReportedDelay = delay;
    // Straight to standard output: a log may not be safe on the audio thread.
    if (state.settings.audioThreadPrints)
      printf("%d. Delay on channel %d = %ld samples\n", state.reportCounter, channel->channelNumber,
             delay);
  }
  ++state.blockCounter;
}

int effectProcess(EffectState& state, const void* input, void* output) {
  if (!state.initialized) {
    if (state.settings.audioThreadPrints) printf("Effect not initialized.\n");
    return 1;
  }
  DelayChannel* channel = state.channels[state.cursor];
  state.currentChannel = channel;
  if (++state.cursor >= state.channelCount) state.cursor = 0;

  const int blockBytes = state.blockBytes;
  const int frameBytes = state.frameBytes;
  if (!channel->note) {
    std::memmove(output, input, static_cast<std::size_t>(blockBytes));
    return 0;
  }

  if (state.splice.mode == spliceMatched) return spliceProcess(state, channel, input, output);

  countBlock(state, channel, static_cast<long>(-channel->readOffset / frameBytes));

  // The slide below moves every byte one slot towards the start, so the
  // offset moves back by one block to keep pointing at the same audio.
  channel->readOffset -= blockBytes;
  std::memmove(
      channel->history, channel->history + blockBytes,
      static_cast<std::size_t>(state.historyBlocks - 1) * static_cast<std::size_t>(blockBytes));
  // Input and output may be the same memory: the input is taken in whole
  // before any output byte is written.
  std::memcpy(channel->newest, input, static_cast<std::size_t>(blockBytes));

  const int oldest = -(state.historyBlocks - 1) * blockBytes;
  // The last offset from which a whole frame can be read; equal to
  // blockBytes - 1 rounded down whenever blocks hold whole frames.
  const int latest = blockBytes - frameBytes;
  const int frames = blockBytes / frameBytes;
  unsigned char* out = channel->outBlock;
  for (int i = 0; i < frames && channel->note; ++i) {
    int offset = channel->readOffset;
    // Usually one jump at most; repeated so no read ever leaves the history.
    while (offset > latest) offset -= blockBytes;
    while (offset < oldest) offset += blockBytes;
    if (offset > latest) offset = latest;  // only when blocks hold partial frames
    std::memcpy(out + static_cast<std::size_t>(i) * static_cast<std::size_t>(frameBytes),
                channel->newest + offset, static_cast<std::size_t>(frameBytes));
    MoveStep* step = channel->note->step;
    channel->readOffset = offset + frameBytes * step->move;
    channel->note->step = step->next;
    countFrame(state, channel);
  }
  std::memcpy(output, out, static_cast<std::size_t>(blockBytes));
  return 0;
}
