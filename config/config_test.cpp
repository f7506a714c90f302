#include "config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

struct LoadResult {
  int result;
  std::string output;
};

class ConfigTest : public testing::Test {
 protected:
  TempDir dir;
  ScopedChdir chdir{dir.path};
  void SetUp() override { configReset(); }
  void TearDown() override {
    configSetAllocator(nullptr);
    configReset();
  }
  LoadResult load(const std::string& content) {
    configReset();
    dir.write(configFileName, content);
    startCapture();
    int result = configLoad();
    return {result, endCapture()};
  }
  LoadResult save() {
    startCapture();
    int result = configSave();
    return {result, endCapture()};
  }
  std::string saved() { return readFile(dir.file(configFileName)); }
};

TEST_F(ConfigTest, ReadsEverySettingAndResetRestoresStartValues) {
  LoadResult r = load(
      "# devices\nDefaultInput: 3\nDefaultOutput: -2\nInfiniteLoop: yes\n"
      "Stereo: right-to-both\nDefaultKeyCode: 13\nDefaultKeyName: Enter\n\n"
      "File: a.txt\n   \t\nFile: my song.txt\nFile: a.txt");
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.output, "");
  const ProgramConfig& c = programConfig;
  EXPECT_EQ(std::vector<int>({c.defaultInput, c.defaultOutput, c.infiniteLoop, c.stereoMode,
                              c.defaultKeyCode, c.defaultInputLine, c.defaultOutputLine}),
            std::vector<int>({3, -2, 1, stereoRightToBoth, 13, 1, 2}));
  EXPECT_STREQ(c.defaultKeyName, "Enter");
  // Duplicates count, only the first word is the path, a last line needs no newline.
  ASSERT_EQ(c.melodyFileCount, 3);
  EXPECT_EQ(std::vector<std::string>(c.melodyFiles, c.melodyFiles + 3),
            std::vector<std::string>({"a.txt", "my", "a.txt"}));
  ASSERT_EQ(c.configLineCount, 12);
  EXPECT_STREQ(c.configLines[9], "   \t\n");
  EXPECT_STREQ(c.configLines[11], "File: a.txt");

  configReset();
  EXPECT_EQ(c.defaultKeyCode, 32);
  EXPECT_EQ(c.defaultKeyName, nullptr);
  EXPECT_EQ(c.defaultInputLine, noLine);
}

TEST_F(ConfigTest, ValuesAreReadWordByWord) {
  struct Case {
    const char* line;
    int ProgramConfig::*field;
    int expected;
  };
  const Case cases[] = {
      {"InfiniteLoop: Yellow", &ProgramConfig::infiniteLoop, 1},
      {"InfiniteLoop: no", &ProgramConfig::infiniteLoop, 0},
      {"InfiniteLoop: 1", &ProgramConfig::infiniteLoop, 0},
      {"DefaultKeyCode: 13x", &ProgramConfig::defaultKeyCode, 13},
      {"DefaultKeyCode: x", &ProgramConfig::defaultKeyCode, 0},
      {"DefaultKeyCode: -", &ProgramConfig::defaultKeyCode, 0},
      {"DefaultKeyCode: +288", &ProgramConfig::defaultKeyCode, 288},
      {"DefaultInput: 99999999999999999999", &ProgramConfig::defaultInput, INT_MAX},
      {"DefaultInput: -2147483648", &ProgramConfig::defaultInput, INT_MIN},
      {"DefaultOutput: -2147483649", &ProgramConfig::defaultOutput, INT_MIN},
      {"DefaultInput: 2\nDefaultInput: 5", &ProgramConfig::defaultInput, 5},
      {"MaxDelay: 40ms", &ProgramConfig::maxDelayMs, 40},
      {"MaxDelay: -3", &ProgramConfig::maxDelayMs, -3},
      {"# MaxDelay: 40", &ProgramConfig::maxDelayMs, defaultMaxDelayMs},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(load(std::string(c.line) + "\nFile: f\n").result, 0) << c.line;
    EXPECT_EQ(programConfig.*c.field, c.expected) << c.line;
  }
  for (const char* word : {"left", "Left-to-both", "left-to-both!"}) {
    load(std::string("Stereo: left-to-both\nStereo: ") + word + "\nFile: f\n");
    EXPECT_EQ(programConfig.stereoMode, stereoNone) << word;
  }
  load("Splice: matched\nSplice: block\nFile: f\n");
  EXPECT_EQ(programConfig.spliceMode, spliceBlock);
  load("Splice: block\nSplice: matched\nFile: f\n");
  EXPECT_EQ(programConfig.spliceMode, spliceMatched);
  load("Stereo: left-to-both\nDefaultKeyName: one\nDefaultKeyName: two\nFile: f\n");
  EXPECT_EQ(programConfig.stereoMode, stereoLeftToBoth);
  EXPECT_STREQ(programConfig.defaultKeyName, "two");
}

