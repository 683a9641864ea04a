#include "quorlane/logging.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "quorlane/config.h"

namespace quorlane {

void Logger::setVerbose(bool verbose) { verbose_ = verbose; }

void Logger::setBackupLog(std::string path) { backupLog_ = std::move(path); }

void Logger::setInfoOnStderr(bool onStderr) { infoOnStderr_ = onStderr; }

void Logger::info(std::string_view message) const {
  emit(infoOnStderr_ ? std::cerr : std::cout, "", message);
}

void Logger::warn(std::string_view message) const { emit(std::cerr, "WARN:  ", message); }

void Logger::error(std::string_view message) const { emit(std::cerr, "ERROR: ", message); }

void Logger::trace(std::string_view message) const {
  if (!verbose_) return;
  emit(std::cerr, "  ", message);
}

void Logger::emit(std::ostream& stream, std::string_view prefix, std::string_view message) const {
  std::string line = "[" + nowTimestamp() + "] ";
  line += prefix;
  line += message;
  line += '\n';
  stream << line << std::flush;
  if (backupLog_.empty()) return;
  std::ofstream file(backupLog_, std::ios::binary | std::ios::app);
  if (file) file << line;
}

std::optional<std::string_view> infoMessage(std::string_view line) {
  // "[YYYY-MM-DD HH:MM:SS] message"
  static constexpr std::size_t kFrame = 22;
  if (line.size() < kFrame || line.front() != '[' || line.substr(kFrame - 2, 2) != "] ") {
    return std::nullopt;
  }
  return line.substr(kFrame);
}

std::string formatLocalTime(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return {};
  char buffer[64];
  const std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
  return std::string(buffer, length);
}

std::string nowTimestamp() { return formatLocalTime("%Y-%m-%d %H:%M:%S"); }

std::int64_t nowEpoch() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string formatRunRecord(const std::string& vm, const std::string& result,
                            const std::vector<RecordField>& fields, std::int64_t startEpoch,
                            const std::string& reason) {
  std::string line = "[" + nowTimestamp() + "] vm=" + vm + " result=" + result;
  for (const RecordField& field : fields) line += " " + field.name + "=" + field.value;
  line += " duration=" + std::to_string(nowEpoch() - startEpoch) + "s version=";
  line += config::kAppVersion;
  if (!reason.empty()) line += " reason=\"" + reason + "\"";
  return escapeControlCharacters(line);
}

std::string escapeControlCharacters(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      escaped += "\\x";
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0xf];
    } else {
      escaped += c;
    }
  }
  return escaped;
}

void appendApplicationLog(std::string_view line) {
  appendApplicationLog(line, config::kAppLogFile);
}

void appendApplicationLog(std::string_view line, std::string_view logFile) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(config::kAppLogDir, ec)) {
    fs::create_directories(config::kAppLogDir, ec);
    if (ec) {
      std::cerr << "WARN: Could not create application log directory: " << config::kAppLogDir
                << "\n";
      return;
    }
  }
  std::ofstream file(std::string(logFile), std::ios::binary | std::ios::app);
  if (!file) {
    std::cerr << "WARN: Could not write to application log: " << logFile << "\n";
    return;
  }
  file << line << '\n';
}

}  // namespace quorlane
