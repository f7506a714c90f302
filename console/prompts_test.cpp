#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "console.h"
#include "testsupport.h"

namespace {

// Keys as a test scripts them; once they run out, input has ended.
struct ScriptedKeys {
  std::vector<int> codes;
  std::size_t next = 0;
};

int readScripted(void* context) {
  auto* keys = static_cast<ScriptedKeys*>(context);
  return keys->next < keys->codes.size() ? keys->codes[keys->next++] : -1;
}

bool scriptEnded(void* context) {
  auto* keys = static_cast<ScriptedKeys*>(context);
  return keys->next >= keys->codes.size();
}

class PromptTest : public testing::Test {
 protected:
  ScriptedKeys keys;
  KeySource previous{};
  void SetUp() override { previous = setKeySource({readScripted, scriptEnded, &keys}); }
  void TearDown() override { setKeySource(previous); }

  template <typename Prompt>
  std::string run(std::vector<int> codes, int& result, Prompt prompt) {
    keys = ScriptedKeys{std::move(codes)};
    startCapture();
    result = prompt();
    return endCapture();
  }
};

TEST_F(PromptTest, ChooseTakesAListedKeyOrTheDefault) {
  int result;
  auto choose01 = [] { return promptChoose("01", 32, "space", 1); };
  EXPECT_EQ(run({' '}, result, choose01),
            "Press any of '0', '1' to choose, or space for default ('1')\n"
            "Key pressed: ' ' (ASCII code: '32')\n");
  EXPECT_EQ(result, 1);
  run({'1'}, result, choose01);
  EXPECT_EQ(result, 1);
  // Refused keys are shown signed; a failed read and the code 255 silently.
  EXPECT_EQ(run({'2', 224, 72, 0, 59, 130, 3, -1, 255, '0', '1'}, result, choose01),
            "Press any of '0', '1' to choose, or space for default ('1')\n"
            "Key code: 50\nKey code: -32\nKey code: 72\nKey code: 0\nKey code: 59\n"
            "Key code: -126\nKey code: 3\nKey pressed: '0' (ASCII code: '48')\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(keys.next, 10u);  // the prompt stopped at the accepted key

  // The default key wins over the same listed key; keys compare as signed bytes.
  run({'1'}, result, [] { return promptChoose("01", '1', "one", 7); });
  EXPECT_EQ(result, 7);
  run({130}, result, [] { return promptChoose("0", static_cast<signed char>(130), "x", 4); });
  EXPECT_EQ(result, 4);
}

TEST_F(PromptTest, ChooseWithNoChoicesOrNoInputLeft) {
  int result;
  EXPECT_EQ(run({'a', 13}, result, [] { return promptChoose("", 13, nullptr, 5); }),
            "Press any of ' to choose, or (null) for default ('5')\nKey code: 97\n"
            "Key pressed: '\r' (ASCII code: '13')\n");
  EXPECT_EQ(result, 5);
  // Input that has ended takes the default, as if its key had been pressed.
  EXPECT_EQ(run({'7'}, result, [] { return promptChoose("01", 32, "space", 3); }),
            "Press any of '0', '1' to choose, or space for default ('3')\nKey code: 55\n"
            "Key pressed: ' ' (ASCII code: '32')\n");
  EXPECT_EQ(result, 3);
}

TEST_F(PromptTest, ProceedAndAnyKey) {
  int result;
  auto beforeFile = [] { return promptProceed(32, nullptr, 'x', "exit"); };
  EXPECT_EQ(run({'a', 3, ' '}, result, beforeFile),
            "Press (null) to proceed, 'x' to exit\nKey code: 97\nKey code: 3\n");
  EXPECT_EQ(result, 0);
  run({'x'}, result, beforeFile);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(run({'q'}, result, beforeFile),
            "Press (null) to proceed, 'x' to exit\nKey code: 113\n");
  EXPECT_EQ(result, -1);  // input ended
  // The alternative key wins when it is also the default key.
  run({'r'}, result, [] { return promptProceed('r', "r", 'r', "repeat"); });
  EXPECT_EQ(result, 1);

  EXPECT_EQ(run({224, 72}, result, promptAnyKey), "Press any key to proceed\n");
  EXPECT_EQ(result, 224);
  EXPECT_EQ(keys.next, 1u);
  run({}, result, promptAnyKey);
  EXPECT_EQ(result, -1);
}

}  // namespace
