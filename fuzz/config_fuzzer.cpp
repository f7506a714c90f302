// libFuzzer target: the configuration file reader and writer, through
// configLoad and configSave, in a private folder.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzzentries.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzCheck(std::freopen("/dev/null", "w", stdout) != nullptr, "silencing standard output");
  // The configuration lives in the working directory; each run gets its own.
  const char* base = std::getenv("TMPDIR");
  std::string folder = std::string(base && *base ? base : "/tmp") + "/gwfuzz-config.XXXXXX";
  fuzzCheck(mkdtemp(folder.data()) != nullptr && chdir(folder.c_str()) == 0,
            "making a private folder");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzConfigFile(data, size);
  return 0;
}
