// libFuzzer target: the melody file reader, through effectInit and a few
// dozen blocks of playing.
#include <cstdio>

#include "fuzzentries.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reader's messages would drown libFuzzer's own report.
  fuzzCheck(std::freopen("/dev/null", "w", stdout) != nullptr, "silencing standard output");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzMelodyFileOneWay(data, size);
  return 0;
}
