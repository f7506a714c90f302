// A MIDI file's parts, the default one and --list.
#include <algorithm>
#include <cstdio>
#include <map>

#include "melody.h"
#include "midi.h"

bool loadMidi(const std::string& name, const std::string& bytes, SmfFile& file,
              std::string& error) {
  SmfError fault;
  if (readSmf(bytes, file, fault)) return true;
  error = name + ", byte " + std::to_string(fault.byte) + ": " + fault.what;
  return false;
}

namespace {

// Length of the UTF-8 sequence that starts at `at`, or 0 when it is not one.
std::size_t utf8Length(const std::string& s, std::size_t at) {
  const unsigned char c = static_cast<unsigned char>(s[at]);
  const std::size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (length == 0 || at + length > s.size() || c >= 0xF5) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(s[at + i]) & 0xC0) != 0x80) return 0;
  return length;
}

std::string lower(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool containsAny(const std::string& text, std::initializer_list<const char*> words) {
  return std::any_of(words.begin(), words.end(),
                     [&](const char* w) { return text.find(w) != std::string::npos; });
}

// "bass" but not "bassoon".
// "bass" but not "bassoon"; a walking line is a bass line.
bool namedForBass(const std::string& name) {
  for (std::size_t at = name.find("bass"); at != std::string::npos; at = name.find("bass", at + 1))
    if (name.compare(at, 7, "bassoon") != 0) return true;
  return name.find("walk") != std::string::npos;
}

bool namedForDrums(const std::string& name) {
  return containsAny(name, {"drum", "perc", "snare", "cymbal", "hihat", "hi-hat", "kick",
                            "schlagzeug", "batterie", "slagverk", "trommer"});
}

bool namedForMelody(const std::string& name) {
  return containsAny(
      name, {"melod", "lead", "vocal", "voice", "vox", "solo", "tune", "soprano", "sing", "theme"});
}

// The sounding time of a part with two notes or more, as a share of the
// time with any. Notes still held at the track's end end there.
double polyphonyOf(std::vector<std::pair<long long, int>>& changes, long long& soundingPulses) {
  std::stable_sort(changes.begin(), changes.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  long long sounding = 0, any = 0, several = 0, last = 0;
  for (const auto& [pulses, change] : changes) {
    const long long span = pulses - last;
    if (sounding >= 1) any += span;
    if (sounding >= 2) several += span;
    sounding = std::max(0LL, sounding + change);
    last = pulses;
  }
  soundingPulses = any;
  return any > 0 ? static_cast<double>(several) / static_cast<double>(any) : 0;
}

}  // namespace

std::string trackName(const SmfTrack& track) {
  for (const SmfEvent& e : track.events) {
    if (e.status != 0xFF || e.data1 != 0x03) continue;
    std::string out;
    const std::string& s = e.payload;
    for (std::size_t i = 0; i < s.size() && out.size() < 40;) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (c >= 0x20 && c < 0x7F) {
        out += static_cast<char>(c);
        ++i;
      } else if (const std::size_t n = c >= 0x80 ? utf8Length(s, i) : 0) {
        out.append(s, i, n);
        i += n;
      } else {
        out += c < 0x20 ? ' ' : '?';
        ++i;
      }
    }
    const std::size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
  }
  return "";
}

std::vector<MidiPart> findParts(const SmfFile& file) {
  // Program changes of every track, by channel, in time order: a channel's
  // program may be set in another track than its notes.
  std::vector<std::pair<long long, int>> programs[16];
  for (const SmfTrack& track : file.tracks)
    for (const SmfEvent& e : track.events)
      if ((e.status & 0xF0) == 0xC0) programs[e.status & 0x0F].push_back({e.pulses, e.data1 + 1});
  for (auto& list : programs)
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

  std::vector<MidiPart> parts;
  for (std::size_t t = 0; t < file.tracks.size(); ++t) {
    const SmfTrack& track = file.tracks[t];
    const std::string name = trackName(track);
    const std::string lowered = lower(name);
    std::map<int, MidiPart> byChannel;
    std::map<int, std::vector<std::pair<long long, int>>> changes;
    std::map<int, long long> firstNote;
    for (const SmfEvent& e : track.events) {
      const int kind = e.status & 0xF0;
      if (kind != 0x90 && kind != 0x80) continue;
      const int channel = (e.status & 0x0F) + 1;
      const bool on = kind == 0x90 && e.data2 > 0;
      changes[channel].push_back({e.pulses, on ? 1 : -1});
      if (!on) continue;
      MidiPart& part = byChannel[channel];
      part.track = static_cast<int>(t) + 1;
      part.channel = channel;
      if (part.notes == 0) firstNote[channel] = e.pulses;
      ++part.notes;
      part.lowest = std::min(part.lowest, static_cast<int>(e.data1));
      part.highest = std::max(part.highest, static_cast<int>(e.data1));
      part.meanKey += e.data1;
    }
    for (auto& [channel, part] : byChannel) {
      part.name = name;
      part.meanKey /= part.notes;
      auto& list = changes[channel];
      list.push_back({track.endPulses, -static_cast<int>(list.size())});
      part.polyphony = polyphonyOf(list, part.sounding);
      for (const auto& [pulses, program] : programs[channel - 1])
        if (pulses <= firstNote[channel]) part.program = program;
      part.drums = channel == 10 || namedForDrums(lowered);
      // A bass program high up is a lead sound, as synthesizer basses often are.
      part.bass =
          namedForBass(lowered) || (part.program >= 33 && part.program <= 40 && part.meanKey < 60);
      part.melodyName = namedForMelody(lowered);
      parts.push_back(part);
    }
  }
  return parts;
}

