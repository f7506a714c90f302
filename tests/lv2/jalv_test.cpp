// The stereo plugin in a real host: jalv on a private JACK dummy server,
// with a saved state that names the melody, a test tone at its inputs and a
// recorder at its outputs, while the JACK transport starts and stops.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "pitch.h"
#include "session.h"
#include "testsupport.h"

namespace {

constexpr char stateTurtle[] = R"(@prefix lv2: <http://lv2plug.in/ns/lv2core#> .
@prefix pset: <http://lv2plug.in/ns/ext/presets#> .
@prefix state: <http://lv2plug.in/ns/ext/state#> .

<>
	a pset:Preset ;
	lv2:appliesTo <urn:glidewarper:stereo> ;
	lv2:port [
		lv2:symbol "splice" ;
		pset:value 1.0
	] , [
		lv2:symbol "stereo" ;
		pset:value 0.0
	] ;
	state:state [
		<urn:glidewarper:melody> <melody.txt>
	] .
)";

constexpr char manifestTurtle[] = R"(@prefix lv2: <http://lv2plug.in/ns/lv2core#> .
@prefix pset: <http://lv2plug.in/ns/ext/presets#> .
@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .

<state.ttl>
	a pset:Preset ;
	lv2:appliesTo <urn:glidewarper:stereo> ;
	rdfs:seeAlso <state.ttl> .
)";

struct Recording {
  int rate = 0;
  int channels = 0;
  std::vector<float> samples;  // interleaved
};

Recording readWav(const std::string& path) {
  Recording r;
  SF_INFO info = {};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return r;
  r.rate = info.samplerate;
  r.channels = info.channels;
  r.samples.resize(static_cast<std::size_t>(info.frames) * info.channels);
  const sf_count_t got = sf_readf_float(file, r.samples.data(), info.frames);
  r.samples.resize(static_cast<std::size_t>(got) * info.channels);
  sf_close(file);
  return r;
}

std::vector<PitchSegment> segmentsOf(const Recording& r, int channel) {
  PitchOptions o;
  o.sampleRate = r.rate;
  o.hop = static_cast<std::size_t>(r.rate / 200);
  const std::size_t frames = r.samples.size() / static_cast<std::size_t>(r.channels);
  const std::vector<PitchFrame> track =
      trackPitch(r.samples.data() + channel, frames, static_cast<std::size_t>(r.channels), o);
  return pitchSegments(track, static_cast<double>(o.hop) / r.rate, 0.02, 0.3, 0.1);
}

// Stretches of one pitch, neighbours of the same pitch joined across any
// gap (a busy machine drops a few periods now and then); each lasts until
// the next one starts.
std::vector<PitchSegment> pitchRuns(const std::vector<PitchSegment>& segments) {
  std::vector<PitchSegment> runs;
  for (const PitchSegment& s : segments) {
    if (!runs.empty() && std::fabs(runs.back().hz - s.hz) <= 0.02 * s.hz) {
      runs.back().end = s.end;
      continue;
    }
    if (!runs.empty()) runs.back().end = s.start;
    runs.push_back(s);
  }
  return runs;
}

std::string describe(const std::vector<PitchSegment>& segments) {
  std::string text;
  char line[96];
  for (const PitchSegment& s : segments) {
    std::snprintf(line, sizeof line, "  %.1f Hz for %.3f s (from %.3f s)\n", s.hz, s.end - s.start,
                  s.start);
    text += line;
  }
  return text;
}

bool near(double hz, double expected) {
  return std::fabs(hz - expected) <= 0.01 * expected;
}

class JalvTest : public ::testing::Test {
 protected:
  TempDir dir;
  JackHarness jack;
  Child jalv;

  void TearDown() override {
    endChild(jalv);
    harnessStop(jack);
  }

  // Waits for jalv to write `text` to its log (the plugin's messages go there).
  bool logShows(const std::string& path, const std::string& text, double seconds) {
    for (double waited = 0; waited < seconds; waited += 0.1) {
      if (readFile(path).find(text) != std::string::npos) return true;
      keepReading(jalv, 0.1);
    }
    return false;
  }

  // Runs a JACK tool, retrying while jalv's ports may not exist yet.
  bool tool(const std::vector<std::string>& argv) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (harnessRunTool(jack, argv)) return true;
      keepReading(jalv, 0.2);
    }
    return false;
  }
};

