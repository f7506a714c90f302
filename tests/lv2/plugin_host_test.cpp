// The LV2 plugins as a host runs them: loaded by lilv from the build tree,
// the melody set with patch:Set through the host's own worker, the
// transport sent as time:Position, audio in blocks of varying length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "lv2host.h"
#include "pitch.h"
#include "testsupport.h"

namespace {

constexpr double rate = 48000;
constexpr uint32_t maxBlock = 1024;
constexpr char monoUri[] = "urn:glidewarper:mono";
constexpr char stereoUri[] = "urn:glidewarper:stereo";
constexpr char melodyProperty[] = "urn:glidewarper:melody";
constexpr char delayProperty[] = "urn:glidewarper:delay";
constexpr char errorType[] = "http://lv2plug.in/ns/ext/log#Error";

using Signal = std::vector<std::vector<float>>;  // one vector per channel

long long frames(double seconds) {
  return std::llround(seconds * rate);
}

std::vector<float> tone(double hz, long long count, float amplitude = 0.5f) {
  std::vector<float> x(count);
  for (long long i = 0; i < count; ++i)
    x[i] = amplitude * static_cast<float>(std::sin(2 * M_PI * hz * static_cast<double>(i) / rate));
  return x;
}

// Noise, so that a delay shows as exactly one shift.
std::vector<float> noise(long long count, uint32_t seed) {
  std::vector<float> x(count);
  for (float& v : x) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<float>(static_cast<int32_t>(seed)) / 4294967296.0f;
  }
  return x;
}

// Block lengths from 0 to maxBlock, different from run to run of a host.
std::vector<uint32_t> blockSizes(uint32_t seed) {
  std::vector<uint32_t> sizes;
  for (int i = 0; i < 97; ++i) {
    seed = seed * 1103515245u + 12345u;
    const uint32_t r = (seed >> 8) % 100;
    sizes.push_back(r < 5 ? 0 : r < 10 ? maxBlock : 1 + (seed >> 4) % maxBlock);
  }
  return sizes;
}

// A message to send in the run that covers input frame `at`.
struct Timed {
  long long at;
  std::function<void(Lv2Instance&, uint32_t)> send;
};

Timed positionAt(long long at, long long hostFrame, float speed) {
  return {at, [=](Lv2Instance& i, uint32_t f) { sendPosition(i, f, hostFrame, speed); }};
}

// Sends the messages (sorted by frame, from `next` on) that fall in the run
// of `n` frames after `done`; a run of no frames takes those at its frame.
void sendDue(Lv2Instance& inst, const std::vector<Timed>& messages, std::size_t& next,
             long long done, uint32_t n) {
  for (; next < messages.size() && messages[next].at < done + std::max<uint32_t>(n, 1); ++next)
    messages[next].send(inst, static_cast<uint32_t>(std::max(messages[next].at - done, 0LL)));
}

// Plays `input` through `inst` in runs of the given lengths, taken in turn.
// `each` runs after every run (a second instance, say).
Signal play(Lv2Instance& inst, const Signal& input, const std::vector<uint32_t>& sizes,
            std::vector<Timed> messages = {}, const std::function<void(long long)>& each = {}) {
  const long long total = static_cast<long long>(input[0].size());
  Signal out(inst.audioOut.size(), std::vector<float>(total));
  std::stable_sort(messages.begin(), messages.end(),
                   [](const Timed& a, const Timed& b) { return a.at < b.at; });
  std::size_t next = 0, run = 0;
  long long done = 0;
  std::vector<const float*> in(input.size());
  std::vector<float*> outs(out.size());
  while (done < total) {
    const uint32_t n =
        static_cast<uint32_t>(std::min<long long>(sizes[run++ % sizes.size()], total - done));
    sendDue(inst, messages, next, done, n);
    for (std::size_t c = 0; c < input.size(); ++c) in[c] = input[c].data() + done;
    for (std::size_t c = 0; c < out.size(); ++c) outs[c] = out[c].data() + done;
    runBlock(inst, in.data(), outs.data(), n);
    done += n;
    if (each) each(done);
  }
  return out;
}

