"""Faults during the backup of a real Linux guest whose writer keeps running."""
import os
import subprocess
import unittest

import guest
import vmlib
from drills import (finish_tool, prior_snapshot_lines, recovery_command, sleep_past,
                         slow_qemu_img, start_tool, timestamp_dirs, wait_for_file)
from vmlib import SNAPSHOT


class GuestFaults(guest.GuestCase):

    def setUp(self):
        super().setUp()
        self.args = ["-n", self.vm.name, "-r", self.root, "-k", "1"]

    def test_run_killed_during_the_copy_is_recovered_as_printed(self):
        self.vm.wait_synced(10)
        bindir, marker = slow_qemu_img(self.tool.root, delay=3)
        proc = start_tool(self.tool, self.args, extra_path=[bindir])
        wait_for_file(marker)
        proc.kill()
        finish_tool(self.tool, proc)
        vm_dir = os.path.join(self.root, self.vm.name)
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
        backup_dir = os.path.join(vm_dir, stamps[-1])
        for target in self.vm.images:
            image = os.path.join(backup_dir, "%s-%s.qcow2" % (self.vm.name, target))
            files = guest.check_image(self, image, os.path.join(self.vm.scratch, "check"), True)
            lost = [seq for seq in range(1, synced + 1) if not files.get(seq)]
            self.assertEqual(lost, [], "%s: synced files lost" % target)


if __name__ == "__main__":
    unittest.main()
