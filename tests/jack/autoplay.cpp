// gw_autoplay: runs the program in a pseudo-terminal and presses its keys the
// way a patient user would, for unattended runs: the default device, proceed
// before every melody file, then proceed again once the melody has had time
// to play. Everything the program prints is passed on.
//
//   gw_autoplay [--extra SECONDS] PROGRAM
//
// Runs in the current folder, which holds the program's configuration and
// melody files. Exits with the program's exit status.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "session.h"

namespace {

// The proceed key from the configuration, as the program reads it.
char proceedKey() {
  std::ifstream config("glidewarperconfig.txt");
  std::string line;
  int code = 32;
  while (std::getline(config, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (words >> key >> value && key == "DefaultKeyCode:") code = std::atoi(value.c_str());
  }
  return static_cast<char>(code & 0xff);
}

// Seconds that one pass of a melody file lasts: its durations in
// milliseconds, each section counted as often as its repetition count says.
double melodySeconds(const std::string& path) {
  std::ifstream file(path);
  std::string token;
  if (!(file >> token)) return 0;  // the base frequency
  double total = 0, section = 0, lastExtra = 0;
  bool countBefore = false;
  while (file >> token) {
    double value = std::strtod(token.c_str(), nullptr);
    if (value < 0) {
      // A count right after another one replaces it.
      if (countBefore) total -= lastExtra;
      lastExtra = section * (std::floor(-value) - 1);
      if (lastExtra < 0) lastExtra = 0;
      total += lastExtra;
      countBefore = true;
      continue;
    }
    if (countBefore) section = 0;
    countBefore = false;
    std::string frequency;
    file >> frequency;
    total += value;
    section += value;
  }
  return total / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  double extra = 0.5;
  std::string program;
  bool usage = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--extra" && i + 1 < argc)
      extra = std::atof(argv[++i]);
    else if (program.empty() && !arg.empty() && arg[0] != '-')
      program = arg;
    else
      usage = true;
  }
  if (usage || program.empty()) {
    std::fprintf(stderr, "usage: gw_autoplay [--extra SECONDS] PROGRAM\n");
    return 2;
  }

  const std::string key(1, proceedKey());
  Child child;
  child.mirrorFd = STDOUT_FILENO;
  SpawnOptions options;
  options.argv = {program};
  options.terminal = true;
  if (!spawnChild(child, options)) return 1;

  const std::vector<std::string> cues = {
      "to choose, or ",            // the device choice: keep the default
      "to proceed, 'x' to exit",   // a melody file is ready: start it
      "Wire on, file ",            // it plays: wait for its length, then go on
      "Press any key to proceed",  // the error report waits for a key
  };
  for (;;) {
    int cue = expectAny(child, cues, 3600);
    if (cue < 0) break;
    if (cue == 2) {
      if (!expectText(child, ".\n", 10)) break;
      std::size_t nameEnd = child.cursor - 2;
      std::size_t nameStart = child.output.rfind("Wire on, file ", nameEnd) + 14;
      std::string name = child.output.substr(nameStart, nameEnd - nameStart);
      double seconds = melodySeconds(name) + extra;
      std::printf("[gw_autoplay: letting %s play for %.1f s]\n", name.c_str(), seconds);
      std::fflush(stdout);
      keepReading(child, seconds);
    }
    keepReading(child, 0.2);
    sendKeys(child, key);
  }
  if (!waitExit(child, 30)) endChild(child);
  return exitCode(child) < 0 ? 1 : exitCode(child);
}
