#include "fuzzentries.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "effect.h"
#include "keydecoder.h"
#include "melody.h"
#include "midi.h"
#include "smf.h"
#include "splice.h"

void fuzzCheck(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz property failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// ---------------------------------------------------------------- melody file

namespace {

struct StreamShape {
  int channelCount;
  int historyBlocks;
  int frameBytes;
  int blockBytes;
  int rate;
  int loop;
  bool tagged;  // blocks hold whole frames of at least 8 bytes, so frames can carry a tag
};

// The driver's own shape (one delay channel, stereo frames), then shapes that
// reach the corners: two channels and a one-block history, and blocks that
// end in a partial frame.
constexpr StreamShape shapes[] = {
    {1, 8, 8, 8 * 64, 44100, 0, true},
    {2, 1, 12, 12 * 9, 11025, 1, true},
    {3, 3, 16, 100, 22050, 1, false},
};
constexpr int blocksPerShape = 16;

// A tagged frame holds its index and the index's complement, so a frame that
// was torn, shifted or made up does not pass for a real one.
void tagFrame(unsigned char* frame, int frameBytes, std::uint32_t index) {
  std::memset(frame, 0xa5, static_cast<std::size_t>(frameBytes));
  const std::uint32_t check = ~index;
  std::memcpy(frame, &index, 4);
  std::memcpy(frame + 4, &check, 4);
}

bool isSilence(const unsigned char* frame, int frameBytes) {
  for (int i = 0; i < frameBytes; ++i)
    if (frame[i]) return false;
  return true;
}

// True when the frame is a whole input frame fed before `fedFrames`.
bool isInputFrame(const unsigned char* frame, int frameBytes, std::uint32_t fedFrames) {
  std::uint32_t index, check;
  std::memcpy(&index, frame, 4);
  std::memcpy(&check, frame + 4, 4);
  if (check != ~index || index >= fedFrames) return false;
  for (int i = 8; i < frameBytes; ++i)
    if (frame[i] != 0xa5) return false;
  return true;
}

void playShape(EffectState& fx, const StreamShape& shape, const char* path) {
  if (effectInit(fx, shape.channelCount, shape.historyBlocks, shape.blockBytes, shape.rate,
                 shape.frameBytes, path, shape.loop) != 0) {
    fuzzCheck(!fx.initialized, "a failed set-up left the effect initialised");
    return;
  }
  fuzzCheck(fx.initialized && fx.channels[0] && fx.channels[0]->note && fx.cursor == 0,
            "a successful set-up left the effect unready");
  const int frames = shape.blockBytes / shape.frameBytes;
  std::vector<unsigned char> input(static_cast<std::size_t>(shape.blockBytes));
  std::vector<unsigned char> output(static_cast<std::size_t>(shape.blockBytes));
  std::uint32_t fed = 0;
  for (int block = 0; block < blocksPerShape; ++block) {
    for (int f = 0; f < frames; ++f) {
      unsigned char* frame = input.data() + static_cast<std::size_t>(f * shape.frameBytes);
      if (shape.tagged) {
        tagFrame(frame, shape.frameBytes, fed++);
      } else {
        std::memset(frame, block + 1, static_cast<std::size_t>(shape.frameBytes));
      }
    }
    fuzzCheck(effectProcess(fx, input.data(), output.data()) == 0,
              "an initialised effect refused a block");
    if (!shape.tagged) continue;
    for (int f = 0; f < frames; ++f) {
      const unsigned char* frame = output.data() + static_cast<std::size_t>(f * shape.frameBytes);
      fuzzCheck(isSilence(frame, shape.frameBytes) || isInputFrame(frame, shape.frameBytes, fed),
                "an output frame is neither silence nor a whole input frame");
      // Matched splices keep every frame within one block plus MaxDelay of
      // this channel's own frames, which are every channelCount-th block's:
      // counted over all blocks, a lag L of its own is at most
      // channelCount * L plus (channelCount - 1) blocks.
      std::uint32_t index;
      std::memcpy(&index, frame, 4);
      const long long lag = static_cast<long long>(fed - frames + f) - index;
      fuzzCheck(fx.splice.mode != spliceMatched || isSilence(frame, shape.frameBytes) ||
                    lag <= static_cast<long long>(fx.splice.lagLimit) * shape.channelCount +
                               static_cast<long long>(shape.channelCount - 1) * frames,
                "a matched splice lags by more than one block plus MaxDelay");
    }
  }
}

// The interpolated read computes its frames from float samples: a sine in,
// every output sample finite and within what the kernel's gain can make of
// the input's peak. Its history must hold a buffer, MaxDelay and the kernel.
void playInterpolated(EffectState& fx, const char* path) {
  constexpr int frames = 64, samples = 2, historyBlocks = 40;
  fx.settings.spliceMode = spliceMatched;
  fx.settings.readMode = readInterpolated;
  fx.audioChannels = samples;
  const int frameBytes = samples * static_cast<int>(sizeof(float));
  const int result = effectInit(fx, 1, historyBlocks, frames * frameBytes, 44100, frameBytes, path,
                                /*loop=*/1);
  fx.settings = EffectSettings{};
  fx.audioChannels = 0;
  if (result != 0) {
    fuzzCheck(!fx.initialized, "a failed set-up left the effect initialised");
    return;
  }
  std::vector<float> input(frames * samples), output(input.size());
  long long n = 0;
  for (int block = 0; block < blocksPerShape; ++block) {
    for (int f = 0; f < frames; ++f, ++n)
      for (int k = 0; k < samples; ++k)
        input[static_cast<std::size_t>(f * samples + k)] =
            static_cast<float>(0.5 * std::sin(0.01 * (k + 1) * static_cast<double>(n)));
    fuzzCheck(effectProcess(fx, input.data(), output.data()) == 0,
              "an initialised effect refused a block");
    for (float v : output)
      fuzzCheck(std::isfinite(v) && std::fabs(v) <= 1.0f,
                "an interpolated sample is not what the kernel makes of the input");
  }
}

}  // namespace

namespace {

// The ways the effect can play a melody file; every one reads it the same.
enum class PlayWay { block, matched, interpolated, absolute };
constexpr PlayWay playWays[] = {PlayWay::block, PlayWay::matched, PlayWay::interpolated,
                                PlayWay::absolute};
constexpr int everyShape = -1;

// Plays the file one way: through the stream shape at index `shape` of
// `shapes`, or through each of them. The interpolated read has a shape of
// its own.
void playWay(EffectState& fx, PlayWay way, const char* path, int shape) {
  fx.settings = EffectSettings{};
  auto playShapes = [&] {
    if (shape != everyShape) {
      playShape(fx, shapes[shape], path);
      return;
    }
    for (const StreamShape& each : shapes) playShape(fx, each, path);
  };
  switch (way) {
    case PlayWay::block:
    case PlayWay::matched:
      fx.settings.spliceMode = way == PlayWay::matched ? spliceMatched : spliceBlock;
      playShapes();
      break;
    case PlayWay::interpolated:
      playInterpolated(fx, path);
      break;
    case PlayWay::absolute:
      // Absolute pitch measures whatever the frames hold as audio.
      fx.settings.pitchMode = pitchAbsolute;
      playShapes();
      break;
  }
}

// Writes the melody file `data` to an in-memory file that the reader opens
// by path like any melody file, and plays it as `play` does with the effect
// and the path.
template <typename Play>
void playMelodyFile(const std::uint8_t* data, std::size_t size, Play play) {
  static int fd = memfd_create("melody", 0);
  fuzzCheck(fd >= 0, "memfd_create");
  fuzzCheck(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size),
            "writing the melody file");
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  EffectState fx;
  play(fx, path);
  effectRelease(fx);
  fuzzCheck(!fx.channels && !fx.firstNote && !fx.initialized, "release left state behind");
}

}  // namespace

