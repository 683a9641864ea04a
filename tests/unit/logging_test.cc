#include "quorlane/logging.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorlane {
namespace {

namespace fs = std::filesystem;

// Redirects std::cout and std::cerr into string streams for the lifetime of
// the object; the logger writes through the streams, so swapping their
// buffers sees exactly what it printed.
class ConsoleCapture {
 public:
  ConsoleCapture()
      : oldOut_(std::cout.rdbuf(out_.rdbuf())), oldErr_(std::cerr.rdbuf(err_.rdbuf())) {}
  ~ConsoleCapture() {
    std::cout.rdbuf(oldOut_);
    std::cerr.rdbuf(oldErr_);
  }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }

 private:
  std::ostringstream out_;
  std::ostringstream err_;
  std::streambuf* oldOut_;
  std::streambuf* oldErr_;
};

// A fresh directory per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quorlane-logging-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Splits text into lines, each keeping its "\n"; a final piece without one
// is kept too, so a missing newline shows up in the comparison.
std::vector<std::string> splitKeepingNewlines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

// True when text matches the pattern, where '9' stands for any digit and
// every other character must match itself.
bool matchesShape(std::string_view text, std::string_view shape) {
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool ok = shape[i] == '9' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
    if (!ok) return false;
  }
  return true;
}

constexpr std::string_view kTimestampShape = "9999-99-99 99:99:99";

// Checks that the text is exactly one framed console line and returns what
// follows the frame (level prefix plus message).
std::optional<std::string> unframe(const std::string& line) {
  constexpr std::size_t kFrame = 22;  // "[YYYY-MM-DD HH:MM:SS] "
  if (line.size() < kFrame + 1 || line.back() != '\n') return std::nullopt;
  if (line.front() != '[' || line.compare(20, 2, "] ") != 0) return std::nullopt;
  if (!matchesShape(std::string_view(line).substr(1, 19), kTimestampShape)) return std::nullopt;
  std::string body = line.substr(kFrame, line.size() - kFrame - 1);
  if (body.find('\n') != std::string::npos) return std::nullopt;
  return body;
}

TEST(LoggerConsole, InfoGoesToStandardOutputWithoutPrefix) {
  Logger log;
  ConsoleCapture console;
  log.info("Step 1: Validating arguments and environment...");
  EXPECT_EQ(unframe(console.out()), "Step 1: Validating arguments and environment...");
  EXPECT_EQ(console.err(), "");
}

TEST(LoggerConsole, WarnErrorAndTraceGoToStandardErrorWithTheirPrefixes) {
  Logger log;
  log.setVerbose(true);
  ConsoleCapture console;
  log.warn("disk almost full");
  log.error("copy failed");
  log.trace("running virsh");
  EXPECT_EQ(console.out(), "");
  const std::vector<std::string> lines = splitKeepingNewlines(console.err());
  ASSERT_EQ(lines.size(), 3u) << console.err();
  // Warning and error texts start in the same column: both prefixes are seven characters.
  EXPECT_EQ(unframe(lines[0]), "WARN:  disk almost full");
  EXPECT_EQ(unframe(lines[1]), "ERROR: copy failed");
  EXPECT_EQ(unframe(lines[2]), "  running virsh");
}

TEST(LoggerConsole, EmptyMessageStillProducesAFramedLine) {
  Logger log;
  log.setVerbose(true);
  ConsoleCapture console;
  log.info("");
  log.warn("");
  log.error("");
  log.trace("");
  EXPECT_EQ(unframe(console.out()), "");
  const std::vector<std::string> lines = splitKeepingNewlines(console.err());
  ASSERT_EQ(lines.size(), 3u) << console.err();
  EXPECT_EQ(unframe(lines[0]), "WARN:  ");
  EXPECT_EQ(unframe(lines[1]), "ERROR: ");
  EXPECT_EQ(unframe(lines[2]), "  ");
}

TEST(LoggerConsole, MessageTextIsPrintedVerbatim) {
  Logger log;
  ConsoleCapture console;
  log.info("100% done %s %d {} \\n 'q' \"d\"");
  EXPECT_EQ(unframe(console.out()), "100% done %s %d {} \\n 'q' \"d\"");
}

