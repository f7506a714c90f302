// Cost of one block through the effect at the program's real sizes, beside
// the plain history slide (a memmove of the same bytes) that bounds it.
// Prints ns per block, the ratio to the memmove and the share of the
// real-time budget (one buffer's duration at 44100 Hz).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "effect.h"

namespace {

constexpr int historyBlocks = liveHistoryBlocks;
constexpr int streamChannels = 2;

int blockBytesFor(int frames) {
  return streamChannels * frames * liveBytesPerSample;
}

void effectBlock(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  const int blockBytes = blockBytesFor(frames);
  char path[] = "/tmp/gwbench.XXXXXX";
  int fd = mkstemp(path);
  // A looping melody of ordinary intervals so every kind of move occurs.
  const char* melody = "440 250 440 250 660 250 330 250 523.25 250 293.66 -3\n";
  if (fd < 0 || write(fd, melody, std::strlen(melody)) < 0) {
    state.SkipWithError("cannot write the melody file");
    return;
  }
  close(fd);
  QuietStdout quiet;
  EffectState fx;
  const int failed = liveEffectInit(fx, {.loop = 1}, path, streamChannels, frames);
  unlink(path);
  if (failed) {
    state.SkipWithError("effect set-up failed");
    return;
  }
  std::vector<float> input(static_cast<size_t>(blockBytes / 4)), output(input.size());
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<float>(i % 97) / 97.0f;
  for (auto _ : state) {
    effectProcess(fx, input.data(), output.data());
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  effectRelease(fx);
}

void historyMemmove(benchmark::State& state) {
  const int blockBytes = blockBytesFor(static_cast<int>(state.range(0)));
  std::vector<unsigned char> history(static_cast<size_t>(historyBlocks) * blockBytes);
  const size_t length = static_cast<size_t>(historyBlocks - 1) * blockBytes;
  for (auto _ : state) {
    std::memmove(history.data(), history.data() + blockBytes, length);
    benchmark::DoNotOptimize(history.data());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(effectBlock)->Arg(64)->Arg(512)->Arg(2048);
BENCHMARK(historyMemmove)->Arg(64)->Arg(512)->Arg(2048);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n%-8s %14s %14s %10s %12s\n", "frames", "effect ns", "memmove ns", "ratio",
              "budget use");
  for (int frames : {64, 512, 2048}) {
    const std::string arg = "/" + std::to_string(frames);
    auto effect = reporter.realNanoseconds.find("effectBlock" + arg);
    auto slide = reporter.realNanoseconds.find("historyMemmove" + arg);
    if (effect == reporter.realNanoseconds.end() || slide == reporter.realNanoseconds.end())
      continue;
    const double budget = frames / 44100.0 * 1e9;
    std::printf("%-8d %14.0f %14.0f %10.2f %11.2f%%\n", frames, effect->second, slide->second,
                effect->second / slide->second, 100.0 * effect->second / budget);
  }
  benchmark::Shutdown();
  return 0;
}
