// The note-name text: "A4 250", "C#5+30 125", "R 500", "-2", "# comment".
#include <cmath>
#include <cstdlib>

#include "melody.h"

namespace {

struct Token {
  std::string text;
  int line;
};

// Shows a token in a message: at most 40 characters, anything unprintable
// escaped, so a binary file still gives one readable line.
std::string quoted(const std::string& token) {
  std::string out = "'";
  for (std::size_t i = 0; i < token.size() && i < 40; ++i) {
    const unsigned char c = static_cast<unsigned char>(token[i]);
    if (c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
    } else {
      static const char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  if (token.size() > 40) out += "...";
  return out + "'";
}

std::vector<Token> tokenize(const std::string& text) {
  std::vector<Token> tokens;
  int line = 1;
  std::size_t at = 0;
  auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  };
  while (at < text.size()) {
    const char c = text[at];
    if (c == '\n') ++line;
    if (space(c)) {
      ++at;
      continue;
    }
    if (c == '#') {  // no note begins with '#': a comment to the end of the line
      while (at < text.size() && text[at] != '\n') ++at;
      continue;
    }
    const std::size_t start = at;
    while (at < text.size() && !space(text[at])) ++at;
    tokens.push_back({text.substr(start, at - start), line});
  }
  return tokens;
}

// A duration: a plain decimal number of milliseconds, "ms" allowed after it.
bool parseDuration(const std::string& token, double& ms) {
  if (token.empty() || !((token[0] >= '0' && token[0] <= '9') || token[0] == '.')) return false;
  char* end = nullptr;
  ms = std::strtod(token.c_str(), &end);
  const std::string rest = end;
  return end != token.c_str() && (rest.empty() || rest == "ms") && std::isfinite(ms) && ms > 0;
}

}  // namespace

bool convertNoteNames(const std::string& name, const std::string& text,
                      const MelodyOptions& options, Melody& melody, std::string& error) {
  if (text.find('\0') != std::string::npos) {
    error = name + ": neither a MIDI file (it does not begin with MThd) nor a note-name text";
    return false;
  }
  if (options.trackGiven || options.channelGiven) {
    error = name + ": --track and --channel apply to MIDI files, and this one is read as note " +
            "names (it does not begin with MThd)";
    return false;
  }
  // Editors on Windows start a UTF-8 text with a byte-order mark.
  const std::string byteOrderMark = "\xEF\xBB\xBF";
  const bool marked = text.compare(0, byteOrderMark.size(), byteOrderMark) == 0;
  const std::vector<Token> tokens = tokenize(marked ? text.substr(byteOrderMark.size()) : text);
  std::vector<Span> spans;
  // Milliseconds since the start, summed exactly as written; each boundary
  // is rounded on its own, so the error stays below half a tick.
  double clock = 0;
  constexpr double longest = 1e15;  // ms; keeps tick counts in range
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    const std::string at = name + ", line " + std::to_string(token.line) + ": ";
    if (token.text[0] == '-') {
      char* end = nullptr;
      const double value = std::strtod(token.text.c_str(), &end);
      if (*end != '\0' || !std::isfinite(value)) {
        error = at + "unknown note name " + quoted(token.text);
        return false;
      }
      // As in melody files: the magnitude with its fraction cut off.
      const double count = std::trunc(-value);
      if (count < 1 || count > 2147483647.0) {
        error = at + "invalid repetition count " + quoted(token.text) +
                ": it must be -1 or below, and above -2147483648";
        return false;
      }
      if (spans.empty()) {
        error = at + "repetition count " + quoted(token.text) + " comes before any note";
        return false;
      }
      spans.back().repeat = static_cast<int>(count);  // a second count replaces the first
      continue;
    }
    const bool rest = token.text == "R" || token.text == "r";
    double pitch = 0;
    if (!rest && !parseNoteName(token.text, pitch)) {
      error = at + "unknown note name " + quoted(token.text);
      return false;
    }
    if (i + 1 == tokens.size()) {
      error = at + quoted(token.text) + " has no duration";
      return false;
    }
    const Token& duration = tokens[++i];
    double ms;
    if (!parseDuration(duration.text, ms)) {
      error = name + ", line " + std::to_string(duration.line) + ": duration " +
              quoted(duration.text) + " of " + quoted(token.text) +
              " is not a positive number of milliseconds";
      return false;
    }
    const double start = clock;
    clock += ms;
    if (!(clock <= longest)) {
      error = at + "the melody is too long";
      return false;
    }
    spans.push_back({static_cast<long long>(std::floor(start + 0.5)),
                     static_cast<long long>(std::floor(clock + 0.5)), rest, pitch, 0,
                     "line " + std::to_string(token.line)});
  }
  if (spans.empty()) {
    error = name + ": no notes";
    return false;
  }
  return finishMelody(name, spans, options, melody, error);
}
