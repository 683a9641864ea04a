#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorlane {

// Which backups of a VM retention deletes: one plan for the run that has
// written its backup and for the dry run that forecasts it.

// The run's own backup, written or still to come. It keeps its place as the
// newest whatever its name, and an incremental one the chain of its parent.
struct NewBackup {
  std::string timestamp;
  std::string parent;  // for an incremental backup
};

struct RetentionPlan {
  std::size_t counted = 0;           // the complete backups on disk that count
  std::vector<std::string> deleted;  // oldest last
};

// Keeps the `keep` newest complete backups, the new one among them, and
// every backup they depend on.
RetentionPlan planRetention(const std::string& vmDir, const std::string& vm, long keep,
                            const NewBackup& backup);

}  // namespace quorlane
