"""quorlane-restore: restores in place and beside the original, refusals,
dry run, and a failure in the middle that changes nothing."""
import json
import os
import re
import signal
import subprocess
import time
import unittest

from harness import (REAL_QEMU_IMG, RESTORE_BINARY, TS, RestoreTest, libvirt_state,
                     real_qemu_img, sandbox_tree)


def info(image):
    out = subprocess.run([REAL_QEMU_IMG, "info", "--output=json", image], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def same_image(a, b):
    return subprocess.run([REAL_QEMU_IMG, "compare", "-q", a, b]).returncode == 0


def read(path):
    with open(path, "rb") as f:
        return f.read()


class RestoreRunTest(RestoreTest):

    def serve(self, *rules, state=None, name="web01"):
        self.use(list(rules) + [libvirt_state(name, state)] + real_qemu_img())

    def test_in_place_restore_recreates_a_lost_image_directory(self):
        d = self.make_backup(disks=("vda", "vdb"))
        self.serve(state="shut off")
        res = self.restore("-n", self.vm, "-r", self.root, "-v")
        self.assertEqual(res.rc, 0, res.err)
        images, nvram = self.box.path("images"), self.box.path("nvram")
        self.assertEqual(sorted(os.listdir(images)),
                         ["web01-vda.qcow2", "web01-vdb.qcow2", "web01.xml"])
        for target in ("vda", "vdb"):
            restored = os.path.join(images, "web01-%s.qcow2" % target)
            self.assertTrue(same_image(os.path.join(d, "web01-%s.qcow2" % target), restored))
            details = info(restored)
            self.assertEqual(details["format"], "qcow2")
            self.assertNotIn("backing-filename", details)
        self.assertEqual(os.listdir(nvram), ["web01-nvram.fd"])
        self.assertEqual(read(os.path.join(nvram, "web01-nvram.fd")),
                         read(os.path.join(d, "web01-nvram.fd")))
        definition = read(os.path.join(images, "web01.xml")).decode()
        for expected in ("<name>web01</name>", 'file="%s/web01-vda.qcow2"' % images,
                         ">%s/web01-nvram.fd</nvram>" % nvram):
            self.assertIn(expected, definition)
        self.assertEqual(self.box.calls("virsh"), [["virsh", "domstate", "web01"]])
        self.assertIn("Restore complete: VM 'web01' from " + d, res.out_lines)
        self.assertRegex(self.box.restore_log()[0], "^" + TS + "vm=web01 result=success from=" + d
                         + r" to=web01 duration=\d+s version=0\.1\.5-prototype$")

    def test_restore_beside_the_original_defines_and_starts_the_new_vm(self):
        self.make_backup("2026-03-01_02-00-05")
        newest = self.make_backup("2026-03-02_02-00-05")
        self.make_backup("2026-03-03_02-00-05", complete=False)
        target = self.box.path("copies")
        os.makedirs(target)
        self.serve(name="web01-copy")
        res = self.restore("-n", self.vm, "-r", self.root, "--as", "web01-copy", "-i", target,
                           "--start")
        self.assertEqual(res.rc, 0, res.err)
        self.assertEqual(sorted(os.listdir(target)),
                         ["web01-copy-nvram.fd", "web01-copy-vda.qcow2", "web01-copy.xml"])
        self.assertTrue(same_image(os.path.join(newest, "web01-vda.qcow2"),
                                   os.path.join(target, "web01-copy-vda.qcow2")))
        definition = read(os.path.join(target, "web01-copy.xml")).decode()
        self.assertIn("<name>web01-copy</name>", definition)
        self.assertIn('file="%s/web01-copy-vda.qcow2"' % target, definition)
        self.assertEqual(self.box.calls("virsh"), [
            ["virsh", "domstate", "web01-copy"],
            ["virsh", "define", os.path.join(target, "web01-copy.xml")],
            ["virsh", "start", "web01-copy"]])
        self.assertEqual(res.out_lines[-3:], [
            "Step 6: Defining VM 'web01-copy' from %s/web01-copy.xml..." % target,
            "Step 7: Starting VM 'web01-copy'...",
            "Restore complete: VM 'web01-copy' from " + newest])
        self.assertFalse(os.path.exists(self.box.path("images")))

    def test_refusals_change_nothing(self):
        d = self.make_backup()
        self.make_backup("2026-03-05_00-00-00", complete=False)
        existing = self.box.path("images", "web01-vda.qcow2")
        os.makedirs(os.path.dirname(existing))
        with open(existing, "w") as f:
            f.write("the VM's own image\n")
        cases = [
            ("running", [], "running",
             "ERROR: VM 'web01' is running; a restore never writes over a VM that runs. "
             "Shut it down first: virsh shutdown web01"),
            ("paused", [], "paused", "ERROR: VM 'web01' is paused;"),
            ("existing file", [], "shut off",
             "ERROR: Target file exists: %s (move it away, or use --force to replace it)"
             % existing),
            ("incomplete", ["-t", "2026-03-05_00-00-00"], "shut off",
             "ERROR: Backup 2026-03-05_00-00-00 of VM 'web01' is incomplete;"),
            ("no image dir", ["--as", "copy", "-i", self.box.path("none")], None,
             "ERROR: Target directory does not exist: %s" % self.box.path("none")),
        ]
        before = sandbox_tree(self.box)
        for name, extra, state, message in cases:
            for dry in ([], ["--dry-run"]):
                with self.subTest(name, dry=dry):
                    self.serve(state=state, name="copy" if "--as" in extra else "web01")
                    res = self.restore("-n", self.vm, "-r", self.root, *(extra + dry))
                    self.assertEqual(res.rc, 1, res.out)
                    self.assertTrue(any(l.startswith(message) for l in res.err_lines), res.err)
                    self.assertEqual(sandbox_tree(self.box), before)
        self.serve(state="shut off", name="copy")
        res = self.restore("-b", d, "--as", "copy", "-i", self.box.path("images"))
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: A VM named 'copy' is already defined; pick another name for --as.",
                      res.err_lines)
        self.assertEqual(read(existing), b"the VM's own image\n")

    def test_dry_run_prints_the_plan_and_writes_nothing(self):
        d = self.make_backup()
        self.serve()
        before = sandbox_tree(self.box)
        res = self.restore("-b", d, "--dry-run", "--define")
        self.assertEqual(res.rc, 0, res.err)
        summary = res.out.split("=== DRY RUN SUMMARY ===\n")[1]
        images = self.box.path("images")
        self.assertIn("  vda  %s/web01-vda.qcow2\n         -> %s/web01-vda.qcow2\n" % (d, images),
                      summary)
        self.assertIn("         -> %s/web01.xml\n" % images, summary)
        self.assertTrue(summary.endswith("Would define web01.\n\n(Dry run. No changes made.)\n"))
        self.assertEqual(sandbox_tree(self.box), before)
        self.assertIn("result=dry_run", self.box.restore_log()[0])

    def test_a_failure_in_the_middle_leaves_every_file_as_it_was(self):
        d = self.make_backup(disks=("vda", "vdb"))
        images = self.box.path("images")
        os.makedirs(images)
        for target in ("vda", "vdb"):
            with open(os.path.join(images, "web01-%s.qcow2" % target), "w") as f:
                f.write("old %s\n" % target)
        bad = os.path.join(images, "web01-vdb.qcow2.quorlane-restore-tmp")
        self.serve({"prog": "qemu-img", "args": ["compare", "-f", "qcow2", "-F", "qcow2",
                                                  os.path.join(d, "web01-vdb.qcow2"), bad],
                    "exit": 1, "stdout": "Content mismatch at offset 0!\n"}, state="shut off")
        before = sandbox_tree(self.box)
        res = self.restore("-b", d, "--force", "--define")
        self.assertEqual(res.rc, 1)
        self.assertEqual(res.err_lines, [
            "ERROR: Restored image differs from the backup: %s: Content mismatch at offset 0!" % bad,
            "ERROR: Restore failed; no existing file was changed."])
        self.assertEqual(sandbox_tree(self.box), before)   # the nvram directory is gone again
        self.assertEqual(read(os.path.join(images, "web01-vda.qcow2")), b"old vda\n")
        self.assertNotIn("define", [c[1] for c in self.box.calls("virsh")])
        self.assertIn("result=failure", self.box.restore_log()[0])
        # The same restore without the fault replaces both images.
        self.serve(state="shut off")
        self.assertEqual(self.restore("-b", d, "--force").rc, 0)
        self.assertTrue(same_image(os.path.join(d, "web01-vdb.qcow2"),
                                   os.path.join(images, "web01-vdb.qcow2")))

    def test_a_signal_during_the_copy_removes_what_the_restore_wrote(self):
        d = self.make_backup(disks=("vda", "vdb"))
        second = ["convert", "-f", "qcow2", "-O", "qcow2", os.path.join(d, "web01-vdb.qcow2")]
        cases = [(signal.SIGTERM, "Terminated", "SIGTERM"),
                 (signal.SIGINT, "Interrupt", "SIGINT (Ctrl-C)"),
                 (signal.SIGHUP, "Hangup", "SIGHUP (terminal disconnect)")]
        for signo, text, reason in cases:
            with self.subTest(signal=signo.name):
                for record in ("calls.jsonl", "counts.json"):
                    if os.path.exists(os.path.join(self.box.bin, record)):
                        os.remove(os.path.join(self.box.bin, record))
                self.serve({"prog": "qemu-img", "prefix": second, "delay": 1,
                            "real": REAL_QEMU_IMG}, state="shut off")
                before = sandbox_tree(self.box)
                log_before = len(self.box.restore_log())
                proc = self.box.start(["-b", d, "--define"], binary=RESTORE_BINARY)
                self.addCleanup(lambda p=proc: p.poll() is None and p.kill())
                while not any(call[1:len(second) + 1] == second for call in self.box.calls()):
                    self.assertIsNone(proc.poll(), "the restore ended before its second copy")
                    time.sleep(0.05)
                os.kill(proc.pid, signo)   # the restore alone: the copy runs to its end
                out, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 128 + signo, err)
                self.assertEqual(err.splitlines()[-1][22:], "WARN:  Interrupted by %s; temporary "
                                 "files removed, no existing file was changed." % text)
                # The created image and NVRAM directories are gone with the temporaries.
                self.assertEqual(sandbox_tree(self.box), before)
                self.assertNotIn("define", [c[1] for c in self.box.calls("virsh")])
                self.assertRegex(self.box.restore_log()[log_before],
                                 "^" + TS + "vm=web01 result=interrupted from=" + re.escape(d) +
                                 r" to=web01 duration=\d+s version=0\.1\.5-prototype reason=" +
                                 re.escape('"%s"' % reason) + "$")

    def test_temporaries_of_a_killed_restore_are_removed_and_named(self):
        d = self.make_backup()
        images = self.box.path("images")
        os.makedirs(images)
        leftover = os.path.join(images, "web01-vda.qcow2.quorlane-restore-tmp")
        with open(leftover, "w") as f:
            f.write("half a copy\n")
        self.serve(state="shut off")
        res = self.restore("-b", d)
        self.assertEqual(res.rc, 0, res.err)
        self.assertIn("WARN:  Removed %s, left by an interrupted restore." % leftover,
                      res.err_lines)
        self.assertEqual(sorted(os.listdir(images)), ["web01-vda.qcow2", "web01.xml"])
        self.assertTrue(same_image(os.path.join(d, "web01-vda.qcow2"),
                                   os.path.join(images, "web01-vda.qcow2")))


if __name__ == "__main__":
    unittest.main()
