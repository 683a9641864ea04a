"""Runs that overlap: a run of a VM that another run is working on refuses at
once, naming that run, and touches nothing; runs of other VMs go on; a
backup that a restore reads stays through a concurrent run's retention."""
import os
import re
import subprocess
import time
import unittest

from harness import (REAL_QEMU_IMG, RESTORE_BINARY, RUN_LOCK_DIR, Result, RestoreTest,
                     expected_run, healthy_vm, image_bytes, info, libvirt_state, real_qemu_img,
                     record_pattern)
from test_incremental import TIP, IncrementalSandbox, job_info

STEP1 = "Step 1: Validating arguments and environment..."


def refusal(vm, program, pid):
    """The error line of a run that finds `vm` locked by `program` with `pid`."""
    return (r"^ERROR: VM '%s' is being worked on by another run: %s, pid %d, started "
            r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.$" % (re.escape(vm), re.escape(program), pid))


def start(test, args, binary=None):
    """Starts a run in test's sandbox and leaves it running."""
    proc = test.box.start(args, binary=binary)
    test.addCleanup(lambda: proc.poll() is None and proc.kill())
    return proc


def finish(test, proc):
    out, err = proc.communicate()
    return Result(proc.returncode, out, err, test.box)


def wait_for_vector(box, proc, prefix):
    """Waits until a stand-in was called with an argument vector that begins
    with `prefix`; fails when the run ends before."""
    while not any(vector[:len(prefix)] == prefix for vector in box.calls()):
        if proc.poll() is not None:
            raise AssertionError("the run ended before %s: %r" % (prefix, proc.communicate()))
        time.sleep(0.05)


def release(path):
    open(path, "w").close()


class OverlappingBackups(IncrementalSandbox):

    def refused(self, res, holder):
        self.assertEqual(res.rc, 1)
        self.assertEqual(res.out_lines, [STEP1])
        self.assertEqual(len(res.err_lines), 1, res.err)
        self.assertRegex(res.err_lines[0], refusal(self.vm, "quorlane-backup", holder.pid))
        self.assertRegex(self.box.app_log()[-1],
                         record_pattern("failure", stage="validation_or_setup"))

    def test_a_run_while_another_copies_refuses_and_another_vm_goes_on(self):
        gate = self.box.path("release")
        other = {"vda": self.box.path("images", "db01.qcow2")}
        self.lay_out(other)
        held = {"prog": "qemu-img", "prefix": ["convert"], "wait_for": gate, "copy": True,
                "times": 1}
        self.use([held] + healthy_vm(disks=self.disks) + healthy_vm("db01", disks=other))
        first = start(self, ["-n", self.vm, "-r", self.root, "-k", "3"])
        wait_for_vector(self.box, first, ["qemu-img", "convert"])
        calls = self.box.calls()
        for extra in ([], ["-d"], ["-i"]):
            with self.subTest(extra=extra):
                self.refused(self.backup(*extra), first)
                # Not a question to libvirt, let alone the snapshot's removal.
                self.assertEqual(self.box.calls(), calls)

        res = self.box.run(["-n", "db01", "-r", self.root, "-k", "3"])
        self.assertEqual(res.rc, 0, res.err)
        self.assertIn("Backup complete: ", res.out_lines[-1])

        release(gate)
        res = finish(self, first)
        self.assertEqual(res.rc, 0, res.err)
        d = self.backup_dir(res)
        self.assertConsole(res, expected_run(d, self.disks))
        self.assertEqual(os.listdir(self.vm_dir), [os.path.basename(d)])
        self.assertRegex(self.box.app_log()[-1],
                         record_pattern("success", directory=d, consistency="crash-consistent"))

    def test_an_incremental_run_during_anothers_job_leaves_its_checkpoint_and_scratch(self):
        self.lay_out_chain(TIP)
        gate = self.box.path("release")
        held = {"prog": "virsh", "args": ["domjobinfo", self.vm], "wait_for": gate,
                "stdout": job_info("Unbounded"), "times": 1}
        self.serve(checkpoints=["quorlane-" + TIP], first=[held])
        first = start(self, ["-n", self.vm, "-r", self.root, "-k", "3", "-i"])
        wait_for_vector(self.box, first, ["virsh", "domjobinfo"])
        # libvirt lists the running job's checkpoint, which belongs to no
        # complete backup yet.
        (own,) = [ts for ts in os.listdir(self.vm_dir) if ts != TIP]
        self.serve(checkpoints=["quorlane-" + TIP, "quorlane-" + own], first=[held])
        calls = self.box.calls()
        self.refused(self.backup("-i"), first)
        self.assertEqual(self.box.calls(), calls)
        self.assertTrue(os.path.exists(self.scratch))

        release(gate)
        res = finish(self, first)
        self.assertEqual(res.rc, 0, res.err)
        self.assertIn("Incremental backup: only the blocks changed since backup %s (backup 2 of "
                      "at most 7 in its chain)." % TIP, res.out_lines)
        self.assertEqual(self.chain_file(os.path.join(self.vm_dir, own)).splitlines()[:3],
                         ["kind=incremental", "parent=" + TIP, "checkpoint=quorlane-" + own])
        self.assertEqual(self.calls("checkpoint-delete"),
                         [["virsh", "checkpoint-delete", self.vm, "quorlane-" + TIP]])
        self.assertFalse(os.path.exists(self.scratch))

    def test_a_lock_that_cannot_be_taken_fails_the_run_with_the_reason(self):
        self.use(healthy_vm(disks=self.disks))
        res = self.backup(setup="mount -o remount,ro,bind %s || exit 98" % RUN_LOCK_DIR)
        self.assertEqual(res.rc, 1)
        self.assertEqual(res.out_lines, [STEP1])
        self.assertEqual(res.err_lines, ["ERROR: Could not lock VM 'web01' against other runs: "
                                         "%s/web01.lock: Read-only file system" % RUN_LOCK_DIR])
        self.assertRegex(self.box.app_log()[-1],
                         record_pattern("failure", stage="validation_or_setup"))
        self.assertEqual(self.box.calls(), [])


class RestoreBesideRuns(RestoreTest):

    def same_image(self, a, b):
        self.assertEqual(subprocess.run([REAL_QEMU_IMG, "compare", "-q", a, b]).returncode, 0)

    def test_retention_keeps_the_backup_a_restore_reads_until_the_restore_ends(self):
        old = self.make_backup("2026-03-01_02-00-05", nvram=False)
        disks = {"vda": self.box.path("images", "web01.qcow2")}
        os.makedirs(self.box.path("images"))
        with open(disks["vda"], "wb") as f:
            f.write(image_bytes("vda"))
        copies = self.box.path("copies")
        os.makedirs(copies)
        gate = self.box.path("release")
        # The restore holds while it copies the backup.
        self.use([{"prog": "qemu-img", "prefix": ["convert", "-W"], "wait_for": gate,
                   "real": REAL_QEMU_IMG},
                  {"prog": "qemu-img", "prefix": ["convert", "-f"], "real": REAL_QEMU_IMG},
                  libvirt_state("web01-copy")] + healthy_vm(disks=disks) + real_qemu_img())
        restore = start(self, ["-b", old, "--as", "web01-copy", "-i", copies],
                        binary=RESTORE_BINARY)
        wait_for_vector(self.box, restore, ["qemu-img", "convert", "-W"])

        backup = self.box.run(["-n", self.vm, "-r", self.root, "-k", "1"])
        self.assertEqual(backup.rc, 0, backup.err)
        (new,) = [line.rsplit(" ", 1)[1] for line in backup.out_lines
                  if line.startswith("Backup complete: ")]
        kept = info("  Keeping old backup 2026-03-01_02-00-05: a restore is reading it.")
        self.assertEqual(backup.out_lines, [text for stream, text in
                                            expected_run(new, disks, keep=1, prune=[kept])
                                            if stream == "out"])
        self.assertTrue(os.path.isdir(old))

        release(gate)
        res = finish(self, restore)
        self.assertEqual(res.rc, 0, res.err)
        self.same_image(os.path.join(old, "web01-vda.qcow2"),
                        os.path.join(copies, "web01-copy-vda.qcow2"))
        self.assertTrue(os.path.isdir(old))

        # With the restore gone, the next run prunes it.
        while time.strftime("%Y-%m-%d_%H-%M-%S") <= os.path.basename(new):
            time.sleep(0.05)
        later = self.box.run(["-n", self.vm, "-r", self.root, "-k", "1"])
        self.assertEqual(later.rc, 0, later.err)
        self.assertIn("  Deleting old backup: 2026-03-01_02-00-05", later.out_lines)
        self.assertFalse(os.path.exists(old))

    def test_a_restore_to_the_vm_another_restore_writes_refuses_and_leaves_its_files(self):
        d = self.make_backup(nvram=False)
        copies = self.box.path("copies")
        os.makedirs(copies)
        gate = self.box.path("release")
        # The first restore holds with its image written under its temporary name.
        self.use([{"prog": "qemu-img", "prefix": ["compare"], "wait_for": gate,
                   "real": REAL_QEMU_IMG, "times": 1}, libvirt_state("web01-copy")]
                 + real_qemu_img())
        args = ["-b", d, "--as", "web01-copy", "-i", copies]
        first = start(self, args, binary=RESTORE_BINARY)
        wait_for_vector(self.box, first, ["qemu-img", "compare"])

        second = self.restore(*args)
        self.assertEqual(second.rc, 1)
        self.assertEqual(second.out_lines[-1], "Step 1: validation passed.")
        self.assertEqual(len(second.err_lines), 1, second.err)
        self.assertRegex(second.err_lines[0], refusal("web01-copy", "quorlane-restore", first.pid))
        self.assertRegex(self.box.restore_log()[-1], " result=failure from=%s to=web01-copy "
                         % re.escape(d))
        self.assertEqual(os.listdir(copies), ["web01-copy-vda.qcow2.quorlane-restore-tmp"])

        release(gate)
        res = finish(self, first)
        self.assertEqual(res.rc, 0, res.err)
        self.same_image(os.path.join(d, "web01-vda.qcow2"),
                        os.path.join(copies, "web01-copy-vda.qcow2"))


if __name__ == "__main__":
    unittest.main()