PartChoice defaultPart(const std::vector<MidiPart>& parts) {
  // Of the parts that qualify, the one that ranks first.
  auto best = [&](auto qualifies, auto ranksBefore) {
    int index = -1;
    for (std::size_t i = 0; i < parts.size(); ++i)
      if (qualifies(parts[i]) && (index < 0 || ranksBefore(parts[i], parts[index])))
        index = static_cast<int>(i);
    return index;
  };
  auto higher = [](const MidiPart& a, const MidiPart& b) { return a.meanKey > b.meanKey; };
  auto longer = [](const MidiPart& a, const MidiPart& b) { return a.sounding > b.sounding; };
  PartChoice choice;
  // Neither drums nor bass, and out of the bass's register while any part is.
  const bool anyAbove =
      best([](const MidiPart& p) { return !p.drums && !p.bass && p.meanKey >= bassRegister; },
           higher) >= 0;
  auto tuned = [&](const MidiPart& p) {
    return !p.drums && !p.bass && (!anyAbove || p.meanKey >= bassRegister);
  };
  choice.index = best([&](const MidiPart& p) { return tuned(p) && p.melodyName; }, longer);
  if (choice.index >= 0) {
    choice.reason = "named for the melody";
    return choice;
  }
  // Fragments (a few notes of an intro, a fill) are no melody.
  const int longest = best(tuned, longer);
  auto substantial = [&](const MidiPart& p) {
    return longest >= 0 && tuned(p) &&
           4 * p.sounding >= parts[static_cast<std::size_t>(longest)].sounding;
  };
  choice.index = best(
      [&](const MidiPart& p) { return substantial(p) && p.polyphony <= mostlyMonophonicShare; },
      higher);
  if (choice.index >= 0) {
    choice.reason = "the highest mostly monophonic part, neither drums nor bass";
    return choice;
  }
  choice.index = best(substantial, higher);
  if (choice.index >= 0) {
    choice.reason = "the highest part that is neither drums nor bass";
    return choice;
  }
  // Only drums and bass are left: a tuned part may still hide there.
  choice.index = best([](const MidiPart& p) { return !p.drums; }, higher);
  if (choice.index >= 0) {
    choice.reason = "the highest part that is not drums";
    return choice;
  }
  choice.index = best([](const MidiPart& p) { return p.channel != 10; }, higher);
  if (choice.index >= 0) choice.reason = "the highest part off channel 10";
  return choice;
}

std::string listMidi(const std::string& name, const SmfFile& file,
                     const std::vector<MidiPart>& parts) {
  std::string text = name + ": format " + std::to_string(file.format) + ", " +
                     std::to_string(file.tracks.size()) +
                     (file.tracks.size() == 1 ? " track" : " tracks") + "\n";
  const PartChoice choice = defaultPart(parts);
  char line[256];
  auto row = [&](char mark, int track, const std::string& channel, int notes,
                 const std::string& range, const char* mono, const std::string& chords,
                 const std::string& label) {
    std::snprintf(line, sizeof line, "%c %5d %7s %5d %-9s %-4s %6s  %s\n", mark, track,
                  channel.c_str(), notes, range.c_str(), mono, chords.c_str(), label.c_str());
    text += line;
  };
  std::snprintf(line, sizeof line, "  %5s %7s %5s %-9s %-4s %6s  %s\n", "track", "channel", "notes",
                "range", "mono", "chords", "name");
  text += line;
  auto quoted = [](const std::string& s) { return s.empty() ? s : "\"" + s + "\""; };
  std::size_t next = 0;
  for (std::size_t t = 0; t < file.tracks.size(); ++t) {
    const int number = static_cast<int>(t) + 1;
    if (next >= parts.size() || parts[next].track != number) {
      row(' ', number, "-", 0, "-", "-", "-", quoted(trackName(file.tracks[t])));
      continue;
    }
    for (; next < parts.size() && parts[next].track == number; ++next) {
      const MidiPart& p = parts[next];
      std::string label = quoted(p.name);
      const char* kind = p.drums ? "(drums)" : p.bass ? "(bass)" : "";
      if (*kind) label += (label.empty() ? "" : " ") + std::string(kind);
      char chords[16];
      std::snprintf(chords, sizeof chords, "%.0f%%", 100 * p.polyphony);
      row(static_cast<int>(next) == choice.index ? '*' : ' ', p.track, std::to_string(p.channel),
          p.notes, midiNoteName(p.lowest) + "-" + midiNoteName(p.highest),
          p.polyphony <= monophonicShare ? "yes" : "no", chords, label);
    }
  }
  if (choice.index >= 0) {
    const MidiPart& p = parts[static_cast<std::size_t>(choice.index)];
    text += "* the default: track " + std::to_string(p.track) + ", channel " +
            std::to_string(p.channel) + ", " + choice.reason + "\n";
  } else {
    text += "no default: every part is on channel 10\n";
  }
  return text;
}
