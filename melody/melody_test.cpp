#include "melody.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "melodytest.h"
#include "testsupport.h"

namespace {

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
  // 10000 pulses of 500000 / 96 microseconds.
  EXPECT_LE(std::fabs(static_cast<double>(total) - 10000 * 500.0 / 96), 1.0) << total;
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
  EXPECT_EQ(convertHz(midi, baseNote(220)),
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
  options.bendRangeGiven = true;
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
  EXPECT_EQ(convertHz(text),
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
  EXPECT_EQ(convertHz(text, options),
            "220\n333 440\n334 493.883\n333 523.251\n-2\n250 220\n-2\n100 329.628\n-1\n");
  // The 0.4 ms A3 ends on 1250.4 and vanishes; holding a rest keeps C5.
  options.restHold = true;
  options.transpose = 0.5;
  EXPECT_EQ(convertHz(text, options),
            "220\n333 452.893\n334 508.355\n333 538.584\n-2\n250 538.584\n-2\n100 339.286\n-1\n");
  // A repeat of the whole writes the sections out in full.
  options = baseNote(220);
  options.repeat = 2;
  EXPECT_EQ(convertHz("A4 100 -2 B4 50\n", options), "220\n100 440\n100 440\n50 493.883\n-2\n");
  EXPECT_EQ(convertHz("A4 100 B4 50", options), "220\n100 440\n50 493.883\n-2\n");
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

}  // namespace
