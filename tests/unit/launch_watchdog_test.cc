#include "quorlane/launch_watchdog.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "child_process.h"

namespace quorlane {
namespace {

// Each case runs in a child of its own, so that the only processes the
// watchdog can find below it are the ones the case starts.
pid_t startSleeper() {
  const pid_t pid = fork();
  if (pid == 0) {
    pause();
    _exit(0);
  }
  return pid;
}

TEST(LaunchWatchdog, KillsTheChildrenOnceTheLimitHasPassed) {
  const test_support::ChildOutcome outcome = test_support::runInChild([] {
    const pid_t sleeper = startSleeper();
    const std::vector<pid_t> children = childProcesses(getpid());
    if (std::find(children.begin(), children.end(), sleeper) == children.end()) return 10;
    LaunchWatchdog watchdog(std::chrono::milliseconds(0));
    int status = 0;
    waitpid(sleeper, &status, 0);
    watchdog.disarm();
    if (!watchdog.fired()) return 11;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 0 : 12;
  });
  EXPECT_EQ(outcome.status, 0) << outcome.err;
}

TEST(LaunchWatchdog, ADisarmedWatchdogKillsNothing) {
  const test_support::ChildOutcome outcome = test_support::runInChild([] {
    const pid_t sleeper = startSleeper();
    {
      LaunchWatchdog watchdog(std::chrono::hours(1));
      watchdog.disarm();
      if (watchdog.fired()) return 11;
    }
    int status = 0;
    const bool alive = waitpid(sleeper, &status, WNOHANG) == 0;
    kill(sleeper, SIGKILL);
    waitpid(sleeper, &status, 0);
    return alive ? 0 : 12;
  });
  EXPECT_EQ(outcome.status, 0) << outcome.err;
}

}  // namespace
}  // namespace quorlane
