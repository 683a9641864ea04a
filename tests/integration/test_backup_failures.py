"""Failures in steps 2 to 8, interruptions, and what each leaves behind."""
import os
import shlex
import signal
import subprocess
import time
import unittest

from harness import (CONVERT, SNAPSHOT, BackupTest, Result, domain_xml, expected_calls,
                     expected_run, healthy_vm, error, info, lay_out_backup, rendered, trace,
                     until, warn)

INCOMPLETE = "Backup is incomplete. Deleting partial backup directory."
REMOVAL_FAILED = ["FAILED to remove snapshot 'quorlane-backup-temp' on VM 'web01'.", None,
                  "The VM may still be running on an un-merged overlay.",
                  "Manual intervention is required."]


def removal_failed(stderr_text):
    return [error(text if text is not None else "libvirt: " + stderr_text)
            for text in REMOVAL_FAILED]


def tree(path):
    """Names, kinds and file contents below `path`, to compare before and after."""
    found = {}
    for parent, dirs, files in os.walk(path):
        for name in dirs:
            found[os.path.relpath(os.path.join(parent, name), path)] = "dir"
        for name in files:
            with open(os.path.join(parent, name), "rb") as f:
                found[os.path.relpath(os.path.join(parent, name), path)] = f.read()
    return found


class FailureTest(BackupTest):

    def setUp(self):
        super().setUp()
        self.disks = {"vda": self.box.path("images", "web01.qcow2")}

    def prepare(self, first=(), disks=None, nvram=None, lay_out_nvram=True):
        """Lays out the VM; `first` are rules that take precedence over the healthy ones."""
        disks = disks or self.disks
        self.lay_out(disks, nvram if lay_out_nvram else None)
        self.use(list(first) + healthy_vm(disks=disks, nvram=nvram))
        self.xml_lines = len(domain_xml("web01", disks, nvram).splitlines())

    def prepare_copy_then(self, action):
        """A fresh sandbox whose disk copy runs the shell `action` on the backup
        directory $d once the copy is written."""
        self.new_box()
        base = self.box.path("images", "web01.qcow2")
        self.disks = {"vda": base}
        script = "for d in %s/web01/*/; do cp %s \"$d/web01-vda.qcow2\" && %s; done" % (
            shlex.quote(self.root), shlex.quote(base), action)
        self.prepare(first=[{"prog": "qemu-img", "prefix": ["convert"],
                             "exec": ["sh", "-c", script]}])
        return base

    def full(self, d, disks=None, **kw):
        """The verbose lines of the same run had it not failed."""
        return expected_run(d, disks or self.disks, verbose=True, xml_lines=self.xml_lines, **kw)

    def assertGone(self, d):
        self.assertFalse(os.path.lexists(d))
        self.assertEqual(os.listdir(os.path.dirname(d)), [])


class Step2Test(FailureTest):

    def test_vm_entry_that_is_a_file(self):
        self.prepare()
        blocker = os.path.join(self.root, "web01")
        with open(blocker, "w") as f:
            f.write("not a directory\n")
        res = self.backup("-v")
        self.assertEqual(res.rc, 1)
        d = self.backup_dir(res)
        self.assertConsole(res, until(self.full(d), "Step 2: Creating backup directory: " + d) + [
            error("Failed to create backup directory: %s: Not a directory" % d)])
        self.assertEqual(self.box.calls(), expected_calls(d, self.disks)[:3])
        with open(blocker) as f:
            self.assertEqual(f.read(), "not a directory\n")
        self.assertRecord("failure", stage="validation_or_setup")

    def occupy_next_seconds(self):
        """Directories (with content) for every timestamp of the next seconds."""
        now = time.time()
        for offset in range(-1, 8):
            name = time.strftime("%Y-%m-%d_%H-%M-%S", time.localtime(now + offset))
            d = os.path.join(self.root, "web01", name)
            os.makedirs(os.path.join(d, "sub"), exist_ok=True)
            for file_name in ("web01.xml.backup", "web01-%s.log" % name, "sub/web01-vda.qcow2"):
                with open(os.path.join(d, file_name), "w") as f:
                    f.write("earlier run %s %s\n" % (name, file_name))
        return tree(self.root)

    def test_existing_backup_directory_is_never_reused(self):
        self.prepare()
        before = self.occupy_next_seconds()
        res = self.backup("-v")
        self.assertEqual(res.rc, 1)
        d = self.backup_dir(res)
        self.assertConsole(res, until(self.full(d), "Step 2: Creating backup directory: " + d) + [
            error("Backup directory already exists, not reusing it: " + d)])
        self.assertEqual(self.box.calls(), expected_calls(d, self.disks)[:3])
        self.assertEqual(tree(self.root), before)
        log = self.box.app_log()
        self.assertEqual(len(log), 1)
        self.assertRegex(log[0], r"^\[[-0-9 :]{19}\] vm=web01 result=failure "
                                 r"stage=validation_or_setup .*duration=\d+s")

    def test_record_of_refused_directory_names_no_directory(self):
        # The directory belongs to an earlier run; naming it in this run's
        # failure record invites an operator to clean it up as a leftover.
        self.prepare()
        self.occupy_next_seconds()
        self.backup()
        self.assertRecord("failure", stage="validation_or_setup")


