"""quorlane-backup --incremental on stand-ins: when a run continues its chain
and why it is a full one, the argument vectors of the checkpoint, the backup
job and the conversion, a failed job, and retention across chains. An
interrupted job is a unit test of the run (tests/unit/backup_test.cc)."""
import os
import re
import time
import unittest

from harness import (CONVERT, SNAPSHOT, BackupTest, domain_xml, healthy_vm, lay_out_backup,
                     record_pattern)

SIZE = 1048576
TIP = "2026-01-02_00-00-00"


def checkpoint_xml(name, intact=True):
    size = " size='65536'" if intact else ""
    return ("<domaincheckpoint>\n  <name>%s</name>\n  <disks>\n"
            "    <disk name='vda' checkpoint='bitmap' bitmap='%s'%s/>\n  </disks>\n"
            "  <domain type='kvm'><devices><disk type='file' device='disk'/></devices></domain>\n"
            "</domaincheckpoint>\n" % (name, name, size))


def job_info(kind, error=None):
    text = "Job type:         %s   \nOperation:        Backup\n" % kind
    return text + ("Error message:    %s\n" % error if error else "") + "\n"


class IncrementalSandbox(BackupTest):
    """A sandbox with a VM of one qcow2 disk and helpers for runs with -i."""

    def _prepare(self):
        super()._prepare()
        self.vm_dir = os.path.join(self.root, self.vm)
        self.disks = {"vda": self.box.path("images", "web01.qcow2")}
        self.lay_out(self.disks)
        self.scratch = self.box.path("images", "web01-vda.quorlane-backup-scratch.qcow2")
        self.saved = self.box.path("saved")
        os.makedirs(self.saved)

    def lay_out_chain(self, ts, kind="full", parent=None, checkpoint=True, sizes=None):
        """A complete backup made with --incremental."""
        d = os.path.join(self.vm_dir, ts)
        lay_out_backup(d)
        sizes = sizes or {"vda": SIZE}
        for target in sizes:
            with open(os.path.join(d, "web01-%s.qcow2" % target), "w") as f:
                f.write("image " + ts)
        lines = ["kind=" + kind] + (["parent=" + parent] if parent else [])
        lines += ["checkpoint=quorlane-" + ts] if checkpoint else []
        lines += ["disk=%s %d" % item for item in sorted(sizes.items())]
        with open(os.path.join(d, "web01.chain"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def serve(self, checkpoints=(), intact=True, size=SIZE, state="running", xml=None,
              first=(), completed=("Completed", None)):
        rules = list(first) + [
            {"prog": "virsh", "args": ["checkpoint-list", "web01", "--name"],
             "stdout": "".join(c + "\n" for c in checkpoints) + "\n"},
            {"prog": "virsh", "prefix": ["domblkinfo", "web01"],
             "stdout": "Capacity:       %d\nAllocation:     0\n\n" % size},
            {"prog": "virsh", "args": ["domjobinfo", "web01"], "stdout": job_info("Unbounded"),
             "times": 1},
            {"prog": "virsh", "args": ["domjobinfo", "web01"], "stdout": job_info("None")},
            {"prog": "virsh", "args": ["domjobinfo", "web01", "--completed"],
             "stdout": job_info(*completed)},
            {"prog": "virsh", "prefix": ["backup-begin"], "save": self.saved},
            {"prog": "qemu-img", "prefix": ["create"], "real": "/usr/bin/qemu-img"},
            {"prog": "qemu-img", "prefix": ["rebase"], "real": "/usr/bin/qemu-img"},
        ]
        rules += [{"prog": "virsh", "prefix": ["checkpoint-dumpxml", "web01", c],
                   "stdout": checkpoint_xml(c, intact)} for c in checkpoints]
        vm = healthy_vm(disks=self.disks, state=state)
        if xml is not None:
            vm = [{"prog": "virsh", "args": ["dumpxml", "web01"], "stdout": xml}] + vm
        self.use(rules + vm)

    def calls(self, *first_args):
        return [c for c in self.box.calls() if c[1] in first_args]

    def chain_file(self, d):
        with open(os.path.join(d, "web01.chain")) as f:
            return f.read()


class IncrementalTest(IncrementalSandbox):

    def test_a_full_backup_starts_the_chain_and_the_next_run_continues_it(self):
        self.serve()
        res = self.backup("-i")
        self.assertEqual(res.rc, 0, res.err)
        d = self.backup_dir(res)
        ts = os.path.basename(d)
        self.assertIn("Full backup, starting a new chain: no complete backup of this VM was made "
                      "with --incremental.", res.out_lines)
        # The checkpoint comes first, so that it tracks every write after the
        # snapshot's point in time.
        self.assertEqual([c[1] for c in self.calls("checkpoint-create-as", "snapshot-create-as")],
                         ["checkpoint-create-as", "snapshot-create-as"])
        self.assertEqual([line for line in res.out_lines if line.startswith("Step 5")], [
            "Step 5.a: Creating checkpoint 'quorlane-%s' for the next incremental backup..." % ts,
            "Step 5.b: Creating external snapshot '%s'..." % SNAPSHOT])
        self.assertIn(["virsh", "checkpoint-create-as", "web01", "quorlane-" + ts], self.box.calls())
        self.assertEqual(self.chain_file(d), "kind=full\ncheckpoint=quorlane-%s\ndisk=vda %d\n"
                         % (ts, SIZE))
        self.assertRegex(self.box.app_log()[-1],
                         record_pattern("success", directory=d, consistency="crash-consistent")
                         .replace(r" duration", r" kind=full duration"))

    def test_an_incremental_copies_the_changed_blocks_onto_its_parent(self):
        self.lay_out_chain(TIP)
        self.serve(checkpoints=["quorlane-" + TIP, "someone-elses"])
        res = self.backup("-i", "-C", "3")
        self.assertEqual(res.rc, 0, res.err)
        d = self.backup_dir(res)
        ts = os.path.basename(d)
        self.assertIn("Incremental backup: only the blocks changed since backup %s (backup 2 of "
                      "at most 3 in its chain)." % TIP, res.out_lines)
        job = [os.path.join(d, "web01-backup-job.xml"), os.path.join(d, "web01-checkpoint.xml")]
        parent = os.path.join(self.vm_dir, TIP, "web01-vda.qcow2")
        self.assertEqual(self.calls("create", "backup-begin", "domjobinfo", "rebase", "convert",
                                    "snapshot-create-as", "checkpoint-delete", "domjobabort"), [
            ["qemu-img", "create", "-f", "qcow2", self.scratch, str(SIZE)],
            ["virsh", "backup-begin", "web01"] + job + ["--reuse-external"],
            ["virsh", "domjobinfo", "web01"], ["virsh", "domjobinfo", "web01"],
            ["virsh", "domjobinfo", "web01", "--completed"],
            ["qemu-img", "rebase", "-u", "-F", "qcow2", "-b", parent, self.scratch],
            CONVERT[:2] + ["-W", "-m", "4"] + CONVERT[2:] + ["-B", "../%s/web01-vda.qcow2" % TIP, "-F", "qcow2", self.scratch,
                       os.path.join(d, "web01-vda.qcow2")],
            ["virsh", "domjobinfo", "web01"],
            ["virsh", "checkpoint-delete", "web01", "quorlane-" + TIP]])
        with open(os.path.join(self.saved, "web01-backup-job.xml")) as f:
            self.assertEqual(f.read(), (
                "<domainbackup mode='push'>\n  <incremental>quorlane-%s</incremental>\n"
                "  <disks>\n    <disk name='vda' backup='yes' type='file'>\n"
                "      <driver type='qcow2'/>\n      <target file='%s'/>\n    </disk>\n"
                "  </disks>\n</domainbackup>\n" % (TIP, self.scratch)))
        with open(os.path.join(self.saved, "web01-checkpoint.xml")) as f:
            self.assertEqual(f.read(), (
                "<domaincheckpoint>\n  <name>quorlane-%s</name>\n  <disks>\n"
                "    <disk name='vda' checkpoint='bitmap'/>\n  </disks>\n</domaincheckpoint>\n"
                % ts))
        self.assertEqual(sorted(os.listdir(d)), ["web01-%s.log" % ts, "web01-vda.qcow2",
                                                 "web01.chain", "web01.xml", "web01.xml.backup"])
        self.assertFalse(os.path.exists(self.scratch))
        self.assertEqual(self.chain_file(d), "kind=incremental\nparent=%s\ncheckpoint=quorlane-%s\n"
                         "disk=vda %d\n" % (TIP, ts, SIZE))
        self.assertRegex(self.box.app_log()[-1], re.escape(
            " consistency=crash-consistent kind=incremental parent=%s duration=" % TIP))

    def test_each_reason_for_a_full_backup_is_said(self):
        older = "2026-01-01_00-00-00"
        raw = domain_xml("web01", self.disks).replace("type='qcow2'", "type='raw'")
        cases = [  # name, lay out, serve, extra options, line
            ("shut off", [], {"state": "shut off"}, [],
             "Full backup, no chain can start from it: VM 'web01' is shut off, and libvirt "
             "tracks changed blocks only while it runs."),
            ("raw disk", [], {"xml": raw}, [],
             "Full backup, no chain can start from it: disk vda is not a qcow2 file; raw images "
             "and block devices hold no bitmaps."),
            ("no checkpoint in libvirt", [(TIP, {})], {}, [],
             "Full backup, starting a new chain: libvirt has no checkpoint 'quorlane-%s' of "
             "backup %s." % (TIP, TIP)),
            ("inconsistent checkpoint", [(TIP, {})], {"intact": False}, [],
             "Full backup, starting a new chain: checkpoint 'quorlane-%s' of backup %s is "
             "inconsistent (QEMU stopped without saving its bitmaps)." % (TIP, TIP)),
            ("tip without checkpoint", [(TIP, {"checkpoint": False})], {}, [],
             "Full backup, starting a new chain: backup %s has no checkpoint to continue from."
             % TIP),
            ("disk resized", [(TIP, {})], {"size": 2 * SIZE}, [],
             "Full backup, starting a new chain: disk vda has %d bytes, %d in backup %s."
             % (2 * SIZE, SIZE, TIP)),
            ("other disks", [(TIP, {"sizes": {"vda": SIZE, "vdb": SIZE}})], {}, [],
             "Full backup, starting a new chain: the disks (vda) are not those of backup %s "
             "(vda,vdb)." % TIP),
            ("chain full", [(older, {}), (TIP, {"kind": "incremental", "parent": older})], {},
             ["-C", "2"], "Full backup, starting a new chain: the chain of backup %s holds 2 "
             "backups (--chain-length 2)." % older),
            ("parent gone", [(TIP, {"kind": "incremental", "parent": older})], {}, [],
             "Full backup, starting a new chain: backup %s of the chain is missing: "
             "{vm_dir}/%s." % (older, older)),
        ]
        for name, backups, serve, extra, line in cases:
            with self.subTest(name):
                self.new_box()
                for ts, kw in backups:
                    self.lay_out_chain(ts, **kw)
                self.serve(checkpoints=[] if name == "no checkpoint in libvirt"
                           else ["quorlane-" + TIP], **serve)
                line = line.replace("{vm_dir}", self.vm_dir)
                dry = self.backup("-i", "-d", *extra)
                self.assertIn("Backup kind:         full, " + line[len("Full backup, "):-1],
                              dry.out.splitlines())
                res = self.backup("-i", *extra)
                self.assertEqual(res.rc, 0, res.err)
                self.assertIn(line, res.out_lines)
                self.assertEqual(len(self.calls("snapshot-create-as")), 1)
                tracked = "no chain can start" not in line
                self.assertEqual(len(self.calls("checkpoint-create-as")), 1 if tracked else 0)
                self.assertEqual(self.calls("backup-begin"), [])
                checkpoint = "Step 5.a: Creating checkpoint 'quorlane-%s' for the next " \
                             "incremental backup..." % os.path.basename(self.backup_dir(res))
                self.assertEqual([l for l in res.out_lines if l.startswith("Step 5")],
                                 ([checkpoint] if tracked else []) + [
                                     ("Step 5.b" if tracked else "Step 5")
                                     + ": Creating external snapshot '%s'..." % SNAPSHOT])

    def test_a_damaged_tip_starts_a_new_chain_and_stays(self):
        self.lay_out_chain(TIP)
        image = os.path.join(self.vm_dir, TIP, "web01-vda.qcow2")
        opened = ["qemu-img", "info", "-f", "qcow2", "--backing-chain", image]
        error = "qemu-img: Could not open '%s': Image is not in qcow2 format" % image
        self.serve(checkpoints=["quorlane-" + TIP], first=[
            {"prog": "qemu-img", "args": opened[1:], "exit": 1, "stderr": error + "\nmore\n"}])
        reason = "backup %s is damaged: its image of vda does not open: %s" % (TIP, error)
        dry = self.backup("-i", "-d")
        self.assertIn("Backup kind:         full, starting a new chain: " + reason,
                      dry.out.splitlines())
        res = self.backup("-i")
        self.assertEqual(res.rc, 0, res.err)
        ts = os.path.basename(self.backup_dir(res))
        self.assertIn("Full backup, starting a new chain: %s." % reason, res.out_lines)
        self.assertEqual(self.calls("info"), [opened, opened])
        self.assertEqual(self.calls("backup-begin"), [])
        self.assertEqual(self.chain_file(os.path.join(self.vm_dir, ts)),
                         "kind=full\ncheckpoint=quorlane-%s\ndisk=vda %d\n" % (ts, SIZE))
        self.assertIn(["virsh", "checkpoint-delete", "web01", "quorlane-" + TIP], self.box.calls())
        self.assertEqual(sorted(os.listdir(self.vm_dir)), [TIP, ts])

        # The new chain goes on.
        self.serve(checkpoints=["quorlane-" + ts])
        while time.strftime("%Y-%m-%d_%H-%M-%S") <= ts:
            time.sleep(0.05)
        res = self.backup("-i")
        self.assertEqual(res.rc, 0, res.err)
        self.assertIn("Incremental backup: only the blocks changed since backup %s (backup 2 of "
                      "at most 7 in its chain)." % ts, res.out_lines)
        self.assertEqual(len(os.listdir(self.vm_dir)), 3)

    def test_a_failed_job_leaves_no_checkpoint_scratch_or_directory(self):
        self.lay_out_chain(TIP)
        self.serve(checkpoints=["quorlane-" + TIP], completed=("Failed", "no space"))
        res = self.backup("-i")
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: The backup job on VM 'web01' ended Failed: no space", res.err_lines)
        self.assertRegex(self.box.app_log()[-1], r" result=failure stage=step6_disk_backup "
                         r"kind=incremental parent=%s duration" % TIP)
        self.assertEqual(self.calls("domjobabort"), [])
        deleted = [c[3] for c in self.calls("checkpoint-delete")]
        self.assertEqual(len(deleted), 1, deleted)
        self.assertRegex(deleted[0], r"quorlane-(?!%s)" % TIP)
        self.assertEqual(os.listdir(self.vm_dir), [TIP])
        self.assertFalse(os.path.exists(self.scratch))

    def test_retention_keeps_what_kept_backups_depend_on(self):
        chains = [("2026-01-01_00-00-00", "full", None), ("2026-01-02_00-00-00", "incremental",
                                                          "2026-01-01_00-00-00"),
                  ("2026-01-03_00-00-00", "full", None), ("2026-01-04_00-00-00", "incremental",
                                                          "2026-01-03_00-00-00")]
        for options, keep, kept in [(["-i"], "1", chains[2:]), ([], "2", chains[2:]),
                                    ([], "4", chains)]:
            with self.subTest(options=options, keep=keep):
                self.new_box()
                for ts, kind, parent in chains:
                    self.lay_out_chain(ts, kind, parent)
                self.serve(checkpoints=["quorlane-" + chains[-1][0]])
                res = self.backup(*options, keep=keep)
                self.assertEqual(res.rc, 0, res.err)
                own = os.path.basename(self.backup_dir(res))
                self.assertEqual(sorted(os.listdir(self.vm_dir)),
                                 sorted([ts for ts, _, _ in kept] + [own]))

    def test_a_checkpoint_of_a_killed_run_is_deleted_and_the_chain_goes_on(self):
        self.lay_out_chain(TIP)
        stray = "quorlane-2026-01-03_00-00-00"
        self.serve(checkpoints=["quorlane-" + TIP, stray],
                   first=[{"prog": "virsh", "args": ["checkpoint-delete", "web01", stray],
                           "exit": 1, "stderr": "error: bitmap not found\n"}])
        res = self.backup("-i")
        self.assertEqual(res.rc, 0, res.err)
        self.assertIn("WARN:  Checkpoint '%s' belongs to no complete backup (a run was killed); "
                      "deleting it." % stray, res.err_lines)
        self.assertEqual(self.calls("checkpoint-delete")[:2], [
            ["virsh", "checkpoint-delete", "web01", stray],
            ["virsh", "checkpoint-delete", "web01", stray, "--metadata"]])
        self.assertIn("Incremental backup: only the blocks changed since backup %s (backup 2 of "
                      "at most 7 in its chain)." % TIP, res.out_lines)

    def test_a_shut_off_vm_with_checkpoints_of_its_chain_is_still_backed_up(self):
        refused = {"prog": "virsh", "prefix": ["snapshot-create-as"], "times": 1, "exit": 1,
                   "stderr": "error: Operation not supported: cannot perform block operations "
                             "while checkpoint exists\n"}
        for names, rc in [(["quorlane-" + TIP], 0), (["quorlane-" + TIP, "nightly"], 1)]:
            with self.subTest(names=names):
                self.new_box()
                self.serve(checkpoints=names, state="shut off", first=[refused])
                res = self.backup()
                self.assertEqual(res.rc, rc, res.err)
                drop = [["virsh", "checkpoint-delete", "web01", "quorlane-" + TIP, "--metadata"],
                        ["qemu-img", "bitmap", "--remove", self.disks["vda"], "quorlane-" + TIP]]
                self.assertEqual(self.calls("checkpoint-delete", "bitmap"), drop if rc == 0 else [])
                self.assertEqual(len(self.calls("snapshot-create-as")), 2 if rc == 0 else 1)

    def test_chain_length_needs_incremental_and_a_positive_number(self):
        self.serve()
        for extra, message in [(["-C", "3"], "--chain-length applies only with --incremental"),
                               (["-i", "-C", "0"],
                                "--chain-length must be a positive integer (got: '0')")]:
            with self.subTest(extra=extra):
                res = self.backup(*extra)
                self.assertEqual(res.rc, 1)
                self.assertEqual(res.err_lines, ["ERROR: " + message])
        self.assertEqual(os.listdir(self.root), [])
        self.assertNotIn(SNAPSHOT, str(self.box.calls()))


if __name__ == "__main__":
    unittest.main()
