#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
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
