#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace quorlane {

// A failure of one of the backup steps. alreadyReported means the thrower has
// logged the failure in full, so it must not be logged again.
class BackupError : public std::runtime_error {
 public:
  BackupError(std::string message, std::string stage = {}, bool alreadyReported = false)
      : std::runtime_error(std::move(message)),
        stage_(std::move(stage)),
        alreadyReported_(alreadyReported) {}

  const std::string& stage() const { return stage_; }
  bool alreadyReported() const { return alreadyReported_; }

 private:
  std::string stage_;
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
