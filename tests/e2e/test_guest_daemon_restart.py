"""A package upgrade restarts the libvirt daemon while a busy real guest is
backed up. It runs alone: the restart happens under every other test's feet."""
import os
import signal
import time
import unittest

import vmlib
from drills import GuestFaultCase, app_record, run_with_copy_held, timestamp_dirs


def restart_libvirtd():
    """Restarts the system daemon as a package upgrade does: SIGTERM, wait for
    its exit, start it again at once. It runs again whatever happens. The
    daemon is the one its pid file names: a user's session daemon has the
    same process name."""
    pid = vmlib.daemon_pid("libvirtd")
    if pid is None:
        raise AssertionError("/run/libvirtd.pid names no running libvirtd")
    try:
        os.kill(pid, signal.SIGTERM)
        deadline = time.time() + 300
        while os.path.exists("/proc/%d" % pid):
            if time.time() > deadline:
                raise AssertionError("libvirtd (pid %d) did not exit on SIGTERM" % pid)
            time.sleep(0.05)
    finally:
        reason = vmlib.start_daemons()
        if reason:
            raise AssertionError("libvirtd did not come back: " + reason)
    if vmlib.daemon_pid("libvirtd") in (None, pid):
        raise AssertionError("no new libvirtd after the restart")


class DaemonRestart(GuestFaultCase):

    def test_daemon_restarted_during_the_copy(self):
        self.vm.wait_synced(10)
        synced = self.vm.synced()

        def daemon_restarted():
            restart_libvirtd()
            # The daemon is back during the copy and knows the VM is on its
            # overlays, which take the guest's writes.
            self.assertEqual(self.vm.active_image("vda"), self.vm.overlay_path("vda"))
            self.vm.wait_synced(self.vm.synced() + 20)
        result = run_with_copy_held(self.tool, self.args, daemon_restarted)
        self.assertEqual(result.rc, 0, result)
        (stamp,) = timestamp_dirs(self.vm_dir)
        backup_dir = os.path.join(self.vm_dir, stamp)
        self.assertEqual(result.out_lines[-1], "Backup complete: " + backup_dir)
        self.assertTrue(app_record(result.app_log[-1], self.vm.name, "success", dir_=backup_dir,
                                   consistency="crash-consistent"), result.app_log)
        self.assertOnBaseImages(self.vm)
        for target in self.vm.images:
            self.assertKept(self.backed_up(stamp, target), synced)
        self.assertBaseImagesKeepAllSynced()


if __name__ == "__main__":
    unittest.main()
