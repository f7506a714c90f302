// Standard MIDI Files (format 0 and 1) to spans: the tempo map, the part
// taken, each channel's pitch bend and bend range, and the highest sounding
// note at every moment.
#include "midi.h"

#include <algorithm>
#include <cstdio>

#include "melody.h"

namespace {

// Pulses to milliseconds, exactly: ms = numerator / denominator, so that
// every boundary is rounded once from its exact time.
struct TimeMap {
  struct Tempo {
    long long pulses;
    long long microsPerQuarter;
    __int128 startNumerator;
  };
  std::vector<Tempo> tempos;  // quarter-note division only; the first at pulse 0
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
TimeMap makeTimeMap(const SmfFile& file) {
  TimeMap map;
  if (file.smpte) {
    map.smpte = true;
    // 29 stands for 30 drop-frame: 30000/1001 frames per second.
    const bool dropFrame = file.framesPerSecond == 29;
    map.pulseNumerator = dropFrame ? 1001 : 1000;
    map.denominator =
        static_cast<long long>(dropFrame ? 30 : file.framesPerSecond) * file.resolution;
    return map;
  }
  std::vector<std::pair<long long, long long>> changes;
  for (const SmfTrack& track : file.tracks) {
    for (const SmfEvent& e : track.events) {
      if (e.status != 0xFF || e.data1 != 0x51 || e.payload.size() != 3) continue;
      const auto* m = reinterpret_cast<const unsigned char*>(e.payload.data());
      const long long micros = m[0] << 16 | m[1] << 8 | m[2];
      if (micros > 0) changes.push_back({e.pulses, micros});
    }
  }
  std::stable_sort(changes.begin(), changes.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  map.denominator = 1000LL * file.ppqn;
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

// The order within one pulse: notes end, controllers and bends apply, then
// notes start, so a note struck with a bend starts bent.
enum EventKind { noteOff, control, pitchBend, noteOn };

struct Event {
  long long pulses;
  EventKind kind;
  int channel;  // 0 to 15
  int key;      // or controller number
  int value;    // controller value, or pitch bend 0 to 16383
  int track;    // from 1
};

// Which notes are taken: of one track or all (0), of one channel (1 to 16)
// or every channel but 10 (0).
struct Selection {
  int track = 0;
  int channel = 0;
};

bool selected(const Selection& s, int track, int channel) {
  return (s.track == 0 || s.track == track) &&
         (s.channel ? channel == s.channel - 1 : channel != 9);
}

// The selected notes, and the controllers and bends of every track: a
// channel's bend and bend range hold whichever track sets them.
std::vector<Event> collectEvents(const SmfFile& file, const Selection& selection) {
  std::vector<Event> events;
  for (std::size_t t = 0; t < file.tracks.size(); ++t) {
    const int track = static_cast<int>(t) + 1;
    for (const SmfEvent& e : file.tracks[t].events) {
      if (e.status >= 0xF0) continue;
      const int channel = e.status & 0x0F;
      Event out{e.pulses, noteOff, channel, e.data1, e.data2, track};
      switch (e.status & 0xF0) {
        case 0x90:
        case 0x80:
          if (!selected(selection, track, channel)) continue;
          out.kind = (e.status & 0xF0) == 0x90 && e.data2 > 0 ? noteOn : noteOff;
          break;
        case 0xB0:
          out.kind = control;
          break;
        case 0xE0:
          out.kind = pitchBend;
          out.value = e.data1 | e.data2 << 7;
          break;
        default:
          continue;
      }
      events.push_back(out);
    }
  }
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.pulses != b.pulses ? a.pulses < b.pulses : a.kind < b.kind;
  });
  return events;
}

// A channel's pitch bend and its range, which the file may set with
// registered parameter 0 (pitch-bend sensitivity).
struct ChannelBend {
  int value = 8192;
  double semitones = 2;  // the range, General MIDI's unless the file sets it
  int cents = 0;
  int parameterMsb = 127, parameterLsb = 127;  // 127, 127: none selected
  bool fixed = false;                          // --bend-range given

  double bend() const { return (value - 8192) / 8192.0 * (semitones + cents / 100.0); }

