#include "quorlane/qemu_img.h"

#include <gtest/gtest.h>

#include <string>

#include "scripted_runner.h"

namespace quorlane {
namespace {

using test_support::Argv;
using test_support::ScriptedRunner;

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

}  // namespace
}  // namespace quorlane
