// Keys typed while no prompt waits, and the terminal on every way out, with
// the real program in a pseudo-terminal set up as a user's terminal is: echo,
// line editing and the signal keys on.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

#include "e2e_fixture.h"

namespace {

class Keys : public EndToEnd {
 protected:
  int slaveFd = -1;  // our own hold on the program's terminal
  std::string slaveName;
  std::vector<std::pair<std::string, std::string>> extraEnv;

  void TearDown() override {
    EndToEnd::TearDown();
    if (slaveFd >= 0) close(slaveFd);
  }

  // Starts the program in a terminal with `stty sane` modes, whose settings
  // are kept in mode.before, and holds the terminal open from this side too
  // so that it can be looked at once the program has ended.
  void startInSaneTerminal() {
    if (HasFailure()) return;
    SpawnOptions o;
    // No core file from the crash cases.
    o.argv = {"/bin/sh", "-c", "ulimit -c 0 && stty sane && stty -g > mode.before && exec \"$0\"",
              GW_PROGRAM_PATH};
    o.env = env;
    o.env.insert(o.env.end(), extraEnv.begin(), extraEnv.end());
    o.cwd = dir.path;
    o.terminal = true;
    ASSERT_TRUE(spawnChild(program, o));
    const char* name = ptsname(program.fd);
    ASSERT_NE(name, nullptr);
    slaveName = name;
    if (slaveFd >= 0) close(slaveFd);
    slaveFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slaveFd, 0);
  }

  // The terminal's settings as `stty -g` prints them.
  std::string terminalSettings() {
    Child stty;
    SpawnOptions o;
    o.argv = {"stty", "-g", "-F", slaveName};
    if (!spawnChild(stty, o) || !waitExit(stty, 10)) return "stty failed";
    endChild(stty);
    return stty.output;
  }

  void expectTerminalAsBefore() {
    if (HasFailure()) return;
    const std::string before = readFile(dir.file("mode.before"));
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(terminalSettings(), before);
  }

  // Waits until the melody's set-up has begun, so that keys typed now come
  // while no prompt waits; fails when the set-up was over too soon for that.
  void expectSetUpUnderWay(const std::string& file) {
    expectOutput("Opening file " + file + "\n", startupSeconds);
  }
  void expectSetUpStillUnderWay() {
    if (HasFailure()) return;
    letRun(0.1);
    ASSERT_EQ(program.output.find("Initialized, baby.\n", program.cursor), std::string::npos)
        << "the melody was set up before the keys came; it needs more notes";
  }
};

// Enough notes that setting them up takes a second or more.
std::string largeMelody() {
  std::mt19937 random(12);
  std::uniform_real_distribution<double> frequency(220, 880);
  std::string text = "440\n";
  for (int i = 0; i < 80000; ++i) text += "5 " + std::to_string(frequency(random)) + "\n";
  return text;
}

// Keys the line mode would echo, edit, take or turn into signals: printable
// keys the program never prints itself, Backspace, Ctrl+U, Ctrl+W, Ctrl+V
// (which quotes the next key), Ctrl+R, Ctrl+D, Ctrl+S, Ctrl+Q, Ctrl+Z, Ctrl+\,
// cursor up and Enter; and the lines the next prompt prints for them, in order.
const std::string typed = "`~\x7f\x15\x17\x16\x12\x04\x13\x11\x1a\x1c\x1b[A\r";
const std::string keyCodeLines =
    "Key code: 96\nKey code: 126\nKey code: 127\nKey code: 21\nKey code: 23\n"
    "Key code: 22\nKey code: 18\nKey code: 4\nKey code: 19\nKey code: 17\n"
    "Key code: 26\nKey code: 28\nKey code: -32\nKey code: 72\nKey code: 13\n";

// What an echo of the typed keys would leave in the transcript: the keys
// themselves, ^X for control keys, or Backspace's erasing.
bool looksEchoed(const std::string& output) {
  for (unsigned char c : output) {
    if (c == '`' || c == '~' || c == '^' || c == 0x7f) return true;
    if (c < 0x20 && c != '\n' && c != '\t') return true;
  }
  return false;
}

