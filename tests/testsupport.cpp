#include "testsupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/gwtest.XXXXXX";
  if (!mkdtemp(pattern.data())) std::abort();
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::string full = file(name);
  std::ofstream out(full, std::ios::binary);
  out << content;
  return full;
}

ScopedChdir::ScopedChdir(const std::string& to) {
  previous = std::filesystem::current_path().string();
  std::filesystem::current_path(to);
}

ScopedChdir::~ScopedChdir() {
  std::error_code ignored;
  std::filesystem::current_path(previous, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void startCapture() {
  fflush(stdout);
  testing::internal::CaptureStdout();
}

std::string endCapture() {
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

ToolRun runProgram(const char* program, const TempDir& dir, const std::vector<std::string>& args) {
  const std::string outPath = dir.file("stdout.txt"), errPath = dir.file("stderr.txt");
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }
  ToolRun run;
  int waitStatus = 0;
  if (child > 0 && waitpid(child, &waitStatus, 0) == child && WIFEXITED(waitStatus))
    run.status = WEXITSTATUS(waitStatus);
  run.out = readFile(outPath);
  run.err = readFile(errPath);
  return run;
}