class Step3To5Test(FailureTest):

    def check_partial_deleted(self, res, d, lines, stage, ncalls):
        self.assertEqual(res.rc, 1)
        self.assertConsole(res, lines + [warn(INCOMPLETE), trace("Deleted: " + d)])
        self.assertEqual(self.box.calls(), expected_calls(d, self.disks)[:ncalls])
        self.assertGone(d)
        self.assertRecord("failure", stage=stage)

    def test_step3_failures(self):
        dumpxml, domblklist = ["dumpxml", "web01"], ["domblklist", "web01", "--details"]
        header = " Type   Device   Target   Source\n" + "-" * 40 + "\n"
        cases = [  # rule, message, XML saved, calls made
            ({"args": dumpxml, "stderr": "\n  error: failed to get domain 'web01'\n\n", "exit": 1},
             "Failed to dump VM XML: error: failed to get domain 'web01'", False, 4),
            ({"args": dumpxml, "stdout": "<domain/>", "exit": 1},
             "Failed to dump VM XML: ", False, 4),
            ({"args": domblklist, "stderr": "error: no domain\n", "exit": 1},
             "No disks found for VM 'web01'", True, 5),
            ({"args": domblklist, "stdout": header + " file   cdrom    sda      -\n"
                                            " file   cdrom    sdb      /iso/install.iso\n"
                                            " file   disk     vda      -\n\n"},
             "No disks found for VM 'web01'", True, 5),
        ]
        for rule, message, saved, ncalls in cases:
            with self.subTest(message=message, rule=rule):
                self.new_box()
                self.disks = {"vda": self.box.path("images", "web01.qcow2")}
                self.prepare(first=[dict(rule, prog="virsh")])
                res = self.backup("-v")
                d = self.backup_dir(res)
                lines = until(self.full(d), "Step 3: Saving VM configuration to %s/web01.xml.backup..." % d)
                if saved:
                    lines.append(trace("XML saved (%d lines)." % self.xml_lines))
                self.check_partial_deleted(res, d, lines + [error(message)], "step3_xml_dump", ncalls)

    def test_verbatim_definition_on_a_full_file_system(self):
        # The definition fits in the stream buffer, so the error shows only
        # when the file is closed.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.root], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", self.root])
        fd = os.open(os.path.join(self.root, "filler"), os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"\0" * 4096):
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        xml = domain_xml("web01", self.disks).replace("<devices>", "<!-- %s --><devices>" % ("x" * 5000))
        self.prepare(first=[{"prog": "virsh", "args": ["dumpxml", "web01"], "stdout": xml}])
        res = self.backup("-v")
        d = self.backup_dir(res)
        lines = until(self.full(d), "Step 3: Saving VM configuration to %s/web01.xml.backup..." % d)
        self.check_partial_deleted(res, d, lines + [error("Could not write file: %s/web01.xml.backup" % d)],
                                   "step3_xml_dump", 4)

    def test_nvram_missing_or_not_a_file(self):
        for kind in ("missing", "directory"):
            with self.subTest(kind=kind):
                self.new_box()
                self.disks = {"vda": self.box.path("images", "web01.qcow2")}
                nvram = self.box.path("nvram", "web01_VARS.fd")
                self.prepare(nvram=nvram, lay_out_nvram=False)
                if kind == "directory":
                    os.makedirs(nvram)
                res = self.backup("-v")
                d = self.backup_dir(res)
                lines = until(self.full(d, nvram=nvram), "Step 4: Backing up NVRAM...") + [
                    error("NVRAM file referenced by VM XML does not exist: " + nvram)]
                self.check_partial_deleted(res, d, lines, "step4_nvram", 5)

    def test_snapshot_creation_fails(self):
        for stderr, tail in (("error: internal error: qemu unexpectedly closed the monitor\n  \n",
                              "error: internal error: qemu unexpectedly closed the monitor"),
                             ("", "")):
            with self.subTest(stderr=stderr):
                self.new_box()
                self.disks = {"vda": self.box.path("images", "web01.qcow2")}
                self.prepare(first=[{"prog": "virsh", "prefix": ["snapshot-create-as"],
                                     "stdout": "partial output\n", "stderr": stderr, "exit": 1}])
                res = self.backup("-v")
                d = self.backup_dir(res)
                lines = until(self.full(d), "Snapshot created.")[:-1] + [error(
                    "Failed to create snapshot 'quorlane-backup-temp' on VM 'web01': " + tail)]
                self.check_partial_deleted(res, d, lines, "step5_snapshot", 7)
                self.assertNotIn("snapshot-delete", [c[1] for c in self.box.calls()])


