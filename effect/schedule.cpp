// The melody schedule: channels, notes and each note's ring of moves.
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "effect.h"
#include "splice.h"

void effectPrint(const EffectState& fx, const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (!fx.settings.log) {
    vprintf(format, args);
  } else {
    // Longer messages are cut; they would only repeat a long path.
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    fx.settings.log(fx.settings.logContext, text);
  }
  va_end(args);
}

void* effectAllocate(EffectState& fx, std::size_t bytes) {
  if (fx.allocFailCountdown == 0) return nullptr;
  if (fx.allocFailCountdown > 0) --fx.allocFailCountdown;
  // Zeroed memory: a fresh history and output block play silence.
  return std::calloc(1, bytes);
}

static void* allocateOrReport(EffectState& fx, std::size_t bytes) {
  void* memory = effectAllocate(fx, bytes);
  if (!memory) effectPrint(fx, "Out of memory.\n");
  return memory;
}

DelayChannel* createChannel(EffectState& fx, int channelNumber) {
  const int blockBytes = fx.blockBytes;
  const int historyBlocks = fx.historyBlocks;
  auto* channel = static_cast<DelayChannel*>(allocateOrReport(fx, sizeof(DelayChannel)));
  if (!channel) return nullptr;
  channel->channelNumber = channelNumber;
  channel->tickCount = 0;
  channel->phase = 0;
  channel->frameInTick = 0;
  channel->tickLength = 45;
  channel->tickRemainder = 0;

  // Read offsets span the whole history plus about two blocks of moves and
  // must stay within a signed int, so a history that large is refused.
  const std::int64_t historySpan =
      (static_cast<std::int64_t>(historyBlocks) + 2) * static_cast<std::int64_t>(blockBytes);
  if (blockBytes < 1 || historyBlocks < 1 || historySpan > INT_MAX) {
    effectPrint(fx, "Out of memory.\n");
    std::free(channel);
    return nullptr;
  }
  const std::size_t historySize =
      static_cast<std::size_t>(historyBlocks) * static_cast<std::size_t>(blockBytes) + 1;
  channel->history = static_cast<unsigned char*>(allocateOrReport(fx, historySize));
  if (!channel->history) {
    std::free(channel);
    return nullptr;
  }
  channel->newest = channel->history + static_cast<std::size_t>(historyBlocks - 1) *
                                           static_cast<std::size_t>(blockBytes);
  channel->outBlock =
      static_cast<unsigned char*>(allocateOrReport(fx, static_cast<std::size_t>(blockBytes) + 1));
  if (!channel->outBlock) {
    std::free(channel->history);
    std::free(channel);
    return nullptr;
  }
  channel->newest[blockBytes] = 0;
  channel->outBlock[blockBytes] = 0;
  channel->note = nullptr;
  channel->lastNote = nullptr;
  channel->sectionStart = nullptr;
  channel->readOffset = blockBytes;
  channel->lastStep = nullptr;
  return channel;
}

// Frees a note's step list, cutting the ring open where it closes.
static void freeSteps(MoveStep* first) {
  for (MoveStep* step = first; step; step = step->next) {
    step->visited = 1;
    if (step->next && step->next->visited) step->next = nullptr;
  }
  while (first) {
    MoveStep* next = first->next;
    std::free(first);
    first = next;
  }
}

// The steps of the note being built, by whole phase. Steps after a note's
// first are at least 1 apart, so a bucket of width 1 holds at most one, and
// a match for a phase lies in its own bucket or a neighbour: closing a cycle
// then costs O(1) per step instead of a scan of the list.
struct StepIndex {
  long long lowestBucket = 0;
  std::vector<MoveStep*> slots;
  std::vector<int> order;  // position of each slot's step in the note's list
  int stepsAdded = 0;
};

// Slot of a phase in the index, or -1 outside it.
static long long slotOf(const StepIndex& index, double phase) {
  const long long slot = static_cast<long long>(std::floor(phase)) - index.lowestBucket;
  return slot >= 0 && slot < static_cast<long long>(index.slots.size()) ? slot : -1;
}