TEST_F(ConfigTest, RefusedFilesSayWhy) {
  const std::string spliceTakes = "Splice: takes block or matched.\n";
  const std::string maxDelayTakes = "MaxDelay: takes a whole number of milliseconds, such as 25.\n";
  const struct {
    const char* content;
    std::string message;
    int result = 1;
  } cases[] = {
      {"", "No input file specified in glidewarperconfig.txt\n"},
      {"# only\n\n  \n#File: a\n", "No input file specified in glidewarperconfig.txt\n"},
      {"File: a\nFile:\nFile: b\n", "Error in line: File:\n, result: 1 "},
      {"DefaultInput : 3\nFile: a\n", "Error in line: DefaultInput : 3\n"},
      {"  # remark\nFile: a\n", "Error in line:   # remark\n"},
      {"File: a\r\nfile: b\r\n", "Error in line: file: b\r\n"},
      // Our own keys with a value they cannot take: the line and what it takes.
      {"File: a\nSplice: Matched\n", "Error in line: Splice: Matched\n" + spliceTakes},
      {"File: a\nSplice: mached\n", "Error in line: Splice: mached\n" + spliceTakes},
      {"File: a\nSplice: matched,\r\n", "Error in line: Splice: matched,\r\n" + spliceTakes},
      // The last line has no newline of its own; the message still ends lines.
      {"File: a\nSplice: on", "Error in line: Splice: on\n" + spliceTakes},
      {"MaxDelay: 2.5\nFile: a\n", "Error in line: MaxDelay: 2.5\n" + maxDelayTakes},
      {"MaxDelay: 1e2\nFile: a\n", "Error in line: MaxDelay: 1e2\n" + maxDelayTakes},
      {"MaxDelay: twenty\nFile: a\n", "Error in line: MaxDelay: twenty\n" + maxDelayTakes},
      {"MaxDelay: 25 ms\nFile: a\n", "", 0},
      {"MaxDelay: 25s\nFile: a\n", "Error in line: MaxDelay: 25s\n" + maxDelayTakes},
      {"MaxDelay: -\nFile: a\n", "Error in line: MaxDelay: -\n" + maxDelayTakes},
  };
  for (const auto& c : cases) {
    LoadResult r = load(c.content);
    EXPECT_EQ(r.result, c.result) << c.content;
    EXPECT_EQ(r.output, c.message) << c.content;
  }
  configReset();
  std::filesystem::remove(dir.file(configFileName));
  startCapture();
  EXPECT_EQ(configLoad(), 1);
  EXPECT_EQ(endCapture(), "Could not load glidewarperconfig.txt\n");
}

