// glidewarp-melody: see melody.h and --help.
#include <cstdio>
#include <string>

#include "melody.h"

int main(int argc, char** argv) {
  MelodyCommand command;
  std::string error;
  if (!parseMelodyArgs(argc, argv, command, error)) {
    std::fprintf(stderr, "glidewarp-melody: %s\n", error.c_str());
    return melodyBadUsage;
  }
  if (command.help) {
    std::fputs(melodyUsage, stdout);
    return melodyOk;
  }
  return runMelody(command);
}
