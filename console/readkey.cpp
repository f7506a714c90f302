// Keys from standard input. A terminal is switched to raw input for each read
// (and, once held, kept quiet between reads as well) and its escape sequences
// are decoded into the PC keyboard's codes; from a pipe or a file every byte
// is a key code as it stands.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "console.h"
#include "keydecoder.h"

namespace {

struct KeyInput {
  int fd = STDIN_FILENO;
  bool opened = false;
  bool terminal = false;
  bool ended = false;
  bool held = false;  // quiet between reads too, until released
  termios heldFrom{};
  KeyDecoder decoder;  // also holds the pending second code of an extended key
};

KeyInput keyInput;

// What the signal handler needs to put the terminal back when a signal ends
// the program; the mode is written before the fd is set.
termios modeToRestore;
volatile sig_atomic_t rawTerminalFd = -1;

// Signals whose default action ends the program without a core dump; they
// are watched only while left at that default.
constexpr int endingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                                 SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2};
// Signals of a fault (a crash, a failed assertion), whose default action
// dumps core. A handler that was there before (a sanitizer's, say) still
// gets them once the terminal is back.
constexpr int crashSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE};
constexpr int endingSignalCount = sizeof endingSignals / sizeof endingSignals[0];
constexpr int crashSignalCount = sizeof crashSignals / sizeof crashSignals[0];
constexpr int watchedSignalCount = endingSignalCount + crashSignalCount;

int watchedSignal(int i) {
  return i < endingSignalCount ? endingSignals[i] : crashSignals[i - endingSignalCount];
}

// The action each signal had before it was watched, for the handler to pass
// the signal on to; written before the handler is installed.
struct sigaction actionBefore[NSIG];

void restoreTerminalAndEnd(int signal, siginfo_t* info, void*) {
  const int savedErrno = errno;
  int fd = rawTerminalFd;
  if (fd >= 0) tcsetattr(fd, TCSANOW, &modeToRestore);
  sigaction(signal, &actionBefore[signal], nullptr);
  // A fault of the processor (a crash signal the kernel sent) comes again
  // when the handler returns, now to the action before, with everything it
  // tells about the fault. Any other signal is sent again: blocked while
  // this handler runs, it is delivered to that action right after.
  const bool crash = signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE;
  if (!crash || !info || info->si_code <= 0) raise(signal);
  errno = savedErrno;
}

// The signals this program now watches, restoring the terminal first.
struct RestoringSignals {
  struct sigaction previous[watchedSignalCount];
  bool replaced[watchedSignalCount] = {};
};