TEST_F(ConfigTest, DeviceNamesAreTheRestOfTheLineAndTheLastOneWins) {
  ASSERT_EQ(load("InputDevice: Line\nInputDevice:   USB Audio  CODEC: 1 \t\r\n"
                 "OutputDevice: hw:2\nFile: f")
                .result,
            0);
  EXPECT_STREQ(programConfig.inputDeviceName, "USB Audio  CODEC: 1");
  EXPECT_STREQ(programConfig.outputDeviceName, "hw:2");
  // The indexes are read as before, and only they are written back.
  ASSERT_EQ(load("OutputDevice: Speakers\nDefaultOutput: 3\nFile: f\n").result, 0);
  EXPECT_EQ(programConfig.inputDeviceName, nullptr);
  EXPECT_STREQ(programConfig.outputDeviceName, "Speakers");
  EXPECT_EQ(programConfig.defaultOutput, 3);
  programConfig.defaultOutput = 5;
  ASSERT_EQ(save().result, 0);
  EXPECT_EQ(saved(), "OutputDevice: Speakers\nDefaultOutput: 5\nFile: f\n");
  // A key without a name is a line of one word, as for any key.
  LoadResult r = load("InputDevice:\nFile: f\n");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.output, "Error in line: InputDevice:\n, result: 1 ");
  configReset();
  EXPECT_EQ(programConfig.outputDeviceName, nullptr);
}

// "Read:" takes one of two words, and interpolated needs matched splices
// wherever the two lines stand; a refused load says why.
TEST_F(ConfigTest, ReadLineChoosesHowMatchedSplicesRead) {
  const char* const needsMatched =
      "Read: interpolated needs Splice: matched; block jumps read whole frames only\n";
  const struct {
    const char* content;
    int result;
    ReadMode read;
    const char* message;
  } cases[] = {
      {"File: f\n", 0, readVerbatim, ""},
      {"Splice: matched\nRead: interpolated\nFile: f\n", 0, readInterpolated, ""},
      {"Read: interpolated\nFile: f\nSplice: matched", 0, readInterpolated, ""},
      {"Read: interpolated\nRead: verbatim\nFile: f\n", 0, readVerbatim, ""},
      {"Splice: block\nRead: verbatim # the default\nFile: f\n", 0, readVerbatim, ""},
      {"Read: interpolated\nFile: f\n", 1, readInterpolated, needsMatched},
      {"Splice: matched\nRead: interpolated\nSplice: block\nFile: f\n", 1, readInterpolated,
       needsMatched},
      {"Read: Interpolated\nFile: f\n", 1, readVerbatim,
       "Error in line: Read: Interpolated\nRead: takes verbatim or interpolated\n"},
      {"File: f\nRead: linear", 1, readVerbatim,
       "Error in line: Read: linear\nRead: takes verbatim or interpolated\n"},
      {"Read:\nFile: f\n", 1, readVerbatim, "Error in line: Read:\n, result: 1 "},
  };
  for (const auto& c : cases) {
    const LoadResult r = load(c.content);
    EXPECT_EQ(r.result, c.result) << c.content;
    EXPECT_EQ(r.output, c.message) << c.content;
    EXPECT_EQ(programConfig.readMode, c.read) << c.content;
  }
}

TEST_F(ConfigTest, LongLinesArePiecesOfAtMost499BytesAndSaveBackWhole) {
  const std::string exact(498, 'x');  // with its newline exactly one piece
  // Every piece of a long comment must start with "#" to stay a comment.
  const std::string longComment =
      "#" + std::string(498, 'c') + "#" + std::string(498, 'd') + "#end";
  const std::string content = "#" + exact.substr(1) + "\n" + longComment + "\nFile: a\n#" +
                              std::string(498, 'y') + "\nFile: b" + std::string(600, ' ') + "\n";
  ASSERT_EQ(load(content).result, 0);
  const ProgramConfig& c = programConfig;
  ASSERT_EQ(c.configLineCount, 9);  // 1 + 3 + 1 + 2 (a newline alone) + 2 (blanks alone)
  EXPECT_EQ(std::string(c.configLines[1]), longComment.substr(0, 499));
  EXPECT_EQ(std::string(c.configLines[3]), "#end\n");
  EXPECT_STREQ(c.configLines[6], "\n");
  ASSERT_EQ(c.melodyFileCount, 2);
  EXPECT_STREQ(c.melodyFiles[1], "b");
  ASSERT_EQ(save().result, 0);
  EXPECT_EQ(saved(), content);

  // A comment's continuation is a line like any other.
  LoadResult r = load("#" + std::string(498, 'c') + " more words\nFile: a\n");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.output, "Error in line:  more words\n");
}

