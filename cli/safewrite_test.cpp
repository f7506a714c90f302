// The tools' output files: what each kind of path becomes when written, and
// when two paths name one file.
#include "safewrite.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

struct stat statOf(const std::string& path) {
  struct stat s {};
  EXPECT_EQ(lstat(path.c_str(), &s), 0) << path;
  return s;
}

// Names in the folder, so that a fresh file left behind shows.
int entriesIn(const std::string& folder) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
  return count;
}

TEST(OutputFile, ARegularFileIsReplacedWithItsModeAndOwner) {
  TempDir dir;
  const std::string path = dir.write("song.txt", "old content\n");
  ASSERT_EQ(chmod(path.c_str(), 0604), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path.c_str(), 1234, 4321), 0);
  }
  const ino_t before = statOf(path).st_ino;
  std::string reason;
  ASSERT_TRUE(writeOutput(path, "new\n", reason)) << reason;
  EXPECT_EQ(readFile(path), "new\n");
  const struct stat after = statOf(path);
  EXPECT_NE(after.st_ino, before) << "replaced, not written over";
  EXPECT_EQ(after.st_mode & 07777, 0604u);
  if (root) {
    EXPECT_EQ(after.st_uid, 1234u);
    EXPECT_EQ(after.st_gid, 4321u);
  }
  EXPECT_EQ(entriesIn(dir.path), 1);
}

TEST(OutputFile, ANewFileGetsTheUsualModeAndNothingElseIsLeft) {
  TempDir dir;
  const mode_t mask = umask(022);
  std::string reason;
  const bool written = writeOutput(dir.file("new.txt"), "new\n", reason);
  umask(mask);
  ASSERT_TRUE(written) << reason;
  EXPECT_EQ(statOf(dir.file("new.txt")).st_mode & 07777, 0644u);
  EXPECT_EQ(entriesIn(dir.path), 1);
  EXPECT_FALSE(writeOutput(dir.file("nowhere/new.txt"), "new\n", reason));
  EXPECT_EQ(reason, "No such file or directory");
}

TEST(OutputFile, SymbolicLinksAreWrittenThroughAndStayLinks) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("keep").c_str(), 0755), 0);
  const std::string target = dir.write("keep/song.txt", "old\n");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  ASSERT_EQ(symlink("keep/song.txt", dir.file("middle").c_str()), 0);
  ASSERT_EQ(symlink("middle", dir.file("link").c_str()), 0);
  ASSERT_EQ(symlink("keep/later.txt", dir.file("dangling").c_str()), 0);
  std::string reason;
  ASSERT_TRUE(writeOutput(dir.file("link"), "new\n", reason)) << reason;
  EXPECT_TRUE(S_ISLNK(statOf(dir.file("link")).st_mode));
  EXPECT_EQ(fs::read_symlink(dir.file("link")), "middle");
  EXPECT_EQ(fs::read_symlink(dir.file("middle")), "keep/song.txt");
  EXPECT_EQ(readFile(target), "new\n");
  EXPECT_EQ(statOf(target).st_mode & 07777, 0600u);
  // A link to a file not made yet makes the file.
  ASSERT_TRUE(writeOutput(dir.file("dangling"), "later\n", reason)) << reason;
  EXPECT_TRUE(S_ISLNK(statOf(dir.file("dangling")).st_mode));
  EXPECT_EQ(readFile(dir.file("keep/later.txt")), "later\n");
  EXPECT_EQ(entriesIn(dir.file("keep")), 2);
  // Links that lead round in a circle lead nowhere.
  ASSERT_EQ(symlink("loop2", dir.file("loop1").c_str()), 0);
  ASSERT_EQ(symlink("loop1", dir.file("loop2").c_str()), 0);
  EXPECT_FALSE(writeOutput(dir.file("loop1"), "x\n", reason));
  EXPECT_EQ(reason, "Too many levels of symbolic links");
}

