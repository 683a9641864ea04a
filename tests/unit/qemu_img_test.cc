#include "quorlane/qemu_img.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "scripted_runner.h"

namespace quorlane {
namespace {

using test_support::answer;
using test_support::Argv;
using test_support::ScriptedRunner;

constexpr std::uint64_t kMiB = 1 << 20;

Argv comparePart(const std::string& left, const std::string& right, std::uint64_t offset,
                 std::uint64_t size) {
  const std::string range = "driver=raw,offset=" + std::to_string(offset) +
                            ",size=" + std::to_string(size) +
                            ",file.driver=qcow2,file.file.driver=file,file.file.filename=";
  return {"qemu-img", "compare", "--image-opts", range + left, range + right};
}

// Without coroutines every conversion keeps the vector it has always had;
// with them, exactly `-W -m N` follows `convert`.
TEST(QemuImgConvert, WritesOutOfOrderOnlyWithCoroutines) {
  ScriptedRunner runner;
  const QemuImg qemuImg(runner);
  qemuImg.convertCompressed("/img/a.qcow2", "/bk/a.qcow2", 0);
  qemuImg.convertCompressed("/img/a.qcow2", "/bk/a.qcow2", 2);
  qemuImg.convertCompressedOnto("/tmp/s.qcow2", "/bk/b/a.qcow2", "../a/a.qcow2", 0);
  qemuImg.convertCompressedOnto("/tmp/s.qcow2", "/bk/b/a.qcow2", "../a/a.qcow2", 16);
  qemuImg.copy("/bk/a.qcow2", "/img/a.qcow2", 0);
  qemuImg.copy("/bk/a.qcow2", "/img/a.qcow2", QemuImg::kDefaultCoroutines);
  EXPECT_EQ(
      runner.calls,
      (std::vector<Argv>{
          {"qemu-img", "convert", "-O", "qcow2", "-c", "-o", "compression_type=zstd",
           "/img/a.qcow2", "/bk/a.qcow2"},
          {"qemu-img", "convert", "-W", "-m", "2", "-O", "qcow2", "-c", "-o",
           "compression_type=zstd", "/img/a.qcow2", "/bk/a.qcow2"},
          {"qemu-img", "convert", "-O", "qcow2", "-c", "-o", "compression_type=zstd", "-B",
           "../a/a.qcow2", "-F", "qcow2", "/tmp/s.qcow2", "/bk/b/a.qcow2"},
          {"qemu-img", "convert", "-W", "-m", "16", "-O", "qcow2", "-c", "-o",
           "compression_type=zstd", "-B", "../a/a.qcow2", "-F", "qcow2", "/tmp/s.qcow2",
           "/bk/b/a.qcow2"},
          {"qemu-img", "convert", "-f", "qcow2", "-O", "qcow2", "/bk/a.qcow2", "/img/a.qcow2"},
          {"qemu-img", "convert", "-W", "-m", "4", "-f", "qcow2", "-O", "qcow2", "/bk/a.qcow2",
           "/img/a.qcow2"},
      }));
}

// Whole MiB per part, the last taking the rest, every part running at
// once; a comma in a path is doubled for --image-opts.
TEST(QemuImgCompareInParts, ComparesEveryByteOnceWithAllPartsAtOnce) {
  const std::uint64_t bytes = 200 * kMiB + 512;
  std::mutex lock;
  std::condition_variable changed;
  int started = 0;
  ScriptedRunner runner;
  runner.on({"qemu-img", "compare"}, answer("Images are identical.\n"), [&](const Argv&) {
    std::unique_lock<std::mutex> hold(lock);
    ++started;
    changed.notify_all();
    EXPECT_TRUE(changed.wait_for(hold, std::chrono::seconds(30), [&] { return started == 3; }))
        << "a part waited for another to end";
  });
  const QemuImg qemuImg(runner);
  EXPECT_TRUE(qemuImg.compareInParts("/bk/a,b.qcow2", "/img/a.qcow2", bytes, 3).ok());
  std::vector<Argv> calls = runner.calls;
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(calls, (std::vector<Argv>{
                       comparePart("/bk/a,,b.qcow2", "/img/a.qcow2", 0, 67 * kMiB),
                       comparePart("/bk/a,,b.qcow2", "/img/a.qcow2", 134 * kMiB, 66 * kMiB + 512),
                       comparePart("/bk/a,,b.qcow2", "/img/a.qcow2", 67 * kMiB, 67 * kMiB)}));
}

// An image too small to share, or no core to share it with, is compared
// whole as compare() does it.
TEST(QemuImgCompareInParts, ASmallImageIsComparedWhole) {
  ScriptedRunner runner;
  const QemuImg qemuImg(runner);
  qemuImg.compareInParts("/bk/a.qcow2", "/img/a.qcow2", 127 * kMiB, 8);
  qemuImg.compareInParts("/bk/a.qcow2", "/img/a.qcow2", 4096 * kMiB, 0);
  const Argv whole = {"qemu-img", "compare", "-f",          "qcow2",
                      "-F",       "qcow2",   "/bk/a.qcow2", "/img/a.qcow2"};
  EXPECT_EQ(runner.calls, (std::vector<Argv>{whole, whole}));
}

// The first part in the image that fails decides, and a mismatch names its
// offset in the whole image.
TEST(QemuImgCompareInParts, AMismatchNamesItsOffsetInTheWholeImage) {
  ScriptedRunner runner;
  runner.on(comparePart("/bk/a.qcow2", "/img/a.qcow2", 64 * kMiB, 64 * kMiB),
            answer("Content mismatch at offset 4096!\n", 1));
  runner.on(comparePart("/bk/a.qcow2", "/img/a.qcow2", 128 * kMiB, 64 * kMiB),
            answer("", 2, "qemu-img: error while reading\n"));
  const QemuImg qemuImg(runner);
  const CommandResult result = qemuImg.compareInParts("/bk/a.qcow2", "/img/a.qcow2", 192 * kMiB, 3);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "Content mismatch at offset " + std::to_string(64 * kMiB + 4096) + "!\n");
}

}  // namespace
}  // namespace quorlane
