// What the converter makes of a MIDI file's tracks: its parts (the notes of
// one channel in one track), the one it takes by default and the listing.
#pragma once

#include <string>
#include <vector>

#include "smf.h"

struct MidiPart {
  int track = 0;     // from 1
  int channel = 0;   // 1 to 16
  std::string name;  // the track's name, printable; empty without one
  int notes = 0;
  int lowest = 127;  // MIDI keys
  int highest = 0;
  double meanKey = 0;       // over its notes
  double polyphony = 0;     // share of its sounding time with two notes or more
  long long sounding = 0;   // pulses with any of its notes sounding
  int program = 1;          // General MIDI program (1 to 128) at its first note
  bool drums = false;       // channel 10, or a track named for drums
  bool bass = false;        // named for the bass, or a bass program (33 to 40)
  bool melodyName = false;  // the track is named for the melody
};

// A part counts as monophonic while at most this share of its sounding time
// has two notes or more (legato overlaps, a grace note).
constexpr double monophonicShare = 0.1;
// ... and as mostly monophonic, for the default, up to this share.
constexpr double mostlyMonophonicShare = 0.25;
// Below this mean key (C3) a part plays in the bass's register.
constexpr double bassRegister = 48;

// The file, read; on failure one line naming `name` and the byte.
bool loadMidi(const std::string& name, const std::string& bytes, SmfFile& file, std::string& error);

// The parts in track order, then channel order.
std::vector<MidiPart> findParts(const SmfFile& file);

// The track's first name event, made printable; empty without one.
std::string trackName(const SmfTrack& track);

// The part the converter takes when neither --track nor --channel is given,
// and in a few words why; -1 when no part qualifies (only drums).
struct PartChoice {
  int index = -1;
  std::string reason;
};
PartChoice defaultPart(const std::vector<MidiPart>& parts);

// --list: one line per part (and per track without notes), the default marked.
std::string listMidi(const std::string& name, const SmfFile& file,
                     const std::vector<MidiPart>& parts);
