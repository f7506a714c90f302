// glidewarp-melody's command line: options, reading, writing.
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "melody.h"
#include "midi.h"
#include "options.h"
#include "safewrite.h"

const char* const melodyUsage =
    "Usage: glidewarp-melody [OPTIONS] INPUT OUTPUT\n"
    "       glidewarp-melody --list INPUT\n"
    "\n"
    "Writes the melody file OUTPUT, for glidewarper and glidewarp-render, from\n"
    "INPUT: a Standard MIDI File when INPUT begins with \"MThd\", a note-name text\n"
    "otherwise. OUTPUT - writes to standard output. Notes last whole ticks of 1 ms;\n"
    "every note boundary is rounded from its exact time since the start, so the\n"
    "melody's length stays within one tick of the input's however many notes it\n"
    "has. A note stands for 440 x 2^((n - 69)/12) Hz for MIDI note number n\n"
    "(A4 = 69 = 440 Hz, C4 = 60 is middle C).\n"
    "\n"
    "MIDI files (format 0 and 1):\n"
    "  One melodic line is taken from one part: the notes of one channel in one\n"
    "  track. Unless --track or --channel says otherwise, the part is chosen so:\n"
    "    1. drums are left out (channel 10, or a track named for drums or\n"
    "       percussion), and so is the bass (a track named bass or walking, or a\n"
    "       General MIDI bass program, 33 to 40, below middle C on average); so\n"
    "       are parts in the bass's register (on average below C3) while any\n"
    "       part plays above it;\n"
    "    2. of the rest, a track named for the melody (melody, lead, vocal,\n"
    "       voice, vox, solo, tune, theme, soprano, sing) wins, the longest\n"
    "       sounding of them;\n"
    "    3. otherwise, of the parts that sound at least a quarter as long as\n"
    "       the longest, the one with the highest mean pitch among the mostly\n"
    "       monophonic (at most a quarter of their time with two notes or more),\n"
    "       or among all of them when none is.\n"
    "  Standard error says which part was taken and why; --list shows them all.\n"
    "  Where notes overlap, the highest sounding note wins; when it ends, a lower\n"
    "  note that still sounds is heard again. The tempo map, time signature\n"
    "  changes and the file's division (pulses per quarter note, or SMPTE frames)\n"
    "  are honoured. Pitch bends are folded into each note: its frequency is that\n"
    "  of its average bend over the time it sounds, with the bend range each\n"
    "  channel sets (registered parameter 0), 2 semitones where it sets none.\n"
    "  The melody lasts as long as the file, a final rest included.\n"
    "\n"
    "Note-name texts:\n"
    "  A note is a name and a duration in milliseconds: A4 250. The name is a\n"
    "  letter A to G, any accidentals (# or b, x for a double sharp, or the signs\n"
    "  \xE2\x99\xAF \xE2\x99\xAD \xE2\x99\xAE \xF0\x9D\x84\xAA \xF0\x9D\x84\xAB), an octave "
    "(C4 is middle C; C-1 is the lowest MIDI note) and\n"
    "  optional cents: A4+30, Bb3-12.5, C#5+30c. R 500 is a rest. -K after a note\n"
    "  plays the section that ends there K times in all, as in melody files.\n"
    "  A word that begins with # starts a comment, to the end of its line.\n"
    "\n"
    "The unit:\n"
    "  The program plays a note close to, not exactly at, its frequency: within\n"
    "  one unit of the melody's numbers. The melody is written in hertz when that\n"
    "  holds every note within 1 cent of its pitch; otherwise the base and every\n"
    "  note are written K times their frequencies, in units of 1/K Hz, with the\n"
    "  smallest K that does (standard error says so). Only the ratios of the\n"
    "  notes to the base matter to the program, so the melody sounds the same.\n"
    "\n"
    "Options:\n"
    "  --list              MIDI: print each part of INPUT (track, channel, notes,\n"
    "                      range, whether it is monophonic and the share of its\n"
    "                      time with chords, name) and the default one; write\n"
    "                      nothing\n"
    "  --track N           MIDI: take the notes of track N (numbered from 1), on\n"
    "                      every channel but 10\n"
    "  --channel C         MIDI: take the notes of channel C (1 to 16); with\n"
    "                      --track, of that track only, else of every track\n"
    "  --base HZ           the singer's pitch: the melody's base frequency, the\n"
    "                      pitch the input is taken to have (default 440)\n"
    "  --base-note NOTE    the same as a note name, for example A3 (220 Hz)\n"
    "  --transpose SEMIS   shift every note by SEMIS semitones (may be fractional\n"
    "                      or negative)\n"
    "  --bend-range SEMIS  MIDI: semitones of a full pitch bend on every channel,\n"
    "                      whatever the file sets\n"
    "  --rest MODE         base (the default): a rest becomes a note at the base\n"
    "                      frequency, so the input passes at its own pitch; hold:\n"
    "                      a rest keeps the previous note's frequency (a rest\n"
    "                      before the first note still takes the base)\n"
    "  --repeat K          play the whole melody K times (its own repeats are\n"
    "                      written out in full, as sections do not nest)\n"
    "  -h, --help          show this text\n"
    "\n"
    "A note above 4096 times the base (the most the program plays, at 4096 frames\n"
    "per buffer) or whose frequency is not a finite number is refused.\n"
    "\n"
    "OUTPUT: a file is replaced whole, keeping its owner and mode, once the melody\n"
    "is written; a symbolic link is written through and stays a link; a pipe, a\n"
    "terminal, a device or /dev/stdout is written to as it is; a folder is refused.\n"
    "\n"
    "Exit status: 0 on success; 1 when INPUT cannot be read or converted or OUTPUT\n"
    "cannot be written, with one line on standard error that names the file and\n"
    "the line or byte where that applies, and OUTPUT left as it was; 2 for a bad\n"
    "command line (an unknown option, a value out of range, a wrong number of\n"
    "files).\n";

