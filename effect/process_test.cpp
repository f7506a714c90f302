// The block processor, traced frame by frame: every input frame carries its
// own index, so each output frame shows which input frame it copies.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "effect_testing.h"

namespace {

class ProcessTest : public EffectTest {
 protected:
  int framesPerBlock = 0;
  int nextIndex = 1;  // input frame indices start at 1; 0 is silence

  InitOutcome setUp(const std::string& melody, int frames, int historyBlocks = 200, int loop = 0,
                    int channelCount = 1) {
    framesPerBlock = frames;
    nextIndex = 1;
    return init(melody, loop, channelCount, historyBlocks, frames * 4, 44100, 4);
  }

  // Runs one block of fresh indices through the effect; returns the output.
  std::vector<int32_t> block() {
    std::vector<int32_t> input(framesPerBlock), output(framesPerBlock, -1);
    for (auto& frame : input) frame = nextIndex++;
    effectProcess(fx, input.data(), output.data());
    return output;
  }

  // The output indices of `count` blocks, concatenated.
  std::vector<int32_t> blocks(int count) {
    std::vector<int32_t> all;
    for (int b = 0; b < count; ++b) {
      auto out = block();
      all.insert(all.end(), out.begin(), out.end());
    }
    return all;
  }

  // Lengths of the runs of equal steps between consecutive output frames.
  static std::vector<std::pair<int, int>> runs(const std::vector<int32_t>& out, size_t from,
                                               size_t to) {
    std::vector<std::pair<int, int>> result;
    for (size_t i = from + 1; i < to; ++i) {
      int move = out[i] - out[i - 1];
      if (!result.empty() && result.back().first == move)
        ++result.back().second;
      else
        result.push_back({move, 1});
    }
    return result;
  }
};

TEST_F(ProcessTest, ConstantDelayOfOneBlock) {
  ASSERT_EQ(setUp("100 1000 100\n", 64).result, 0);
  startCapture();
  auto first = block();
  EXPECT_EQ(endCapture(), "1. Delay on channel 0 = 0 samples\n");
  for (int32_t frame : first) EXPECT_EQ(frame, 0);  // the slot before: silence
  for (int b = 1; b < 20; ++b) {
    auto out = block();
    for (int i = 0; i < 64; ++i) ASSERT_EQ(out[i], (b - 1) * 64 + i + 1);
  }
}

TEST_F(ProcessTest, DoubleSpeedReadsEachBlockTwice) {
  ASSERT_EQ(setUp("100 100000 200\n", 16).result, 0);
  startCapture();
  block();
  for (int b = 1; b < 1001; ++b) {
    int start = nextIndex;
    auto out = block();
    for (int i = 0; i < 16; ++i) ASSERT_EQ(out[i], start + (2 * i) % 16) << b << " " << i;
  }
  std::string printed = endCapture();
  EXPECT_EQ(printed,
            "1. Delay on channel 0 = 0 samples\n"
            "2. Delay on channel 0 = -16 samples\n");
}

TEST_F(ProcessTest, TickLengths) {
  // A one-block history reads the block just received, so no warm-up is
  // needed. Note 1 lasts 10 ticks (45 + 9 x 44 frames), note 2 the same.
  ASSERT_EQ(setUp("100 10 100 10 200 1 100 1 300 1000 100\n", 2048, 1).result, 0);
  startCapture();
  auto out = block();
  endCapture();
  auto r = runs(out, 0, 2048);
  ASSERT_GE(r.size(), 5u);
  EXPECT_EQ(r[0], std::make_pair(1, 441));
  EXPECT_EQ(r[1], std::make_pair(2, 441));
  // After a duration of 10 the first tick is 45 frames; after 1, 44.
  EXPECT_EQ(r[2], std::make_pair(1, 45));
  EXPECT_EQ(r[3], std::make_pair(3, 44));
  EXPECT_EQ(r[4].first, 1);
}

// The frame at which each note of a long melody ends, at `rate`, seen one
// frame at a time; and the durations in ticks of the notes as played.
struct NoteEnds {
  std::vector<long long> frames;
  std::vector<int> ticks;
};

NoteEnds playOneFrameAtATime(EffectState& fx, const std::string& path, int rate) {
  NoteEnds ends;
  startCapture();
  // One frame per block and a one-block history: every frame is seen.
  const int failed = effectInit(fx, 1, 1, 4, rate, 4, path.c_str(), 0);
  endCapture();
  if (failed) return ends;
  int32_t in = 1, out = 0;
  const Note* playing = fx.channels[0]->note;
  startCapture();
  for (long long frame = 1; playing; ++frame) {
    effectProcess(fx, &in, &out);
    const Note* now = fx.channels[0]->note;
    if (now != playing) {
      ends.frames.push_back(frame);
      ends.ticks.push_back(static_cast<int>(playing->duration));
      playing = now;
    }
  }
  endCapture();
  return ends;
}

// Over a melody of some 12 seconds, with durations that are and are not
// multiples of 10 and one note of a whole second.
TEST_F(ProcessTest, TickClockAtEveryRateAndNoDriftAwayFromTheTable) {
  std::string melody = "100\n";
  const int durations[] = {7, 13, 1, 29, 10, 3, 20, 11};
  for (int i = 0; i < 1200; ++i)
    melody += std::to_string(durations[i % 8]) + (i % 2 ? " 50\n" : " 100\n");
  melody += "1000 50\n";
  const std::string path = dir.write("long.txt", melody);

  // The table's rates keep their rule: the first tick of the melody is 45
  // frames, the first of a later note one frame longer when the note before
  // lasted a multiple of longTickEvery, and every longTickEvery-th tick of
  // a note is one frame longer.
  const struct {
    int rate, tickFrames, longTickEvery;
  } table[] = {{44100, 44, 10}, {22050, 22, 20}, {11025, 11, 40}};
  for (const auto& t : table) {
    SCOPED_TRACE(t.rate);
    const NoteEnds ends = playOneFrameAtATime(fx, path, t.rate);
    ASSERT_EQ(ends.frames.size(), 1201u);
    long long end = 0;
    int previous = 0;
    for (std::size_t n = 0; n < ends.frames.size(); ++n) {
      const int d = ends.ticks[n];
      end += n == 0 ? 45 : previous % t.longTickEvery == 0 ? t.tickFrames + 1 : t.tickFrames;
      for (int k = 1; k < d; ++k) end += k % t.longTickEvery == 0 ? t.tickFrames + 1 : t.tickFrames;
      previous = d;
      ASSERT_EQ(ends.frames[n], end) << "note " << n + 1;
    }
    effectRelease(fx);
  }
  // Two figures of the table's rule at 44100: a first note of 7 ticks is
  // 45 + 6 x 44 frames, the next one of 13 ticks starts with 44 and has one
  // tick of 45.
  const NoteEnds at44100 = playOneFrameAtATime(fx, path, 44100);
  ASSERT_GE(at44100.frames.size(), 2u);
  EXPECT_EQ(at44100.frames[0], 309);
  EXPECT_EQ(at44100.frames[1], 309 + 12 * 44 + 45);
  effectRelease(fx);

  // Any other rate: each note ends where the exact time of its last tick
  // ends, rounded down to a frame, however many ticks came before; the
  // second-long note lasts the rate's frames to within one.
  for (int rate : {48000, 88200, 96000, 32000, 8000, 192000}) {
    SCOPED_TRACE(rate);
    const NoteEnds ends = playOneFrameAtATime(fx, path, rate);
    ASSERT_EQ(ends.frames.size(), 1201u);
    long long ticks = 0;
    for (std::size_t n = 0; n < ends.frames.size(); ++n) {
      ticks += ends.ticks[n];
      ASSERT_EQ(ends.frames[n], ticks * rate / 1000) << "note " << n + 1;
    }
    const long long second = ends.frames[1200] - ends.frames[1199];
    EXPECT_LE(std::abs(second - rate), 1);
    effectRelease(fx);
  }
}

TEST_F(ProcessTest, FirstNoteOfOneTickLasts45Frames) {
  ASSERT_EQ(setUp("100 1 100 1000 200\n", 256, 1).result, 0);
  startCapture();
  auto out = block();
  endCapture();
  auto r = runs(out, 0, 256);
  EXPECT_EQ(r[0], std::make_pair(1, 45));
  EXPECT_EQ(r[1].first, 2);
}

TEST_F(ProcessTest, FractionalDurationEndsAtTheNextWholeTick) {
  ASSERT_EQ(setUp("100 1.5 100 1000 200\n", 256, 1).result, 0);
  startCapture();
  auto out = block();
  endCapture();
  EXPECT_EQ(runs(out, 0, 256)[0], std::make_pair(1, 45 + 44));
}

TEST_F(ProcessTest, MelodyEndingMidBlockThenPassesThrough) {
  ASSERT_EQ(setUp("100 1 100\n", 64).result, 0);
  startCapture();
  auto first = block();
  auto second = block();
  auto third = block();
  std::string printed = endCapture();
  // 45 frames play; the rest of that block is the channel's earlier output.
  for (int i = 0; i < 45; ++i) EXPECT_EQ(first[i], 0);
  for (int i = 45; i < 64; ++i) EXPECT_EQ(first[i], 0);
  // Second block: the melody has ended, so the input passes through.
  for (int i = 0; i < 64; ++i) EXPECT_EQ(second[i], 65 + i);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(third[i], 129 + i);
  EXPECT_EQ(printed, "1. Delay on channel 0 = 0 samples\n");
  EXPECT_EQ(fx.blockCounter, 1u);
}

TEST_F(ProcessTest, EndMidBlockKeepsEarlierOutputInTheTail) {
  // 45 + 44 frames: the end falls in the second block, whose tail repeats
  // what the first block put at those places.
  ASSERT_EQ(setUp("100 1 200 1 100\n", 64).result, 0);
  startCapture();
  auto first = block();
  auto second = block();
  endCapture();
  ASSERT_GT(second.size(), 0u);
  const int end = 45 + 44 - 64;  // frames of the melody that fall into block two
  for (int i = 0; i < end; ++i) EXPECT_GT(second[i], 0) << i;
  for (int i = end; i < 64; ++i) EXPECT_EQ(second[i], first[i]) << i;
}

TEST_F(ProcessTest, RepeatedSections) {
  // Notes 1 (move 1) and 2 (move 2) played twice, then note 3 (move 3).
  ASSERT_EQ(setUp("100 1 100 1 200 -2 1000 300\n", 1024, 1).result, 0);
  startCapture();
  auto twice = block();
  endCapture();
  auto r = runs(twice, 0, 400);
  ASSERT_GE(r.size(), 5u);
  EXPECT_EQ(r[0], std::make_pair(1, 45));
  EXPECT_EQ(r[1], std::make_pair(2, 44));
  EXPECT_EQ(r[2], std::make_pair(1, 44));
  EXPECT_EQ(r[3], std::make_pair(2, 44));
  EXPECT_EQ(r[4].first, 3);
  EXPECT_EQ(note(2)->repeatCounter, 0);  // back to 0 once the melody went on

  // -1 plays the section once.
  ASSERT_EQ(setUp("100 1 100 1 200 -1 1000 300\n", 1024, 1).result, 0);
  startCapture();
  auto once = block();
  endCapture();
  r = runs(once, 0, 400);
  EXPECT_EQ(r[0], std::make_pair(1, 45));
  EXPECT_EQ(r[1], std::make_pair(2, 44));
  EXPECT_EQ(r[2].first, 3);
}

TEST_F(ProcessTest, ChannelsAlternateAndShareTheNoteCycles) {
  // The ring of 150 is 2, 1; three frames per block, so the second channel
  // starts on the step where the first one left the shared note.
  ASSERT_EQ(setUp("100 100000 150\n", 3, 200, 0, 2).result, 0);
  startCapture();
  EXPECT_EQ(note(1)->step->move, 2);
  block();
  EXPECT_EQ(note(1)->step->move, 1);
  block();
  EXPECT_EQ(note(1)->step->move, 2);
  // Each channel keeps its own tick clock.
  EXPECT_EQ(fx.channels[0]->frameInTick, 3);
  EXPECT_EQ(fx.channels[1]->frameInTick, 3);
  endCapture();

  // Every move 1: each channel delays its own blocks by one of its turns.
  ASSERT_EQ(setUp("100 100000 100\n", 8, 200, 0, 2).result, 0);
  startCapture();
  std::vector<std::vector<int32_t>> outs;
  for (int b = 0; b < 8; ++b) outs.push_back(block());
  std::string printed = endCapture();
  for (int b = 2; b < 8; ++b)
    for (int i = 0; i < 8; ++i) EXPECT_EQ(outs[b][i], (b - 2) * 8 + i + 1);
  EXPECT_EQ(printed, "1. Delay on channel 0 = 0 samples\n");
}

TEST_F(ProcessTest, SingleBlockHistoryReadsOnlyTheNewestBlock) {
  for (const char* melody : {"100 100000 50\n", "100 100000 200\n", "100 100000 800\n",
                             "100 100000 799\n", "100 100000 13\n"}) {
    ASSERT_EQ(setUp(melody, 8, 1).result, 0) << melody;
    startCapture();
    for (int b = 0; b < 50; ++b) {
      int start = nextIndex;
      auto out = block();
      for (int32_t frame : out) {
        ASSERT_GE(frame, start) << melody;
        ASSERT_LT(frame, start + 8) << melody;
      }
    }
    endCapture();
  }
}

TEST_F(ProcessTest, ReadsStayInsideTheHistoryAtEveryRatio) {
  // From nearly still to a whole block per frame, at several history sizes.
  for (int history : {1, 2, 5}) {
    for (const char* melody :
         {"100 7 1 7 1600 7 3 7 1599 5 100 -3 9 800.5\n", "100 3 1600 3 0.01 -4\n"}) {
      ASSERT_EQ(setUp(melody, 16, history, 1).result, 0);
      startCapture();
      int oldestInput = 1 - (history - 1) * 16;
      for (int b = 0; b < 200; ++b) {
        int start = nextIndex;
        auto out = block();
        for (int32_t frame : out) {
          if (frame == 0) continue;  // history not yet filled
          ASSERT_GE(frame, std::max(1, start + oldestInput - 1));
          ASSERT_LT(frame, start + 16);
        }
      }
      endCapture();
    }
  }
}

TEST_F(ProcessTest, InputAndOutputMayBeTheSameMemory) {
  const char* melody = "100 20 150 30 70 -2 10 333\n";
  ASSERT_EQ(setUp(melody, 32, 3, 1).result, 0);
  startCapture();
  auto separate = blocks(40);
  endCapture();
  ASSERT_EQ(setUp(melody, 32, 3, 1).result, 0);
  startCapture();
  std::vector<int32_t> inPlace;
  for (int b = 0; b < 40; ++b) {
    std::vector<int32_t> buffer(32);
    for (auto& frame : buffer) frame = nextIndex++;
    effectProcess(fx, buffer.data(), buffer.data());
    inPlace.insert(inPlace.end(), buffer.begin(), buffer.end());
  }
  endCapture();
  EXPECT_EQ(separate, inPlace);
}

TEST_F(ProcessTest, ReportsEveryThousandHistoryBlocks) {
  ASSERT_EQ(setUp("100 100000 50\n", 4, 3).result, 0);
  startCapture();
  blocks(2001);
  std::string printed = endCapture();
  // Half speed drifts back until the read position jumps a block forward.
  EXPECT_EQ(printed.substr(0, 35), "1. Delay on channel 0 = 0 samples\n2");
  EXPECT_NE(printed.find("\n3. Delay on channel 0 = "), std::string::npos);
  EXPECT_EQ(printed.find("\n4."), std::string::npos);
  EXPECT_EQ(fx.reportCounter, 3);
}

// The render tool's progress bar makes way for the report by this rule, so
// it must agree with what the processor prints, also once a melody has ended
// exactly when the block counter reached a multiple of the interval.
TEST_F(ProcessTest, ReportDueAgreesWithThePrintedReports) {
  // 68 ticks last 2999 frames: the melody ends within the 1000th block of 3.
  ASSERT_EQ(setUp("100 68 100\n", 3, 4).result, 0);
  for (int b = 0; b < 1300; ++b) {
    const bool due = delayReportDue(fx);
    startCapture();
    block();
    const std::string printed = endCapture();
    ASSERT_EQ(due, !printed.empty()) << "block " << b + 1 << ": " << printed;
  }
  EXPECT_EQ(fx.blockCounter, 1000u);
  EXPECT_EQ(fx.reportCounter, 1);
}

TEST_F(ProcessTest, NotInitialized) {
  std::vector<int32_t> out(16, 7);
  int32_t in[16] = {};
  startCapture();
  EXPECT_EQ(effectProcess(fx, in, out.data()), 1);
  EXPECT_EQ(endCapture(), "Effect not initialized.\n");
  EXPECT_EQ(out, std::vector<int32_t>(16, 7));
}

}  // namespace