void fuzzMelodyFile(const std::uint8_t* data, std::size_t size) {
  playMelodyFile(data, size, [](EffectState& fx, const char* path) {
    for (PlayWay way : playWays) playWay(fx, way, path, everyShape);
  });
}

void fuzzMelodyFileOneWay(const std::uint8_t* data, std::size_t size) {
  // The bytes choose one play of the ten (each way through each shape, and
  // the interpolated read), so that the fuzzer tries files ten times as fast
  // and still reaches every play across its corpus.
  constexpr int shapeCount = static_cast<int>(std::size(shapes));
  static constexpr PlayWay shapedWays[] = {PlayWay::block, PlayWay::matched, PlayWay::absolute};
  constexpr int plays = static_cast<int>(std::size(shapedWays)) * shapeCount + 1;
  std::uint32_t mix = 2166136261u;
  for (std::size_t i = 0; i < size; ++i) mix = (mix ^ data[i]) * 16777619u;
  const int chosen = static_cast<int>(mix % plays);
  playMelodyFile(data, size, [chosen](EffectState& fx, const char* path) {
    if (chosen == plays - 1)
      playWay(fx, PlayWay::interpolated, path, everyShape);
    else
      playWay(fx, shapedWays[chosen / shapeCount], path, chosen % shapeCount);
  });
}

// --------------------------------------------------------- configuration file

namespace {

struct LoadedConfig {
  int defaultInput, defaultOutput, infiniteLoop, stereoMode, defaultKeyCode, lineCount;
  std::optional<std::string> keyName;
  std::vector<std::string> files;
  bool operator==(const LoadedConfig&) const = default;
};

LoadedConfig snapshot() {
  const ProgramConfig& c = programConfig;
  LoadedConfig s{c.defaultInput,   c.defaultOutput,   c.infiniteLoop, c.stereoMode,
                 c.defaultKeyCode, c.configLineCount, std::nullopt,   {}};
  if (c.defaultKeyName) s.keyName = c.defaultKeyName;
  for (int i = 0; i < c.melodyFileCount; ++i) s.files.emplace_back(c.melodyFiles[i]);
  return s;
}

bool writeConfigFile(const std::uint8_t* data, std::size_t size) {
  FILE* out = std::fopen(configFileName, "wb");
  if (!out) return false;
  bool ok = std::fwrite(data, 1, size, out) == size;
  return std::fclose(out) == 0 && ok;
}

}  // namespace

