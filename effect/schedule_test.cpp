// Move cycles, channels and release of the melody schedule.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "effect_testing.h"
#include "plain_cycle.h"

using ScheduleTest = EffectTest;

TEST_F(ScheduleTest, CyclesForTheListedFrequencies) {
  ASSERT_EQ(init("100 10 100 10 150 10 50 10 100.5\n").result, 0);

  // Equal frequency: one step with move 1 that leads to itself.
  const MoveStep* same = note(1)->step;
  EXPECT_EQ(same->move, 1);
  EXPECT_EQ(same->next, same);

  // 1.5 times: move 2 at phase -150, move 1 at phase -100, and round again.
  const MoveStep* faster = note(2)->step;
  EXPECT_EQ(faster->move, 2);
  EXPECT_DOUBLE_EQ(faster->phase, -150);
  EXPECT_EQ(faster->next->move, 1);
  EXPECT_DOUBLE_EQ(faster->next->phase, -100);
  EXPECT_EQ(faster->next->next, faster);

  // Half: move 1 at phase -50, move 0 at phase 0.
  const MoveStep* slower = note(3)->step;
  EXPECT_EQ(slower->move, 1);
  EXPECT_DOUBLE_EQ(slower->phase, -50);
  EXPECT_EQ(slower->next->move, 0);
  EXPECT_DOUBLE_EQ(slower->next->phase, 0);
  EXPECT_EQ(slower->next->next, slower);

  // 100.5: a transient move 2 that leads into a one-step ring of move 1.
  const MoveStep* nearly = note(4)->step;
  EXPECT_EQ(nearly->move, 2);
  EXPECT_DOUBLE_EQ(nearly->phase, -100.5);
  const MoveStep* ring = nearly->next;
  EXPECT_EQ(ring->move, 1);
  EXPECT_DOUBLE_EQ(ring->phase, -1);
  EXPECT_EQ(ring->next, ring);
}

TEST_F(ScheduleTest, CyclesAverageTheFrequencyRatio) {
  ASSERT_EQ(init("440 10 660 10 330 10 523.25 10 880 10 311.1\n").result, 0);
  const double ratios[] = {1.5, 0.75, 523.25 / 440, 2.0, 311.1 / 440};
  for (int n = 1; n <= 5; ++n) {
    const MoveStep* start = note(n)->step;
    // Walk into the ring, then average one full turn of it.
    const MoveStep* ring = start;
    for (int i = 0; i < 1000; ++i) ring = ring->next;
    int length = 0, sum = 0;
    const MoveStep* step = ring;
    do {
      sum += step->move;
      ++length;
      step = step->next;
    } while (step != ring && length < 10000);
    ASSERT_LE(length, 441) << "note " << n;  // at most ceil(base) + 1 steps
    // The whole-unit phase tolerance allows an error of about 1 / base.
    EXPECT_NEAR(static_cast<double>(sum) / length, ratios[n - 1], 2.0 / 440) << "note " << n;
  }
}

TEST_F(ScheduleTest, PhaseToleranceIsOneWholeUnit) {
  MoveStep third{1, -50.999, 0, nullptr};
  MoveStep second{1, -100, 0, &third};
  MoveStep first{0, -50, 0, &second};
  EXPECT_EQ(findStep(-100.999, &first), &second);  // 0.999 apart
  EXPECT_EQ(findStep(-101, &first), nullptr);      // exactly 1 apart
  EXPECT_EQ(findStep(-50, &first), &third);        // the first step is never a candidate
  EXPECT_EQ(findStep(-50, &third), nullptr);       // a lone step has no candidate
  EXPECT_EQ(findStep(0, nullptr), nullptr);
}

TEST_F(ScheduleTest, SameFrequencyGivesSameCycleWhateverComesBefore) {
  ASSERT_EQ(init("100 10 137 10 91.3 10 137\n").result, 0);
  EXPECT_EQ(moves(note(1)->step, 300), moves(note(3)->step, 300));
}

TEST_F(ScheduleTest, ChannelsAfterSetUp) {
  ASSERT_EQ(init("100 10 150 10 50\n", 0, 3).result, 0);
  DelayChannel** channels = fx.channels;
  EXPECT_EQ(channels[0]->readOffset, 0);
  EXPECT_EQ(channels[0]->phase, 0);
  EXPECT_EQ(channels[0]->lastStep, nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(channels[i]->channelNumber, i);
    EXPECT_EQ(channels[i]->tickLength, 45);
    EXPECT_EQ(channels[i]->note, note(1));
    EXPECT_EQ(channels[i]->readOffset, 0);
    for (int j = 0; j < i; ++j) {
      EXPECT_NE(channels[i]->history, channels[j]->history);
      EXPECT_NE(channels[i]->outBlock, channels[j]->outBlock);
    }
    // A fresh history plays silence.
    for (int b = 0; b < 200 * 2048 + 1; ++b) ASSERT_EQ(channels[i]->history[b], 0);
  }
}

TEST_F(ScheduleTest, RefusedNotesNameTheirValues) {
  auto zero = init("100 250 0\n");
  EXPECT_EQ(zero.result, 1);
  EXPECT_NE(zero.printed.find("Zero or negative note in melody (f=0.000000, d=250.000000).\n"),
            std::string::npos);

  // Infinity and not-a-number are no better than zero.
  auto infinite = init("100 250 inf\n");
  EXPECT_EQ(infinite.result, 1);
  EXPECT_NE(infinite.printed.find("Zero or negative note in melody (f=inf, d=250.000000).\n"),
            std::string::npos);
  EXPECT_EQ(init("100 nan 100\n").result, 1);
  // A duration too large for single precision becomes infinite.
  EXPECT_EQ(init("100 1e60 100\n").result, 1);

  // 512 frames per block at base 100: moves above one block are refused.
  auto tooHigh = init("100 10 51200.5\n");
  EXPECT_EQ(tooHigh.result, 1);
  EXPECT_NE(tooHigh.printed.find("51200.500000"), std::string::npos) << tooHigh.printed;
  EXPECT_NE(tooHigh.printed.find("51200.000000"), std::string::npos) << tooHigh.printed;
  EXPECT_EQ(fx.initialized, 0);
  EXPECT_EQ(init("100 10 51200\n").result, 0);
}

