// Faults met on stage, each with the real program on a private JACK server:
// the server dies while a file plays, the configuration folder cannot be
// written, a melody file disappears, keys are mashed at every prompt, and the
// server's period changes under a running stream.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "keydecoder.h"

namespace {

int countOf(const std::string& text, const std::string& what);

class Faults : public EndToEnd {
 protected:
  int slaveFd = -1;  // our own hold on the program's terminal

  void TearDown() override {
    EndToEnd::TearDown();
    if (slaveFd >= 0) close(slaveFd);
  }

  // Starts the program and keeps its terminal open from this side too, so
  // that its modes can still be read once the program has ended.
  void startProgramHoldingTerminal() {
    startProgram();
    if (HasFailure()) return;
    const char* name = ptsname(program.fd);
    ASSERT_NE(name, nullptr);
    slaveFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slaveFd, 0);
  }

  // The modes the fixture's terminal starts with: line editing, signals,
  // CR to LF on input, flow control.
  void expectTerminalRestored() {
    if (HasFailure()) return;
    termios mode{};
    ASSERT_EQ(tcgetattr(slaveFd, &mode), 0);
    EXPECT_EQ(mode.c_lflag & (ICANON | ISIG | IEXTEN), tcflag_t(ICANON | ISIG | IEXTEN));
    EXPECT_EQ(mode.c_iflag & (ICRNL | IXON), tcflag_t(ICRNL | IXON));
    EXPECT_EQ(mode.c_cc[VMIN], 1);
  }

  // While a prompt waits the terminal is raw; seeing that shows the check
  // above reads the program's own terminal.
  void expectTerminalRaw() {
    if (HasFailure()) return;
    termios mode{};
    ASSERT_EQ(tcgetattr(slaveFd, &mode), 0);
    EXPECT_EQ(mode.c_lflag & (ICANON | ISIG), tcflag_t(0));
  }

  // Chooses the tone (device 1) and waits at the first file's 'x' prompt.
  void chooseToneAndReachFirstFile() {
    expectOutput("for default ('1')\n", startupSeconds);
    sendKeys(program, " ");
    expectOutput("Num channels = 1.\n");
    expectOutput("Press space to proceed, 'x' to exit\n");
  }

  // Kills the server outright, as a crash would, and gives its clients a
  // moment to notice.
  void killServer() {
    if (HasFailure()) return;
    ASSERT_EQ(kill(jackd.pid, SIGKILL), 0);
    endChild(jackd);  // the fixture gives its registry slot back at the end
    letRun(1.0);
  }

  void expectNoSanitizerReport() {
    EXPECT_FALSE(printed("Sanitizer")) << program.output;
    EXPECT_FALSE(printed("runtime error")) << program.output;
  }
};

