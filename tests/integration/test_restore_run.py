"""quorlane-restore: a restore in place with the real qemu-img, refusals, dry
run, and a failure in the middle that changes nothing. The unit tests
(restore_test.cc) follow a restore beside the original and one that a
signal stops, command by command."""
import json
import os
import subprocess
import unittest

from harness import REAL_QEMU_IMG, TS, RestoreTest, libvirt_state, real_qemu_img, sandbox_tree


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

    def test_a_large_full_backup_is_compared_in_four_parts_that_each_see_a_difference(self):
        mib = 1 << 20
        d = self.make_backup(nvram=False)
        image = os.path.join(d, "web01-vda.qcow2")
        raw = self.box.path("vda.raw")
        with open(raw, "wb") as f:
            f.truncate(300 * mib)
            for offset in (0, 75 * mib - 4096, 150 * mib, 300 * mib - 4096):
                f.seek(offset)
                f.write(os.urandom(4096))
        os.remove(image)
        subprocess.run([REAL_QEMU_IMG, "convert", "-f", "raw", "-O", "qcow2", "-c", "-o",
                        "compression_type=zstd", raw, image], check=True)
        self.serve(state="shut off")
        res = self.restore("-b", d)
        self.assertEqual(res.rc, 0, res.err)
        restored = self.box.path("images", "web01-vda.qcow2")
        self.assertTrue(same_image(image, restored))
        temp = restored + ".quorlane-restore-tmp"
        parts = [c[3:] for c in self.box.calls("qemu-img") if c[1:3] == ["compare", "--image-opts"]]
        self.assertEqual(sorted(parts), sorted(
            ["driver=raw,offset=%d,size=%d,file.driver=qcow2,file.file.driver=file,"
             "file.file.filename=%s" % (start * mib, 75 * mib, path) for path in (image, temp)]
            for start in (0, 75, 150, 225)))

        # Each part compares its own bytes: a copy that differs in one byte of
        # one part fails there, at the offset in the whole disk of that
        # byte's sector.
        for offset in (75 * mib - 1, 150 * mib + 5, 300 * mib - 1):
            with open(raw, "r+b") as f:
                f.seek(offset)
                old = f.read(1)
                f.seek(offset)
                f.write(bytes([old[0] ^ 0xFF]))
            self.serve({"prog": "qemu-img", "prefix": ["convert", "-W"],
                        "exec": [REAL_QEMU_IMG, "convert", "-f", "raw", "-O", "qcow2", raw, temp]},
                       state="shut off")
            res = self.restore("-b", d, "--force")
            self.assertEqual(res.rc, 1)
            self.assertEqual(res.err_lines[0], "ERROR: Restored image differs from the backup: "
                             "%s: Content mismatch at offset %d!" % (temp, offset // 512 * 512))
            self.assertTrue(same_image(image, restored))
            with open(raw, "r+b") as f:
                f.seek(offset)
                f.write(old)

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
