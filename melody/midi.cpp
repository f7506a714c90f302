// Standard MIDI Files (format 0 and 1) to spans, read with libsmf.
// smf.h includes glib.h inside extern "C", which glib's C++ parts refuse.
#include <glib.h>
#include <smf.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "melody.h"

namespace {

unsigned be16(const std::string& b, std::size_t at) {
  return static_cast<unsigned>(static_cast<unsigned char>(b[at])) << 8 |
         static_cast<unsigned char>(b[at + 1]);
}

unsigned long be32(const std::string& b, std::size_t at) {
  return static_cast<unsigned long>(be16(b, at)) << 16 | be16(b, at + 2);
}

struct Header {
  unsigned format;
  unsigned tracks;
  bool smpte;
  int ppqn;
  int framesPerSecond;  // 24, 25, 29 (29.97, drop-frame) or 30
  int resolution;       // pulses per frame
};

// libsmf says little about a short file and loads some truncated ones
// anyway, so the chunk structure is checked first, with the byte where it
// breaks. `tracks` gets what libsmf reads well: a plain six-byte header and
// the track chunks alone (libsmf drops the track after a chunk of another
// kind, and refuses a longer header).
bool checkStructure(const std::string& name, const std::string& b, Header& header,
                    std::string& tracks, std::string& error) {
  const std::size_t size = b.size();
  auto fail = [&](std::size_t byte, const std::string& what) {
    error = name + ", byte " + std::to_string(byte) + ": " + what;
    return false;
  };
  if (size < 14) return fail(size, "truncated MIDI file: it ends inside its MThd header");
  const unsigned long headerLength = be32(b, 4);
  if (headerLength < 6)
    return fail(4, "not a valid MIDI file: its MThd header is " + std::to_string(headerLength) +
                       " bytes long, at least 6 are needed");
  if (headerLength > size - 8)
    return fail(size, "truncated MIDI file: it ends inside its MThd header");
  header.format = be16(b, 8);
  header.tracks = be16(b, 10);
  const unsigned division = be16(b, 12);
  if (header.format > 2)
    return fail(8, "not a valid MIDI file: unknown format " + std::to_string(header.format));
  if (header.format == 2)
    return fail(8, "MIDI format 2 (independent sequences) is not supported, only 0 and 1");
  if (header.tracks == 0) return fail(10, "not a valid MIDI file: its header announces no tracks");
  header.smpte = division & 0x8000;
  if (header.smpte) {
    header.framesPerSecond = -static_cast<signed char>(division >> 8);
    header.resolution = static_cast<int>(division & 0xff);
    const int fps = header.framesPerSecond;
    if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || header.resolution == 0)
      return fail(12, "not a valid MIDI file: SMPTE division of " + std::to_string(fps) +
                          " frames per second and " + std::to_string(header.resolution) +
                          " pulses per frame");
  } else {
    header.ppqn = static_cast<int>(division);
    if (header.ppqn == 0) return fail(12, "not a valid MIDI file: 0 pulses per quarter note");
  }
  std::size_t at = 8 + headerLength;
  unsigned found = 0;
  tracks = b.substr(0, 14);
  tracks[4] = tracks[5] = tracks[6] = 0;
  tracks[7] = 6;
  while (at < size) {
    if (size - at < 8) return fail(size, "truncated MIDI file: it ends inside a chunk header");
    const bool track = b.compare(at, 4, "MTrk") == 0;
    const unsigned long length = be32(b, at + 4);
    if (length > size - at - 8)
      return fail(size,
                  "truncated MIDI file: it ends inside " +
                      (track ? "track " + std::to_string(found + 1) : std::string("a chunk")) +
                      ", which should run to byte " + std::to_string(at + 8 + length));
    if (track) {
      ++found;
      tracks.append(b, at, 8 + length);
    }
    at += 8 + length;
  }
  if (found < header.tracks)
    return fail(size, "truncated MIDI file: it holds " + std::to_string(found) + " of the " +
                          std::to_string(header.tracks) + " tracks its header announces");
  return true;
}

// libsmf reports through GLib's log and goes on after some faults (a track
// cut short where an event breaks off), so a warning fails the load; only a
// tempo event it cannot use is passed over, as libsmf passes it over.
void keepFirstWarning(const gchar*, GLogLevelFlags level, const gchar* message, gpointer first) {
  auto* text = static_cast<std::string*>(first);
  const bool warning = level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING);
  const std::string m = message ? message : "";
  if (m.rfind("Ignoring invalid tempo change", 0) == 0) return;
  if (warning && text->empty()) *text = m.empty() ? "a fault" : m;
}

struct SmfDeleter {
  void operator()(smf_t* smf) const { smf_delete(smf); }
};

// Pulses to milliseconds, exactly: ms = numerator / denominator, so that
// every boundary is rounded once from its exact time.
struct TimeMap {
  struct Tempo {
    long long pulses;
    long long microsPerQuarter;
    __int128 startNumerator;
  };
  std::vector<Tempo> tempos;  // PPQ only; the first at pulse 0
  bool smpte = false;
  long long pulseNumerator = 0;  // SMPTE: numerator per pulse
  long long denominator = 1;

