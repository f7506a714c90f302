#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

ProgramConfig programConfig;

const char* const configFileName = "glidewarperconfig.txt";

namespace {

// fgets keeps one byte for the terminator, so a piece holds at most 499 bytes.
constexpr int pieceBufferSize = 500;

// The new content is written here first and renamed over the file only once
// every byte is on disk, so a failed save never costs the old file.
const char* const saveTempName = "glidewarperconfig.txt.tmp";

ConfigAllocator allocator = nullptr;

void* allocate(std::size_t size) {
  void* memory = allocator ? allocator(size) : std::malloc(size);
  if (!memory) printf("Out of memory.\n");
  return memory;
}

char* copyText(const char* text, std::size_t length) {
  char* copy = static_cast<char*>(allocate(length + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

struct Word {
  const char* start = nullptr;
  std::size_t length = 0;
};

// Splits off the first two words of a line; returns how many it found.
int splitWords(const char* line, Word words[2]) {
  int found = 0;
  const char* p = line;
  while (found < 2) {
    while (*p && isBlank(*p)) ++p;
    if (!*p) break;
    const char* start = p;
    while (*p && !isBlank(*p)) ++p;
    words[found].start = start;
    words[found].length = static_cast<std::size_t>(p - start);
    ++found;
  }
  return found;
}

bool wordIs(const Word& word, const char* text) {
  return std::strlen(text) == word.length && std::memcmp(word.start, text, word.length) == 0;
}

// Optional sign and leading decimal digits; anything else ends the number.
// Values past the 32-bit range stick at its nearest limit.
int parseInteger(const Word& word) {
  std::size_t i = 0;
  bool negative = false;
  if (i < word.length && (word.start[i] == '+' || word.start[i] == '-')) {
    negative = word.start[i] == '-';
    ++i;
  }
  long long value = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; i < word.length && word.start[i] >= '0' && word.start[i] <= '9'; ++i) {
    value = value * 10 + (word.start[i] - '0');
    if (value > limit) value = limit;  // keeps the product far from overflow
  }
  return static_cast<int>(negative ? -value : value);
}

// What became of one line's key and value; running out of memory has been
// reported by the time it is returned.
enum class Applied { ok, unknownKey, outOfMemory };

Applied applySetting(const Word& key, const Word& value, int lineIndex, int fileCapacity) {
  ProgramConfig& config = programConfig;
  if (wordIs(key, "DefaultInput:")) {
    config.defaultInput = parseInteger(value);
    config.defaultInputLine = lineIndex;
  } else if (wordIs(key, "DefaultOutput:")) {
    config.defaultOutput = parseInteger(value);
    config.defaultOutputLine = lineIndex;
  } else if (wordIs(key, "InfiniteLoop:")) {
    config.infiniteLoop = value.start[0] == 'Y' || value.start[0] == 'y' ? 1 : 0;
  } else if (wordIs(key, "Stereo:")) {
    config.stereoMode = wordIs(value, "left-to-both")    ? stereoLeftToBoth
                        : wordIs(value, "right-to-both") ? stereoRightToBoth
                                                         : stereoNone;
  } else if (wordIs(key, "Splice:")) {
    config.spliceMode = wordIs(value, "matched") ? spliceMatched : spliceBlock;
  } else if (wordIs(key, "MaxDelay:")) {
    config.maxDelayMs = parseInteger(value);
  } else if (wordIs(key, "DefaultKeyCode:")) {
    config.defaultKeyCode = parseInteger(value);
  } else if (wordIs(key, "DefaultKeyName:")) {
    char* name = copyText(value.start, value.length);
    if (!name) return Applied::outOfMemory;
    std::free(config.defaultKeyName);
    config.defaultKeyName = name;
  } else if (wordIs(key, "File:")) {
    // The first pass sized the array; a file that grew since cannot add more.
    if (config.melodyFileCount >= fileCapacity) return Applied::ok;
    char* path = copyText(value.start, value.length);
    if (!path) return Applied::outOfMemory;
    config.melodyFiles[config.melodyFileCount++] = path;
  } else {
    return Applied::unknownKey;
  }
  return Applied::ok;
}

void* allocateArray(int count) {
  // Room for one entry even when nothing is counted keeps null for failure only.
  std::size_t bytes = sizeof(char*) * static_cast<std::size_t>(count > 0 ? count : 1);
  void* memory = allocate(bytes);
  if (memory) std::memset(memory, 0, bytes);
  return memory;
}

// First pass: how many pieces the file holds and how many of them are "File:"
// lines, so that both arrays are allocated once.
void countPieces(FILE* file, int& lineCount, int& fileLineCount) {
  char piece[pieceBufferSize];
  Word words[2];
  lineCount = 0;
  fileLineCount = 0;
  while (fgets(piece, sizeof piece, file)) {
    ++lineCount;
    if (splitWords(piece, words) == 2 && wordIs(words[0], "File:")) ++fileLineCount;
  }
}

bool allocateArrays(int lineCount, int fileLineCount) {
  ProgramConfig& config = programConfig;
  config.configLines = static_cast<char**>(allocateArray(lineCount));
  if (config.configLines) config.melodyFiles = static_cast<char**>(allocateArray(fileLineCount));
  if (!config.melodyFiles) return false;
  config.configLineCount = lineCount;
  return true;
}

// The piece as it is stored, given where in the file it started and ended.
char* storedPiece(const char* piece, long pieceStart, long pieceEnd) {
  const std::size_t length = std::strlen(piece);
  // A NUL byte ends the piece's text early. What follows it is dropped, but
  // the stored line keeps a line end of its own: written back without one,
  // it would join the next line and change what a later load reads.
  const bool cut = pieceStart >= 0 && pieceEnd - pieceStart > static_cast<long>(length);
  char* copy = copyText(piece, cut ? length + 1 : length);
  if (cut && copy) copy[length] = '\n';
  return copy;
}

// Applies the setting of one piece; false ends the load, its reason printed.
bool applyPiece(const char* piece, int lineIndex, int fileCapacity) {
  if (piece[0] == '#') return true;
  Word words[2];
  int wordCount = splitWords(piece, words);
  if (wordCount == 0) return true;
  if (wordCount == 1) {
    printf("Error in line: %s, result: %d ", piece, wordCount);
    return false;
  }
  Applied applied = applySetting(words[0], words[1], lineIndex, fileCapacity);
  if (applied == Applied::unknownKey) printf("Error in line: %s", piece);
  return applied == Applied::ok;
}

// Second pass: stores every piece, comments and blank lines too, and applies
// the settings in file order.
bool readPieces(FILE* file, int lineCount, int fileLineCount) {
  ProgramConfig& config = programConfig;
  char piece[pieceBufferSize];
  long pieceStart = ftell(file);
  for (int i = 0; i < lineCount && fgets(piece, sizeof piece, file); ++i) {
    const long pieceEnd = ftell(file);
    config.configLines[i] = storedPiece(piece, pieceStart, pieceEnd);
    pieceStart = pieceEnd;
    if (!config.configLines[i] || !applyPiece(piece, i, fileLineCount)) return false;
  }
  return true;
}

bool writeAll(FILE* out) {
  const ProgramConfig& config = programConfig;
  for (int i = 0; i < config.configLineCount; ++i) {
    int result;
    if (i == config.defaultInputLine) {
      result = fprintf(out, "DefaultInput: %d\n", config.defaultInput);
    } else if (i == config.defaultOutputLine) {
      result = fprintf(out, "DefaultOutput: %d\n", config.defaultOutput);
    } else {
      result = config.configLines[i] ? fputs(config.configLines[i], out) : 0;
    }
    if (result < 0) return false;
  }
  if (fflush(out) != 0) return false;
  // Some file systems cannot sync; the data is still written then.
  return fsync(fileno(out)) == 0 || errno == EINVAL;
}

}  // namespace

int configLoad() {
  FILE* file = fopen(configFileName, "r");
  if (!file) {
    printf("Could not load glidewarperconfig.txt\n");
    return 1;
  }
  int lineCount;
  int fileLineCount;
  countPieces(file, lineCount, fileLineCount);
  rewind(file);
  const bool read =
      allocateArrays(lineCount, fileLineCount) && readPieces(file, lineCount, fileLineCount);
  fclose(file);
  if (!read) return 1;

  if (programConfig.melodyFileCount == 0) {
    printf("No input file specified in glidewarperconfig.txt\n");
    return 1;
  }
  return 0;
}

int configSave() {
  // Without a load there is nothing to write, and writing would empty the file.
  if (!programConfig.configLines) {
    printf("Could not write glidewarperconfig.txt, no configuration was loaded\n");
    return 1;
  }
  // A stale temporary file from an interrupted save is simply replaced;
  // O_EXCL then makes sure we write a fresh file of our own, not through a
  // link or into something that is not a plain file.
  unlink(saveTempName);
  int fd = open(saveTempName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (!out) {
    if (fd >= 0) {
      close(fd);
      unlink(saveTempName);
    }
    printf("Could not open glidewarperconfig.txt for writing\n");
    return 1;
  }
  // The rewritten file keeps the permissions the user gave the old one.
  // Failing that is not worth failing the save over.
  struct stat old;
  if (stat(configFileName, &old) == 0) fchmod(fd, old.st_mode & 07777);

  bool written = writeAll(out);
  bool closed = fclose(out) == 0;
  if (!written || !closed || rename(saveTempName, configFileName) != 0) {
    unlink(saveTempName);
    printf("Could not write glidewarperconfig.txt, it was left as it was\n");
    return 1;
  }
  return 0;
}

void configReset() {
  ProgramConfig& config = programConfig;
  for (int i = 0; i < config.configLineCount; ++i) std::free(config.configLines[i]);
  for (int i = 0; i < config.melodyFileCount; ++i) std::free(config.melodyFiles[i]);
  std::free(config.configLines);
  std::free(config.melodyFiles);
  std::free(config.defaultKeyName);
  config = ProgramConfig{};
}

void configSetAllocator(ConfigAllocator allocate) {
  allocator = allocate;
}