TEST_F(ConfigTest, SaveRewritesOnlyTheLastDeviceLines) {
  const std::string content =
      "# keep me\r\nDefaultInput: 2\n  DefaultInput: 3 # usual device\nDefaultOutput: 1\r\n"
      "File: a.txt\r\nSplice: matched\nMaxDelay:  12 \nStereo: left-to-both";
  ASSERT_EQ(load(content).result, 0);
  EXPECT_EQ(programConfig.defaultInput, 3);
  EXPECT_STREQ(programConfig.melodyFiles[0], "a.txt");
  programConfig.defaultInput = 4;
  programConfig.defaultOutput = 7;
  LoadResult r = save();
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(saved(),
            "# keep me\r\nDefaultInput: 2\nDefaultInput: 4\nDefaultOutput: 7\n"
            "File: a.txt\r\nSplice: matched\nMaxDelay:  12 \nStereo: left-to-both");

  const std::string noDevices = "File: a\n#x";
  ASSERT_EQ(load(noDevices).result, 0);
  programConfig.defaultInput = 9;
  ASSERT_EQ(save().result, 0);
  EXPECT_EQ(saved(), noDevices);
}

TEST_F(ConfigTest, SaveKeepsPermissionsAndNeverLosesTheFile) {
  ASSERT_EQ(load("DefaultInput: 1\nFile: a\n").result, 0);
  chmod(configFileName, 0600);
  ASSERT_EQ(save().result, 0);
  struct stat st;
  EXPECT_TRUE(stat(configFileName, &st) == 0 && (st.st_mode & 0777) == 0600);
  programConfig.defaultInput = 3;

  // Whatever goes by the old temporary name is the user's and stays; the
  // save takes a name of its own.
  std::filesystem::create_directory(dir.file("glidewarperconfig.txt.tmp"));
  LoadResult r = save();
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(saved(), "DefaultInput: 3\nFile: a\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("glidewarperconfig.txt.tmp")));
  std::filesystem::remove(dir.file("glidewarperconfig.txt.tmp"));

  // Writing fails part way: a file size limit binds root too. It binds the
  // captured output as well, which stays far below it.
  std::string comments;
  for (int i = 0; i < 200; ++i) comments += "#" + std::string(98, 'x') + "\n";
  ASSERT_EQ(load("File: a\nDefaultInput: 1\n" + comments).result, 0);
  const std::string large = saved();
  sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
  rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit limited = old;
  limited.rlim_cur = 8192;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  r = save();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.output, "Could not write glidewarperconfig.txt, it was left as it was\n");
  EXPECT_EQ(saved(), large);
  EXPECT_FALSE(std::filesystem::exists(dir.file("glidewarperconfig.txt.tmp")));
}

// The names in a folder: a save leaves nothing behind and takes nothing away.
std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

struct stat statOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

constexpr uid_t nobody = 65534;

// The user the tests save as where permission bits must count: root passes
// them, so as root the effective user and group become nobody's for the
// lifetime of the object.
struct AsOrdinaryUser {
  bool switched = false;
  AsOrdinaryUser() {
    if (geteuid() == 0) switched = setegid(nobody) == 0 && seteuid(nobody) == 0;
  }
  ~AsOrdinaryUser() {
    if (!switched) return;
    EXPECT_EQ(seteuid(0), 0);
    EXPECT_EQ(setegid(0), 0);
  }
  static uid_t id() { return geteuid() == 0 ? nobody : geteuid(); }
  static gid_t group() { return geteuid() == 0 ? nobody : getegid(); }
};

