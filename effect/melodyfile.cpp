// Reading a melody file and setting the effect up for it.
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "effect.h"
#include "splice.h"

// Highest base frequency accepted: a note's ring can hold about as many
// steps as the base frequency, so this bounds set-up time and memory.
static constexpr double maxBaseFrequency = 20000.0;

int validateFormat(const EffectState& fx, int channelCount, int historyBlocks, int blockBytes,
                   int sampleRate, int frameBytes) {
  if (sampleRate < minSampleRate || sampleRate > maxSampleRate) {
    effectPrint(fx, "Supported rates: %d to %d. You supplied %d\n", minSampleRate, maxSampleRate,
                sampleRate);
    return 1;
  }
  if (channelCount < 1) {
    effectPrint(fx, "At least 1 channel required.\n");
    return 1;
  }
  if (blockBytes < 1) {
    effectPrint(fx, "At least 1 byte required per buffer.\n");
    return 1;
  }
  if (historyBlocks < 1) {
    effectPrint(fx, "At least 1 buffer required.\n");
    return 1;
  }
  switch (frameBytes) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 12:
    case 16:
      return 0;
    default:
      effectPrint(fx, "Supported sample sizes are 1, 2, 4, 8, 12 and 16 bytes. You supplied %d\n",
                  frameBytes);
      return 1;
  }
}

// Reads the next run of non-white-space characters, of any length. At the
// end of the file nothing is read and `token` keeps what it held; a token
// that runs up to the end of the file leaves the end-of-file indicator set.
static bool readToken(FILE* file, std::string& token) {
  int c;
  do {
    c = std::getc(file);
  } while (c != EOF && std::isspace(c));
  if (c == EOF) return false;
  token.clear();
  while (c != EOF && !std::isspace(c)) {
    token.push_back(static_cast<char>(c));
    c = std::getc(file);
  }
  if (c != EOF) std::ungetc(c, file);
  return true;
}

// A token is a number when it begins with one; what follows is ignored.
static bool toNumber(const std::string& token, double& value) {
  if (token.empty()) return false;
  const char* start = token.c_str();
  char* end = nullptr;
  value = std::strtod(start, &end);
  return end != start;
}

// Repetition count from a negative number: its magnitude, fraction cut off.
static int repetitionCount(double number) {
  const double magnitude = std::trunc(-number);
  return magnitude >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(magnitude);
}

static int failInput(const EffectState& fx, const std::string& token) {
  effectPrint(fx, "Invalid input string %s\n", token.c_str());
  return 1;
}

// A repetition count closes the section that ends at the last note.
static int readRepetition(EffectState& fx, int count) {
  DelayChannel* first = fx.channels[0];
  if (count < 1) {
    effectPrint(fx, "Invalid repetition count %d.\n", count);
    return 1;
  }
  if (!first) {
    effectPrint(fx, "Misplaced repetition count %d.\n", count);
    return 1;
  }
  first->lastNote->repeatCount = count - 1;
  first->lastNote->repeatTarget = first->sectionStart;
  return 0;
}

// A note: its duration has been read, its frequency comes next. At the end
// of the file no frequency is read and `token` still holds the duration's
// text, which then stands for the frequency too.
static int readNote(EffectState& fx, FILE* file, double duration, std::string& token) {
  readToken(file, token);
  double frequency;
  if (!toNumber(token, frequency)) return failInput(fx, token);
  DelayChannel** channels = fx.channels;
  if (!channels[0]) {
    channels[0] = createChannel(fx, 0);
    if (!channels[0]) return 1;
  }
  return appendNote(fx, static_cast<float>(frequency), static_cast<float>(duration), channels[0])
             ? 0
             : 1;
}

