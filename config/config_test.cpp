#include "config.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
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
  // Only the exact word chooses matched splices; anything else keeps block jumps.
  for (const char* word : {"block", "Matched", "matched,", "match"}) {
    load(std::string("Splice: matched\nSplice: ") + word + "\nFile: f\n");
    EXPECT_EQ(programConfig.spliceMode, spliceBlock) << word;
  }
  load("Splice: block\nSplice: matched\nFile: f\n");
  EXPECT_EQ(programConfig.spliceMode, spliceMatched);
  load("Stereo: left-to-both\nDefaultKeyName: one\nDefaultKeyName: two\nFile: f\n");
  EXPECT_EQ(programConfig.stereoMode, stereoLeftToBoth);
  EXPECT_STREQ(programConfig.defaultKeyName, "two");
}

TEST_F(ConfigTest, RefusedFilesSayWhy) {
  const struct {
    const char* content;
    const char* message;
  } cases[] = {
      {"", "No input file specified in glidewarperconfig.txt\n"},
      {"# only\n\n  \n#File: a\n", "No input file specified in glidewarperconfig.txt\n"},
      {"File: a\nFile:\nFile: b\n", "Error in line: File:\n, result: 1 "},
      {"DefaultInput : 3\nFile: a\n", "Error in line: DefaultInput : 3\n"},
      {"  # remark\nFile: a\n", "Error in line:   # remark\n"},
      {"File: a\r\nfile: b\r\n", "Error in line: file: b\r\n"},
  };
  for (const auto& c : cases) {
    LoadResult r = load(c.content);
    EXPECT_EQ(r.result, 1) << c.content;
    EXPECT_EQ(r.output, c.message) << c.content;
  }
  configReset();
  std::filesystem::remove(dir.file(configFileName));
  startCapture();
  EXPECT_EQ(configLoad(), 1);
  EXPECT_EQ(endCapture(), "Could not load glidewarperconfig.txt\n");
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
  const std::string before = saved();
  programConfig.defaultInput = 3;

  // The temporary file cannot be created: even root cannot open a directory.
  std::filesystem::create_directory(dir.file("glidewarperconfig.txt.tmp"));
  LoadResult r = save();
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.output, "Could not open glidewarperconfig.txt for writing\n");
  EXPECT_EQ(saved(), before);
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

}  // namespace
