"""quorlane-restore --live and --finish on stand-ins: the command line, the
argument vectors, the pin and what it opens, --finish with nothing to finish,
and a live restore interrupted during its copy."""
import json
import os
import signal
import stat
import time
import unittest

from harness import (REAL_QEMU_IMG, TS, RestoreTest, lay_out_backup, libvirt_state,
                     real_qemu_img)

USAGE_START = "quorlane-restore v0.1.5-prototype\n"
NOTE = "urn:quorlane:live-restore"


def remove_note(name, flag):
    """virsh's removal of the live restore's note from a definition of VM `name`."""
    return ["virsh", "metadata", name, "--uri", NOTE, "--remove", flag]


def running_definition(name, image, backing):
    """virsh dumpxml of the restored VM as libvirt shows it once it runs."""
    return ("<domain type='kvm'>\n  <name>%s</name>\n  <devices>\n"
            "    <disk type='file' device='disk'>\n      <driver name='qemu' type='qcow2'/>\n"
            "      <source file='%s' index='1'/>\n      <backingStore type='file' index='2'>\n"
            "        <format type='qcow2'/>\n        <source file='%s'/>\n"
            "        <backingStore/>\n      </backingStore>\n"
            "      <target dev='vda' bus='virtio'/>\n    </disk>\n  </devices>\n"
            "  <metadata><quorlane:live-restore xmlns:quorlane='urn:quorlane:live-restore' "
            "backup='%s'/></metadata>\n</domain>\n" % (name, image, backing,
                                                     os.path.dirname(backing)))


