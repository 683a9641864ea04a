#include "quorlane/metrics.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace quorlane {
namespace {

namespace fs = std::filesystem;

TEST(Metrics, WritesPrometheusTextWithEscapedLabels) {
  MetricsFile metrics("we\"b\\01");
  metrics.set("q_last_result", "How it ended.", 1, {{"result", "failure"}, {"stage", "a\nb"}});
  metrics.set("q_bytes", "Bytes.", 1234567890123);
  metrics.set("q_duration", "Seconds.", 1.5);
  EXPECT_EQ(metrics.text(),
            "# HELP q_last_result How it ended.\n# TYPE q_last_result gauge\n"
            "q_last_result{vm=\"we\\\"b\\\\01\",result=\"failure\",stage=\"a\\nb\"} 1\n"
            "# HELP q_bytes Bytes.\n# TYPE q_bytes gauge\nq_bytes{vm=\"we\\\"b\\\\01\"} "
            "1234567890123\n"
            "# HELP q_duration Seconds.\n# TYPE q_duration gauge\nq_duration{vm=\"we\\\"b\\\\01\"} "
            "1.500000\n");
}

TEST(Metrics, ReplacesTheFileWholeAndReadsAValueBack) {
  char pattern[] = "/tmp/quorlane-metrics-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  MetricsFile first("web01");
  first.set("q_last_success", "When.", 1700000000);
  ASSERT_TRUE(first.write(dir.string(), "q-web01.prom"));
  MetricsFile second("web01");
  second.set("q_other", "Other.", 2);
  ASSERT_TRUE(second.write(dir.string(), "q-web01.prom"));
  std::ostringstream text;
  text << std::ifstream(dir / "q-web01.prom").rdbuf();
  EXPECT_EQ(text.str(), second.text());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  ASSERT_TRUE(first.write(dir.string(), "q-web01.prom"));
  EXPECT_EQ(previousValue((dir / "q-web01.prom").string(), "q_last_success"), 1700000000);
  EXPECT_EQ(previousValue((dir / "q-web01.prom").string(), "q_last"), std::nullopt);
  EXPECT_EQ(previousValue((dir / "none.prom").string(), "q_last_success"), std::nullopt);
  EXPECT_FALSE(first.write((dir / "missing").string(), "q-web01.prom"));
  fs::remove_all(dir);
}

TEST(Metrics, ABackupsTimestampIsItsLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(timestampEpoch("2026-12-08_20-00-00"), 1796760000);
  EXPECT_EQ(timestampEpoch("not a timestamp"), std::nullopt);
  unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace quorlane
