// Key reading and the three prompts through which every question is asked.
#pragma once

// Next key code: 0..255, extended keys as a lead 0 or 224 followed by the
// pending second code; -1 for a failed read.
int readKey();
// True once standard input has ended, so no key can ever come again.
bool keyInputEnded();

// Result: the key's signed value minus 48, or defaultValue for the default
// key (also once input has ended).
int promptChoose(const char* choices, signed char defaultKey, const char* defaultKeyName,
                 int defaultValue);
// Result: 0 for the default key, 1 for altKey, -1 once input has ended.
int promptProceed(signed char defaultKey, const char* defaultKeyName, signed char altKey,
                  const char* altAction);
int promptAnyKey();

// Reads keys from `fd` from now on, with nothing pending and input not ended.
// The program reads standard input without calling this; tests hand in a
// pseudo-terminal or a pipe. Not to be called while a read waits.
void keyInputAttach(int fd);

// Keeps a terminal on the key input quiet from now until the program ends:
// no echo and no line editing, so that keys typed while no prompt waits reach
// the next one as typed. Ctrl+C still ends the program between prompts, and
// is the key code 3 while one waits. The terminal's mode comes back with
// keyInputRelease, when the program exits or returns from main, when a
// signal whose default is to end the program arrives, and on a crash signal
// (SIGSEGV, SIGABRT, SIGBUS, SIGFPE), which then takes the course it would
// have taken: its default action, core dump included, or the handler that
// was there before. Does nothing for a pipe or a file.
void keyInputHold();
void keyInputRelease();

// How long after ESC a terminal has to send the rest of a key's sequence
// before the ESC counts as the Escape key on its own.
constexpr int escapeTimeoutMs = 50;

// Where the prompts take their keys from: readKey and keyInputEnded unless a
// test puts its own source in.
struct KeySource {
  int (*read)(void* context);
  bool (*ended)(void* context);
  void* context;
};
// Returns the source it replaces.
KeySource setKeySource(KeySource source);
