"""The dry run of the real binary: summary text, calls made, nothing written."""
import os
import re
import unittest

from harness import (TS, SandboxTest, fresh_sandbox, healthy_vm, lay_out_backup, sandbox_tree,
                     strip_ts)

VM = "web01"
START = "Step 1: Validating arguments and environment..."
PASSED = "Step 1: validation passed."
DOMBLKLIST = ["virsh", "domblklist", VM, "--details"]
DUMPXML = ["virsh", "dumpxml", VM]
STEP1_CALLS = [["virsh", "dominfo", VM], ["virsh", "snapshot-list", VM, "--name"],
               ["virsh", "domstate", VM]]
AGENT = ["virsh", "qemu-agent-command", "--timeout", "5", VM, '{"execute":"guest-ping"}']
CRASH = "crash-consistent (no quiesce)"
DIR_LINE = "Backup directory:    <dir>"
VDA = ("vda", "/var/lib/libvirt/images/web01.qcow2")
NVRAM = "/var/lib/libvirt/qemu/nvram/web01_VARS.fd"
DRY_RECORD = r"^" + TS + r"vm=web01 result=dry_run duration=\d+s version=0\.1\.5-prototype$"


def summary(state="running", consistency=CRASH, keep=7, disks=(VDA,), nvram=None, existing=None,
            kind=None, deleted=None):
    """The expected summary; the backup-directory line is DIR_LINE. Retention
    deletes `deleted` backups, by default all but the newest keep - 1."""
    lines = ["", "=== DRY RUN SUMMARY ===",
             "VM:                  " + VM,
             "Power state:         " + state,
             DIR_LINE,
             "Snapshot name:       quorlane-backup-temp",
             "Consistency:         " + consistency,
             "Retention:           keep %d most recent" % keep]
    if kind:
        lines.append("Backup kind:         " + kind)
    lines += ["", "Disks that would be backed up:"]
    for target, source in disks:
        lines += ["  %s  %s" % (target, source), "         -> %s-%s.qcow2" % (VM, target)]
    if nvram:
        lines += ["", "NVRAM (UEFI VM):     " + nvram, "         -> %s-nvram.fd" % VM]
    if existing is not None:
        lines += ["", "Existing backups for this VM: %d" % existing]
        if deleted is None:
            deleted = existing - keep + 1
        if deleted > 0:
            lines.append("After this backup, retention would delete %d old backup(s)." % deleted)
    return lines + ["", "(Dry run. No changes made.)"]


def rule(vector, **answer):
    return dict(prog=vector[0], args=vector[1:], **answer)


def backups(count, start=1):
    return ["2026-01-%02d_03-00-00" % day for day in range(start, start + count)]


