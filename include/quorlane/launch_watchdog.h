#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorlane {

// The process ids whose parent is `parent`, as /proc lists them.
std::vector<pid_t> childProcesses(pid_t parent);

// The process ids whose command line holds each of `words`.
std::vector<pid_t> processesWith(const std::vector<std::string>& words);

// Bounds a start that may never end: unless disarmed within `limit`, it
// kills the processes that `targets` names then (by default every child
// process of this one: the appliance's QEMU, which the start waits for, is
// one), so that the start fails instead of hanging.
class LaunchWatchdog {
 public:
  using Targets = std::function<std::vector<pid_t>()>;
  explicit LaunchWatchdog(std::chrono::milliseconds limit,
                          Targets targets = [] { return childProcesses(getpid()); });
  LaunchWatchdog(const LaunchWatchdog&) = delete;
  LaunchWatchdog& operator=(const LaunchWatchdog&) = delete;
  ~LaunchWatchdog();

  void disarm();
  // Whether the limit passed and the children were killed.
  bool fired() const { return fired_; }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool disarmed_ = false;
  std::atomic<bool> fired_{false};
  std::thread thread_;
};

}  // namespace quorlane