TEST_F(ScheduleTest, NegativeMoveIsRefused) {
  Note owner{};
  startCapture();
  EXPECT_EQ(appendStep(fx, -1, 0, nullptr, &owner), nullptr);
  EXPECT_EQ(endCapture(), "error: move < 0\n");
  EXPECT_EQ(owner.step, nullptr);
}

TEST_F(ScheduleTest, ReleaseResetsAndIsIdempotent) {
  ASSERT_EQ(init("100 10 150\n").result, 0);
  fx.reportCounter = 7;
  effectRelease(fx);
  EXPECT_EQ(fx.initialized, 0);
  EXPECT_EQ(fx.reportCounter, 0);
  EXPECT_EQ(fx.channels, nullptr);
  effectRelease(fx);  // nothing left: must not touch freed memory
  unsigned char block[2048] = {9};
  startCapture();
  EXPECT_EQ(effectProcess(fx, block, block), 1);
  EXPECT_EQ(endCapture(), "Effect not initialized.\n");
  EXPECT_EQ(block[0], 9);
}

// Run under LeakSanitizer: every set-up, playback and release must free all.
TEST_F(ScheduleTest, ManyCyclesOfSetUpPlayAndReleaseLoseNothing) {
  const char* melodies[] = {"100 3 150 2 100.5 -3 1 50\n", "100 1 77 1 333 -2 2 100 -1",
                            "100 2 150 1 99.9\n"};
  std::vector<unsigned char> block(64 * 4);
  for (int cycle = 0; cycle < 60; ++cycle) {
    const int loop = cycle % 2;
    ASSERT_EQ(init(melodies[cycle % 3], loop, 1 + cycle % 3, 4, 64 * 4).result, 0);
    // Play a varying amount: some runs stop mid-melody, some after its end.
    for (int b = 0; b < cycle % 7; ++b) effectProcess(fx, block.data(), block.data());
    effectRelease(fx);
  }
}

// Every allocation of a set-up, made to fail in turn, fails cleanly:
// "Out of memory." and nothing leaked (checked by LeakSanitizer).
TEST_F(ScheduleTest, EachFailedAllocationFailsCleanly) {
  int failures = 0;
  for (int n = 0; n < 40; ++n) {
    fx.allocFailCountdown = n;
    auto outcome = init("100 2 150 2 50 -2 2 100.5\n", n % 2, 2, 3, 32);
    fx.allocFailCountdown = -1;
    if (outcome.result == 0) break;
    ++failures;
    EXPECT_NE(outcome.printed.find("Out of memory.\n"), std::string::npos) << n;
    EXPECT_EQ(fx.initialized, 0);
    effectRelease(fx);
  }
  EXPECT_GT(failures, 10);
  EXPECT_EQ(fx.initialized, 1);
}

TEST_F(ScheduleTest, HistoryTooLargeToAddressIsOutOfMemory) {
  auto outcome = init("100 10 100\n", 0, 1, INT_MAX, INT_MAX);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_NE(outcome.printed.find("Out of memory.\n"), std::string::npos);
  outcome = init("100 10 100\n", 0, 1, 1 << 20, 1 << 12);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_NE(outcome.printed.find("Out of memory.\n"), std::string::npos);
}

namespace {

// A step list as (move, phase) in list order, plus where its ring closes.
struct ListShape {
  std::vector<std::pair<int, double>> steps;
  size_t closesAt = SIZE_MAX;
  bool operator==(const ListShape&) const = default;
};

ListShape shapeOf(MoveStep* first) {
  ListShape shape;
  std::vector<MoveStep*> seen;
  for (MoveStep* step = first; step; step = step->next) {
    auto found = std::find(seen.begin(), seen.end(), step);
    if (found != seen.end()) {
      shape.closesAt = static_cast<size_t>(found - seen.begin());
      break;
    }
    seen.push_back(step);
    shape.steps.push_back({step->move, step->phase});
  }
  return shape;
}

}  // namespace

// The indexed cycle builder must build exactly the rings that the plain
// search of the step list builds.
TEST_F(ScheduleTest, IndexedBuilderMatchesThePlainSearch) {
  std::srand(12345);
  for (auto [base, trials] : {std::pair{100.0, 1500}, {440.0, 1500}, {3000.0, 150}}) {
    ASSERT_EQ(init(std::to_string(base) + " 10 " + std::to_string(base) + "\n").result, 0);
    DelayChannel* channel = fx.channels[0];
    for (int trial = 0; trial < trials; ++trial) {
      const float frequency =
          static_cast<float>(base * (0.5 + 1.5 * std::rand() / static_cast<double>(RAND_MAX)));
      Note* indexed = appendNote(fx, frequency, 10, channel);
      ASSERT_NE(indexed, nullptr);

      // The plain way, with the first step dropped as appendNote drops it.
      std::vector<MoveStep*> plainSteps = buildPlainCycle(fx, channel, frequency);
      ASSERT_GE(plainSteps.size(), 2u);
      ListShape expected = shapeOf(plainSteps[1]);
      EXPECT_EQ(shapeOf(indexed->step), expected) << "base " << base << " f " << frequency;
      for (MoveStep* step : plainSteps) std::free(step);
    }
  }
}
