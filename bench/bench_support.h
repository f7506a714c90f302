// Shared pieces of the C++ benchmarks: keeping the effect's own lines out of
// the tables, and collecting each run's times for the summaries.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

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
