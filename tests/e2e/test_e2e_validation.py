"""Validation and dry runs against the machine's libvirt daemon and QEMU.

The VMs are real but have no operating system: they sit in their firmware,
which is enough for libvirt to report them running with their disks.
"""
import os
import re
import unittest
import uuid

import vmlib
from vmlib import harness

TS_LINE = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ")
APP_LINE = r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] vm=%s result=%s%s duration=\d+s version=0\.1\.5-prototype$"


def setUpModule():
    vmlib.require_libvirt()


def tree(path):
    """Every file and directory below `path`, as relative paths."""
    found = set()
    for dirpath, dirnames, filenames in os.walk(path):
        for name in dirnames + filenames:
            found.add(os.path.relpath(os.path.join(dirpath, name), path))
    return found


def split_dry_run(out):
    """(timestamped log lines, plain summary lines) of a dry run's standard output."""
    lines = out.split("\n")
    logged = []
    while lines and TS_LINE.match(lines[0]):
        logged.append(TS_LINE.sub("", lines.pop(0)))
    return logged, lines


class RunningVmValidation(unittest.TestCase):
    """One running BIOS VM: a qcow2 disk, an empty CD drive and a guest-agent
    channel with no agent behind it."""

    @classmethod
    def setUpClass(cls):
        cls.vm = vmlib.VM(disks=[("vda", "qcow2", "32M")], cdrom=True, agent=True)
        cls.addClassCleanup(cls.vm.cleanup)
        cls.vm.start()

    def setUp(self):
        self.tool = vmlib.make_tool(self)
        self.root = os.path.join(self.tool.root, "backups")
        os.makedirs(self.root)
        self.assertEqual(self.vm.state(), "running")
        self.assertEqual(self.vm.snapshots(), [])

    def assertNothingChanged(self, before):
        self.assertEqual(tree(self.vm.scratch), before, "files appeared or vanished next to the VM")
        self.assertEqual(tree(self.root), set(), "the backup root is no longer empty")
        self.assertEqual(self.vm.snapshots(), [])
        self.assertEqual(self.vm.state(), "running")
        self.assertEqual(self.vm.active_image("vda"), self.vm.images["vda"])

    def test_dry_run_lists_the_disk_and_skips_the_empty_cd_drive(self):
        vm = self.vm
        before = tree(vm.scratch)
        result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "3", "--dry-run"])
        self.assertEqual(result.rc, 0, result)
        self.assertEqual(result.err, "", result)
        logged, summary = split_dry_run(result.out)
        self.assertEqual(logged, ["Step 1: Validating arguments and environment...",
                                  "Step 1: validation passed."])
        backup_dir = summary[4]
        self.assertRegex(backup_dir, r"^Backup directory:    %s/%s/\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d$"
                         % (re.escape(self.root), re.escape(vm.name)))
        self.assertEqual(summary, [
            "",
            "=== DRY RUN SUMMARY ===",
            "VM:                  " + vm.name,
            "Power state:         running",
            backup_dir,
            "Snapshot name:       quorlane-backup-temp",
            "Consistency:         crash-consistent (no quiesce)",
            "Retention:           keep 3 most recent",
            "",
            "Disks that would be backed up:",
            "  vda  " + vm.images["vda"],
            "         -> %s-vda.qcow2" % vm.name,
            "",
            "(Dry run. No changes made.)",
            "",
        ])
        self.assertNothingChanged(before)
        self.assertEqual(tree(self.tool.varlog), {"quorlane", "quorlane/quorlane-backup.log"})
        self.assertEqual(len(result.app_log), 1)
        self.assertRegex(result.app_log[0], APP_LINE % (re.escape(vm.name), "dry_run", ""))

    def test_dry_run_counts_existing_backups_against_the_retention(self):
        vm = self.vm
        vm_dir = os.path.join(self.root, vm.name)
        for name in ("2026-01-01_00-00-00", "2026-01-02_00-00-00", "2026-01-03_00-00-00"):
            harness.lay_out_backup(os.path.join(vm_dir, name), vm=vm.name)
        with open(os.path.join(vm_dir, "notes.txt"), "w") as f:
            f.write("not a backup\n")
        before_root = tree(self.root)
        result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "3", "--dry-run"])
        self.assertEqual(result.rc, 0, result)
        _, summary = split_dry_run(result.out)
        self.assertEqual(summary[-6:], [
            "",
            "Existing backups for this VM: 3",
            "After this backup, retention would delete 1 old backup(s).",
            "",
            "(Dry run. No changes made.)",
            "",
        ])
        self.assertEqual(tree(self.root), before_root)

    def test_leftover_snapshot_of_an_earlier_run_is_refused(self):
        vm = self.vm
        vm.create_snapshot("quorlane-backup-temp")
        self.addCleanup(lambda: vm.snapshots() and vm.delete_snapshot("quorlane-backup-temp"))
        self.assertEqual(vm.snapshots(), ["quorlane-backup-temp"])
        before = tree(vm.scratch)
        for extra in ([], ["--dry-run"]):
            with self.subTest(extra=extra):
                result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "2"] + extra)
                self.assertEqual(result.rc, 1, result)
                self.assertEqual(result.out_lines, ["Step 1: Validating arguments and environment..."])
                self.assertEqual(result.err_lines, [
                    "ERROR: Prior backup snapshot 'quorlane-backup-temp' exists on VM '%s'." % vm.name,
                    "ERROR: A previous run was interrupted. Investigate and clean up the",
                    "ERROR: existing snapshot (and any partial backup directory under",
                    "ERROR: %s/%s/) before running again." % (self.root, vm.name),
                    "ERROR: ",
                    "ERROR: Recovery: 'virsh snapshot-delete %s quorlane-backup-temp'" % vm.name,
                    "ERROR:   will merge the overlay back into the base and clean up.",
                ])
                self.assertEqual(len(result.app_log), 1)
                self.assertRegex(result.app_log[0], APP_LINE % (
                    re.escape(vm.name), "failure", " stage=validation_or_setup"))
                # The refusal leaves the snapshot and the overlay exactly as found.
                self.assertEqual(vm.snapshots(), ["quorlane-backup-temp"])
                self.assertEqual(vm.active_image("vda"), vm.overlay_path("vda"))
                self.assertEqual(tree(vm.scratch), before)
                self.assertEqual(tree(self.root), set())
        # The recovery the message names works: the overlay is merged away.
        vm.delete_snapshot("quorlane-backup-temp")
        self.assertEqual(vm.snapshots(), [])
        self.assertEqual(vm.active_image("vda"), vm.images["vda"])

    def test_quiesce_without_a_responding_agent_fails_before_any_change(self):
        vm = self.vm
        before = tree(vm.scratch)
        result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "2", "--quiesce"])
        self.assertEqual(result.rc, 1, result)
        self.assertEqual(result.out_lines, ["Step 1: Validating arguments and environment..."])
        self.assertEqual(result.err_lines, [
            "ERROR: --quiesce was requested, but qemu-guest-agent is not",
            "ERROR: responsive on VM '%s'. Either install/start the" % vm.name,
            "ERROR: agent inside the guest, or omit --quiesce to take a",
            "ERROR: crash-consistent backup.",
        ])
        self.assertEqual(len(result.app_log), 1)
        self.assertRegex(result.app_log[0], APP_LINE % (
            re.escape(vm.name), "failure", " stage=validation_or_setup"))
        self.assertNothingChanged(before)


