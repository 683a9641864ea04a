#pragma once

#include <map>
#include <optional>
#include <string>

namespace quorlane {

// What a definition says about its disks and its NVRAM file.
struct DefinitionInventory {
  std::map<std::string, std::string> disks;  // target to source path, device disks with a source
  std::map<std::string, bool> block;         // target to whether the source is a block device
  std::string nvram;
};

// Parses a libvirt domain definition; nothing if it is not well-formed XML
// with a <domain> root.
std::optional<DefinitionInventory> readDefinition(const std::string& xml);

struct RestoredDefinition {
  std::map<std::string, std::string> images;  // target to the restored image
  std::string nvram;                          // the restored NVRAM file, if any
  std::string newName;                        // set for a restore beside the original
};

// The definition with each listed disk pointed at its restored qcow2 file,
// the NVRAM element at the restored NVRAM file and, for a new name, without
// <uuid> and <mac address> and with files and sockets of its own for serial,
// console, parallel and channel devices. Everything else stays as it was. Nothing if the
// input cannot be parsed.
std::optional<std::string> buildRestoredDefinition(const std::string& xml,
                                                   const RestoredDefinition& restored);

}  // namespace quorlane
