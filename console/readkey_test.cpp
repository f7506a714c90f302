#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cfenv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "console.h"

namespace {

void writeAll(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

bool isRaw(const termios& mode) {
  return !(mode.c_lflag & (ICANON | ECHO | ISIG));
}

// Waits until a read has put the terminal into raw input.
bool waitForRaw(int fd) {
  for (int i = 0; i < 400; ++i) {
    termios mode;
    if (tcgetattr(fd, &mode) == 0 && isRaw(mode)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

class TerminalKeys : public testing::Test {
 protected:
  int master = -1, slave = -1;
  termios cooked{};
  void SetUp() override {
    alarm(20);  // a key lost by the reader would otherwise hang the test for ever
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(tcgetattr(slave, &cooked), 0);
    ASSERT_FALSE(isRaw(cooked));
    keyInputAttach(slave);
  }
  void TearDown() override {
    alarm(0);
    keyInputAttach(STDIN_FILENO);
    if (master >= 0) close(master);
    close(slave);
  }
};

TEST_F(TerminalKeys, RawOnlyWhileAReadWaits) {
  int key = 0;
  std::thread reader([&] { key = readKey(); });
  EXPECT_TRUE(waitForRaw(slave));
  termios during;
  tcgetattr(slave, &during);
  EXPECT_FALSE(during.c_iflag & ICRNL);  // Enter must arrive as 13
  EXPECT_TRUE(during.c_oflag & OPOST);   // output still gets its line ends
  // With signals on the line would swallow Ctrl+C, and the 'a' would come.
  writeAll(master,
           "\x03"
           "a\n");
  reader.join();
  EXPECT_EQ(key, 3);
  termios after;
  tcgetattr(slave, &after);
  EXPECT_EQ(after.c_lflag, cooked.c_lflag);
  EXPECT_EQ(after.c_iflag, cooked.c_iflag);
  EXPECT_FALSE(keyInputEnded());
}

TEST_F(TerminalKeys, KeysTypedAheadAreDecodedInOrder) {
  writeAll(master, "\x1b[A\x1bOP\x1b[24~\xc3\xa9q\r");
  const int expected[] = {224, 72, 0, 59, 224, 134, 233, 'q', 13};
  for (int code : expected) EXPECT_EQ(readKey(), code);

  // A lone ESC is the Escape key once nothing follows it in time.
  writeAll(master, "\x1b");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(readKey(), 27);
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(escapeTimeoutMs - 5));
  writeAll(master, "\x1bx");
  EXPECT_EQ(readKey(), 0);
  EXPECT_EQ(readKey(), 45);
}

TEST_F(TerminalKeys, AHungUpTerminalEndsInput) {
  writeAll(master, "a");
  EXPECT_EQ(readKey(), 'a');
  close(master);
  master = -1;
  EXPECT_EQ(readKey(), -1);
  EXPECT_TRUE(keyInputEnded());
  EXPECT_EQ(readKey(), -1);
}

TEST_F(TerminalKeys, ASignalThatEndsTheProgramRestoresTheTerminal) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    readKey();
    _exit(0);
  }
  EXPECT_TRUE(waitForRaw(slave));
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  termios after;
  tcgetattr(slave, &after);
  EXPECT_EQ(after.c_lflag, cooked.c_lflag);
}

bool sameMode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Keys the terminal's line mode would echo, edit, swallow or turn into a
// signal, typed while no read waits, and the codes they must arrive as:
// Backspace, Ctrl+U, Ctrl+W, Ctrl+V (which would quote the next key), Ctrl+R,
// Ctrl+D, Ctrl+S, Ctrl+Q, Ctrl+Z, Ctrl+\ and Enter.
const char typedAhead[] = "ab\x7f\x15\x17\x16\x12\x04\x13\x11\x1a\x1c\r";
const int typedAheadCodes[] = {'a', 'b', 127, 21, 23, 22, 18, 4, 19, 17, 26, 28, 13};

TEST_F(TerminalKeys, HeldTerminalStaysQuietBetweenReadsAndGivesEveryKeyAsTyped) {
  keyInputHold();
  termios held;
  ASSERT_EQ(tcgetattr(slave, &held), 0);
  EXPECT_EQ(held.c_lflag & (ECHO | ICANON | IEXTEN), 0u);
  EXPECT_TRUE(held.c_lflag & ISIG);  // Ctrl+C still ends the program between prompts
  EXPECT_EQ(held.c_cc[VINTR], cooked.c_cc[VINTR]);
  EXPECT_EQ(held.c_cc[VQUIT], _POSIX_VDISABLE);
  EXPECT_EQ(held.c_cc[VSUSP], _POSIX_VDISABLE);
  EXPECT_TRUE(held.c_oflag & OPOST);

  writeAll(master, typedAhead);
  for (int code : typedAheadCodes) EXPECT_EQ(readKey(), code);
  // The pseudo-terminal echoes by default; nothing came back.
  pollfd echoed{master, POLLIN, 0};
  EXPECT_EQ(poll(&echoed, 1, 100), 0);
  termios between;
  tcgetattr(slave, &between);
  EXPECT_TRUE(sameMode(between, held));

  // While a read waits, Ctrl+C is a key.
  int key = 0;
  std::thread reader([&] { key = readKey(); });
  EXPECT_TRUE(waitForRaw(slave));
  writeAll(master, "\x03");
  reader.join();
  EXPECT_EQ(key, 3);

  keyInputRelease();
  termios after;
  tcgetattr(slave, &after);
  EXPECT_TRUE(sameMode(after, cooked));
}

// Each way a held program can end, in a child whose controlling terminal is
// the test's: the terminal must be as it was before the hold.
TEST_F(TerminalKeys, HeldTerminalComesBackOnEveryWayOut) {
  enum Way { exits, ctrlCBetweenPrompts, ctrlCAtAPrompt, terminated, hungUp };
  const struct {
    Way way;
    const char* name;
    int signal;  // 0: ends normally with status 0
  } cases[] = {{exits, "exit", 0},
               {ctrlCBetweenPrompts, "Ctrl+C between prompts", SIGINT},
               {ctrlCAtAPrompt, "Ctrl+C at a prompt, then exit", 0},
               {terminated, "SIGTERM", SIGTERM},
               {hungUp, "SIGHUP", SIGHUP}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &cooked), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(10);  // never outlives a test that went wrong
      setsid();
      if (ioctl(slave, TIOCSCTTY, 0) != 0) _exit(2);
      keyInputHold();
      if (write(ready[1], "r", 1) != 1) _exit(2);
      if (c.way == ctrlCAtAPrompt) exit(readKey() == 3 ? 0 : 3);
      if (c.way == exits) exit(0);
      for (;;) pause();
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    if (c.way == ctrlCBetweenPrompts) writeAll(master, "\x03");
    if (c.way == ctrlCAtAPrompt) {
      EXPECT_TRUE(waitForRaw(slave));
      writeAll(master, "\x03");
    }
    if (c.way == terminated || c.way == hungUp) kill(child, c.signal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (c.signal) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    termios after;
    tcgetattr(slave, &after);
    EXPECT_TRUE(sameMode(after, cooked));
  }
}

// Crash signals: a real fault of the processor, an abort, a signal sent.
enum class Crash { badAddress, sentSegv, abort, truncatedMap, floatDivision, handledBefore };

// Faults the way the kernel reports them, out of reach of the sanitizers'
// own checks: a page that may not be touched, a mapping past the end of its
// file, a float division with the trap switched on.
[[noreturn]] void crash(Crash how) {
  switch (how) {
    case Crash::badAddress:
    case Crash::handledBefore: {
      void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      static_cast<volatile char*>(page)[0] = 1;
      break;
    }
    case Crash::truncatedMap: {
      FILE* empty = tmpfile();
      void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(empty), 0);
      (void)static_cast<volatile char*>(page)[0];
      break;
    }
    case Crash::floatDivision: {
      feenableexcept(FE_DIVBYZERO);
      volatile double zero = 0;
      volatile double result = 1.0 / zero;
      (void)result;
      break;
    }
    case Crash::sentSegv:
      kill(getpid(), SIGSEGV);
      break;
    case Crash::abort:
      std::abort();
  }
  _exit(4);  // the fault did not end the child
}

void exitSeven(int) {
  _exit(7);
}

// A crash in a held child restores the terminal and still ends the way the
// signal would have ended it: by its default action, or by the handler the
// program had installed for it before.
TEST_F(TerminalKeys, HeldTerminalComesBackAfterACrashThatStillEndsAsItWould) {
  const struct {
    Crash how;
    const char* name;
    int signal;  // the signal that ends the child; 0: exits with 7
  } cases[] = {{Crash::badAddress, "fault on a protected page", SIGSEGV},
               {Crash::sentSegv, "SIGSEGV sent", SIGSEGV},
               {Crash::abort, "abort", SIGABRT},
               {Crash::truncatedMap, "read past a mapped file's end", SIGBUS},
               {Crash::floatDivision, "float division by zero, trapped", SIGFPE},
               {Crash::handledBefore, "fault with a handler of the program's", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &cooked), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(10);
      const rlimit noCore = {0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      // The default actions, whatever a sanitizer put there, unless the
      // case brings a handler of its own.
      for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGABRT}) std::signal(signal, SIG_DFL);
      if (c.how == Crash::handledBefore) std::signal(SIGSEGV, exitSeven);
      keyInputHold();
      crash(c.how);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (c.signal) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
    }
    termios after;
    tcgetattr(slave, &after);
    EXPECT_TRUE(sameMode(after, cooked));
  }
}

void ignoreSignal(int) {}

TEST(PipedKeys, BytesAreKeyCodesUntilTheEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  keyInputAttach(fds[0]);
  writeAll(fds[1], "\x1b[A");
  for (int code : {27, int{'['}, int{'A'}}) EXPECT_EQ(readKey(), code);

  // A signal that interrupts the wait does not end input.
  struct sigaction handler {
  }, previous;
  handler.sa_handler = ignoreSignal;
  sigaction(SIGUSR1, &handler, &previous);
  int key = 0;
  std::thread reader([&] { key = readKey(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pthread_kill(reader.native_handle(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  writeAll(fds[1], "\xff");
  reader.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(key, 255);
  EXPECT_FALSE(keyInputEnded());

  close(fds[1]);
  EXPECT_EQ(readKey(), -1);
  EXPECT_TRUE(keyInputEnded());
  close(fds[0]);
  keyInputAttach(STDIN_FILENO);
}

}  // namespace
