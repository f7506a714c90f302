// glidewarp-melody: see melody.h and --help.
#include "melody.h"
#include "options.h"

int main(int argc, char** argv) {
  return runCommandLine("glidewarp-melody", melodyUsage, argc, argv, parseMelodyArgs, runMelody);
}
