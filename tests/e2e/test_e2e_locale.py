"""Both programs under a host's own locale, German or French, as cron and
systemd pass it on, with libvirt's translations installed: virsh then prints
"laufend" for running and its errors in German ("Fehler: Abruf der Domain ...
scheiterte"). The programs must still read its states and errors right: a
translated state once turned a refused --quiesce into an unquiesced backup
recorded as offline-consistent, and made every restore fail."""
import os
import shutil
import subprocess
import unittest
import uuid

import vmlib
from drills import DrillCase, app_record, timestamp_dirs
from vmlib import FRENCH, GERMAN, harness

VIRSH = shutil.which("virsh") or "/usr/bin/virsh"


def agent_lines(vm):
    return ["ERROR: --quiesce was requested, but qemu-guest-agent is not",
            "ERROR: responsive on VM '%s'. Either install/start the" % vm,
            "ERROR: agent inside the guest, or omit --quiesce to take a",
            "ERROR: crash-consistent backup."]


class TranslatedVirsh(DrillCase):
    """One running BIOS VM with a guest-agent channel and no agent behind it."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for env in (GERMAN, FRENCH):
            reason = vmlib.untranslated(env)
            if reason:
                vmlib.cannot_run(reason)
        cls.vm = vmlib.VM(disks=[("vda", "qcow2", "32M")], agent=True)
        cls.addClassCleanup(cls.vm.cleanup)
        cls.vm.start()
        # The very line the programs read, as virsh prints it in German.
        tool = vmlib.Tool()
        try:
            state = tool.run(["-c", vmlib.URI, "domstate", cls.vm.name], binary=VIRSH, env=GERMAN,
                             timeout=60)
        finally:
            tool.cleanup()
        if state.rc != 0 or state.out.strip() in ("", "running"):
            vmlib.cannot_run("virsh domstate of a running VM under LANG=de_DE.UTF-8 is not "
                             "translated: %r, exit %d" % (state.out.strip(), state.rc))

    def restore(self, *args, env):
        return self.tool.run(list(args), binary=harness.RESTORE_BINARY, env=env)

    def assertUntouched(self, vm):
        self.assertEqual(os.listdir(self.root), [], "the backup root is no longer empty")
        self.assertOnBaseImages(vm)
        self.assertEqual(vm.state(), "running")

    def test_quiesce_with_no_agent_is_refused_before_any_change(self):
        vm = self.vm
        result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "2", "--quiesce"],
                               env=GERMAN)
        self.assertEqual(result.rc, 1, result)
        self.assertEqual(result.out_lines, ["Step 1: Validating arguments and environment..."])
        self.assertEqual(result.err_lines, agent_lines(vm.name))
        self.assertEqual(len(result.app_log), 1, result)
        self.assertTrue(app_record(result.app_log[0], vm.name, "failure",
                                   stage="validation_or_setup"), result.app_log)
        self.assertUntouched(vm)

    def test_running_vm_is_labelled_crash_consistent_and_never_restored_over(self):
        vm = self.vm
        with self.subTest("dry run, German"):
            result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "2", "--dry-run"],
                                   env=GERMAN)
            self.assertEqual(result.rc, 0, result)
            self.assertEqual(result.err, "", result)
            summary = result.out.splitlines()
            self.assertIn("Power state:         running", summary)
            self.assertIn("Consistency:         crash-consistent (no quiesce)", summary)
            self.assertUntouched(vm)

        with self.subTest("backup, French"):
            result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "2"], env=FRENCH)
            self.assertEqual(result.rc, 0, result)
            self.assertEqual(result.err, "", result)
            (stamp,) = timestamp_dirs(os.path.join(self.root, vm.name))
            backup_dir = os.path.join(self.root, vm.name, stamp)
            self.assertEqual(result.out_lines[-1], "Backup complete: " + backup_dir)
            self.assertEqual(len(result.app_log), 1, result)
            self.assertTrue(app_record(result.app_log[0], vm.name, "success", dir_=backup_dir,
                                       consistency="crash-consistent"), result.app_log)
            self.assertOnBaseImages(vm)

        with self.subTest("restore beside the original, dry run, German"):
            copy = "qbt-" + uuid.uuid4().hex[:10]
            directory = self.restored_vm(copy)
            result = self.restore("-n", vm.name, "-r", self.root, "--as", copy, "-i", directory,
                                  "--dry-run", env=GERMAN)
            self.assertEqual(result.rc, 0, result)
            self.assertEqual(result.err, "", result)
            self.assertIn("Restored VM:         %s (beside the original)" % copy,
                          result.out.splitlines())
            self.assertIn("(Dry run. No changes made.)", result.out.splitlines())
            self.assertEqual(os.listdir(directory), [])
            self.assertNotEqual(vmlib.virsh("dominfo", copy, check=False).returncode, 0)

        with self.subTest("restore in place, dry run, French"):
            result = self.restore("-n", vm.name, "-r", self.root, "--dry-run", env=FRENCH)
            self.assertEqual(result.rc, 1, result)
            self.assertIn("ERROR: VM '%s' is running; a restore never writes over a VM that runs. "
                          "Shut it down first: virsh shutdown %s" % (vm.name, vm.name),
                          result.err_lines)
            self.assertOnBaseImages(vm)
            self.assertEqual(vm.state(), "running")

    def test_shut_off_vm_is_restored_in_place(self):
        # Defined but never started: libvirt reports it shut off.
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "16M")])
        vm.define()
        subprocess.run(["qemu-io", "-f", "qcow2", "-c", "write -P 0x5a 1M 256k", vm.images["vda"]],
                       check=True, capture_output=True, stdin=subprocess.DEVNULL)
        backup = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "2"], env=FRENCH)
        self.assertEqual(backup.rc, 0, backup)
        (stamp,) = timestamp_dirs(os.path.join(self.root, vm.name))
        copy = os.path.join(self.root, vm.name, stamp, vm.name + "-vda.qcow2")

        result = self.restore("-n", vm.name, "-r", self.root, "--define", env=GERMAN)
        self.assertEqual(result.rc, 0, result)
        restored = os.path.join(vm.scratch, vm.name + "-vda.qcow2")
        self.assertEqual([s for _, d, t, s in vm.domblklist() if d == "disk"], [restored])
        equal, text = vmlib.images_equal(copy, restored, "qcow2", "qcow2")
        self.assertTrue(equal, text)
        self.assertTrue(vmlib.image_has_pattern(restored, 0x5a, 1 << 20, 256 << 10, "qcow2"))
        self.assertEqual(vm.state(), "shut off")


if __name__ == "__main__":
    unittest.main()
