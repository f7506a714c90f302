// What both sources share: note names, frequencies, the finishing of the
// melody and its text.
#include "melody.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

double noteFrequency(double pitch) {
  return 440.0 * std::exp2((pitch - 69.0) / 12.0);
}

namespace {

// Accidentals, longest spelling first so that a UTF-8 sign is not read as
// its first byte.
struct Accidental {
  const char* text;
  int semitones;
};
constexpr Accidental accidentals[] = {
    {"\xF0\x9D\x84\xAA", 2},   // double sharp sign
    {"\xF0\x9D\x84\xAB", -2},  // double flat sign
    {"\xE2\x99\xAF", 1},       // sharp sign
    {"\xE2\x99\xAD", -1},      // flat sign
    {"\xE2\x99\xAE", 0},       // natural sign
    {"#", 1},
    {"b", -1},
    {"x", 2},
};

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool parseNoteName(const std::string& name, double& pitch) {
  static const int classes[] = {9, 11, 0, 2, 4, 5, 7};  // A to G
  if (name.empty()) return false;
  char letter = name[0];
  if (letter >= 'a' && letter <= 'g') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'G') return false;
  int semitones = classes[letter - 'A'];
  std::size_t at = 1;
  for (bool found = true; found;) {
    found = false;
    for (const Accidental& a : accidentals) {
      const std::size_t length = std::strlen(a.text);
      if (name.compare(at, length, a.text) == 0) {
        semitones += a.semitones;
        at += length;
        found = true;
        break;
      }
    }
  }
  // The octave: a whole number, negative below C0.
  bool negative = false;
  if (at < name.size() && name[at] == '-' && at + 1 < name.size() && isDigit(name[at + 1])) {
    negative = true;
    ++at;
  }
  const std::size_t octaveStart = at;
  while (at < name.size() && isDigit(name[at])) ++at;
  if (at == octaveStart || at - octaveStart > 3) return false;
  int octave = std::atoi(name.substr(octaveStart, at - octaveStart).c_str());
  if (negative) octave = -octave;
  // Optional cents: +30, -12.5, +30c.
  double cents = 0;
  if (at < name.size() && (name[at] == '+' || name[at] == '-')) {
    const std::size_t signAt = at++;
    const std::size_t digitsStart = at;
    while (at < name.size() && isDigit(name[at])) ++at;
    if (at < name.size() && name[at] == '.') {
      ++at;
      while (at < name.size() && isDigit(name[at])) ++at;
    }
    if (at == digitsStart || (at == digitsStart + 1 && name[digitsStart] == '.')) return false;
    cents = std::strtod(name.substr(signAt, at - signAt).c_str(), nullptr);
    if (at < name.size() && name[at] == 'c') ++at;
  }
  if (at != name.size()) return false;
  pitch = 12.0 * (octave + 1) + semitones + cents / 100.0;
  return true;
}

std::string midiNoteName(int key) {
  static const char* const names[] = {"C",  "C#", "D",  "D#", "E",  "F",
                                      "F#", "G",  "G#", "A",  "A#", "B"};
  return std::string(names[key % 12]) + std::to_string(key / 12 - 1);
}