  __int128 numerator(long long pulses) const {
    if (smpte) return static_cast<__int128>(pulses) * pulseNumerator;
    auto next = std::upper_bound(tempos.begin(), tempos.end(), pulses,
                                 [](long long p, const Tempo& t) { return p < t.pulses; });
    const Tempo& t = *(next - 1);
    return t.startNumerator + static_cast<__int128>(pulses - t.pulses) * t.microsPerQuarter;
  }
  long long ticks(long long pulses) const {
    const __int128 n = numerator(pulses);
    return static_cast<long long>((2 * n + denominator) / (2 * static_cast<__int128>(denominator)));
  }
  double ms(long long pulses) const {
    return static_cast<double>(numerator(pulses)) / static_cast<double>(denominator);
  }
};

// A time signature changes how pulses group into bars, never how long a
// pulse lasts: the tempo counts microseconds per quarter note whatever the
// beat is. So only tempo events and the division make the map.
TimeMap makeTimeMap(smf_t* smf, const Header& header) {
  TimeMap map;
  if (header.smpte) {
    map.smpte = true;
    // 29 stands for 30 drop-frame: 30000/1001 frames per second.
    const bool dropFrame = header.framesPerSecond == 29;
    map.pulseNumerator = dropFrame ? 1001 : 1000;
    map.denominator =
        static_cast<long long>(dropFrame ? 30 : header.framesPerSecond) * header.resolution;
    return map;
  }
  std::vector<std::pair<long long, long long>> changes;
  for (int t = 1; t <= smf->number_of_tracks; ++t) {
    smf_track_t* track = smf_get_track_by_number(smf, t);
    for (int e = 1; e <= track->number_of_events; ++e) {
      const smf_event_t* event = smf_track_get_event_by_number(track, e);
      const unsigned char* m = event->midi_buffer;
      if (event->midi_buffer_length >= 6 && m[0] == 0xFF && m[1] == 0x51 && m[2] == 3) {
        const long long micros = m[3] << 16 | m[4] << 8 | m[5];
        if (micros > 0) changes.push_back({event->time_pulses, micros});
      }
    }
  }
  std::stable_sort(changes.begin(), changes.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  map.denominator = 1000LL * header.ppqn;
  map.tempos.push_back({0, 500000, 0});  // 120 quarter notes a minute until told otherwise
  for (const auto& [pulses, micros] : changes) {
    TimeMap::Tempo& last = map.tempos.back();
    if (pulses == last.pulses) {
      last.microsPerQuarter = micros;  // the later of two at one time wins
      continue;
    }
    map.tempos.push_back({pulses, micros, map.numerator(pulses)});
  }
  return map;
}

enum EventKind { noteOff, pitchBend, noteOn };  // the order within one pulse

struct Event {
  long long pulses;
  EventKind kind;
  int channel;  // 0 to 15
  int key;
  int value;  // pitch bend, 0 to 16383
  int track;
};

// The notes and bends of `track` on `channel` (1 to 16), or on every channel
// but 10 when `channel` is 0.
void collectEvents(smf_track_t* track, int channel, std::vector<Event>& events) {
  for (int e = 1; e <= track->number_of_events; ++e) {
    const smf_event_t* event = smf_track_get_event_by_number(track, e);
    const unsigned char* m = event->midi_buffer;
    if (event->midi_buffer_length < 3 || m[0] >= 0xF0) continue;
    const int ch = m[0] & 0x0F;
    if (channel ? ch != channel - 1 : ch == 9) continue;
    const int type = m[0] & 0xF0;
    Event out{event->time_pulses, noteOff, ch, m[1], 0, track->track_number};
    if (type == 0x90 && m[2] > 0) {
      out.kind = noteOn;
    } else if (type == 0x80 || type == 0x90) {
      out.kind = noteOff;
    } else if (type == 0xE0) {
      out.kind = pitchBend;
      out.value = m[1] | m[2] << 7;
    } else {
      continue;
    }
    events.push_back(out);
  }
}

struct Sounding {
  long long id;  // later notes have higher ids
  int channel;
  int key;
  int track;
};

std::string seconds(double ms) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f s", ms / 1000);
  return text;
}

}  // namespace

