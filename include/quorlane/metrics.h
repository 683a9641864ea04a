#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quorlane/logging.h"

namespace quorlane {

// A Prometheus text-format file of gauges about one VM, for the node
// exporter's textfile collector. Each program writes its own file per VM;
// the file is replaced whole (written beside, then renamed), so a scrape
// never reads half of it.
class MetricsFile {
 public:
  using Labels = std::map<std::string, std::string>;

  explicit MetricsFile(std::string vm) : vm_(std::move(vm)) {}

  // Adds a sample; the vm label comes first on every one.
  void set(const std::string& name, const std::string& help, double value,
           const Labels& labels = {});

  std::string text() const;

  // Writes <dir>/<fileName>; false (errno set) when it could not.
  bool write(const std::string& dir, const std::string& fileName) const;

 private:
  struct Gauge {
    std::string help;
    std::vector<std::pair<Labels, double>> samples;
  };

  std::string vm_;
  std::vector<std::string> order_;
  std::map<std::string, Gauge> gauges_;
};

// Replaces <dir>/<fileName> with the file: nothing where the directory does
// not exist (a host without the node exporter), a warning where it cannot
// be written; a run's outcome never depends on its metrics.
void publish(const MetricsFile& metrics, const std::string& dir, const std::string& fileName,
             const Logger& log);

// The value of the first sample of `name` in a file written before; a
// run that failed carries the time of the last success over from it.
std::optional<double> previousValue(const std::string& path, const std::string& name);

// Seconds since the epoch of a backup's timestamp name, read as local time.
std::optional<double> timestampEpoch(const std::string& timestamp);

}  // namespace quorlane
