// Child processes driven from outside: the end-to-end tests and the run
// script's unattended mode start the program in a pseudo-terminal, read what
// it prints, press its keys, and end every process they started by its id.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct Child {
  pid_t pid = -1;
  int fd = -1;             // pseudo-terminal master, or the read end of stdout
  std::string output;      // everything read so far, carriage returns dropped
  std::size_t cursor = 0;  // expectText searches from here
  int mirrorFd = -1;       // where read output is also copied, if anywhere
  bool reaped = false;
  int waitStatus = 0;
};

struct SpawnOptions {
  std::vector<std::string> argv;
  std::vector<std::pair<std::string, std::string>> env;  // added to this process's environment
  std::string cwd;                                       // empty: the current folder
  bool terminal = false;  // stdin, stdout and stderr on a new pseudo-terminal
  std::string logPath;    // stderr (and stdout, for a child without reader) goes here
  bool readStdout = true;
};

// Starts the child; false (and a message on stderr) when it cannot.
bool spawnChild(Child& child, const SpawnOptions& options);

// Reads whatever the child has printed, waiting up to `timeoutMs` for the
// first bytes: 1 when something was read, 0 when nothing came, -1 once the
// output has ended.
int pumpOutput(Child& child, int timeoutMs);

// Waits until `text` appears after the cursor and moves the cursor past it.
bool expectText(Child& child, const std::string& text, double seconds);

// Like expectText for whichever of `texts` comes first; its index, or -1.
int expectAny(Child& child, const std::vector<std::string>& texts, double seconds);

bool sendKeys(Child& child, const std::string& keys);

// Reads output while waiting up to `seconds` for the child to end.
bool waitExit(Child& child, double seconds);

// The child's exit status (0..255), or 128 + signal, or -1 while it runs.
int exitCode(const Child& child);

// Ends the child by its id: SIGTERM, then SIGKILL if it has not ended after
// `graceSeconds`; reaps it and closes its descriptors. Safe to call twice.
void endChild(Child& child, double graceSeconds = 5);

// Sleeps while still reading the child's output, so its pipe never fills.
void keepReading(Child& child, double seconds);
