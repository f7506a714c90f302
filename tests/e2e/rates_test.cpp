// End to end on the setups performers run: JACK servers at 48000 and 96000
// frames per second, more input devices than there are digits, and a show
// whose later files are broken.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace {

// Upward zero crossings of one channel of [first, last), in frames from the
// start of the recording, placed between frames by linear interpolation.
std::vector<double> upwardCrossings(const Recording& r, int channel, std::size_t first,
                                    std::size_t last) {
  std::vector<double> crossings;
  for (std::size_t f = first + 1; f < last; ++f) {
    const double a = r.samples[(f - 1) * r.channels + channel];
    const double b = r.samples[f * r.channels + channel];
    if (a < 0 && b >= 0) crossings.push_back(static_cast<double>(f - 1) + a / (a - b));
  }
  return crossings;
}

// A change from one note to the next, found in the zero crossings of a
// bent tone: the frame where it happens and the two notes, by index.
struct NoteChange {
  double frame;
  int from, to;
};

// Where a sine bent to `hz` (one entry per note) changes note. Each period
// between two crossings is put to the note whose period it matches within
// 10%; a change lies between a steady run of one note and one of another.
// The phase runs on across a change (the read position does not jump), so
// between a crossing c1 in the first note and c2 in the second, n whole
// periods apart, the change at t satisfies (t - c1) / P1 + (c2 - t) / P2 = n.
std::vector<NoteChange> noteChanges(const std::vector<double>& crossings, double rate,
                                    const std::vector<double>& hz) {
  std::vector<int> note;
  for (std::size_t i = 0; i + 1 < crossings.size(); ++i) {
    const double period = crossings[i + 1] - crossings[i];
    int found = -1;
    for (std::size_t k = 0; k < hz.size(); ++k)
      if (std::fabs(period * hz[k] / rate - 1) < 0.10) found = static_cast<int>(k);
    note.push_back(found);
  }
  struct Run {
    int note;
    std::size_t first, last;  // periods, inclusive
  };
  std::vector<Run> steady;
  for (std::size_t i = 0; i < note.size();) {
    std::size_t j = i;
    while (j + 1 < note.size() && note[j + 1] == note[i]) ++j;
    if (note[i] >= 0 && j - i + 1 >= 8) steady.push_back({note[i], i, j});
    i = j + 1;
  }
  std::vector<NoteChange> changes;
  for (std::size_t s = 1; s < steady.size(); ++s) {
    const Run& a = steady[s - 1];
    const Run& b = steady[s];
    // A few periods at most between the runs: the one that holds the change.
    if (a.note == b.note || b.first - a.last > 4) continue;
    const double p1 = rate / hz[static_cast<std::size_t>(a.note)];
    const double p2 = rate / hz[static_cast<std::size_t>(b.note)];
    const double c1 = crossings[a.last - 1], c2 = crossings[b.first + 2];
    const double n = static_cast<double>(b.first + 2 - (a.last - 1));
    double t = (n - c2 / p2 + c1 / p1) / (1 / p1 - 1 / p2);
    t = std::clamp(t, c1, c2);
    changes.push_back({t, a.note, b.note});
  }
  return changes;
}

struct RateRun {
  int rate;
  int period;  // the server's: some 10 ms, where block jumps bend cleanly
};

void PrintTo(const RateRun& run, std::ostream* out) {
  *out << run.rate << " Hz, " << run.period << " frames";
}

class AtServerRate : public EndToEnd, public ::testing::WithParamInterface<RateRun> {};

