// gw_harness, the run script's private JACK server: it comes up with the
// test tone, says so, and leaves nothing behind when it is told to stop.
#include "harness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "session.h"
#include "testsupport.h"

namespace {

// Files of the named server's semaphores left in /dev/shm.
int semaphoresOf(const std::string& server) {
  const std::string prefix = "jack_sem." + std::to_string(getuid()) + "_" + server + "_";
  int count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
    if (entry.path().filename().string().rfind(prefix, 0) == 0) ++count;
  return count;
}

TEST(Harness, ServerAndToneComeUpAndAllEndsOnTheStopSignal) {
  TempDir dir;
  const std::string server = uniqueServerName("gwht");
  Child harness;
  SpawnOptions o;
  o.argv = {GW_HARNESS_PATH, "--name",          server, "--logs", dir.path,
            "--record",      dir.file("x.wav"), "440",  "550"};
  ASSERT_TRUE(spawnChild(harness, o));
  ASSERT_TRUE(expectText(harness, "ready " + server + "\n", 40)) << harness.output;

  JackHarness probe;
  harnessInit(probe, server, dir.path, "", "");
  const auto ports = harnessRunTool(probe, {"jack_lsp"});
  ASSERT_TRUE(ports.has_value());
  EXPECT_NE(ports->find("gwtone:out_1\n"), std::string::npos) << *ports;
  EXPECT_NE(ports->find("gwtone:out_2\n"), std::string::npos) << *ports;
  EXPECT_GT(semaphoresOf(server), 0);

  ASSERT_EQ(kill(harness.pid, SIGINT), 0);
  ASSERT_TRUE(waitExit(harness, 30));
  EXPECT_EQ(exitCode(harness), 0);
  EXPECT_EQ(semaphoresOf(server), 0);
  EXPECT_FALSE(harnessRunTool(probe, {"jack_lsp"}).has_value()) << "the server still answers";
  EXPECT_NE(readFile(dir.file("tone.log")).find("ready"), std::string::npos);
  EXPECT_NE(readFile(dir.file("record.log")).find("recorded 0 frames"), std::string::npos)
      << readFile(dir.file("record.log"));
}

TEST(Harness, ServerThatCannotStartIsReportedAsSuch) {
  TempDir dir;
  Child harness;
  SpawnOptions o;
  o.argv = {GW_HARNESS_PATH, "--logs", dir.path, "440"};
  o.env = {{"PATH", "/nonexistent"}};  // no jackd, no jack_wait
  ASSERT_TRUE(spawnChild(harness, o));
  ASSERT_TRUE(waitExit(harness, 30));
  EXPECT_EQ(exitCode(harness), 1);
  EXPECT_EQ(harness.output, "failed: server\n");
}

}  // namespace