// Comments enough for a file of `bytes` bytes after its two setting lines.
std::string filledTo(std::size_t bytes) {
  std::string text = "File: a\nDefaultInput: 1\n";
  while (text.size() + 100 <= bytes) text += "#" + std::string(98, 'x') + "\n";
  if (text.size() < bytes) text += "#" + std::string(bytes - text.size() - 2, 'y') + "\n";
  return text;
}

TEST_F(ConfigTest, SaveThroughSymlinksWritesTheirTargetAndKeepsTheLinks) {
  std::filesystem::create_directory(dir.file("dotfiles"));
  dir.write("dotfiles/gw.txt", "DefaultInput: 1\nFile: a\n");
  ASSERT_EQ(symlink("dotfiles/gw.txt", "middle"), 0);
  ASSERT_EQ(symlink("middle", configFileName), 0);
  ASSERT_EQ(configLoad(), 0);
  programConfig.defaultInput = 4;
  LoadResult r = save();
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(readFile(dir.file("dotfiles/gw.txt")), "DefaultInput: 4\nFile: a\n");
  EXPECT_EQ(std::filesystem::read_symlink(configFileName), "middle");
  EXPECT_EQ(std::filesystem::read_symlink("middle"), "dotfiles/gw.txt");
  EXPECT_EQ(namesIn(dir.path), (std::set<std::string>{"dotfiles", "middle", configFileName}));
  EXPECT_EQ(namesIn(dir.file("dotfiles")), std::set<std::string>{"gw.txt"});
}

TEST_F(ConfigTest, SaveKeepsModeOwnerAndGroup) {
  for (mode_t mode : {0600, 0640, 0604, 0751}) {
    ASSERT_EQ(load("DefaultInput: 1\nFile: a\n").result, 0);
    ASSERT_EQ(chmod(configFileName, mode), 0);
    const ino_t inode = statOf(configFileName).st_ino;
    programConfig.defaultInput = static_cast<int>(mode);
    EXPECT_EQ(save().result, 0);
    // Replaced whole, so that no moment shows a half-written file.
    EXPECT_NE(statOf(configFileName).st_ino, inode);
    EXPECT_EQ(saved(), "DefaultInput: " + std::to_string(mode) + "\nFile: a\n");
    EXPECT_EQ(statOf(configFileName).st_mode & 07777, mode) << std::oct << mode;
  }
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user takes root";

  ASSERT_EQ(chown(configFileName, 4321, 4322), 0);
  programConfig.defaultInput = 5;
  EXPECT_EQ(save().result, 0);
  EXPECT_EQ(saved(), "DefaultInput: 5\nFile: a\n");
  struct stat st = statOf(configFileName);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
  EXPECT_EQ(st.st_mode & 07777, 0751u);

  // An ordinary user cannot give a new file to root; root's file, writable
  // for all, is then written in place and stays root's.
  ASSERT_EQ(chown(configFileName, 0, 0), 0);
  ASSERT_EQ(chmod(configFileName, 0666), 0);
  ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
  programConfig.defaultInput = 6;
  {
    AsOrdinaryUser ordinary;
    ASSERT_TRUE(ordinary.switched);
    EXPECT_EQ(save().result, 0);
  }
  EXPECT_EQ(saved(), "DefaultInput: 6\nFile: a\n");
  st = statOf(configFileName);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(namesIn(dir.path), std::set<std::string>{configFileName});
}

TEST_F(ConfigTest, HardLinkedFileStaysOneFileAndOtherNamesStayAlone) {
  ASSERT_EQ(load("DefaultInput: 1\nFile: a\n").result, 0);
  ASSERT_EQ(link(configFileName, "also.txt"), 0);
  dir.write("glidewarperconfig.txt.tmp", "mine\n");
  programConfig.defaultInput = 6;
  EXPECT_EQ(save().result, 0);
  EXPECT_EQ(saved(), "DefaultInput: 6\nFile: a\n");
  EXPECT_EQ(readFile(dir.file("also.txt")), saved());
  const struct stat config = statOf(configFileName);
  EXPECT_EQ(config.st_ino, statOf("also.txt").st_ino);
  EXPECT_EQ(config.st_nlink, 2u);
  EXPECT_EQ(readFile(dir.file("glidewarperconfig.txt.tmp")), "mine\n");
  EXPECT_EQ(namesIn(dir.path),
            (std::set<std::string>{"also.txt", configFileName, "glidewarperconfig.txt.tmp"}));
}

