#include "quorlane/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string_view>

#include "quorlane/fd.h"

extern char** environ;

namespace quorlane {

namespace {

// Outside programs answer in the C locale, whatever language the caller set:
// their output is parsed, and libvirt would otherwise translate the states and
// errors it prints. C.UTF-8 rather than C: in plain C, virsh's tables print
// every non-ASCII byte of a path as "\xff". LANGUAGE goes too, since gettext
// reads it before LC_ALL. Everything else (PATH, LIBVIRT_DEFAULT_URI, ...)
// passes through unchanged.
std::vector<std::string> childEnvironment() {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view variable = *entry;
    if (variable.starts_with("LC_ALL=") || variable.starts_with("LANGUAGE=")) continue;
    env.emplace_back(variable);
  }
  env.emplace_back("LC_ALL=C.UTF-8");
  return env;
}

std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

struct Pipe {
  Fd read;
  Fd write;
};

// Close-on-exec keeps the pipe out of any program started later; the child's
// own copies on descriptors 1 and 2 lose the flag through dup2.
bool openPipe(Pipe& pipe) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pipe.read = Fd(fds[0]);
  pipe.write = Fd(fds[1]);
  return true;
}

// Everything the child needs is built before the fork: after it, only
// async-signal-safe calls.
[[noreturn]] void execChild(char* const* args, char* const* env, int outWrite, int errWrite) {
  dup2(outWrite, STDOUT_FILENO);
  dup2(errWrite, STDERR_FILENO);
  {
    // Closed before the exec, unless it already is standard input.
    Fd devNull(open("/dev/null", O_RDONLY));
    if (devNull) dup2(devNull.get(), STDIN_FILENO);
    if (devNull.get() == STDIN_FILENO) devNull.release();
  }
  execvpe(args[0], args, env);
  _exit(127);
}

// Drains both pipes in one loop, so that a program filling one pipe while
// the other is being read can never block the exchange. A watcher sees the
// output so far at least once a second; when it says stop, the program gets
// SIGTERM and is drained to its end like any other.
void readBoth(Fd& outRead, Fd& errRead, std::string& out, std::string& err, pid_t pid,
              const OutputWatcher* watch) {
  Fd* sources[2] = {&outRead, &errRead};
  pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  char buffer[4096];
  bool stopped = false;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (watch != nullptr && !stopped && !(*watch)(out, err)) {
      kill(pid, SIGTERM);
      stopped = true;
    }
    if (poll(fds, 2, watch != nullptr ? 1000 : -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
      ssize_t n;
      do {
        n = read(fds[i].fd, buffer, sizeof buffer);
      } while (n < 0 && errno == EINTR);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        sources[i]->close();
        fds[i].fd = -1;
      }
    }
  }
  // After a failed poll, a program still writing ends on SIGPIPE instead of
  // blocking the wait for it.
  outRead.close();
  errRead.close();
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

CommandResult run(const std::vector<std::string>& argv, const OutputWatcher* watch) {
  CommandResult result;
  if (argv.empty()) return result;
  const std::vector<char*> args = pointersTo(argv);
  const std::vector<std::string> envStrings = childEnvironment();
  const std::vector<char*> env = pointersTo(envStrings);

  Pipe outPipe;
  Pipe errPipe;
  if (!openPipe(outPipe) || !openPipe(errPipe)) return result;

  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) execChild(args.data(), env.data(), outPipe.write.get(), errPipe.write.get());

  result.started = true;
  outPipe.write.close();
  errPipe.write.close();
  readBoth(outPipe.read, errPipe.read, result.out, result.err, pid, watch);

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) return result;
  result.exitCode = decodeStatus(status);
  return result;
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv) { return run(argv, nullptr); }

CommandResult runCommand(const std::vector<std::string>& argv, const OutputWatcher& watch) {
  return run(argv, &watch);
}

}  // namespace quorlane