void fuzzConfigFile(const std::uint8_t* data, std::size_t size) {
  fuzzCheck(writeConfigFile(data, size), "writing the configuration file");
  configReset();
  if (configLoad() == 0) {
    const LoadedConfig first = snapshot();
    fuzzCheck(!first.files.empty(), "a load without melody files succeeded");
    for (const std::string& file : first.files)
      fuzzCheck(!file.empty() && file.find_first_of(" \t\n\r\v\f") == std::string::npos,
                "a melody path is empty or holds a blank");
    fuzzCheck(configSave() == 0, "saving what was just loaded failed");
    configReset();
    fuzzCheck(configLoad() == 0, "the saved file does not load");
    fuzzCheck(snapshot() == first, "the saved file loads differently");
  }
  configReset();
}

// ---------------------------------------------------------------- key decoder

namespace {

void decodeAll(const std::uint8_t* data, std::size_t size, bool timeOutEachByte) {
  KeyDecoder decoder;
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char byte = data[i];
    const bool fromGround = !keyDecoderInSequence(decoder);
    keyDecoderFeed(decoder, byte);
    int codes[8];
    int count = 0;
    for (int code; (code = keyDecoderTake(decoder)) >= 0;) codes[count++] = code;
    fuzzCheck(count <= 3, "one byte gave more than three codes");
    for (int i = 0; i < count; ++i)
      fuzzCheck(codes[i] >= 0 && codes[i] <= 255, "a code outside 0..255");
    // Plain characters outside any sequence are keys as they stand.
    if (fromGround && byte >= 0x01 && byte < 0x80 && byte != 0x1b)
      fuzzCheck(count == 1 && codes[0] == byte && !keyDecoderInSequence(decoder),
                "a plain character was not passed through");
    if (timeOutEachByte && keyDecoderInSequence(decoder)) {
      keyDecoderFlush(decoder);
      int taken = 0;
      for (int code; (code = keyDecoderTake(decoder)) >= 0; ++taken)
        fuzzCheck(code >= 0 && code <= 255, "a flushed code outside 0..255");
      fuzzCheck(taken <= 2, "a time-out gave more than two codes");
      fuzzCheck(!keyDecoderInSequence(decoder), "still in a sequence after a time-out");
    }
  }
  keyDecoderFlush(decoder);
  while (keyDecoderTake(decoder) >= 0) {
  }
  fuzzCheck(!keyDecoderInSequence(decoder) && decoder.count == 0, "input end left codes behind");
}

}  // namespace

void fuzzKeyBytes(const std::uint8_t* data, std::size_t size) {
  decodeAll(data, size, false);
  decodeAll(data, size, true);
}

// ------------------------------------------------------------------ MIDI file

namespace {

// What the reader hands on holds whatever the bytes were.
void checkRead(const SmfFile& file, const SmfError& error, bool read, std::size_t size) {
  if (!read) {
    fuzzCheck(error.byte <= size && !error.what.empty(), "a refusal names a byte of the file");
    return;
  }
  fuzzCheck(file.format <= 1 && !file.tracks.empty(), "a read file is of format 0 or 1");
  for (const SmfTrack& track : file.tracks) {
    long long last = 0;
    for (const SmfEvent& e : track.events) {
      fuzzCheck(e.pulses >= last && e.offset < size, "events in order, inside the file");
      fuzzCheck(e.status >= 0x80, "every event has a status");
      if (e.status < 0xF0) fuzzCheck(e.data1 < 0x80 && e.data2 < 0x80, "data bytes below 0x80");
      last = e.pulses;
    }
    fuzzCheck(track.endPulses == last, "a track ends with its last event");
  }
}

// A melody the program takes: notes it plays, a base it accepts.
void checkMelody(const Melody& melody) {
  fuzzCheck(!melody.notes.empty(), "a converted melody has notes");
  fuzzCheck(melody.base > 0 && melody.base <= maxBase, "the base is one the program takes");
  fuzzCheck(melody.unit.factor >= 1, "the unit is a whole fraction of a hertz");
  for (const MelodyNote& note : melody.notes) {
    fuzzCheck(note.ticks > 0, "every note lasts a tick or more");
    fuzzCheck(note.frequency > 0 && note.frequency <= limitFramesPerBuffer * melody.base,
              "every note is one the program plays");
  }
}

}  // namespace

void fuzzMidiFile(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  SmfFile file;
  SmfError error;
  const bool read = readSmf(bytes, file, error);
  checkRead(file, error, read, bytes.size());
  if (read) listMidi("in", file, findParts(file));
  // The converter agrees with the reader on whether the file is one.
  for (const bool ownRange : {false, true}) {
    MelodyOptions options;
    options.bendRangeGiven = ownRange;
    options.bendRange = 12;
    Melody melody;
    std::string message;
    if (convertMidi("in", bytes, options, melody, message)) {
      fuzzCheck(read, "only a file the reader takes converts");
      checkMelody(melody);
    } else {
      fuzzCheck(message.rfind("in", 0) == 0, "a refusal names the file");
    }
  }
}