class Step6To8Test(FailureTest):

    def three_disks(self):
        self.disks = {t: self.box.path("images", "web01-%s.img" % t) for t in ("vdc", "vda", "vdb")}
        fail = {"prog": "qemu-img", "prefix": CONVERT[1:] + [self.disks["vdb"]], "exit": 1}
        return fail

    def test_second_of_three_disks_fails(self):
        cases = [  # stdout, stderr of the failing copy, message detail
            ("qemu-img: some progress\n", "\n qemu-img: error while reading sector 0: "
                                          "Input/output error \n",
             "qemu-img: error while reading sector 0: Input/output error"),
            ("  qemu-img: Could not open '/x': Permission denied\n", " \n",
             "qemu-img: Could not open '/x': Permission denied"),
            ("", "", ""),
        ]
        for stdout, stderr, detail in cases:
            with self.subTest(detail=detail):
                self.new_box()
                fail = self.three_disks()
                self.prepare(first=[dict(fail, stdout=stdout, stderr=stderr)])
                res = self.backup("-v")
                self.assertEqual(res.rc, 1)
                d = self.backup_dir(res)
                self.assertConsole(res, until(self.full(d), "         -> %s/web01-vdb.qcow2" % d) + [
                    error("Failed to back up disk: vdb (%s): %s" % (self.disks["vdb"], detail)),
                    info("Step 8.a: Removing snapshot 'quorlane-backup-temp'..."),
                    info("Snapshot removed (overlay merged into base by libvirt)."),
                    warn(INCOMPLETE),
                    trace("Deleted: " + d)])
                calls = expected_calls(d, self.disks)
                self.assertEqual(self.box.calls(), calls[:9] + calls[10:])
                self.assertGone(d)
                self.assertRecord("failure", stage="step6_disk_backup")

    def test_disk_failure_then_snapshot_removal_failure(self):
        for stderr, text in (("error: Requested operation is not valid: snapshot is busy\n",
                              "error: Requested operation is not valid: snapshot is busy"),
                             ("", "")):
            with self.subTest(stderr=stderr):
                self.new_box()
                fail = self.three_disks()
                self.prepare(first=[dict(fail, stderr="qemu-img: I/O error\n"),
                                    {"prog": "virsh", "prefix": ["snapshot-delete"],
                                     "stdout": "ignored\n", "stderr": stderr, "exit": 1}])
                res = self.backup()
                self.assertEqual(res.rc, 2)
                d = self.backup_dir(res)
                self.assertConsole(res, until(expected_run(d, self.disks),
                                              "         -> %s/web01-vdb.qcow2" % d) + [
                    error("Failed to back up disk: vdb (%s): qemu-img: I/O error" % self.disks["vdb"]),
                    info("Step 8.a: Removing snapshot 'quorlane-backup-temp'...")]
                    + removal_failed(text) + [warn(INCOMPLETE)])
                self.assertGone(d)
                self.assertEqual(self.box.calls()[-1], ["virsh", "snapshot-delete", "web01", SNAPSHOT])
                self.assertRecord("snapshot_removal_failed", consistency="crash-consistent")

    def test_snapshot_removal_failure_after_a_complete_backup(self):
        self.prepare(first=[{"prog": "virsh", "prefix": ["snapshot-delete"], "exit": 1,
                             "stderr": "error: failed to merge overlay\n"}])
        vm_dir = os.path.join(self.root, "web01")
        for old in ("2020-01-01_00-00-00", "2020-01-02_00-00-00"):
            lay_out_backup(os.path.join(vm_dir, old))
        res = self.backup("-v", keep="2")
        self.assertEqual(res.rc, 2)
        d = self.backup_dir(res)
        lines = self.full(d, keep=2, prune=[info("  Deleting old backup: 2020-01-01_00-00-00")])
        removed = lines.index(info("Snapshot removed (overlay merged into base by libvirt)."))
        lines[removed:removed + 1] = removal_failed("error: failed to merge overlay")
        self.assertEqual(lines.pop(), info("Backup complete: " + d))
        ts = os.path.basename(d)
        self.assertConsole(res, lines, backup_log=os.path.join(d, "web01-%s.log" % ts))
        self.assertEqual(self.box.calls(), expected_calls(d, self.disks))
        self.assertEqual(sorted(os.listdir(vm_dir)), ["2020-01-02_00-00-00", ts])
        self.assertEqual(sorted(os.listdir(d)), sorted(
            ["web01.xml.backup", "web01.xml", "web01-%s.log" % ts, "web01-vda.qcow2"]))
        self.assertRecord("snapshot_removal_failed", directory=d, consistency="crash-consistent")

    def test_removal_failure_with_a_full_overlay_file_system_says_how_to_recover(self):
        images = os.path.dirname(self.disks["vda"])
        overlay = os.path.join(images, "web01-vda.quorlane-backup-temp.qcow2")
        self.prepare(first=[{"prog": "virsh", "prefix": ["snapshot-delete"], "exit": 1,
                             "stderr": "error: Failed to delete snapshot\n"},
                            {"prog": "virsh", "args": ["domstate", "web01", "--reason"],
                             "stdout": "paused (I/O error)\n\n"}])
        # The images' file system fills up once the copy has started.
        fill = 'mount -t tmpfs -o size=64k tmpfs "%s" && touch "%s"' % (images, self.disks["vda"])
        fill += ' && head -c 60k /dev/zero > "%s/filler"' % images
        res = self.backup(setup=fill)
        self.assertEqual(res.rc, 2)
        err = [line for line in res.err_lines if "libvirt: " not in line]
        tail = err[err.index(rendered(error("Manual intervention is required."))) + 1:]
        self.assertRegex(tail[0], r"^ERROR: The file system holding the overlay of vda is full "
                         r"\(\d KiB free\): %s$" % overlay)
        self.assertEqual(tail[1:], [rendered(error(text)) for text in (
            "VM 'web01' is paused (I/O error): it waits for room to write.",
            "Free space there, then run 'virsh resume web01' and "
            "'virsh snapshot-delete web01 quorlane-backup-temp'.")])
        self.assertEqual(self.box.calls()[-1], ["virsh", "domstate", "web01", "--reason"])

    def test_backup_directory_that_vanishes_during_the_copy_fails_the_run(self):
        # The root unmounted (the directory is elsewhere now), or the directory removed.
        for action in ('mv "$d" "${d%/}.gone"', 'rm -r "$d"'):
            with self.subTest(action=action):
                base = self.prepare_copy_then(action)
                res = self.backup()
                self.assertEqual(res.rc, 1, res.err)
                d = self.backup_dir(res)
                self.assertIn(rendered(error(
                    "Failed to back up disk: vda (%s): the backup directory vanished during the "
                    "copy: %s" % (base, d))), res.err_lines)
                self.assertNotIn("Backup complete", res.out)
                self.assertEqual(self.box.calls()[-1], ["virsh", "snapshot-delete", "web01", SNAPSHOT])
                self.assertRecord("failure", stage="step6_disk_backup")
                gone = [os.path.basename(d) + ".gone"] if action.startswith("mv") else []
                self.assertEqual(os.listdir(os.path.dirname(d)), gone)

