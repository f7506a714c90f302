// Small helpers for the unit tests: a private temporary folder and
// standard-output capture.
#pragma once

#include <string>
#include <vector>

// A fresh folder under $TMPDIR, removed with its contents on destruction.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // Writes `content` to `name` inside the folder and returns its full path.
  std::string write(const std::string& name, const std::string& content) const;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// Changes the working directory for the lifetime of the object.
struct ScopedChdir {
  std::string previous;
  explicit ScopedChdir(const std::string& to);
  ~ScopedChdir();
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;
};

std::string readFile(const std::string& path);

// A program run to its end, with what it wrote to standard output and error.
struct ToolRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
};
// Runs `program` with `args`; its output goes through files in `dir`.
ToolRun runProgram(const char* program, const TempDir& dir, const std::vector<std::string>& args);

// Captures what printf and friends write to standard output.
void startCapture();
std::string endCapture();