// A 1000 Hz tone through a looping melody of three notes, all at or below
// the tone, so the read position never jumps and every note change shows in
// the tone's phase.
TEST_P(AtServerRate, TheStreamOpensAtTheServersRateAndTheMelodyKeepsItsNotesAndTime) {
  const RateRun run = GetParam();
  startServer(run.period, run.rate);
  startTone({"1000"});
  dir.write("melody.txt", "1000\n500 1000\n700 750\n600 500\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\nInfiniteLoop: yes\n", {"melody.txt"});
  startProgram();

  expectOutput("for default ('1')\n", startupSeconds);
  sendKeys(program, " ");
  expectOutput("Buffer length: " + std::to_string(run.period) + " frames\n");
  expectOutput("Num channels = 1.\nSample rate: " + std::to_string(run.rate) +
               " frames per second (the device does not take 44100).\nLast host error: ");
  startRecorder();
  expectOutput("Opening file melody.txt\nInitialized, baby.\n");
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  letRun(4.0);
  sendKeys(program, " ");
  expectOutput("Wire off.\n");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_FALSE(printed("Discrepancy"));

  Recording r = stopRecorder();
  ASSERT_EQ(r.rate, run.rate);
  auto plays = soundStretches(r, 0.1);
  ASSERT_EQ(plays.size(), 1u);
  const std::vector<double> hz = {1000, 750, 500};

  // Each note's pitch, the melody looping: 1000, 750, 500, 1000, ...
  const auto segments = segmentsOf(r, plays[0].first, plays[0].second, 0);
  ASSERT_GE(segments.size(), 6u) << describe(segments);
  std::size_t at = 0;
  while (at < hz.size() && std::fabs(segments[0].hz / hz[at] - 1) > 0.01) ++at;
  ASSERT_LT(at, hz.size()) << describe(segments);
  for (std::size_t i = 0; i < segments.size(); ++i)
    EXPECT_NEAR(segments[i].hz, hz[(at + i) % 3], hz[(at + i) % 3] * 0.01) << "segment " << i;
  std::printf("%d frames per second:\n%s", run.rate, describe(segments).c_str());

  // Each change lands where the melody puts it: the notes end 500, 1200 and
  // 1800 ms into every 1800 ms of the loop. The recording starts a little
  // after the switch-on, so the changes are compared with each other: their
  // offset from the melody's time is the same for all, within 2 ms.
  const std::vector<NoteChange> changes =
      noteChanges(upwardCrossings(r, 0, plays[0].first, plays[0].second), run.rate, hz);
  ASSERT_GE(changes.size(), 5u);
  const double endsMs[] = {500, 1200, 1800};
  std::vector<double> offsets;
  double cycleMs = 0;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const NoteChange& c = changes[i];
    ASSERT_EQ(c.to, (c.from + 1) % 3) << "change " << i;
    if (i > 0 && c.from <= changes[i - 1].from) cycleMs += 1800;
    const double melodyMs = cycleMs + endsMs[c.from];
    offsets.push_back(c.frame * 1000.0 / run.rate - melodyMs);
  }
  std::vector<double> sorted = offsets;
  std::sort(sorted.begin(), sorted.end());
  const double offset = sorted[sorted.size() / 2];
  // A period the server drops on a machine busy elsewhere shifts all that
  // follows by that period in the recording, not in the melody: such a
  // shift is left out, but only as often as the server reported an xrun.
  const double periodMs = run.period * 1000.0 / run.rate;
  std::string log = readFile(dir.file("jackd.log"));
  std::transform(log.begin(), log.end(), log.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  int xruns = 0;
  for (std::size_t found = log.find("xrun"); found != std::string::npos;
       found = log.find("xrun", found + 4))
    ++xruns;
  int shifted = 0;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    const double apart = offsets[i] - offset;
    const double periods = std::round(apart / periodMs);
    std::printf("  change %zu (%g Hz to %g Hz): %+.3f ms from the melody's time%s\n", i,
                hz[static_cast<std::size_t>(changes[i].from)],
                hz[static_cast<std::size_t>(changes[i].to)], apart,
                periods != 0 ? " (after a dropped period)" : "");
    if (periods != 0 && (i == 0 || std::round((offsets[i - 1] - offset) / periodMs) != periods))
      ++shifted;
    EXPECT_NEAR(apart - periods * periodMs, 0, 2.0) << "change " << i;
  }
  EXPECT_LE(shifted, xruns) << "the changes drift";
}

INSTANTIATE_TEST_SUITE_P(Rates, AtServerRate,
                         ::testing::Values(RateRun{48000, 512}, RateRun{96000, 1024}),
                         [](const ::testing::TestParamInfo<RateRun>& info) {
                           return std::to_string(info.param.rate);
                         });

