// Prints what glidewarp-melody's MIDI reader makes of a file, one event a
// line in midicsv's own notation (track, pulses, record type, fields), for
// the records that carry notes, their timing and their pitch: notes, pitch
// bends, controllers, programs, pressure, tempo and each track's end. The
// differential script compares this with midicsv's reading of the same file.
//
//   midi_events FILE.mid
//
// A file the reader refuses gives one line, "refused: FILE, byte N: ...",
// and exit status 1.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "midi.h"
#include "smf.h"

namespace {

void printEvent(int track, const SmfEvent& e) {
  const int channel = e.status & 0x0F;
  const long long t = e.pulses;
  switch (e.status & 0xF0) {
    case 0x80:
      std::printf("%d, %lld, Note_off_c, %d, %d, %d\n", track, t, channel, e.data1, e.data2);
      return;
    case 0x90:
      std::printf("%d, %lld, Note_on_c, %d, %d, %d\n", track, t, channel, e.data1, e.data2);
      return;
    case 0xA0:
      std::printf("%d, %lld, Poly_aftertouch_c, %d, %d, %d\n", track, t, channel, e.data1, e.data2);
      return;
    case 0xB0:
      std::printf("%d, %lld, Control_c, %d, %d, %d\n", track, t, channel, e.data1, e.data2);
      return;
    case 0xC0:
      std::printf("%d, %lld, Program_c, %d, %d\n", track, t, channel, e.data1);
      return;
    case 0xD0:
      std::printf("%d, %lld, Channel_aftertouch_c, %d, %d\n", track, t, channel, e.data1);
      return;
    case 0xE0:
      std::printf("%d, %lld, Pitch_bend_c, %d, %d\n", track, t, channel, e.data1 | e.data2 << 7);
      return;
    default:
      break;
  }
  if (e.status == 0xFF && e.data1 == 0x51 && e.payload.size() == 3) {
    const auto* m = reinterpret_cast<const unsigned char*>(e.payload.data());
    std::printf("%d, %lld, Tempo, %d\n", track, t, m[0] << 16 | m[1] << 8 | m[2]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: midi_events FILE.mid\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  SmfFile file;
  std::string error;
  if (!in.good() && !in.eof()) {
    std::printf("refused: cannot read %s\n", argv[1]);
    return 1;
  }
  if (!loadMidi(argv[1], bytes, file, error)) {
    std::printf("refused: %s\n", error.c_str());
    return 1;
  }
  for (std::size_t t = 0; t < file.tracks.size(); ++t) {
    const int track = static_cast<int>(t) + 1;
    for (const SmfEvent& e : file.tracks[t].events) printEvent(track, e);
    std::printf("%d, %lld, End_track\n", track, file.tracks[t].endPulses);
  }
  return 0;
}
