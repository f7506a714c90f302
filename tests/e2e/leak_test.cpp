// A long session under LeakSanitizer: three melody files, the second played
// twenty-one times through 'r'. Every set-up and release of the effect is
// repeated, so anything the program loses per file or per play shows up in
// the leak report at its exit, which turns the exit status non-zero.
#include <cstdlib>
#include <string>

#include "e2e_fixture.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool leakChecked = true;
#else
constexpr bool leakChecked = false;
#endif

TEST_F(EndToEnd, ThreeFilesAndTwentyRepeatsLoseNoMemory) {
  if (!leakChecked) GTEST_SKIP() << "leaks are checked in the AddressSanitizer build";
  // LeakSanitizer runs at exit; make sure nothing turned it off for this run.
  const char* options = getenv("ASAN_OPTIONS");
  env.emplace_back("ASAN_OPTIONS",
                   std::string(options && *options ? options : "") + ":detect_leaks=1");
  startServer();
  startTone({"440"});
  dir.write("a.txt", "440\n150 660 150 330\n");
  dir.write("b.txt", "440\n50 440 50 880 -3\n100 550\n");
  dir.write("c.txt", "220\n100 330\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"a.txt", "b.txt", "c.txt"});
  startProgram();
  expectOutput("for default ('1')\n", startupSeconds);
  sendKeys(program, " ");

  auto play = [&](const std::string& file, const char* keyAtTheEnd) {
    expectOutput("Opening file " + file + "\n");
    expectOutput("Press space to proceed, 'x' to exit\n");
    sendKeys(program, " ");
    expectOutput("Wire on, file " + file + ".\n");
    expectOutput("Press space to proceed, 'r' to repeat\n");
    letRun(0.25);
    sendKeys(program, keyAtTheEnd);
    expectOutput("Wire off.\n");
  };
  play("a.txt", " ");
  for (int repeat = 0; repeat < 20; ++repeat) play("b.txt", "r");
  play("b.txt", " ");
  play("c.txt", " ");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_FALSE(printed("LeakSanitizer")) << program.output;
  int setUps = 0;
  for (std::size_t at = 0;
       (at = program.output.find("Initialized, baby.\n", at)) != std::string::npos; ++at)
    ++setUps;
  EXPECT_EQ(setUps, 23);
}

}  // namespace