// Twelve tone clients on the server, each a device: with the server's own
// ports, thirteen inputs, more than there are digits.
TEST_F(EndToEnd, EveryInputDeviceHasAKeyAndNamesChooseDevices) {
  startServer();
  std::map<std::string, double> toneHz;
  for (int i = 1; i <= 12 && !HasFailure(); ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "tone%02d", i);
    toneHz[name] = 300 + 40 * i;
    std::string error;
    ASSERT_TRUE(
        harnessStartNamedTone(jack, name, {std::to_string(300 + 40 * i)}, startupSeconds, error))
        << error;
  }
  dir.write("melody.txt", "440\n5000 440\n");
  writeConfig("DefaultInput: 0\nDefaultOutput: 0\n", {"melody.txt"});
  startProgram();

  expectOutput("Number of devices = 13\n", startupSeconds);
  expectOutput(
      "Press any of '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', ':', ';', '<' to choose, "
      "or space for default ('0')\n");
  if (HasFailure()) return;
  // Which client PortAudio put at index 11 (and where tone07 went).
  std::map<std::string, int> indexOf;
  for (std::size_t at = program.output.find("device #"); at != std::string::npos;
       at = program.output.find("device #", at + 1)) {
    int index = -1;
    char name[32] = {};
    if (std::sscanf(program.output.c_str() + at, "device #%d: %31[a-z0-9], via JACK", &index,
                    name) == 2 &&
        std::string(name).rfind("tone", 0) == 0)
      indexOf[name] = index;
  }
  ASSERT_EQ(indexOf.size(), 12u) << program.output;
  std::string eleventh;
  for (const auto& [name, index] : indexOf)
    if (index == 11) eleventh = name;
  ASSERT_FALSE(eleventh.empty());
  // Its key lists its latencies as every other device's does.
  EXPECT_TRUE(printed("device #11: " + eleventh +
                      ", via JACK Audio Connection Kit\nMax inputs = 1, Max outputs = 0\n"
                      "Default low input latency   = "));

  sendKeys(program, ";");
  expectOutput("Key pressed: ';' (ASCII code: '59')\n");
  expectOutput("Input device # 11.\nOutput device # 0.\nNum channels = 1.\n");
  startRecorder();
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  letRun(1.5);
  sendKeys(program, " ");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_NE(readFile(dir.file("glidewarperconfig.txt")).find("\nDefaultInput: 11\n"),
            std::string::npos);
  Recording r = stopRecorder();
  auto plays = soundStretches(r, 0.1);
  ASSERT_EQ(plays.size(), 1u);
  const auto segments = segmentsOf(r, plays[0].first, plays[0].second, 0);
  ASSERT_EQ(segments.size(), 1u) << describe(segments);
  EXPECT_NEAR(segments[0].hz, toneHz[eleventh], toneHz[eleventh] * 0.01) << eleventh;

  // Part of a name, in any case, makes that device the default and the
  // index written back; the index lines stay for a name that is not there.
  endChild(program);
  program = Child{};
  const int seventh = indexOf["tone07"];
  writeConfig("DefaultInput: 0\nDefaultOutput: 0\nInputDevice: ONE07\nOutputDevice: nowhere\n",
              {"melody.txt"});
  startProgram();
  expectOutput("No output device's name contains \"nowhere\"; the DefaultOutput: line applies.\n",
               startupSeconds);
  expectOutput("or space for default ('" + std::to_string(seventh) + "')\n");
  sendKeys(program, " ");
  expectOutput("Input device # " + std::to_string(seventh) + ".\nOutput device # 0.\n");
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, "x");
  expectExit(0, false);
  EXPECT_NE(readFile(dir.file("glidewarperconfig.txt"))
                .find("\nDefaultInput: " + std::to_string(seventh) + "\n"),
            std::string::npos);
}

// A third file that is missing and a second one with a note too high for
// the server's buffers both show before the first file is opened.
TEST_F(EndToEnd, BrokenLaterFilesShowBeforeTheFirstFileOpens) {
  startServer(256);
  startTone({"440"});
  dir.write("first.txt", "440\n250 440\n");
  dir.write("second.txt", "440\n250 660\n250 200000\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"first.txt", "second.txt", "third.txt"});
  startProgram();
  expectOutput("for default ('1')\n", startupSeconds);
  sendKeys(program, " ");
  expectOutput("Last host error: ");
  expectOutput(
      "Problem in melody file second.txt: Note frequency 200000.000000 is too high: at most "
      "112640.000000 fits one buffer at base frequency 440.000000.\n"
      "Problem in melody file third.txt: Can't open third.txt\n"
      "Opening file first.txt\n");
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, "x");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
}

}  // namespace