class LiveRestoreTest(RestoreTest):
    maxDiff = None

    def setUp(self):
        super().setUp()
        self.d = self.make_backup(nvram=False)
        os.chmod(self.d, 0o700)
        self.copies = self.box.path("copies")
        os.makedirs(self.copies)
        self.image = os.path.join(self.copies, "copy-vda.qcow2")
        self.backing = os.path.join(self.d, "web01-vda.qcow2")

    def serve(self, pull=None, state="running", extra=()):
        """The new VM 'copy' as libvirt serves it: the pull drops the image's
        backing file as libvirt's would. `extra` rules come first."""
        pull = pull or {"prog": "virsh", "prefix": ["blockpull", "copy"],
                        "exec": [REAL_QEMU_IMG, "rebase", "-u", "-b", "", self.image]}
        undefined = [] if os.path.exists(self.image) else [dict(libvirt_state("copy"), times=1)]
        self.use(list(extra) + [pull] + undefined + [libvirt_state("copy", state),
                  {"prog": "virsh", "args": ["dumpxml", "copy"],
                   "stdout": running_definition("copy", self.image, self.backing)},
                  {"prog": "virsh", "prefix": ["domblkinfo", "copy"],
                   "stdout": "Capacity:       65536\n\n"}] + real_qemu_img())

    def new_live_target(self):
        """Forgets the last live restore's files and calls."""
        for name in os.listdir(self.copies):
            os.remove(os.path.join(self.copies, name))
        self.new_calls()

    def new_calls(self):
        """Forgets the calls so far."""
        for record in ("calls.jsonl", "counts.json"):
            if os.path.exists(os.path.join(self.box.bin, record)):
                os.remove(os.path.join(self.box.bin, record))

    def pull_counted(self):
        """Whether the stand-ins have counted a use of the pull's rule, the first."""
        try:
            with open(os.path.join(self.box.bin, "counts.json")) as f:
                return "0" in json.load(f)
        except (FileNotFoundError, ValueError):
            return False

    def live(self, *extra):
        return self.restore("-b", self.d, "--as", "copy", "-i", self.copies, "--live", *extra)

    def test_command_line(self):
        refused = [(["--finish", "copy", "-n", "web01"], "--finish takes only --bandwidth and "
                    "--verbose"),
                   (["-b", self.d, "--bandwidth", "5"], "--bandwidth needs --live or --finish"),
                   (["-b", self.d, "--live", "--bandwidth", "0"],
                    "--bandwidth takes a positive whole number of MiB/s: 0"),
                   (["-n", "web01", "-r", self.root, "--list", "--live"],
                    "--list only reads the backup: --as, --image-dir, --define, --start, --force "
                    "and --dry-run do not apply"),
                   (["--finish", ""], "Option requires a non-empty value: --finish")]
        for args, message in refused:
            with self.subTest(args=args):
                res = self.restore(*args)
                self.assertEqual(res.rc, 1)
                self.assertTrue(res.err.startswith("ERROR: %s\n\n%s" % (message, USAGE_START)),
                                res.err)
        self.assertEqual(self.box.calls(), [])

    def test_the_vm_runs_on_the_backup_and_the_copy_unpins_it(self):
        # The note goes while the pin is still there: the removal fails if not.
        pin = os.path.join(self.d, "live-restore-copy.pin")
        self.serve(extra=[{"prog": "virsh", "prefix": ["metadata"], "exec": ["test", "-e", pin]}])
        res = self.live("--bandwidth", "20", "-v")
        self.assertEqual(res.rc, 0, res.err)
        self.assertFalse([line for line in res.err_lines if line.startswith("WARN")], res.err)
        calls = [c for c in self.box.calls() if c[1] not in ("check", "info", "--version")]
        self.assertEqual(calls, [
            ["virsh", "domstate", "copy"],
            ["qemu-img", "create", "-f", "qcow2", "-F", "qcow2", "-b", self.backing,
             self.image + ".quorlane-restore-tmp", "32768"],
            ["virsh", "define", os.path.join(self.copies, "copy.xml")],
            ["virsh", "start", "copy"], ["virsh", "dumpxml", "copy"],
            ["virsh", "blockjob", "copy", "vda", "--info"], ["virsh", "domblkinfo", "copy", "vda"],
            ["virsh", "blockpull", "copy", "vda", "--wait", "--verbose", "--bandwidth", "20"],
            ["virsh", "domstate", "copy"], ["virsh", "suspend", "copy"],
            ["virsh", "resume", "copy"], remove_note("copy", "--config"),
            remove_note("copy", "--live")])
        # No full read of the backup before the VM runs: the copy reads it.
        self.assertFalse([c for c in self.box.calls("qemu-img") if c[1] == "convert"])
        definition = os.path.join(self.copies, "copy.xml")
        self.assertEqual([line for line in res.out_lines if line.startswith("Step ")], [
            "Step 1: Validating backup and targets...", "Step 1: validation passed.",
            "Step 2: Restoring disks...", "Step 4: Writing restored definition %s..." % definition,
            "Step 5: Moving restored files into place...",
            "Step 6.a: Pinning the backup for the time of the copy...",
            "Step 6.b: Defining VM 'copy' from %s..." % definition, "Step 7: Starting VM 'copy'...",
            "Step 8: Copying the data from the backup into the VM's images while it runs..."])
        # With --check it reads every cluster first, then restores live.
        self.new_live_target()
        self.serve()
        res = self.live("--check")
        self.assertEqual(res.rc, 0, res.err)
        self.assertEqual([c[-2] for c in self.box.calls("qemu-img") if c[1] == "convert"],
                         [self.backing])
        self.assertIn("Live restore complete: VM 'copy' no longer reads from %s, which is "
                      "unpinned." % self.d, res.out_lines)
        self.assertIn("Live restore complete: VM 'copy' no longer reads from %s, which is "
                      "unpinned." % self.d, res.out_lines)
        self.assertTrue(any(line.startswith("VM 'copy' runs, ") for line in res.out_lines))
        with open(os.path.join(self.copies, "copy.xml")) as f:
            self.assertIn('backup="%s"' % self.d, f.read())
        self.assertFalse([n for n in os.listdir(self.d) if n.endswith(".pin")])
        self.assertEqual(stat.S_IMODE(os.stat(self.d).st_mode), 0o700)
        self.assertRegex(self.box.restore_log()[-1], "^" + TS + "vm=web01 result=success from=%s "
                         r"to=copy mode=live duration=\d+s" % self.d)

    def test_an_interrupted_copy_leaves_the_backup_pinned_until_finish(self):
        self.serve(pull={"prog": "virsh", "prefix": ["blockpull", "copy"], "delay": 600})
        proc = self.box.start(["-b", self.d, "--as", "copy", "-i", self.copies, "--live"],
                              binary=os.environ.get("QUORLANE_RESTORE_BINARY"))
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        # The stand-in counts the use of its rule before its delay; stopped
        # while it writes the count, it would leave the counts empty and every
        # later stand-in failing.
        while not self.pull_counted():
            self.assertIsNone(proc.poll(), "the restore ended before its pull")
            time.sleep(0.05)
        os.kill(proc.pid, signal.SIGTERM)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 143, err)
        self.assertEqual([line[22:] for line in err.splitlines()[-2:]], [
            "WARN:  Interrupted by Terminated; VM 'copy' runs on images that still read from %s, "
            "which stays pinned." % self.d,
            "WARN:  Finish the copy with: quorlane-restore --finish copy"])
        self.assertRegex(self.box.restore_log()[-1], r" result=interrupted from=.* to=copy "
                         r"mode=live duration=\d+s version=\S+ reason=\"SIGTERM\"$")
        pin = os.path.join(self.d, "live-restore-copy.pin")
        self.assertTrue(os.path.exists(pin))
        self.assertEqual(stat.S_IMODE(os.stat(self.d).st_mode), 0o701)
        listed = self.restore("-n", "web01", "-r", self.root, "--list").out.splitlines()
        self.assertTrue(listed[0].endswith("  in use by copy (live restore)"), listed)
        # Retention neither counts nor deletes the pinned backup.
        for ts in ("2026-03-05_00-00-00", "2026-03-06_00-00-00"):
            lay_out_backup(os.path.join(self.root, "web01", ts))
        self.assertEqual(self.box.run(["-n", "web01", "-r", self.root, "-k", "1", "-d"]).out
                         .count("Existing backups for this VM: 2"), 1)
        # The pull that the stopped virsh left running in libvirt is
        # cancelled and issued again.
        self.serve()
        rules = json.load(open(os.path.join(self.box.bin, "scenario.json")))
        self.use([{"prog": "virsh", "args": ["blockjob", "copy", "vda", "--info"],
                   "stderr": "Block Pull: [ 40 %]"}] + rules)
        res = self.restore("--finish", "copy")
        self.assertEqual(res.rc, 0, res.err)
        calls = self.box.calls("virsh")
        abort = calls.index(["virsh", "blockjob", "copy", "vda", "--abort"])
        self.assertEqual(calls[abort + 2][:4], ["virsh", "blockpull", "copy", "vda"])
        self.assertEqual(calls[-2:], [remove_note("copy", "--config"), remove_note("copy", "--live")])
        self.assertFalse(os.path.exists(pin))
        self.assertEqual(stat.S_IMODE(os.stat(self.d).st_mode), 0o700)
        res = self.restore("--finish", "copy")
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: VM 'copy' is not being live-restored.", res.err_lines)

    def test_finish_of_a_vm_shut_off_after_its_copy_ended_removes_the_persistent_note(self):
        # The copy ends, but the VM cannot be paused to write its images out.
        self.serve(extra=[{"prog": "virsh", "prefix": ["suspend"], "exit": 1}])
        self.assertEqual(self.live().rc, 1)
        self.assertNotIn("metadata", [c[1] for c in self.box.calls("virsh")])
        self.new_calls()
        # Shut off, it has closed its images: only the persistent definition
        # keeps the note. A note that stays is a warning, not a failure.
        self.serve(state="shut off", extra=[{"prog": "virsh", "prefix": ["metadata"], "exit": 1,
                                             "stderr": "error: metadata not changed\n"}])
        res = self.restore("--finish", "copy")
        self.assertEqual(res.rc, 0, res.err)
        self.assertEqual([c for c in self.box.calls("virsh") if c[1] in ("metadata", "suspend")],
                         [remove_note("copy", "--config")])
        self.assertEqual(res.err_lines, [
            "WARN:  Could not remove the live-restore note from VM 'copy' (--config): error: "
            "metadata not changed; the copy is complete. Remove it with: virsh metadata copy --uri "
            "%s --remove --config" % NOTE])
        self.assertFalse(os.path.exists(os.path.join(self.d, "live-restore-copy.pin")))
        self.assertRegex(self.box.restore_log()[-1], r" result=success from=%s to=copy mode=live "
                         % self.d)

    def test_finish_of_a_vm_that_is_not_being_restored(self):
        self.use([libvirt_state("plain", "running"),
                  {"prog": "virsh", "args": ["dumpxml", "plain"],
                   "stdout": "<domain><name>plain</name></domain>\n"}, libvirt_state("ghost")])
        for name, message in [("plain", "VM 'plain' is not being live-restored."),
                              ("ghost", "VM 'ghost' is not defined; nothing to finish.")]:
            with self.subTest(name):
                res = self.restore("--finish", name)
                self.assertEqual(res.rc, 1)
                self.assertEqual(res.err_lines, ["ERROR: " + message])


if __name__ == "__main__":
    unittest.main()
