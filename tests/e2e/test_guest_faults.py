"""Faults during the backup of a real Linux guest whose writer keeps running."""
import os
import subprocess
import time
import unittest

import vmlib
from drills import (GuestFaultCase, app_record, finish_tool, prior_snapshot_lines,
                    recovery_command, run_with_copy_held, sleep_past, slow_qemu_img, start_tool,
                    timestamp_dirs, tree, wait_for_file)
from vmlib import SNAPSHOT

# A copy that lasts with its output open: 'convert' reads at 256 KiB/s.
THROTTLED_QEMU_IMG = """#!/bin/sh
if [ "$1" = convert ]; then shift; exec /usr/bin/qemu-img convert -r 256K "$@"; fi
exec /usr/bin/qemu-img "$@"
"""

RECORDING_VIRSH = '#!/bin/sh\nprintf "%%s\\n" "$*" >> %s\nexec /usr/bin/virsh "$@"\n'


class GuestFaults(GuestFaultCase):

    def test_run_killed_during_the_copy_is_recovered_as_printed(self):
        self.vm.wait_synced(10)
        bindir, marker = slow_qemu_img(self.tool.root, delay=3)
        proc = start_tool(self.tool, self.args, extra_path=[bindir])
        wait_for_file(marker)
        proc.kill()
        finish_tool(self.tool, proc)
        vm_dir = self.vm_dir
        (killed,) = timestamp_dirs(vm_dir)
        self.assertEqual(self.vm.snapshots(), [SNAPSHOT])

        refused = self.tool.run(self.args)
        self.assertEqual(refused.rc, 1, refused)
        self.assertEqual(refused.err_lines, prior_snapshot_lines(self.vm.name, self.root))

        # The printed recovery merges the overlays while the guest keeps writing.
        synced = self.vm.synced()
        recovery = subprocess.run(recovery_command(refused.err_lines), capture_output=True,
                                  text=True, timeout=300, stdin=subprocess.DEVNULL)
        self.assertEqual(recovery.returncode, 0, recovery.stderr)
        self.assertEqual(self.vm.snapshots(), [])
        for target, image in self.vm.images.items():
            self.assertEqual(self.vm.active_image(target), image)
        self.vm.wait_synced(synced + 10)

        # The next run succeeds; with room for one backup the killed run's
        # directory is neither counted nor pruned.
        sleep_past(killed)
        synced = self.vm.synced()
        result = self.tool.run(self.args)
        self.assertEqual(result.rc, 0, result)
        stamps = timestamp_dirs(vm_dir)
        self.assertEqual(len(stamps), 2)
        self.assertIn(killed, stamps)
        for target in self.vm.images:
            self.assertKept(self.backed_up(stamps[-1], target), synced)

    def test_paused_vm_resumed_during_the_copy(self):
        self.vm.wait_synced(10)
        self.vm.pause()
        paused_at = self.vm.synced()
        bindir = os.path.join(self.tool.root, "recording-bin")
        os.makedirs(bindir)
        calls = os.path.join(bindir, "virsh-calls")
        vmlib.write_script(bindir, "virsh", RECORDING_VIRSH % calls)

        def resumed():
            self.vm.resume()
            self.vm.wait_synced(paused_at + 20)
            # Those files went to the overlays: the snapshot is still in place.
            self.assertEqual(self.vm.active_image("vda"), self.vm.overlay_path("vda"))
        result = run_with_copy_held(self.tool, self.args + ["--quiesce"], resumed,
                                    extra_path=[bindir])
        self.assertEqual(result.rc, 0, result)
        (stamp,) = timestamp_dirs(self.vm_dir)
        self.assertTrue(app_record(result.app_log[-1], self.vm.name, "success",
                                   dir_=os.path.join(self.vm_dir, stamp),
                                   consistency="offline-consistent"), result.app_log)
        with open(calls) as f:
            (create,) = [line.split() for line in f if line.startswith("snapshot-create-as ")]
        self.assertNotIn("--quiesce", create)
        self.assertEqual(self.vm.state(), "running")
        self.assertOnBaseImages(self.vm)
        for target in self.vm.images:
            self.assertKept(self.backed_up(stamp, target), paused_at)
        self.assertBaseImagesKeepAllSynced()

    def test_backup_root_unmounted_during_the_last_copy(self):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256m,mode=0755", "quorlane-drill",
                        self.root], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", self.root], capture_output=True)
        self.vm.wait_synced(10)
        self.assertEqual(self.tool.run(self.args).rc, 0)
        (older,) = timestamp_dirs(self.vm_dir)
        kept = tree(os.path.join(self.vm_dir, older))
        sleep_past(older)
        bindir = os.path.join(self.tool.root, "throttled-bin")
        os.makedirs(bindir)
        vmlib.write_script(bindir, "qemu-img", THROTTLED_QEMU_IMG)
        proc = start_tool(self.tool, self.args, extra_path=[bindir])
        # Once vdb's copy exists, the tool's view of the root goes away; the
        # test's view stays, as the disk would look when mounted again.
        while proc.poll() is None and not any(os.path.exists(self.backed_up(stamp, "vdb"))
                                              for stamp in timestamp_dirs(self.vm_dir)[1:]):
            time.sleep(0.05)
        subprocess.run(["nsenter", "--mount=/proc/%d/ns/mnt" % proc.pid, "umount", "-l",
                        self.root], check=True)
        result = finish_tool(self.tool, proc)
        self.assertEqual(result.rc, 1, result)
        self.assertRegex(result.app_log[-1], r" result=failure ")
        self.assertEqual(self.vm.state(), "running")
        self.assertOnBaseImages(self.vm)
        self.assertEqual(tree(os.path.join(self.vm_dir, older)), kept)

        # The partial directory is no backup: a later run neither counts nor
        # prunes it, and the older backup stays.
        partial = timestamp_dirs(self.vm_dir)[-1]
        sleep_past(partial)
        later = self.tool.run(self.args[:-1] + ["2"])
        self.assertEqual(later.rc, 0, later)
        self.assertEqual(timestamp_dirs(self.vm_dir)[:-1], [older, partial])
        self.assertEqual(tree(os.path.join(self.vm_dir, older)), kept)
        # Nothing landed on the file system below the mount point.
        subprocess.run(["umount", self.root], check=True)
        self.assertEqual(os.listdir(self.root), [])
        self.assertBaseImagesKeepAllSynced()


if __name__ == "__main__":
    unittest.main()