// As root the folder's bits would not stop the save; it runs as nobody then.
TEST_F(ConfigTest, FolderThatCannotBeWrittenSavesAWritableFileInPlaceOnly) {
  ASSERT_EQ(load("DefaultInput: 1\nFile: a\n").result, 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(configFileName, AsOrdinaryUser::id(), AsOrdinaryUser::group()), 0);
  }
  ASSERT_EQ(chmod(configFileName, 0644), 0);
  ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);
  const ino_t inode = statOf(configFileName).st_ino;
  programConfig.defaultInput = 2;
  LoadResult r;
  {
    AsOrdinaryUser ordinary;
    r = save();
  }
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(saved(), "DefaultInput: 2\nFile: a\n");
  EXPECT_EQ(statOf(configFileName).st_ino, inode);

  // A file that cannot be written either is left alone.
  ASSERT_EQ(chmod(configFileName, 0444), 0);
  programConfig.defaultInput = 3;
  {
    AsOrdinaryUser ordinary;
    r = save();
  }
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.output, "Could not open glidewarperconfig.txt for writing\n");
  EXPECT_EQ(saved(), "DefaultInput: 2\nFile: a\n");
  EXPECT_EQ(statOf(configFileName).st_mode & 07777, 0444u);
  chmod(dir.path.c_str(), 0700);
  EXPECT_EQ(namesIn(dir.path), std::set<std::string>{configFileName});
}

// In place, a write that fails part way must put back what it overwrote. The
// size limit's signal is left at its default here: ending the program half
// way would be the worst failure of all.
TEST_F(ConfigTest, WriteInPlaceThatFailsPartWayPutsTheOldBytesBack) {
  const std::string large = filledTo(20000);
  ASSERT_EQ(load(large).result, 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(configFileName, AsOrdinaryUser::id(), AsOrdinaryUser::group()), 0);
  }
  ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);
  rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  // Past the limit after 8192 bytes, and, growing by ten bytes, at its very end.
  const struct {
    rlim_t limit;
    int defaultInput;
  } cases[] = {{8192, 2}, {large.size(), INT_MIN}};
  for (const auto& c : cases) {
    programConfig.defaultInput = c.defaultInput;
    rlimit limited = old;
    limited.rlim_cur = c.limit;
    LoadResult r;
    {
      AsOrdinaryUser ordinary;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
      r = save();
      setrlimit(RLIMIT_FSIZE, &old);
    }
    EXPECT_EQ(r.result, 1) << c.limit;
    EXPECT_EQ(r.output, "Could not write glidewarperconfig.txt, it was left as it was\n");
    EXPECT_EQ(saved(), large) << c.limit;
  }
  chmod(dir.path.c_str(), 0700);
  EXPECT_EQ(namesIn(dir.path), std::set<std::string>{configFileName});
}