// The items after the base frequency: notes and repetition counts. The file
// is read like a loop of formatted reads whose buffer survives the end of the
// file, and these are the end-of-file rules that follow from it:
// - a token is taken only if white space (or more text) follows it, so a last
//   number that runs up to the end of a file without a line end is dropped;
// - once nothing more can be read, the last token is seen again, and the end
//   of the file then ends the melody;
// - a note cut short after its duration takes the duration as its frequency.
static int readItems(EffectState& fx, FILE* file) {
  std::string token;
  bool haveToken = false;
  for (;;) {
    haveToken = readToken(file, token) || haveToken;
    // Nothing at all after the base frequency: no note was stored.
    if (!haveToken) return 0;
    double number;
    if (!toNumber(token, number)) return failInput(fx, token);
    if (std::feof(file)) return 0;
    if (number < 0) {
      if (readRepetition(fx, repetitionCount(number))) return 1;
    } else if (number > 0) {
      if (readNote(fx, file, number, token)) return 1;
    } else {
      return failInput(fx, token);
    }
  }
}

// Editors on Windows start a UTF-8 text with a byte-order mark; it is passed
// over. Anything else that starts with its first byte is read as it stands.
static void skipByteOrderMark(FILE* file) {
  const int first = std::getc(file);
  if (first != 0xEF) {
    if (first != EOF) std::ungetc(first, file);
    return;
  }
  const int second = std::getc(file);
  const int third = std::getc(file);
  if (second != 0xBB || third != 0xBF) std::fseek(file, 0, SEEK_SET);
}

namespace {
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
}  // namespace

int effectInit(EffectState& fx, int channelCount, int historyBlocks, int blockBytes, int sampleRate,
               int frameBytes, const char* path, int loop) {
  if (validateFormat(fx, channelCount, historyBlocks, blockBytes, sampleRate, frameBytes)) return 1;
  effectRelease(fx);
  fx.historyBlocks = historyBlocks;
  fx.blockBytes = blockBytes;
  fx.frameBytes = frameBytes;
  fx.channelCount = channelCount;

  fx.channels = static_cast<DelayChannel**>(
      effectAllocate(fx, sizeof(DelayChannel*) * static_cast<std::size_t>(channelCount)));
  if (!fx.channels) {
    effectPrint(fx, "Out of memory.\n");
    return 1;
  }
  effectPrint(fx, "Opening file %s\n", path);
  {
    // Every way out of the reading closes the file.
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rt"));
    if (!file) {
      effectPrint(fx, "Can't open %s\n", path);
      return 1;
    }
    skipByteOrderMark(file.get());
    double base;
    if (std::fscanf(file.get(), "%lf", &base) == 1) {
      // The ring builder needs a finite positive base; see maxBaseFrequency.
      if (!(base > 0) || !(base <= maxBaseFrequency)) {
        effectPrint(fx, "Invalid base frequency %g: it must be above 0 and at most %g.\n", base,
                    maxBaseFrequency);
        return 1;
      }
      fx.baseFrequency = base;
    }
    if (readItems(fx, file.get())) return 1;
  }

  DelayChannel* first = fx.channels[0];
  if (!first || !first->lastNote) {
    effectPrint(fx, "Channel empty.\n");
    return 1;
  }
  first->lastNote->next = loop ? first->note : nullptr;
  fx.tickFrames = 44 * sampleRate / fx.referenceRate;
  fx.longTickEvery = 10 * fx.referenceRate / sampleRate;
  const bool tableRate = sampleRate == 44100 || sampleRate == 22050 || sampleRate == 11025;
  fx.exactTickRate = tableRate ? 0 : sampleRate;
  fx.currentChannel = first;
  if (!replicateChannels(fx, fx.channels, channelCount)) return 1;
  // At the exact clock's rates the first tick is the first millisecond too.
  if (!tableRate)
    for (int i = 0; i < channelCount; ++i)
      fx.channels[i]->tickLength = tickLengthAfter(fx, 0, fx.channels[i]->tickRemainder);
  fx.cursor = 0;
  fx.blockCounter = 0;
  // Read afresh for every file, so no file plays in the previous one's mode.
  if (spliceSetUp(fx, sampleRate)) return 1;
  effectPrint(fx, "Initialized, baby.\n");
  fx.initialized = 1;
  return 0;
}
