// glidewarp-melody: turns a Standard MIDI File or a note-name text into a
// melody file that glidewarper reads.
#pragma once

#include <string>
#include <vector>

#include "options.h"

struct MelodyOptions {
  bool trackGiven = false;
  int track = 0;  // numbered from 1
  bool channelGiven = false;
  int channel = 0;  // 1 to 16
  double base = 440;
  double transpose = 0;         // semitones
  bool bendRangeGiven = false;  // else each channel's own, as the file sets it
  double bendRange = 2;         // semitones at full pitch-bend
  bool restHold = false;
  int repeat = 1;
};

// The live program builds each note's moves with a phase accumulator in the
// melody's unit and closes the note's ring of moves at a phase within 1 of an
// earlier one, so a note averages slightly off its frequency; the coarser
// the unit, the further. Written in a fine enough unit, every note holds
// within this many cents of its target.
constexpr double maxCentsOff = 1.0;

// The pitch ratio the live program plays for a note of `frequency` in a
// melody of base `base`, both as the program reads them from the file: the
// average move of the note's ring.
double heldRatio(double base, float frequency);

// The unit a melody is written in: `factor` times finer than 1 Hz, so that
// the base and every note are `factor` times their frequencies. The smallest
// factor that holds every note (frequencies `hz`, base `base`, both in Hz)
// within maxCentsOff, with the note that comes nearest the limit (past 100,
// only every twentieth factor or so is tried); when none up to the
// program's highest base does, the finest unit tried, with its worst note.
struct MelodyUnit {
  int factor;
  double worstCents;
  double worstHz;
};
MelodyUnit chooseUnit(double base, const std::vector<double>& hz);

// One note of the written melody: whole ticks of 1 ms and the frequency as
// written. `repeat` above 0 writes "-repeat" after the note.
struct MelodyNote {
  long long ticks;
  double frequency;
  int repeat = 0;
  double hz = 0;  // the frequency it stands for
};

struct Melody {
  double base = 0;
  std::vector<MelodyNote> notes;
  std::string taken;  // MIDI: which track and channel the notes come from
  MelodyUnit unit{1, 0, 0};
};

// A stretch of the input on the way to a melody note. Times are whole ticks,
// each boundary rounded on its own from the exact time since the start, so
// rounding errors never add up.
struct Span {
  long long start;
  long long end;
  bool rest;
  double pitch;       // MIDI note number, fractional; unused for a rest
  int repeat;         // repetition count written after this span, 0 for none
  std::string where;  // names the span in messages: "line 3", "track 1, A4 at 0.500 s"
};

// The highest buffer the program is set up for in practice: a note above
// this many times the base cannot be played (the program refuses it).
constexpr int limitFramesPerBuffer = 4096;
// The program refuses a base above this.
constexpr double maxBase = 20000;

// Exit statuses.
constexpr int melodyOk = 0;
constexpr int melodyFailed = 1;
constexpr int melodyBadUsage = badUsageStatus;

// Frequency of a MIDI note number, fractional ones included.
double noteFrequency(double pitch);

// Reads a note name such as "A4", "Bb3", "C#5+30" or "F##2-12.5c" into a MIDI
// note number (A4 is 69). False if it is not one.
bool parseNoteName(const std::string& name, double& pitch);

// Name of a whole MIDI note number, "C4" for 60.
std::string midiNoteName(int key);

// Writes numbers as the melody file shows them: at most three decimals,
// trailing zeros dropped.
std::string formatNumber(double value);

// Turns spans into the melody: rests, zero-length spans, frequencies, the
// limits the program sets and the --repeat wrap. On failure `error` holds one
// line naming the input `name` and the span.
bool finishMelody(const std::string& name, const std::vector<Span>& spans,
                  const MelodyOptions& options, Melody& melody, std::string& error);

// The two sources. `name` is only used in messages; `error` gets one line
// that starts with it.
bool convertMidi(const std::string& name, const std::string& bytes, const MelodyOptions& options,
                 Melody& melody, std::string& error);
bool convertNoteNames(const std::string& name, const std::string& text,
                      const MelodyOptions& options, Melody& melody, std::string& error);
// MIDI when the bytes begin with "MThd", note names otherwise.
bool convertInput(const std::string& name, const std::string& bytes, const MelodyOptions& options,
                  Melody& melody, std::string& error);

// The melody file's text: the base on the first line, then a note per line.
std::string melodyText(const Melody& melody);

// The program.
extern const char* const melodyUsage;
struct MelodyCommand {
  MelodyOptions options;
  bool baseGiven = false;
  bool list = false;  // --list: INPUT's parts instead of a melody
  std::string inputPath;
  std::string outputPath;
  bool help = false;
};
bool parseMelodyArgs(int argc, char** argv, MelodyCommand& command, std::string& error);
int runMelody(const MelodyCommand& command);
