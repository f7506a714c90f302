#include "session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void execInChild(const SpawnOptions& o) {
  // A parent that waits for its stop signals blocks them; its children must
  // still end on them.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (const auto& [name, value] : o.env) setenv(name.c_str(), value.c_str(), 1);
  if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) {
    std::fprintf(stderr, "cannot enter %s: %s\n", o.cwd.c_str(), std::strerror(errno));
    _exit(127);
  }
  std::vector<char*> args;
  for (const std::string& a : o.argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
  _exit(127);
}

void reap(Child& child, int flags) {
  if (child.pid <= 0 || child.reaped) return;
  int status = 0;
  pid_t r = waitpid(child.pid, &status, flags);
  if (r == child.pid) {
    child.reaped = true;
    child.waitStatus = status;
  }
}

}  // namespace

bool spawnChild(Child& child, const SpawnOptions& o) {
  if (o.argv.empty()) return false;
  std::fflush(nullptr);
  int logFd = -1;
  if (!o.logPath.empty()) {
    logFd = open(o.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) {
      std::fprintf(stderr, "cannot write %s: %s\n", o.logPath.c_str(), std::strerror(errno));
      return false;
    }
  }

  if (o.terminal) {
    // A plain terminal that does not echo, so that the transcript holds only
    // what the program printed.
    termios mode = {};
    mode.c_iflag = ICRNL | IXON;
    mode.c_oflag = OPOST | ONLCR;
    mode.c_cflag = CS8 | CREAD | CLOCAL;
    mode.c_lflag = ISIG | ICANON | IEXTEN;
    mode.c_cc[VINTR] = 3;
    mode.c_cc[VEOF] = 4;
    mode.c_cc[VMIN] = 1;
    cfsetspeed(&mode, B38400);
    winsize size = {25, 100, 0, 0};
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, &mode, &size);
    if (pid < 0) {
      std::fprintf(stderr, "forkpty: %s\n", std::strerror(errno));
      if (logFd >= 0) close(logFd);
      return false;
    }
    if (pid == 0) execInChild(o);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    child.pid = pid;
    child.fd = master;
  } else {
    int out[2] = {-1, -1};
    if (o.readStdout && pipe2(out, O_CLOEXEC) != 0) {
      if (logFd >= 0) close(logFd);
      return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
      if (logFd >= 0) close(logFd);
      return false;
    }
    if (pid == 0) {
      int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 0);
      dup2(o.readStdout ? out[1] : (logFd >= 0 ? logFd : devnull), 1);
      dup2(logFd >= 0 ? logFd : devnull, 2);
      execInChild(o);
    }
    if (o.readStdout) {
      close(out[1]);
      child.fd = out[0];
    }
    child.pid = pid;
  }
  if (logFd >= 0) close(logFd);
  child.output.clear();
  child.cursor = 0;
  child.reaped = false;
  return true;
}

int pumpOutput(Child& child, int timeoutMs) {
  if (child.fd < 0) {
    reap(child, WNOHANG);
    return -1;
  }
  pollfd p = {child.fd, POLLIN, 0};
  int ready = poll(&p, 1, timeoutMs);
  if (ready <= 0) return 0;
  char buffer[4096];
  ssize_t n = read(child.fd, buffer, sizeof buffer);
  if (n <= 0) {
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    // End of output; on a pseudo-terminal the master reads EIO instead.
    close(child.fd);
    child.fd = -1;
    return -1;
  }
  if (child.mirrorFd >= 0) {
    ssize_t ignored = write(child.mirrorFd, buffer, static_cast<size_t>(n));
    (void)ignored;
  }
  for (ssize_t i = 0; i < n; ++i)
    if (buffer[i] != '\r') child.output.push_back(buffer[i]);
  return 1;
}

static void drainOutput(Child& child) {
  while (pumpOutput(child, 0) > 0) {
  }
}

int expectAny(Child& child, const std::vector<std::string>& texts, double seconds) {
  const auto start = Clock::now();
  for (;;) {
    std::size_t best = std::string::npos;
    int which = -1;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      std::size_t at = child.output.find(texts[i], child.cursor);
      if (at < best) {
        best = at;
        which = static_cast<int>(i);
      }
    }
    if (which >= 0) {
      child.cursor = best + texts[which].size();
      return which;
    }
    double left = seconds - secondsSince(start);
    if (left <= 0) return -1;
    if (pumpOutput(child, static_cast<int>(left * 1000) + 1) < 0) {
      // Output has ended: one last look before giving up.
      for (std::size_t i = 0; i < texts.size(); ++i) {
        std::size_t at = child.output.find(texts[i], child.cursor);
        if (at != std::string::npos) {
          child.cursor = at + texts[i].size();
          return static_cast<int>(i);
        }
      }
      return -1;
    }
  }
}

bool expectText(Child& child, const std::string& text, double seconds) {
  return expectAny(child, {text}, seconds) == 0;
}

bool sendKeys(Child& child, const std::string& keys) {
  if (child.fd < 0) return false;
  return write(child.fd, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

bool waitExit(Child& child, double seconds) {
  const auto start = Clock::now();
  for (;;) {
    reap(child, WNOHANG);
    if (child.reaped) {
      drainOutput(child);
      return true;
    }
    double left = seconds - secondsSince(start);
    if (left <= 0) return false;
    if (child.fd >= 0)
      pumpOutput(child, left < 0.05 ? static_cast<int>(left * 1000) + 1 : 50);
    else
      usleep(10 * 1000);
  }
}

int exitCode(const Child& child) {
  if (!child.reaped) return -1;
  if (WIFEXITED(child.waitStatus)) return WEXITSTATUS(child.waitStatus);
  if (WIFSIGNALED(child.waitStatus)) return 128 + WTERMSIG(child.waitStatus);
  return -1;
}

void endChild(Child& child, double graceSeconds) {
  if (child.pid > 0 && !child.reaped) {
    reap(child, WNOHANG);
    if (!child.reaped) {
      kill(child.pid, SIGTERM);
      if (!waitExit(child, graceSeconds)) {
        kill(child.pid, SIGKILL);
        reap(child, 0);
      }
    }
  }
  if (child.fd >= 0) {
    drainOutput(child);
    if (child.fd >= 0) close(child.fd);
    child.fd = -1;
  }
}

void keepReading(Child& child, double seconds) {
  const auto start = Clock::now();
  for (;;) {
    double left = seconds - secondsSince(start);
    if (left <= 0) return;
    if (child.fd >= 0)
      pumpOutput(child, static_cast<int>(left * 1000) + 1);
    else
      usleep(static_cast<useconds_t>(left * 1e6));
  }
}
