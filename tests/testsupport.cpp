#include "testsupport.h"

#include <gtest/gtest.h>
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
