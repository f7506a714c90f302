// The effect engine: a melody turned into per-note rings of read-position
// moves, and the delay lines that play input audio through them.
#pragma once

#include <cstddef>

#include "settings.h"

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
  // Where the exact tick clock stands within a frame, in thousandths of a
  // frame; used only at rates whose ticks follow the exact time.
  int tickRemainder;
  unsigned char* history;
  unsigned char* newest;
  unsigned char* outBlock;
  Note* note;
  Note* lastNote;
  Note* sectionStart;
  MoveStep* lastStep;
};

// What the interpolated read derives from a note's ratio, kept while it holds.
struct ReadBounds {
  double ratio;   // the ratio these are for; NaN before the first
  int fade;       // output frames a jump's crossfade lasts
  double ahead;   // the least lag: half a kernel, and the fade's drift on an upward note
  double behind;  // room kept below the lag limit for a downward note's fade
  int minJump;    // the shortest jump: none may be due again before its fade ends
};

// One delay channel's read position in matched mode. Positions are frames
// from the start of the newest history slot; negative ones lie in older slots.
struct SpliceChannel {
  int readFrame;    // the frame the next output frame copies, before any jump
  double fraction;  // how far past readFrame the exact read position lies, 0 to 1
  int lastRead;     // the frame the last output frame copied
  double carry;     // sub-frame error of the jumps so far, made up at the next
  int sinceSearch;  // output frames since the last search
  int lastJump;     // frames the last matched jump moved, for searches skipped
  int received;     // frames of input in the history since set-up, up to all it keeps
  float* samples;   // the compared sample of each frame of the slid tail, oldest first
  // The interpolated read's own. A jump starts a crossfade: the stretch it
  // left plays on from fadeFrame + fadeFraction, fading out over fadeLength
  // output frames while the new one fades in; fadeDone counts those played.
  int fadeFrame;
  double fadeFraction;
  int fadeLength;
  int fadeDone;
  double lastLeap;  // the exact length of the last matched jump, for searches skipped
  ReadBounds bounds;
};

// Absolute pitch's measurement and correction (pitchtrack.h).
struct PitchTracking;

// The matched mode's sizes, set by effectInit; all in frames at the set-up's rate.
struct SpliceState {
  int mode = 0;        // a SpliceMode; spliceBlock leaves the effect as it always was
  int maxDelayMs = 0;  // MaxDelay as used, after clamping
  int maxDelayFrames = 0;
  int lagLimit = 0;      // one block plus maxDelayFrames: the most an output frame may lag
  int window = 0;        // frames compared per candidate, a multiple of spliceCoarseStep
  int minJump = 0;       // the shortest jump: nearer candidates only echo the position itself
  int span = 0;          // the farthest a search looks from the position
  int shortSpan = 0;     // absolute pitch: how far a search looks first (0: no first look)
  int earlyLag = 0;      // lag above which a downward note jumps forward on a close match
  int fallbackJump = 0;  // how far to jump when nothing matches (silence, noise)
  int searchGap = 0;     // fewest output frames between two searches
  int earlyRetry = 0;    // output frames between two tries of an early jump
  int keepBlocks = 0;    // newest history slots that are slid and can be read
  int sampleOffset = 0;  // byte offset in a frame of the compared sample
  int compareBoth = 0;   // non-zero: the first two samples' sum is compared
  // The interpolated read (a ReadMode; readVerbatim copies whole frames).
  int readMode = 0;
  int readSamples = 0;      // 32-bit float samples of a frame that are interpolated
  int fadeFrames = 0;       // a jump's crossfade at notes near the input's pitch
  double fadeReach = 0;     // the most a fade's two stretches may drift apart, in frames
  float* kernel = nullptr;  // the interpolator's table, built at set-up
  int channelCount = 0;
  SpliceChannel* channels = nullptr;
  float* scratch = nullptr;  // the search's; spliceScratchSize(span, window) floats
  // Absolute pitch only (null otherwise): the measured pitch, and how far the
  // read position keeps behind the newest frame so it can be measured there.
  PitchTracking* pitch = nullptr;
  int holdBack = 0;
};

// One effect: its melody, its delay lines and everything its callback keeps.
// Whoever plays audio through it holds one (the live program one for the run,
// the render tool, a plugin instance, each test its own) and passes it to
// every operation; nothing of it is process-wide, so two never meet.
struct EffectState {
  int referenceRate = 44100;
  int tickFrames = 44;
  int longTickEvery = 10;
  // 0 at the rates of the tick table (44100, 22050, 11025), which count
  // ticks by tickFrames and longTickEvery; any other rate is held here and
  // ticks there end where the exact millisecond ends.
  int exactTickRate = 0;
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

