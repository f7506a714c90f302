// Soak run: the program plays a looping melody for a long while on a private
// JACK test server, with 'r' (play the file again) every 30 seconds, and what
// it plays is recorded. At the end it reports the program's resident memory
// at the start and the end, the server's xruns, and the pitch measured in the
// last minute against the melody's notes. Not part of the test suite.
//
//   build/release/bench/soak [--minutes 10] [--repeat-every 30] [--keep DIR]
//
// Every process it starts is ended by its id, also when the run fails.
#include <signal.h>
#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "pitch.h"
#include "session.h"

namespace {

// The input's own pitch is the base; the notes bend it up and down, and the
// melody loops (InfiniteLoop) for as long as it is left to play.
constexpr double baseHz = 440.0;
constexpr struct {
  int ms;
  double hz;
} notes[] = {{1000, 440.0}, {1000, 660.0}, {1000, 550.0}, {1000, 330.0}};

constexpr double stepSeconds = 20;
constexpr double pitchSeconds = 60;  // the stretch at the end whose pitch is checked

struct Options {
  double minutes = 10;
  double repeatEvery = 30;
  std::string keep;  // empty: a temporary folder, removed at the end
};

struct Soak {
  JackHarness jack;
  Child program;
  std::string failure;  // empty while all goes well
};

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Waits for the program to print `text`; a failure names what was missing.
bool expect(Soak& s, const std::string& text, double seconds = stepSeconds) {
  if (!s.failure.empty()) return false;
  if (expectText(s.program, text, seconds)) return true;
  const std::string& out = s.program.output;
  s.failure = "did not see '" + text + "'; output ends with:\n" +
              out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
  return false;
}

void key(Soak& s, const char* keys) {
  if (s.failure.empty()) sendKeys(s.program, keys);
}

// A stop signal (blocked in main) ends the run early, through the same
// clean-up as a failure.
bool stopRequested() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGINT) || sigismember(&pending, SIGTERM) ||
         sigismember(&pending, SIGHUP);
}

void keepReadingUntil(Soak& s, double when) {
  while (s.failure.empty() && now() < when) {
    if (stopRequested()) {
      s.failure = "stopped by a signal";
      return;
    }
    keepReading(s.program, std::min(0.2, when - now()));
  }
}

// Mentions of an xrun in the server's log, in any case.
int countXruns(const std::string& log) {
  std::string lower = log;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  int count = 0;
  for (std::size_t at = lower.find("xrun"); at != std::string::npos;
       at = lower.find("xrun", at + 4))
    ++count;
  return count;
}

// Stretches of steady pitch over the last `seconds` of the recording, every
// channel, measured as gw_pitchtrack does; `duration` is what was analysed.
std::vector<PitchSegment> lastPitch(const std::string& path, double seconds, double& duration) {
  std::vector<PitchSegment> all;
  SF_INFO info = {};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  duration = 0;
  if (!file) return all;
  const sf_count_t keep = std::min<sf_count_t>(info.frames, sf_count_t(seconds * info.samplerate));
  sf_seek(file, info.frames - keep, SEEK_SET);
  std::vector<float> samples(static_cast<std::size_t>(keep) * info.channels);
  const sf_count_t frames = sf_readf_float(file, samples.data(), keep);
  sf_close(file);
  duration = double(frames) / info.samplerate;

  PitchOptions o;
  o.sampleRate = info.samplerate;
  o.hop = static_cast<std::size_t>(info.samplerate / 100);
  for (int c = 0; c < info.channels; ++c) {
    std::vector<PitchFrame> track = trackPitch(samples.data() + c, static_cast<std::size_t>(frames),
                                               static_cast<std::size_t>(info.channels), o);
    for (const PitchSegment& seg :
         pitchSegments(track, double(o.hop) / info.samplerate, 0.015, 0.05, 0.05))
      all.push_back(seg);
  }
  return all;
}

