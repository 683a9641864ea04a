#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace quorlane {

// A failure of one of the backup steps. The run logs its message, unless
// the thrower has logged the failure in full already.
class BackupError : public std::runtime_error {
 public:
  explicit BackupError(std::string message) : BackupError(std::move(message), false) {}
  // A failure that the thrower has logged in full.
  static BackupError reported(std::string summary) { return BackupError(std::move(summary), true); }

  bool alreadyReported() const { return alreadyReported_; }

 private:
  BackupError(std::string message, bool alreadyReported)
      : std::runtime_error(std::move(message)), alreadyReported_(alreadyReported) {}

  bool alreadyReported_;
};

// A termination signal noticed between two steps.
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