bool convertMidi(const std::string& name, const std::string& bytes, const MelodyOptions& options,
                 Melody& melody, std::string& error) {
  Header header{};
  std::string copy;
  if (!checkStructure(name, bytes, header, copy, error)) return false;
  // libsmf does not read SMPTE timing; the pulses are all we take from it,
  // so it is handed the file with a quarter-note division instead.
  if (header.smpte) {
    copy[12] = 0;
    copy[13] = 96;
  }
  std::string libraryMessage;
  const guint handler = g_log_set_handler(
      "libsmf",
      static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
      keepFirstWarning, &libraryMessage);
  std::unique_ptr<smf_t, SmfDeleter> smf(
      smf_load_from_memory(copy.data(), static_cast<int>(copy.size())));
  g_log_remove_handler("libsmf", handler);
  if (!smf || !libraryMessage.empty()) {
    error = name + ": not a valid MIDI file" +
            (libraryMessage.empty() ? std::string() : " (libsmf: " + libraryMessage + ")");
    return false;
  }

  const int trackCount = smf->number_of_tracks;
  if (options.trackGiven && (options.track < 1 || options.track > trackCount)) {
    error = name + ": there is no track " + std::to_string(options.track) + ": the file has " +
            std::to_string(trackCount) + (trackCount == 1 ? " track" : " tracks") +
            ", numbered from 1";
    return false;
  }
  if (options.channelGiven && (options.channel < 1 || options.channel > 16)) {
    error = name + ": there is no channel " + std::to_string(options.channel) +
            ": MIDI channels are 1 to 16";
    return false;
  }
  std::vector<Event> events;
  const int channel = options.channelGiven ? options.channel : 0;
  if (options.trackGiven) {
    collectEvents(smf_get_track_by_number(smf.get(), options.track), channel, events);
  } else if (options.channelGiven) {
    for (int t = 1; t <= trackCount; ++t)
      collectEvents(smf_get_track_by_number(smf.get(), t), options.channel, events);
  } else {
    for (int t = 1; t <= trackCount; ++t) {
      collectEvents(smf_get_track_by_number(smf.get(), t), 0, events);
      if (std::any_of(events.begin(), events.end(),
                      [](const Event& e) { return e.kind == noteOn; }))
        break;
      events.clear();
    }
  }
  if (std::none_of(events.begin(), events.end(), [](const Event& e) { return e.kind == noteOn; })) {
    if (options.trackGiven && options.channelGiven)
      error = name + ": no notes on track " + std::to_string(options.track) + ", channel " +
              std::to_string(options.channel);
    else if (options.trackGiven)
      error = name + ": no notes on track " + std::to_string(options.track) +
              " (channel 10, the drums, is skipped unless --channel 10 is given)";
    else if (options.channelGiven)
      error = name + ": no notes on channel " + std::to_string(options.channel);
    else
      error = name +
              ": no notes on any track (channel 10, the drums, is skipped unless --channel 10 "
              "is given)";
    return false;
  }

  const TimeMap time = makeTimeMap(smf.get(), header);
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.pulses != b.pulses ? a.pulses < b.pulses : a.kind < b.kind;
  });
  long long length = smf_get_length_pulses(smf.get());
  if (!events.empty()) length = std::max(length, events.back().pulses);

  // The sweep: after each pulse's events the highest sounding note (the
  // latest of equals) is the one heard; each change starts a span.
  std::vector<Span> spans;
  std::vector<Sounding> sounding;
  double bend[16] = {};  // semitones, per channel
  long long nextId = 0;
  long long currentId = -1;  // -1: a rest
  Sounding current{};
  long long spanStart = 0;
  double bendIntegral = 0;  // semitone-milliseconds over the span so far
  double lastMs = 0;
  auto closeSpan = [&](long long pulses) {
    const double endMs = time.ms(pulses), startMs = time.ms(spanStart);
    Span span{time.ticks(spanStart), time.ticks(pulses), currentId < 0, 0, 0, ""};
    if (currentId < 0) {
      span.where = "rest at " + seconds(startMs);
    } else {
      const double averageBend =
          endMs > startMs ? bendIntegral / (endMs - startMs) : bend[current.channel];
      span.pitch = current.key + averageBend;
      span.where = "track " + std::to_string(current.track) + ", " + midiNoteName(current.key) +
                   " at " + seconds(startMs);
    }
    spans.push_back(span);
  };
  std::size_t i = 0;
  while (i < events.size()) {
    const long long pulses = events[i].pulses;
    const double nowMs = time.ms(pulses);
    if (currentId >= 0) bendIntegral += bend[current.channel] * (nowMs - lastMs);
    lastMs = nowMs;
    for (; i < events.size() && events[i].pulses == pulses; ++i) {
      const Event& e = events[i];
      if (e.kind == pitchBend) {
        bend[e.channel] = (e.value - 8192) / 8192.0 * options.bendRange;
        continue;
      }
      // A key struck again while it sounds starts over as a new note.
      std::erase_if(sounding,
                    [&](const Sounding& s) { return s.channel == e.channel && s.key == e.key; });
      if (e.kind == noteOn) sounding.push_back({nextId++, e.channel, e.key, e.track});
    }
    long long winnerId = -1;
    Sounding winner{};
    for (const Sounding& s : sounding) {
      if (winnerId < 0 || s.key > winner.key || (s.key == winner.key && s.id > winner.id)) {
        winner = s;
        winnerId = s.id;
      }
    }
    if (winnerId != currentId) {
      closeSpan(pulses);
      currentId = winnerId;
      current = winner;
      spanStart = pulses;
      bendIntegral = 0;
    }
  }
  // What still sounds ends with the file.
  if (currentId >= 0) bendIntegral += bend[current.channel] * (time.ms(length) - lastMs);
  closeSpan(length);
  return finishMelody(name, spans, options, melody, error);
}
