// The effect engine: a melody turned into per-note rings of read-position
// moves, and the delay lines that play input audio through them.
#pragma once

#include <cstddef>

// One element of a note's cycle of moves.
struct MoveStep {
  int move;              // frames the read position advances after one output frame
  double phase;          // builder phase at the start of this step (set-up only)
  unsigned int visited;  // used while a cycle is cut open for release
  MoveStep* next;
};

struct Note {
  int noteNumber;
  float duration;   // ticks
  float frequency;  // in the unit of baseFrequency
  int repeatCount;
  int repeatCounter;
  Note* repeatTarget;
  Note* next;
  MoveStep* step;  // current step; playback moves it along the ring
  // Head of the note's own step list, kept so release reaches every step
  // however far playback has moved `step`.
  MoveStep* firstStep;
  // Next note in append order; never cut by looping, so release reaches
  // every note whatever playback did.
  Note* allocNext;
};

struct DelayChannel {
  int channelNumber;
  int tickCount;
  int readOffset;  // bytes from the start of the newest history slot
  double phase;
  int frameInTick;
  int tickLength;
  unsigned char* history;
  unsigned char* newest;
  unsigned char* outBlock;
  Note* note;
  Note* lastNote;
  Note* sectionStart;
  MoveStep* lastStep;
};

struct EffectState {
  int referenceRate = 44100;
  int tickFrames = 44;
  int longTickEvery = 10;
  int frameBytes = 2;
  int channelCount = 2;
  int historyBlocks = 200;
  int blockBytes = 512;
  double baseFrequency = 0;
  DelayChannel** channels = nullptr;
  DelayChannel* currentChannel = nullptr;
  int cursor = 0;
  unsigned int blockCounter = 0;
  int reportCounter = 0;
  int initialized = 0;
  // First note of the melody in append order; owned, freed by effectRelease.
  Note* firstNote = nullptr;
};

extern EffectState effectState;

// The melody's clock, shared by playback and by anything that lays the notes
// out in time without playing them (the render tool's picture).

// Length in frames of the tick that begins after `tickCount` whole ticks of a note.
inline int tickLengthAfter(int tickCount) {
  return tickCount % effectState.longTickEvery == 0 ? effectState.tickFrames + 1
                                                    : effectState.tickFrames;
}

// Whether a note has lasted its duration after `tickCount` whole ticks; a
// duration with a fraction ends at the first whole count above it.
inline bool noteEnded(int tickCount, float duration) {
  return static_cast<double>(tickCount) >= static_cast<double>(duration);
}

// The note that plays after `note` has ended. `repeatCounter` counts the
// jumps back already taken from `note`: during playback the note's own
// counter, which all channels share; elsewhere a private copy.
inline Note* followingNote(const Note* note, int& repeatCounter) {
  if (!note->repeatTarget) return note->next;
  if (repeatCounter < note->repeatCount) {
    ++repeatCounter;
    return note->repeatTarget;
  }
  repeatCounter = 0;
  return note->next;
}

// Melody schedule.
DelayChannel* createChannel(int channelNumber);
Note* appendNote(float frequency, float duration, DelayChannel* channel);
void advancePhase(DelayChannel* channel);
MoveStep* findStep(double phase, MoveStep* firstStep);
MoveStep* appendStep(int move, double phase, MoveStep* lastStep, Note* note);
int replicateChannels(DelayChannel** channels, int channelCount);
void effectRelease();

// Melody file and set-up.
int validateFormat(int channelCount, int historyBlocks, int blockBytes, int sampleRate,
                   int frameBytes);
int effectInit(int channelCount, int historyBlocks, int blockBytes, int sampleRate, int frameBytes,
               const char* path, int loop);

// Allocation used by the effect. Tests set allocFailCountdown to n >= 0 to
// make the (n+1)-th allocation from now fail; -1 never fails.
extern int allocFailCountdown;
void* effectAllocate(std::size_t bytes);

// The live program's set-up, shared by everything that must play as it does
// (the program, the render tool, their tests and benchmarks): one delay line
// carrying whole interleaved frames of `streamChannels` 32-bit samples, with
// a history of liveHistoryBlocks buffers of `framesPerBuffer` frames.
constexpr int liveHistoryBlocks = 200;
constexpr int liveBytesPerSample = 4;
int liveEffectInit(const char* path, int streamChannels, int framesPerBuffer, int sampleRate,
                   int loop);

// Block processor: one block of blockBytes in, one out; may be the same memory.
int effectProcess(const void* input, void* output);

// The delay report is printed on every reportInterval-th block that goes
// through the history, the first included.
constexpr unsigned int reportInterval = 1000;
// Whether the next effectProcess call prints the delay report.
bool delayReportDue();
