#include "quorlane/qemu_img.h"

#include <initializer_list>
#include <regex>
#include <vector>

#include "quorlane/text.h"

namespace quorlane {

std::string parseVirtualSize(const std::string& infoJson) {
  static const std::regex kSize("\"virtual-size\"\\s*:\\s*([0-9]+)");
  std::smatch match;
  return std::regex_search(infoJson, match, kSize) ? match[1].str() : std::string();
}

bool parseHasBackingFile(const std::string& infoJson) {
  return infoJson.find("\"backing-filename\"") != std::string::npos;
}

namespace {

// `qemu-img convert` with `arguments`, out of order with `coroutines`
// coroutines when there are any.
std::vector<std::string> convertCommand(long coroutines,
                                        std::initializer_list<std::string> arguments) {
  std::vector<std::string> argv = {"qemu-img", "convert"};
  if (coroutines > 0) argv.insert(argv.end(), {"-W", "-m", std::to_string(coroutines)});
  argv.insert(argv.end(), arguments);
  return argv;
}

}  // namespace

bool QemuImg::present() const {
  const CommandResult probe = runner_.run({"qemu-img", "--version"});
  return probe.started && (probe.ok() || probe.exitCode != 127);
}

CommandResult QemuImg::convertCompressed(const std::string& source, const std::string& destination,
                                         long coroutines) const {
  return runner_.run(convertCommand(
      coroutines, {"-O", "qcow2", "-c", "-o", "compression_type=zstd", source, destination}));
}

CommandResult QemuImg::convertCompressedOnto(const std::string& source,
                                             const std::string& destination,
                                             const std::string& backing, long coroutines) const {
  return runner_.run(
      convertCommand(coroutines, {"-O", "qcow2", "-c", "-o", "compression_type=zstd", "-B", backing,
                                  "-F", "qcow2", source, destination}));
}

CommandResult QemuImg::copy(const std::string& source, const std::string& destination,
                            long coroutines) const {
  return runner_.run(
      convertCommand(coroutines, {"-f", "qcow2", "-O", "qcow2", source, destination}));
}

CommandResult QemuImg::create(const std::string& path, std::uint64_t bytes) const {
  return runner_.run({"qemu-img", "create", "-f", "qcow2", path, std::to_string(bytes)});
}

CommandResult QemuImg::createOnBacking(const std::string& path, const std::string& backing,
                                       const std::string& bytes) const {
  return runner_.run(
      {"qemu-img", "create", "-f", "qcow2", "-F", "qcow2", "-b", backing, path, bytes});
}

CommandResult QemuImg::rebaseUnsafe(const std::string& image, const std::string& backing) const {
  return runner_.run({"qemu-img", "rebase", "-u", "-F", "qcow2", "-b", backing, image});
}

CommandResult QemuImg::removeBitmap(const std::string& image, const std::string& bitmap) const {
  return runner_.run({"qemu-img", "bitmap", "--remove", image, bitmap});
}

CommandResult QemuImg::check(const std::string& image) const {
  return runner_.run({"qemu-img", "check", "-q", "-f", "qcow2", image});
}

CommandResult QemuImg::openChain(const std::string& image) const {
  return runner_.run({"qemu-img", "info", "-f", "qcow2", "--backing-chain", image});
}

QemuImg::Size QemuImg::virtualSize(const std::string& image) const {
  const CommandResult info =
      runner_.run({"qemu-img", "info", "--output=json", "-f", "qcow2", image});
  if (!info.ok()) return {{}, firstLine(info.err)};
  return {parseVirtualSize(info.out), firstLine(info.err)};
}

CommandResult QemuImg::readBack(const std::string& image, const std::string& bytes) const {
  return runner_.run({"qemu-img", "convert", "-n", "-f", "qcow2", "--target-image-opts", image,
                      "driver=null-co,size=" + bytes});
}

CommandResult QemuImg::compare(const std::string& left, const std::string& right) const {
  return runner_.run({"qemu-img", "compare", "-f", "qcow2", "-F", "qcow2", left, right});
}

std::optional<bool> QemuImg::hasBackingFile(const std::string& image) const {
  const CommandResult info = runner_.run({"qemu-img", "info", "-U", "--output=json", image});
  if (!info.ok()) return std::nullopt;
  return parseHasBackingFile(info.out);
}

}  // namespace quorlane
