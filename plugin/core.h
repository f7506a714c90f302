// The plugin's audio path, apart from LV2 itself: host blocks of any length
// in, the effect's fixed blocks through a FIFO, and the melody switched on
// and off, frame by frame, where the transport says.
//
// Input frame n (counted from activation) leaves as output frame
// n + latency: the FIFO holds one block, and block mode adds the block the
// effect itself delays by. The output for input frame n is bent as the
// melody stands at n, so a host that compensates the latency hears the
// melody exactly on its timeline.
#pragma once

#include <cstdint>

#include "melody.h"
#include "transport.h"

// Receives a delay report: where in the host's block it falls, and the
// delay in ms.
using ReportSink = void (*)(void* context, uint32_t frame, float ms);

struct Core {
  int rate = 0;
  int channels = 0;     // interleaved in the effect's frames: 1 or 2
  int blockFrames = 0;  // of the effect's blocks
  // Blocks of interleaved frames: the one being filled, the last ones taken
  // (newest first, for priming a new melody), the output being played out,
  // and the effect's own output.
  static constexpr int keptBlocks = 4;
  float* input = nullptr;
  float* kept[keptBlocks] = {};
  float* output = nullptr;
  float* effectOutput = nullptr;
  unsigned char* playing = nullptr;  // per frame of a block: from the melody
  int fill = 0;                      // frames of `input` filled so far
  long long taken = 0;               // input frames since activation

  Melody* melody = nullptr;               // owned by the caller
  bool inStep = false;                    // the melody's clock went on from the last block's end
  SpliceMode idleSplice = spliceMatched;  // the delay's mode while no melody is set up
  StereoMode routing = stereoNone;

  Transport transport;
  Timeline timeline;
  bool ownClockPending = false;  // start the melody on the plugin's own clock
};

// Frames in one of the effect's blocks at `rate`: 10 ms, rounded up.
int coreBlockFrames(int rate);

// Allocates the buffers; false when out of memory.
bool coreInit(Core& core, int rate, int channels);
void coreFree(Core& core);

// Back to the start: silence in the FIFO, no transport, frame count 0.
void coreReset(Core& core);

// Frames of latency: the FIFO's block, and in block mode the effect's.
int coreLatency(const Core& core);

// Puts `melody` in place of the current one (returned, for the caller to
// free off the audio thread) and feeds it the last blocks taken, so that it
// has a history to read from. A host that has sent no position hears it
// from the next run on, on the plugin's own clock.
Melody* coreInstall(Core& core, Melody* melody);

// Called at the start of each host block.
void coreBeginRun(Core& core);

// Runs frames [from, to) of the host's buffers through: `in` and `out`
// hold `channels` pointers each, and may be the same memory.
void coreRun(Core& core, const float* const* in, float* const* out, uint32_t from, uint32_t to,
             ReportSink report, void* reportContext);

// A time:Position or a new offset, at the next frame coreRun takes.
void corePosition(Core& core, const double* frame, const double* speed);
void coreOffset(Core& core, double offset);
