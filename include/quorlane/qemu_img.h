#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "quorlane/command_runner.h"

namespace quorlane {

// Everything either program has `qemu-img` do, and how its answers are read.
// Every image it reads or writes here is qcow2.

// The "virtual-size" of `qemu-img info --output=json`; empty when it names none.
std::string parseVirtualSize(const std::string& infoJson);
// Whether `qemu-img info --output=json` names a backing file.
bool parseHasBackingFile(const std::string& infoJson);

// Queries answer with what they found; actions hand back qemu-img's result,
// whose standard error is the message to show when they fail.
class QemuImg {
 public:
  explicit QemuImg(CommandRunner& runner) : runner_(runner) {}

  // Whether qemu-img can be run at all.
  bool present() const;

  // The conversions below take `coroutines`: with any, qemu-img writes out of
  // order with that many coroutines (`-W -m N`), so that the qcow2 driver
  // compresses on several threads; with none (0), in order, on one.
  static constexpr long kMaxCoroutines = 16;  // what qemu-img accepts
  // The qcow2 driver compresses and decompresses on at most 4 threads: more
  // coroutines only queue for them.
  static constexpr long kDefaultCoroutines = 4;

  // A thin, zstd-compressed qcow2 copy of any image.
  CommandResult convertCompressed(const std::string& source, const std::string& destination,
                                  long coroutines) const;
  // Likewise, holding only what the source's top layer holds, on `backing`,
  // which the copy's header names as given (relative to its directory).
  CommandResult convertCompressedOnto(const std::string& source, const std::string& destination,
                                      const std::string& backing, long coroutines) const;
  // A standalone qcow2 copy of a qcow2 image and whatever it reads through.
  CommandResult copy(const std::string& source, const std::string& destination,
                     long coroutines) const;

  // An empty image of `bytes` bytes.
  CommandResult create(const std::string& path, std::uint64_t bytes) const;
  // An image that reads what it has not been written from `backing`.
  CommandResult createOnBacking(const std::string& path, const std::string& backing,
                                const std::string& bytes) const;
  // Names a new backing file in the header only, the data untouched.
  CommandResult rebaseUnsafe(const std::string& image, const std::string& backing) const;
  CommandResult removeBitmap(const std::string& image, const std::string& bitmap) const;

  // The image's metadata is consistent (`qemu-img check`).
  CommandResult check(const std::string& image) const;
  // Opens the image and every backing file behind it, each as qcow2.
  CommandResult openChain(const std::string& image) const;
  struct Size {
    std::string bytes;  // empty when qemu-img could not tell
    std::string error;  // the first line of its error
  };
  Size virtualSize(const std::string& image) const;
  // Reads every cluster back and decompresses it, storing nothing.
  CommandResult readBack(const std::string& image, const std::string& bytes) const;
  // Whether both images read the same.
  CommandResult compare(const std::string& left, const std::string& right) const;
  // Likewise for two images of `bytes` bytes that read from no backing file,
  // compared in up to `parts` ranges at once, one qemu-img each; a mismatch
  // names its offset in the whole image. (A range of an image is opened
  // through the raw driver, whose allocation status would hide what a
  // backing file holds: a chain needs compare().)
  CommandResult compareInParts(const std::string& left, const std::string& right,
                               std::uint64_t bytes, unsigned parts) const;
  // As many parts as a conversion's coroutines: enough for a small host's
  // cores, few enough for one disk's reads, and the same on every host.
  static constexpr unsigned kDefaultParts = 4;
  // Whether the image still reads from a backing file, also while a running
  // VM holds it; nothing when qemu-img cannot tell.
  std::optional<bool> hasBackingFile(const std::string& image) const;

 private:
  CommandRunner& runner_;
};

}  // namespace quorlane
