// Shared pieces of the C++ benchmarks: keeping the effect's own lines out of
// the tables, and collecting each run's times for the summaries.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "callback.h"
#include "effect.h"

// Sends standard output to /dev/null for the object's lifetime: the effect's
// set-up lines and delay reports would break up the tables.
struct QuietStdout {
  int saved = -1;
  int devNull = -1;
  QuietStdout() {
    std::fflush(stdout);
    saved = dup(1);
    devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(devNull);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;
};

// Prints as the console reporter does and keeps each run's time per
// iteration, keyed "function/args": wall time in ns, CPU time in ms (CPU
// time is steadier on a shared machine).
struct SummaryReporter : benchmark::ConsoleReporter {
  std::map<std::string, double> realNanoseconds;
  std::map<std::string, double> cpuMilliseconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string key = run.run_name.function_name + "/" + run.run_name.args;
      const double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
      realNanoseconds[key] = run.GetAdjustedRealTime() / perSecond * 1e9;
      cpuMilliseconds[key] = run.GetAdjustedCPUTime() / perSecond * 1e3;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// The cost of every buffer of a mono `input`, sent to both channels of a
// stereo stream through the stream callback with the looping melody at
// `melodyPath`, in `passes` identical passes. The work of a buffer is the same
// in every pass, while the machine's other work lands on random buffers: the
// least time each buffer took is its own cost. `least` comes sorted, in
// microseconds; `worstSeen` is the slowest single call.
struct BufferTimes {
  std::vector<double> least;
  double worstSeen = 0;
};

inline BufferTimes timeBuffers(EffectSettings settings, const char* melodyPath, int frames,
                               const std::vector<float>& input, int passes) {
  EffectState fx;
  fx.numChannels = 2;
  fx.projectedFramesPerBuffer = frames;
  settings.loop = 1;
  const std::size_t buffers = input.size() / static_cast<std::size_t>(frames);
  BufferTimes t;
  t.least.assign(buffers, 1e30);
  for (int pass = 0; pass < passes; ++pass) {
    QuietStdout quiet;
    if (liveEffectInit(fx, settings, melodyPath, 2, frames)) std::exit(1);
    std::vector<float> in(2 * static_cast<std::size_t>(frames)), out(in.size());
    for (std::size_t b = 0; b < buffers; ++b) {
      for (int i = 0; i < frames; ++i)
        in[2 * i] = in[2 * i + 1] = input[b * static_cast<std::size_t>(frames) + i];
      const auto start = std::chrono::steady_clock::now();
      streamCallback(in.data(), out.data(), static_cast<unsigned long>(frames), nullptr, 0, &fx);
      const auto end = std::chrono::steady_clock::now();
      const double micros = std::chrono::duration<double, std::micro>(end - start).count();
      t.least[b] = std::min(t.least[b], micros);
      t.worstSeen = std::max(t.worstSeen, micros);
    }
    effectRelease(fx);
  }
  std::sort(t.least.begin(), t.least.end());
  return t;
}
