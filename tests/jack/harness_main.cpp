// gw_harness: a private JACK server with the dummy backend, a test tone as
// its input device and, if asked, a recorder for what a program plays; for
// scripts that run the program unattended.
//
//   gw_harness [--name SERVER] [--logs DIR] [--period FRAMES] [--rate HZ]
//              [--record OUT.wav] FREQ [FREQ ...]
//
// Prints "ready SERVER" once the server answers and the tone plays, or
// "failed: server" or "failed: tone" (the reason on stderr) and exits with 1.
// Then runs until SIGTERM, SIGINT or SIGHUP, and ends the recorder, the tone
// and the server, newest first, removing the server's semaphores. The server's
// log, and what the tone and recorder print, go to jackd.log, tone.log and
// record.log in DIR (by default the current folder). Programs run against the
// server need JACK_DEFAULT_SERVER=SERVER and JACK_NO_START_SERVER=1.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr double startupSeconds = 20;

int usage() {
  std::fprintf(stderr,
               "usage: gw_harness [--name SERVER] [--logs DIR] [--period FRAMES] [--rate HZ] "
               "[--record OUT.wav] FREQ [FREQ ...]\n");
  return 2;
}

// The test instruments are built next to this program.
std::string besideMe(const std::string& name) {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return name;
  std::string self(path, static_cast<std::size_t>(n));
  return self.substr(0, self.rfind('/') + 1) + name;
}

// Copies what a child prints to its log as well: what was read so far, and
// the rest as it is read.
void mirrorTo(Child& child, const std::string& log) {
  child.mirrorFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (child.mirrorFd >= 0 && write(child.mirrorFd, child.output.data(), child.output.size()) < 0)
    std::fprintf(stderr, "gw_harness: cannot write %s\n", log.c_str());
}

int fail(JackHarness& h, const char* what, const std::string& error) {
  std::printf("failed: %s\n", what);
  std::fflush(stdout);
  std::fprintf(stderr, "gw_harness: %s\n", error.c_str());
  harnessStop(h);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string server, folder = ".", recording;
  int period = 512;
  int rate = 44100;
  std::vector<std::string> freqs;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--name" && i + 1 < argc)
      server = argv[++i];
    else if (arg == "--logs" && i + 1 < argc)
      folder = argv[++i];
    else if (arg == "--period" && i + 1 < argc)
      period = std::atoi(argv[++i]);
    else if (arg == "--rate" && i + 1 < argc)
      rate = std::atoi(argv[++i]);
    else if (arg == "--record" && i + 1 < argc)
      recording = argv[++i];
    else if (!arg.empty() && arg[0] != '-' && std::atof(arg.c_str()) > 0)
      freqs.push_back(arg);
    else
      return usage();
  }
  if (freqs.empty() || period <= 0 || rate <= 0) return usage();
  if (server.empty()) server = uniqueServerName("gwh");

  // Stop signals wait until everything started is running, so that each
  // child is ended by its id however early the signal comes. Children start
  // with no signals blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  JackHarness h;
  harnessInit(h, server, folder, besideMe("gw_tone"), besideMe("gw_record"));
  h.rate = rate;
  std::string error;
  if (!harnessStartServer(h, period, error)) return fail(h, "server", error);
  if (!harnessStartTone(h, freqs, startupSeconds, error)) return fail(h, "tone", error);
  mirrorTo(h.tone, folder + "/tone.log");
  if (!recording.empty()) {
    if (!harnessStartRecorder(h, recording, 0, error)) return fail(h, "recorder", error);
    mirrorTo(h.recorder, folder + "/record.log");
  }
  std::printf("ready %s\n", server.c_str());
  std::fflush(stdout);

  // The tone's and recorder's output is read as it comes, so that their
  // pipes never fill.
  const timespec poll = {0, 50 * 1000 * 1000};
  while (sigtimedwait(&stopSignals, nullptr, &poll) < 0) {
    pumpOutput(h.tone, 0);
    pumpOutput(h.recorder, 0);
  }
  harnessStop(h);
  for (Child* c : {&h.tone, &h.recorder})
    if (c->mirrorFd >= 0) close(c->mirrorFd);
  return 0;
}
