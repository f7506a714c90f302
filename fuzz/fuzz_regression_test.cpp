// Replays every seed of the fuzz corpus and every input that once made a
// fuzzer fail, through the same entries the fuzzers use. Run under the
// sanitizer build, this keeps each fixed fault fixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "config.h"
#include "effect.h"
#include "fuzzentries.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

// The seeds and the crash inputs of one target, in a stable order.
std::vector<fs::path> inputsOf(const std::string& target) {
  std::vector<fs::path> inputs;
  for (const char* kind : {"corpus", "regressions"}) {
    fs::path folder = fs::path(GW_FUZZ_DIR) / kind / target;
    if (!fs::is_directory(folder)) continue;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

template <typename Entry>
void replay(const std::string& target, Entry entry, std::size_t atLeast) {
  std::vector<fs::path> inputs = inputsOf(target);
  ASSERT_GE(inputs.size(), atLeast) << "the " << target << " seeds are missing";
  for (const fs::path& input : inputs) {
    SCOPED_TRACE(input.string());
    std::string bytes = readFile(input.string());
    startCapture();
    entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    endCapture();
  }
}

TEST(FuzzRegression, MelodyFiles) {
  replay("melody", fuzzMelodyFile, 5);
}

TEST(FuzzRegression, ConfigurationFiles) {
  TempDir dir;
  ScopedChdir inside(dir.path);
  replay("config", fuzzConfigFile, 5);
  configReset();
}

// Found by the configuration fuzzer: a line cut short by a NUL byte was
// written back without its line end, so the next line joined it.
TEST(FuzzRegression, NulByteDoesNotJoinLinesOnRewrite) {
  TempDir dir;
  ScopedChdir inside(dir.path);
  dir.write(configFileName, std::string("# note\0junk\nFile: a.txt\0more\nFile: b.txt\n", 41));
  configReset();
  startCapture();
  ASSERT_EQ(configLoad(), 0);
  ASSERT_EQ(configSave(), 0);
  endCapture();
  EXPECT_EQ(readFile(dir.file(configFileName)), "# note\nFile: a.txt\nFile: b.txt\n");
  ASSERT_EQ(programConfig.melodyFileCount, 2);
  EXPECT_STREQ(programConfig.melodyFiles[0], "a.txt");
  configReset();
}

TEST(FuzzRegression, KeyBytes) {
  replay("keys", fuzzKeyBytes, 5);
}

TEST(FuzzRegression, MidiFiles) {
  replay("midi", fuzzMidiFile, 5);
}

}  // namespace
