// Runs a piece of test code in a forked child with its standard output and
// standard error captured: for code that ends the process, or that changes
// process-wide state (mount namespaces) the test binary must not keep.

#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>

namespace quorlane::test_support {

struct ChildOutcome {
  int status = -1;  // exit status; -1 if the child was killed (e.g. an uncaught exception)
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// Reads both pipes until both are closed, so that a child filling one of
// them never blocks while the parent waits on the other.
inline void drainPipes(int outFd, int errFd, std::string& out, std::string& err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  char buffer[4096];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
}

// Runs body in a forked child whose standard output and standard error go
// to pipes, and waits for it. The child exits with body's return value
// (body may also end the process itself). The parent's buffered output is
// flushed first so that the child does not write it a second time.
inline ChildOutcome runInChild(const std::function<int()>& body) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return {};
  }
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    _exit(body());
  }
  close(outPipe[1]);
  close(errPipe[1]);
  ChildOutcome outcome;
  drainPipes(outPipe[0], errPipe[0], outcome.out, outcome.err);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

// Exit statuses of a sandboxed child whose sandbox could not be set up;
// no body returns them.
inline constexpr int kNoNamespace = 77;
inline constexpr int kMountFailed = 78;

// Runs body in a forked child (runInChild) inside a private mount namespace
// with an empty tmpfs over /var/log, where the programs append their
// application logs, and one over /run, where they take their VMs' locks:
// nothing of the machine's is touched.
inline ChildOutcome runInSandbox(const std::function<int()>& body) {
  return runInChild([&body] {
    if (unshare(CLONE_NEWNS) != 0) return kNoNamespace;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kMountFailed;
    for (const char* dir : {"/var/log", "/run"}) {
      if (mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0) return kMountFailed;
    }
    return body();
  });
}

}  // namespace quorlane::test_support
