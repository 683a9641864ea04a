"""The corrected definition written beside the verbatim one."""
import os
import unittest
from xml.sax.saxutils import escape

from harness import (BackupTest, disk_list, expected_calls, expected_run, healthy_vm,
                     image_bytes, info, warn)

DEFINITION = """<domain type='kvm'>
  <name>web01</name>
  <metadata>
    <app:note xmlns:app='urn:example:app' file='{vda}'/>
  </metadata>
  <os>
    <type arch='x86_64' machine='q35'>hvm</type>
    <loader readonly='yes' type='pflash'>/usr/share/OVMF/OVMF_CODE.fd</loader>
    <nvram template='/usr/share/OVMF/OVMF_VARS.fd' format='raw'>{nvram}</nvram>
  </os>
  <devices>
    <disk type='file' device='disk'>
      <driver name='qemu' type='{vda_type}' cache='none'/>
      <source file='{vda}'/>
      <target dev='vda' bus='virtio'/>
    </disk>
    <disk type='{vdb_kind}' device='disk'>
      <driver type='{vdb_type}' name='qemu' discard='unmap'/>
      <source {vdb_attr}='{vdb}' index='2'/>
      <backingStore/>
      <target dev='vdb' bus='virtio'/>
    </disk>
    <disk type='file' device='cdrom'>
      <driver name='qemu' type='raw'/>
      <source file='/iso/install.iso'/>
      <target dev='sda' bus='sata'/>
      <readonly/>
    </disk>
  </devices>
</domain>
"""

CDROM = " file   cdrom    sda      /iso/install.iso"


def xml_escape(text):
    return escape(text, {"'": "&apos;", '"': "&quot;"})


class CorrectedXmlTest(BackupTest):

    def run_with(self, xml, disks, nvram=None, listing=None):
        self.lay_out(disks, nvram)
        self.use([{"prog": "virsh", "args": ["dumpxml", "web01"], "stdout": xml},
                  {"prog": "virsh", "args": ["domblklist", "web01", "--details"],
                   "stdout": listing or disk_list(disks, [CDROM])}] + healthy_vm(disks=disks))
        res = self.backup("-v")
        self.assertEqual(res.rc, 0, res.err)
        return res, self.backup_dir(res)

    def check(self, res, d, xml, disks, nvram, corrected, step7_warnings=()):
        self.assertConsole(res, expected_run(
            d, disks, nvram=nvram, verbose=True, xml_lines=len(xml.splitlines()),
            step7=[warn(w) for w in step7_warnings] + [info("Corrected XML written: %s/web01.xml" % d)]))
        self.assertEqual(self.box.calls(), expected_calls(d, disks))
        with open(os.path.join(d, "web01.xml.backup")) as f:
            self.assertEqual(f.read(), xml)
        with open(os.path.join(d, "web01.xml")) as f:
            self.assertEqual(f.read(), corrected)
        for target in disks:
            with open(os.path.join(d, "web01-%s.qcow2" % target), "rb") as f:
                self.assertEqual(f.read(), image_bytes(target))
        if nvram:
            with open(os.path.join(d, "web01-nvram.fd"), "rb") as f:
                self.assertEqual(f.read(), image_bytes("nvram"))

    def test_disk_and_nvram_paths_and_raw_driver_are_rewritten(self):
        disks = {"vdb": self.box.path("data", "disk0.img"),
                 "vda": self.box.path("images", "web01.raw")}
        nvram = self.box.path("nvram", "web01_VARS.fd")
        fields = dict(vdb_kind="file", vdb_attr="file", vdb_type="qcow2")
        xml = DEFINITION.format(vda=disks["vda"], vdb=disks["vdb"], nvram=nvram, vda_type="raw",
                                **fields)
        res, d = self.run_with(xml, disks, nvram)
        # The note outside the disk is rewritten too, but only the disk's
        # own driver changes type; the CD drive and the NVRAM format stay raw.
        self.check(res, d, xml, disks, nvram, DEFINITION.format(
            vda=self.box.path("images", "web01-vda.qcow2"),
            vdb=self.box.path("data", "web01-vdb.qcow2"),
            nvram=self.box.path("nvram", "web01-nvram.fd"), vda_type="qcow2", **fields))

    def test_already_normalized_names_leave_the_definition_unchanged(self):
        disks = {"vda": self.box.path("images", "web01-vda.qcow2"),
                 "vdb": self.box.path("images", "web01-vdb.qcow2")}
        nvram = self.box.path("nvram", "web01-nvram.fd")
        xml = DEFINITION.format(vda=disks["vda"], vdb=disks["vdb"], nvram=nvram, vda_type="qcow2",
                                vdb_kind="file", vdb_attr="file", vdb_type="qcow2")
        res, d = self.run_with(xml, disks, nvram)
        self.check(res, d, xml, disks, nvram, xml)

    def test_escaped_paths_are_matched_and_written_escaped(self):
        vda = self.box.path("d&d", "a&b's <x> \"y\".img")
        vdb = self.box.path("data", "plain.img")
        nvram = self.box.path("nv&ram", "web01&VARS.fd")
        disks = {"vda": vda, "vdb": vdb}
        fields = dict(vdb=vdb, vdb_kind="file", vdb_attr="file", vdb_type="raw")
        xml = DEFINITION.format(vda=xml_escape(vda), nvram=xml_escape(nvram), vda_type="raw",
                                **fields)
        res, d = self.run_with(xml, disks, nvram)
        self.check(res, d, xml, disks, nvram, DEFINITION.format(
            vda=xml_escape(self.box.path("d&d", "web01-vda.qcow2")),
            nvram=xml_escape(self.box.path("nv&ram", "web01-nvram.fd")), vda_type="qcow2",
            **dict(fields, vdb=self.box.path("data", "web01-vdb.qcow2"), vdb_type="qcow2")))

    def test_paths_missing_from_the_definition_are_named_in_warnings(self):
        # vdb is a block device named with dev=, and the NVRAM text mixes an
        # escaped and a plain apostrophe: neither spelling of either path is
        # in the definition, so both stay as they are.
        vda = self.box.path("images", "web01.qcow2")
        vdb = self.box.path("dev", "vg0-web01")
        nvram = self.box.path("nvram", "it's web01's.fd")
        nvram_text = self.box.path("nvram", "it&apos;s web01's.fd")
        disks = {"vda": vda, "vdb": vdb}
        fields = dict(vdb=vdb, vdb_kind="block", vdb_attr="dev", vdb_type="raw", nvram=nvram_text)
        xml = DEFINITION.format(vda=vda, vda_type="qcow2", **fields)
        listing = disk_list({"vda": vda}, [" block  disk     vdb      " + vdb, CDROM])
        res, d = self.run_with(xml, disks, nvram, listing)
        self.check(res, d, xml, disks, nvram, DEFINITION.format(
            vda=self.box.path("images", "web01-vda.qcow2"), vda_type="qcow2", **fields), [
            "Disk vdb: path %s not found in the definition; the corrected XML still names it."
            % vdb,
            "NVRAM path %s not found in the definition; the corrected XML still names it." % nvram])


if __name__ == "__main__":
    unittest.main()
