#include <cstdio>

#include "console.h"

namespace {

int readFromConsole(void*) {
  return readKey();
}
bool consoleEnded(void*) {
  return keyInputEnded();
}

KeySource keySource{readFromConsole, consoleEnded, nullptr};

// The next key, or nothing (false) once input has ended for good. The prompt
// line goes out first so that a piped standard output shows the question too.
bool nextKey(signed char& key) {
  fflush(stdout);
  int code = keySource.read(keySource.context);
  if (code == -1 && keySource.ended(keySource.context)) return false;
  // Compared and printed as signed 8-bit values: 128..255 become -128..-1.
  key = static_cast<signed char>(code & 0xff);
  return true;
}

const char* shownName(const char* name) {
  return name ? name : "(null)";
}

}  // namespace

int promptChoose(const char* choices, signed char defaultKey, const char* defaultKeyName,
                 int defaultValue) {
  printf("Press any of '");
  for (const char* c = choices; *c; ++c) printf("%c%s", *c, c[1] ? "', '" : "'");
  printf(" to choose, or %s for default ('%d')\n", shownName(defaultKeyName), defaultValue);

  signed char key;
  for (;;) {
    if (!nextKey(key)) {
      // Input has ended: go on as if the default key had been pressed.
      key = defaultKey;
      break;
    }
    if (key == defaultKey) break;
    bool listed = false;
    for (const char* c = choices; *c && !listed; ++c) listed = static_cast<signed char>(*c) == key;
    if (listed) break;
    if (key != -1) printf("Key code: %d\n", key);
  }
  printf("Key pressed: '%c' (ASCII code: '%d')\n", key, key);
  return key == defaultKey ? defaultValue : key - 48;
}

int promptProceed(signed char defaultKey, const char* defaultKeyName, signed char altKey,
                  const char* altAction) {
  printf("Press %s to proceed, '%c' to %s\n", shownName(defaultKeyName), altKey, altAction);
  signed char key;
  for (;;) {
    if (!nextKey(key)) return -1;
    if (key == altKey) return 1;
    if (key == defaultKey) return 0;
    if (key != -1) printf("Key code: %d\n", key);
  }
}

int promptAnyKey() {
  printf("Press any key to proceed\n");
  fflush(stdout);
  return keySource.read(keySource.context);
}

KeySource setKeySource(KeySource source) {
  KeySource previous = keySource;
  keySource = source.read ? source : KeySource{readFromConsole, consoleEnded, nullptr};
  return previous;
}
