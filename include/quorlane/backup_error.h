#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace quorlane {

// The failure of a step of a run, of either program. The run logs its
// message, unless the thrower has logged the failure in full already, and
// records it; `stage` names what the run record says of it where the
// thrower knows that better than the run does.
class BackupError : public std::runtime_error {
 public:
  explicit BackupError(std::string message, std::string stage = {}, bool alreadyReported = false)
      : std::runtime_error(std::move(message)),
        stage_(std::move(stage)),
        alreadyReported_(alreadyReported) {}
  // A failure that the thrower has logged in full.
  static BackupError reported(std::string summary, std::string stage = {}) {
    return BackupError(std::move(summary), std::move(stage), true);
  }

  const std::string& stage() const { return stage_; }
  bool alreadyReported() const { return alreadyReported_; }

 private:
  std::string stage_;
  bool alreadyReported_;
};

// A termination signal noticed between two steps, or after an outside
// command.
class BackupInterrupted : public std::exception {
 public:
  explicit BackupInterrupted(int signo) : signo_(signo) {}

  int signo() const { return signo_; }
  const char* what() const noexcept override { return "backup interrupted by termination signal"; }

 private:
  int signo_;
};

// Throws BackupInterrupted once a termination signal has been caught.
void checkInterrupted();

// Whole-file reads and writes of a step, which fail it when they fail.
std::string readFileOrFail(const std::string& path);
void writeFileOrFail(const std::string& path, const std::string& content);

}  // namespace quorlane
