// Writing a file so that it is never left half written and keeps what it is:
// the pieces the configuration save is made of, and the output files of the
// user tools, which are built from the same pieces.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

// ------------------------------------------------------------------ pieces

// Writes `size` bytes at `offset`, as far as it goes; true when all went.
bool writeAt(int fd, const char* bytes, std::size_t size, off_t offset, std::size_t& done);

// fsync, where the file system can; true when the data is on disk or the
// file system cannot sync.
bool syncFile(int fd);

bool hasAccessList(int fd);

// Makes a fresh file look like `target`: owner, group and mode.
bool takeOverAttributes(int fd, const struct stat& target);

// A fresh file with a name of its own beside `target` ("target.XXXXXX"),
// opened for reading and writing; -1 when none can be made (errno says why).
int createBeside(const std::string& target, std::string& temporary);

// Renames the fresh file over `target` and makes the rename durable; on
// failure the fresh file is removed and errno says why.
bool renameOver(const std::string& temporary, const std::string& target);

// Writes `bytes` over the file's content in place, keeping its names, owner,
// mode and access list; a write that fails part way puts the old bytes back.
bool writeInPlace(int fd, const char* bytes, std::size_t size);

// ------------------------------------------------------ the tools' outputs

// An output file being written. The content goes to `fd`, which can always
// seek (libsndfile needs that): a fresh file beside the target that replaces
// it at the end, or a scratch file whose bytes go to the target at the end.
struct OutputFile {
  enum class Way { replace, inPlace, direct };
  std::string path;    // as named
  std::string target;  // where symbolic links lead
  int fd = -1;
  Way way = Way::replace;
  bool existed = false;
  struct stat file {};
  std::string temporary;    // replace: the fresh file
  FILE* scratch = nullptr;  // in place and direct
  int targetFd = -1;        // in place: the target, opened at the start
  int descriptor = -1;      // direct: a descriptor the path names (/dev/stdout, /dev/fd/N)
};

// Prepares to write `path`. A regular file (the end of any symbolic links,
// which stay) is replaced by a fresh file with its owner, group and mode, or
// written in place where a fresh file would change it (other hard links, an
// access list, an owner that cannot be handed on, a folder that cannot be
// written). Anything else (a pipe, a terminal, a device, standard output)
// is written to as it is, never replaced; a folder is refused. On failure
// `reason` says why, as strerror does.
bool openOutput(const std::string& path, OutputFile& out, std::string& reason);

// Puts the content in place; false with the reason, the target then as it
// was (or, when written to as it is, holding what got through).
bool finishOutput(OutputFile& out, std::string& reason);

// Gives up: removes the fresh file, the target stays as it was.
void discardOutput(OutputFile& out);

// openOutput, the bytes, finishOutput.
bool writeOutput(const std::string& path, const std::string& bytes, std::string& reason);

// True when both paths name the same file, through symbolic links and the
// names of standard output; a file that does not exist yet by the name it
// will have.
bool sameFile(const std::string& a, const std::string& b);
