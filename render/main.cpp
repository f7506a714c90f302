// glidewarp-render: see render.h and --help.
#include "options.h"
#include "render.h"

int main(int argc, char** argv) {
  return runCommandLine("glidewarp-render", renderUsage, argc, argv, parseRenderArgs, runRender);
}
