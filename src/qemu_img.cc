#include "quorlane/qemu_img.h"

#include <algorithm>
#include <initializer_list>
#include <regex>
#include <thread>
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

// The bytes from `offset` on of a standalone qcow2 image, as --image-opts
// names them; a comma in a path doubles there.
std::string rangeOf(const std::string& image, std::uint64_t offset, std::uint64_t length) {
  std::string path = image;
  replaceAll(path, ",", ",,");
  return "driver=raw,offset=" + std::to_string(offset) + ",size=" + std::to_string(length) +
         ",file.driver=qcow2,file.file.driver=file,file.file.filename=" + path;
}

// qemu-img counts a mismatch's offset from the start of the range it compared.
void shiftMismatchOffset(CommandResult& result, std::uint64_t offset) {
  static const std::regex kMismatch("Content mismatch at offset ([0-9]+)!");
  std::smatch match;
  if (!std::regex_search(result.out, match, kMismatch)) return;
  const std::uint64_t within = std::stoull(match[1].str());
  result.out = match.prefix().str() + "Content mismatch at offset " +
               std::to_string(offset + within) + "!" + match.suffix().str();
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

// Ranges of whole MiB, the last one taking the rest; each smaller one would
// cost a qemu-img start for little data.
CommandResult QemuImg::compareInParts(const std::string& left, const std::string& right,
                                      std::uint64_t bytes, unsigned parts) const {
  constexpr std::uint64_t kMiB = 1 << 20;
  constexpr std::uint64_t kSmallest = 64 * kMiB;
  const std::uint64_t count = std::clamp<std::uint64_t>(bytes / kSmallest, 1, std::max(parts, 1U));
  if (count == 1) return compare(left, right);
  const std::uint64_t step = (bytes / count + kMiB - 1) / kMiB * kMiB;
  std::vector<std::uint64_t> starts;
  for (std::uint64_t start = 0; start < bytes; start += step) starts.push_back(start);
  std::vector<CommandResult> results(starts.size());
  std::vector<std::thread> running;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::uint64_t length = std::min(step, bytes - starts[i]);
    running.emplace_back([&, i, length] {
      results[i] =
          runner_.run({"qemu-img", "compare", "--image-opts", rangeOf(left, starts[i], length),
                       rangeOf(right, starts[i], length)});
    });
  }
  for (std::thread& part : running) part.join();
  for (std::size_t i = 0; i < starts.size(); ++i) {
    if (!results[i].ok()) {
      shiftMismatchOffset(results[i], starts[i]);
      return results[i];
    }
  }
  return results.front();
}

std::optional<bool> QemuImg::hasBackingFile(const std::string& image) const {
  const CommandResult info = runner_.run({"qemu-img", "info", "-U", "--output=json", image});
  if (!info.ok()) return std::nullopt;
  return parseHasBackingFile(info.out);
}

}  // namespace quorlane
