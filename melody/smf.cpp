// Standard MIDI Files by their grammar: "MThd" header, chunks, and in each
// "MTrk" chunk events of a delta time and a message. Strict where a misread
// would change the notes (data bytes, lengths, the chunk's bounds), lenient
// where real files commonly differ from the rules without harm.
#include "smf.h"

namespace {

unsigned be16(const std::string& b, std::size_t at) {
  return static_cast<unsigned>(static_cast<unsigned char>(b[at])) << 8 |
         static_cast<unsigned char>(b[at + 1]);
}

unsigned long be32(const std::string& b, std::size_t at) {
  return static_cast<unsigned long>(be16(b, at)) << 16 | be16(b, at + 2);
}

std::string hexByte(unsigned value) {
  static const char digits[] = "0123456789ABCDEF";
  return std::string("0x") + digits[(value >> 4) & 15] + digits[value & 15];
}

const char* messageName(unsigned char status) {
  static const char* const names[] = {"note-off",       "note-on",        "key pressure",
                                      "control change", "program change", "channel pressure",
                                      "pitch bend"};
  return names[(status >> 4) - 8];
}

bool fail(SmfError& error, std::size_t byte, const std::string& what) {
  error.byte = byte;
  error.what = what;
  return false;
}

bool readHeader(const std::string& b, SmfFile& file, unsigned& trackCount, std::size_t& next,
                SmfError& error) {
  const std::size_t size = b.size();
  if (b.compare(0, 4, "MThd") != 0)
    return fail(error, 0, "not a MIDI file: it does not begin with MThd");
  if (size < 14) return fail(error, size, "truncated MIDI file: it ends inside its MThd header");
  const unsigned long length = be32(b, 4);
  if (length < 6)
    return fail(error, 4,
                "not a valid MIDI file: its MThd header is " + std::to_string(length) +
                    " bytes long, at least 6 are needed");
  if (length > size - 8)
    return fail(error, size, "truncated MIDI file: it ends inside its MThd header");
  file.format = be16(b, 8);
  trackCount = be16(b, 10);
  const unsigned division = be16(b, 12);
  if (file.format > 2)
    return fail(error, 8, "not a valid MIDI file: unknown format " + std::to_string(file.format));
  if (file.format == 2)
    return fail(error, 8, "MIDI format 2 (independent sequences) is not supported, only 0 and 1");
  if (trackCount == 0)
    return fail(error, 10, "not a valid MIDI file: its header announces no tracks");
  file.smpte = division & 0x8000;
  if (file.smpte) {
    file.framesPerSecond = -static_cast<signed char>(division >> 8);
    file.resolution = static_cast<int>(division & 0xff);
    const int fps = file.framesPerSecond;
    if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || file.resolution == 0)
      return fail(error, 12,
                  "not a valid MIDI file: SMPTE division of " + std::to_string(fps) +
                      " frames per second and " + std::to_string(file.resolution) +
                      " pulses per frame");
  } else {
    file.ppqn = static_cast<int>(division);
    if (file.ppqn == 0) return fail(error, 12, "not a valid MIDI file: 0 pulses per quarter note");
  }
  next = 8 + length;
  return true;
}

// Reads one track chunk's events, from `at` up to `end`.
struct TrackReader {
  const std::string& b;
  std::size_t at;
  std::size_t end;
  std::string label;  // "track 2"
  SmfError& error;