TEST(OutputFile, AFileWithOtherNamesIsWrittenInPlace) {
  TempDir dir;
  const std::string path = dir.write("song.txt", "a longer old content\n");
  ASSERT_EQ(link(path.c_str(), dir.file("also.txt").c_str()), 0);
  const ino_t before = statOf(path).st_ino;
  std::string reason;
  ASSERT_TRUE(writeOutput(path, "new\n", reason)) << reason;
  EXPECT_EQ(statOf(path).st_ino, before);
  EXPECT_EQ(readFile(dir.file("also.txt")), "new\n");
  EXPECT_EQ(entriesIn(dir.path), 2);
}

TEST(OutputFile, FoldersAreRefusedAndLeftAlone) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("songs").c_str(), 0755), 0);
  ASSERT_EQ(symlink("songs", dir.file("to-songs").c_str()), 0);
  for (const char* name : {"songs", "to-songs"}) {
    std::string reason;
    EXPECT_FALSE(writeOutput(dir.file(name), "new\n", reason)) << name;
    EXPECT_EQ(reason, "Is a directory") << name;
  }
  EXPECT_TRUE(fs::is_directory(dir.file("songs")));
  EXPECT_EQ(entriesIn(dir.file("songs")), 0);
}

TEST(OutputFile, APipeIsWrittenToAndStaysAPipe) {
  TempDir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = readFile(fifo); });
  std::string reason;
  const bool written = writeOutput(fifo, "through the pipe\n", reason);
  reader.join();
  EXPECT_TRUE(written) << reason;
  EXPECT_EQ(received, "through the pipe\n");
  EXPECT_TRUE(S_ISFIFO(statOf(fifo).st_mode));
}

TEST(OutputFile, StandardOutputByNameIsTheDescriptorWhereverItLeads) {
  // A file opened for appending, as "tool ... /dev/stdout >> log" gives it:
  // written through the descriptor, the earlier lines stay.
  TempDir dir;
  const std::string log = dir.write("log.txt", "earlier\n");
  const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  const ino_t before = statOf(log).st_ino;
  std::string reason;
  EXPECT_TRUE(writeOutput("/dev/fd/" + std::to_string(fd), "appended\n", reason)) << reason;
  EXPECT_TRUE(writeOutput("/proc/self/fd/" + std::to_string(fd), "again\n", reason)) << reason;
  close(fd);
  EXPECT_EQ(readFile(log), "earlier\nappended\nagain\n");
  EXPECT_EQ(statOf(log).st_ino, before);
  // /dev/null stays what it is.
  EXPECT_TRUE(writeOutput("/dev/null", "gone\n", reason)) << reason;
  EXPECT_TRUE(S_ISCHR(statOf("/dev/null").st_mode));
}

TEST(OutputFile, DiscardingLeavesTheFileAsItWas) {
  TempDir dir;
  const std::string path = dir.write("song.txt", "old\n");
  OutputFile out;
  std::string reason;
  ASSERT_TRUE(openOutput(path, out, reason)) << reason;
  ASSERT_EQ(write(out.fd, "half", 4), 4);
  discardOutput(out);
  EXPECT_EQ(readFile(path), "old\n");
  EXPECT_EQ(entriesIn(dir.path), 1);
}

TEST(OutputFile, TwoPathsAreOneFileByWhatTheyLeadTo) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  const std::string file = dir.write("sub/a.wav", "x");
  dir.write("b.wav", "y");
  ASSERT_EQ(symlink("sub/a.wav", dir.file("link.wav").c_str()), 0);
  ASSERT_EQ(link(file.c_str(), dir.file("hard.wav").c_str()), 0);
  struct Case {
    std::string a, b;
    bool same;
  };
  const Case cases[] = {
      {file, file, true},
      {file, dir.file("link.wav"), true},
      {file, dir.file("sub/../sub/./a.wav"), true},
      {file, dir.file("hard.wav"), true},
      {file, dir.file("b.wav"), false},
      {dir.file("new.svg"), dir.file("sub/../new.svg"), true},
      {dir.file("new.svg"), dir.file("other.svg"), false},
      {dir.file("new.svg"), file, false},
      {"/dev/stdout", "/dev/fd/1", true},
  };
  for (const Case& c : cases) EXPECT_EQ(sameFile(c.a, c.b), c.same) << c.a << " and " << c.b;
}

}  // namespace
