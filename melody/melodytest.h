// Shared by the converter's tests: MIDI files built event by event, and the
// conversion as text.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "melody.h"
#include "testsupport.h"

// One event of a MIDI file under construction: its absolute time in pulses
// and its bytes.
struct MidiEvent {
  int pulses;
  std::vector<unsigned char> bytes;
};

inline MidiEvent on(int pulses, int key, int channel = 1) {
  return {pulses,
          {static_cast<unsigned char>(0x90 | (channel - 1)), static_cast<unsigned char>(key), 100}};
}
inline MidiEvent off(int pulses, int key, int channel = 1) {
  return {pulses,
          {static_cast<unsigned char>(0x80 | (channel - 1)), static_cast<unsigned char>(key), 64}};
}
inline MidiEvent bend(int pulses, int value, int channel = 1) {
  return {pulses,
          {static_cast<unsigned char>(0xE0 | (channel - 1)),
           static_cast<unsigned char>(value & 0x7F), static_cast<unsigned char>(value >> 7)}};
}
inline MidiEvent tempo(int pulses, int microsPerQuarter) {
  return {pulses,
          {0xFF, 0x51, 3, static_cast<unsigned char>(microsPerQuarter >> 16),
           static_cast<unsigned char>(microsPerQuarter >> 8),
           static_cast<unsigned char>(microsPerQuarter)}};
}
inline MidiEvent timeSignature(int pulses, int numerator, int denominatorPower) {
  return {pulses,
          {0xFF, 0x58, 4, static_cast<unsigned char>(numerator),
           static_cast<unsigned char>(denominatorPower), 24, 8}};
}

struct MidiTrack {
  std::vector<MidiEvent> events;
  int end = 0;  // end-of-track pulse; 0: at the last event
};

inline std::string bigEndian(unsigned long value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

inline std::string variableLength(unsigned long value) {
  std::string out(1, static_cast<char>(value & 0x7F));
  while (value >>= 7) out.insert(out.begin(), static_cast<char>(0x80 | (value & 0x7F)));
  return out;
}

// A file of the given track chunks' bodies, as they are: format 0 for one
// track, 1 for more.
inline std::string midiFile(int ppqn, const std::vector<std::string>& bodies) {
  std::string file = "MThd" + bigEndian(6, 4) + bigEndian(bodies.size() == 1 ? 0 : 1, 2) +
                     bigEndian(bodies.size(), 2) + bigEndian(static_cast<unsigned long>(ppqn), 2);
  for (const std::string& body : bodies) file += "MTrk" + bigEndian(body.size(), 4) + body;
  return file;
}

// Writes the events in time order, each with its own status byte, and an
// End-of-Track event.
inline std::string buildMidi(int ppqn, const std::vector<MidiTrack>& tracks) {
  std::vector<std::string> bodies;
  for (const MidiTrack& t : tracks) {
    std::vector<MidiEvent> events = t.events;
    std::stable_sort(events.begin(), events.end(),
                     [](const MidiEvent& a, const MidiEvent& b) { return a.pulses < b.pulses; });
    std::string body;
    int last = 0;
    for (const MidiEvent& e : events) {
      body += variableLength(static_cast<unsigned long>(e.pulses - last));
      body.append(e.bytes.begin(), e.bytes.end());
      last = e.pulses;
    }
    body += variableLength(static_cast<unsigned long>(std::max(t.end, last) - last));
    body += std::string("\xFF\x2F\x00", 3);
    bodies.push_back(body);
  }
  return midiFile(ppqn, bodies);
}

inline std::string convert(const std::string& bytes, const MelodyOptions& options = {}) {
  Melody melody;
  std::string error;
  if (!convertInput("in", bytes, options, melody, error)) return "error: " + error;
  return melodyText(melody);
}

// The same, with each note's frequency in Hz as it stands for it, whatever
// unit the melody is written in: for the cases about which notes there are,
// not about how they are written.
inline std::string convertHz(const std::string& bytes, const MelodyOptions& options = {}) {
  Melody melody;
  std::string error;
  if (!convertInput("in", bytes, options, melody, error)) return "error: " + error;
  std::string text = formatNumber(options.base) + "\n";
  for (const MelodyNote& note : melody.notes) {
    text += std::to_string(note.ticks) + " " + formatNumber(note.hz) + "\n";
    if (note.repeat > 0) text += "-" + std::to_string(note.repeat) + "\n";
  }
  return text;
}

inline MelodyOptions baseNote(double hz) {
  MelodyOptions options;
  options.base = hz;
  return options;
}

inline ToolRun runMelodyTool(const TempDir& dir, const std::vector<std::string>& args) {
  return runProgram(MELODY_TOOL, dir, args);
}

inline MidiEvent controller(int pulses, int number, int value, int channel = 1) {
  return {pulses,
          {static_cast<unsigned char>(0xB0 | (channel - 1)), static_cast<unsigned char>(number),
           static_cast<unsigned char>(value)}};
}
inline MidiEvent program(int pulses, int number, int channel = 1) {
  return {
      pulses,
      {static_cast<unsigned char>(0xC0 | (channel - 1)), static_cast<unsigned char>(number - 1)}};
}
// A meta event of any length.
inline MidiEvent meta(int pulses, int type, const std::string& data) {
  MidiEvent e{pulses, {0xFF, static_cast<unsigned char>(type)}};
  const std::string length = variableLength(data.size());
  e.bytes.insert(e.bytes.end(), length.begin(), length.end());
  e.bytes.insert(e.bytes.end(), data.begin(), data.end());
  return e;
}
inline MidiEvent trackName(const std::string& name) {
  return meta(0, 0x03, name);
}
