// Seeking, checked against playback itself: the clock that effectSeek
// computes for frame f must be the clock that f frames of playing leave.
#include "seek.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "effect_testing.h"
#include "splice.h"

namespace {

// Everything the melody's clock consists of.
struct Clock {
  int noteNumber;  // 0 once the melody has ended
  int tickCount;
  int frameInTick;
  int tickLength;
  int tickRemainder;
  std::vector<int> repeatCounters;
  bool operator==(const Clock&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Clock& c) {
  out << "note " << c.noteNumber << " tick " << c.tickCount << " frame " << c.frameInTick << "/"
      << c.tickLength << " carry " << c.tickRemainder << " repeats";
  for (int r : c.repeatCounters) out << " " << r;
  return out;
}

class SeekTest : public EffectTest {
 protected:
  // One-frame blocks, so the clock can be read after every frame.
  int setUpFrames(const std::string& melody, int rate, int loop) {
    return init(melody, loop, 1, 4, 4, rate, 4).result;
  }

  Clock clock() {
    Clock c{};
    const DelayChannel* channel = fx.channels[0];
    c.noteNumber = channel->note ? channel->note->noteNumber : 0;
    if (channel->note) {
      c.tickCount = channel->tickCount;
      c.frameInTick = channel->frameInTick;
      c.tickLength = channel->tickLength;
      c.tickRemainder = channel->tickRemainder;
    }
    for (Note* n = fx.firstNote; n; n = n->allocNext) c.repeatCounters.push_back(n->repeatCounter);
    return c;
  }

  // The clock after every frame of playing from set-up, `frames` of them.
  std::vector<Clock> playedClocks(long long frames) {
    std::vector<Clock> clocks;
    int32_t in = 0, out = 0;
    startCapture();  // the delay reports
    clocks.push_back(clock());
    for (long long f = 0; f < frames; ++f) {
      effectProcess(fx, &in, &out);
      clocks.push_back(clock());
    }
    endCapture();
    return clocks;
  }
};

struct SeekCase {
  const char* name;
  const char* melody;
  int loop;
  long long frames;  // how far to play
};

// Short notes, fractional and one-tick durations, repeats (also of the
// whole melody and of a single note), a repeat right at the loop point.
const SeekCase seekCases[] = {
    {"plain", "100 3 100 17 100 10 100 1 100\n", 0, 1400},
    {"fraction", "100 2.5 100 1 100 9.01 100\n", 0, 700},
    {"repeats", "100 2 100 3 100 -3 4 100 -1 1 100 -2 2 100\n", 0, 1400},
    {"whole melody repeated", "100 2 100 3 100 -2\n", 0, 700},
    {"looping", "100 2 100 3 100 -2 1 100\n", 1, 3000},
    {"looping on a repeat", "100 4 100 2 100 -3\n", 1, 3000},
};

// The rates of the tick table, and rates whose ticks follow the exact time.
const int seekRates[] = {44100, 22050, 11025, 48000, 88200, 8000, 96000};

// Frames enough to play a case to its end at `rate`.
long long span(const SeekCase& c, int rate) {
  return c.frames * std::max(rate, 44100) / 44100;
}

TEST_F(SeekTest, LandsWherePlayingWouldBe) {
  for (int rate : seekRates) {
    for (const SeekCase& c : seekCases) {
      SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(rate));
      ASSERT_EQ(setUpFrames(c.melody, rate, c.loop), 0);
      const long long frames = span(c, rate);
      const std::vector<Clock> played = playedClocks(frames);
      for (long long f = 0; f <= frames; ++f) {
        effectSeek(fx, f);
        ASSERT_EQ(clock(), played[f]) << "frame " << f;
      }
      // Seeking backwards and forwards again lands on the same clocks.
      for (long long f : {frames / 2, 3LL, frames, 0LL}) {
        effectSeek(fx, f);
        ASSERT_EQ(clock(), played[f]) << "frame " << f;
      }
    }
  }
}

TEST_F(SeekTest, MelodyLengthIsWherePlayingEnds) {
  for (int rate : seekRates) {
    for (const SeekCase& c : seekCases) {
      if (c.loop) continue;
      SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(rate));
      ASSERT_EQ(setUpFrames(c.melody, rate, 0), 0);
      const long long length = effectMelodyFrames(fx);
      const std::vector<Clock> played = playedClocks(span(c, rate));
      ASSERT_LT(length, span(c, rate));
      EXPECT_NE(played[length - 1].noteNumber, 0);
      EXPECT_EQ(played[length].noteNumber, 0);
      EXPECT_EQ(effectSeek(fx, length - 1), 0);
      EXPECT_EQ(effectSeek(fx, length), 1);
      EXPECT_EQ(clock().noteNumber, 0);
    }
  }
  ASSERT_EQ(setUpFrames("100 5 100\n", 44100, 1), 0);
  EXPECT_EQ(effectMelodyFrames(fx), -1);
}

// One whole pass is skipped by arithmetic, which must agree with playing
// pass after pass: the second pass starts with a different first tick, and
// on the exact clock the carried thousandths go on from pass to pass.
TEST_F(SeekTest, FarIntoALoopingMelody) {
  for (int rate : {44100, 48000, 88200}) {
    SCOPED_TRACE(rate);
    ASSERT_EQ(setUpFrames("100 3 100 7 100 -2 1 100\n", rate, 1), 0);
    const std::vector<Clock> played = playedClocks(40000);
    for (long long f = 0; f <= 40000; f += 7) {
      effectSeek(fx, f);
      ASSERT_EQ(clock(), played[f]) << "frame " << f;
    }
  }
}

// A negative frame holds the start: the melody then plays as from frame 0,
// that many frames later.
TEST_F(SeekTest, NegativeFrameDelaysTheStart) {
  ASSERT_EQ(setUpFrames("100 2 100 3 100\n", 44100, 0), 0);
  const std::vector<Clock> fromStart = playedClocks(300);
  effectSeek(fx, -37);
  const std::vector<Clock> held = playedClocks(337);
  for (int f = 0; f <= 300; ++f) {
    Clock expected = fromStart[f], actual = held[f + 37];
    ASSERT_EQ(actual.noteNumber, expected.noteNumber) << f;
    ASSERT_EQ(actual.tickCount, expected.tickCount) << f;
    ASSERT_EQ(actual.repeatCounters, expected.repeatCounters) << f;
  }
}

// After a seek the read position starts as at set-up, whatever playback
// did before: one block of delay in block mode, none in matched mode.
TEST_F(SeekTest, ReadingStartsAfresh) {
  for (SpliceMode mode : {spliceBlock, spliceMatched}) {
    SCOPED_TRACE(mode);
    fx.settings.spliceMode = mode;
    const int frames = 64;
    // Bent first, then at the input's own pitch.
    ASSERT_EQ(init("100 200 150 1000 100\n", 0, 1, 200, frames * 4, 44100, 4).result, 0);
    std::vector<int32_t> in(frames), out(frames);
    int32_t next = 1;
    startCapture();
    for (int b = 0; b < 20; ++b) {
      for (auto& f : in) f = next++;
      effectProcess(fx, in.data(), out.data());
    }
    effectSeek(fx, 300 * 44);  // well inside the unbent note
    for (int b = 0; b < 5; ++b) {
      for (auto& f : in) f = next++;
      effectProcess(fx, in.data(), out.data());
      const int32_t delay = mode == spliceBlock ? frames : 0;
      for (int i = 0; i < frames; ++i) ASSERT_EQ(out[i], in[i] - delay) << b << " " << i;
    }
    endCapture();
  }
}

}  // namespace
