#include "melody.h"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <smf.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "pitch.h"
#include "testsupport.h"

namespace {

// One event of a MIDI file under construction: its absolute time in pulses
// and its bytes.
struct MidiEvent {
  int pulses;
  std::vector<unsigned char> bytes;
};

MidiEvent on(int pulses, int key, int channel = 1) {
  return {pulses,
          {static_cast<unsigned char>(0x90 | (channel - 1)), static_cast<unsigned char>(key), 100}};
}
MidiEvent off(int pulses, int key, int channel = 1) {
  return {pulses,
          {static_cast<unsigned char>(0x80 | (channel - 1)), static_cast<unsigned char>(key), 64}};
}
MidiEvent bend(int pulses, int value, int channel = 1) {
  return {pulses,
          {static_cast<unsigned char>(0xE0 | (channel - 1)),
           static_cast<unsigned char>(value & 0x7F), static_cast<unsigned char>(value >> 7)}};
}
MidiEvent tempo(int pulses, int microsPerQuarter) {
  return {pulses,
          {0xFF, 0x51, 3, static_cast<unsigned char>(microsPerQuarter >> 16),
           static_cast<unsigned char>(microsPerQuarter >> 8),
           static_cast<unsigned char>(microsPerQuarter)}};
}
MidiEvent timeSignature(int pulses, int numerator, int denominatorPower) {
  return {pulses,
          {0xFF, 0x58, 4, static_cast<unsigned char>(numerator),
           static_cast<unsigned char>(denominatorPower), 24, 8}};
}

struct MidiTrack {
  std::vector<MidiEvent> events;
  int end = 0;  // end-of-track pulse; 0: at the last event
};

// Builds the file with libsmf's own writer and returns its bytes.
std::string buildMidi(int ppqn, const std::vector<MidiTrack>& tracks) {
  TempDir dir;
  smf_t* smf = smf_new();
  EXPECT_EQ(smf_set_ppqn(smf, ppqn), 0);
  for (const MidiTrack& t : tracks) {
    smf_track_t* track = smf_track_new();
    smf_add_track(smf, track);
    std::vector<MidiEvent> events = t.events;
    std::stable_sort(events.begin(), events.end(),
                     [](const MidiEvent& a, const MidiEvent& b) { return a.pulses < b.pulses; });
    for (const MidiEvent& e : events) {
      smf_event_t* event = smf_event_new_from_pointer(const_cast<unsigned char*>(e.bytes.data()),
                                                      static_cast<int>(e.bytes.size()));
      smf_track_add_event_pulses(track, event, e.pulses);
    }
    const int last = events.empty() ? 0 : events.back().pulses;
    EXPECT_EQ(smf_track_add_eot_pulses(track, std::max(t.end, last)), 0);
  }
  const std::string path = dir.file("built.mid");
  EXPECT_EQ(smf_save(smf, path.c_str()), 0);
  smf_delete(smf);
  return readFile(path);
}

std::string convert(const std::string& bytes, const MelodyOptions& options = {}) {
  Melody melody;
  std::string error;
  if (!convertInput("in", bytes, options, melody, error)) return "error: " + error;
  return melodyText(melody);
}

MelodyOptions baseNote(double hz) {
  MelodyOptions options;
  options.base = hz;
  return options;
}

TEST(MidiTiming, TempoChangesMidNoteAcrossTracks) {
  // A conductor track with the tempo map, the notes in the second track.
  // C4 is one quarter at 120 and one at 60; D4 starts at 60 and turns to 90
  // a twelfth of a quarter later.
  const std::string midi =
      buildMidi(480, {{{tempo(0, 500000), tempo(480, 1000000), tempo(1000, 666667)}},
                      {{on(0, 60), off(960, 60), on(960, 62), off(1200, 62)}}});
  EXPECT_EQ(convert(midi, baseNote(261.626)),
            "261.626\n"
            "1500 261.626\n"
            "361 293.665\n");  // 83.333 + 277.778 ms, ending at 1861.111
}

TEST(MidiTiming, TimeSignaturesLeaveThePulseAlone) {
  // A 3/4 bar of one dotted half, then a 6/8 bar: its eighths last an eighth
  // of the tempo's quarter, not a beat each.
  const std::string midi = buildMidi(
      480, {{{timeSignature(0, 3, 2), tempo(0, 500000), on(0, 69), off(1440, 69),
              timeSignature(1440, 6, 3), on(1440, 71), off(1680, 71), on(1680, 72), off(1920, 72)},
             2880}});
  EXPECT_EQ(convert(midi),
            "440\n"
            "1500 440\n"
            "250 493.883\n"
            "250 523.251\n"
            "1000 440\n");  // the rest of the 6/8 bar
}

TEST(MidiTiming, SmpteDivisionCountsFramesNotQuarters) {
  std::string midi =
      buildMidi(96, {{{tempo(0, 1000000), on(0, 69), off(100, 69), on(100, 57), off(400, 57)}}});
  // 25 frames a second of 40 pulses: a pulse is 1 ms, whatever the tempo.
  midi[12] = static_cast<char>(-25);
  midi[13] = 40;
  EXPECT_EQ(convert(midi), "440\n100 440\n300 220\n");
  // 29 is 30 drop-frame, 29.97 frames a second: 300 pulses of 10 a frame.
  midi[12] = static_cast<char>(-29);
  midi[13] = 10;
  EXPECT_EQ(convert(midi), "440\n334 440\n1001 220\n");  // 333.667 ms, then to 1334.667
}

TEST(MidiTiming, AThousandNotesEndWithinATickOfTheFile) {
  // Each note 10 pulses at 96 a quarter and 120 a minute: 52.083 ms. Rounded
  // one by one they would lose 83 ms.
  MidiTrack track;
  for (int i = 0; i < 1000; ++i) {
    track.events.push_back(on(10 * i, i % 2 ? 62 : 60));
    track.events.push_back(off(10 * i + 10, i % 2 ? 62 : 60));
  }
  const std::string midi = buildMidi(96, {track});
  const std::string text = convert(midi, baseNote(261.626));
  // Twelve notes make 625 ms exactly; the sixth ends on a half tick.
  const int pattern[12] = {52, 52, 52, 52, 52, 53, 52, 52, 52, 52, 52, 52};
  std::string expected = "261.626\n";
  long long total = 0;
  for (int i = 0; i < 1000; ++i) {
    expected += std::to_string(pattern[i % 12]) + (i % 2 ? " 293.665\n" : " 261.626\n");
    total += pattern[i % 12];
  }
  EXPECT_EQ(text, expected);
  smf_t* smf = smf_load_from_memory(midi.data(), static_cast<int>(midi.size()));
  ASSERT_NE(smf, nullptr);
  EXPECT_LE(std::fabs(static_cast<double>(total) - smf_get_length_seconds(smf) * 1000), 1.0)
      << total;
  smf_delete(smf);
}

TEST(MidiTiming, OtherChunksAndLongerHeadersArePassedOver) {
  std::string midi = buildMidi(100, {{{on(0, 69), off(100, 69)}}});
  // A vendor's chunk between the header and the track.
  midi.insert(14, std::string("XFIH\0\0\0\4abcd", 12));
  EXPECT_EQ(convert(midi), "440\n500 440\n");
  // A header longer than six bytes, as later versions of the format may write.
  midi[7] = 8;
  midi.insert(14, "\0\0", 2);
  EXPECT_EQ(convert(midi), "440\n500 440\n");
}

TEST(MidiNotes, RunningStatusAndVelocityZeroEndNotes) {
  // Written by hand the way many sequencers write: one status byte for a
  // run of note events, a note-on of velocity 0 for each note-off.
  const std::string track(
      "\x00\xFF\x51\x03\x07\xA1\x20"
      "\x00\x90\x45\x64"
      "\x60\x45\x00"
      "\x00\x47\x64"
      "\x60\x47\x00"
      "\x00\xFF\x2F\x00",
      24);
  const std::string midi = std::string("MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\x18", 22) + track;
  EXPECT_EQ(convert(midi), "440\n500 440\n500 493.883\n");
}

TEST(MidiNotes, TheHighestSoundingNoteWins) {
  // 100 pulses a quarter at 120: a pulse is 5 ms. C4 holds for a whole
  // note; E4 sounds above it for a while, then G3 below it and on; A4 is
  // struck twice, legato, in the order on-then-off at the shared pulse.
  const std::string midi =
      buildMidi(100, {{{on(0, 60), on(100, 64), off(150, 64), on(150, 55), off(200, 60),
                        off(300, 55), on(300, 69), on(400, 69), off(400, 69), off(500, 69)}}});
  EXPECT_EQ(convert(midi, baseNote(220)),
            "220\n"
            "500 261.626\n"
            "250 329.628\n"
            "250 261.626\n"  // C4 heard again once E4 ends
            "500 195.998\n"
            "500 440\n"
            "500 440\n");  // the second stroke is a note of its own
}

TEST(MidiNotes, RestsTakeTheBaseOrHoldThePreviousNote) {
  // A rest before the first note, one between notes, one to the file's end.
  const std::string midi =
      buildMidi(100, {{{on(50, 69), off(100, 69), on(200, 67), off(300, 67)}, 400}});
  MelodyOptions options = baseNote(220);
  EXPECT_EQ(convert(midi, options), "220\n250 220\n250 440\n500 220\n500 391.995\n500 220\n");
  options.restHold = true;
  EXPECT_EQ(convert(midi, options), "220\n250 220\n250 440\n500 440\n500 391.995\n500 391.995\n");
  // Transposed, and played three times in all.
  options.transpose = -12;
  options.repeat = 3;
  EXPECT_EQ(convert(midi, options),
            "220\n250 220\n250 220\n500 220\n500 195.998\n500 195.998\n-3\n");
}

TEST(MidiNotes, TracksAndChannelsChooseTheLine) {
  // Track 1 has only drums; track 2 the melody on channel 1 and a loud
  // high drum; track 3 a bass on channel 2.
  const std::string midi =
      buildMidi(100, {{{on(0, 42, 10), off(100, 42, 10)}},
                      {{on(0, 69), off(100, 69), on(0, 81, 10), off(50, 81, 10)}},
                      {{on(0, 45, 2), off(200, 45, 2)}}});
  MelodyOptions options = baseNote(220);
  EXPECT_EQ(convert(midi, options), "220\n500 440\n500 220\n");
  options.trackGiven = true;
  options.track = 3;
  EXPECT_EQ(convert(midi, options), "220\n1000 110\n");
  options.trackGiven = false;
  options.channelGiven = true;
  options.channel = 2;
  EXPECT_EQ(convert(midi, options), "220\n1000 110\n");
  // The drums of every track, or of one.
  options.channel = 10;
  EXPECT_EQ(convert(midi, options), "220\n250 880\n250 92.499\n500 220\n");
  options.trackGiven = true;
  options.track = 2;
  EXPECT_EQ(convert(midi, options), "220\n250 880\n750 220\n");
}

TEST(MidiNotes, PitchBendIsAveragedOverEachNote) {
  // A4 bends up a semitone halfway through, B4 keeps the bend (C5), C5
  // starts after the bend is reset; a bend on another channel changes
  // nothing here.
  const std::string midi =
      buildMidi(100, {{{on(0, 69), bend(100, 8192 + 4096), off(200, 69), on(200, 71), off(300, 71),
                        bend(300, 8192), bend(300, 0, 2), on(300, 72), off(400, 72)}}});
  EXPECT_EQ(convert(midi), "440\n1000 452.893\n500 523.251\n500 523.251\n");
  MelodyOptions options;
  options.bendRange = 12;  // half of six semitones
  EXPECT_EQ(convert(midi, options), "440\n1000 523.251\n500 698.456\n500 523.251\n");
}

TEST(NoteNames, EveryAccidentalAndCentsForm) {
  const std::string text =
      "# accidentals\n"
      "C4 100 C#4 100 Db4 100 C##4 100 Cx4 100 Dbb4 100 c4 100 bb3 100 B#3 100\n"
      "C\xE2\x99\xAF"
      "4 100 D\xE2\x99\xAD"
      "4 100 C\xE2\x99\xAE"
      "4 100\n"
      "C\xF0\x9D\x84\xAA"
      "4 100 D\xF0\x9D\x84\xAB"
      "4 100\n"
      "# cents\n"
      "A4+30 100 A4-30 100 A4+12.5 100 A4+50c 100 A4+.5 100\n"
      "# octaves at both ends, a rest\n"
      "C-1 100 C-1+100 100 G9 100 R 100\n";
  EXPECT_EQ(convert(text),
            "440\n"
            "100 261.626\n100 277.183\n100 277.183\n100 293.665\n100 293.665\n"
            "100 261.626\n100 261.626\n100 233.082\n100 261.626\n"
            "100 277.183\n100 277.183\n100 261.626\n"
            "100 293.665\n100 261.626\n"
            "100 447.691\n100 432.441\n100 443.188\n100 452.893\n100 440.127\n"
            "100 8.176\n100 8.662\n100 12543.854\n100 440\n");
}

TEST(NoteNames, DurationsRepeatsAndOptions) {
  // Thirds of a second add up to a second; "ms" may follow a duration; a
  // second count replaces the first.
  const std::string text =
      "A4 333.333 B4 333.333ms\tC5 333.334\n-2\n"
      "R 250 -3 -2\n"
      "A3 0.4 E4 100 -1\n";
  MelodyOptions options = baseNote(220);
  EXPECT_EQ(convert(text, options),
            "220\n333 440\n334 493.883\n333 523.251\n-2\n250 220\n-2\n100 329.628\n-1\n");
  // The 0.4 ms A3 ends on 1250.4 and vanishes; holding a rest keeps C5.
  options.restHold = true;
  options.transpose = 0.5;
  EXPECT_EQ(convert(text, options),
            "220\n333 452.893\n334 508.355\n333 538.584\n-2\n250 538.584\n-2\n100 339.286\n-1\n");
  // A repeat of the whole writes the sections out in full.
  options = baseNote(220);
  options.repeat = 2;
  EXPECT_EQ(convert("A4 100 -2 B4 50\n", options), "220\n100 440\n100 440\n50 493.883\n-2\n");
  EXPECT_EQ(convert("A4 100 B4 50", options), "220\n100 440\n50 493.883\n-2\n");
}

TEST(NoteNames, AByteOrderMarkAtTheStartIsSkipped) {
  const std::string mark = "\xEF\xBB\xBF";
  EXPECT_EQ(convert(mark + "A4 100 E5 50\n"), "440\n100 440\n50 659.255\n");
  EXPECT_EQ(convert(mark + "# a comment\nA4 100\n"), "440\n100 440\n");
  // Anywhere else it is no note, and lines are counted as before.
  EXPECT_EQ(convert(mark + "\nA4 100 " + mark + "B4 100\n"),
            "error: in, line 2: unknown note name '\xEF\xBB\xBF"
            "B4'");
  EXPECT_EQ(convert(mark), "error: in: no notes");
}

TEST(NoteNames, ParserRefusesWhatIsNotANote) {
  double pitch = 0;
  EXPECT_TRUE(parseNoteName("A4", pitch));
  EXPECT_DOUBLE_EQ(pitch, 69);
  EXPECT_TRUE(parseNoteName("Gb-1-25", pitch));
  EXPECT_DOUBLE_EQ(pitch, 5.75);
  for (const char* bad : {"", "H4", "A", "4", "Ab", "A4x", "A4+", "A4+.", "A4+3cc", "A1000", "A#b#",
                          "A 4", "R", "A4++3"})
    EXPECT_FALSE(parseNoteName(bad, pitch)) << bad;
}

ToolRun runMelodyTool(const TempDir& dir, const std::vector<std::string>& args) {
  return runProgram(MELODY_TOOL, dir, args);
}

TEST(MelodyCommandLine, BadInputGetsOneLineStatus1AndNoOutput) {
  TempDir dir;
  const std::string midi = buildMidi(
      100, {{{on(0, 42, 10), off(100, 42, 10)}}, {{on(0, 69), off(100, 69), on(100, 127)}, 200}});
  const std::string song = dir.write("song.mid", midi);
  std::string cut = midi.substr(0, midi.size() - 5);
  const std::string truncated = dir.write("cut.mid", cut);
  std::string twoTracks = midi;
  twoTracks[11] = 3;  // the header announces one more track than there is
  const std::string missing = dir.write("missing.mid", twoTracks);
  std::string format2 = midi;
  format2[9] = 2;
  const std::string independent = dir.write("format2.mid", format2);
  std::string shortHeader = midi;
  shortHeader[7] = 2;
  const std::string badHeader = dir.write("header.mid", shortHeader);
  std::string garbage = midi;
  const std::size_t secondTrack = garbage.find("MTrk", garbage.find("MTrk") + 4);
  for (std::size_t i = secondTrack + 8; i < garbage.size(); ++i) garbage[i] = '\xF4';
  const std::string broken = dir.write("broken.mid", garbage);
  const std::string binary = dir.write("noise.mid", std::string("RIFF\0\0\0\x04WAVE", 12));

  struct Case {
    std::vector<std::string> args;
    std::string error;  // expected in the one line on standard error
  };
  const std::vector<Case> cases = {
      {{dir.file("absent.txt")}, "cannot read " + dir.file("absent.txt") + ": No such file"},
      {{binary}, binary + ": neither a MIDI file (it does not begin with MThd) nor a note-name"},
      {{dir.write("tiny.mid", std::string("MThd\0\0", 6))},
       dir.file("tiny.mid") + ", byte 6: truncated MIDI file: it ends inside its MThd header"},
      {{truncated},
       truncated + ", byte " + std::to_string(cut.size()) +
           ": truncated MIDI file: it ends inside track 2, which should run to byte " +
           std::to_string(midi.size())},
      {{missing},
       missing + ", byte " + std::to_string(midi.size()) +
           ": truncated MIDI file: it holds 2 of the 3 tracks its header announces"},
      {{independent}, independent + ", byte 8: MIDI format 2"},
      {{badHeader}, badHeader + ", byte 4: not a valid MIDI file: its MThd header is 2 bytes"},
      {{broken}, broken + ": not a valid MIDI file"},
      {{"--track", "1", song}, song + ": no notes on track 1 (channel 10, the drums, is skipped"},
      {{"--channel", "3", song}, song + ": no notes on channel 3"},
      {{"--track", "1", "--channel", "1", song}, song + ": no notes on track 1, channel 1"},
      {{"--track", "3", song}, song + ": there is no track 3: the file has 2 tracks"},
      {{"--track", "0", song}, song + ": there is no track 0"},
      {{"--channel", "17", song}, song + ": there is no channel 17: MIDI channels are 1 to 16"},
      {{"--channel", "0", song}, song + ": there is no channel 0"},
      {{"--base", "2", song},
       song + ", track 2, G9 at 0.500 s: the note's frequency 12543.854 Hz is above what the "
              "program plays at base 2 Hz: at most 4096 x base = 8192 Hz"},
      {{dir.write("drums.mid", buildMidi(100, {{{on(0, 42, 10), off(100, 42, 10)}}}))},
       dir.file("drums.mid") + ": no notes on any track (channel 10, the drums, is skipped"},
      {{"--track", "1", dir.write("t.txt", "A4 100\n")},
       dir.file("t.txt") + ": --track and --channel apply to MIDI files"},
      {{dir.write("h.txt", "A4 100\n\nH4 100\n")},
       dir.file("h.txt") + ", line 3: unknown note name 'H4'"},
      {{dir.write("c.txt", "A4 100 Cb 100\n")},
       dir.file("c.txt") + ", line 1: unknown note name 'Cb'"},
      {{dir.write("z.txt", "A4 100\nB4\n0\n")},
       dir.file("z.txt") +
           ", line 3: duration '0' of 'B4' is not a positive number of milliseconds"},
      {{dir.write("n.txt", "A4 -100\n")}, dir.file("n.txt") + ", line 1: duration '-100' of 'A4'"},
      {{dir.write("w.txt", "A4 soon\n")}, dir.file("w.txt") + ", line 1: duration 'soon' of 'A4'"},
      {{dir.write("i.txt", "A4 inf\n")}, dir.file("i.txt") + ", line 1: duration 'inf' of 'A4'"},
      {{dir.write("e.txt", "A4 1e999\n")}, dir.file("e.txt") + ", line 1: duration '1e999'"},
      {{dir.write("d.txt", "A4 100\nR\n")}, dir.file("d.txt") + ", line 2: 'R' has no duration"},
      {{dir.write("r.txt", "-2 A4 100\n")},
       dir.file("r.txt") + ", line 1: repetition count '-2' comes before any note"},
      {{dir.write("q.txt", "A4 100 -0.5\n")},
       dir.file("q.txt") + ", line 1: invalid repetition count '-0.5'"},
      {{dir.write("empty.txt", "# nothing\n")}, dir.file("empty.txt") + ": no notes"},
      {{"--base", "1", dir.write("high.txt", "A4 100\nC9 100\n")},
       dir.file("high.txt") +
           ", line 2: the note's frequency 8372.018 Hz is above what the program "
           "plays at base 1 Hz: at most 4096 x base = 4096 Hz"},
      {{"--transpose", "1e308", dir.file("t.txt")},
       dir.file("t.txt") + ", line 1: the note's frequency is not a finite number"},
      {{"--transpose", "-1e5", dir.file("t.txt")},
       dir.file("t.txt") + ", line 1: the note's frequency 0 Hz is too low to be written"},
  };
  const std::string output = dir.file("out.txt");
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(output);
    const ToolRun run = runMelodyTool(dir, args);
    EXPECT_EQ(run.status, melodyFailed) << c.error;
    EXPECT_EQ(run.err.rfind("glidewarp-melody: " + c.error, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(std::filesystem::exists(output)) << c.error;
  }
  // A failure leaves an earlier OUTPUT as it was, and no file beside it.
  dir.write("out.txt", "earlier\n");
  EXPECT_EQ(runMelodyTool(dir, {"--channel", "3", song, output}).status, melodyFailed);
  EXPECT_EQ(readFile(output), "earlier\n");
  EXPECT_EQ(runMelodyTool(dir, {dir.file("h.txt"), "-"}).status, melodyFailed);
  const ToolRun unwritable = runMelodyTool(dir, {song, dir.file("nowhere/out.txt")});
  EXPECT_EQ(unwritable.status, melodyFailed);
  EXPECT_EQ(unwritable.err, "glidewarp-melody: cannot write " + dir.file("nowhere/out.txt") +
                                ": No such file or directory\n");
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path))
    files += entry.path().filename().string().rfind("out.txt", 0) == 0;
  EXPECT_EQ(files, 1);

