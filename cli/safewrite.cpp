#include "safewrite.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

// ------------------------------------------------------------------ pieces

bool writeAt(int fd, const char* bytes, std::size_t size, off_t offset, std::size_t& done) {
  done = 0;
  while (done < size) {
    ssize_t wrote = pwrite(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

bool syncFile(int fd) {
  // Some file systems cannot sync; the data is still written then.
  return fsync(fd) == 0 || errno == EINVAL;
}

bool hasAccessList(int fd) {
  return fgetxattr(fd, "system.posix_acl_access", nullptr, 0) >= 0;
}

bool takeOverAttributes(int fd, const struct stat& target) {
  struct stat fresh;
  if (fstat(fd, &fresh) != 0) return false;
  // Owner first: changing it can clear the set-user and set-group bits.
  if ((fresh.st_uid != target.st_uid || fresh.st_gid != target.st_gid) &&
      fchown(fd, target.st_uid, target.st_gid) != 0) {
    return false;
  }
  return fchmod(fd, target.st_mode & 07777) == 0;
}

int createBeside(const std::string& target, std::string& temporary) {
  temporary = target + ".XXXXXX";
  return mkostemp(temporary.data(), O_CLOEXEC);
}

namespace {

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void syncFolderOf(const std::string& path) {
  int fd = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// A buffer from malloc, as open_memstream gives.
struct Bytes {
  char* data = nullptr;
  std::size_t size = 0;
};

// The file's present content, read through fd.
bool readWhole(int fd, Bytes& old) {
  FILE* copy = open_memstream(&old.data, &old.size);
  if (!copy) return false;
  char block[4096];
  off_t at = 0;
  bool whole = false;
  for (;;) {
    ssize_t got = pread(fd, block, sizeof block, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      whole = got == 0;
      break;
    }
    if (fwrite(block, 1, static_cast<std::size_t>(got), copy) != static_cast<std::size_t>(got)) {
      break;
    }
    at += got;
  }
  return fclose(copy) == 0 && whole;
}

// Reserves the room a longer content needs, so that a full disk shows before
// any byte changes. False only when the room is not there; a file system that
// cannot reserve leaves it to the writes to find out. (A file size limit is
// not checked by the reservation; the write runs into it, and the repair
// below stays under it.)
bool reserveRoom(int fd, std::size_t oldSize, std::size_t newSize) {
  if (newSize <= oldSize || fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(oldSize),
                                      static_cast<off_t>(newSize - oldSize)) == 0) {
    return true;
  }
  return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL;
}

// Writes the new content over the old; a write that fails part way puts the
// old bytes back.
bool overwrite(int fd, const char* bytes, std::size_t size, const Bytes& old) {
  std::size_t done = 0;
  bool shortened = false;
  bool written = writeAt(fd, bytes, size, 0, done);
  if (written && size < old.size) {
    written = ftruncate(fd, static_cast<off_t>(size)) == 0;
    shortened = written;
  }
  if (written && syncFile(fd)) return true;
  // Only what was overwritten goes back, so that the repair does not run
  // into the limit that stopped the write.
  std::size_t restored;
  writeAt(fd, old.data, shortened ? old.size : std::min(done, old.size), 0, restored);
  ftruncate(fd, static_cast<off_t>(old.size));
  syncFile(fd);
  return false;
}

}  // namespace

bool renameOver(const std::string& temporary, const std::string& target) {
  if (rename(temporary.c_str(), target.c_str()) != 0) {
    const int code = errno;
    unlink(temporary.c_str());
    errno = code;
    return false;
  }
  syncFolderOf(target);
  return true;
}

bool writeInPlace(int fd, const char* bytes, std::size_t size) {
  Bytes old;
  const bool saved =
      readWhole(fd, old) && reserveRoom(fd, old.size, size) && overwrite(fd, bytes, size, old);
  std::free(old.data);
  return saved;
}

// ------------------------------------------------------ the tools' outputs

namespace {

// The descriptor a path names by itself: standard output and error, and
// /dev/fd/N or /proc/self/fd/N. Written there, the output goes wherever the
// caller sent it, a file opened for appending included.
int namedDescriptor(const std::string& path) {
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const std::size_t length = std::strlen(prefix);
    if (path.compare(0, length, prefix) != 0 || path.size() == length) continue;
    long n = 0;
    for (std::size_t i = length; i < path.size(); ++i) {
      if (path[i] < '0' || path[i] > '9' || n > INT_MAX / 10) return -1;
      n = n * 10 + (path[i] - '0');
    }
    return static_cast<int>(n);
  }
  return -1;
}

// Where a path leads: the end of its symbolic links, whether a file is
// there, or the descriptor it names. False with errno when it leads nowhere.
struct Destination {
  std::string target;
  bool exists = false;
  struct stat file {};
  int descriptor = -1;
};

bool follow(const std::string& path, Destination& where) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    where.descriptor = namedDescriptor(current);
    if (where.descriptor >= 0) {
      where.target = current;
      if (fstat(where.descriptor, &where.file) != 0) return false;
      where.exists = true;
      return true;
    }
    if (lstat(current.c_str(), &where.file) != 0) {
      if (errno != ENOENT) return false;
      where.target = current;
      where.exists = false;
      return true;
    }
    if (!S_ISLNK(where.file.st_mode)) {
      where.target = current;
      where.exists = true;
      return true;
    }
    std::string link(PATH_MAX, '\0');
    const ssize_t length = readlink(current.c_str(), link.data(), link.size());
    if (length < 0) return false;
    link.resize(static_cast<std::size_t>(length));
    current = link[0] == '/' ? link : folderOf(current) + "/" + link;
  }
  errno = ELOOP;
  return false;
}

bool openScratch(OutputFile& out) {
  out.scratch = std::tmpfile();
  if (!out.scratch) return false;
  out.fd = fileno(out.scratch);
  return true;
}

// A regular file: a fresh file beside it takes its place at the end, unless
// that would change what the file is.
bool openRegular(OutputFile& out) {
  const int probe = open(out.target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  const bool keepsWhatItIs = probe >= 0 && out.file.st_nlink == 1 && !hasAccessList(probe);
  if (probe >= 0) close(probe);
  if (keepsWhatItIs) {
    out.fd = createBeside(out.target, out.temporary);
    if (out.fd >= 0 && takeOverAttributes(out.fd, out.file)) return true;
    if (out.fd >= 0) {
      close(out.fd);
      unlink(out.temporary.c_str());
      out.fd = -1;
    }
    out.temporary.clear();
  }
  out.way = OutputFile::Way::inPlace;
  out.targetFd = open(out.target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (out.targetFd < 0) return false;
  if (openScratch(out)) return true;
  const int code = errno;
  close(out.targetFd);
  out.targetFd = -1;
  errno = code;
  return false;
}

// A new file: made beside its name and renamed there at the end, so that
// a failure leaves nothing behind.
bool openNew(OutputFile& out) {
  out.fd = createBeside(out.target, out.temporary);
  if (out.fd < 0) return false;
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(out.fd, 0666 & ~mask) == 0) return true;
  const int code = errno;
  close(out.fd);
  unlink(out.temporary.c_str());
  out.fd = -1;
  errno = code;
  return false;
}

bool copyScratchTo(int fd, FILE* scratch) {
  const int from = fileno(scratch);
  char block[65536];
  off_t at = 0;
  for (;;) {
    const ssize_t got = pread(from, block, sizeof block, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    for (ssize_t done = 0; done < got;) {
      const ssize_t wrote = write(fd, block + done, static_cast<std::size_t>(got - done));
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return false;
      done += wrote;
    }
    at += got;
  }
}

bool readScratch(FILE* scratch, std::string& bytes) {
  const int from = fileno(scratch);
  char block[65536];
  for (off_t at = 0;;) {
    const ssize_t got = pread(from, block, sizeof block, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    bytes.append(block, static_cast<std::size_t>(got));
    at += got;
  }
}

void closeAll(OutputFile& out) {
  if (out.scratch)
    std::fclose(out.scratch);
  else if (out.fd >= 0)
    close(out.fd);
  if (out.targetFd >= 0) close(out.targetFd);
  out.scratch = nullptr;
  out.fd = -1;
  out.targetFd = -1;
}

}  // namespace

bool openOutput(const std::string& path, OutputFile& out, std::string& reason) {
  out = OutputFile{};
  out.path = path;
  Destination where;
  bool opened = follow(path, where);
  if (opened) {
    out.target = where.target;
    out.existed = where.exists;
    out.file = where.file;
    out.descriptor = where.descriptor;
    if (where.exists && S_ISDIR(where.file.st_mode)) {
      errno = EISDIR;
      opened = false;
    } else if (!where.exists) {
      opened = openNew(out);
    } else if (where.descriptor < 0 && S_ISREG(where.file.st_mode)) {
      opened = openRegular(out);
    } else {
      out.way = OutputFile::Way::direct;
      opened = openScratch(out);
    }
  }
  if (!opened) reason = std::strerror(errno);
  return opened;
}

bool finishOutput(OutputFile& out, std::string& reason) {
  bool done = false;
  switch (out.way) {
    case OutputFile::Way::replace: {
      done = syncFile(out.fd);
      int code = errno;
      if (close(out.fd) != 0 && done) {
        done = false;
        code = errno;
      }
      out.fd = -1;
      if (!done) unlink(out.temporary.c_str());
      errno = code;
      done = done && renameOver(out.temporary, out.target);
      break;
    }
    case OutputFile::Way::inPlace: {
      std::string bytes;
      done =
          readScratch(out.scratch, bytes) && writeInPlace(out.targetFd, bytes.data(), bytes.size());
      break;
    }
    case OutputFile::Way::direct: {
      // Opened only now: a pipe's open waits for its reader.
      const int fd = out.descriptor >= 0
                         ? out.descriptor
                         : open(out.target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      done = fd >= 0 && copyScratchTo(fd, out.scratch);
      int code = errno;
      if (fd >= 0 && fd != out.descriptor && close(fd) != 0 && done) {
        done = false;
        code = errno;
      }
      errno = code;
      break;
    }
  }
  const int code = errno;
  closeAll(out);
  if (!done) reason = std::strerror(code);
  return done;
}

void discardOutput(OutputFile& out) {
  if (out.way == OutputFile::Way::replace && out.fd >= 0) unlink(out.temporary.c_str());
  closeAll(out);
}

bool writeOutput(const std::string& path, const std::string& bytes, std::string& reason) {
  OutputFile out;
  if (!openOutput(path, out, reason)) return false;
  std::size_t done;
  if (!writeAt(out.fd, bytes.data(), bytes.size(), 0, done)) {
    reason = std::strerror(errno);
    discardOutput(out);
    return false;
  }
  return finishOutput(out, reason);
}

bool sameFile(const std::string& a, const std::string& b) {
  Destination first, second;
  if (!follow(a, first) || !follow(b, second)) return false;
  if (first.exists != second.exists) return false;
  if (first.exists)
    return first.file.st_dev == second.file.st_dev && first.file.st_ino == second.file.st_ino;
  // Neither is there yet: the same name in the same folder.
  auto name = [](const std::string& target) {
    const std::size_t slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    char* folder = realpath(folderOf(target).c_str(), nullptr);
    const std::string resolved = folder ? folder : folderOf(target);
    std::free(folder);
    return resolved + "/" + base;
  };
  return name(first.target) == name(second.target);
}
