#pragma once

#include <optional>
#include <string>

namespace quorlane {

// Whole-file reads and writes and flushes, shared by the backup and the restore.

// The file's bytes; nothing if it cannot be opened or read.
std::optional<std::string> readFile(const std::string& path);

enum class WriteOutcome { kWritten, kNotOpened, kNotWritten };

// Creates or truncates the file and writes all of content. A full disk may
// show only when the buffered rest is written out at the close: kNotWritten.
WriteOutcome writeFile(const std::string& path, const std::string& content);

// Flushes a file or directory to stable storage; returns the errno, or 0.
// File systems that cannot sync a directory answer EINVAL: nothing to do.
int syncPath(const std::string& path);

}  // namespace quorlane
