// The host's transport turned into segments of the input's frames.
#include "transport.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

constexpr int rate = 48000;

// One message: a position (with the fields given) or a new offset.
struct Message {
  long long at;
  std::optional<double> frame;
  std::optional<double> speed;
  std::optional<double> offset;  // set: an offset change instead of a position
};

struct TransportCase {
  const char* name;
  std::vector<Message> messages;
  // The segment each message yields, or nothing.
  std::vector<std::optional<Segment>> expected;
};

Segment rollingSegment(long long start, long long origin) {
  return {start, true, origin};
}
Segment stoppedSegment(long long start) {
  return {start, false, 0};
}

const std::vector<TransportCase>& transportCases() {
  static const std::vector<TransportCase> cases = {
      {"start, then positions where the last one leads",
       {{100, 5000.0, 1.0, {}}, {612, 5512.0, 1.0, {}}, {1124, 6024.0, {}, {}}},
       {rollingSegment(100, 100 - 5000), {}, {}}},
      {"a jump of one frame or more moves the melody",
       {{0, 0.0, 1.0, {}}, {512, 513.0, 1.0, {}}, {1024, 1024.0, 1.0, {}}},
       {rollingSegment(0, 0), rollingSegment(512, -1), rollingSegment(1024, 0)}},
      {"stop, stay stopped, start again where it stopped",
       {{0, 0.0, 1.0, {}}, {480, 480.0, 0.0, {}}, {960, 480.0, 0.0, {}}, {1440, 480.0, 1.0, {}}},
       {rollingSegment(0, 0), stoppedSegment(480), {}, rollingSegment(1440, 960)}},
      {"the first position says stopped: the plugin's own clock ends",
       {{300, 0.0, 0.0, {}}},
       {stoppedSegment(300)}},
      {"a position without a frame is taken where the speed leads",
       {{0, 1000.0, 1.0, {}}, {200, {}, 1.0, {}}, {400, {}, 0.0, {}}, {500, {}, 1.0, {}}},
       {rollingSegment(0, -1000), {}, stoppedSegment(400), rollingSegment(500, 500 - 1400)}},
      {"at twice the speed the host's frames run twice as fast",
       {{0, 0.0, 2.0, {}}, {100, 200.0, {}, {}}, {200, 400.0, 1.0, {}}, {300, 500.0, {}, {}}},
       {rollingSegment(0, 0), {}, {}, {}}},
      {"backwards is not rolling", {{0, 48000.0, -1.0, {}}}, {stoppedSegment(0)}},
      {"an offset moves melody time 0 along the host's timeline",
       {{0, {}, {}, 1.5}, {10, 0.0, 1.0, {}}, {20, {}, {}, -0.5}, {30, {}, {}, -0.5}},
       {{}, rollingSegment(10, 10 + 72000), rollingSegment(20, 10 - 24000), {}}},
      {"an offset changed while stopped applies at the next start",
       {{0, 0.0, 0.0, {}}, {5, {}, {}, 1.0}, {9, 100.0, 1.0, {}}},
       {stoppedSegment(0), {}, rollingSegment(9, 9 - 100 + 48000)}},
  };
  return cases;
}

TEST(Transport, SegmentsFromPositions) {
  for (const TransportCase& c : transportCases()) {
    SCOPED_TRACE(c.name);
    Transport transport;
    ASSERT_EQ(c.messages.size(), c.expected.size());
    for (std::size_t i = 0; i < c.messages.size(); ++i) {
      const Message& m = c.messages[i];
      Segment segment{-1, false, -1};
      bool made;
      if (m.offset) {
        made = transportOffset(transport, m.at, *m.offset, rate, segment);
      } else {
        const double frame = m.frame.value_or(0), speed = m.speed.value_or(0);
        made = transportPosition(transport, m.at, m.frame ? &frame : nullptr,
                                 m.speed ? &speed : nullptr, rate, segment);
      }
      ASSERT_EQ(made, c.expected[i].has_value()) << "message " << i;
      if (!made) continue;
      EXPECT_EQ(segment.start, c.expected[i]->start) << "message " << i;
      EXPECT_EQ(segment.rolling, c.expected[i]->rolling) << "message " << i;
      if (segment.rolling) {
        EXPECT_EQ(segment.origin, c.expected[i]->origin) << "message " << i;
      }
    }
  }
}

TEST(Timeline, FindsTheSegmentInForce) {
  Timeline t;
  timelineReset(t, {0, false, 0});
  timelineAdd(t, {100, true, 50});
  timelineAdd(t, {200, false, 0});
  timelineAdd(t, {200, true, 7});  // the same start replaces
  EXPECT_EQ(t.count, 3);
  EXPECT_EQ(timelineFind(t, -5), 0);
  EXPECT_EQ(timelineFind(t, 99), 0);
  EXPECT_EQ(timelineFind(t, 100), 1);
  EXPECT_EQ(timelineFind(t, 199), 1);
  EXPECT_EQ(timelineFind(t, 200), 2);
  EXPECT_EQ(t.items[2].origin, 7);

  timelineForget(t, 150);  // the segment in force at 150 stays
  ASSERT_EQ(t.count, 2);
  EXPECT_EQ(t.items[0].start, 100);
  timelineForget(t, 10000);
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(t.items[0].start, 200);
}

TEST(Timeline, FullDropsTheOldest) {
  Timeline t;
  timelineReset(t, {0, false, 0});
  for (int i = 1; i <= Timeline::capacity + 5; ++i) timelineAdd(t, {i * 10LL, true, i});
  EXPECT_EQ(t.count, Timeline::capacity);
  EXPECT_EQ(t.items[t.count - 1].start, (Timeline::capacity + 5) * 10LL);
  EXPECT_EQ(t.items[0].start, 6 * 10LL);
}

}  // namespace
