"""Backups of a real Linux guest whose file systems are busy (tests/e2e/guest.py):
crash-consistent and quiesced backups hold sound ext4 file systems with the
guest's files intact, a restored backup boots and finds its files, and
--quiesce refuses a guest whose agent has stopped."""
import os
import tempfile
import unittest

import guest
import vmlib
from drills import run_with_copy_held
from vmlib import harness

AGENT_LINES = ["ERROR: --quiesce was requested, but qemu-guest-agent is not",
               "ERROR: responsive on VM '%s'. Either install/start the",
               "ERROR: agent inside the guest, or omit --quiesce to take a",
               "ERROR: crash-consistent backup."]


class RealGuestCase(guest.GuestCase):
    """One guest boots for a class's tests, which run in the order of their
    names; each test backs up into a root of its own."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.vm = guest.GuestVM()
        cls.addClassCleanup(cls.vm.cleanup)
        cls.vm.boot()

    def setUp(self):
        self.tool = vmlib.make_tool(self)
        self.work = tempfile.mkdtemp(dir=self.vm.scratch)
        os.chmod(self.work, 0o755)
        self.root = os.path.join(self.work, "backups")
        os.makedirs(self.root)
        # A virsh that records its arguments before running the real one.
        self.bin = os.path.join(self.work, "bin")
        os.makedirs(self.bin)
        self.virsh_log = os.path.join(self.bin, "virsh.log")
        vmlib.write_script(self.bin, "virsh", '#!/bin/sh\nprintf "%%s\\n" "$*" >>%s\n'
                           'exec /usr/bin/virsh "$@"\n' % self.virsh_log)

    def backup(self, *options, busy=True):
        """Backs up the guest, busy unless it powers off early; returns
        (result, backup dir, seq synced before the run)."""
        self.vm.wait_synced(30)
        synced = self.vm.synced()
        args = ["-n", self.vm.name, "-r", self.root, "-k", "3"] + list(options)
        if busy:
            result = self.run_while_guest_writes(args)
        else:
            result = self.tool.run(args, extra_path=[self.bin])
        self.assertEqual(result.rc, 0, result)
        runs = os.listdir(os.path.join(self.root, self.vm.name))
        self.assertEqual(len(runs), 1, runs)
        return result, os.path.join(self.root, self.vm.name, runs[0]), synced

    def run_while_guest_writes(self, args):
        """Runs the tool with its first disk copy held until the guest, on its
        overlays by then, has synced twice more: the writer keeps the file
        systems busy during the run, however fast the copy would be."""
        def guest_writes_on_its_overlays():
            self.assertEqual({t: self.vm.active_image(t) for t in self.vm.images},
                             {t: self.vm.overlay_path(t) for t in self.vm.images})
            self.vm.wait_synced(self.vm.synced() + 20)
        return run_with_copy_held(self.tool, args, guest_writes_on_its_overlays,
                                  extra_path=[self.bin])

    def snapshot_commands(self):
        with open(self.virsh_log) as f:
            return [line for line in f.read().splitlines() if "snapshot-create-as" in line]

    def check_backup(self, backup_dir, synced, fix):
        """Every backed-up file system is sound and holds files 1..synced intact;
        returns {disk: {seq: intact}}."""
        found = {}
        for target in ("vda", "vdb"):
            image = os.path.join(backup_dir, "%s-%s.qcow2" % (self.vm.name, target))
            files = guest.check_image(self, image, os.path.join(self.work, "check"), fix)
            missing = [seq for seq in range(1, synced + 1) if not files.get(seq)]
            self.assertEqual(missing, [], "%s: synced files missing or damaged" % target)
            found[target] = files
        return found



class CrashConsistentThenPoweredOff(RealGuestCase):

    def test_1_crash_consistent_backup_keeps_synced_files(self):
        result, backup_dir, synced = self.backup()
        self.assertRegex(result.app_log[-1], r" result=success .* consistency=crash-consistent ")
        commands = self.snapshot_commands()
        self.assertEqual(len(commands), 1, commands)
        self.assertNotIn("--quiesce", commands[0].split())
        self.check_backup(backup_dir, synced, fix=True)

    def test_2_guest_powering_off_during_the_copy(self):
        # The first disk copy notes what the guest had synced at the snapshot,
        # lets it sync once more on its overlays, asks it to power off and
        # waits until it has.
        request = '{"execute":"guest-file-open","arguments":{"path":"/run/poweroff","mode":"w"}}'
        vmlib.write_script(self.bin, "qemu-img", """#!/bin/sh
