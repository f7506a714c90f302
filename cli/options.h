// Command-line helpers shared by the user tools (glidewarp-render,
// glidewarp-melody), so both word their complaints alike.
#pragma once

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

// A whole decimal number from `low` to `high` and nothing else.
inline bool parseWholeNumber(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && errno == 0 && value >= low && value <= high;
}

// The one-line complaint about an option getopt_long refused: `code` is
// what it returned, ':' for a missing value, anything else for an unknown
// option. Call right after getopt_long, while optind still points past it.
inline std::string optionError(int code, char** argv) {
  if (code == ':') return std::string("option ") + argv[optind - 1] + " needs a value";
  return std::string("unknown option '") + argv[optind - 1] + "' (see --help)";
}

// The complaint about a wrong number of operands, `expected` naming them.
inline std::string operandCountError(const char* expected, long count) {
  return std::string("expected ") + expected + ", got " + std::to_string(count) +
         (count == 1 ? " argument" : " arguments") + " (see --help)";
}

// One of a fixed set of words, each standing for a value.
template <typename T, std::size_t N>
bool parseChoice(const char* text, const std::pair<const char*, T> (&choices)[N], T& value) {
  for (const auto& [word, meaning] : choices) {
    if (std::strcmp(text, word) == 0) {
      value = meaning;
      return true;
    }
  }
  return false;
}

// Exit status for a command line the tool cannot take.
constexpr int badUsageStatus = 2;

// The whole of a user tool's main: read the command line, answer --help, or
// run. `Command` has a `help` flag; a bad command line is one line on
// standard error, prefixed with the tool's name.
template <typename Command>
int runCommandLine(const char* name, const char* usage, int argc, char** argv,
                   bool (*parse)(int, char**, Command&, std::string&), int (*run)(const Command&)) {
  Command command;
  std::string error;
  if (!parse(argc, argv, command, error)) {
    std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    return badUsageStatus;
  }
  if (command.help) {
    std::fputs(usage, stdout);
    return 0;
  }
  return run(command);
}