// The same step findStep would return: of the steps within 1 of the phase,
// the earliest in the list. They can only lie in the phase's bucket or its
// two neighbours.
static MoveStep* findIndexedStep(const StepIndex& index, double phase) {
  const long long slot = slotOf(index, phase);
  MoveStep* best = nullptr;
  int bestOrder = 0;
  for (long long s = slot - 1; slot >= 0 && s <= slot + 1; ++s) {
    if (s < 0 || s >= static_cast<long long>(index.slots.size()) || !index.slots[s]) continue;
    const double difference = index.slots[s]->phase - phase;
    if (difference > -1 && difference < 1 && (!best || index.order[s] < bestOrder)) {
      best = index.slots[s];
      bestOrder = index.order[s];
    }
  }
  return best;
}

// One step of the builder. With an index, a match is looked up there; without
// one (or once a phase falls outside it, which is not expected) the step list
// is searched.
static void advanceIndexedPhase(EffectState& fx, DelayChannel* channel, StepIndex*& index) {
  const double base = fx.baseFrequency;
  Note* note = channel->lastNote;
  const double startPhase = channel->phase;
  const int startCount = channel->readOffset;
  while (channel->phase < 0) {
    channel->phase += base;
    channel->readOffset += 1;
  }
  channel->phase -= static_cast<double>(note->frequency);

  // The first step (phase 0) is never indexed or matched.
  if (index && note->step && slotOf(*index, startPhase) < 0) index = nullptr;
  MoveStep* found = index ? findIndexedStep(*index, startPhase) : findStep(startPhase, note->step);
  if (found) {
    channel->lastStep->next = found;
    channel->lastStep = nullptr;
    return;
  }
  MoveStep* step =
      appendStep(fx, channel->readOffset - startCount, startPhase, channel->lastStep, note);
  channel->lastStep = step;
  // The list's first step is never a match, so it stays out of the index.
  if (index && step && step != note->step) {
    const long long slot = slotOf(*index, startPhase);
    index->slots[slot] = step;
    index->order[slot] = ++index->stepsAdded;
  }
}

void advancePhase(EffectState& fx, DelayChannel* channel) {
  StepIndex* noIndex = nullptr;
  advanceIndexedPhase(fx, channel, noIndex);
}

// Prints why a note cannot be played, if it cannot.
static bool noteRefused(const EffectState& fx, float frequency, float duration) {
  // NaN fails every comparison, so these tests also refuse it.
  if (!(frequency > 0) || !(duration > 0) || std::isinf(frequency) || std::isinf(duration)) {
    effectPrint(fx, "Zero or negative note in melody (f=%f, d=%f).\n",
                static_cast<double>(frequency), static_cast<double>(duration));
    return true;
  }
  // A move longer than one block cannot be read back from the history, and
  // the builder adds the base once per frame of move; both need this bound.
  const double limit = static_cast<double>(fx.blockBytes / fx.frameBytes) * fx.baseFrequency;
  if (!(static_cast<double>(frequency) <= limit)) {
    effectPrint(fx,
                "Note frequency %f is too high: at most %f fits one buffer at base frequency %f.\n",
                static_cast<double>(frequency), limit, fx.baseFrequency);
    return true;
  }
  return false;
}

// Sizes the index for a note's cycle: start phases after the first lie in
// [-frequency, base - frequency), with a margin of two buckets each side.
static bool sizeStepIndex(const EffectState& fx, StepIndex& index, float frequency) {
  try {
    const double base = fx.baseFrequency;
    index.lowestBucket = static_cast<long long>(std::floor(-static_cast<double>(frequency))) - 2;
    const long long highest =
        static_cast<long long>(std::floor(base - static_cast<double>(frequency))) + 2;
    const auto size = static_cast<std::size_t>(highest - index.lowestBucket + 1);
    index.slots.assign(size, nullptr);
    index.order.assign(size, 0);
    return true;
  } catch (const std::bad_alloc&) {
    effectPrint(fx, "Out of memory.\n");
    return false;
  }
}

// Links a new note in after the channel's last one, numbers it and opens a
// new section after a repetition count.
static void linkNote(EffectState& fx, DelayChannel* channel, Note* note) {
  if (!channel->note) {
    channel->note = note;
    channel->sectionStart = note;
    note->noteNumber = 1;
    fx.firstNote = note;
  } else {
    Note* last = channel->lastNote;
    last->next = note;
    last->allocNext = note;
    if (last->repeatTarget) channel->sectionStart = note;
    note->noteNumber = last->noteNumber + 1;
  }
  channel->lastNote = note;
}

