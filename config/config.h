// The program's settings and the configuration file that fills them.
#pragma once

#include <cstddef>

#include "settings.h"

constexpr int noLine = -1;

struct ProgramConfig {
  int defaultInput = 0;
  int defaultOutput = 0;
  int infiniteLoop = 0;
  StereoMode stereoMode = stereoNone;
  SpliceMode spliceMode = spliceBlock;
  ReadMode readMode = readVerbatim;    // interpolated needs matched splices
  int maxDelayMs = defaultMaxDelayMs;  // as written; the effect clamps it to what fits
  PitchMode pitchMode = pitchRelative;
  int retuneMs = 0;  // as written; below 0 counts as 0
  int defaultKeyCode = 32;
  char* defaultKeyName = nullptr;  // unset until a "DefaultKeyName:" line
  // Parts of device names from "InputDevice:" and "OutputDevice:"; unset
  // without those lines. The first device whose name holds one, ignoring
  // case, is that side's default.
  char* inputDeviceName = nullptr;
  char* outputDeviceName = nullptr;
  char** melodyFiles = nullptr;
  int melodyFileCount = 0;
  char** configLines = nullptr;
  int configLineCount = 0;
  int defaultInputLine = noLine;
  int defaultOutputLine = noLine;
};

extern ProgramConfig programConfig;

extern const char* const configFileName;  // "glidewarperconfig.txt"

int configLoad();
int configSave();

// Frees what a load stored and puts every field back to its start value, so a
// fresh load can follow (used between test cases).
void configReset();

// Test seam: the allocator behind every stored line, name and path; nullptr
// puts malloc back. Lets tests run a load out of memory.
using ConfigAllocator = void* (*)(std::size_t size);
void configSetAllocator(ConfigAllocator allocate);
