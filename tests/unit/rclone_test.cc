#include "quorlane/rclone.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "scripted_runner.h"

namespace quorlane {
namespace {

using test_support::answer;
using test_support::Argv;
using test_support::failure;
using test_support::ScriptedRunner;

TEST(RcloneListing, ReadsPathSizeAndTimeAndRefusesAnythingElse) {
  const auto listing = parseListing(
      "2026-01-01_00-00-00/web01-vda.qcow2\t300000\t2026-12-08 20:16:58\n"
      "2026-01-01_00-00-00/a b.xml\t0\t2026-12-08 20:16:59\n");
  ASSERT_TRUE(listing);
  EXPECT_EQ(*listing,
            (RemoteListing{{"2026-01-01_00-00-00/web01-vda.qcow2", {300000, "2026-12-08 20:16:58"}},
                           {"2026-01-01_00-00-00/a b.xml", {0, "2026-12-08 20:16:59"}}}));
  EXPECT_FALSE(parseListing("name-without-columns\n"));
  EXPECT_FALSE(parseListing("x\t-1\t2026-12-08 20:16:58\n"));
}

TEST(RcloneListing, AMissingDirectoryIsAnEmptyOne) {
  ScriptedRunner runner;
  runner.on({"rclone", "lsf"},
            failure("2026/12/08 20:00:00 ERROR : : error listing: directory not found\n", 3));
  const CommandResult listed = Rclone(runner, {}).list("remote:base/web01");
  EXPECT_TRUE(listed.ok());
  EXPECT_EQ(listed.out, "");
  EXPECT_EQ(runner.calls[0],
            (Argv{"rclone", "lsf", "-R", "--files-only", "--format", "pst", "--separator", "\t",
                  "remote:base/web01", "--contimeout", "30s", "--timeout", "1m", "--retries", "1",
                  "--low-level-retries", "3"}));
}

TEST(RcloneCheck, ReadsTheFilesBackWhenNoHashIsSharedOrWhenAsked) {
  ScriptedRunner runner;
  runner.on({"rclone", "check", "a", "b", "--one-way", "--combined", "-", "--config", "/etc/q.conf",
             "--contimeout", "30s", "--timeout", "1m", "--retries", "1", "--low-level-retries", "3",
             "--include"},
            answer("", 0, "NOTICE: No common hash found - not using a hash for checks\n"), {}, 1);
  const Rclone rclone(runner, {"/etc/q.conf", ""});
  const Rclone::Verification verified = rclone.check("a", "b", {"x[1].qcow2"}, false);
  EXPECT_TRUE(verified.readBack);
  ASSERT_EQ(runner.calls.size(), 2u);
  EXPECT_EQ(runner.calls[1],
            (Argv{"rclone",      "check",        "a",         "b",
                  "--one-way",   "--combined",   "-",         "--config",
                  "/etc/q.conf", "--contimeout", "30s",       "--timeout",
                  "1m",          "--retries",    "1",         "--low-level-retries",
                  "3",           "--download",   "--include", "/x\\[1\\].qcow2"}));
  EXPECT_TRUE(rclone.check("a", "b", {"f"}, true).readBack);
  EXPECT_FALSE(rclone.check("a", "b", {"f"}, false).readBack);
}

TEST(RcloneCopy, LimitsTheBandwidthAndReportsEveryTenSeconds) {
  ScriptedRunner runner;
  Rclone(runner, {"", "10M"}).copyFiles("/b/ts", "r:p/ts", {"a", "b"}, [](auto&, auto&) {
    return true;
  });
  EXPECT_EQ(runner.calls[0], (Argv{"rclone",
                                   "copy",
                                   "/b/ts",
                                   "r:p/ts",
                                   "--stats",
                                   "10s",
                                   "--stats-one-line",
                                   "--stats-log-level",
                                   "NOTICE",
                                   "--contimeout",
                                   "30s",
                                   "--timeout",
                                   "1m",
                                   "--retries",
                                   "1",
                                   "--low-level-retries",
                                   "3",
                                   "--bwlimit",
                                   "10M",
                                   "--include",
                                   "/a",
                                   "--include",
                                   "/b"}));
}

TEST(RcloneOutput, TheNewestProgressLineAndNotTheClosingSummary) {
  const std::string err =
      "2026/12/08 20:00:10 NOTICE:  100 MiB / 1 GiB, 10%, 10 MiB/s, ETA 1m30s\n"
      "2026/12/08 20:00:20 NOTICE:  200 MiB / 1 GiB, 20%, 10 MiB/s, ETA 1m20s\n";
  EXPECT_EQ(lastStatsLine(err), "200 MiB / 1 GiB, 20%, 10 MiB/s, ETA 1m20s");
  EXPECT_EQ(lastStatsLine(err, err.size()), "");
  EXPECT_EQ(lastStatsLine("2026/12/08 20:00:20 NOTICE: 1 GiB / 1 GiB, 100%, 0 B/s, ETA -\n"), "");
  EXPECT_EQ(lastStatsLine("2026/12/08 20:00:00 NOTICE:  0 B / 0 B, -, 0 B/s, ETA -\n"), "");
}

TEST(RcloneOutput, FailuresNameTheFilesOrTheCause) {
  EXPECT_EQ(rcloneFailure(failure("2026/12/08 20:00:00 ERROR : a.qcow2: md5 differ\n"
                                  "2026/12/08 20:00:00 ERROR : b.xml: sizes differ\n"
                                  "2026/12/08 20:00:00 NOTICE: 2 differences found\n"
                                  "2026/12/08 20:00:00 Failed to check: 2 differences found\n")),
            "a.qcow2: md5 differ; b.xml: sizes differ");
  EXPECT_EQ(rcloneFailure(failure("2026/12/08 20:00:00 Failed to create file system for "
                                  "\"x:\": didn't find section in config file\n")),
            "Failed to create file system for \"x:\": didn't find section in config file");
  CommandResult check = failure("2026/12/08 20:00:00 Failed to check: 3 differences found\n");
  check.out = "= web01.xml\n* web01-vda.qcow2\n+ web01.chain\n! web01-vdb.qcow2\n";
  EXPECT_EQ(rcloneFailure(check),
            "web01-vda.qcow2 differs; web01.chain is missing; web01-vdb.qcow2 could not be read");
  EXPECT_EQ(differingFiles(check.out),
            (std::vector<std::string>{"web01-vda.qcow2", "web01-vdb.qcow2"}));
  EXPECT_EQ(rcloneFailure(failure("2026/12/08 20:00:00 ERROR : a.qcow2: Failed to copy: "
                                  "sftp: \"Failure\" (SSH_FX_FAILURE)\n")),
            "a.qcow2: Failed to copy: sftp: \"Failure\" (SSH_FX_FAILURE) (the SFTP server gives no "
            "reason; a full disk or a quota is the usual one)");
  EXPECT_EQ(rcloneFailure(failure("", 127)), "rclone not found on PATH (install rclone)");
  setenv("AWS_CA_BUNDLE", "/etc/ssl/bundle.pem", 1);
  const std::string ca = rcloneFailure(failure(
      "ERROR : : error reading source root directory: LoadCustomCABundleError: unable to load "
      "custom CA bundle, HTTPClient's transport unsupported type\n"));
  unsetenv("AWS_CA_BUNDLE");
  EXPECT_NE(ca.find("AWS_CA_BUNDLE is set (/etc/ssl/bundle.pem)"), std::string::npos) << ca;
  EXPECT_NE(ca.find("UnsetEnvironment=AWS_CA_BUNDLE"), std::string::npos) << ca;
}

TEST(RcloneRemote, KeepsHashesWhenItsFeaturesNameOne) {
  EXPECT_EQ(parseHashes("{\n\t\"Name\": \"s3\",\n\t\"Hashes\": [\n\t\t\"md5\"\n\t],\n"
                        "\t\"Features\": {\"About\": true}\n}\n"),
            std::vector<std::string>{"md5"});
  EXPECT_EQ(parseHashes("{\"Name\": \"crypt\", \"Hashes\": [], \"Features\": {}}"),
            std::vector<std::string>{});
  ScriptedRunner runner;
  runner.on({"rclone", "backend", "features", "vault:quorlane"},
            answer("{\"Hashes\": [\"md5\", \"sha1\"]}"));
  runner.on({"rclone", "backend", "features", "sealed:"}, answer("{\"Hashes\": []}"));
  const Rclone rclone(runner, {});
  EXPECT_TRUE(rclone.keepsHashes("vault:quorlane"));
  EXPECT_FALSE(rclone.keepsHashes("sealed:"));
  EXPECT_FALSE(rclone.keepsHashes("gone:"));  // the unmatched call answers nothing
}

TEST(RcloneRemote, JoinsBelowARemoteOrAPath) {
  EXPECT_EQ(remoteJoin("s3:bucket", "web01"), "s3:bucket/web01");
  EXPECT_EQ(remoteJoin("s3:", "web01"), "s3:web01");
  EXPECT_EQ(remoteJoin("/srv/copy/", "web01"), "/srv/copy/web01");
}

}  // namespace
}  // namespace quorlane