  void controller(int number, int value) {
    const bool sensitivity = parameterMsb == 0 && parameterLsb == 0;
    switch (number) {
      case 101:
        parameterMsb = value;
        break;
      case 100:
        parameterLsb = value;
        break;
      case 99:
      case 98:  // a non-registered parameter: data entry no longer means the range
        parameterMsb = parameterLsb = 127;
        break;
      case 6:
        if (sensitivity && !fixed) semitones = value;
        break;
      case 38:
        if (sensitivity && !fixed) cents = value;
        break;
      case 121:  // reset all controllers: the bend, not its range
        this->value = 8192;
        parameterMsb = parameterLsb = 127;
        break;
      default:
        break;
    }
  }
};

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

// The spans of the selected notes: after each pulse's events the highest
// sounding note (the latest of equals) is the one heard, and each change
// starts a span. What still sounds ends with the file.
std::vector<Span> sweep(const std::vector<Event>& events, const TimeMap& time, long long length,
                        const MelodyOptions& options) {
  std::vector<Span> spans;
  std::vector<Sounding> sounding;
  ChannelBend bend[16];
  for (ChannelBend& b : bend) {
    b.fixed = options.bendRangeGiven;
    if (b.fixed) b.semitones = options.bendRange;
  }
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
          endMs > startMs ? bendIntegral / (endMs - startMs) : bend[current.channel].bend();
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
    if (currentId >= 0) bendIntegral += bend[current.channel].bend() * (nowMs - lastMs);
    lastMs = nowMs;
    for (; i < events.size() && events[i].pulses == pulses; ++i) {
      const Event& e = events[i];
      if (e.kind == pitchBend) {
        bend[e.channel].value = e.value;
        continue;
      }
      if (e.kind == control) {
        bend[e.channel].controller(e.key, e.value);
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
  if (currentId >= 0) bendIntegral += bend[current.channel].bend() * (time.ms(length) - lastMs);
  closeSpan(length);
  return spans;
}

std::string describeTrack(const SmfFile& file, int track) {
  const std::string name = trackName(file.tracks[static_cast<std::size_t>(track - 1)]);
  return "track " + std::to_string(track) + (name.empty() ? "" : " \"" + name + "\"");
}

// Track and channel numbers the file has; false with the reason otherwise.
bool checkPlace(const std::string& name, const SmfFile& file, const MelodyOptions& options,
                std::string& error) {
  const int trackCount = static_cast<int>(file.tracks.size());
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
  return true;
}

// The notes --track and --channel name, and the line that says which.
bool chooseGiven(const std::string& name, const SmfFile& file, const MelodyOptions& options,
                 const std::vector<MidiPart>& parts, Selection& selection, std::string& taken,
                 std::string& error) {
  selection.track = options.trackGiven ? options.track : 0;
  selection.channel = options.channelGiven ? options.channel : 0;
  const std::string channel = "channel " + std::to_string(options.channel);
  const bool any = std::any_of(parts.begin(), parts.end(), [&](const MidiPart& p) {
    return selected(selection, p.track, p.channel - 1);
  });
  if (!any) {
    if (options.trackGiven && options.channelGiven)
      error = name + ": no notes on track " + std::to_string(options.track) + ", " + channel;
    else if (options.trackGiven)
      error = name + ": no notes on track " + std::to_string(options.track) +
              " (channel 10, the drums, is skipped unless --channel 10 is given)";
    else
      error = name + ": no notes on " + channel;
    return false;
  }
  if (options.trackGiven)
    taken = "took " + describeTrack(file, options.track) + ", " +
            (options.channelGiven ? channel : "every channel but 10");
  else
    taken = "took " + channel + " of every track";
  return true;
}

// The default part, and the line that says which and why.
bool chooseDefault(const std::string& name, const SmfFile& file, const std::vector<MidiPart>& parts,
                   Selection& selection, std::string& taken, std::string& error) {
  const PartChoice choice = defaultPart(parts);
  if (choice.index < 0) {
    error = name +
            ": no notes on any track (channel 10, the drums, is skipped unless --channel 10 is "
            "given)";
    return false;
  }
  const MidiPart& part = parts[static_cast<std::size_t>(choice.index)];
  selection.track = part.track;
  selection.channel = part.channel;
  taken = "took " + describeTrack(file, part.track) + ", channel " + std::to_string(part.channel) +
          ": " + choice.reason + " (--list shows every part)";
  return true;
}

}  // namespace

bool convertMidi(const std::string& name, const std::string& bytes, const MelodyOptions& options,
                 Melody& melody, std::string& error) {
  SmfFile file;
  if (!loadMidi(name, bytes, file, error)) return false;
  if (!checkPlace(name, file, options, error)) return false;
  const std::vector<MidiPart> parts = findParts(file);
  Selection selection;
  std::string taken;
  const bool chosen = options.trackGiven || options.channelGiven
                          ? chooseGiven(name, file, options, parts, selection, taken, error)
                          : chooseDefault(name, file, parts, selection, taken, error);
  if (!chosen) return false;
  const std::vector<Event> events = collectEvents(file, selection);
  long long length = 0;
  for (const SmfTrack& track : file.tracks) length = std::max(length, track.endPulses);
  const std::vector<Span> spans = sweep(events, makeTimeMap(file), length, options);
  if (!finishMelody(name, spans, options, melody, error)) return false;
  melody.taken = taken;
  return true;
}
