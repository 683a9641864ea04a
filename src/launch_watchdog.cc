#include "quorlane/launch_watchdog.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace quorlane {

namespace fs = std::filesystem;

std::vector<pid_t> childProcesses(pid_t parent) {
  std::vector<pid_t> children;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    pid_t ppid = 0;
    if (rest >> state >> ppid && ppid == parent) children.push_back(std::stoi(name));
  }
  return children;
}

std::vector<pid_t> processesWith(const std::vector<std::string>& words) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    const std::string cmdline{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto held = [&](const std::string& word) {
      return cmdline.find(word) != std::string::npos;
    };
    if (!cmdline.empty() && std::all_of(words.begin(), words.end(), held)) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

LaunchWatchdog::LaunchWatchdog(std::chrono::milliseconds limit, Targets targets)
    : thread_([this, limit, targets = std::move(targets)] {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, limit, [this] { return disarmed_; })) return;
        fired_ = true;
        for (const pid_t target : targets()) kill(target, SIGKILL);
      }) {}

LaunchWatchdog::~LaunchWatchdog() { disarm(); }

void LaunchWatchdog::disarm() {
  {
    const std::lock_guard lock(mutex_);
    disarmed_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace quorlane
