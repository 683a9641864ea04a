#include "quorlane/restore_xml.h"

#include <gtest/gtest.h>

#include <string>

namespace quorlane {
namespace {

// A live definition as `virsh dumpxml` prints it, with the escapes libvirt uses.
const std::string kLive = R"(<domain type='kvm' id='7'>
  <name>web01</name>
  <uuid>1b4e28ba-2fa1-11d2-883f-0016d3cca427</uuid>
  <os>
    <nvram template='/usr/share/OVMF/OVMF_VARS.fd'>/var/lib/libvirt/qemu/nvram/web01_VARS.fd</nvram>
  </os>
  <devices>
    <disk type='file' device='disk'>
      <driver name='qemu' type='raw'/>
      <source file='/srv/a&amp;b/web01.img' index='2'/>
      <backingStore type='file'><source file='/srv/base.qcow2'/></backingStore>
      <target dev='vda' bus='virtio'/>
    </disk>
    <disk type='block' device='disk'>
      <source dev='/dev/vg0/data'/>
      <target dev='vdb' bus='virtio'/>
    </disk>
    <disk type='file' device='cdrom'>
      <source file='/iso/install.iso'/>
      <target dev='sda' bus='sata'/>
    </disk>
    <interface type='network'>
      <mac address='52:54:00:aa:bb:cc'/>
      <source network='default'/>
    </interface>
    <serial type='file'>
      <source path='/var/log/vms/web01-serial.log'/>
      <log file='/var/log/vms/boot.log'/>
    </serial>
    <console type='file'>
      <source path='/var/log/vms/web01-serial.log'/>
    </console>
    <channel type='unix'>
      <source mode='bind' path='/run/vms/agent.sock'/>
      <target type='guestfwd'/>
    </channel>
    <channel type='unix'>
      <source mode='bind' path='/var/lib/libvirt/qemu/channel/target/domain-7-web01/org.qemu.guest_agent.0'/>
      <target type='virtio' name='org.qemu.guest_agent.0'/>
    </channel>
    <channel type='spicevmc'/>
  </devices>
</domain>
)";

TEST(RestoreXml, InventoryListsDeviceDisksAndNvram) {
  const auto inv = readDefinition(kLive);
  ASSERT_TRUE(inv);
  EXPECT_EQ(inv->disks, (std::map<std::string, std::string>{{"vda", "/srv/a&b/web01.img"},
                                                            {"vdb", "/dev/vg0/data"}}));
  EXPECT_EQ(inv->block, (std::map<std::string, bool>{{"vda", false}, {"vdb", true}}));
  EXPECT_EQ(inv->nvram, "/var/lib/libvirt/qemu/nvram/web01_VARS.fd");
  EXPECT_FALSE(readDefinition("<domain><name>x</domain>"));
  EXPECT_FALSE(readDefinition("<network><name>x</name></network>"));
}

TEST(RestoreXml, RestoredDefinitionPointsDisksAndNvramAtTheRestoredFiles) {
  RestoredDefinition restored{{{"vda", "/img/web01-vda.qcow2"}, {"vdb", "/img/web01-vdb.qcow2"}},
                              "/nv/web01-nvram.fd",
                              "",
                              ""};
  const auto xml = buildRestoredDefinition(kLive, restored);
  ASSERT_TRUE(xml);
  const auto inv = readDefinition(*xml);
  ASSERT_TRUE(inv);
  EXPECT_EQ(inv->disks, restored.images);
  EXPECT_EQ(inv->block, (std::map<std::string, bool>{{"vda", false}, {"vdb", false}}));
  EXPECT_EQ(inv->nvram, "/nv/web01-nvram.fd");
  // Two qcow2 drivers (one added for the block disk), no backing chain, the
  // CD-ROM, name, UUID and MAC kept.
  EXPECT_EQ(xml->find("type=\"raw\""), std::string::npos);
  EXPECT_NE(
      xml->find("<driver name=\"qemu\" type=\"qcow2\"/>\n      <source file=\"/img/web01-vdb"),
      std::string::npos)
      << *xml;
  EXPECT_EQ(xml->find("backingStore"), std::string::npos);
  EXPECT_EQ(xml->find(" dev=\"/dev/vg0/data\""), std::string::npos);
  for (const char* kept : {"/iso/install.iso", "<name>web01</name>", "<uuid>", "52:54:00:aa:bb:cc",
                           "template=\"/usr/share/OVMF/OVMF_VARS.fd\""}) {
    EXPECT_NE(xml->find(kept), std::string::npos) << kept;
  }
}

TEST(RestoreXml, NewNameDropsUuidAndMacAddresses) {
  RestoredDefinition restored{{{"vda", "/img/a&b.qcow2"}}, "", "web01-copy", ""};
  const auto xml = buildRestoredDefinition(kLive, restored);
  ASSERT_TRUE(xml);
  EXPECT_NE(xml->find("<name>web01-copy</name>"), std::string::npos);
  EXPECT_NE(xml->find("file=\"/img/a&amp;b.qcow2\""), std::string::npos);
  EXPECT_NE(xml->find("<source network=\"default\"/>"), std::string::npos);
  for (const char* gone : {"<uuid>", "<mac", "<name>web01</name>"}) {
    EXPECT_EQ(xml->find(gone), std::string::npos) << gone;
  }
  // A disk that is not listed keeps its source.
  EXPECT_NE(xml->find("/dev/vg0/data"), std::string::npos);
}

TEST(RestoreXml, NewNameGivesCharacterDevicesFilesOfTheirOwn) {
  RestoredDefinition restored{{}, "", "web01-copy", ""};
  const auto xml = buildRestoredDefinition(kLive, restored);
  ASSERT_TRUE(xml);
  const std::string serial = "path=\"/var/log/vms/web01-copy-serial.log\"";
  const std::size_t first = xml->find(serial);
  ASSERT_NE(first, std::string::npos) << *xml;
  EXPECT_NE(xml->find(serial, first + 1), std::string::npos)
      << "the console mirrors the serial port";
  EXPECT_NE(xml->find("file=\"/var/log/vms/web01-copy-boot.log\""), std::string::npos);
  EXPECT_NE(xml->find("path=\"/run/vms/web01-copy-agent.sock\""), std::string::npos);
  EXPECT_NE(xml->find("<source mode=\"bind\"/>"), std::string::npos) << "libvirt names it anew";
  EXPECT_EQ(xml->find("domain-7-web01"), std::string::npos);
  EXPECT_EQ(xml->find("/var/log/vms/web01-serial.log"), std::string::npos);

  const auto inPlace = buildRestoredDefinition(kLive, RestoredDefinition{});
  ASSERT_TRUE(inPlace);
  EXPECT_NE(inPlace->find("/var/log/vms/web01-serial.log"), std::string::npos);
}

// A live restore's VM names its backup, for --finish to find; no other
// definition names one.
TEST(RestoreXml, LiveRestoreNotesItsBackupInTheMetadata) {
  RestoredDefinition restored{{{"vda", "/img/copy-vda.qcow2"}}, "", "copy", "/b/web01/2026 x&y"};
  const auto xml = buildRestoredDefinition(kLive, restored);
  ASSERT_TRUE(xml);
  EXPECT_EQ(liveRestoreBackup(*xml), "/b/web01/2026 x&y");
  EXPECT_NE(xml->find("xmlns:quorlane=\"urn:quorlane:live-restore\""), std::string::npos) << *xml;
  EXPECT_EQ(liveRestoreBackup(kLive), "");
  EXPECT_EQ(liveRestoreBackup("<domain><metadata><live-restore backup='/x'/></metadata></domain>"),
            "");
}

}  // namespace
}  // namespace quorlane
