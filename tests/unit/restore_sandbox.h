// Whole restore runs in memory: backups laid out in a temporary directory,
// virsh and qemu-img answered by a ScriptedRunner, and each run in a forked
// child with a private mount namespace and a tmpfs over /var/log, where it
// appends its record. A signal that a scripted call raises stays in that
// child.

#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "quorlane/backup_dir.h"
#include "quorlane/logging.h"
#include "scripted_runner.h"

namespace quorlane::test_support {

namespace fs = std::filesystem;

inline std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The lines of console output without their time frames.
inline std::vector<std::string> unframed(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find("] ") + 2));
  return lines;
}

// Every path below `dir`, relative to it, directories with a trailing slash;
// symbolic links are not followed.
inline std::vector<std::string> tree(const std::string& dir) {
  std::vector<std::string> found;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
    const bool directory = entry.is_directory() && !entry.is_symlink();
    found.push_back(entry.path().lexically_relative(dir).string() + (directory ? "/" : ""));
  }
  std::sort(found.begin(), found.end());
  return found;
}

inline unsigned modeOf(const std::string& path) {
  return static_cast<unsigned>(fs::status(path).permissions());
}

// What a run did.
struct RunOutcome {
  int status = -1;  // its exit status
  std::string out;
  std::string err;
  std::vector<Argv> calls;  // every command, in order
  std::string record;       // what it appended to the restore log
};

// A backup root, and where the backed-up VM web01 kept its images and NVRAM
// file, all in a temporary directory.
class RestoreSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    char scratch[] = "/tmp/quorlane-restore-run-XXXXXX";
    char report[] = "/tmp/quorlane-restore-report-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    scratch_ = scratch;
    ASSERT_NE(mkdtemp(report), nullptr);
    report_ = report;
    root_ = scratch_ + "/backups";
    const RunOutcome probe = runSandboxed([](Logger&, CommandRunner&) { return 0; });
    if (probe.status == kNoNamespace) GTEST_SKIP() << "no private mount namespace here";
    ASSERT_EQ(probe.status, 0) << probe.err;
  }
  void TearDown() override {
    for (const std::string& dir : {scratch_, report_}) {
      if (!dir.empty()) fs::remove_all(dir);
    }
  }

  std::string images() const { return scratch_ + "/images"; }
  std::string nvram() const { return scratch_ + "/nvram"; }

  // A backup of web01 as a run leaves it, complete or not, with a qcow2
  // image of each target (never read: qemu-img is scripted) and an NVRAM file.
  BackupDir layOut(const std::string& timestamp, const std::vector<std::string>& targets,
                   bool complete = true) {
    const BackupDir backup = backupDirUnder(root_, "web01", timestamp);
    fs::create_directories(backup.path);
    fs::permissions(backup.path, fs::perms::owner_all);
    std::string xml = "<domain type='kvm'>\n  <name>web01</name>\n  <uuid>1b4e28ba</uuid>\n";
    xml += "  <os>\n    <nvram>" + nvram() + "/web01_VARS.fd</nvram>\n  </os>\n  <devices>\n";
    for (const std::string& target : targets) {
      xml += "    <disk type='file' device='disk'>\n      <driver name='qemu' type='qcow2'/>\n";
      xml += "      <source file='" + images() + "/web01-" + target + ".img'/>\n";
      xml += "      <target dev='" + target + "' bus='virtio'/>\n    </disk>\n";
      std::ofstream(backup.diskImage(target)) << "image of " << target << " " << timestamp;
    }
    std::ofstream(backup.verbatimDefinition()) << xml << "  </devices>\n</domain>\n";
    std::ofstream(backup.correctedDefinition()) << xml << "  </devices>\n</domain>\n";
    std::ofstream(backup.nvram()) << "NVRAM " << timestamp;
    std::ofstream(backup.log()) << "[2026-03-01 02:00:05] quorlane-backup - backing up 'web01'\n"
                                << (complete ? "[2026-03-01 02:05:12] " : "")
                                << (complete ? std::string(kDisksCopiedMessage) + "\n" : "");
    return backup;
  }

  // What every qemu-img call of a restore needs answered: the images'
  // size, and a conversion that writes its destination.
  static void serveQemuImg(ScriptedRunner& runner) {
    runner.on({"qemu-img", "info", "--output=json"}, answer("{\"virtual-size\": 65536}\n"));
    runner.on({"qemu-img", "convert", "-W", "-m", "4", "-f", "qcow2", "-O", "qcow2"}, answer(""),
              [](const Argv& argv) { fs::copy_file(argv[9], argv[10]); });
  }

  // Runs `run` (a Restore's or LiveRestore's run()) in its sandbox.
  RunOutcome runSandboxed(const std::function<int(Logger&, CommandRunner&)>& run,
                          ScriptedRunner runner = {}) {
    const std::string calls = report_ + "/calls";
    const std::string record = report_ + "/record";
    fs::remove(calls);
    fs::remove(record);
    const ChildOutcome child = runInSandbox([&] {
      Logger log;
      const int status = run(log, runner);
      std::ofstream list(calls);
      for (const Argv& call : runner.calls) {
        for (const std::string& arg : call) list << arg << '\t';
        list << '\n';
      }
      std::error_code ec;
      fs::copy_file("/var/log/quorlane/quorlane-restore.log", record, ec);
      return status;
    });
    RunOutcome outcome{child.status, child.out, child.err, {}, fileText(record)};
    std::istringstream lines(fileText(calls));
    for (std::string line; std::getline(lines, line);) {
      Argv call;
      for (std::size_t tab; (tab = line.find('\t')) != std::string::npos; line.erase(0, tab + 1)) {
        call.push_back(line.substr(0, tab));
      }
      outcome.calls.push_back(call);
    }
    return outcome;
  }

  std::string scratch_;  // the backups, images and NVRAM files
  std::string root_;
  std::string report_;  // what a run's child reports
};

}  // namespace quorlane::test_support
