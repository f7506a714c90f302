// The plugins' run() allocates nothing, whatever arrives: positions that
// start, move and stop the melody, questions, a new melody, new settings.
// Every allocation of this binary is counted, the plugin's included.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "counting_allocator.h"
#include "lv2host.h"
#include "testsupport.h"

namespace {

constexpr double rate = 48000;
constexpr uint32_t maxBlock = 512;

AllocationCount total{0, 0};

void startRun() {
  startCountingAllocations();
}
void endRun() {
  const AllocationCount counted = stopCountingAllocations();
  total.news += counted.news;
  total.mallocs += counted.mallocs;
}

TEST(PluginRealtime, RunAllocatesNothing) {
  TempDir dir;
  const std::string first = dir.write("first.txt", "220 300 330 200 262 -2 300 440\n");
  const std::string second = dir.write("second.txt", "220 500 165 500 294\n");
  Lv2World world;
  std::string error;
  ASSERT_TRUE(worldOpen(world, GW_LV2_DIR, error)) << error;
  for (const char* uri : {"urn:glidewarper:mono", "urn:glidewarper:stereo"}) {
    for (float splice : {1.0f, 0.0f}) {
      SCOPED_TRACE(std::string(uri) + (splice > 0 ? " matched" : " block"));
      Lv2Instance inst;
      // Instantiation allocates, and is seen to: the counting reaches into
      // the plugin.
      startCountingAllocations();
      ASSERT_TRUE(instanceOpen(inst, world, uri, rate, maxBlock, error)) << error;
      EXPECT_GT(stopCountingAllocations().mallocs, 0);
      setControl(inst, "splice", splice);
      sendMelody(inst, 0, first);
      runBlock(inst, nullptr, nullptr, 0);
      settleWorker(inst);

      inst.beforeRun = startRun;
      inst.afterRun = endRun;
      total = {0, 0};
      std::vector<float> in(maxBlock), out(maxBlock);
      for (uint32_t i = 0; i < maxBlock; ++i) in[i] = std::sin(0.0628f * static_cast<float>(i));
      const float* ins[] = {in.data(), in.data()};
      float* outs[] = {out.data(), out.data() + maxBlock / 2};
      long long hostFrame = 0;
      for (int run = 0; run < 600; ++run) {
        const uint32_t frames = (run * 37) % (maxBlock / 2 + 1);
        if (run % 50 == 0) sendPosition(inst, frames / 2, hostFrame + (run % 100 ? 0 : 4800), 1.0f);
        if (run % 70 == 35) sendPosition(inst, 0, hostFrame, 0.0f);
        if (run % 90 == 45) sendGet(inst, frames / 3);
        if (run == 200) sendMelody(inst, 1, second);
        if (run == 300) setControl(inst, "splice", 1.0f - splice);
        if (run == 400) setControl(inst, "offset", -0.25f);
        runBlock(inst, ins, outs, std::min<uint32_t>(frames, maxBlock / 2));
        hostFrame += frames;
        if (run % 100 == 0) settleWorker(inst);
      }
      inst.beforeRun = nullptr;
      inst.afterRun = nullptr;
      EXPECT_EQ(total.news, 0);
      EXPECT_EQ(total.mallocs, 0);
      instanceClose(inst);
    }
  }
  worldClose(world);
}

}  // namespace