namespace {

bool parseNumber(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(value);
}

// The base as the program will read it back: above 0, at most its limit.
bool validBase(double base) {
  const double written = std::strtod(formatNumber(base).c_str(), nullptr);
  return std::isfinite(base) && written > 0 && written <= maxBase;
}

std::string quotedValue(const char* text) {
  return std::string("'") + text + "'";
}

// One step per option: it reads the option's value into the command, or
// says in `error` why it cannot.
using OptionStep = bool (*)(const char* value, MelodyCommand& command, std::string& error);

bool takeTrack(const char* value, MelodyCommand& command, std::string& error) {
  long track;
  if (!parseWholeNumber(value, 1, 65535, track)) {
    error = "--track needs a whole number from 1 up (tracks are numbered from 1), not " +
            quotedValue(value);
    return false;
  }
  command.options.trackGiven = true;
  command.options.track = static_cast<int>(track);
  return true;
}

bool takeChannel(const char* value, MelodyCommand& command, std::string& error) {
  long channel;
  if (!parseWholeNumber(value, 1, 16, channel)) {
    error = "--channel needs a whole number from 1 to 16, not " + quotedValue(value);
    return false;
  }
  command.options.channelGiven = true;
  command.options.channel = static_cast<int>(channel);
  return true;
}

bool takeBase(double base, const std::string& refusal, MelodyCommand& command, std::string& error) {
  if (command.baseGiven) {
    error = "--base and --base-note both give the base; give one";
    return false;
  }
  if (!validBase(base)) {
    error = refusal;
    return false;
  }
  command.baseGiven = true;
  command.options.base = base;
  return true;
}

bool takeBaseHz(const char* value, MelodyCommand& command, std::string& error) {
  double hz = 0;
  const bool number = parseNumber(value, hz);
  return takeBase(number ? hz : 0,
                  "--base needs a frequency above 0 and at most " + formatNumber(maxBase) +
                      " Hz, not " + quotedValue(value),
                  command, error);
}

bool takeBaseNote(const char* value, MelodyCommand& command, std::string& error) {
  double pitch;
  if (!parseNoteName(value, pitch)) {
    error = "--base-note needs a note name such as A3, not " + quotedValue(value);
    return false;
  }
  const double hz = noteFrequency(pitch);
  return takeBase(hz,
                  std::string("--base-note ") + value + " is " + formatNumber(hz) +
                      " Hz; the base must be above 0 and at most " + formatNumber(maxBase) + " Hz",
                  command, error);
}

bool takeTranspose(const char* value, MelodyCommand& command, std::string& error) {
  if (parseNumber(value, command.options.transpose)) return true;
  error = "--transpose needs a number of semitones, not " + quotedValue(value);
  return false;
}

bool takeBendRange(const char* value, MelodyCommand& command, std::string& error) {
  double semitones;
  if (!parseNumber(value, semitones) || semitones < 0) {
    error = "--bend-range needs a number of semitones, 0 or more, not " + quotedValue(value);
    return false;
  }
  command.options.bendRangeGiven = true;
  command.options.bendRange = semitones;
  return true;
}

bool takeRest(const char* value, MelodyCommand& command, std::string& error) {
  static const std::pair<const char*, bool> modes[] = {{"base", false}, {"hold", true}};
  if (parseChoice(value, modes, command.options.restHold)) return true;
  error = "--rest takes base or hold, not " + quotedValue(value);
  return false;
}

bool takeRepeat(const char* value, MelodyCommand& command, std::string& error) {
  long repeat;
  if (!parseWholeNumber(value, 1, 2147483647, repeat)) {
    error = "--repeat needs a whole number from 1 up, not " + quotedValue(value);
    return false;
  }
  command.options.repeat = static_cast<int>(repeat);
  return true;
}

bool takeList(const char*, MelodyCommand& command, std::string&) {
  command.list = true;
  return true;
}

bool takeHelp(const char*, MelodyCommand& command, std::string&) {
  command.help = true;
  return true;
}

struct OptionRule {
  option longOption;
  OptionStep step;
};

constexpr OptionRule optionRules[] = {
    {{"track", required_argument, nullptr, 't'}, takeTrack},
    {{"channel", required_argument, nullptr, 'c'}, takeChannel},
    {{"base", required_argument, nullptr, 'b'}, takeBaseHz},
    {{"base-note", required_argument, nullptr, 'n'}, takeBaseNote},
    {{"transpose", required_argument, nullptr, 'T'}, takeTranspose},
    {{"bend-range", required_argument, nullptr, 'B'}, takeBendRange},
    {{"rest", required_argument, nullptr, 'r'}, takeRest},
    {{"repeat", required_argument, nullptr, 'k'}, takeRepeat},
    {{"list", no_argument, nullptr, 'l'}, takeList},
    {{"help", no_argument, nullptr, 'h'}, takeHelp},
};

OptionStep stepFor(int code) {
  for (const OptionRule& rule : optionRules)
    if (rule.longOption.val == code) return rule.step;
  return nullptr;
}

// INPUT OUTPUT, or INPUT alone with --list.
bool takeOperands(int count, char** operands, MelodyCommand& command, std::string& error) {
  const int expected = command.list ? 1 : 2;
  if (count != expected) {
    error = operandCountError(command.list ? "INPUT alone with --list" : "INPUT OUTPUT", count);
    return false;
  }
  command.inputPath = operands[0];
  if (!command.list) command.outputPath = operands[1];
  return true;
}

}  // namespace