TEST_F(Faults, ServerKilledWhileAFilePlaysEndsTheRunOnTheNextKey) {
  startServer();
  startTone({"440"});
  dir.write("melody.txt", "440\n100000 660\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"melody.txt", "melody.txt"});
  startProgramHoldingTerminal();
  chooseToneAndReachFirstFile();
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  expectOutput("Press space to proceed, 'r' to repeat\n");
  letRun(1.0);
  expectTerminalRaw();

  killServer();
  sendKeys(program, " ");
  expectOutput(
      "Wire off.\n"
      "An error occured while using the portaudio stream\n"
      "Error number: -9985\n"
      "Error message: Device unavailable\n",
      5);
  expectExit(255, true);
  expectNoSanitizerReport();
  expectTerminalRestored();
}

TEST_F(Faults, ServerKilledBeforeAFileStartsEndsTheRunOnTheNextKey) {
  startServer();
  startTone({"440"});
  dir.write("melody.txt", "440\n100000 660\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"melody.txt"});
  startProgramHoldingTerminal();
  chooseToneAndReachFirstFile();

  killServer();
  sendKeys(program, " ");
  expectOutput("An error occured while using the portaudio stream\n", 5);
  expectExit(255, true);
  EXPECT_FALSE(printed("Wire on"));
  expectNoSanitizerReport();
  expectTerminalRestored();
}

// As root the permission bits do not stop the program, so it runs with the
// capabilities that let root pass them taken away. The folder belongs to
// nobody and cannot be written; the configuration can be written only when it
// is root's own. (An immutable file or a read-only bind mount would do as
// well here, but not on every file system; the capabilities work anywhere.)
TEST_F(Faults, ConfigurationInAFolderThatCannotBeWrittenIsSavedOnlyWhenItCanBeWritten) {
  if (geteuid() != 0) GTEST_SKIP() << "the folder is made unwritable as root would see it";
  startServer();
  startTone({"440"});
  dir.write("melody.txt", "440\n200 440\n");
  writeConfig("DefaultInput: 0\nDefaultOutput: 0\n", {"melody.txt"});
  const std::string before = readFile(dir.file("glidewarperconfig.txt"));
  std::string after = before;
  after.replace(after.find("DefaultInput: 0"), 15, "DefaultInput: 1");

  for (uid_t owner : {uid_t{0}, uid_t{65534}}) {
    const bool writable = owner == 0;
    SCOPED_TRACE(writable ? "writable file" : "file that cannot be written");
    chmod(dir.path.c_str(), 0755);
    dir.write("glidewarperconfig.txt", before);
    for (const char* name : {"melody.txt", "glidewarperconfig.txt"}) {
      ASSERT_EQ(chown(dir.file(name).c_str(), owner, owner), 0);
      ASSERT_EQ(chmod(dir.file(name).c_str(), 0644), 0);
    }
    ASSERT_EQ(chown(dir.path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);

    SpawnOptions o;
    o.argv = {"setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--",
              GW_PROGRAM_PATH};
    o.env = env;
    o.cwd = dir.path;
    o.terminal = true;
    ASSERT_TRUE(spawnChild(program, o));
    expectOutput("for default ('0')\n", startupSeconds);
    sendKeys(program, "1");
    expectOutput("Key pressed: '1' (ASCII code: '49')\n");
    if (!writable) expectOutput("Could not open glidewarperconfig.txt for writing\n");
    expectOutput("Num channels = 1.\n");
    expectOutput("Opening file melody.txt\n");
    expectOutput("Press space to proceed, 'x' to exit\n");
    sendKeys(program, " ");
    expectOutput("Wire on, file melody.txt.\n");
    letRun(0.5);
    sendKeys(program, " ");
    expectOutput("Finished. gNumNoInputs = 0\n");
    expectExit(0, false);
    expectNoSanitizerReport();
    EXPECT_FALSE(printed("Could not write"));
    if (writable) {
      EXPECT_FALSE(printed("Could not open"));
    }
    endChild(program);

    chmod(dir.path.c_str(), 0755);
    EXPECT_EQ(readFile(dir.file("glidewarperconfig.txt")), writable ? after : before);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("glidewarperconfig.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, owner);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_FALSE(access(dir.file("glidewarperconfig.txt.tmp").c_str(), F_OK) == 0);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
      EXPECT_NE(entry.path().filename().string().rfind("glidewarperconfig.txt.", 0), 0u)
          << "left behind: " << entry.path();
  }
}

TEST_F(Faults, MelodyFileRemovedAfterStartUpEndsWithTheErrorReport) {
  startServer();
  startTone({"440"});
  dir.write("first.txt", "440\n200 660\n");
  dir.write("second.txt", "440\n200 330\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"first.txt", "second.txt"});
  startProgramHoldingTerminal();
  chooseToneAndReachFirstFile();
  ASSERT_EQ(unlink(dir.file("second.txt").c_str()), 0);
  sendKeys(program, " ");
  expectOutput("Wire on, file first.txt.\n");
  letRun(0.5);
  sendKeys(program, " ");
  expectOutput("Wire off.\n");
  expectOutput(
      "Opening file second.txt\n"
      "Can't open second.txt\n"
      "GlideWarp initialization failed\n"
      "An error occured while using the portaudio stream\n"
      "Error number: 0\n");
  expectExit(255, true);
  expectNoSanitizerReport();
  expectTerminalRestored();
}

// Under JACK the buffers are the server's period, handed over as they come,
// so a period changed under a running stream reaches the callback: it
// reports the discrepancy once and plays silence from then on, while the
// run itself goes on to its normal end.
TEST_F(Faults, ServerPeriodChangedWhilePlayingIsReportedOnceAndSilenced) {
  startServer(1000);
  startTone({"440"});
  dir.write("melody.txt", "440\n100000 660\n");
  writeConfig("DefaultInput: 1\nDefaultOutput: 0\n", {"melody.txt"});
  startProgram();
  expectOutput("for default ('1')\n", startupSeconds);
  sendKeys(program, " ");
  // The server's own period, though no power of two.
  expectOutput("Buffer length: 1000 frames\n");
  expectOutput("Press space to proceed, 'x' to exit\n");
  startRecorder();
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  letRun(1.5);
  EXPECT_FALSE(printed("Discrepancy")) << program.output;
  EXPECT_TRUE(jackTool({"jack_bufsize", "256"}));
  EXPECT_EQ(jackTool({"jack_bufsize"}), "256\n");
  expectOutput(
      "Discrepancy between the real framesPerBuffer (256) and the projected one (1000).\n"
      "Stop the program and correct the settings.\n");
  letRun(1.5);
  sendKeys(program, " ");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  EXPECT_EQ(countOf(program.output, "Discrepancy"), 1) << program.output;
  EXPECT_EQ(countOf(program.output, "Stop the program"), 1) << program.output;

  // The bent tone up to the change, then nothing.
  Recording r = stopRecorder();
  auto plays = soundStretches(r, 0.1);
  ASSERT_EQ(plays.size(), 1u);
  EXPECT_GT(plays[0].second - plays[0].first, std::size_t(1.2 * r.rate));
  EXPECT_LT(plays[0].second - plays[0].first, std::size_t(2.5 * r.rate));
  EXPECT_GT(r.frames() - plays[0].second, std::size_t(1.0 * r.rate))
      << "no silence after the change";
  expectSteps(segmentsOf(r, plays[0].first, plays[0].second, 0), {{660, 0}}, "bent tone");
}

// A thousand random bytes for a prompt, none of which decodes to one of its
// answer keys, and the "Key code" lines they should bring.
struct Flood {
  std::string bytes;
  int keyCodeLines = 0;
};

Flood floodFor(const std::string& answers, unsigned seed) {
  std::mt19937 random(seed);
  Flood flood;
  KeyDecoder decoder;
  auto answers_ = [&](int code) {
    return answers.find(static_cast<char>(code)) != std::string::npos;
  };
  while (flood.bytes.size() < 1000) {
    const auto byte = static_cast<unsigned char>(random() & 0xff);
    KeyDecoder trial = decoder;
    keyDecoderFeed(trial, byte);
    std::vector<int> codes;
    for (int code; (code = keyDecoderTake(trial)) >= 0;) codes.push_back(code);
    bool answering = false;
    for (int code : codes) answering = answering || answers_(code);
    if (answering) continue;
    decoder = trial;
    flood.bytes.push_back(static_cast<char>(byte));
    // Code 255 reads as -1, which the prompts pass over without a line.
    for (int code : codes) flood.keyCodeLines += code != 255;
  }
  // What an unfinished sequence at the end turns into once it times out.
  keyDecoderFlush(decoder);
  for (int code; (code = keyDecoderTake(decoder)) >= 0;) {
    EXPECT_FALSE(answers_(code)) << "the flood ends in an answer key";
    flood.keyCodeLines += code != 255;
  }
  return flood;
}

int countOf(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

TEST_F(Faults, FloodOfRandomBytesAtEveryPromptLeavesEachAnsweringItsKeys) {
  startServer();
  startTone({"440"});
  dir.write("melody.txt", "440\n400 660\n");
  writeConfig("DefaultInput: 0\nDefaultOutput: 0\n", {"melody.txt"});
  startProgramHoldingTerminal();

  // Typed in bursts, as keys mashed by hand come, while the prompt waits.
  auto flood = [&](const std::string& prompt, const std::string& answers, unsigned seed) {
    expectOutput(prompt, startupSeconds);
    if (HasFailure()) return;
    letRun(0.2);
    const std::size_t from = program.output.size();
    Flood f = floodFor(answers, seed);
    for (std::size_t at = 0; at < f.bytes.size(); at += 50) {
      sendKeys(program, f.bytes.substr(at, 50));
      letRun(0.01);
    }
    letRun(0.5);  // the last unfinished sequence times out
    EXPECT_EQ(countOf(program.output.substr(from), "Key code: "), f.keyCodeLines) << prompt;
  };

  flood("Press any of '0', '1' to choose, or space for default ('0')\n", "01 ", 1);
  sendKeys(program, "1");
  expectOutput("Key pressed: '1' (ASCII code: '49')\n");
  expectOutput("Num channels = 1.\n");
  flood("Press space to proceed, 'x' to exit\n", " x", 2);
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  flood("Press space to proceed, 'r' to repeat\n", " r", 3);
  sendKeys(program, "r");
  expectOutput("Wire off.\n");
  expectOutput("Opening file melody.txt\n");
  flood("Press space to proceed, 'x' to exit\n", " x", 4);
  sendKeys(program, " ");
  expectOutput("Wire on, file melody.txt.\n");
  expectOutput("Press space to proceed, 'r' to repeat\n");
  sendKeys(program, " ");
  expectOutput("Finished. gNumNoInputs = 0\n");
  expectExit(0, false);
  expectNoSanitizerReport();
  expectTerminalRestored();
  EXPECT_NE(readFile(dir.file("glidewarperconfig.txt")).find("\nDefaultInput: 1\n"),
            std::string::npos);
}

}  // namespace
