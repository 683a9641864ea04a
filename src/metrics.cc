#include "quorlane/metrics.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "quorlane/files.h"
#include "quorlane/paths.h"
#include "quorlane/text.h"

namespace quorlane {

namespace {

std::string escapeLabel(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return escaped;
}

std::string formatValue(double value) {
  if (std::floor(value) == value && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  std::ostringstream text;
  text.precision(6);
  text << std::fixed << value;
  return text.str();
}

}  // namespace

void MetricsFile::set(const std::string& name, const std::string& help, double value,
                      const Labels& labels) {
  auto [gauge, added] = gauges_.try_emplace(name);
  if (added) {
    order_.push_back(name);
    gauge->second.help = help;
  }
  gauge->second.samples.emplace_back(labels, value);
}

std::string MetricsFile::text() const {
  std::string out;
  for (const std::string& name : order_) {
    const Gauge& gauge = gauges_.at(name);
    out += "# HELP " + name + " " + gauge.help + "\n# TYPE " + name + " gauge\n";
    for (const auto& [labels, value] : gauge.samples) {
      out += name + "{vm=\"" + escapeLabel(vm_) + "\"";
      for (const auto& [label, labelValue] : labels) {
        out += "," + label + "=\"" + escapeLabel(labelValue) + "\"";
      }
      out += "} " + formatValue(value) + "\n";
    }
  }
  return out;
}

bool MetricsFile::write(const std::string& dir, const std::string& fileName) const {
  const std::string path = joinPath(dir, fileName);
  // The collector reads *.prom only: the file being written is not one yet.
  const std::string temp = path + ".tmp";
  if (writeFile(temp, text()) != WriteOutcome::kWritten) return false;
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    std::remove(temp.c_str());
    errno = error;
    return false;
  }
  return true;
}

void publish(const MetricsFile& metrics, const std::string& dir, const std::string& fileName,
             const Logger& log) {
  if (!isDirectory(dir)) {
    log.trace("No metrics: " + dir + " does not exist (no node exporter here).");
    return;
  }
  if (!metrics.write(dir, fileName)) {
    log.warn("Could not write the metrics " + joinPath(dir, fileName) + ": " +
             std::strerror(errno));
  }
}

std::optional<double> previousValue(const std::string& path, const std::string& name) {
  const std::optional<std::string> text = readFile(path);
  if (!text) return std::nullopt;
  for (const std::string& line : splitLines(*text)) {
    if (!line.starts_with(name + "{") && !line.starts_with(name + " ")) continue;
    const std::size_t space = line.rfind(' ');
    try {
      return std::stod(line.substr(space + 1));
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<double> timestampEpoch(const std::string& timestamp) {
  std::tm local{};
  if (std::sscanf(timestamp.c_str(), "%4d-%2d-%2d_%2d-%2d-%2d", &local.tm_year, &local.tm_mon,
                  &local.tm_mday, &local.tm_hour, &local.tm_min, &local.tm_sec) != 6) {
    return std::nullopt;
  }
  local.tm_year -= 1900;
  local.tm_mon -= 1;
  local.tm_isdst = -1;
  const std::time_t epoch = std::mktime(&local);
  if (epoch == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<double>(epoch);
}

}  // namespace quorlane