void reportPitch(const std::vector<PitchSegment>& segments, double duration) {
  const double lastMinute = std::max(0.0, duration - 60.0);
  double voiced = 0, onNote = 0;
  std::map<double, std::pair<double, double>> perNote;  // note: seconds, seconds * Hz
  for (const auto& n : notes) perNote[n.hz];
  for (const PitchSegment& seg : segments) {
    const double start = std::max(seg.start, lastMinute);
    if (seg.end <= start) continue;
    double nearest = notes[0].hz;
    for (const auto& n : notes)
      if (std::fabs(n.hz - seg.hz) < std::fabs(nearest - seg.hz)) nearest = n.hz;
    voiced += seg.end - start;
    if (std::fabs(seg.hz - nearest) <= nearest * 0.01) {
      onNote += seg.end - start;
      perNote[nearest].first += seg.end - start;
      perNote[nearest].second += (seg.end - start) * seg.hz;
    }
  }
  std::printf(
      "pitch in the last %.1f s recorded: %.1f s voiced, %.1f s (%.1f%%) within 1%% of a melody "
      "note\n",
      duration, voiced, onNote, voiced > 0 ? 100.0 * onNote / voiced : 0.0);
  for (const auto& n : notes) {
    const auto [seconds, weighted] = perNote[n.hz];
    const double mean = seconds > 0 ? weighted / seconds : 0.0;
    std::printf("  note %6.1f Hz: %5.1f s, measured %6.1f Hz (%+.2f%%)\n", n.hz, seconds, mean,
                seconds > 0 ? 100.0 * (mean / n.hz - 1.0) : 0.0);
  }
}

// What the run measured, for the report.
struct SoakFigures {
  long rssStart = -1, rssEnd = -1;
  int plays = 1;
  std::vector<std::pair<double, long>> rssSamples;  // seconds into the run, KiB
  std::string finished;                             // the program's gNumNoInputs figure
  std::string recorderReport;
};

// The private server with the input tone at the base pitch; false after saying why not.
bool startServer(Soak& s, const std::string& folder) {
  harnessInit(s.jack, uniqueServerName("gwsoak"), folder, GW_TONE_PATH, GW_RECORD_PATH);
  char number[32];
  std::snprintf(number, sizeof number, "%g", baseHz);
  if (harnessStartServer(s.jack, 512, s.failure) &&
      harnessStartTone(s.jack, {number}, stepSeconds, s.failure))
    return true;
  harnessStop(s.jack);
  std::fprintf(stderr, "soak: the JACK server or test tone did not start: %s\n", s.failure.c_str());
  return false;
}

// The looping melody and a configuration that plays it from the tone.
void writeFiles(const std::string& folder) {
  char number[32];
  std::snprintf(number, sizeof number, "%g", baseHz);
  std::string melody = std::string(number) + "\n";
  for (const auto& n : notes) {
    std::snprintf(number, sizeof number, "%d %g\n", n.ms, n.hz);
    melody += number;
  }
  writeText(folder + "/melody.txt", melody);
  writeText(folder + "/glidewarperconfig.txt",
            "File: melody.txt\nDefaultInput: 1\nDefaultOutput: 0\n"
            "DefaultKeyCode: 32\nDefaultKeyName: space\nInfiniteLoop: yes\n");
}

// Starts the program in a terminal, chooses the tone and switches the effect
// on with the recorder listening.
void startPlaying(Soak& s, const std::string& folder) {
  SpawnOptions o;
  o.argv = {GW_PROGRAM_PATH};
  o.env = s.jack.env;
  o.cwd = folder;
  o.terminal = true;
  if (!spawnChild(s.program, o)) s.failure = "cannot start the program";
  expect(s, "for default ('1')\n");
  key(s, " ");
  expect(s, "Press space to proceed, 'x' to exit\n");
  if (s.failure.empty() &&
      !harnessStartRecorder(s.jack, folder + "/played.wav", stepSeconds, s.failure))
    s.failure = "the recorder did not connect: " + s.failure;
  key(s, " ");
  expect(s, "Wire on, file melody.txt.\n");
}

