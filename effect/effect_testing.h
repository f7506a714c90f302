// Shared set-up for the effect's unit tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "effect.h"
#include "testsupport.h"

struct InitOutcome {
  int result;
  std::string printed;
};

// Melody files in a private folder; every test ends with the effect released.
class EffectTest : public ::testing::Test {
 protected:
  TempDir dir;
  // Each test's own effect; the settings it holds are the ones set-up reads.
  EffectState fx;

  void TearDown() override {
    fx.allocFailCountdown = -1;
    effectRelease(fx);
  }

  InitOutcome init(const std::string& melody, int loop = 0, int channelCount = 1,
                   int historyBlocks = 200, int blockBytes = 2048, int rate = 44100,
                   int frameBytes = 4) {
    std::string path = dir.write("melody.txt", melody);
    startCapture();
    int result = effectInit(fx, channelCount, historyBlocks, blockBytes, rate, frameBytes,
                            path.c_str(), loop);
    return {result, endCapture()};
  }

  // The effect as the live program sets it up for a stream of `channels`.
  InitOutcome initLive(const std::string& melody, int channels, int frames, int loop = 0) {
    std::string path = dir.write("melody.txt", melody);
    startCapture();
    EffectSettings settings = fx.settings;
    settings.sampleRate = 44100;
    settings.loop = loop;
    int result = liveEffectInit(fx, settings, path.c_str(), channels, frames);
    return {result, endCapture()};
  }

  // The moves of a ring, starting at `step`, for `count` steps.
  static std::vector<int> moves(const MoveStep* step, int count) {
    std::vector<int> result;
    for (int i = 0; i < count && step; ++i, step = step->next) result.push_back(step->move);
    return result;
  }

  Note* note(int number) {
    Note* n = fx.firstNote;
    while (n && n->noteNumber != number) n = n->allocNext;
    return n;
  }
};
