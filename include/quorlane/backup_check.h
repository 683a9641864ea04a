#pragma once

#include <map>
#include <string>

#include "quorlane/backup_dir.h"
#include "quorlane/command_runner.h"
#include "quorlane/logging.h"
#include "quorlane/qemu_img.h"
#include "quorlane/restore_cli.h"
#include "quorlane/restore_xml.h"
#include "quorlane/run_lock.h"

namespace quorlane {

// How far a check goes.
struct CheckScope {
  bool requireCorrected = false;  // a missing corrected definition fails; else it only warns
  bool readBack = true;           // every cluster of every image is read back
};

// The backup that --check or a restore reads, found as the command line
// names it, and checked: its disk copy completed, every file that its
// definition calls for is there, each image is a sound qcow2 that reads
// back whole, and an incremental backup's whole chain is there and sound.
class BackupCheck {
 public:
  BackupCheck(const RestoreOptions& opts, Logger& log, CommandRunner& runner);

  // The backup of --backup-dir, or of --vm-name under --backup-root: the one
  // --timestamp names, else the newest (complete one, with completeOnly),
  // and keeps it and the backups it depends on from retention while this
  // object lives. Throws BackupError when there is none such.
  void locate(bool completeOnly);
  // Logs each problem of the located backup; true when there is none.
  bool sound(CheckScope scope);
  // Whether every cluster of the disk image `target` of the backup, checked
  // by sound(), reads back and decompresses; logs why not.
  bool readsBack(const std::string& target, const std::string& image);

  // As far as locate() got: its vm is the name the backup was taken under.
  const BackupDir& backup() const { return backup_; }
  // What sound() read from the backup's verbatim definition.
  const std::string& verbatimXml() const { return verbatimXml_; }
  const DefinitionInventory& inventory() const { return inventory_; }
  // Target to virtual size in bytes, as qemu-img tells it.
  const std::map<std::string, std::string>& virtualSizes() const { return virtualSizes_; }

 private:
  void locateDirectory(bool completeOnly);
  void locateByName(bool completeOnly);
  bool diskCopyComplete() const;
  bool loadDefinition();
  bool checkFiles(CheckScope scope);
  bool checkImage(const std::string& target, const std::string& image, bool readBack);
  bool checkChain();
  // The image's metadata is sound (qemu-img check); logs why not.
  bool passesQemuImgCheck(const std::string& image);

  const RestoreOptions& opts_;
  Logger& log_;
  QemuImg qemuImg_;
  BackupDir backup_;
  BackupReadLock readLock_;
  std::string verbatimXml_;
  DefinitionInventory inventory_;
  std::map<std::string, std::string> virtualSizes_;
};

}  // namespace quorlane
