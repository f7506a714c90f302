// libFuzzer target: the terminal key decoder.
#include "fuzzentries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzKeyBytes(data, size);
  return 0;
}
