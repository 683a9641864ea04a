"""Failure drills against the real libvirt daemon and QEMU: a backup root that
fills up during the disk copy, and a snapshot that cannot be removed.
"""
import os
import subprocess
import unittest

import vmlib
from vmlib import SNAPSHOT
from drills import (MIB, DrillCase, app_record, framed_lines, prior_snapshot_lines,
                         timestamp_dirs)

OLDER = "2020-01-01_00-00-00"

# Runs inside the tool's private mount namespace: a small tmpfs becomes the
# backup root, an older backup is put on it, the tool runs (not exec'd, so
# that the script can look afterwards), and what is left on the tmpfs is
# written to a report outside it. The tmpfs vanishes with the namespace, so
# this listing is the only way the test can see it.
FULL_ROOT_SCRIPT = r"""
varlog=$1 root=$2 vm=$3 report=$4 binary=$5
mount --bind "$varlog" /var/log || exit 99
mount -t tmpfs -o size=2m,mode=0755 quorlane-drill "$root" || exit 98
mkdir -p "$root/$vm/%(older)s" || exit 97
printf 'an older backup\n' > "$root/$vm/%(older)s/%(vm_file)s" || exit 97
"$binary" -n "$vm" -r "$root" -k 2
rc=$?
{
  echo "rc $rc"
  cd "$root" && find . -mindepth 1 -printf '%%y %%P\n' | sort
  echo "content $(cat "$root/$vm/%(older)s/%(vm_file)s")"
} > "$report"
exit $rc
"""

FAILING_VIRSH = """#!/bin/sh
# Fails the snapshot removal as libvirt reports a failed block commit; every
# other command goes to the real virsh.
if [ "$1" = snapshot-delete ]; then
  echo "error: Failed to delete snapshot $3" >&2
  echo "error: internal error: unable to execute QEMU command 'block-commit': Device is busy" >&2
  exit 1
fi
exec /usr/bin/virsh "$@"
"""


class DiskFullDrill(DrillCase):

    def test_backup_root_fills_up_during_copy(self):
        vm = vmlib.make_vm(self, disks=[("vda", "raw", "16M")])
        # Several MiB of random data, which zstd cannot shrink below the 2 MiB
        # of the backup root.
        with open(vm.images["vda"], "r+b") as f:
            f.write(os.urandom(6 * MIB))
        vm.start()
        mount_point = os.path.join(self.tool.root, "small")
        os.makedirs(mount_point)
        report = os.path.join(self.tool.root, "report")
        script = FULL_ROOT_SCRIPT % {"older": OLDER, "vm_file": "keep.txt"}
        env = self.tool.box.env(vmlib.SYSTEM_PATH)
        proc = subprocess.run(["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                               script, "sh", self.tool.varlog, mount_point, vm.name, report,
                               vmlib.BINARY], env=env, cwd=self.tool.root, capture_output=True,
                              text=True, timeout=300, stdin=subprocess.DEVNULL)
        result = vmlib.ToolResult(proc.returncode, proc.stdout, proc.stderr,
                                  self.tool.box.app_log())
        self.assertEqual(result.rc, 1, result)
        with open(report) as f:
            left = f.read().splitlines()
        # Only the older backup is left, unchanged; the partial one is gone.
        self.assertEqual(left, ["rc 1", "d " + vm.name, "d %s/%s" % (vm.name, OLDER),
                                "f %s/%s/keep.txt" % (vm.name, OLDER), "content an older backup"])
        self.assertFalse(os.listdir(mount_point), "the tmpfs leaked out of the namespace")

        err = result.err_lines
        prefix = "ERROR: Failed to back up disk: vda (%s): " % vm.images["vda"]
        failures = [line for line in err if line.startswith(prefix)]
        self.assertEqual(len(failures), 1, err)
        self.assertIn("No space left on device", failures[0])
        self.assertEqual(len(result.app_log), 1, result.app_log)
        self.assertCopyFailureCleanedUp(result, err, vm)


class SnapshotRemovalFailureDrill(DrillCase):

    def test_failed_removal_exits_2_keeps_backup_and_manual_recovery_works(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        vm.start()
        vm.write_pattern("vda", 0x44, 1 * MIB, 128 * 1024)
        bindir = os.path.join(self.tool.root, "failing-bin")
        os.makedirs(bindir)
        vmlib.write_script(bindir, "virsh", FAILING_VIRSH)
        vm_dir = os.path.join(self.root, vm.name)

        result = self.backup(vm, keep=5, extra_path=[bindir])
        self.assertEqual(result.rc, 2, result)
        # virsh reports on two lines; the second continues the "libvirt: "
        # message (with or without a frame of its own).
        err = framed_lines(result.err)
        self.assertEqual(len(err), 5, err)
        self.assertEqual(err[:2], [
            "ERROR: FAILED to remove snapshot '%s' on VM '%s'." % (SNAPSHOT, vm.name),
            "ERROR: libvirt: error: Failed to delete snapshot %s" % SNAPSHOT])
        self.assertIn(err[2], [
            prefix + "error: internal error: unable to execute QEMU command 'block-commit': "
            "Device is busy" for prefix in ("", "ERROR: ", "ERROR: libvirt: ")])
        self.assertEqual(err[3:], [
            "ERROR: The VM may still be running on an un-merged overlay.",
            "ERROR: Manual intervention is required."])
        (stamp,) = timestamp_dirs(vm_dir)
        backup = os.path.join(vm_dir, stamp)
        self.assertNotIn("Backup complete: " + backup, result.out_lines)
        self.assertEqual(len(result.app_log), 1)
        self.assertTrue(app_record(result.app_log[0], vm.name, "snapshot_removal_failed",
                                   dir_=backup, consistency="crash-consistent"), result.app_log)
        # The backup itself is complete and kept.
        self.assertEqual(sorted(os.listdir(backup)), sorted([
            vm.name + ".xml", vm.name + ".xml.backup", "%s-%s.log" % (vm.name, stamp),
            vm.name + "-vda.qcow2"]))
        self.assertTrue(vmlib.image_has_pattern(os.path.join(backup, vm.name + "-vda.qcow2"),
                                                0x44, 1 * MIB, 128 * 1024))
        # The VM really is left on its overlay.
        self.assertEqual(vm.snapshots(), [SNAPSHOT])
        self.assertEqual(vm.active_image("vda"), vm.overlay_path("vda"))
        vm.write_pattern("vda", 0x55, 5 * MIB, 128 * 1024)

        # The next run (real virsh) names the recovery; it works on the real VM.
        refusal = self.backup(vm, keep=5)
        self.assertEqual(refusal.rc, 1, refusal)
        self.assertEqual(refusal.err_lines, prior_snapshot_lines(vm.name, self.root))
        self.assertPrintedRecoveryWorks(refusal.err_lines, vm)
        self.assertTrue(vmlib.image_has_pattern(vm.images["vda"], 0x55, 5 * MIB, 128 * 1024))
        self.assertEqual(timestamp_dirs(vm_dir), [stamp])


if __name__ == "__main__":
    unittest.main()
