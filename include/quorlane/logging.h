#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quorlane {

// Prints timestamped lines on the console and, once a backup directory
// exists, appends the same lines to the per-backup log file. The file is
// opened for each line, so every line is on disk when the call returns, and
// every console line is flushed, so a pipe (the journal, cron) sees it at once.
class Logger {
 public:
  void setVerbose(bool verbose);
  void setBackupLog(std::string path);
  // Info lines go to standard error, for a run whose standard output is data.
  void setInfoOnStderr(bool onStderr);

  void info(std::string_view message) const;
  void warn(std::string_view message) const;
  void error(std::string_view message) const;
  void trace(std::string_view message) const;

 private:
  void emit(std::ostream& stream, std::string_view prefix, std::string_view message) const;

  bool verbose_ = false;
  bool infoOnStderr_ = false;
  std::string backupLog_;
};

// The message of a line that the logger wrote at info level, without its
// time frame; nothing for any other line.
std::optional<std::string_view> infoMessage(std::string_view line);

// The current local time in the given strftime format; empty if it cannot be formatted.
std::string formatLocalTime(const char* format);

// The current local time as "YYYY-MM-DD HH:MM:SS".
std::string nowTimestamp();

// Seconds since the epoch.
std::int64_t nowEpoch();

// Control characters in a record would let a value start a forged record:
// each becomes \xHH.
std::string escapeControlCharacters(const std::string& text);

struct RecordField {
  std::string name;
  std::string value;
};

// The run record both programs append to their application log:
// "[time] vm=<vm> result=<result>", then " name=value" for each field, then
// " duration=<seconds since startEpoch>s version=<version>", then
// ' reason="<reason>"' when there is one; control characters escaped.
std::string formatRunRecord(const std::string& vm, const std::string& result,
                            const std::vector<RecordField>& fields, std::int64_t startEpoch,
                            const std::string& reason = {});

// Appends one line to the host-wide application log (or another log file in
// its directory), creating the directory when missing. Problems are reported
// on standard error and never thrown.
void appendApplicationLog(std::string_view line);
void appendApplicationLog(std::string_view line, std::string_view logFile);

}  // namespace quorlane
