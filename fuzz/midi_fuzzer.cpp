// libFuzzer target: the MIDI reader and the melody converter's MIDI path.
#include "fuzzentries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzMidiFile(data, size);
  return 0;
}
