// glidewarp-melody's command line: options, reading, writing.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "melody.h"
#include "options.h"

const char* const melodyUsage =
    "Usage: glidewarp-melody [OPTIONS] INPUT OUTPUT\n"
    "\n"
    "Writes the melody file OUTPUT, for glidewarper and glidewarp-render, from\n"
    "INPUT: a Standard MIDI File when INPUT begins with \"MThd\", a note-name text\n"
    "otherwise. OUTPUT - writes to standard output. Notes last whole ticks of 1 ms;\n"
    "every note boundary is rounded from its exact time since the start, so the\n"
    "melody's length stays within one tick of the input's however many notes it\n"
    "has. A note is written as 440 x 2^((n - 69)/12) Hz for MIDI note number n\n"
    "(A4 = 69 = 440 Hz, C4 = 60 is middle C).\n"
    "\n"
    "MIDI files (format 0 and 1):\n"
    "  One melodic line is taken: by default from the first track that has notes,\n"
    "  on every channel but 10 (the drums). Where notes overlap, the highest\n"
    "  sounding note wins; when it ends, a lower note that still sounds is heard\n"
    "  again. The tempo map, time signature changes and the file's division\n"
    "  (pulses per quarter note, or SMPTE frames) are honoured. Pitch bends are\n"
    "  folded into each note: its frequency is that of its average bend over the\n"
    "  time it sounds. The melody lasts as long as the file, a final rest\n"
    "  included.\n"
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
    "Options:\n"
    "  --track N           MIDI: take the notes of track N (numbered from 1)\n"
    "  --channel C         MIDI: take the notes of channel C (1 to 16); with\n"
    "                      --track, of that track only, else of every track\n"
    "  --base HZ           the singer's pitch: the melody's base frequency, the\n"
    "                      pitch the input is taken to have (default 440)\n"
    "  --base-note NOTE    the same as a note name, for example A3 (220 Hz)\n"
    "  --transpose SEMIS   shift every note by SEMIS semitones (may be fractional\n"
    "                      or negative)\n"
    "  --bend-range SEMIS  MIDI: semitones of a full pitch bend (default 2)\n"
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
    "Exit status: 0 on success; 1 when INPUT cannot be read or converted or OUTPUT\n"
    "cannot be written, with one line on standard error that names the file and\n"
    "the line or byte where that applies, and no OUTPUT left behind; 2 for a bad\n"
    "command line.\n";

namespace {

bool parseNumber(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(value);
}

bool parseWhole(const char* text, long& value) {
  return parseWholeNumber(text, -2147483647, 2147483647, value);
}

// The base as the program will read it back: above 0, at most its limit.
bool validBase(double base) {
  const double written = std::strtod(formatNumber(base).c_str(), nullptr);
  return std::isfinite(base) && written > 0 && written <= maxBase;
}

}  // namespace

bool parseMelodyArgs(int argc, char** argv, MelodyCommand& command, std::string& error) {
  static const option longOptions[] = {{"track", required_argument, nullptr, 't'},
                                       {"channel", required_argument, nullptr, 'c'},
                                       {"base", required_argument, nullptr, 'b'},
                                       {"base-note", required_argument, nullptr, 'n'},
                                       {"transpose", required_argument, nullptr, 'T'},
                                       {"bend-range", required_argument, nullptr, 'B'},
                                       {"rest", required_argument, nullptr, 'r'},
                                       {"repeat", required_argument, nullptr, 'k'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  opterr = 0;  // our own messages, one line each
  optind = 0;
  MelodyOptions& o = command.options;
  bool baseGiven = false;
  int c;
  while ((c = getopt_long(argc, argv, ":h", longOptions, nullptr)) != -1) {
    long whole = 0;
    double number = 0;
    switch (c) {
      case 't':
      case 'c':
        if (!parseWhole(optarg, whole)) {
          error = std::string(c == 't' ? "--track" : "--channel") + " needs a whole number, not '" +
                  optarg + "'";
          return false;
        }
        (c == 't' ? o.track : o.channel) = static_cast<int>(whole);
        (c == 't' ? o.trackGiven : o.channelGiven) = true;
        break;
      case 'b':
      case 'n':
        if (baseGiven) {
          error = "--base and --base-note both give the base; give one";
          return false;
        }
        baseGiven = true;
        if (c == 'b') {
          if (!parseNumber(optarg, number) || !validBase(number)) {
            error = std::string("--base needs a frequency above 0 and at most ") +
                    formatNumber(maxBase) + " Hz, not '" + optarg + "'";
            return false;
          }
        } else {
          double pitch;
          if (!parseNoteName(optarg, pitch)) {
            error = std::string("--base-note needs a note name such as A3, not '") + optarg + "'";
            return false;
          }
          number = noteFrequency(pitch);
          if (!validBase(number)) {
            error = std::string("--base-note ") + optarg + " is " + formatNumber(number) +
                    " Hz; the base must be above 0 and at most " + formatNumber(maxBase) + " Hz";
            return false;
          }
        }
        o.base = number;
        break;
      case 'T':
        if (!parseNumber(optarg, o.transpose)) {
          error = std::string("--transpose needs a number of semitones, not '") + optarg + "'";
          return false;
        }
        break;
      case 'B':
        if (!parseNumber(optarg, o.bendRange) || o.bendRange < 0) {
          error = std::string("--bend-range needs a number of semitones, 0 or more, not '") +
                  optarg + "'";
          return false;
        }
        break;
      case 'r':
        if (std::strcmp(optarg, "base") == 0 || std::strcmp(optarg, "hold") == 0) {
          o.restHold = optarg[0] == 'h';
        } else {
          error = std::string("--rest takes base or hold, not '") + optarg + "'";
          return false;
        }
        break;
      case 'k':
        if (!parseWhole(optarg, whole) || whole < 1) {
          error = std::string("--repeat needs a whole number from 1 up, not '") + optarg + "'";
          return false;
        }
        o.repeat = static_cast<int>(whole);
        break;
      case 'h':
        command.help = true;
        break;
      default:
        error = optionError(c, argv);
        return false;
    }
  }
  if (command.help) return true;
  const int count = argc - optind;
  if (count != 2) {
    error = operandCountError("INPUT OUTPUT", count);
    return false;
  }
  command.inputPath = argv[optind];
  command.outputPath = argv[optind + 1];
  return true;
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

// Writes beside `path` and renames, so OUTPUT is either whole or untouched.
bool writeWhole(const std::string& path, const std::string& text, std::string& error) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  int code = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    code = errno;
  }
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    code = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    error = "cannot write " + path + ": " + std::strerror(code);
  }
  return ok;
}

}  // namespace

int runMelody(const MelodyCommand& command) {
  std::string bytes, error;
  if (!readAll(command.inputPath, bytes, error)) return fail(error);
  Melody melody;
  if (!convertInput(command.inputPath, bytes, command.options, melody, error)) return fail(error);
  const std::string text = melodyText(melody);
  if (command.outputPath == "-") {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
      return fail(std::string("cannot write to standard output: ") + std::strerror(errno));
    return melodyOk;
  }
  if (!writeWhole(command.outputPath, text, error)) return fail(error);
  return melodyOk;
}
