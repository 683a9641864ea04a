#pragma once

#include <map>
#include <optional>
#include <string>

namespace quorlane {

// A path inside the guest as the command line names it: either as the
// guest mounts its file systems ("/etc/hosts") or on one file system of the
// backup's disks ("/dev/sda1:/etc/hosts").
struct GuestPath {
  std::string device;  // empty for a path as the guest mounts its file systems
  std::string path;    // absolute, without empty, "." or ".." components

  bool operator==(const GuestPath&) const = default;
};

// Nothing when `text` is neither an absolute path nor DEVICE:/path, or has a
// ".." component (the name it lands as must stay inside the output).
std::optional<GuestPath> parseGuestPath(const std::string& text);

// What the command line names: "DEVICE:/path" or "/path".
std::string describeGuestPath(const GuestPath& path);

// The file system that holds a guest path, found by the longest of the
// guest's mount points (mount point to device) that holds it, and the path
// on that file system. A path that names its device stays as it is; nothing
// when no mount point holds it.
std::optional<GuestPath> resolveGuestPath(const GuestPath& path,
                                          const std::map<std::string, std::string>& mounts);

// A name from the guest as a listing or a message shows it: backslash, tab,
// newline and every other control byte escaped, so that it stays on its line.
std::string escapeGuestName(const std::string& name);

// The name that an extracted path lands as in the output directory: its last
// component; empty for the root of a file system, whose contents land there.
std::string landingName(const GuestPath& path);

}  // namespace quorlane
