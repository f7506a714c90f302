// Where the melody stands on the input's own frame count: the host's
// transport (or the plugin's own clock) turned into stretches of frames
// during which the melody plays from a known origin, or does not play.
#pragma once

// From input frame `start` on, until the next segment: whether the melody
// may play, and the input frame at which its time 0 falls (it plays where
// the frame minus the origin lies within it).
struct Segment {
  long long start = 0;
  bool rolling = false;
  long long origin = 0;
};

// The segments still needed, oldest first. The block processor looks back
// at most two blocks, so a few entries are plenty; when more changes than
// that arrive so close together, the oldest are dropped.
struct Timeline {
  static constexpr int capacity = 32;
  Segment items[capacity];
  int count = 0;
};

void timelineReset(Timeline& timeline, const Segment& segment);
// Appends a segment that starts at or after the last one; one that starts
// where the last one does replaces it.
void timelineAdd(Timeline& timeline, const Segment& segment);
// Index of the segment in force at `frame` (the first one for earlier frames).
int timelineFind(const Timeline& timeline, long long frame);
// Drops the segments that end before `frame`.
void timelineForget(Timeline& timeline, long long frame);

// What the host said last about its transport.
struct Transport {
  bool positioned = false;  // a position has arrived since activation
  bool rolling = false;
  double frame = 0;  // the host's frame at input frame `at`
  long long at = 0;
  double speed = 0;
  double offset = 0;  // seconds of the host's timeline at which melody time 0 falls
};

// The host's frame at input frame `at`, as its speed carries it on.
double transportFrameAt(const Transport& transport, long long at);

// A time:Position at input frame `at`, with the fields it carried (a null
// pointer for one it lacked). Fills `segment` and returns true when the
// melody starts, stops or moves there: it starts when the transport starts
// rolling and moves when the frame differs from where the last position and
// speed lead; a speed of 0 or below stops it.
bool transportPosition(Transport& transport, long long at, const double* frame, const double* speed,
                       int rate, Segment& segment);

// A new offset at input frame `at`: moves the melody when it is rolling.
bool transportOffset(Transport& transport, long long at, double offset, int rate, Segment& segment);