class Step7Test(FailureTest):

    def test_corrected_definition_failure_only_warns(self):
        cases = [  # what happens to the backup directory during the copy, first warning
            ("rm \"$d/web01.xml.backup\"", "Could not read file: %s/web01.xml.backup"),
            ("mkdir \"$d/web01.xml\"", "Could not open file for writing: %s/web01.xml"),
        ]
        for action, reason in cases:
            with self.subTest(action=action):
                self.prepare_copy_then(action)
                res = self.backup("-v")
                self.assertEqual(res.rc, 0, res.err)
                d = self.backup_dir(res)
                ts = os.path.basename(d)
                self.assertConsole(res, self.full(d, step7=[
                    warn("Failed to generate corrected XML: " + reason % d),
                    warn("Backup data is still valid and restorable from the verbatim XML:"),
                    warn("  %s/web01.xml.backup" % d)]),
                    backup_log=os.path.join(d, "web01-%s.log" % ts))
                self.assertFalse(os.path.lexists(os.path.join(d, "web01.xml")))
                self.assertIn("web01-vda.qcow2", os.listdir(d))
                self.assertEqual(self.box.calls(), expected_calls(d, self.disks))
                self.assertRecord("success", directory=d, consistency="crash-consistent")


class InterruptionTest(FailureTest):

    def interrupt(self, signo, prog, first_arg, slow_rule, *args):
        self.prepare(first=[slow_rule])
        proc = self.box.start(["-n", "web01", "-r", self.root, "-k", "3"] + list(args))
        self.box.wait_for_call(prog, first_arg)
        os.kill(proc.pid, signo)
        out, err = proc.communicate(timeout=60)
        return Result(proc.returncode, out, err, self.box)

    def test_signal_during_a_step_is_acted_on_after_it(self):
        cases = [  # signal, slow call, last completed line, description, record reason, files left
            (signal.SIGTERM, {"prog": "qemu-img", "prefix": ["convert"], "copy": True, "delay": 2},
             "All disks backed up successfully.", "Terminated", "SIGTERM", 8,
             ["web01.xml.backup", "web01-vda.qcow2"]),
            (signal.SIGHUP, {"prog": "virsh", "prefix": ["snapshot-create-as"], "delay": 2},
             "Snapshot created.", "Hangup", "SIGHUP (terminal disconnect)", 7,
             ["web01.xml.backup"]),
        ]
        for signo, rule, last, description, reason, ncalls, files in cases:
            with self.subTest(signal=signo.name):
                self.new_box()
                self.disks = {"vda": self.box.path("images", "web01.qcow2")}
                res = self.interrupt(signo, rule["prog"], rule["prefix"][0], rule, "-v")
                self.assertEqual(res.rc, 128 + signo)
                d = self.backup_dir(res)
                ts = os.path.basename(d)
                self.assertConsole(res, until(self.full(d), last) + [warn(
                    "Interrupted by %s; leaving snapshot and partial backup as evidence for "
                    "manual cleanup." % description)],
                    backup_log=os.path.join(d, "web01-%s.log" % ts))
                self.assertEqual(self.box.calls(), expected_calls(d, self.disks)[:ncalls])
                self.assertEqual(sorted(os.listdir(d)), sorted(files + ["web01-%s.log" % ts]))
                self.assertRecord("interrupted", directory=d, reason=reason)

    def test_interrupt_during_snapshot_removal_is_ignored(self):
        res = self.interrupt(signal.SIGINT, "virsh", "snapshot-delete",
                             {"prog": "virsh", "prefix": ["snapshot-delete"], "delay": 1.5})
        self.assertEqual(res.rc, 0, res.err)
        d = self.backup_dir(res)
        self.assertConsole(res, expected_run(d, self.disks))
        self.assertEqual(self.box.calls(), expected_calls(d, self.disks))
        self.assertRecord("success", directory=d, consistency="crash-consistent")


if __name__ == "__main__":
    unittest.main()
