#pragma once

#include <map>
#include <optional>
#include <string>

namespace quorlane {

// A live restore notes its backup in the VM's own metadata, in an element
// of this namespace, where a later --finish finds it whatever became of the
// run that started it.
inline constexpr char kLiveRestoreNamespace[] = "urn:quorlane:live-restore";

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
  std::string liveBackup;                     // for a live restore: the backup it reads from
};

// The definition with each listed disk pointed at its restored qcow2 file,
// the NVRAM element at the restored NVRAM file and, for a new name, without
// <uuid> and <mac address> and with files and sockets of its own for serial,
// console, parallel and channel devices, and for a live restore the backup in its
// metadata. Everything else stays as it was. Nothing if the input cannot be parsed.
std::optional<std::string> buildRestoredDefinition(const std::string& xml,
                                                   const RestoredDefinition& restored);

// Whether the disk of that target reads from a backing file, as libvirt's
// definition of a running VM shows its chain.
bool readsFromBackingFile(const std::string& xml, const std::string& target);

// The backup directory that a live restore's definition names in its
// metadata; empty when it names none.
std::string liveRestoreBackup(const std::string& xml);

}  // namespace quorlane
