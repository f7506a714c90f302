// Latency under JACK: the round trip through the program, measured by
// jack_iodelay, and buffers that follow the server's period whatever input
// is chosen.
#include <cmath>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace {

// The round-trip figures jack_iodelay printed, in frames, rounded; it prints
// 0 where the signal starts or stops, which is left out.
std::vector<long> roundTrips(const std::string& output) {
  std::vector<long> frames;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("total roundtrip latency") == std::string::npos) continue;
    const double figure = std::atof(line.c_str());
    if (figure > 0.5) frames.push_back(std::lround(figure));
  }
  return frames;
}

long mostFrequent(const std::vector<long>& values) {
  std::map<long, int> counts;
  for (long v : values) ++counts[v];
  long best = -1;
  for (const auto& [value, count] : counts)
    if (best < 0 || count > counts[best]) best = value;
  return best;
}

// One measured mode: its configuration lines, the server's period and the
// round trip it should give, in periods.
struct RoundTrip {
  const char* name;
  std::string configLines;
  int period;
  int periods;
};

// Names the case in test listings instead of its bytes.
void PrintTo(const RoundTrip& c, std::ostream* os) {
  *os << c.name;
}

class Latency : public EndToEnd, public ::testing::WithParamInterface<RoundTrip> {
 protected:
  Child iodelay;

  void TearDown() override {
    endChild(program);
    endChild(iodelay);
    EndToEnd::TearDown();
    if (HasFailure()) std::printf("--- jack_iodelay ---\n%s\n", iodelay.output.c_str());
  }

  // jack_iodelay's ports are PortAudio's device "jack_delay"; it reports
  // the round trip from its output back to its input once a second.
  void startIoDelay() {
    if (HasFailure()) return;
    SpawnOptions o;
    o.argv = {"stdbuf", "-oL", "jack_iodelay"};
    o.env = env;
    o.logPath = dir.file("iodelay.log");
    ASSERT_TRUE(spawnChild(iodelay, o));
    ASSERT_TRUE(expectText(iodelay, "new capture latency", startupSeconds))
        << readFile(dir.file("iodelay.log"));
  }

  // Lets the program play while both it and jack_iodelay are read.
  void measureFor(double seconds) {
    for (double t = 0; t < seconds && !HasFailure(); t += 0.5) {
      keepReading(iodelay, 0.25);
      letRun(0.25);
    }
  }
};

// A unity melody (every note at the base frequency) makes the program a pure
// delay: the graph's own period, which every client pays, and the effect's
// one block in block mode, which reads one buffer back.
TEST_P(Latency, RoundTripIsTheGraphsPeriodPlusWhatTheModeReadsBack) {
  const RoundTrip& c = GetParam();
  startServer(c.period);
  startIoDelay();
  dir.write("unity.txt", "440\n100000 440\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 1\n" + c.configLines, {"unity.txt"});
  startProgram();
  expectOutput("device #1: jack_delay, via JACK Audio Connection Kit\n", startupSeconds);
  expectOutput("for default ('1')\n");
  sendKeys(program, " ");
  expectOutput("Buffer length: " + std::to_string(c.period) + " frames\n");
  expectOutput("Press space to proceed, 'x' to exit\n");
  sendKeys(program, " ");
  expectOutput("Wire on, file unity.txt.\n");
  measureFor(4);
  sendKeys(program, " ");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_FALSE(printed("Discrepancy")) << program.output;

  const std::vector<long> figures = roundTrips(iodelay.output);
  ASSERT_GE(figures.size(), 3u) << iodelay.output;
  EXPECT_EQ(mostFrequent(figures), long(c.periods) * c.period) << iodelay.output;
  std::printf("period %d: round trip %ld frames\n", c.period, mostFrequent(figures));
}

INSTANTIATE_TEST_SUITE_P(Modes, Latency,
                         ::testing::Values(RoundTrip{"Block128", "", 128, 2},
                                           RoundTrip{"Block512", "", 512, 2},
                                           RoundTrip{"Matched128", "Splice: matched\n", 128, 1},
                                           RoundTrip{"Matched512", "Splice: matched\n", 512, 1}),
                         [](const ::testing::TestParamInfo<RoundTrip>& info) {
                           return std::string(info.param.name);
                         });

// Another program's ports, such as a synthesizer's, report no latency at
// all. The buffers are still the server's period, so every upward note
// plays as it should.
TEST_F(EndToEnd, JackClientWithoutLatencyAsInputGetsThePeriodAndBendsTheTone) {
  startServer(512);
  startTone({"--no-latency", "440"});
  dir.write("melody.txt", "440\n100000 660\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"melody.txt"});
  startProgram();
  expectOutput(
      "device #1: gwtone, via JACK Audio Connection Kit\n"
      "Max inputs = 1, Max outputs = 0\n"
      "Default low input latency   =   0.0000\n",
      startupSeconds);
  expectOutput("for default ('1')\n");
  sendKeys(program, " ");
  expectOutput("Buffer length: 512 frames\n");
  expectOutput("Press space to proceed, 'x' to exit\n");
  startRecorder();
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  letRun(2.0);
  sendKeys(program, " ");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_FALSE(printed("Discrepancy")) << program.output;

  Recording r = stopRecorder();
  auto plays = soundStretches(r, 0.1);
  ASSERT_EQ(plays.size(), 1u);
  EXPECT_GT(plays[0].second - plays[0].first, std::size_t(1.5 * r.rate));
  expectSteps(segmentsOf(r, plays[0].first, plays[0].second, 0), {{660, 0}}, "bent tone");
}

}  // namespace
