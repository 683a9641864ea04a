#include "quorlane/restore_xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <vector>

namespace quorlane {

namespace {

using DocPtr = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

const xmlChar* name(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

bool isElement(const xmlNode* node, const char* tag) {
  return node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, name(tag));
}

std::vector<xmlNode*> children(xmlNode* parent, const char* tag) {
  std::vector<xmlNode*> found;
  for (xmlNode* child = parent ? parent->children : nullptr; child; child = child->next) {
    if (isElement(child, tag)) found.push_back(child);
  }
  return found;
}

xmlNode* child(xmlNode* parent, const char* tag) {
  const std::vector<xmlNode*> found = children(parent, tag);
  return found.empty() ? nullptr : found.front();
}

std::string attribute(xmlNode* node, const char* attr) {
  if (node == nullptr) return {};
  xmlChar* value = xmlGetProp(node, name(attr));
  if (value == nullptr) return {};
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

std::string content(xmlNode* node) {
  xmlChar* value = xmlNodeGetContent(node);
  if (value == nullptr) return {};
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

void setText(xmlNode* node, const std::string& text) {
  xmlNodeSetContent(node, nullptr);
  xmlNodeAddContent(node, name(text.c_str()));
}

// Removes an element together with the indentation before it.
void removeNode(xmlNode* node) {
  if (xmlNode* before = node->prev; before && xmlIsBlankNode(before)) {
    xmlUnlinkNode(before);
    xmlFreeNode(before);
  }
  xmlUnlinkNode(node);
  xmlFreeNode(node);
}

DocPtr parse(const std::string& xml) {
  // No network access and no entity expansion: a definition is plain data.
  DocPtr doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                           XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
             &xmlFreeDoc);
  if (!doc) return doc;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr || !isElement(root, "domain")) doc.reset();
  return doc;
}

// The disks that the backup copies: device disks with a file or device source.
std::vector<xmlNode*> backedUpDisks(xmlNode* root) {
  std::vector<xmlNode*> disks;
  for (xmlNode* disk : children(child(root, "devices"), "disk")) {
    const std::string device = attribute(disk, "device");
    if (!device.empty() && device != "disk") continue;
    xmlNode* source = child(disk, "source");
    if (attribute(child(disk, "target"), "dev").empty()) continue;
    if (attribute(source, "file").empty() && attribute(source, "dev").empty()) continue;
    disks.push_back(disk);
  }
  return disks;
}

void pointDiskAt(xmlNode* disk, const std::string& image) {
  xmlSetProp(disk, name("type"), name("file"));
  xmlNode* source = child(disk, "source");
  xmlUnsetProp(source, name("dev"));
  xmlSetProp(source, name("file"), name(image.c_str()));
  // A live definition's chain belongs to the original's images. Without it,
  // and without the index that marks a chain as already known, libvirt reads
  // the restored image's own chain from its header (a live restore's image
  // reads from the backup).
  xmlUnsetProp(source, name("index"));
  for (xmlNode* backing : children(disk, "backingStore")) removeNode(backing);
  xmlNode* driver = child(disk, "driver");
  if (driver == nullptr) {
    driver = xmlNewNode(nullptr, name("driver"));
    xmlSetProp(driver, name("name"), name("qemu"));
    xmlAddPrevSibling(source, driver);
    // Same indentation as the source element, so the file stays readable.
    if (xmlNode* indent = driver->prev; indent && xmlIsBlankNode(indent)) {
      xmlAddPrevSibling(source, xmlCopyNode(indent, 1));
    }
  }
  xmlSetProp(driver, name("type"), name("qcow2"));
}

// A file of the original VM's own, moved to a name of the new VM's in the
// same directory: the old name replaced in the file name, or the new name put
// in front of it.
std::string renamedFor(const std::string& path, const std::string& oldName,
                       const std::string& newName) {
  const std::size_t slash = path.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::string file = path.substr(base);
  const std::size_t at = oldName.empty() ? std::string::npos : file.find(oldName);
  file = at == std::string::npos ? newName + "-" + file : file.replace(at, oldName.size(), newName);
  return path.substr(0, base) + file;
}

void setAttribute(xmlNode* node, const char* attr, const std::string& value) {
  xmlSetProp(node, name(attr), name(value.c_str()));
}

// Serial, console, parallel and channel devices that write to a file or
// listen on a socket of their own, and their logs: a VM restored beside the
// original must not write into the original's files. A virtio channel's
// socket is libvirt's to name (a live definition carries the original's,
// under its domain id), so it loses its path and libvirt makes a new one.
void renameCharacterDeviceFiles(xmlNode* devices, const std::string& oldName,
                                const std::string& newName) {
  for (const char* kind : {"serial", "console", "parallel", "channel"}) {
    for (xmlNode* device : children(devices, kind)) {
      const std::string type = attribute(device, "type");
      xmlNode* source = child(device, "source");
      const bool virtioSocket = type == "unix" && std::string(kind) == "channel" &&
                                attribute(child(device, "target"), "type") == "virtio";
      if (virtioSocket) {
        xmlUnsetProp(source, name("path"));
      } else if ((type == "file" || type == "unix") && !attribute(source, "path").empty()) {
        setAttribute(source, "path", renamedFor(attribute(source, "path"), oldName, newName));
      }
      if (xmlNode* log = child(device, "log"); log && !attribute(log, "file").empty()) {
        setAttribute(log, "file", renamedFor(attribute(log, "file"), oldName, newName));
      }
    }
  }
}

void noteLiveBackup(xmlNode* root, const std::string& backup) {
  xmlNode* metadata = child(root, "metadata");
  if (metadata == nullptr) metadata = xmlNewChild(root, nullptr, name("metadata"), nullptr);
  xmlNode* note = xmlNewChild(metadata, nullptr, name("live-restore"), nullptr);
  xmlSetNs(note, xmlNewNs(note, name(kLiveRestoreNamespace), name("quorlane")));
  setAttribute(note, "backup", backup);
}

}  // namespace

std::optional<DefinitionInventory> readDefinition(const std::string& xml) {
  DocPtr doc = parse(xml);
  if (!doc) return std::nullopt;
  xmlNode* root = xmlDocGetRootElement(doc.get());
  DefinitionInventory inventory;
  for (xmlNode* disk : backedUpDisks(root)) {
    const std::string target = attribute(child(disk, "target"), "dev");
    xmlNode* source = child(disk, "source");
    const std::string file = attribute(source, "file");
    inventory.disks[target] = file.empty() ? attribute(source, "dev") : file;
    inventory.block[target] = file.empty();
  }
  if (xmlNode* nvram = child(child(root, "os"), "nvram")) inventory.nvram = content(nvram);
  return inventory;
}

std::optional<std::string> buildRestoredDefinition(const std::string& xml,
                                                   const RestoredDefinition& restored) {
  DocPtr doc = parse(xml);
  if (!doc) return std::nullopt;
  xmlNode* root = xmlDocGetRootElement(doc.get());
  for (xmlNode* disk : backedUpDisks(root)) {
    const auto image = restored.images.find(attribute(child(disk, "target"), "dev"));
    if (image != restored.images.end()) pointDiskAt(disk, image->second);
  }
  if (xmlNode* nvram = child(child(root, "os"), "nvram"); nvram && !restored.nvram.empty()) {
    setText(nvram, restored.nvram);
  }
  if (!restored.newName.empty()) {
    xmlNode* vmName = child(root, "name");
    renameCharacterDeviceFiles(child(root, "devices"), content(vmName), restored.newName);
    if (vmName) setText(vmName, restored.newName);
    for (xmlNode* uuid : children(root, "uuid")) removeNode(uuid);
    for (xmlNode* iface : children(child(root, "devices"), "interface")) {
      for (xmlNode* mac : children(iface, "mac")) removeNode(mac);
    }
  }
  if (!restored.liveBackup.empty()) noteLiveBackup(root, restored.liveBackup);
  xmlChar* buffer = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(doc.get(), &buffer, &size, "UTF-8");
  if (buffer == nullptr) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size));
  xmlFree(buffer);
  return text;
}

bool readsFromBackingFile(const std::string& xml, const std::string& target) {
  DocPtr doc = parse(xml);
  if (!doc) return false;
  for (xmlNode* disk : backedUpDisks(xmlDocGetRootElement(doc.get()))) {
    if (attribute(child(disk, "target"), "dev") != target) continue;
    return child(child(disk, "backingStore"), "source") != nullptr;
  }
  return false;
}

std::string liveRestoreBackup(const std::string& xml) {
  DocPtr doc = parse(xml);
  if (!doc) return {};
  for (xmlNode* note :
       children(child(xmlDocGetRootElement(doc.get()), "metadata"), "live-restore")) {
    if (note->ns && xmlStrEqual(note->ns->href, name(kLiveRestoreNamespace))) {
      return attribute(note, "backup");
    }
  }
  return {};
}

}  // namespace quorlane
