#include "quorlane/launch_watchdog.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

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

// An appliance under libvirt is the daemon's child, not this process's.
TEST(LaunchWatchdog, KillsWhatItsTargetsNameThen) {
  const test_support::ChildOutcome outcome = test_support::runInChild([] {
    const std::string mark = "guest=guestfs-" + std::to_string(getpid());
    const pid_t sleeper = fork();
    if (sleeper == 0) {
      // A group of its own, so that its sleep goes with it at the end.
      setpgid(0, 0);
      execl("/bin/sh", "sh", "-c", "sleep 60 >/dev/null 2>&1", mark.c_str(),
            "/srv/backups/web01.qcow2", static_cast<char*>(nullptr));
      _exit(127);
    }
    std::vector<pid_t> found;
    for (int i = 0; i < 500 && found.empty(); ++i) {
      found = processesWith({mark, "/srv/backups/web01.qcow2"});
      if (found.empty()) usleep(10000);
    }
    if (found != std::vector<pid_t>{sleeper}) return 10;
    if (!processesWith({mark, "/srv/backups/other.qcow2"}).empty()) return 11;
    LaunchWatchdog watchdog(std::chrono::milliseconds(0), [&] { return found; });
    int status = 0;
    waitpid(sleeper, &status, 0);
    watchdog.disarm();
    kill(-sleeper, SIGKILL);
    return watchdog.fired() && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 0 : 12;
  });
  EXPECT_EQ(outcome.status, 0) << outcome.err;
}

}  // namespace
}  // namespace quorlane