// Builds the note's ring of moves and drops its first step, which starts at
// phase 0 with move 0 and is not part of the steady cycle. False when a step
// could not be appended (its message has been printed).
static bool buildCycle(EffectState& fx, DelayChannel* channel, Note* note, StepIndex& index) {
  MoveStep* previous = nullptr;
  StepIndex* lookup = &index;
  do {
    previous = channel->lastStep;
    advanceIndexedPhase(fx, channel, lookup);
  } while (channel->lastStep);
  const bool closed = note->step && previous && previous->next;
  channel->phase = 0;
  channel->readOffset = 0;
  if (!closed) return false;

  MoveStep* first = note->step;
  note->step = first->next;
  note->firstStep = note->step;
  std::free(first);
  return true;
}

Note* appendNote(EffectState& fx, float frequency, float duration, DelayChannel* channel) {
  auto* note = static_cast<Note*>(allocateOrReport(fx, sizeof(Note)));
  if (!note) return nullptr;
  StepIndex index;
  if (noteRefused(fx, frequency, duration) || !sizeStepIndex(fx, index, frequency)) {
    std::free(note);
    return nullptr;
  }
  note->frequency = frequency;
  note->duration = duration;
  note->repeatCount = 1;
  note->repeatCounter = 0;
  note->next = nullptr;
  note->repeatTarget = nullptr;
  note->step = nullptr;
  note->firstStep = nullptr;
  note->allocNext = nullptr;
  linkNote(fx, channel, note);
  // A note whose cycle stays open is still linked, so release frees it.
  return buildCycle(fx, channel, note, index) ? note : nullptr;
}

MoveStep* findStep(double phase, MoveStep* firstStep) {
  if (!firstStep || !firstStep->next) return nullptr;
  for (MoveStep* step = firstStep->next; step; step = step->next) {
    // Whole-unit tolerance keeps cycles short.
    const double difference = step->phase - phase;
    if (difference > -1 && difference < 1) return step;
  }
  return nullptr;
}

MoveStep* appendStep(EffectState& fx, int move, double phase, MoveStep* lastStep, Note* note) {
  auto* step = static_cast<MoveStep*>(allocateOrReport(fx, sizeof(MoveStep)));
  if (!step) return nullptr;
  if (move < 0) {
    effectPrint(fx, "error: move < 0\n");
    std::free(step);
    return nullptr;
  }
  step->move = move;
  step->phase = phase;
  step->visited = 0;
  step->next = nullptr;
  if (!note->step) {
    note->step = step;
    note->firstStep = step;
  } else {
    lastStep->next = step;
  }
  return step;
}

int replicateChannels(EffectState& fx, DelayChannel** channels, int channelCount) {
  for (int i = 1; i < channelCount; ++i) {
    channels[i] = createChannel(fx, i);
    if (!channels[i]) return 0;
    channels[i]->note = channels[0]->note;
    channels[i]->lastNote = channels[0]->lastNote;
    channels[i]->sectionStart = channels[0]->sectionStart;
    channels[i]->readOffset = channels[0]->readOffset;
    channels[i]->lastStep = channels[0]->lastStep;
  }
  return 1;
}

void effectRelease(EffectState& fx) {
  spliceRelease(fx);
  if (!fx.channels) return;
  // Notes are freed in append order, so looping, an ended melody or a
  // half-built note make no difference to what is reached.
  for (Note* note = fx.firstNote; note;) {
    Note* next = note->allocNext;
    freeSteps(note->firstStep);
    std::free(note);
    note = next;
  }
  fx.firstNote = nullptr;
  for (int i = 0; i < fx.channelCount; ++i) {
    DelayChannel* channel = fx.channels[i];
    if (!channel) continue;
    std::free(channel->history);
    std::free(channel->outBlock);
    std::free(channel);
  }
  std::free(fx.channels);
  fx.channels = nullptr;
  fx.currentChannel = nullptr;
  fx.initialized = 0;
  fx.reportCounter = 0;
}