class DryRunTest(SandboxTest):
    fresh = fresh_sandbox

    def assertDryRun(self, extra_args, expected, calls=None, keep="7", root=None):
        root = root or self.root
        before = sandbox_tree(self.box)
        result = self.box.run(["-n", VM, "-r", root, "-k", keep, "-d"] + extra_args)
        self.assertEqual(result.rc, 0, result.err)
        self.assertEqual(result.err, "")
        self.assertTrue(result.out.endswith("(Dry run. No changes made.)\n"))
        lines = result.out.splitlines()
        self.assertEqual(strip_ts("\n".join(lines[:2])), [START, PASSED])
        summary_lines = lines[2:]
        dir_index = expected.index(DIR_LINE)
        self.assertRegex(summary_lines[dir_index], r"^Backup directory:    %s/web01/\d{4}-\d\d-\d\d_\d\d-"
                         r"\d\d-\d\d$" % re.escape(root.rstrip("/")))
        summary_lines[dir_index] = DIR_LINE
        self.assertEqual(summary_lines, expected)
        self.assertEqual(self.box.calls(), calls or STEP1_CALLS + [DOMBLKLIST, DUMPXML])
        self.assertEqual(sandbox_tree(self.box), before)
        log = self.box.app_log()
        self.assertEqual(len(log), 1, log)
        self.assertRegex(log[0], DRY_RECORD)

    def test_single_disk_vm_without_earlier_backups(self):
        self.fresh(healthy_vm())
        self.assertDryRun([], summary())

    def test_root_typed_with_trailing_slash(self):
        self.fresh(healthy_vm())
        self.assertDryRun([], summary(), root=self.root + "/")

    def test_disks_sorted_by_target_without_cdrom_or_empty_source(self):
        table = "\n".join([
            " Type   Device   Target   Source",
            "------------------------------------------------",
            " file   disk     vdb      /var/lib/libvirt/images/web01-data.qcow2",
            " file   cdrom    hdc      /isos/install.iso",
            " file   disk     vda      /var/lib/libvirt/images/web01.qcow2",
            " file   disk     sda      /srv/vm images/web01  boot.qcow2   \r",
            " file   disk     vdc      -",
            " file   cdrom    hdd      -",
            "", ""])
        self.fresh([rule(DOMBLKLIST, stdout=table)] + healthy_vm())
        disks = [("sda", "/srv/vm images/web01  boot.qcow2"), VDA,
                 ("vdb", "/var/lib/libvirt/images/web01-data.qcow2")]
        self.assertDryRun([], summary(disks=disks))

    def test_nvram_section(self):
        self.fresh(healthy_vm(nvram=NVRAM))
        self.assertDryRun([], summary(nvram=NVRAM))

    def test_failing_listing_and_dump_leave_sections_empty(self):
        self.fresh([rule(DOMBLKLIST, exit=1, stderr="error: failed\n"),
                    rule(DUMPXML, exit=1, stderr="error: failed\n")] + healthy_vm(nvram=NVRAM))
        self.assertDryRun([], summary(disks=()))

    def test_consistency_label(self):
        cases = [("running, quiesce", "running\n", ["-q"], "running",
                  "application-consistent (quiesce via guest agent)", [AGENT]),
                 ("shut off, quiesce", "shut off\n", ["-q"], "shutoff",
                  "offline-consistent (VM is powered off)", []),
                 ("shut off", "shut off\n", [], "shutoff", "offline-consistent (VM is powered off)", []),
                 ("paused", "paused\n", [], "paused", "offline-consistent (VM is powered off)", []),
                 ("state unknown", "", [], "", "offline-consistent (VM is powered off)", [])]
        for name, stdout, extra, state, label, agent in cases:
            with self.subTest(name):
                self.fresh([rule(STEP1_CALLS[2], stdout=stdout)] + healthy_vm())
                self.assertDryRun(extra, summary(state=state, consistency=label),
                                  calls=STEP1_CALLS + agent + [DOMBLKLIST, DUMPXML])

    def test_existing_backups_and_retention_forecast(self):
        def link_to_outside(vm_dir):
            target = self.box.path("elsewhere", "2026-02-01_00-00-00")
            lay_out_backup(target, vm=VM)
            os.symlink(target, os.path.join(vm_dir, "2026-02-01_00-00-00"))

        def noise(vm_dir):
            # Only subdirectories named like a backup count.
            for name in ("notes", "2026-01-31_03-00-0", "2026-01-31 03-00-00", "2026-01-31_03-00-00x",
                         "x2026-01-31_03-00-00", "2026-01-31_03:00:00", "2026-1-31_03-00-000"):
                os.makedirs(os.path.join(vm_dir, name))
            for name in ("2026-01-30_03-00-00", "web01.log"):
                open(os.path.join(vm_dir, name), "w").close()

        def unfinished_runs(vm_dir):
            # Left by interrupted runs: their logs never reached the end of the copy.
            for name in ("2026-02-02_00-00-00", "2026-02-03_00-00-00"):
                lay_out_backup(os.path.join(vm_dir, name), vm=VM, finished=False)

        cases = [("3 of 7", 3, "7", None, 3), ("6 of 7", 6, "7", None, 6), ("7 of 7", 7, "7", None, 7),
                 ("9 of 7", 9, "7", None, 9), ("none of 1", 0, "1", None, 0),
                 ("1 of 1", 1, "1", None, 1),
                 ("6 and other entries", 6, "7", noise, 6),
                 ("6 and a link to a directory", 6, "7", link_to_outside, 7),
                 ("6 and two unfinished runs", 6, "7", unfinished_runs, 6)]
        for name, count, keep, extra, shown in cases:
            with self.subTest(name):
                self.fresh(healthy_vm())
                vm_dir = os.path.join(self.root, VM)
                os.makedirs(vm_dir)
                for entry in backups(count):
                    lay_out_backup(os.path.join(vm_dir, entry), vm=VM)
                if extra:
                    extra(vm_dir)
                self.assertDryRun([], summary(keep=int(keep), existing=shown), keep=keep)

    def test_retention_forecast_keeps_the_chain_an_incremental_continues(self):
        # A full and an incremental backup made with --incremental, then one without.
        full, tip, other = backups(3)
        records = {full: "kind=full\n", tip: "kind=incremental\nparent=%s\n" % full}
        checkpoint = "quorlane-" + tip
        capacity = ["virsh", "domblkinfo", VM, "vda"]
        listing = ["virsh", "checkpoint-list", VM, "--name"]
        intact = ["virsh", "checkpoint-dumpxml", VM, checkpoint, "--size"]
        kind = "incremental, from backup %s (backup 3 of at most 7 in its chain)" % tip
        # Without -i the new backup continues no chain, and both chained backups go.
        for options, deleted in [([], 2), (["-i"], 0)]:
            with self.subTest(options=options):
                self.fresh([rule(listing, stdout=checkpoint + "\n\n"),
                            rule(intact, stdout="<domaincheckpoint><disks><disk name='vda' "
                                                "checkpoint='bitmap' size='0'/></disks>"),
                            rule(capacity, stdout="Capacity:       1048576\n\n")] + healthy_vm())
                for ts in (full, tip, other):
                    d = os.path.join(self.root, VM, ts)
                    lay_out_backup(d, vm=VM)
                    open(os.path.join(d, "web01-vda.qcow2"), "w").close()
                    if ts in records:
                        with open(os.path.join(d, "web01.chain"), "w") as f:
                            f.write(records[ts] + "checkpoint=quorlane-%s\ndisk=vda 1048576\n" % ts)
                calls = STEP1_CALLS + [DOMBLKLIST, DUMPXML]
                if options:
                    image = os.path.join(self.root, VM, tip, "web01-vda.qcow2")
                    calls += [capacity, listing, intact,
                              ["qemu-img", "info", "-f", "qcow2", "--backing-chain", image]]
                self.assertDryRun(options, summary(keep=2, existing=3, deleted=deleted,
                                                   kind=kind if options else None),
                                  calls=calls, keep="2")

    def test_no_existing_section_without_a_vm_directory(self):
        for name, make in [("absent", None),
                           ("a file", lambda p: open(p, "w").close()),
                           ("dangling link", lambda p: os.symlink(p + ".gone", p))]:
            with self.subTest(name):
                self.fresh(healthy_vm())
                os.makedirs(os.path.join(self.root, "db01", backups(1)[0]))
                if make:
                    make(os.path.join(self.root, VM))
                self.assertDryRun([], summary())


if __name__ == "__main__":
    unittest.main()