// A full device has no room for a second copy, but the file's own room is
// enough for content of the same length. Needs a small tmpfs of our own, in a
// mount namespace of our own so that nothing outside sees it.
TEST_F(ConfigTest, FullDeviceIsSavedInPlaceOrLeftWhole) {
  const std::string device = dir.file("device");
  std::filesystem::create_directory(device);
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("gwtest", device.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  {
    ScopedChdir onDevice(device);
    // Whole pages, so that any growth needs a page the device does not have.
    const std::string content = filledTo(16384);
    ASSERT_EQ(content.size(), 16384u);
    std::filesystem::remove(dir.file(configFileName));
    dir.write("device/glidewarperconfig.txt", content);
    configReset();
    ASSERT_EQ(configLoad(), 0);
    int filler = open("filler", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(filler, 0);
    const std::string block(4096, 'f');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    close(filler);
    const ino_t inode = statOf(configFileName).st_ino;

    programConfig.defaultInput = 2;
    LoadResult r = save();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, "");
    std::string expected = content;
    expected.replace(expected.find("DefaultInput: 1"), 15, "DefaultInput: 2");
    EXPECT_EQ(readFile(configFileName), expected);
    EXPECT_EQ(statOf(configFileName).st_ino, inode);

    // Growing needs a page more: that shows before a byte changes.
    const timespec modified = statOf(configFileName).st_mtim;
    programConfig.defaultInput = INT_MIN;
    r = save();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output, "Could not write glidewarperconfig.txt, it was left as it was\n");
    EXPECT_EQ(readFile(configFileName), expected);
    const timespec after = statOf(configFileName).st_mtim;
    EXPECT_TRUE(after.tv_sec == modified.tv_sec && after.tv_nsec == modified.tv_nsec);
    EXPECT_EQ(namesIn("."), (std::set<std::string>{configFileName, "filler"}));
  }
  EXPECT_EQ(umount2(device.c_str(), MNT_DETACH), 0);
}

int allocationsLeft;
void* failingAllocate(std::size_t size) {
  return allocationsLeft-- > 0 ? std::malloc(size) : nullptr;
}

TEST_F(ConfigTest, RunningOutOfMemoryFailsTheLoadCleanly) {
  const std::string content = "# c\nDefaultKeyName: space\nFile: a\nFile: b\n";
  configSetAllocator(failingAllocate);
  // Every allocation of this load in turn is the one that fails.
  for (int n = 0;; ++n) {
    allocationsLeft = n;
    LoadResult r = load(content);
    if (r.result == 0) {
      EXPECT_EQ(n, 9);  // two arrays, four lines, one name, two paths
      break;
    }
    EXPECT_EQ(r.output, "Out of memory.\n") << n;
  }
}

// "absolute" or "relative", and a whole number of milliseconds: the last
// line wins, and no line at all keeps relative pitch with a Retune of 0.
// Anything else refuses the file, so a typo cannot leave the other mode on.
TEST_F(ConfigTest, PitchAndRetuneLines) {
  struct Case {
    const char* lines;
    PitchMode pitch;
    int retuneMs;
  };
  const Case cases[] = {
      {"", pitchRelative, 0},
      {"Pitch: absolute\n", pitchAbsolute, 0},
      {"Pitch: absolute\nPitch: relative\n", pitchRelative, 0},
      {"Pitch: relative\nPitch: absolute # sung\nRetune: 500\n", pitchAbsolute, 500},
      {"Retune: 120ms\n", pitchRelative, 120},
      {"Retune: 40\nRetune: 7\n", pitchRelative, 7},
      {"Retune: -20\n", pitchRelative, -20},  // the effect counts it as 0
      {"# Retune: 40\n", pitchRelative, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(load(std::string(c.lines) + "File: f\n").result, 0) << c.lines;
    EXPECT_EQ(programConfig.pitchMode, c.pitch) << c.lines;
    EXPECT_EQ(programConfig.retuneMs, c.retuneMs) << c.lines;
  }
  const std::string pitchTakes = "Pitch: takes relative or absolute.\n";
  const std::string retuneTakes =
      "Retune: takes a whole number of milliseconds, such as 0 or 500.\n";
  const struct {
    const char* line;
    std::string takes;
  } refused[] = {
      {"Pitch: Absolute\n", pitchTakes}, {"Pitch: absolutely\n", pitchTakes},
      {"Pitch: abs\n", pitchTakes},      {"Retune: 0.5\n", retuneTakes},
      {"Retune: slow\n", retuneTakes},   {"Retune: 500s\n", retuneTakes},
  };
  for (const auto& c : refused) {
    const LoadResult r = load(std::string("File: f\n") + c.line);
    EXPECT_EQ(r.result, 1) << c.line;
    EXPECT_EQ(r.output, "Error in line: " + std::string(c.line) + c.takes) << c.line;
  }
}

}  // namespace