bool parseMelodyArgs(int argc, char** argv, MelodyCommand& command, std::string& error) {
  static option longOptions[std::size(optionRules) + 1] = {};
  for (std::size_t i = 0; i < std::size(optionRules); ++i)
    longOptions[i] = optionRules[i].longOption;
  opterr = 0;  // our own messages, one line each
  optind = 0;
  int code;
  while ((code = getopt_long(argc, argv, ":h", longOptions, nullptr)) != -1) {
    const OptionStep step = stepFor(code);
    if (!step) {
      error = optionError(code, argv);
      return false;
    }
    if (!step(optarg, command, error)) return false;
  }
  return command.help || takeOperands(argc - optind, argv + optind, command, error);
}

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "glidewarp-melody: %s\n", message.c_str());
  return melodyFailed;
}

bool readAll(const std::string& path, std::string& bytes, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
  const bool bad = std::ferror(file);
  const int code = errno;
  std::fclose(file);
  if (bad) {
    error = "cannot read " + path + ": " + std::strerror(code);
    return false;
  }
  return true;
}

// Says when the melody is not written in Hz, and when a note cannot hold
// its pitch in any unit the program takes.
void reportUnit(const MelodyCommand& command, const Melody& melody) {
  const MelodyUnit& unit = melody.unit;
  if (unit.factor > 1)
    std::fprintf(stderr,
                 "glidewarp-melody: written in units of 1/%d Hz (base %s for %s Hz), so that the "
                 "program holds every note within %s cent of its pitch\n",
                 unit.factor, formatNumber(melody.base).c_str(),
                 formatNumber(command.options.base).c_str(), formatNumber(maxCentsOff).c_str());
  // A unit of 1/K Hz holds every note within 1/(K x base - 1) of its ratio,
  // so only a note far below a high base (under 1 Hz) can miss here.
  if (!(unit.worstCents < maxCentsOff))
    std::fprintf(stderr,
                 "glidewarp-melody: warning: no unit up to base %s holds the note of %s Hz "
                 "within %s cent of its pitch\n",
                 formatNumber(maxBase).c_str(), formatNumber(unit.worstHz).c_str(),
                 formatNumber(maxCentsOff).c_str());
}

int listTracks(const MelodyCommand& command, const std::string& bytes) {
  if (bytes.compare(0, 4, "MThd") != 0)
    return fail(command.inputPath + ": --list applies to MIDI files, and this one does not " +
                "begin with MThd");
  SmfFile file;
  std::string error;
  if (!loadMidi(command.inputPath, bytes, file, error)) return fail(error);
  const std::string text = listMidi(command.inputPath, file, findParts(file));
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    return fail(std::string("cannot write to standard output: ") + std::strerror(errno));
  return melodyOk;
}

}  // namespace

int runMelody(const MelodyCommand& command) {
  std::string bytes, error;
  if (!readAll(command.inputPath, bytes, error)) return fail(error);
  if (command.list) return listTracks(command, bytes);
  Melody melody;
  if (!convertInput(command.inputPath, bytes, command.options, melody, error)) return fail(error);
  const std::string text = melodyText(melody);
  if (command.outputPath == "-") {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
      return fail(std::string("cannot write to standard output: ") + std::strerror(errno));
  } else {
    std::string reason;
    if (!writeOutput(command.outputPath, text, reason))
      return fail("cannot write " + command.outputPath + ": " + reason);
  }
  // What was made of INPUT, once it is written.
  if (!melody.taken.empty()) std::fprintf(stderr, "glidewarp-melody: %s\n", melody.taken.c_str());
  reportUnit(command, melody);
  return melodyOk;
}