// Median pitch of `x` over [from, to) seconds of its own time.
double pitchBetween(const std::vector<float>& x, double from, double to) {
  PitchOptions options;
  options.sampleRate = rate;
  options.hop = static_cast<std::size_t>(rate / 200);
  std::vector<double> found;
  for (const PitchFrame& f : trackPitch(x.data(), x.size(), 1, options))
    if (f.time >= from && f.time < to && f.hz > 0) found.push_back(f.hz);
  if (found.empty()) return 0;
  std::nth_element(found.begin(), found.begin() + found.size() / 2, found.end());
  return found[found.size() / 2];
}

// One block of 10 ms (rounded up), and in block mode the block the effect
// itself delays by.
long long documentedLatency(int splice, double at = rate) {
  const long long block = (static_cast<long long>(at) + 99) / 100;
  return splice ? block : 2 * block;
}

// The output as the host's timeline sees it: `latency` frames earlier.
std::vector<float> aligned(const std::vector<float>& out, long long latency) {
  return std::vector<float>(out.begin() + latency, out.end());
}

class PluginHostTest : public ::testing::Test {
 protected:
  static Lv2World* world;
  TempDir dir;
  std::vector<std::unique_ptr<Lv2Instance>> instances;

  static void SetUpTestSuite() {
    world = new Lv2World;
    std::string error;
    ASSERT_TRUE(worldOpen(*world, GW_LV2_DIR, error)) << error;
  }
  static void TearDownTestSuite() {
    worldClose(*world);
    delete world;
    world = nullptr;
  }
  void TearDown() override {
    for (auto& inst : instances) instanceClose(*inst);
    takeLog(*world);
  }

  Lv2Instance& open(const char* uri = monoUri, double at = rate) {
    instances.push_back(std::make_unique<Lv2Instance>());
    std::string error;
    EXPECT_TRUE(instanceOpen(*instances.back(), *world, uri, at, maxBlock, error)) << error;
    return *instances.back();
  }

  // Sets the melody in a run of no frames and waits for the worker, so the
  // melody is in place before any audio.
  static void setMelody(Lv2Instance& inst, const std::string& path) {
    sendMelody(inst, 0, path);
    runBlock(inst, nullptr, nullptr, 0);
    settleWorker(inst);
  }

  static long long latency(Lv2Instance& inst) {
    runBlock(inst, nullptr, nullptr, 0);
    return std::lround(control(inst, "latency"));
  }

  static std::vector<Notified> setsOf(const Lv2Instance& inst, const std::string& property) {
    std::vector<Notified> found;
    for (const Notified& n : inst.notified)
      if (n.property == property) found.push_back(n);
    return found;
  }
};

Lv2World* PluginHostTest::world = nullptr;

const char* const rising = "220 1000 220 1000 330 1000 440\n";

TEST_F(PluginHostTest, EachSecondOfTheMelody) {
  for (int splice : {1, 0}) {
    SCOPED_TRACE(splice ? "matched" : "block");
    Lv2Instance& inst = open();
    setControl(inst, "splice", static_cast<float>(splice));
    setMelody(inst, dir.write("rising.txt", rising));
    const long long lat = latency(inst);
    const Signal out = play(inst, {tone(220, frames(4.5) + lat)}, blockSizes(splice + 1),
                            {positionAt(0, 0, 1.0f)});
    const std::vector<float> heard = aligned(out[0], lat);
    const double expected[] = {220, 330, 440, 220};  // the last: past the melody's end
    // Block jumps, one every block or two at these pitches, leave no window
    // of the tracker unbroken, which pulls its estimate by a few percent.
    const double tolerance = splice ? 0.01 : 0.04;
    for (int second = 0; second < 4; ++second) {
      SCOPED_TRACE(second);
      const double hz = pitchBetween(heard, second + 0.1, second + 0.9);
      EXPECT_NEAR(hz, expected[second], expected[second] * tolerance);
      std::printf("%s, second %d: %.2f Hz (melody %.0f Hz)\n", splice ? "matched" : "block", second,
                  hz, expected[second]);
    }
  }
}