if [ "$1" = convert ] && [ ! -e %(flag)s ]; then
  synced() { grep -o 'synced seq=[0-9]*' %(console)s | tail -n 1 | cut -d= -f2; }
  synced >%(flag)s
  j=0
  while [ "$(synced)" = "$(cat %(flag)s)" ] && [ $j -lt 3000 ]; do sleep 0.2; j=$((j + 1)); done
  /usr/bin/virsh -c qemu:///system qemu-agent-command %(vm)s '%(request)s' >/dev/null
  i=0
  while [ "$(/usr/bin/virsh -c qemu:///system domstate %(vm)s)" != "shut off" ] && [ $i -lt 600 ]; do
    sleep 0.2; i=$((i + 1))
  done
fi
exec /usr/bin/qemu-img "$@"
""" % {"flag": os.path.join(self.bin, "at-snapshot"), "console": self.vm.console,
       "vm": self.vm.name, "request": request})
        result, backup_dir, synced = self.backup(busy=False)
        self.assertIn("powering off", self.vm.console_lines())
        self.assertEqual(self.vm.state(), "shut off")
        self.assertEqual(result.err, "", result)
        self.assertRegex(result.app_log[-1], r" result=success .* consistency=crash-consistent ")
        self.assertEqual(result.out_lines[-1], "Backup complete: " + backup_dir)
        self.assertEqual(self.vm.snapshots(), [])
        disks = {t: s for _, d, t, s in self.vm.domblklist() if d == "disk"}
        self.assertEqual(disks, self.vm.images)
        for target in self.vm.images:
            self.assertFalse(os.path.exists(self.vm.overlay_path(target)), target)
        self.check_backup(backup_dir, synced, fix=True)
        # What the guest wrote on its overlays until it powered off was merged.
        final = self.vm.synced()
        with open(os.path.join(self.bin, "at-snapshot")) as f:
            self.assertGreater(final, int(f.read()))
        for image in self.vm.images.values():
            self.assertKept(image, final)


class QuiescedThenAgentStopped(RealGuestCase):

    def test_1_quiesced_backup_is_application_consistent_and_restores(self):
        result, backup_dir, synced = self.backup("--quiesce")
        self.assertRegex(result.app_log[-1],
                         r" result=success .* consistency=application-consistent ")
        commands = self.snapshot_commands()
        self.assertEqual(len(commands), 1, commands)
        self.assertIn("--quiesce", commands[0].split())
        # Frozen file systems: clean without journal recovery, and every file
        # that had its final name is complete.
        found = self.check_backup(backup_dir, synced, fix=False)
        for target, files in found.items():
            self.assertEqual([seq for seq, ok in files.items() if not ok], [], target)
            self.assertEqual(sorted(files), list(range(1, len(files) + 1)), target)

        # Restored beside the original, the copy boots from its own images and
        # finds every backed-up file intact.
        new = self.vm.name + "-copy"
        restored = guest.GuestVM(name=new, xml_text="<domain/>")
        self.addCleanup(restored.cleanup)
        restored.console = os.path.join(self.vm.scratch, new + "-console.log")
        result = self.tool.run(["-b", backup_dir, "--as", new, "-i", restored.scratch, "--start"],
                               binary=harness.RESTORE_BINARY)
        self.assertEqual(result.rc, 0, result)
        restored.wait_ready()
        self.assertEqual(restored.reports(), {t: (len(files), 0) for t, files in found.items()})
        self.assertEqual({t: s for _, d, t, s in restored.domblklist() if d == "disk"},
                         {t: os.path.join(restored.scratch, "%s-%s.qcow2" % (new, t))
                          for t in found})

    def test_2_quiesce_fails_when_the_guest_stopped_its_agent(self):
        self.vm.request("stop-agent")
        self.vm.wait_line(r"^agent stopped$", timeout=60)
        result = self.tool.run(["-n", self.vm.name, "-r", self.root, "-k", "3", "--quiesce"],
                               extra_path=[self.bin])
        self.assertEqual(result.rc, 1, result)
        lines = [line % self.vm.name if "%s" in line else line for line in AGENT_LINES]
        start = result.err_lines.index(lines[0]) if lines[0] in result.err_lines else -1
        self.assertEqual(result.err_lines[start:start + 4], lines, result)
        self.assertEqual(self.snapshot_commands(), [])
        self.assertEqual(self.vm.snapshots(), [])
        self.assertEqual(os.listdir(self.root), [])
        self.assertEqual(self.vm.state(), "running")


if __name__ == "__main__":
    unittest.main()