  // Success replaces it whole.
  ToolRun run = runMelodyTool(dir, {"--base-note", "A3", "--rest", "hold", song, output});
  EXPECT_EQ(run.status, melodyOk) << run.err;
  EXPECT_EQ(readFile(output), "220\n500 440\n500 12543.854\n");
  const std::string reference = dir.write("reference.txt", "");
  EXPECT_EQ(std::filesystem::status(output).permissions(),
            std::filesystem::status(reference).permissions())
      << "an ordinary file's mode, not the temporary's private one";
  run = runMelodyTool(dir, {"--base=220", "--repeat=2", dir.file("t.txt"), "-"});
  EXPECT_EQ(run.status, melodyOk) << run.err;
  EXPECT_EQ(run.out, "220\n100 440\n-2\n");
}

TEST(MelodyCommandLine, UsageErrorsAndHelp) {
  TempDir dir;
  const std::string in = dir.write("in.txt", "A4 100\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
      {{}, "expected INPUT OUTPUT, got 0 arguments"},
      {{in}, "expected INPUT OUTPUT, got 1 argument"},
      {{"--track", "x", in, "-"}, "--track needs a whole number, not 'x'"},
      {{"--channel", "1.5", in, "-"}, "--channel needs a whole number"},
      {{"--base", "0", in, "-"}, "--base needs a frequency above 0 and at most 20000 Hz, not '0'"},
      {{"--base", "20001", in, "-"}, "--base needs a frequency"},
      {{"--base", "nan", in, "-"}, "--base needs a frequency"},
      {{"--base-note", "H2", in, "-"}, "--base-note needs a note name such as A3, not 'H2'"},
      {{"--base-note", "C11", in, "-"}, "--base-note C11 is 33488.072 Hz"},
      {{"--base", "220", "--base-note", "A3", in, "-"}, "--base and --base-note both give"},
      {{"--transpose", "up", in, "-"}, "--transpose needs a number of semitones"},
      {{"--bend-range", "-1", in, "-"}, "--bend-range needs a number of semitones, 0 or more"},
      {{"--rest", "skip", in, "-"}, "--rest takes base or hold, not 'skip'"},
      {{"--repeat", "0", in, "-"}, "--repeat needs a whole number from 1 up, not '0'"},
      {{"--loud", in, "-"}, "unknown option '--loud'"},
      {{in, "-", "--repeat"}, "option --repeat needs a value"},
  };
  for (const auto& [args, error] : usage) {
    const ToolRun run = runMelodyTool(dir, args);
    EXPECT_EQ(run.status, melodyBadUsage) << error;
    EXPECT_EQ(run.err.rfind("glidewarp-melody: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(error), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  const ToolRun help = runMelodyTool(dir, {"--help"});
  EXPECT_EQ(help.status, melodyOk);
  for (const char* word :
       {"Usage: glidewarp-melody [OPTIONS] INPUT OUTPUT", "MThd", "MIDI files", "Note-name texts",
        "highest\n  sounding note wins", "--track N", "--channel C", "--base HZ",
        "--base-note NOTE", "--transpose SEMIS", "--bend-range SEMIS", "--rest MODE", "hold",
        "--repeat K", "R 500", "A4+30", "4096"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

// The scale, converted, rendered and measured: every note where it should
// be, in matched splices at the render tool's default buffer length.
TEST(MelodyEndToEnd, ARenderedScaleFollowsItsNotes) {
  const std::vector<std::string> renderMode = {"--splice", "matched"};
  TempDir dir;
  // D major from D3, a fifth below the base A3, to D4, a fourth above: 600 ms
  // a note at 100 quarters a minute.
  const int keys[] = {50, 52, 54, 55, 57, 59, 61, 62};
  MidiTrack track{{tempo(0, 600000)}};
  for (int i = 0; i < 8; ++i) {
    track.events.push_back(on(480 * i, keys[i]));
    track.events.push_back(off(480 * i + 480, keys[i]));
  }
  const std::string midi = dir.write("scale.mid", buildMidi(480, {track}));
  const std::string melody = dir.file("scale.txt");
  ToolRun run = runMelodyTool(dir, {"--base-note", "A3", midi, melody});
  ASSERT_EQ(run.status, melodyOk) << run.err;
  EXPECT_EQ(readFile(melody),
            "220\n600 146.832\n600 164.814\n600 184.997\n600 195.998\n600 220\n600 246.942\n"
            "600 277.183\n600 293.665\n");

  const int rate = 44100;
  std::vector<float> tone(static_cast<std::size_t>(6 * rate));
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 220 * double(i) / rate));
  const std::string input = dir.file("tone.wav"), output = dir.file("sung.wav");
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(input.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  sf_writef_float(file, tone.data(), static_cast<sf_count_t>(tone.size()));
  sf_close(file);

  std::vector<std::string> args = renderMode;
  for (const std::string& a : {input, melody, output}) args.push_back(a);
  run = runProgram(RENDER_TOOL, dir, args);
  ASSERT_EQ(run.status, 0) << run.err;
  SF_INFO outInfo{};
  file = sf_open(output.c_str(), SFM_READ, &outInfo);
  ASSERT_NE(file, nullptr);
  std::vector<float> sung(static_cast<std::size_t>(outInfo.frames));
  sf_readf_float(file, sung.data(), outInfo.frames);
  sf_close(file);

  PitchOptions options;
  const std::vector<PitchFrame> frames = trackPitch(sung.data(), sung.size(), 1, options);
  for (int i = 0; i < 8; ++i) {
    // The middle of each note, clear of the buffers where notes change.
    const double start = 0.6 * i + 0.15, end = 0.6 * i + 0.45;
    std::vector<double> hz;
    for (const PitchFrame& f : frames)
      if (f.time >= start && f.time + double(options.window) / rate <= end && f.hz > 0)
        hz.push_back(f.hz);
    ASSERT_GE(hz.size(), 10u) << "note " << i;
    const double target = noteFrequency(keys[i]);
    std::sort(hz.begin(), hz.end());
    std::printf("note %d: target %.3f Hz, measured %.3f to %.3f Hz over %zu windows\n", i, target,
                hz.front(), hz.back(), hz.size());
    for (double measured : hz)
      EXPECT_NEAR(measured / target, 1.0, 0.01) << "note " << i << " at " << target << " Hz";
  }
}

}  // namespace