// With `loop` the melody starts again after its last note, also when the
// control is switched on while it plays (the worker sets it up again).
TEST_F(PluginHostTest, LoopPlaysTheMelodyAgain) {
  const std::string melody = dir.write("short.txt", "220 500 330 500 440\n");
  for (bool whilePlaying : {false, true}) {
    SCOPED_TRACE(whilePlaying);
    Lv2Instance& inst = open();
    if (!whilePlaying) setControl(inst, "loop", 1.0f);
    setMelody(inst, melody);
    const long long lat = latency(inst);
    std::vector<Timed> messages = {positionAt(0, 0, 1.0f)};
    if (whilePlaying)
      messages.push_back(
          {frames(0.2), [](Lv2Instance& i, uint32_t) { setControl(i, "loop", 1.0f); }});
    const Signal out = play(inst, {tone(220, frames(2.1) + lat)}, blockSizes(13), messages);
    const std::vector<float> heard = aligned(out[0], lat);
    EXPECT_NEAR(pitchBetween(heard, 1.1, 1.4), 330, 3.3);  // the second pass
    EXPECT_NEAR(pitchBetween(heard, 1.6, 1.9), 440, 4.4);
  }
}

// A relocation lands on the note that sounds there, counting the sections
// repeated before it as they are played.
TEST_F(PluginHostTest, RelocationLandsOnTheNoteSoundingThere) {
  struct Case {
    const char* melody;
    double before, after;  // the note at 1.5 s, and half a second later
  };
  const Case cases[] = {
      {rising, 330, 440},
      // 220 330 220 330 440, half a second each: 1.5 s is the second 330.
      {"220 500 220 500 330 -2 500 440\n", 330, 440},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.melody);
    Lv2Instance& inst = open();
    setMelody(inst, dir.write("melody.txt", c.melody));
    const long long lat = latency(inst);
    // Rolling from 0, then at 0.7 s (inside a run) the host jumps to 1.5 s.
    const long long jump = frames(0.7) + 123;
    const Signal out = play(inst, {tone(220, frames(2.0) + lat)}, blockSizes(7),
                            {positionAt(0, 0, 1.0f), positionAt(jump, frames(1.5), 1.0f)});
    const std::vector<float> heard = aligned(out[0], lat);
    const double at = static_cast<double>(jump) / rate;
    EXPECT_NEAR(pitchBetween(heard, 0.1, 0.6), 220, 2.2);
    EXPECT_NEAR(pitchBetween(heard, at + 0.05, at + 0.45), c.before, c.before * 0.01);
    EXPECT_NEAR(pitchBetween(heard, at + 0.55, at + 0.95), c.after, c.after * 0.01);
  }
}

// Stopped, and before melody time 0, the input passes at its own pitch:
// exactly the input, `latency` frames later.
TEST_F(PluginHostTest, StoppedOrOutsideTheMelodyPassesTheInput) {
  for (int splice : {1, 0}) {
    SCOPED_TRACE(splice);
    Lv2Instance& inst = open();
    setControl(inst, "splice", static_cast<float>(splice));
    setControl(inst, "offset", 1.0f);  // melody time 0 one second into the song
    setMelody(inst, dir.write("high.txt", "220 100000 440\n"));
    const long long lat = latency(inst);
    const long long stop = frames(1.6) + 77;
    const std::vector<float> input = noise(frames(2.5), 5);
    const Signal out =
        play(inst, {input}, blockSizes(11), {positionAt(0, 0, 1.0f), positionAt(stop, stop, 0.0f)});
    auto passed = [&](long long from, long long to) {
      for (long long n = from; n < to; ++n)
        if (out[0][n + lat] != input[n]) return n;
      return to;
    };
    EXPECT_EQ(passed(0, frames(1.0)), frames(1.0));                          // before melody time 0
    EXPECT_NE(passed(frames(1.0), frames(1.0) + 1000), frames(1.0) + 1000);  // bent
    EXPECT_EQ(passed(stop, static_cast<long long>(input.size()) - lat),
              static_cast<long long>(input.size()) - lat);  // stopped
  }
}