TEST_F(JalvTest, TransportBendsAndStopPassesThrough) {
  // A second a fifth up, a second at the input's own pitch, then an octave
  // up for a long time.
  std::filesystem::create_directory(dir.file("state"));
  dir.write("state/melody.txt", "220 1000 330 1000 220 600000 440\n");
  dir.write("state/state.ttl", stateTurtle);
  dir.write("state/manifest.ttl", manifestTurtle);

  std::string error;
  harnessInit(jack, uniqueServerName("gwlv"), dir.path, GW_TONE_PATH, GW_RECORD_PATH);
  jack.rate = 48000;  // the common rate of JACK and PipeWire set-ups
  ASSERT_TRUE(harnessStartServer(jack, 256, error)) << error;
  ASSERT_TRUE(harnessStartTone(jack, {"220", "330"}, 20, error)) << error;

  SpawnOptions o;
  o.argv = {"jalv", "-i", "-x", "-n", "gwlv", "-l", dir.file("state"), "urn:glidewarper:stereo"};
  o.env = jack.env;
  o.env.push_back({"LV2_PATH", GW_LV2_DIR});
  // A plugin built with AddressSanitizer needs its runtime loaded first;
  // leaks of jalv itself are not this test's business.
  if (std::string(GW_SANITIZER_RUNTIME).size() > 0) {
    o.env.push_back({"LD_PRELOAD", GW_SANITIZER_RUNTIME});
    const char* asan = std::getenv("ASAN_OPTIONS");
    o.env.push_back({"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"});
  }
  o.logPath = dir.file("jalv.log");
  ASSERT_TRUE(spawnChild(jalv, o));
  ASSERT_TRUE(logShows(o.logPath, "Initialized, baby.", 20)) << readFile(o.logPath);

  ASSERT_TRUE(tool({"jack_connect", "gwtone:out_1", "gwlv:in_l"})) << readFile(o.logPath);
  ASSERT_TRUE(tool({"jack_connect", "gwtone:out_2", "gwlv:in_r"}));
  SpawnOptions r;
  r.argv = {GW_RECORD_PATH, "--from", "gwlv:out_", dir.file("played.wav")};
  r.env = jack.env;
  r.logPath = dir.file("record.log");
  ASSERT_TRUE(spawnChild(jack.recorder, r));
  ASSERT_TRUE(expectText(jack.recorder, "connected 2", 20)) << readFile(r.logPath);

  // Until the transport rolls, jalv may send no position at all (the melody
  // then runs on the plugin's own clock) or a stopped one (the input passes
  // at its own pitch). From the start it follows the host from frame 0: a
  // second a fifth up, a second at the input's pitch, then an octave up
  // until the stop; then the input's pitch again.
  keepReading(jalv, 2.5);
  ASSERT_TRUE(tool({GW_TRANSPORT_PATH, "locate", "0"}));
  ASSERT_TRUE(tool({GW_TRANSPORT_PATH, "start"}));
  keepReading(jalv, 4.0);
  ASSERT_TRUE(tool({GW_TRANSPORT_PATH, "stop"}));
  keepReading(jalv, 2.0);
  endChild(jack.recorder);

  const Recording played = readWav(dir.file("played.wav"));
  ASSERT_EQ(played.channels, 2);
  ASSERT_EQ(played.rate, 48000);
  const double input[] = {220, 330};
  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE(channel);
    const std::vector<PitchSegment> s = pitchRuns(segmentsOf(played, channel));
    const std::string seen = describe(segmentsOf(played, channel));
    ASSERT_GE(s.size(), 4u) << seen;
    const std::size_t n = s.size();
    const double own = input[channel];
    EXPECT_TRUE(near(s[n - 4].hz, own * 1.5)) << seen;
    EXPECT_NEAR(s[n - 4].end - s[n - 4].start, 1.0, 0.2) << seen;
    EXPECT_TRUE(near(s[n - 3].hz, own)) << seen;
    EXPECT_NEAR(s[n - 3].end - s[n - 3].start, 1.0, 0.2) << seen;
    EXPECT_TRUE(near(s[n - 2].hz, own * 2)) << seen;
    EXPECT_NEAR(s[n - 2].end - s[n - 2].start, 2.0, 0.5) << seen;
    EXPECT_TRUE(near(s[n - 1].hz, own)) << seen;
    EXPECT_GT(s[n - 1].end - s[n - 1].start, 1.0) << seen;
  }
}

}  // namespace