TEST(LoggerConsole, EachLineCarriesTheCurrentTimestamp) {
  Logger log;
  ConsoleCapture console;
  const std::time_t before = std::time(nullptr);
  log.info("x");
  const std::time_t after = std::time(nullptr);
  const std::string line = console.out();
  ASSERT_TRUE(unframe(line).has_value()) << line;
  const std::string stamp = line.substr(1, 19);
  std::vector<std::string> accepted;
  for (std::time_t t = before; t <= after; ++t) {
    std::tm local{};
    localtime_r(&t, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    accepted.emplace_back(buffer);
  }
  EXPECT_NE(std::find(accepted.begin(), accepted.end(), stamp), accepted.end()) << stamp;
}

TEST(LoggerVerbosity, TraceIsSilentUnlessVerboseEverywhere) {
  TempDir dir;
  const fs::path file = dir / "run.log";
  Logger log;
  log.setBackupLog(file.string());
  {
    ConsoleCapture console;
    log.trace("hidden detail");
    EXPECT_EQ(console.out(), "");
    EXPECT_EQ(console.err(), "");
  }
  EXPECT_EQ(readFile(file), "");

  log.setVerbose(true);
  ConsoleCapture console;
  log.trace("shown detail");
  EXPECT_EQ(unframe(console.err()), "  shown detail");
  EXPECT_EQ(readFile(file), console.err());
}

TEST(LoggerVerbosity, OtherLevelsIgnoreVerbose) {
  Logger log;
  log.setVerbose(false);
  ConsoleCapture console;
  log.info("i");
  log.warn("w");
  log.error("e");
  EXPECT_EQ(unframe(console.out()), "i");
  EXPECT_EQ(splitKeepingNewlines(console.err()).size(), 2u) << console.err();
}

TEST(LoggerBackupLog, FileHoldsTheConsoleLinesOfBothStreamsInCallOrder) {
  TempDir dir;
  const fs::path file = dir / "web01.log";
  Logger log;
  log.setVerbose(true);
  log.setBackupLog(file.string());
  ConsoleCapture console;
  log.info("one");
  log.warn("two");
  log.info("three");
  log.error("four");
  log.trace("five");
  log.info("six");

  const std::vector<std::string> out = splitKeepingNewlines(console.out());
  const std::vector<std::string> err = splitKeepingNewlines(console.err());
  ASSERT_EQ(out.size(), 3u);
  ASSERT_EQ(err.size(), 3u);
  const std::vector<std::string> expected = {out[0], err[0], out[1], err[1], err[2], out[2]};
  EXPECT_EQ(splitKeepingNewlines(readFile(file)), expected);

  std::vector<std::string> bodies;
  for (const std::string& line : expected) bodies.push_back(unframe(line).value_or("<unframed>"));
  EXPECT_EQ(bodies, (std::vector<std::string>{"one", "WARN:  two", "three", "ERROR: four", "  five",
                                              "six"}));
}

TEST(LoggerBackupLog, AppendsToAnExistingFileWithoutTruncating) {
  TempDir dir;
  const fs::path file = dir / "web01.log";
  writeFile(file, "earlier line\n");
  Logger log;
  log.setBackupLog(file.string());
  ConsoleCapture console;
  log.info("later line");
  EXPECT_EQ(readFile(file), "earlier line\n" + console.out());

  // A second logger on the same file keeps appending as well.
  Logger second;
  second.setBackupLog(file.string());
  second.warn("third");
  EXPECT_EQ(readFile(file), "earlier line\n" + console.out() + console.err());
}

TEST(LoggerBackupLog, EveryLineIsOnDiskWhenTheCallReturns) {
  TempDir dir;
  const fs::path file = dir / "web01.log";
  Logger log;
  log.setBackupLog(file.string());
  ConsoleCapture console;
  log.info("first");
  EXPECT_EQ(readFile(file), console.out());
  log.info("second");
  EXPECT_EQ(readFile(file), console.out());
}

TEST(LoggerBackupLog, MissingDirectoryIsSkippedSilently) {
  TempDir dir;
  const fs::path missingDir = dir / "not-created";
  Logger log;
  log.setBackupLog((missingDir / "web01.log").string());
  ConsoleCapture console;
  EXPECT_NO_THROW(log.info("still printed"));
  EXPECT_NO_THROW(log.error("also printed"));
  EXPECT_EQ(unframe(console.out()), "still printed");
  EXPECT_EQ(unframe(console.err()), "ERROR: also printed");
  EXPECT_FALSE(fs::exists(missingDir));
}

TEST(LoggerBackupLog, LaterLinesRetryAfterAFailedOpen) {
  TempDir dir;
  const fs::path subdir = dir / "late";
  const fs::path file = subdir / "web01.log";
  Logger log;
  log.setBackupLog(file.string());
  ConsoleCapture console;
  log.info("lost");
  fs::create_directory(subdir);
  log.info("kept");
  const std::vector<std::string> out = splitKeepingNewlines(console.out());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(readFile(file), out[1]);
}

TEST(LoggerBackupLog, SwitchingFilesTakesEffectWithTheNextLine) {
  TempDir dir;
  Logger log;
  log.setBackupLog((dir / "a.log").string());
  ConsoleCapture console;
  log.info("to a");
  log.setBackupLog((dir / "b.log").string());
  log.info("to b");
  const std::vector<std::string> out = splitKeepingNewlines(console.out());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(readFile(dir / "a.log"), out[0]);
  EXPECT_EQ(readFile(dir / "b.log"), out[1]);
}

TEST(Clock, NowTimestampHasTheFixedShape) {
  EXPECT_TRUE(matchesShape(nowTimestamp(), kTimestampShape)) << nowTimestamp();
  EXPECT_TRUE(matchesShape(formatLocalTime("%Y-%m-%d %H:%M:%S"), kTimestampShape));
  EXPECT_TRUE(matchesShape(formatLocalTime("%Y%m%d"), "99999999")) << formatLocalTime("%Y%m%d");
}

// Sets TZ for the duration of one test and restores the previous zone.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> old_;
};