TEST_F(Keys, KeysTypedWhileAMelodyIsSetUpAreNeitherEchoedNorEditedAndComeInOrder) {
  startServer();
  startTone({"440"});
  dir.write("large.txt", largeMelody());
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"large.txt"});
  startInSaneTerminal();
  expectOutput("for default ('1')\n", startupSeconds);
  sendKeys(program, " ");

  // At start-up, before the first proceed prompt, and after "Wire off.".
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "at start-up" : "after Wire off");
    expectSetUpUnderWay("large.txt");
    const auto start = std::chrono::steady_clock::now();
    sendKeys(program, typed);
    expectSetUpStillUnderWay();
    expectOutput("Initialized, baby.\n", startupSeconds);
    std::printf("set-up after the keys: %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    expectOutput("Press space to proceed, 'x' to exit\n" + keyCodeLines);
    letRun(0.2);
    EXPECT_EQ(program.output.substr(program.cursor), "") << "more came than was typed";
    sendKeys(program, " ");
    expectOutput("Wire on, file large.txt.\n");
    expectOutput("Press space to proceed, 'r' to repeat\n");
    sendKeys(program, round == 0 ? "r" : " ");
    expectOutput("Wire off.\n");
  }
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_FALSE(looksEchoed(program.output)) << program.output;
  expectTerminalAsBefore();

  // The same keys, typed into the terminal the program gave back, do echo:
  // the check above would have seen them.
  if (HasFailure()) return;
  sendKeys(program, "`~");
  keepReading(program, 0.3);
  EXPECT_TRUE(looksEchoed(program.output));
}

// Each way the program ends gives the terminal back exactly as it found it.
// (The normal finish is checked by the test above.)
TEST_F(Keys, EveryWayOutGivesTheTerminalBack) {
  enum Way {
    failedLoad,
    exitKey,
    errorExit,
    ctrlCDuringSetUp,
    terminatedAtPrompt,
    hungUpDuringSetUp,
    crashAtPrompt,
    serverLost
  };
  const struct {
    Way way;
    const char* name;
    int status;
  } cases[] = {{failedLoad, "failed configuration load", 255},
               {exitKey, "'x' at the first prompt", 0},
               {ctrlCDuringSetUp, "Ctrl+C while a melody is set up", 128 + SIGINT},
               {terminatedAtPrompt, "SIGTERM while a prompt waits", 128 + SIGTERM},
               {hungUpDuringSetUp, "SIGHUP while a melody is set up", 128 + SIGHUP},
               {crashAtPrompt, "SIGSEGV while a prompt waits", 128 + SIGSEGV},
               {errorExit, "the error exit", 255},
               {serverLost, "the audio server lost (last: it takes the server)", 255}};
  startServer();
  startTone({"440"});
  dir.write("large.txt", largeMelody());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.way == failedLoad) {
      dir.write("glidewarperconfig.txt", "# no melody\n");
    } else if (c.way == errorExit) {
      writeConfig("DefaultInput: 1\nDefaultOutput: 7\n", {"large.txt"});
    } else {
      writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"large.txt"});
    }
    // A sanitizer would take the crash signal for a fault of its own and
    // report it; the program's own way with it is what is tested here.
    extraEnv.clear();
    if (c.way == crashAtPrompt) {
      const std::string off = ":handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0";
      for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char* before = getenv(name);
        extraEnv.emplace_back(name, std::string(before ? before : "") + off);
      }
    }
    startInSaneTerminal();
    switch (c.way) {
      case failedLoad:
        expectOutput("An error occured. The application will close.\n", startupSeconds);
        expectExit(c.status, true);
        break;
      case exitKey:
      case terminatedAtPrompt:
      case crashAtPrompt:
        expectOutput("for default ('1')\n", startupSeconds);
        sendKeys(program, " ");
        expectOutput("Press space to proceed, 'x' to exit\n", startupSeconds);
        if (c.way == exitKey) {
          sendKeys(program, "x");
          expectOutput("Finished. gNumNoInputs = 0\n");
        } else {
          letRun(0.1);
          if (!HasFailure()) kill(program.pid, c.way == crashAtPrompt ? SIGSEGV : SIGTERM);
        }
        expectExit(c.status, false);
        break;
      case errorExit:
        expectOutput("for default ('1')\n", startupSeconds);
        sendKeys(program, " ");
        expectOutput("An error occured while using the portaudio stream\n");
        expectExit(c.status, true);
        break;
      case serverLost:
        expectOutput("for default ('1')\n", startupSeconds);
        sendKeys(program, " ");
        expectOutput("Press space to proceed, 'x' to exit\n", startupSeconds);
        if (HasFailure()) break;
        ASSERT_EQ(kill(jackd.pid, SIGKILL), 0);
        endChild(jackd);  // the fixture gives its registry slot back at the end
        letRun(1.0);
        sendKeys(program, " ");
        expectOutput("An error occured while using the portaudio stream\n");
        expectExit(c.status, true);
        break;
      case ctrlCDuringSetUp:
      case hungUpDuringSetUp:
        expectOutput("for default ('1')\n", startupSeconds);
        sendKeys(program, " ");
        expectSetUpUnderWay("large.txt");
        if (c.way == ctrlCDuringSetUp) {
          sendKeys(program, "\x03");
        } else if (!HasFailure()) {
          kill(program.pid, SIGHUP);
        }
        expectSetUpStillUnderWay();
        expectExit(c.status, false);
        EXPECT_FALSE(printed("Press space to proceed"));
        break;
    }
    expectTerminalAsBefore();
    endChild(program);
    if (HasFailure()) return;
  }
}

}  // namespace
