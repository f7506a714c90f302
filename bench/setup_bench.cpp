// Set-up time of a 1000-note melody (random frequencies between half and
// twice the base) at base frequencies 440 and 10000, beside the plain list
// search that closes each cycle by comparing a new step with every earlier
// one. The plain search is quadratic in a note's length, so only the first
// few notes of the same melody are built with it and its time for all 1000
// is extrapolated from them.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "effect.h"
#include "plain_cycle.h"

namespace {

constexpr int noteCount = 1000;
constexpr int framesPerBuffer = 512;
constexpr int streamChannels = 2;

std::vector<float> melodyFrequencies(double base) {
  std::mt19937 random(20240601);
  std::uniform_real_distribution<double> ratio(0.5, 2.0);
  std::vector<float> frequencies(noteCount);
  for (float& f : frequencies) f = static_cast<float>(base * ratio(random));
  return frequencies;
}

std::string writeMelody(double base) {
  char path[] = "/tmp/gwsetupbench.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "";
  std::string text = std::to_string(base) + "\n";
  for (float f : melodyFrequencies(base)) text += "100 " + std::to_string(f) + "\n";
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written ? path : "";
}

int initEffect(EffectState& fx, const std::string& path) {
  return liveEffectInit(fx, {}, path.c_str(), streamChannels, framesPerBuffer);
}

void indexedSetup(benchmark::State& state) {
  const double base = static_cast<double>(state.range(0));
  const std::string path = writeMelody(base);
  if (path.empty()) {
    state.SkipWithError("cannot write the melody file");
    return;
  }
  QuietStdout quiet;
  EffectState fx;
  for (auto _ : state) {
    if (initEffect(fx, path)) {
      state.SkipWithError("effect set-up failed");
      break;
    }
    state.PauseTiming();
    effectRelease(fx);
    state.ResumeTiming();
  }
  unlink(path.c_str());
}

int plainNotesFor(double base) {
  return base > 1000 ? 5 : 50;
}

void plainSearch(benchmark::State& state) {
  const double base = static_cast<double>(state.range(0));
  // A one-note melody at this base gives a channel to build on.
  char path[] = "/tmp/gwsetupbench.XXXXXX";
  const int fd = mkstemp(path);
  const std::string text = std::to_string(base) + " 100 " + std::to_string(base) + "\n";
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    state.SkipWithError("cannot write the melody file");
    return;
  }
  close(fd);
  QuietStdout quiet;
  EffectState fx;
  const int failed = initEffect(fx, path);
  unlink(path);
  if (failed) {
    state.SkipWithError("effect set-up failed");
    return;
  }
  const std::vector<float> frequencies = melodyFrequencies(base);
  const int notes = plainNotesFor(base);
  DelayChannel* channel = fx.channels[0];
  for (auto _ : state)
    for (int i = 0; i < notes; ++i)
      for (MoveStep* step : buildPlainCycle(fx, channel, frequencies[static_cast<size_t>(i)]))
        std::free(step);
  effectRelease(fx);
}

BENCHMARK(indexedSetup)->Arg(440)->Arg(10000)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(plainSearch)->Arg(440)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nSet-up of a %d-note melody (frequencies 0.5 to 2 times the base)\n", noteCount);
  std::printf("%-8s %16s %14s %22s %10s\n", "base", "indexed CPU ms", "plain notes",
              "plain CPU ms (1000 est.)", "ratio");
  for (int base : {440, 10000}) {
    const std::string arg = std::to_string(base);
    auto indexed = reporter.cpuMilliseconds.find("indexedSetup/" + arg);
    auto plain = reporter.cpuMilliseconds.find("plainSearch/" + arg);
    if (indexed == reporter.cpuMilliseconds.end() || plain == reporter.cpuMilliseconds.end())
      continue;
    const int notes = plainNotesFor(base);
    const double plainAll = plain->second / notes * noteCount;
    std::printf("%-8d %16.1f %14d %22.1f %9.1fx\n", base, indexed->second, notes, plainAll,
                plainAll / indexed->second);
  }
  benchmark::Shutdown();
  return 0;
}
