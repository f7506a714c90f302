// Seeking: the melody's clock run forward by arithmetic instead of by
// playing, one note (or one whole pass of a looping melody) at a time.
//
// The two tick clocks count differently. At the table's rates a tick's
// length follows from its count within its note, so notes are measured in
// frames, each with the first tick the note before left it. At any other
// rate tick k of the whole melody ends where the exact time does,
// k * rate / 1000 frames rounded down, whatever the notes; there notes are
// measured in ticks and the frame found from the tick count.
#include "seek.h"

#include <climits>
#include <cmath>

#include "splice.h"

namespace {

// The tick a channel plays first at the table's rates, before any note has ended.
constexpr int firstTickFrames = 45;

int tableTickAfter(const EffectState& fx, long long tickCount) {
  int unused = 0;  // the exact clock's carry; the table's clock has none
  return tickLengthAfter(fx, static_cast<int>(tickCount), unused);
}

// Whole ticks a note lasts: a duration with a fraction ends at the first
// whole count above it.
long long noteTicks(const Note* note) {
  const double ticks = std::ceil(static_cast<double>(note->duration));
  if (!(ticks < static_cast<double>(INT_MAX))) return INT_MAX;
  return ticks < 1 ? 1 : static_cast<long long>(ticks);
}

// Table's clock: frames of ticks 1 to `count` of a note, its first tick not included.
long long laterTickFrames(const EffectState& fx, long long count) {
  return count * fx.tickFrames + count / fx.longTickEvery;
}

// Exact clock: the frame at which tick `tick` of the melody ends.
long long exactTickEnd(const EffectState& fx, long long tick) {
  return tick * fx.exactTickRate / 1000;
}

// A place on the melody's clock. Sections do not nest, so one counter is
// enough for the repeats: that of the section being repeated, if any.
struct Walk {
  Note* note;
  int firstTick;    // table's clock: frames of the note's first tick
  int counter = 0;  // jumps back taken from `counterNote`
  Note* counterNote = nullptr;
};

// The note's length in the walk's unit: frames on the table's clock, ticks
// on the exact one.
long long noteLength(const EffectState& fx, const Walk& walk) {
  if (fx.exactTickRate > 0) return noteTicks(walk.note);
  return walk.firstTick + laterTickFrames(fx, noteTicks(walk.note) - 1);
}

// Goes on to the note that plays next, as playback would; false when the
// melody ends.
bool nextNote(const EffectState& fx, Walk& walk) {
  if (fx.exactTickRate == 0) walk.firstTick = tableTickAfter(fx, noteTicks(walk.note));
  Note* ended = walk.note;
  walk.note = followingNote(ended, walk.counter);
  if (ended->repeatTarget) walk.counterNote = walk.counter ? ended : nullptr;
  return walk.note != nullptr;
}

bool wrapped(const EffectState& fx, const Walk& walk) {
  return walk.note == fx.firstNote && walk.counter == 0;
}

// One pass of a looping melody from the walk's first tick, in the walk's unit.
long long passLength(const EffectState& fx, int firstTick) {
  Walk walk{fx.firstNote, firstTick};
  long long total = 0;
  do {
    total += noteLength(fx, walk);
    nextNote(fx, walk);
  } while (!wrapped(fx, walk));
  return total;
}

// Finds the note at `position` (in the walk's unit) from the melody's start,
// leaving the position within it in `position`; the walk's note is null
// past the end of a melody that does not loop.
Walk walkTo(const EffectState& fx, long long& position) {
  Walk walk{fx.firstNote, firstTickFrames};
  bool skippedPasses = false;
  while (walk.note) {
    const long long length = noteLength(fx, walk);
    if (position < length) break;
    position -= length;
    nextNote(fx, walk);
    // Every pass after the first starts alike, so whole passes are skipped
    // at once.
    if (!skippedPasses && walk.note && wrapped(fx, walk)) {
      skippedPasses = true;
      position %= passLength(fx, walk.firstTick);
    }
  }
  return walk;
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

// Table's clock: the channel `frames` into the note at `walk`.
void placeByTable(const EffectState& fx, const Walk& walk, long long frames,
                  DelayChannel* channel) {
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
  channel->tickLength = tableTickAfter(fx, low);
  channel->frameInTick = static_cast<int>(after - laterTickFrames(fx, low - 1));
}

}  // namespace

long long effectMelodyFrames(EffectState& fx) {
  if (!fx.initialized || !fx.firstNote || loops(fx)) return -1;
  Walk walk{fx.firstNote, firstTickFrames};
  long long total = 0;
  do total += noteLength(fx, walk);
  while (nextNote(fx, walk));
  return fx.exactTickRate > 0 ? exactTickEnd(fx, total) : total;
}

int effectSeek(EffectState& fx, long long frame) {
  if (!fx.initialized || !fx.firstNote) return 1;
  const long long from = frame < 0 ? 0 : frame;
  // The exact clock: ticks of the whole melody completed by `from`, and
  // where `from` lies in the next one.
  long long ticksDone = 0;
  if (fx.exactTickRate > 0) ticksDone = ((from + 1) * 1000 - 1) / fx.exactTickRate;
  long long position = fx.exactTickRate > 0 ? ticksDone : from;
  const Walk walk = walkTo(fx, position);

  for (Note* note = fx.firstNote; note; note = note->allocNext) note->repeatCounter = 0;
  if (walk.counterNote) walk.counterNote->repeatCounter = walk.counter;
  for (int i = 0; i < fx.channelCount; ++i) {
    DelayChannel* channel = fx.channels[i];
    restartReading(fx, channel);
    channel->note = walk.note;
    if (!walk.note) continue;
    if (fx.exactTickRate > 0) {
      channel->tickCount = static_cast<int>(position);
      channel->frameInTick = static_cast<int>(from - exactTickEnd(fx, ticksDone));
      channel->tickLength =
          static_cast<int>(exactTickEnd(fx, ticksDone + 1) - exactTickEnd(fx, ticksDone));
      // The thousandths carried once the current tick's length was counted.
      channel->tickRemainder = static_cast<int>((ticksDone + 1) * fx.exactTickRate % 1000);
    } else {
      placeByTable(fx, walk, position, channel);
    }
    // Held before the melody starts: the first tick lasts that much longer.
    if (frame < 0)
      channel->frameInTick = static_cast<int>(frame < INT_MIN / 2 ? INT_MIN / 2 : frame);
  }
  return walk.note ? 0 : 1;
}
