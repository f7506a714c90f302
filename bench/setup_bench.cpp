// Set-up time of a 1000-note melody (random frequencies between half and
// twice the base) at base frequencies 440 and 10000, beside the plain list
// search that closes each cycle by comparing a new step with every earlier
// one. The plain search is quadratic in a note's length, so only the first
// few notes of the same melody are built with it and its time for all 1000
// is extrapolated from them.
//
// Then 1000-note melodies as glidewarp-melody writes them, in the unit that
// holds every note within a cent, at bases from C2 to C5: the conversion's
// own time and the set-up's.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "effect.h"
#include "melody.h"
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

// Notes within an octave of the base, whole semitones; a third of them bent
// by up to half a semitone either way, as pitch bends leave them.
std::string noteNameMelody(int baseKey) {
  std::mt19937 random(20241207 + baseKey);
  std::uniform_int_distribution<int> semitones(-12, 12);
  std::uniform_int_distribution<int> bent(0, 2);
  std::uniform_real_distribution<double> cents(-50, 50);
  std::string text;
  for (int i = 0; i < noteCount; ++i) {
    char note[64];
    std::snprintf(note, sizeof note, "%s%+.1f 100\n",
                  midiNoteName(baseKey + semitones(random)).c_str(),
                  bent(random) == 0 ? cents(random) : 0.0);
    text += note;
  }
  return text;
}

MelodyOptions optionsFor(int baseKey) {
  MelodyOptions options;
  options.base = noteFrequency(baseKey);
  return options;
}

void convertNotes(benchmark::State& state) {
  const int baseKey = static_cast<int>(state.range(0));
  const std::string text = noteNameMelody(baseKey);
  Melody melody;
  for (auto _ : state) {
    std::string error;
    if (!convertInput("bench", text, optionsFor(baseKey), melody, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.counters["unit"] = melody.unit.factor;
  state.counters["base"] = melody.base;
}

void convertedSetup(benchmark::State& state) {
  const int baseKey = static_cast<int>(state.range(0));
  Melody melody;
  std::string error;
  if (!convertInput("bench", noteNameMelody(baseKey), optionsFor(baseKey), melody, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  char path[] = "/tmp/gwsetupbench.XXXXXX";
  const int fd = mkstemp(path);
  const std::string text = melodyText(melody);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    state.SkipWithError("cannot write the melody file");
    return;
  }
  close(fd);
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
  unlink(path);
}

constexpr int convertedBases[] = {36, 45, 52, 57, 60, 69, 72};  // C2 A2 E3 A3 C4 A4 C5

BENCHMARK(indexedSetup)->Arg(440)->Arg(10000)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(plainSearch)->Arg(440)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(convertNotes)
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (int key : convertedBases) b->Arg(key);
    })
    ->Unit(benchmark::kMillisecond);
BENCHMARK(convertedSetup)
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (int key : convertedBases) b->Arg(key);
    })
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1);

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
  std::printf(
      "\nSet-up of a %d-note melody as glidewarp-melody writes it (notes within an octave\n"
      "of the base, a third bent by up to 50 cents), in the unit that holds every note\n"
      "within a cent\n",
      noteCount);
  std::printf("%-6s %10s %6s %14s %16s %16s\n", "base", "Hz", "unit", "written base",
              "convert CPU ms", "set-up CPU ms");
  for (int key : convertedBases) {
    const std::string arg = std::to_string(key);
    auto convert = reporter.cpuMilliseconds.find("convertNotes/" + arg);
    auto setup = reporter.cpuMilliseconds.find("convertedSetup/" + arg);
    if (convert == reporter.cpuMilliseconds.end() || setup == reporter.cpuMilliseconds.end())
      continue;
    Melody melody;
    std::string error;
    if (!convertInput("bench", noteNameMelody(key), optionsFor(key), melody, error)) continue;
    std::printf("%-6s %10.3f %6s %14s %16.1f %16.1f\n", midiNoteName(key).c_str(),
                noteFrequency(key), ("1/" + std::to_string(melody.unit.factor)).c_str(),
                formatNumber(melody.base).c_str(), convert->second, setup->second);
  }
  benchmark::Shutdown();
  return 0;
}
