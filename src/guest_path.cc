#include "quorlane/guest_path.h"

#include <string_view>

namespace quorlane {

namespace {

constexpr std::string_view kDevicePrefix = "/dev/";

// The absolute path without empty and "." components; nothing for a
// relative one or one with a ".." component.
std::optional<std::string> normalise(const std::string& text) {
  if (text.empty() || text.front() != '/') return std::nullopt;
  std::string normal;
  std::size_t start = 1;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view part = std::string_view(text).substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") normal += "/" + std::string(part);
    start = end + 1;
  }
  return normal.empty() ? "/" : normal;
}

bool holds(const std::string& mountpoint, const std::string& path) {
  if (mountpoint == "/") return true;
  return path.compare(0, mountpoint.size(), mountpoint) == 0 &&
         (path.size() == mountpoint.size() || path[mountpoint.size()] == '/');
}

}  // namespace

std::optional<GuestPath> parseGuestPath(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (text.starts_with(kDevicePrefix) && colon != std::string::npos &&
      colon > kDevicePrefix.size()) {
    const std::optional<std::string> device = normalise(text.substr(0, colon));
    const std::optional<std::string> path = normalise(text.substr(colon + 1));
    if (!device || !path) return std::nullopt;
    return GuestPath{*device, *path};
  }
  const std::optional<std::string> path = normalise(text);
  if (!path) return std::nullopt;
  return GuestPath{"", *path};
}

std::string describeGuestPath(const GuestPath& path) {
  return path.device.empty() ? path.path : path.device + ":" + path.path;
}

std::optional<GuestPath> resolveGuestPath(const GuestPath& path,
                                          const std::map<std::string, std::string>& mounts) {
  if (!path.device.empty()) return path;
  const std::pair<const std::string, std::string>* best = nullptr;
  for (const auto& mount : mounts) {
    if (holds(mount.first, path.path) && (!best || mount.first.size() > best->first.size())) {
      best = &mount;
    }
  }
  if (!best) return std::nullopt;
  const std::string inner = best->first == "/" ? path.path : path.path.substr(best->first.size());
  return GuestPath{best->second, inner.empty() ? "/" : inner};
}

std::string escapeGuestName(const std::string& name) {
  std::string escaped;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\t') {
      escaped += "\\t";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (byte < 0x20 || byte == 0x7f) {
      escaped += '\\';
      escaped += static_cast<char>('0' + (byte >> 6));
      escaped += static_cast<char>('0' + ((byte >> 3) & 7));
      escaped += static_cast<char>('0' + (byte & 7));
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string landingName(const GuestPath& path) {
  return path.path.substr(path.path.rfind('/') + 1);
}

}  // namespace quorlane