// Plays for the whole run, starting the file again every repeatEvery
// seconds, and samples the program's memory after each start.
void playRun(Soak& s, const Options& options, SoakFigures& f) {
  keepReadingUntil(s, now() + 5);
  f.rssStart = residentKiB(s.program.pid);
  const double started = now();
  const double total = options.minutes * 60.0;
  f.rssSamples.emplace_back(0.0, f.rssStart);
  for (;;) {
    const double nextRepeat = f.plays * options.repeatEvery;
    if (nextRepeat >= total - 1 || !s.failure.empty()) break;
    keepReadingUntil(s, started + nextRepeat);
    key(s, "r");
    expect(s, "Press space to proceed, 'x' to exit\n");
    key(s, " ");
    expect(s, "Wire on, file melody.txt.\n");
    ++f.plays;
    f.rssSamples.emplace_back(now() - started, residentKiB(s.program.pid));
  }
  keepReadingUntil(s, started + total);
  f.rssEnd = residentKiB(s.program.pid);
}

// Ends the program with the key and keeps its closing figure.
void finishProgram(Soak& s, SoakFigures& f) {
  key(s, " ");
  if (expect(s, "Finished. gNumNoInputs = ")) {
    waitExit(s.program, stepSeconds);
    const std::string& out = s.program.output;
    f.finished = out.substr(s.program.cursor, out.find('\n', s.program.cursor) - s.program.cursor);
  }
}

// Stops everything and keeps what the recorder printed after its
// "connected N" line, on one line.
void tearDown(Soak& s, SoakFigures& f) {
  endChild(s.program);
  endChild(s.jack.recorder, 30);
  const std::string& recorded = s.jack.recorder.output;
  const std::size_t afterConnected = std::min(recorded.size(), recorded.find('\n') + 1);
  f.recorderReport = recorded.substr(afterConnected);
  harnessStop(s.jack);
  for (char& c : f.recorderReport)
    if (c == '\n') c = ' ';
  while (!f.recorderReport.empty() && f.recorderReport.back() == ' ') f.recorderReport.pop_back();
}

void report(const Options& options, const SoakFigures& f, const std::string& folder) {
  double duration = 0;
  std::vector<PitchSegment> segments = lastPitch(folder + "/played.wav", pitchSeconds, duration);
  std::printf("soak: %g minutes, %d plays of a looping melody ('r' every %g s)\n", options.minutes,
              f.plays, options.repeatEvery);
  std::printf("resident memory: %ld KiB at the start, %ld KiB at the end (%+ld KiB)\n", f.rssStart,
              f.rssEnd, f.rssEnd - f.rssStart);
  std::printf("  samples after each 'r' (s: KiB): ");
  for (std::size_t i = 0; i < f.rssSamples.size(); ++i)
    std::printf("%s%d: %ld", i ? ", " : "", static_cast<int>(f.rssSamples[i].first),
                f.rssSamples[i].second);
  std::printf("\nserver xruns (lines of the JACK server's log that report one): %d\n",
              countXruns(readText(folder + "/jackd.log")));
  std::printf("program: gNumNoInputs = %s\n", f.finished.c_str());
  std::printf("recorder: %s\n", f.recorderReport.c_str());
  reportPitch(segments, duration);
}

int soak(const Options& options, const std::string& folder) {
  Soak s;
  if (!startServer(s, folder)) return 1;
  writeFiles(folder);
  startPlaying(s, folder);
  SoakFigures figures;
  if (s.failure.empty()) {
    playRun(s, options, figures);
    finishProgram(s, figures);
  }
  tearDown(s, figures);
  if (!s.failure.empty()) {
    std::fprintf(stderr, "soak: %s\n", s.failure.c_str());
    return 1;
  }
  report(options, figures, folder);
  return 0;
}

int usage() {
  std::fprintf(stderr, "usage: soak [--minutes 10] [--repeat-every 30] [--keep DIR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    if (arg == "--minutes")
      options.minutes = std::atof(argv[++i]);
    else if (arg == "--repeat-every")
      options.repeatEvery = std::atof(argv[++i]);
    else if (arg == "--keep")
      options.keep = argv[++i];
    else
      return usage();
  }
  if (options.minutes <= 0 || options.repeatEvery <= 0) return usage();

  // Stop signals are checked between steps; children start with none
  // blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  std::string folder = options.keep;
  if (folder.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/gwsoak.XXXXXX";
    if (!mkdtemp(pattern.data())) return 1;
    folder = pattern;
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const int status = soak(options, folder);
  if (options.keep.empty()) std::filesystem::remove_all(folder, ec);
  return status;
}
