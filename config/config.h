// The program's settings and the configuration file that fills them.
#pragma once

#include <cstddef>

// 0 leaves the output as the effect wrote it; 1 copies each frame's left
// sample to its right; 2 copies right to left.
enum StereoMode { stereoNone = 0, stereoLeftToBoth = 1, stereoRightToBoth = 2 };

// How the effect's read position jumps when it runs out of range: by one
// whole block (the default), or to where the input's waveform matches.
enum SpliceMode { spliceBlock = 0, spliceMatched = 1 };

// The most delay the matched splices may build up, in milliseconds, unless
// the configuration says otherwise.
constexpr int defaultMaxDelayMs = 25;

constexpr int noLine = -1;

struct ProgramConfig {
  int defaultInput = 0;
  int defaultOutput = 0;
  int infiniteLoop = 0;
  StereoMode stereoMode = stereoNone;
  SpliceMode spliceMode = spliceBlock;
  int maxDelayMs = defaultMaxDelayMs;  // as written; the effect clamps it to what fits
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
