"""A real guest left on its overlays: the images' file system fills up during
the copy, or the run is stopped and the VM shut down before the merge. What
the tool prints must lead the operator back to the base images with every
file the guest had synced."""
import os
import shlex
import shutil
import signal
import subprocess
import tempfile

import guest
import vmlib
from drills import (DrillCase, finish_tool, framed_lines, prior_snapshot_lines, recovery_command,
                    sleep_past, slow_qemu_img, start_tool, timestamp_dirs, wait_for_file)
from vmlib import SNAPSHOT

# The first copy waits until the guest has filled the images' file system
# and QEMU has paused it. It asks virsh in the C locale, whatever locale the
# tool passes on.
WAIT_FOR_PAUSE = """#!/bin/sh
if [ "$1" = convert ]; then
  i=0
  while [ "$(LC_ALL=C.UTF-8 LANGUAGE= /usr/bin/virsh -c qemu:///system domstate --reason %s)" \\
          != "paused (I/O error)" ] \\
        && [ $i -lt 600 ]; do sleep 0.2; i=$((i + 1)); done
fi
exec /usr/bin/qemu-img "$@"
"""


def run_quoted(text):
    """Runs every command that the text quotes ('...'), in order."""
    for command in text.split("'")[1::2]:
        proc = subprocess.run(shlex.split(command), capture_output=True, text=True, timeout=300,
                              stdin=subprocess.DEVNULL)
        assert proc.returncode == 0, "%s: %s" % (command, proc.stderr)


class GuestOnOverlay(guest.GuestCase, DrillCase):
    """GuestCase's setUp (DrillCase only lends its assertions)."""

    def setUp(self):
        self.images = tempfile.mkdtemp(prefix="qbt-images-", dir=vmlib.SCRATCH_ROOT)
        os.chmod(self.images, 0o755)
        self.addCleanup(os.rmdir, self.images)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=200M,mode=0755", "tmpfs",
                        self.images], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", self.images])
        self.scratch_root = self.images
        super().setUp()
        self.root = tempfile.mkdtemp(prefix="qbt-backups-", dir=vmlib.SCRATCH_ROOT)
        self.addCleanup(shutil.rmtree, self.root, True)
        self.args = ["-n", self.vm.name, "-r", self.root, "-k", "1"]

    def assertBackOnBaseImagesWithAllSynced(self):
        self.assertOnBaseImages(self.vm)
        self.vm.wait_synced(self.vm.synced() + 10)
        self.assertBaseImagesKeepAllSynced()

    def test_full_image_file_system_pauses_the_guest_and_the_printed_recovery_works(self):
        self.vm.wait_synced(10)
        free = os.statvfs(self.images)
        filler = os.path.join(self.images, "filler")
        subprocess.run(["fallocate", "-l", str(free.f_bavail * free.f_frsize - (2 << 20)), filler],
                       check=True)
        bindir = os.path.join(self.root, "bin")
        os.makedirs(bindir)
        vmlib.write_script(bindir, "qemu-img", WAIT_FOR_PAUSE % self.vm.name)

        # Under a French locale, in which virsh says why the VM is paused in
        # French: the tool must still recognise the pause.
        result = self.tool.run(self.args, extra_path=[bindir], env=vmlib.FRENCH)
        self.assertEqual(result.rc, 2, result)
        self.assertEqual(self.vm.state_reason(), "paused (I/O error)")
        french = self.tool.run(["-c", vmlib.URI, "domstate", "--reason", self.vm.name],
                               binary=shutil.which("virsh"), env=vmlib.FRENCH)
        self.assertEqual(french.rc, 0, french)
        self.assertNotEqual(french.out.strip(), "paused (I/O error)",
                            "virsh does not translate under LANG=fr_FR.UTF-8 (libvirt-l10n "
                            "installed? the locale generated?): the run proved nothing about it")
        self.assertEqual(self.vm.snapshots(), [SNAPSHOT])
        err = framed_lines(result.err)
        self.assertIn("ERROR: The VM may still be running on an un-merged overlay.", err)
        for target in self.vm.images:
            self.assertTrue(any(line.startswith("ERROR: The file system holding the overlay of "
                                                "%s is full (" % target)
                                and line.endswith(self.vm.overlay_path(target)) for line in err),
                            err)
        self.assertEqual(err[-2:], [
            "ERROR: VM '%s' is paused (I/O error): it waits for room to write." % self.vm.name,
            "ERROR: Free space there, then run 'virsh resume %s' and "
            "'virsh snapshot-delete %s %s'." % (self.vm.name, self.vm.name, SNAPSHOT)])

        os.unlink(filler)
        run_quoted(err[-1])
        self.assertEqual(self.vm.state(), "running")
        self.assertBackOnBaseImagesWithAllSynced()

    def test_stopped_service_and_vm_shut_down_on_its_overlay_lead_back_safely(self):
        self.vm.wait_synced(10)
        bindir, marker = slow_qemu_img(self.tool.root, delay=3)
        proc = start_tool(self.tool, self.args, extra_path=[bindir])
        wait_for_file(marker)
        os.kill(proc.pid, signal.SIGTERM)
        stopped = finish_tool(self.tool, proc)
        self.assertEqual(stopped.rc, 143, stopped)
        self.assertEqual(stopped.err_lines[-1], "WARN:  Interrupted by Terminated; leaving "
                         "snapshot and partial backup as evidence for manual cleanup.")
        self.assertRegex(stopped.app_log[-1], r' result=interrupted .* reason="SIGTERM"$')
        (interrupted,) = timestamp_dirs(os.path.join(self.root, self.vm.name))

        # The host shuts the guest down while it writes into its overlays.
        self.vm.wait_synced(self.vm.synced() + 10)
        for target in self.vm.images:
            self.assertEqual(self.vm.active_image(target), self.vm.overlay_path(target))
        self.vm.power_off()
        synced = self.vm.synced()

        refused = self.tool.run(self.args)
        self.assertEqual(refused.rc, 1, refused)
        self.assertEqual(refused.err_lines, prior_snapshot_lines(self.vm.name, self.root))

        # Started again, the guest finds every synced file; then the printed
        # recovery merges while it writes.
        open(self.vm.console, "w").close()
        self.vm.boot()
        for target, (files, damaged) in self.vm.reports().items():
            self.assertGreaterEqual(files, synced, target)
            self.assertEqual(damaged, 0, target)
        recovery = subprocess.run(recovery_command(refused.err_lines), capture_output=True,
                                  text=True, timeout=300, stdin=subprocess.DEVNULL)
        self.assertEqual(recovery.returncode, 0, recovery.stderr)

        sleep_past(interrupted)
        result = self.tool.run(self.args)
        self.assertEqual(result.rc, 0, result)
        self.assertBackOnBaseImagesWithAllSynced()
