// glidewarp-render: see render.h and --help.
#include <cstdio>
#include <string>

#include "render.h"

int main(int argc, char** argv) {
  RenderOptions options;
  std::string error;
  if (!parseRenderArgs(argc, argv, options, error)) {
    std::fprintf(stderr, "glidewarp-render: %s\n", error.c_str());
    return renderBadUsage;
  }
  if (options.help) {
    std::fputs(renderUsage, stdout);
    return renderOk;
  }
  return runRender(options);
}
