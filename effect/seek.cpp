// Seeking: the melody's clock run forward by arithmetic instead of by
// playing, one note (or one whole pass of a looping melody) at a time.
#include "seek.h"

#include <climits>
#include <cmath>

#include "splice.h"

namespace {

// The tick a channel plays first, before any note has ended.
constexpr int firstTickFrames = 45;

int tickAfter(const EffectState& fx, long long tickCount) {
  return tickLengthAfter(fx, static_cast<int>(tickCount));
}

// Whole ticks a note lasts: a duration with a fraction ends at the first
// whole count above it.
long long noteTicks(const Note* note) {
  const double ticks = std::ceil(static_cast<double>(note->duration));
  if (!(ticks < static_cast<double>(INT_MAX))) return INT_MAX;
  return ticks < 1 ? 1 : static_cast<long long>(ticks);
}

// Frames of ticks 1 to `count` of a note, its first tick not included.
long long laterTickFrames(const EffectState& fx, long long count) {
  return count * fx.tickFrames + count / fx.longTickEvery;
}

// A place on the melody's clock. Sections do not nest, so one counter is
// enough for the repeats: that of the section being repeated, if any.
struct Walk {
  Note* note;
  int firstTick;    // frames of the note's first tick
  int counter = 0;  // jumps back taken from `counterNote`
  Note* counterNote = nullptr;
};

long long noteFrames(const EffectState& fx, const Walk& walk) {
  return walk.firstTick + laterTickFrames(fx, noteTicks(walk.note) - 1);
}

// Goes on to the note that plays next, as playback would; false when the
// melody ends.
bool nextNote(const EffectState& fx, Walk& walk) {
  walk.firstTick = tickAfter(fx, noteTicks(walk.note));
  Note* ended = walk.note;
  walk.note = followingNote(ended, walk.counter);
  if (ended->repeatTarget) walk.counterNote = walk.counter ? ended : nullptr;
  return walk.note != nullptr;
}

bool wrapped(const EffectState& fx, const Walk& walk) {
  return walk.note == fx.firstNote && walk.counter == 0;
}

// Frames of one pass of a looping melody that starts with a first tick of
// `firstTick` frames.
long long passFrames(const EffectState& fx, int firstTick) {
  Walk walk{fx.firstNote, firstTick};
  long long total = 0;
  do {
    total += noteFrames(fx, walk);
    nextNote(fx, walk);
  } while (!wrapped(fx, walk));
  return total;
}

// The read position as set-up leaves it.
void restartReading(EffectState& fx, DelayChannel* channel) {
  channel->readOffset = 0;
  SpliceState& s = fx.splice;
  if (s.mode != spliceMatched || !s.channels) return;
  SpliceChannel& c = s.channels[channel->channelNumber];
  const int frames = fx.blockBytes / fx.frameBytes;
  c.readFrame = frames;
  c.fraction = 0;
  c.lastRead = frames - 1;
  c.carry = 0;
  c.sinceSearch = s.searchGap;
  c.lastJump = 0;
}

bool loops(const EffectState& fx) {
  return fx.channels[0]->lastNote->next != nullptr;
}

// The channel's clock at `frames` into the note at `walk` (fewer than the note lasts).
void placeInNote(const EffectState& fx, const Walk& walk, long long frames, DelayChannel* channel) {
  channel->note = walk.note;
  if (frames < walk.firstTick) {
    channel->tickCount = 0;
    channel->tickLength = walk.firstTick;
    channel->frameInTick = static_cast<int>(frames);
    return;
  }
  // Tick k >= 1 starts laterTickFrames(k - 1) frames after the first tick:
  // the last one that starts at or before `frames`.
  const long long after = frames - walk.firstTick;
  long long low = 1, high = noteTicks(walk.note) - 1;
  while (low < high) {
    const long long mid = low + (high - low + 1) / 2;
    if (laterTickFrames(fx, mid - 1) <= after)
      low = mid;
    else
      high = mid - 1;
  }
  channel->tickCount = static_cast<int>(low);
  channel->tickLength = tickAfter(fx, low);
  channel->frameInTick = static_cast<int>(after - laterTickFrames(fx, low - 1));
}

}  // namespace

long long effectMelodyFrames(EffectState& fx) {
  if (!fx.initialized || !fx.firstNote || loops(fx)) return -1;
  Walk walk{fx.firstNote, firstTickFrames};
  long long total = 0;
  do total += noteFrames(fx, walk);
  while (nextNote(fx, walk));
  return total;
}

int effectSeek(EffectState& fx, long long frame) {
  if (!fx.initialized || !fx.firstNote) return 1;
  for (Note* note = fx.firstNote; note; note = note->allocNext) note->repeatCounter = 0;
  Walk walk{fx.firstNote, firstTickFrames};
  long long left = frame < 0 ? 0 : frame;
  bool skippedPasses = false;
  while (walk.note) {
    const long long length = noteFrames(fx, walk);
    if (left < length) break;
    left -= length;
    nextNote(fx, walk);
    // Every pass after the first starts alike, so whole passes are skipped
    // at once.
    if (!skippedPasses && walk.note && wrapped(fx, walk)) {
      skippedPasses = true;
      left %= passFrames(fx, walk.firstTick);
    }
  }
  if (walk.counterNote) walk.counterNote->repeatCounter = walk.counter;
  for (int i = 0; i < fx.channelCount; ++i) {
    DelayChannel* channel = fx.channels[i];
    restartReading(fx, channel);
    channel->note = nullptr;
    if (walk.note) placeInNote(fx, walk, left, channel);
    // Held before the melody starts: the first tick lasts that much longer.
    if (frame < 0)
      channel->frameInTick = static_cast<int>(frame < INT_MIN / 2 ? INT_MIN / 2 : frame);
  }
  return walk.note ? 0 : 1;
}