bool shouldWatch(int i, const struct sigaction& previous) {
  if (i >= endingSignalCount) return previous.sa_handler != SIG_IGN;
  // Ending signals the program ignores or handles itself are left to it.
  return !(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_DFL;
}

void watchForEndingSignals(RestoringSignals& signals, int fd, const termios& mode) {
  modeToRestore = mode;
  std::atomic_signal_fence(std::memory_order_seq_cst);  // the mode is complete before the fd shows
  rawTerminalFd = fd;
  struct sigaction restoring {};
  restoring.sa_sigaction = restoreTerminalAndEnd;
  restoring.sa_flags = SA_SIGINFO;
  sigemptyset(&restoring.sa_mask);
  for (int i = 0; i < watchedSignalCount; ++i) {
    const int signal = watchedSignal(i);
    if (sigaction(signal, nullptr, &signals.previous[i]) == 0 &&
        shouldWatch(i, signals.previous[i])) {
      actionBefore[signal] = signals.previous[i];
      signals.replaced[i] = sigaction(signal, &restoring, nullptr) == 0;
    }
  }
}

void stopWatching(RestoringSignals& signals) {
  rawTerminalFd = -1;
  for (int i = 0; i < watchedSignalCount; ++i) {
    if (signals.replaced[i]) sigaction(watchedSignal(i), &signals.previous[i], nullptr);
    signals.replaced[i] = false;
  }
}

RestoringSignals heldSignals;

// Every byte as typed: no echo, no line editing, Enter stays 13, Ctrl+S and
// Ctrl+Q arrive as keys. Output processing stays on, so lines printed
// meanwhile (the audio thread's messages) still start at the left margin.
void makeQuiet(termios& mode) {
  mode.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  mode.c_lflag &= ~(ECHO | ECHONL | ICANON | IEXTEN);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
}

// Between prompts Ctrl+C still ends the program, as it does in any console
// program; every other key waits for the next prompt as the code it is.
termios heldMode(const termios& original) {
  termios mode = original;
  makeQuiet(mode);
  mode.c_cc[VQUIT] = _POSIX_VDISABLE;
  mode.c_cc[VSUSP] = _POSIX_VDISABLE;
  return mode;
}

struct RawMode {
  int fd = -1;
  termios saved{};
  bool watching = false;
  RestoringSignals signals;
};

bool enterRawMode(RawMode& raw, int fd, bool held) {
  if (tcgetattr(fd, &raw.saved) != 0) return false;
  raw.fd = fd;
  // A held terminal is watched already, for the mode it was held from.
  raw.watching = !held;
  if (raw.watching) watchForEndingSignals(raw.signals, fd, raw.saved);
  termios mode = raw.saved;
  makeQuiet(mode);
  // Ctrl+C, Ctrl+\ and Ctrl+Z are keys while a prompt waits.
  mode.c_lflag &= ~ISIG;
  // TCSANOW rather than TCSAFLUSH: keys typed ahead are answered, not dropped.
  tcsetattr(fd, TCSANOW, &mode);
  return true;
}

void leaveRawMode(RawMode& raw) {
  if (raw.fd < 0) return;
  tcsetattr(raw.fd, TCSANOW, &raw.saved);
  if (raw.watching) stopWatching(raw.signals);
}

long long nowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

enum class ByteRead { byte, timedOut, ended };

// One byte from fd, waiting at most timeoutMs, or for ever when it is negative.
// Reads interrupted by a signal are retried.
ByteRead readByte(int fd, unsigned char& byte, int timeoutMs) {
  long long deadline = timeoutMs >= 0 ? nowMs() + timeoutMs : -1;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      long long left = deadline - nowMs();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    // poll rather than a blocking read alone: it gives the timeout, and it
    // waits properly on a standard input someone left non-blocking.
    pollfd watch{fd, POLLIN, 0};
    int ready = poll(&watch, 1, wait);
    if (ready < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return ByteRead::ended;
    }
    if (ready == 0) return ByteRead::timedOut;
    ssize_t got = read(fd, &byte, 1);
    if (got == 1) return ByteRead::byte;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // End of file, a hung-up terminal (EIO) or a descriptor that cannot be
    // read at all: no key can come any more.
    return ByteRead::ended;
  }
}

int readTerminalKey(KeyInput& input) {
  RawMode raw;
  enterRawMode(raw, input.fd, input.held);
  int code;
  while ((code = keyDecoderTake(input.decoder)) < 0) {
    unsigned char byte;
    bool inSequence = keyDecoderInSequence(input.decoder);
    ByteRead result = readByte(input.fd, byte, inSequence ? escapeTimeoutMs : -1);
    if (result == ByteRead::byte) {
      // Enter typed while no read waited went through the cooked mode's CR to
      // LF translation; it is still the Enter key, 13. (Ctrl+J, the only
      // other source of LF, is taken for Enter as well.)
      keyDecoderFeed(input.decoder, byte == '\n' ? '\r' : byte);
      continue;
    }
    keyDecoderFlush(input.decoder);
    if (result == ByteRead::ended) {
      input.ended = true;
      code = keyDecoderTake(input.decoder);
      break;
    }
  }
  leaveRawMode(raw);
  return code;
}

}  // namespace

int readKey() {
  KeyInput& input = keyInput;
  int code = keyDecoderTake(input.decoder);
  if (code >= 0 || input.ended) return code;
  if (!input.opened) {
    input.opened = true;
    termios mode;
    input.terminal = tcgetattr(input.fd, &mode) == 0;
  }
  if (input.terminal) return readTerminalKey(input);
  unsigned char byte;
  if (readByte(input.fd, byte, -1) == ByteRead::byte) return byte;
  input.ended = true;
  return -1;
}

bool keyInputEnded() {
  return keyInput.ended && keyInput.decoder.count == 0;
}

void keyInputAttach(int fd) {
  keyInputRelease();
  keyInput = KeyInput{};
  keyInput.fd = fd;
}

void keyInputHold() {
  KeyInput& input = keyInput;
  termios original;
  if (input.held || tcgetattr(input.fd, &original) != 0) return;
  input.opened = true;
  input.terminal = true;
  input.held = true;
  input.heldFrom = original;
  watchForEndingSignals(heldSignals, input.fd, original);
  const termios mode = heldMode(original);
  tcsetattr(input.fd, TCSANOW, &mode);
  // Every way out through exit or a return from main puts the terminal back.
  static bool registered = false;
  if (!registered) registered = atexit(keyInputRelease) == 0;
}

void keyInputRelease() {
  KeyInput& input = keyInput;
  if (!input.held) return;
  input.held = false;
  tcsetattr(input.fd, TCSANOW, &input.heldFrom);
  stopWatching(heldSignals);
}