std::string formatNumber(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%.3f", value);
  std::string s = text;
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

namespace {

std::string place(const std::string& name, const std::string& where) {
  return where.empty() ? name + ": " : name + ", " + where + ": ";
}

// Plays each of the melody's own sections as often as its count says, so
// that the whole can be wrapped in one more section (sections do not nest).
bool unrollSections(std::vector<MelodyNote>& notes, std::string& error) {
  constexpr std::size_t maxNotes = 1000000;
  std::vector<MelodyNote> flat;
  std::size_t sectionStart = 0;
  for (std::size_t i = 0; i < notes.size(); ++i) {
    flat.push_back({notes[i].ticks, notes[i].frequency, 0, notes[i].hz});
    if (notes[i].repeat <= 0) continue;
    for (int k = 1; k < notes[i].repeat; ++k) {
      if (flat.size() + (i + 1 - sectionStart) > maxNotes) {
        error = "--repeat would unroll the melody's own repeats into more than " +
                std::to_string(maxNotes) + " notes";
        return false;
      }
      for (std::size_t j = sectionStart; j <= i; ++j)
        flat.push_back({notes[j].ticks, notes[j].frequency, 0, notes[j].hz});
    }
    sectionStart = i + 1;
  }
  notes.swap(flat);
  return true;
}

}  // namespace

namespace {

// The frequency a span stands for, in Hz, or false with the reason.
bool spanFrequency(const std::string& name, const Span& span, const MelodyOptions& options,
                   double base, double limit, double& hz, std::string& error) {
  hz = noteFrequency(span.pitch + options.transpose);
  const std::string at = place(name, span.where);
  if (!std::isfinite(hz)) {
    error = at + "the note's frequency is not a finite number";
    return false;
  }
  const double written = std::strtod(formatNumber(hz).c_str(), nullptr);
  // The program narrows frequencies to single precision.
  const double stored = static_cast<double>(static_cast<float>(written));
  if (!(stored > 0)) {
    error = at + "the note's frequency " + formatNumber(hz) +
            " Hz is too low to be written (it must be above 0)";
    return false;
  }
  if (!(stored <= limit)) {
    error = at + "the note's frequency " + formatNumber(written) +
            " Hz is above what the program plays at base " + formatNumber(base) + " Hz: at most " +
            std::to_string(limitFramesPerBuffer) + " x base = " + formatNumber(limit) + " Hz";
    return false;
  }
  return true;
}

// Writes the base and every note in the unit that holds them, `factor`
// times their frequencies: the same numbers as in Hz when that is 1.
void writeInUnit(Melody& melody, double base, int factor) {
  auto written = [](double value) { return std::strtod(formatNumber(value).c_str(), nullptr); };
  melody.base = written(factor * base);
  for (MelodyNote& note : melody.notes) note.frequency = written(factor * note.hz);
}

}  // namespace

bool finishMelody(const std::string& name, const std::vector<Span>& spans,
                  const MelodyOptions& options, Melody& melody, std::string& error) {
  // Everything is checked against the numbers as written, which are what
  // the program will read.
  const double base = std::strtod(formatNumber(options.base).c_str(), nullptr);
  melody.notes.clear();
  const double limit = static_cast<double>(limitFramesPerBuffer) * base;
  bool haveNote = false;
  double previous = 0;
  std::size_t sectionStart = 0;
  for (const Span& span : spans) {
    const long long ticks = span.end - span.start;
    if (ticks <= 0) {
      // Shorter than half a tick: gone, but a repetition count it carried
      // still closes its section.
      if (span.repeat > 0 && melody.notes.size() > sectionStart)
        melody.notes.back().repeat = span.repeat;
      if (span.repeat > 0) sectionStart = melody.notes.size();
      continue;
    }
    double hz;
    if (span.rest) {
      hz = options.restHold && haveNote ? previous : options.base;
    } else {
      if (!spanFrequency(name, span, options, base, limit, hz, error)) return false;
      haveNote = true;
      previous = hz;
    }
    melody.notes.push_back({ticks, 0, span.repeat, hz});
    if (span.repeat > 0) sectionStart = melody.notes.size();
  }
  if (melody.notes.empty()) {
    error = name + ": the melody is shorter than one tick (1 ms)";
    return false;
  }
  std::vector<double> hz;
  for (const MelodyNote& note : melody.notes) hz.push_back(note.hz);
  melody.unit = chooseUnit(options.base, hz);
  writeInUnit(melody, options.base, melody.unit.factor);
  if (options.repeat > 1) {
    bool ownSections = false;
    for (const MelodyNote& note : melody.notes) ownSections = ownSections || note.repeat > 0;
    if (ownSections && !unrollSections(melody.notes, error)) {
      error = name + ": " + error;
      return false;
    }
    melody.notes.back().repeat = options.repeat;
  }
  return true;
}

std::string melodyText(const Melody& melody) {
  std::string text = formatNumber(melody.base) + "\n";
  for (const MelodyNote& note : melody.notes) {
    text += std::to_string(note.ticks) + " " + formatNumber(note.frequency) + "\n";
    if (note.repeat > 0) text += "-" + std::to_string(note.repeat) + "\n";
  }
  return text;
}

bool convertInput(const std::string& name, const std::string& bytes, const MelodyOptions& options,
                  Melody& melody, std::string& error) {
  if (bytes.compare(0, 4, "MThd") == 0) return convertMidi(name, bytes, options, melody, error);
  return convertNoteNames(name, bytes, options, melody, error);
}