  bool variableLength(unsigned long& value, std::size_t start, const char* what) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      if (at >= end) return eventCut(start);
      const unsigned char c = static_cast<unsigned char>(b[at++]);
      value = value << 7 | (c & 0x7F);
      if (!(c & 0x80)) return true;
    }
    return fail(error, start, label + ": " + what + " longer than 4 bytes");
  }

  bool eventCut(std::size_t start) {
    return fail(
        error, start,
        label + " ends inside this event (its chunk ends at byte " + std::to_string(end) + ")");
  }

  bool dataByte(unsigned char& value, unsigned char status, std::size_t start) {
    if (at >= end) return eventCut(start);
    value = static_cast<unsigned char>(b[at]);
    if (value & 0x80)
      return fail(error, at,
                  label + ": byte " + hexByte(value) + " where a " + messageName(status) +
                      " needs a data byte (0 to 127)");
    ++at;
    return true;
  }

  bool read(SmfTrack& track) {
    long long pulses = 0;
    unsigned char running = 0;  // no running status yet
    while (at < end) {
      const std::size_t start = at;
      unsigned long delta;
      if (!variableLength(delta, start, "a delta time")) return false;
      pulses += static_cast<long long>(delta);
      if (at >= end) return eventCut(start);
      SmfEvent event{pulses, start, static_cast<unsigned char>(b[at]), 0, 0, {}};
      if (event.status < 0x80) {
        // Running status. Many writers keep it across meta and system
        // exclusive events, which the rules say cancel it; the data byte can
        // mean nothing else, so it is read that way rather than refused.
        if (!running)
          return fail(error, at,
                      label + ": data byte " + hexByte(event.status) + " with no status before it");
        event.status = running;
      } else {
        ++at;
      }
      if (event.status < 0xF0) {
        running = event.status;
        if (!dataByte(event.data1, event.status, start)) return false;
        if (channelDataBytes(event.status) == 2 && !dataByte(event.data2, event.status, start))
          return false;
      } else if (event.status == 0xFF || event.status == 0xF0 || event.status == 0xF7) {
        if (event.status == 0xFF) {
          if (at >= end) return eventCut(start);
          event.data1 = static_cast<unsigned char>(b[at++]);
        }
        unsigned long length;
        if (!variableLength(length, start, "a length")) return false;
        if (length > end - at)
          return fail(error, start,
                      label + ": an event of " + std::to_string(length) +
                          " bytes runs past the end of its chunk at byte " + std::to_string(end));
        if (event.status == 0xFF) event.payload = b.substr(at, length);
        at += length;
      } else {
        return fail(
            error, at - 1,
            label + ": status byte " + hexByte(event.status) + " does not belong in a MIDI file");
      }
      const bool endOfTrack = event.status == 0xFF && event.data1 == 0x2F;
      track.events.push_back(std::move(event));
      track.endPulses = pulses;
      // Bytes after the End-of-Track event are padding as far as the
      // track is concerned.
      if (endOfTrack) return true;
    }
    return true;
  }
};

}  // namespace

int channelDataBytes(unsigned char status) {
  const unsigned kind = status & 0xF0;
  return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

bool readSmf(const std::string& b, SmfFile& file, SmfError& error) {
  file = SmfFile{};
  unsigned trackCount = 0;
  std::size_t at = 0;
  if (!readHeader(b, file, trackCount, at, error)) return false;
  const std::size_t size = b.size();
  while (file.tracks.size() < trackCount) {
    if (at >= size)
      return fail(error, size,
                  "truncated MIDI file: it holds " + std::to_string(file.tracks.size()) +
                      " of the " + std::to_string(trackCount) + " tracks its header announces");
    if (size - at < 8)
      return fail(error, size, "truncated MIDI file: it ends inside a chunk header");
    const bool isTrack = b.compare(at, 4, "MTrk") == 0;
    const unsigned long length = be32(b, at + 4);
    const std::string label = "track " + std::to_string(file.tracks.size() + 1);
    if (length > size - at - 8)
      return fail(error, size,
                  "truncated MIDI file: it ends inside " + (isTrack ? label : "a chunk") +
                      ", which should run to byte " + std::to_string(at + 8 + length));
    if (isTrack) {
      SmfTrack track;
      track.offset = at;
      TrackReader reader{b, at + 8, at + 8 + length, label, error};
      if (!reader.read(track)) return false;
      file.tracks.push_back(std::move(track));
    }
    at += 8 + length;
  }
  return true;
}