class OtherVmValidation(unittest.TestCase):

    def setUp(self):
        self.tool = vmlib.make_tool(self)
        self.root = os.path.join(self.tool.root, "backups")
        os.makedirs(self.root)

    def test_unknown_vm_is_reported_as_not_found(self):
        name = "qbt-nonexistent-" + uuid.uuid4().hex[:8]
        self.assertNotEqual(vmlib.virsh("dominfo", name, check=False).returncode, 0)
        result = self.tool.run(["-n", name, "-r", self.root, "-k", "3"])
        self.assertEqual(result.rc, 1, result)
        self.assertEqual(result.out_lines, ["Step 1: Validating arguments and environment..."])
        self.assertEqual(result.err_lines,
                         ["ERROR: VM '%s' not found, or libvirt is unreachable" % name])
        self.assertEqual(tree(self.root), set())
        self.assertEqual(len(result.app_log), 1)
        self.assertRegex(result.app_log[0], APP_LINE % (
            re.escape(name), "failure", " stage=validation_or_setup"))

    def test_dry_run_of_a_uefi_vm_names_its_nvram_file(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")], uefi=True)
        vm.start()
        before = tree(vm.scratch)
        result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "5", "-d"])
        self.assertEqual(result.rc, 0, result)
        self.assertEqual(result.err, "", result)
        _, summary = split_dry_run(result.out)
        self.assertEqual(summary[1:4], ["=== DRY RUN SUMMARY ===", "VM:                  " + vm.name,
                                        "Power state:         running"])
        self.assertEqual(summary[8:], [
            "",
            "Disks that would be backed up:",
            "  vda  " + vm.images["vda"],
            "         -> %s-vda.qcow2" % vm.name,
            "",
            "NVRAM (UEFI VM):     " + vm.nvram,
            "         -> %s-nvram.fd" % vm.name,
            "",
            "(Dry run. No changes made.)",
            "",
        ])
        self.assertEqual(tree(vm.scratch), before)
        self.assertEqual(tree(self.root), set())
        self.assertEqual(vm.snapshots(), [])

    def test_shut_off_vm_with_quiesce_passes_without_asking_the_agent(self):
        # Defined but never started: libvirt reports it shut off.
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "16M")], agent=True)
        vm.define()
        self.assertEqual(vm.state(), "shut off")
        result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "1", "-d", "-q", "-v"])
        self.assertEqual(result.rc, 0, result)
        logged, summary = split_dry_run(result.out)
        self.assertEqual(logged, ["Step 1: Validating arguments and environment...",
                                  "Step 1: validation passed."])
        self.assertNotIn("agent", result.err)
        self.assertIn("Power state:         shutoff", summary)
        self.assertIn("Consistency:         offline-consistent (VM is powered off)", summary)
        self.assertEqual(vm.state(), "shut off")
        self.assertEqual(tree(self.root), set())


if __name__ == "__main__":
    unittest.main()
