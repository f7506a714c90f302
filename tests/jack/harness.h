// A private JACK server for tests and unattended runs: the dummy backend
// under a unique name, a test tone as its input device and a recorder for
// what the program plays. The end-to-end fixture, the soak run and gw_harness
// (which the run script calls) all start them here.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "session.h"

struct JackHarness {
  std::string server;  // the server's name
  std::string folder;  // jackd.log, tone.log and record.log go here
  std::string toneProgram;
  std::string recordProgram;
  // For every process started against the server: JACK_DEFAULT_SERVER and
  // JACK_NO_START_SERVER, and whatever a caller adds.
  std::vector<std::pair<std::string, std::string>> env;
  int rate = 44100;  // of the servers started from now on
  Child jackd, tone, recorder;
  std::vector<Child> namedTones;  // further tone clients, each a device of its own
};

// Short: the server's name ends up in the names of its semaphores.
std::string uniqueServerName(const std::string& prefix);

// Names the server, its log folder and the instruments, and sets `env`.
void harnessInit(JackHarness& h, const std::string& server, const std::string& folder,
                 const std::string& toneProgram, const std::string& recordProgram);

// Starts a dummy-backend server (h.rate frames per second, `period` frames) as `child`,
// logging to `log` in the folder. It may not be answering yet.
bool harnessSpawnServer(JackHarness& h, Child& child, int period, const std::string& log);

// Starts the harness's server and waits until it answers; false (with the
// reason in `error`) when it does not.
bool harnessStartServer(JackHarness& h, int period, std::string& error);

// Starts the test tone, one port per frequency, and waits for its "ready".
bool harnessStartTone(JackHarness& h, const std::vector<std::string>& freqs, double seconds,
                      std::string& error);

// Starts one more tone client under `name`, one port per frequency, and
// waits for its "ready"; PortAudio lists each client as a device.
bool harnessStartNamedTone(JackHarness& h, const std::string& name,
                           const std::vector<std::string>& freqs, double seconds,
                           std::string& error);

// Starts the recorder, writing `wavPath`. It connects only once a program's
// stream exists; `seconds` > 0 waits that long for its "connected".
bool harnessStartRecorder(JackHarness& h, const std::string& wavPath, double seconds,
                          std::string& error);

// Runs a JACK command-line tool against the server: its output, or nothing
// when it could not start, failed or took longer than 15 s.
std::optional<std::string> harnessRunTool(const JackHarness& h,
                                          const std::vector<std::string>& argv);

// Ends the recorder, tone and server, newest first and each by its id; gives
// a killed server's registry slot back and removes the server's semaphores.
void harnessStop(JackHarness& h);
