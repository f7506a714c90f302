#include "transport.h"

#include <cmath>

void timelineReset(Timeline& timeline, const Segment& segment) {
  timeline.items[0] = segment;
  timeline.count = 1;
}

void timelineAdd(Timeline& timeline, const Segment& segment) {
  if (timeline.count > 0 && timeline.items[timeline.count - 1].start >= segment.start) {
    timeline.items[timeline.count - 1] = segment;
    return;
  }
  if (timeline.count == Timeline::capacity) {
    for (int i = 1; i < timeline.count; ++i) timeline.items[i - 1] = timeline.items[i];
    --timeline.count;
  }
  timeline.items[timeline.count++] = segment;
}

int timelineFind(const Timeline& timeline, long long frame) {
  int index = 0;
  while (index + 1 < timeline.count && timeline.items[index + 1].start <= frame) ++index;
  return index;
}

void timelineForget(Timeline& timeline, long long frame) {
  const int keep = timelineFind(timeline, frame);
  if (keep == 0) return;
  for (int i = keep; i < timeline.count; ++i) timeline.items[i - keep] = timeline.items[i];
  timeline.count -= keep;
}

double transportFrameAt(const Transport& transport, long long at) {
  return transport.frame + static_cast<double>(at - transport.at) * transport.speed;
}

namespace {

// The melody's time 0 on the input's frames, for a transport rolling at `at`.
Segment rollingFrom(const Transport& transport, long long at, int rate) {
  const double melodyFrame = transport.frame - transport.offset * rate;
  return {at, true, at - std::llround(melodyFrame)};
}

}  // namespace

bool transportPosition(Transport& transport, long long at, const double* frame, const double* speed,
                       int rate, Segment& segment) {
  const double predicted = transportFrameAt(transport, at);
  const bool first = !transport.positioned;
  const bool wasRolling = transport.positioned && transport.rolling;
  transport.positioned = true;
  transport.frame = frame && std::isfinite(*frame) ? *frame : predicted;
  transport.at = at;
  if (speed && std::isfinite(*speed)) transport.speed = *speed;
  transport.rolling = transport.speed > 0;
  if (transport.rolling) {
    // Half a frame: the host's frames are whole, the prediction need not be.
    if (wasRolling && std::fabs(transport.frame - predicted) < 0.5) return false;
    segment = rollingFrom(transport, at, rate);
    return true;
  }
  if (!wasRolling && !first) return false;
  segment = {at, false, 0};
  return true;
}

bool transportOffset(Transport& transport, long long at, double offset, int rate,
                     Segment& segment) {
  if (offset == transport.offset) return false;
  transport.frame = transportFrameAt(transport, at);
  transport.at = at;
  transport.offset = offset;
  if (!transport.positioned || !transport.rolling) return false;
  segment = rollingFrom(transport, at, rate);
  return true;
}