// Formats now in a fixed-offset zone and compares with UTC shifted by that
// offset; returns nullopt if the clock ticked over during the call.
std::optional<std::pair<std::string, std::string>> stampAndExpected(int offsetHours) {
  const std::time_t before = std::time(nullptr);
  const std::string stamp = nowTimestamp();
  if (std::time(nullptr) != before) return std::nullopt;
  const std::time_t shifted = before + offsetHours * 3600;
  std::tm utc{};
  gmtime_r(&shifted, &utc);
  char expected[32];
  std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &utc);
  return std::make_pair(stamp, std::string(expected));
}

TEST(Clock, UsesLocalTimeOnA24HourClock) {
  // Four zones six hours apart without daylight saving (POSIX TZ offsets
  // count west of UTC): whatever the time of day, one of them differs from
  // UTC and one of them is in the evening, where a 12-hour clock shows.
  const std::pair<const char*, int> zones[] = {
      {"QRA0", 0}, {"QRB-6", 6}, {"QRC-12", 12}, {"QRD+6", -6}};
  for (const auto& [tz, offset] : zones) {
    ScopedTimeZone zone(tz);
    std::optional<std::pair<std::string, std::string>> result;
    for (int attempt = 0; attempt < 5 && !result; ++attempt) result = stampAndExpected(offset);
    ASSERT_TRUE(result.has_value()) << "clock kept crossing second boundaries";
    EXPECT_EQ(result->first, result->second) << tz;
  }
}

TEST(Clock, FormatLocalTimeReturnsEmptyWhenTheOutputDoesNotFit) {
  const std::string fits(63, 'x');
  const std::string tooLong(64, 'x');
  EXPECT_EQ(formatLocalTime(fits.c_str()), fits);
  EXPECT_EQ(formatLocalTime(tooLong.c_str()), "");
  EXPECT_EQ(formatLocalTime((std::string(60, 'x') + "%Y").c_str()), "");
  EXPECT_EQ(formatLocalTime(""), "");
}

}  // namespace
}  // namespace quorlane