  // The caller's choices, stored by liveEffectInit (or by the caller before
  // effectInit) and read from then on.
  EffectSettings settings;
  SpliceState splice;

  // The stream callback's own: frames per buffer that the blocks are sized
  // for and samples per frame (both set before the stream opens), buffers
  // that came without input over the run, and whether the buffer-length
  // discrepancy was reported.
  int projectedFramesPerBuffer = 0;
  int numChannels = 0;
  // Samples of a frame that are audio, 32-bit floats (liveEffectInit sets it);
  // 0 leaves frames opaque, as effectInit alone knows nothing of them.
  int audioChannels = 0;
  int gNumNoInputs = 0;
  int discrepancyReported = 0;

  // The lag of the last counted block's first frame, in frames; kept for
  // hosts that send the delay report on instead of printing it.
  long lastReportedDelay = 0;

  // Test hook: n >= 0 makes the (n+1)-th allocation from now fail; -1 never fails.
  int allocFailCountdown = -1;
};

// Prints one of the effect's messages, through the settings' log when one is set.
void effectPrint(const EffectState& fx, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The melody's clock, shared by playback and by anything that lays the notes
// out in time without playing them (the render tool's picture).

// Length in frames of the tick that begins after `tickCount` whole ticks of a
// note. At the table's rates it follows from the count alone. At any other
// rate a tick lasts rate / 1000 frames, one more whenever the thousandths
// carried in `tickRemainder` (the channel's, or a private copy) add up to a
// frame: every tick boundary is the exact time rounded down to a frame, so
// no error builds up however long the melody.
inline int tickLengthAfter(const EffectState& fx, int tickCount, int& tickRemainder) {
  if (fx.exactTickRate > 0) {
    tickRemainder += fx.exactTickRate;
    const int length = tickRemainder / 1000;
    tickRemainder %= 1000;
    return length;
  }
  return tickCount % fx.longTickEvery == 0 ? fx.tickFrames + 1 : fx.tickFrames;
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

// Every operation below takes the effect it works on. Set-up and release run
// on a thread that no audio runs on while they do (the main thread with the
// stream stopped, a plugin's worker); effectProcess and what it calls run on
// the audio thread and allocate, lock and open nothing.

// Melody schedule.
DelayChannel* createChannel(EffectState& fx, int channelNumber);
Note* appendNote(EffectState& fx, float frequency, float duration, DelayChannel* channel);
void advancePhase(EffectState& fx, DelayChannel* channel);
MoveStep* findStep(double phase, MoveStep* firstStep);
MoveStep* appendStep(EffectState& fx, int move, double phase, MoveStep* lastStep, Note* note);
int replicateChannels(EffectState& fx, DelayChannel** channels, int channelCount);
void effectRelease(EffectState& fx);

// Melody file and set-up. Any sample rate from minSampleRate to
// maxSampleRate plays; ticks last 1 ms on average at each.
constexpr int minSampleRate = 8000;
constexpr int maxSampleRate = 192000;
int validateFormat(const EffectState& fx, int channelCount, int historyBlocks, int blockBytes,
                   int sampleRate, int frameBytes);
int effectInit(EffectState& fx, int channelCount, int historyBlocks, int blockBytes, int sampleRate,
               int frameBytes, const char* path, int loop);

// Allocation used by the effect (zeroed; fails on the record's test hook).
void* effectAllocate(EffectState& fx, std::size_t bytes);

// The live program's set-up, shared by everything that must play as it does
// (the program, the render tool, their tests and benchmarks): one delay line
// carrying whole interleaved frames of `streamChannels` 32-bit samples, with
// a history of liveHistoryBlocks buffers of `framesPerBuffer` frames, at the
// settings' rate and with their loop choice.
constexpr int liveHistoryBlocks = 200;
constexpr int liveBytesPerSample = 4;
int liveEffectInit(EffectState& fx, const EffectSettings& settings, const char* path,
                   int streamChannels, int framesPerBuffer);

// Block processor: one block of blockBytes in, one out; may be the same memory.
// Audio thread.
int effectProcess(EffectState& fx, const void* input, void* output);

// The delay report is printed on every reportInterval-th block that goes
// through the history, the first included.
constexpr unsigned int reportInterval = 1000;
// Whether the next effectProcess call counts a delay report.
bool delayReportDue(const EffectState& fx);
