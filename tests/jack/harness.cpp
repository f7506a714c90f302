#include "harness.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string logText(const JackHarness& h, const std::string& name) {
  std::ifstream in(h.folder + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool serverAnswers(const JackHarness& h) {
  return harnessRunTool(h, {"jack_wait", "-s", h.server, "-w", "-t", "10"}).has_value();
}

// A server that was killed keeps its slot in JACK's registry of servers,
// which has room for eight on the machine, until a server of the same name
// starts again; so one is started under that name and stopped properly.
// Without this, a few killed or stuck servers stop every later run.
void reclaimServerSlot(JackHarness& h) {
  Child again;
  if (!harnessSpawnServer(h, again, 512, "jackd-again.log")) return;
  serverAnswers(h);
  endChild(again);
}

// The server and its clients leave their named semaphores behind in
// /dev/shm, one file per client; without this every run adds a few more.
void removeServerSemaphores(const JackHarness& h) {
  const std::string prefix = "jack_sem." + std::to_string(getuid()) + "_" + h.server + "_";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0)
      std::filesystem::remove(entry.path(), ec);
  }
}

}  // namespace

std::string uniqueServerName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + std::to_string(getpid()) + "x" + std::to_string(counter++);
}

void harnessInit(JackHarness& h, const std::string& server, const std::string& folder,
                 const std::string& toneProgram, const std::string& recordProgram) {
  h.server = server;
  h.folder = folder;
  h.toneProgram = toneProgram;
  h.recordProgram = recordProgram;
  h.env = {{"JACK_DEFAULT_SERVER", server}, {"JACK_NO_START_SERVER", "1"}};
}

bool harnessSpawnServer(JackHarness& h, Child& child, int period, const std::string& log) {
  SpawnOptions o;
  o.argv = {"jackd",  "-n",
            h.server, "--no-realtime",
            "-d",     "dummy",
            "-r",     std::to_string(h.rate),
            "-p",     std::to_string(period)};
  o.env = h.env;
  o.logPath = h.folder + "/" + log;
  o.readStdout = false;
  return spawnChild(child, o);
}

bool harnessStartServer(JackHarness& h, int period, std::string& error) {
  if (!harnessSpawnServer(h, h.jackd, period, "jackd.log")) {
    error = "cannot start jackd";
    return false;
  }
  if (!serverAnswers(h)) {
    error = "jackd did not answer:\n" + logText(h, "jackd.log");
    return false;
  }
  return true;
}

bool harnessStartTone(JackHarness& h, const std::vector<std::string>& freqs, double seconds,
                      std::string& error) {
  SpawnOptions o;
  o.argv = {h.toneProgram};
  o.argv.insert(o.argv.end(), freqs.begin(), freqs.end());
  o.env = h.env;
  o.logPath = h.folder + "/tone.log";
  if (!spawnChild(h.tone, o) || !expectText(h.tone, "ready", seconds)) {
    error = logText(h, "tone.log");
    return false;
  }
  return true;
}

bool harnessStartNamedTone(JackHarness& h, const std::string& name,
                           const std::vector<std::string>& freqs, double seconds,
                           std::string& error) {
  SpawnOptions o;
  o.argv = {h.toneProgram, "--name", name};
  o.argv.insert(o.argv.end(), freqs.begin(), freqs.end());
  o.env = h.env;
  o.logPath = h.folder + "/tone-" + name + ".log";
  h.namedTones.emplace_back();
  if (!spawnChild(h.namedTones.back(), o) || !expectText(h.namedTones.back(), "ready", seconds)) {
    error = logText(h, "tone-" + name + ".log");
    return false;
  }
  return true;
}

bool harnessStartRecorder(JackHarness& h, const std::string& wavPath, double seconds,
                          std::string& error) {
  SpawnOptions o;
  o.argv = {h.recordProgram, wavPath};
  o.env = h.env;
  o.logPath = h.folder + "/record.log";
  if (!spawnChild(h.recorder, o) ||
      (seconds > 0 && !expectText(h.recorder, "connected", seconds))) {
    error = logText(h, "record.log");
    return false;
  }
  return true;
}

std::optional<std::string> harnessRunTool(const JackHarness& h,
                                          const std::vector<std::string>& argv) {
  Child tool;
  SpawnOptions t;
  t.argv = argv;
  t.env = h.env;
  if (!spawnChild(tool, t)) return std::nullopt;
  const bool ok = waitExit(tool, 15) && exitCode(tool) == 0;
  endChild(tool);
  if (!ok) return std::nullopt;
  return tool.output;
}

void harnessStop(JackHarness& h) {
  endChild(h.recorder);
  for (auto tone = h.namedTones.rbegin(); tone != h.namedTones.rend(); ++tone) endChild(*tone);
  endChild(h.tone);
  endChild(h.jackd);
  if (exitCode(h.jackd) == 128 + SIGKILL) reclaimServerSlot(h);
  if (!h.server.empty()) removeServerSemaphores(h);
}