// At a unity melody the output is the input exactly `latency` frames late,
// whatever the block lengths, at the table's rates and the others alike:
// the reported latency is the real one.
TEST_F(PluginHostTest, LatencyIsTheMeasuredDelay) {
  for (double at : {48000.0, 44100.0, 96000.0, 22050.0, 32000.0}) {
    for (int splice : {1, 0}) {
      SCOPED_TRACE(std::to_string(at) + (splice ? " matched" : " block"));
      Lv2Instance& inst = open(monoUri, at);
      setControl(inst, "splice", static_cast<float>(splice));
      setMelody(inst, dir.write("unity.txt", "220 100000 220\n"));
      const long long reported = latency(inst);
      const std::vector<float> input = noise(static_cast<long long>(at), 9);
      const Signal out = play(inst, {input}, blockSizes(3 + splice), {positionAt(0, 0, 1.0f)});
      // The one shift at which the output repeats the input.
      long long measured = -1;
      for (long long d = 0; d < 8192 && measured < 0; ++d)
        if (std::equal(input.begin(), input.begin() + 4096, out[0].begin() + d)) measured = d;
      EXPECT_EQ(measured, reported);
      EXPECT_EQ(reported, documentedLatency(splice, at));
      std::printf("%.0f Hz, %s: latency reported %lld frames, measured %lld\n", at,
                  splice ? "matched" : "block", reported, measured);
      for (long long n = 0; n + reported < static_cast<long long>(input.size()); ++n)
        ASSERT_EQ(out[0][n + reported], input[n]) << n;
    }
  }
}

// Where the host's blocks begin and end makes no difference: the same
// messages at the same frames give the same output, to the bit. Messages
// fall inside runs in one partition and elsewhere in the other.
TEST_F(PluginHostTest, BlockLengthsMakeNoDifference) {
  const std::string melody = dir.write("m.txt", "220 300 330 200 247 -2 400 440 300 196\n");
  const std::vector<Timed> messages = {
      positionAt(0, 0, 1.0f),
      positionAt(frames(0.4) + 17, frames(0.9), 1.0f),         // relocation
      positionAt(frames(0.8) + 301, frames(1.3) + 301, 0.0f),  // stop
      positionAt(frames(1.1), frames(0.2), 1.0f),              // start elsewhere
      positionAt(frames(1.5) + 5, frames(0.65), 1.0f),
  };
  const Signal input = {tone(220, frames(2.4))};
  for (int splice : {1, 0}) {
    SCOPED_TRACE(splice);
    Signal outs[3];
    const std::vector<uint32_t> partitions[3] = {
        blockSizes(21), blockSizes(22), {1, 4095 % maxBlock, 64}};
    for (int k = 0; k < 3; ++k) {
      Lv2Instance& inst = open();
      setControl(inst, "splice", static_cast<float>(splice));
      setMelody(inst, melody);
      outs[k] = play(inst, input, partitions[k], messages);
    }
    EXPECT_TRUE(outs[0] == outs[1]);
    EXPECT_TRUE(outs[0] == outs[2]);
    EXPECT_FALSE(outs[0][0] == input[0]);  // it did bend
  }
}

// Two instances in one process, run turn about, each give what they give
// alone: nothing of one effect is shared with the other.
TEST_F(PluginHostTest, TwoInstancesRunInterleavedAsAlone) {
  const std::string melodyA = dir.write("a.txt", "220 250 330 250 440 -3 300 262\n");
  const std::string melodyB = dir.write("b.txt", "330 400 247 400 165 200 330\n");
  const Signal inputA = {tone(220, frames(2.0))};
  const Signal inputB = {tone(330, frames(2.0), 0.3f)};
  const std::vector<Timed> messagesA = {positionAt(0, 0, 1.0f)};
  const std::vector<Timed> messagesB = {positionAt(0, frames(0.3), 1.0f)};
  const std::vector<uint32_t> sizes = blockSizes(31);

  Lv2Instance& aloneA = open();
  setMelody(aloneA, melodyA);
  const Signal expectedA = play(aloneA, inputA, sizes, messagesA);
  Lv2Instance& aloneB = open();
  setControl(aloneB, "splice", 0.0f);
  setMelody(aloneB, melodyB);
  const Signal expectedB = play(aloneB, inputB, sizes, messagesB);

  Lv2Instance& a = open();
  Lv2Instance& b = open();
  setControl(b, "splice", 0.0f);
  setMelody(a, melodyA);
  setMelody(b, melodyB);
  // B runs the same blocks as A, each right after A's.
  Signal outB(1, std::vector<float>(inputB[0].size()));
  long long doneB = 0;
  std::size_t nextB = 0;
  const Signal outA = play(a, inputA, sizes, messagesA, [&](long long done) {
    const uint32_t n = static_cast<uint32_t>(done - doneB);
    sendDue(b, messagesB, nextB, doneB, n);
    const float* in[] = {inputB[0].data() + doneB};
    float* out[] = {outB[0].data() + doneB};
    runBlock(b, in, out, n);
    doneB = done;
  });
  EXPECT_TRUE(outA == expectedA);
  EXPECT_TRUE(outB == expectedB);
  EXPECT_FALSE(expectedA == expectedB);
}

