// glidewarp-melody run as a program: bad input, bad command lines, --list,
// what it says on standard error, the files it writes, and a converted
// melody rendered and measured.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "melody.h"
#include "melodytest.h"
#include "pitch.h"
#include "testsupport.h"

namespace {

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
  for (std::size_t i = secondTrack + 9; i < garbage.size(); ++i) garbage[i] = '\xF4';
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
      {{broken},
       broken + ", byte " + std::to_string(secondTrack + 9) +
           ": track 2: status byte 0xF4 does not belong in a MIDI file"},
      {{"--track", "1", song}, song + ": no notes on track 1 (channel 10, the drums, is skipped"},
      {{"--channel", "3", song}, song + ": no notes on channel 3"},
      {{"--track", "1", "--channel", "1", song}, song + ": no notes on track 1, channel 1"},
      {{"--track", "3", song}, song + ": there is no track 3: the file has 2 tracks"},
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
      {{"--track", "x", in, "-"},
       "--track needs a whole number from 1 up (tracks are "
       "numbered from 1), not 'x'"},
      {{"--track", "0", in, "-"}, "--track needs a whole number from 1 up"},
      {{"--track", "-2", in, "-"}, "--track needs a whole number from 1 up"},
      {{"--channel", "1.5", in, "-"}, "--channel needs a whole number from 1 to 16, not '1.5'"},
      {{"--channel", "17", in, "-"}, "--channel needs a whole number from 1 to 16, not '17'"},
      {{"--channel", "0", in, "-"}, "--channel needs a whole number from 1 to 16, not '0'"},
      {{"--list", in, "-"}, "expected INPUT alone with --list, got 2 arguments"},
      {{"--list"}, "expected INPUT alone with --list, got 0 arguments"},
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
  for (const char* word : {"Usage: glidewarp-melody [OPTIONS] INPUT OUTPUT",
                           "MThd",
                           "MIDI files",
                           "Note-name texts",
                           "the highest sounding note wins",
                           "--list",
                           "named for the melody",
                           "registered parameter 0",
                           "units of 1/K Hz",
                           "a folder is refused",
                           "--track N",
                           "--channel C",
                           "--base HZ",
                           "--base-note NOTE",
                           "--transpose SEMIS",
                           "--bend-range SEMIS",
                           "--rest MODE",
                           "hold",
                           "--repeat K",
                           "R 500",
                           "A4+30",
                           "4096"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

// The scale, converted, rendered and measured: every note where it should
// be, in matched splices at the render tool's default buffer length.
TEST(MelodyCommandLine, SaysWhichPartItTookAndInWhichUnitItWrote) {
  TempDir dir;
  const std::string song = dir.write(
      "song.mid",
      buildMidi(96, {{{trackName("Drums"), on(0, 70, 10), off(96, 70, 10)}},
                     {{trackName("Bass"), on(0, 33, 2), off(192, 33, 2)}},
                     {{trackName("Melody"), on(0, 69), off(96, 69), on(96, 71), off(192, 71)}}}));
  struct Case {
    std::vector<std::string> options;
    std::string said;
  };
  const std::vector<Case> cases = {
      {{}, "took track 3 \"Melody\", channel 1: named for the melody (--list shows every part)"},
      {{"--track", "2"}, "took track 2 \"Bass\", every channel but 10"},
      {{"--track", "1", "--channel", "10"}, "took track 1 \"Drums\", channel 10"},
      {{"--channel", "2"}, "took channel 2 of every track"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {song, "-"});
    const ToolRun run = runMelodyTool(dir, args);
    EXPECT_EQ(run.status, melodyOk) << run.err;
    EXPECT_EQ(run.err, "glidewarp-melody: " + c.said + "\n");
  }
  // The unit, when the melody is not written in hertz: C2+25 a unit above
  // C2 would play unbent.
  const std::string low = dir.write("low.txt", "C2 500 C2+25 500\n");
  ToolRun run = runMelodyTool(dir, {"--base-note", "C2", low, "-"});
  EXPECT_EQ(run.status, melodyOk) << run.err;
  EXPECT_EQ(run.out, "130.813\n500 130.813\n500 132.715\n");
  EXPECT_EQ(run.err,
            "glidewarp-melody: written in units of 1/2 Hz (base 130.813 for 65.406 Hz), so that "
            "the program holds every note within 1 cent of its pitch\n");
  // A note under 1 Hz against the highest base no unit can hold.
  run = runMelodyTool(dir, {"--base", "20000", dir.write("still.txt", "C-1-4900 100\n"), "-"});
  EXPECT_EQ(run.status, melodyOk) << run.err;
  EXPECT_EQ(run.err,
            "glidewarp-melody: warning: no unit up to base 20000 holds the note of 0.482 Hz "
            "within 1 cent of its pitch\n");
  // A melody that holds in hertz is written in hertz, and nothing is said.
  run = runMelodyTool(dir, {dir.write("a.txt", "A4 100 A5 100 E5 100 C#5 100\n"), "-"});
  EXPECT_EQ(run.out, "440\n100 440\n100 880\n100 659.255\n100 554.365\n");
  EXPECT_EQ(run.err, "");
}

TEST(MelodyCommandLine, ListShowsThePartsAndWritesNothing) {
  TempDir dir;
  const std::string song = dir.write(
      "song.mid", buildMidi(96, {{{trackName("Tune"), on(0, 69), off(96, 69)}},
                                 {{on(0, 45, 2), on(0, 52, 2), off(96, 45, 2), off(96, 52, 2)}}}));
  ToolRun run = runMelodyTool(dir, {"--list", song});
  EXPECT_EQ(run.status, melodyOk) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, song +
                         ": format 1, 2 tracks\n"
                         "  track channel notes range     mono chords  name\n"
                         "*     1       1     1 A4-A4     yes      0%  \"Tune\"\n"
                         "      2       2     2 A2-E3     no     100%  \n"
                         "* the default: track 1, channel 1, named for the melody\n");
  const std::string text = dir.write("notes.txt", "A4 100\n");
  run = runMelodyTool(dir, {"--list", text});
  EXPECT_EQ(run.status, melodyFailed);
  EXPECT_EQ(run.err, "glidewarp-melody: " + text +
                         ": --list applies to MIDI files, and this one does not begin with MThd\n");
  const std::string cut = dir.write("cut.mid", readFile(song).substr(0, 30));
  run = runMelodyTool(dir, {"--list", cut});
  EXPECT_EQ(run.status, melodyFailed);
  EXPECT_EQ(run.err.rfind("glidewarp-melody: " + cut + ", byte 30: truncated MIDI file", 0), 0u)
      << run.err;
}

// OUTPUT is written as the configuration is: through links, keeping its
// mode; a pipe, standard output or a device as it is; never a folder.
TEST(MelodyCommandLine, OutputKeepsWhatItIs) {
  TempDir dir;
  const std::string in = dir.write("in.txt", "A4 100\n");
  std::filesystem::create_directory(dir.file("songs"));
  const std::string song = dir.write("songs/song.txt", "old\n");
  ASSERT_EQ(chmod(song.c_str(), 0600), 0);
  ASSERT_EQ(symlink("songs/song.txt", dir.file("current.txt").c_str()), 0);
  ToolRun run = runMelodyTool(dir, {in, dir.file("current.txt")});
  ASSERT_EQ(run.status, melodyOk) << run.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("current.txt")));
  EXPECT_EQ(readFile(song), "440\n100 440\n");
  EXPECT_EQ(std::filesystem::status(song).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  run = runMelodyTool(dir, {in, dir.file("songs")});
  EXPECT_EQ(run.status, melodyFailed);
  EXPECT_EQ(run.err, "glidewarp-melody: cannot write " + dir.file("songs") + ": Is a directory\n");

  run = runMelodyTool(dir, {in, "/dev/null"});
  EXPECT_EQ(run.status, melodyOk) << run.err;
  struct stat devNull {};
  ASSERT_EQ(stat("/dev/null", &devNull), 0);
  EXPECT_TRUE(S_ISCHR(devNull.st_mode));

  // Standard output by name, appended to as the shell opened it.
  const std::string log = dir.write("log.txt", "earlier\n");
  const std::string command = std::string(MELODY_TOOL) + " " + in + " /dev/stdout >> " + log;
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(readFile(log), "earlier\n440\n100 440\n");
}

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
  // In units of 1/3 Hz: in hertz, or in half hertz, D3 and D4 lie within a
  // unit of 2/3 and 4/3 of the base, which the program would play instead.
  EXPECT_EQ(readFile(melody),
            "660\n600 440.497\n600 494.441\n600 554.992\n600 587.993\n600 660\n600 740.825\n"
            "600 831.548\n600 880.994\n");

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
