// The MIDI reader on files that real writers produce and that once came out
// wrong, the part taken by default, --list, and each channel's bend range.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "melody.h"
#include "melodytest.h"
#include "midi.h"
#include "smf.h"

namespace {

// A4 for a quarter note, then B4 for one, at 96 pulses a quarter and the
// default 120 quarters a minute: 500 ms each.
const std::string twoNotes(
    "\x00\x90\x45\x64"
    "\x60\x80\x45\x40"
    "\x00\x90\x47\x64"
    "\x60\x80\x47\x40",
    16);
const std::string endOfTrack("\x00\xFF\x2F\x00", 4);
const std::string twoNotesMelody = "440\n500 440\n500 493.883\n";

std::string metaEvent(int type, const std::string& data) {
  return std::string("\x00\xFF", 2) + static_cast<char>(type) + variableLength(data.size()) + data;
}

std::string tempoEvent(int micros) {
  return metaEvent(0x51, bigEndian(static_cast<unsigned long>(micros), 3));
}

struct ReaderCase {
  const char* what;
  std::string file;
  std::string expected;  // the melody, or the error after "in, "
};

TEST(MidiReader, FilesRealWritersProduceReadAsTheyPlay) {
  const std::vector<ReaderCase> cases = {
      {"a text event longer than 128 bytes before the tempo",
       midiFile(96, {metaEvent(0x01, std::string(300, 'x')) + tempoEvent(250000) + twoNotes +
                     endOfTrack}),
       "440\n250 440\n250 493.883\n"},
      {"a lyric of 20000 bytes, its length in three bytes",
       midiFile(96, {metaEvent(0x05, std::string(20000, 'y')) + tempoEvent(250000) + twoNotes +
                     endOfTrack}),
       "440\n250 440\n250 493.883\n"},
      // A4, then a text event and a running-status note-off: a lost note-off
      // would hold A4 through the rest.
      {"running status after a meta event",
       midiFile(96, {std::string("\x00\x90\x45\x64", 4) + "\x60\xFF\x01\x02hi" +
                     std::string("\x00\x45\x00\x30\x90\x47\x64\x30\x47\x00", 10) + endOfTrack}),
       "440\n500 440\n250 440\n250 493.883\n"},
      {"running status after a system exclusive message",
       midiFile(96, {std::string("\x00\x90\x45\x64", 4) + "\x60\xF0\x03\x7E\x7F\xF7" +
                     std::string("\x00\x45\x00\x30\x90\x47\x64\x30\x47\x00", 10) + endOfTrack}),
       "440\n500 440\n250 440\n250 493.883\n"},
      {"an F7 escape",
       midiFile(96, {std::string("\x00\xF7\x02\xF3\x01", 5) + twoNotes + endOfTrack}),
       twoNotesMelody},
      {"a track without End-of-Track", midiFile(96, {twoNotes}), twoNotesMelody},
      {"a first track without End-of-Track, a second after it",
       midiFile(96, {tempoEvent(250000), twoNotes + endOfTrack}), "440\n250 440\n250 493.883\n"},
      {"zero bytes after the last track",
       midiFile(96, {twoNotes + endOfTrack}) + std::string(16, '\0'), twoNotesMelody},
      {"0x1A padding after the last track",
       midiFile(96, {twoNotes + endOfTrack}) + std::string(7, '\x1A'), twoNotesMelody},
      {"bytes after End-of-Track within its chunk",
       midiFile(96, {twoNotes + endOfTrack + std::string("\x00\x00\x01", 3)}), twoNotesMelody},
      {"a tempo event of the wrong length, passed over",
       midiFile(96, {metaEvent(0x51, std::string("\x03\xD0", 2)) + twoNotes + endOfTrack}),
       twoNotesMelody},
      // The header, then the chunk header: the first event's delta time is
      // byte 22.
      {"a note key of 0xC8",
       midiFile(96, {std::string("\x00\x90\xC8\x64", 4) + twoNotes + endOfTrack}),
       "error: in, byte 24: track 1: byte 0xC8 where a note-on needs a data byte (0 to 127)"},
      {"a velocity of 0x80", midiFile(96, {std::string("\x00\x90\x45\x80", 4) + endOfTrack}),
       "error: in, byte 25: track 1: byte 0x80 where a note-on needs a data byte (0 to 127)"},
      {"a pitch bend with a status byte for its second data byte",
       midiFile(96, {std::string("\x00\xE0\x00\x90\x45\x64", 6) + endOfTrack}),
       "error: in, byte 25: track 1: byte 0x90 where a pitch bend needs a data byte (0 to 127)"},
      {"a data byte before any status", midiFile(96, {std::string("\x00\x45\x64", 3) + endOfTrack}),
       "error: in, byte 23: track 1: data byte 0x45 with no status before it"},
      {"a real-time status byte", midiFile(96, {std::string("\x00\xF8", 2) + endOfTrack}),
       "error: in, byte 23: track 1: status byte 0xF8 does not belong in a MIDI file"},
      {"a delta time of five bytes",
       midiFile(96, {std::string("\x81\x80\x80\x80\x00\x90\x45\x64", 8) + endOfTrack}),
       "error: in, byte 22: track 1: a delta time longer than 4 bytes"},
      {"an event cut off by the end of its chunk", midiFile(96, {std::string("\x00\x90\x45", 3)}),
       "error: in, byte 22: track 1 ends inside this event (its chunk ends at byte 25)"},
      {"a meta event longer than its chunk",
       midiFile(96, {std::string("\x00\xFF\x01\x10"
                                 "abc",
                                 7)}),
       "error: in, byte 22: track 1: an event of 16 bytes runs past the end of its chunk at byte "
       "29"},
      {"a fault in the second track",
       midiFile(96, {endOfTrack, std::string("\x00\x90\x45\x64\x60\x80\x45\xFF", 8)}),
       "error: in, byte 41: track 2: byte 0xFF where a note-off needs a data byte (0 to 127)"},
  };
  for (const ReaderCase& c : cases) EXPECT_EQ(convertHz(c.file), c.expected) << c.what;
}

TEST(MidiReader, EventsKeepTheirBytesTimesAndMetaData) {
  const std::string file = midiFile(
      96, {metaEvent(0x03, "Lead") + std::string("\x00\xC2\x05\x83\x60\xE2\x00\x40", 8) +
           std::string("\x00\xF0\x02\x01\xF7", 5) + std::string("\x10\x00\x00", 3) + endOfTrack});
  SmfFile smf;
  SmfError error;
  ASSERT_TRUE(readSmf(file, smf, error)) << error.what;
  ASSERT_EQ(smf.tracks.size(), 1u);
  const std::vector<SmfEvent>& e = smf.tracks[0].events;
  ASSERT_EQ(e.size(), 6u);
  EXPECT_EQ(e[0].status, 0xFF);
  EXPECT_EQ(e[0].data1, 0x03);
  EXPECT_EQ(e[0].payload, "Lead");
  EXPECT_EQ(e[1].status, 0xC2);
  EXPECT_EQ(e[1].data1, 5);
  // A two-byte delta time, and a pitch bend's two data bytes.
  EXPECT_EQ(e[2].pulses, 480);
  EXPECT_EQ(e[2].status, 0xE2);
  EXPECT_EQ(e[2].data2, 0x40);
  EXPECT_EQ(e[2].offset, 22u + 8 + 3);
  EXPECT_EQ(e[3].status, 0xF0);
  // Running status through the system exclusive message.
  EXPECT_EQ(e[4].pulses, 496);
  EXPECT_EQ(e[4].status, 0xE2);
  EXPECT_EQ(smf.tracks[0].endPulses, 496);
}

// One part: a track of notes on a channel, with a name and a program.
struct PartPlan {
  std::string name;
  int channel;
  std::vector<int> keys;  // a chord when more than one
  int program = 1;
  int count = 8;  // how often the chord is struck, a quarter each
  int start = 0;  // in quarters
};

std::string partsFile(const std::vector<PartPlan>& parts) {
  std::vector<MidiTrack> tracks;
  for (const PartPlan& p : parts) {
    MidiTrack track;
    if (!p.name.empty()) track.events.push_back(trackName(p.name));
    track.events.push_back(program(0, p.program, p.channel));
    for (int i = 0; i < p.count; ++i) {
      const int at = (p.start + i) * 96;
      for (int key : p.keys) {
        track.events.push_back(on(at, key, p.channel));
        track.events.push_back(off(at + 96, key, p.channel));
      }
    }
    tracks.push_back(track);
  }
  return buildMidi(96, tracks);
}

struct RuleCase {
  const char* what;
  std::vector<PartPlan> parts;
  std::string taken;  // the line's start, or the error
};

TEST(MidiDefaultPart, TheMelodyIsTakenNeitherDrumsNorBass) {
  const std::vector<RuleCase> cases = {
      {"a track named for the melody over a higher one",
       {{"Piano", 1, {84}}, {"Lead Vocal", 2, {72}}, {"Strings", 3, {60, 64, 67}}},
       "took track 2 \"Lead Vocal\", channel 2: named for the melody"},
      {"drums by channel and by name, bass by name and by program",
       {{"", 10, {81}},
        {"Drums", 6, {84}},
        {"Fretless Bass", 3, {79}},
        {"Synth", 4, {55}, 34},
        {"Flute", 5, {67}}},
       "took track 5 \"Flute\", channel 5: the highest mostly monophonic part"},
      {"a bass program high up is a lead",
       {{"", 1, {60, 64}}, {"", 2, {84}, 39}},
       "took track 2, channel 2: the highest mostly monophonic part"},
      {"a low line is passed over while anything plays above it",
       {{"", 1, {36}}, {"", 2, {60, 64, 67}}},
       "took track 2, channel 2: the highest part that is neither drums nor bass"},
      {"mostly monophonic over higher chords",
       {{"", 1, {72, 76, 79}}, {"", 2, {67}}},
       "took track 2, channel 2: the highest mostly monophonic part"},
      {"a fragment is no melody",
       {{"", 1, {96}, 1, 1}, {"", 2, {72}, 1, 16}},
       "took track 2, channel 2: the highest mostly monophonic part"},
      {"only drums and bass: the highest that is not drums",
       {{"Percussion", 5, {60}}, {"Bass", 2, {40}}, {"", 10, {70}}},
       "took track 2 \"Bass\", channel 2: the highest part that is not drums"},
      {"only tracks named for drums: the highest off channel 10",
       {{"Percussion", 5, {60}}, {"", 10, {70}}},
       "took track 1 \"Percussion\", channel 5: the highest part off channel 10"},
      {"only channel 10",
       {{"", 10, {60}}},
       "in: no notes on any track (channel 10, the drums, is skipped unless --channel 10 is "
       "given)"},
  };
  for (const RuleCase& c : cases) {
    Melody melody;
    std::string error;
    const bool converted = convertInput("in", partsFile(c.parts), {}, melody, error);
    const std::string said = converted ? melody.taken : error;
    EXPECT_EQ(said.rfind(c.taken, 0), 0u) << c.what << ": " << said;
  }
}

TEST(MidiDefaultPart, FormatZeroGivesAChannelNotTheWholeTrack) {
  // Melody on channel 1, a bass program on 2, drums on 10, all in one track.
  MidiTrack track;
  track.events = {program(0, 33, 2)};
  for (int i = 0; i < 4; ++i) {
    track.events.push_back(on(96 * i, 72 + i, 1));
    track.events.push_back(off(96 * i + 96, 72 + i, 1));
    track.events.push_back(on(96 * i, 40, 2));
    track.events.push_back(off(96 * i + 96, 40, 2));
    track.events.push_back(on(96 * i, 88, 10));
    track.events.push_back(off(96 * i + 48, 88, 10));
  }
  Melody melody;
  std::string error;
  ASSERT_TRUE(convertInput("in", buildMidi(96, {track}), baseNote(261.626), melody, error))
      << error;
  EXPECT_EQ(melody.taken.rfind("took track 1, channel 1:", 0), 0u) << melody.taken;
  ASSERT_EQ(melody.notes.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(melody.notes[i].hz, noteFrequency(72 + i));
}

TEST(MidiListing, EveryPartWithItsNameChannelNotesRangeAndMonophony) {
  std::vector<PartPlan> parts = {
      {"Conductor", 1, {}, 1, 0}, {"Flute", 2, {72}}, {"Piano", 3, {60, 64, 67}},
      {"Bass", 4, {40}},          {"", 10, {42}},
  };
  std::string file = partsFile(parts);
  SmfFile smf;
  std::string error;
  ASSERT_TRUE(loadMidi("song.mid", file, smf, error)) << error;
  EXPECT_EQ(listMidi("song.mid", smf, findParts(smf)),
            "song.mid: format 1, 5 tracks\n"
            "  track channel notes range     mono chords  name\n"
            "      1       -     0 -         -         -  \"Conductor\"\n"
            "*     2       2     8 C5-C5     yes      0%  \"Flute\"\n"
            "      3       3    24 C4-G4     no     100%  \"Piano\"\n"
            "      4       4     8 E2-E2     yes      0%  \"Bass\" (bass)\n"
            "      5      10     8 F#2-F#2   yes      0%  (drums)\n"
            "* the default: track 2, channel 2, the highest mostly monophonic part, neither "
            "drums nor bass\n");
}

TEST(MidiListing, NamesArePrintableAndPolyphonyIsMeasuredInTime) {
  // A name in Latin-1 and with a control character; a part that holds a
  // drone under a tune for a quarter of its sounding time.
  MidiTrack track{{meta(0, 0x03, "Sp\xF8r\t1 \xC3\xA9t\xC3\xA9"), on(0, 48), off(96, 48)}};
  for (int i = 0; i < 4; ++i) {
    track.events.push_back(on(96 + 96 * i, 72));
    track.events.push_back(off(96 + 96 * i + 96, 72));
  }
  track.events.push_back(on(96, 48));
  track.events.push_back(off(192, 48));
  SmfFile smf;
  std::string error;
  ASSERT_TRUE(loadMidi("in", buildMidi(96, {track}), smf, error)) << error;
  const std::vector<MidiPart> parts = findParts(smf);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].name, "Sp?r 1 \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(parts[0].notes, 6);
  EXPECT_DOUBLE_EQ(parts[0].polyphony, 0.2);  // 96 of 480 pulses
  EXPECT_EQ(parts[0].sounding, 480);
}

// A4 bent halfway up for its whole length, after the file's own set-up.
std::string bentFile(const std::vector<MidiEvent>& setUp, int channel = 1) {
  std::vector<MidiEvent> notes = {bend(0, 8192 + 4096, channel), on(0, 69, channel),
                                  off(192, 69, channel)};
  // The set-up in a conductor track: a channel's state holds for every track.
  return buildMidi(96, {{setUp}, {notes}});
}

std::vector<MidiEvent> sensitivity(int semitones, int cents, int channel = 1) {
  return {controller(0, 101, 0, channel), controller(0, 100, 0, channel),
          controller(0, 6, semitones, channel), controller(0, 38, cents, channel)};
}

TEST(MidiBendRange, EachChannelTakesTheRangeTheFileSets) {
  struct Case {
    const char* what;
    std::vector<MidiEvent> setUp;
    bool override;
    double semitones;  // the note's bend: half the range
  };
  std::vector<MidiEvent> nonRegistered = {controller(0, 99, 0), controller(0, 98, 0),
                                          controller(0, 6, 12)};
  std::vector<MidiEvent> deselected = sensitivity(12, 0);
  deselected.insert(deselected.end(),
                    {controller(0, 101, 127), controller(0, 100, 127), controller(0, 6, 7)});
  std::vector<MidiEvent> otherChannel = sensitivity(12, 0, 2);
  std::vector<MidiEvent> reset = sensitivity(12, 0);
  reset.push_back(controller(0, 121, 0));
  reset.push_back(controller(0, 6, 7));
  const std::vector<Case> cases = {
      {"no range set: two semitones", {}, false, 1},
      {"twelve semitones", sensitivity(12, 0), false, 6},
      {"one semitone and fifty cents", sensitivity(1, 50), false, 0.75},
      {"--bend-range over the file's own", sensitivity(12, 0), true, 0.5},
      {"a non-registered parameter's data", nonRegistered, false, 1},
      {"data after the parameter is deselected", deselected, false, 6},
      {"another channel's range", otherChannel, false, 1},
      {"reset all controllers keeps the range", reset, false, 6},
  };
  for (const Case& c : cases) {
    MelodyOptions options;
    if (c.override) {
      options.bendRangeGiven = true;
      options.bendRange = 1;
    }
    Melody melody;
    std::string error;
    ASSERT_TRUE(convertInput("in", bentFile(c.setUp), options, melody, error)) << error;
    ASSERT_EQ(melody.notes.size(), 1u) << c.what;
    EXPECT_NEAR(melody.notes[0].hz, noteFrequency(69 + c.semitones), 1e-9) << c.what;
  }
}

TEST(MidiBendRange, ResetAllControllersCentresTheBend) {
  const std::string file =
      buildMidi(96, {{{bend(0, 16383), on(0, 69), controller(96, 121, 0), off(192, 69)}}});
  // Half the note bent a whole range (2 semitones, less one step) up, half not.
  EXPECT_EQ(convertHz(file), "440\n1000 " + formatNumber(noteFrequency(69 + 8191 / 8192.0)) + "\n");
}

}  // namespace