TEST_F(PluginHostTest, GetIsAnsweredWithTheMelodysPath) {
  Lv2Instance& inst = open();
  sendGet(inst, 0);
  runBlock(inst, nullptr, nullptr, 0);
  ASSERT_EQ(setsOf(inst, melodyProperty).size(), 1u);
  EXPECT_EQ(setsOf(inst, melodyProperty)[0].path, "");  // none yet

  const std::string path = dir.write("m.txt", rising);
  setMelody(inst, path);
  inst.notified.clear();
  sendGet(inst, 0);
  sendGet(inst, 0, melodyProperty);
  runBlock(inst, nullptr, nullptr, 0);
  // The change itself is announced too, then both questions are answered.
  const std::vector<Notified> sets = setsOf(inst, melodyProperty);
  ASSERT_EQ(sets.size(), 3u);
  for (const Notified& n : sets) EXPECT_EQ(n.path, path);
}

// A file that cannot be used leaves the melody playing as it was and says
// why in the program's own words, through the host's log.
TEST_F(PluginHostTest, BadFileKeepsThePreviousMelody) {
  const std::string good = dir.write("good.txt", "220 100000 440\n");
  struct Case {
    std::string path;
    std::vector<std::string> lines;
  };
  const std::string missing = dir.file("missing.txt");
  const Case cases[] = {
      {missing,
       {"Opening file " + missing + "\n", "Can't open " + missing + "\n",
        "GlideWarp initialization failed\n"}},
      {dir.write("words.txt", "220 1000 abc\n"),
       {"Opening file " + dir.file("words.txt") + "\n", "Invalid input string abc\n",
        "GlideWarp initialization failed\n"}},
      {dir.write("empty.txt", "220\n"),
       {"Opening file " + dir.file("empty.txt") + "\n", "Channel empty.\n",
        "GlideWarp initialization failed\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Lv2Instance& reference = open();
    setMelody(reference, good);
    Lv2Instance& inst = open();
    setMelody(inst, good);
    takeLog(*world);
    const Signal input = {tone(220, frames(1.0))};
    const std::vector<Timed> messages = {positionAt(0, 0, 1.0f)};
    const Signal expected = play(reference, input, blockSizes(2), messages);
    // The bad file arrives a third of the way in.
    std::vector<Timed> withBad = messages;
    withBad.push_back(
        {frames(0.33), [&](Lv2Instance& i, uint32_t f) { sendMelody(i, f, c.path); }});
    const Signal out = play(inst, input, blockSizes(2), withBad);
    settleWorker(inst);
    EXPECT_TRUE(out == expected);
    std::vector<std::string> errors;
    for (const LogLine& line : takeLog(*world))
      if (line.type == errorType) errors.push_back(line.text);
    EXPECT_EQ(errors, c.lines);
    inst.notified.clear();
    sendGet(inst, 0);
    runBlock(inst, nullptr, nullptr, 0);
    ASSERT_EQ(setsOf(inst, melodyProperty).size(), 1u);
    EXPECT_EQ(setsOf(inst, melodyProperty)[0].path, good);
  }
}

// The melody is part of the state: a saved session brought back bends as
// the original did, restored at once or through the worker.
TEST_F(PluginHostTest, StateKeepsTheMelody) {
  const std::string path = dir.write("song.txt", "220 300 330 300 262 -2 300 440\n");
  Lv2Instance& original = open(stereoUri);
  setControl(original, "splice", 0.0f);
  setMelody(original, path);
  const std::string saved = dir.path + "/session";
  ASSERT_TRUE(saveState(original, saved));
  ASSERT_NE(readFile(saved + "/state.ttl").find("urn:glidewarper:melody"), std::string::npos);

  const Signal input = {tone(220, frames(1.5)), tone(277, frames(1.5))};
  const std::vector<Timed> messages = {positionAt(0, frames(0.2), 1.0f)};
  const Signal expected = play(original, input, blockSizes(4), messages);
  for (bool throughWorker : {false, true}) {
    SCOPED_TRACE(throughWorker);
    Lv2Instance& restored = open(stereoUri);
    ASSERT_TRUE(restoreState(restored, saved, throughWorker));
    runBlock(restored, nullptr, nullptr, 0);
    settleWorker(restored);
    EXPECT_EQ(control(restored, "splice"), 0.0f);
    sendGet(restored, 0);
    runBlock(restored, nullptr, nullptr, 0);
    settleWorker(restored);
    const std::vector<Notified> sets = setsOf(restored, melodyProperty);
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(readFile(sets.back().path), readFile(path));
    const Signal out = play(restored, input, blockSizes(4), messages);
    for (std::size_t c = 0; c < 2; ++c)
      for (std::size_t n = 0; n < out[c].size(); ++n)
        if (out[c][n] != expected[c][n]) {
          ADD_FAILURE() << "channel " << c << " frame " << n;
          break;
        }
  }
}

// A host that never sends a position gets the melody from the first run
// after it arrived, on the plugin's own clock.
TEST_F(PluginHostTest, WithoutPositionsTheMelodyStartsAtTheNextRun) {
  Lv2Instance& inst = open();
  const long long lat = latency(inst);
  const Signal before = play(inst, {tone(220, frames(0.3))}, blockSizes(5));
  setMelody(inst, dir.write("m.txt", rising));
  const Signal out = play(inst, {tone(220, frames(3.6) + lat)}, blockSizes(6));
  const std::vector<float> heard = aligned(out[0], lat);
  EXPECT_NEAR(pitchBetween(aligned(before[0], lat), 0.05, 0.25), 220, 2.2);
  const double expected[] = {220, 330, 440};
  for (int second = 0; second < 3; ++second)
    EXPECT_NEAR(pitchBetween(heard, second + 0.1, second + 0.9), expected[second],
                expected[second] * 0.01);
  EXPECT_NEAR(pitchBetween(heard, 3.1, 3.5), 220, 2.2);
}

// The delay report goes out as a patch:Set once every 1000 blocks of the
// melody: in block mode at twice the pitch the read position lies one block
// inside the newest one.
TEST_F(PluginHostTest, DelayReportOnNotify) {
  Lv2Instance& inst = open();
  setControl(inst, "splice", 0.0f);
  setMelody(inst, dir.write("up.txt", "220 100000 440\n"));
  const long long block = documentedLatency(1);
  play(inst, {tone(220, block * 2005)}, blockSizes(8), {positionAt(0, 0, 1.0f)});
  const std::vector<Notified> reports = setsOf(inst, delayProperty);
  ASSERT_EQ(reports.size(), 2u);  // the blocks numbered 1001 and 2001 after the priming one
  for (const Notified& r : reports)
    EXPECT_FLOAT_EQ(r.number, static_cast<float>(-block * 1000.0 / rate));
  EXPECT_EQ(reports[1].frame - reports[0].frame, 1000 * block);
  inst.notified.clear();
  sendGet(inst, 0, delayProperty);
  runBlock(inst, nullptr, nullptr, 0);
  ASSERT_EQ(setsOf(inst, delayProperty).size(), 1u);
  EXPECT_FLOAT_EQ(setsOf(inst, delayProperty)[0].number, reports[1].number);
}

// Stereo: both channels bend together; the routing copies one to the other.
TEST_F(PluginHostTest, StereoRouting) {
  const std::string melody = dir.write("m.txt", "220 100000 330\n");
  const Signal input = {tone(220, frames(1.2)), tone(262, frames(1.2))};
  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    Lv2Instance& inst = open(stereoUri);
    setControl(inst, "stereo", static_cast<float>(mode));
    setMelody(inst, melody);
    const long long lat = latency(inst);
    const Signal out = play(inst, input, blockSizes(12), {positionAt(0, 0, 1.0f)});
    const double left = pitchBetween(aligned(out[0], lat), 0.2, 1.0);
    const double right = pitchBetween(aligned(out[1], lat), 0.2, 1.0);
    const double bentLeft = 330, bentRight = 262 * 1.5;
    EXPECT_NEAR(left, mode == 2 ? bentRight : bentLeft, 3.3);
    EXPECT_NEAR(right, mode == 1 ? bentLeft : bentRight, 3.3);
    if (mode != 0) {
      EXPECT_TRUE(out[0] == out[1]);
    }
  }
}

}  // namespace
