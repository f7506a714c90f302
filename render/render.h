// glidewarp-render: plays a sound file through the effect offline, block by
// block through the program's own stream callback, so the result is what the
// live program would have played for that input.
#pragma once

#include <string>

#include "options.h"
#include "settings.h"

struct RenderOptions {
  int framesPerBuffer = 512;
  int loop = 0;
  StereoMode stereoMode = stereoNone;
  SpliceMode spliceMode = spliceBlock;
  ReadMode readMode = readVerbatim;    // interpolated needs matched splices
  int maxDelayMs = defaultMaxDelayMs;  // the effect clamps it, as it does MaxDelay
  PitchMode pitchMode = pitchRelative;
  int retuneMs = 0;
  std::string plotPath;  // empty: no picture
  std::string inputPath;
  std::string melodyPath;
  std::string outputPath;
  bool help = false;
};

// Exit statuses.
constexpr int renderOk = 0;
constexpr int renderFailed = 1;
constexpr int renderBadUsage = badUsageStatus;

extern const char* const renderUsage;

// Fills `options` from the command line. On a bad command line returns false
// with a one-line reason in `error`.
bool parseRenderArgs(int argc, char** argv, RenderOptions& options, std::string& error);

// Does the whole render and returns the exit status. The effect's messages go
// to standard output, as in the live program; errors go to standard error.
int runRender(const RenderOptions& options);
