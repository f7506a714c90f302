#include "config.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "safewrite.h"

ProgramConfig programConfig;

const char* const configFileName = "glidewarperconfig.txt";

namespace {

// fgets keeps one byte for the terminator, so a piece holds at most 499 bytes.
constexpr int pieceBufferSize = 500;

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

// A whole number of milliseconds: an optional sign, digits and nothing
// else, or "ms" right after the digits.
bool isWholeMs(const Word& word) {
  std::size_t i = 0;
  if (i < word.length && (word.start[i] == '+' || word.start[i] == '-')) ++i;
  const std::size_t digits = i;
  while (i < word.length && word.start[i] >= '0' && word.start[i] <= '9') ++i;
  if (i == digits) return false;
  const std::size_t rest = word.length - i;
  return rest == 0 || (rest == 2 && word.start[i] == 'm' && word.start[i + 1] == 's');
}

// The rest of the line from `start` on, without the blanks at either end.
Word restOfLine(const char* start) {
  Word rest;
  while (*start && isBlank(*start)) ++start;
  const char* end = start + std::strlen(start);
  while (end > start && isBlank(end[-1])) --end;
  rest.start = start;
  rest.length = static_cast<std::size_t>(end - start);
  return rest;
}

bool replaceText(char*& field, const Word& value) {
  char* copy = copyText(value.start, value.length);
  if (!copy) return false;
  std::free(field);
  field = copy;
  return true;
}

// What became of one line's key and value; running out of memory has been
// reported by the time it is returned, a refused value by the caller.
enum class Applied { ok, unknownKey, badSplice, badMaxDelay, badPitch, badRetune, outOfMemory };

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
    // A typo must not quietly leave the effect in the other mode.
    if (wordIs(value, "matched"))
      config.spliceMode = spliceMatched;
    else if (wordIs(value, "block"))
      config.spliceMode = spliceBlock;
    else
      return Applied::badSplice;
  } else if (wordIs(key, "MaxDelay:")) {
    if (!isWholeMs(value)) return Applied::badMaxDelay;
    config.maxDelayMs = parseInteger(value);
  } else if (wordIs(key, "Pitch:")) {
    if (wordIs(value, "absolute"))
      config.pitchMode = pitchAbsolute;
    else if (wordIs(value, "relative"))
      config.pitchMode = pitchRelative;
    else
      return Applied::badPitch;
  } else if (wordIs(key, "Retune:")) {
    if (!isWholeMs(value)) return Applied::badRetune;
    config.retuneMs = parseInteger(value);
  } else if (wordIs(key, "InputDevice:")) {
    // Device names hold blanks, so the name is the rest of the line.
    if (!replaceText(config.inputDeviceName, restOfLine(value.start))) return Applied::outOfMemory;
  } else if (wordIs(key, "OutputDevice:")) {
    if (!replaceText(config.outputDeviceName, restOfLine(value.start))) return Applied::outOfMemory;
  } else if (wordIs(key, "DefaultKeyCode:")) {
    config.defaultKeyCode = parseInteger(value);
  } else if (wordIs(key, "DefaultKeyName:")) {
    if (!replaceText(config.defaultKeyName, value)) return Applied::outOfMemory;
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

// "Read:" takes one of two words; any other ends the load, so that a typing
// error is not heard as the other read.
bool applyRead(const Word& value, const char* piece) {
  if (wordIs(value, "verbatim")) {
    programConfig.readMode = readVerbatim;
  } else if (wordIs(value, "interpolated")) {
    programConfig.readMode = readInterpolated;
  } else {
    const std::size_t length = std::strlen(piece);
    printf("Error in line: %s%sRead: takes verbatim or interpolated\n", piece,
           length > 0 && piece[length - 1] == '\n' ? "" : "\n");
    return false;
  }
  return true;
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
  if (wordIs(words[0], "Read:")) return applyRead(words[1], piece);
  Applied applied = applySetting(words[0], words[1], lineIndex, fileCapacity);
  if (applied == Applied::unknownKey) printf("Error in line: %s", piece);
  if (applied == Applied::badSplice || applied == Applied::badMaxDelay ||
      applied == Applied::badPitch || applied == Applied::badRetune) {
    const std::size_t length = std::strlen(piece);
    printf("Error in line: %s%s", piece, length > 0 && piece[length - 1] == '\n' ? "" : "\n");
    if (applied == Applied::badSplice)
      printf("Splice: takes block or matched.\n");
    else if (applied == Applied::badMaxDelay)
      printf("MaxDelay: takes a whole number of milliseconds, such as 25.\n");
    else if (applied == Applied::badPitch)
      printf("Pitch: takes relative or absolute.\n");
    else
      printf("Retune: takes a whole number of milliseconds, such as 0 or 500.\n");
  }
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

// The new content of the file, built in memory before anything of the file is
// touched. bytes comes from malloc.
struct Content {
  char* bytes = nullptr;
  std::size_t size = 0;
};

bool buildContent(Content& content) {
  const ProgramConfig& config = programConfig;
  FILE* out = open_memstream(&content.bytes, &content.size);
  if (!out) return false;
  bool written = true;
  for (int i = 0; i < config.configLineCount && written; ++i) {
    int result;
    if (i == config.defaultInputLine) {
      result = fprintf(out, "DefaultInput: %d\n", config.defaultInput);
    } else if (i == config.defaultOutputLine) {
      result = fprintf(out, "DefaultOutput: %d\n", config.defaultOutput);
    } else {
      result = config.configLines[i] ? fputs(config.configLines[i], out) : 0;
    }
    written = result >= 0;
  }
  return fclose(out) == 0 && written;
}

// What became of one way of saving: done, failed with the file as it was, or
// not possible here, so that the other way is tried.
enum class Saved { yes, failed, notHere };

// The safest way: the new content goes into a fresh file beside the target,
// which is renamed over it once every byte is on disk, so that the file is
// always either the old one or the new one. It does not fit a file with other
// names (they would keep the old content), one with an access list (the new
// file would not get it), one whose owner cannot be given to the new file, or
// a folder that cannot be written; nor a folder without room for a second
// copy, where in place needs only the room the content grows by. The file is
// then written in place.
Saved replaceWhole(int fd, const struct stat& file, const Content& content) {
  if (file.st_nlink != 1 || hasAccessList(fd)) return Saved::notHere;
  // The link, if the name is one, stays; the file it leads to is replaced.
  char* resolved = realpath(configFileName, nullptr);
  if (!resolved) return Saved::notHere;
  const std::string target = resolved;
  std::free(resolved);
  struct stat now;
  if (stat(target.c_str(), &now) != 0 || now.st_dev != file.st_dev || now.st_ino != file.st_ino) {
    return Saved::notHere;
  }
  // A name of our own, so that nothing already there is replaced or removed.
  std::string temporary;
  int out = createBeside(target, temporary);
  if (out < 0) return Saved::notHere;
  std::size_t done;
  bool ready = takeOverAttributes(out, file) &&
               writeAt(out, content.bytes, content.size, 0, done) && syncFile(out);
  ready = close(out) == 0 && ready;
  if (!ready) {
    unlink(temporary.c_str());
    return Saved::notHere;
  }
  return renameOver(temporary, target) ? Saved::yes : Saved::notHere;
}

// In place, the file keeps everything it is: its names, owner, mode, access
// list and the folder it is in.
Saved saveInPlace(int fd, const Content& content) {
  return writeInPlace(fd, content.bytes, content.size) ? Saved::yes : Saved::failed;
}

// The configuration itself, for reading and writing; -1 when it cannot be
// written. A file removed since the load is made anew.
int openForSaving(struct stat& file) {
  int fd = open(configFileName, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) {
    fd = open(configFileName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  }
  if (fd < 0) return -1;
  // Anything but a plain file (a pipe, a device) is no place to save to.
  if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
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
  // Block jumps move by whole buffers: there is nothing between frames to
  // read. Absolute pitch always splices where the waveform matches.
  if (programConfig.readMode == readInterpolated && programConfig.spliceMode != spliceMatched &&
      programConfig.pitchMode != pitchAbsolute) {
    printf("Read: interpolated needs Splice: matched; block jumps read whole frames only\n");
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
  struct stat file;
  int fd = openForSaving(file);
  if (fd < 0) {
    printf("Could not open glidewarperconfig.txt for writing\n");
    return 1;
  }
  // Past a file size limit a write would end the program half way; ignored,
  // the signal leaves a failed write that the save can undo. Signals that
  // would end the program (Ctrl+C among them) wait until the save is over, so
  // that it leaves neither a half-written file nor a stray temporary one.
  struct sigaction ignore {
  }, previousAction;
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, &previousAction);
  sigset_t all, previousMask;
  sigfillset(&all);
  sigdelset(&all, SIGXFSZ);  // left pending, it would end the program once let through
  pthread_sigmask(SIG_BLOCK, &all, &previousMask);

  Content content;
  Saved saved = buildContent(content) ? replaceWhole(fd, file, content) : Saved::failed;
  if (saved == Saved::notHere) saved = saveInPlace(fd, content);
  std::free(content.bytes);
  close(fd);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(SIGXFSZ, &previousAction, nullptr);
  if (saved != Saved::yes) {
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
  std::free(config.inputDeviceName);
  std::free(config.outputDeviceName);
  config = ProgramConfig{};
}

void configSetAllocator(ConfigAllocator allocate) {
  allocator = allocate;
}
