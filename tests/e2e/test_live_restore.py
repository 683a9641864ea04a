"""Live restore (quorlane-restore --live, --finish) against the real libvirt
daemon and QEMU.

A busy Linux guest backed up in a chain of a full and two incremental
backups (the last one quiesced) is restored live beside itself: the copy
runs at once, boots and finds every backed-up file while its disks still
read from the backup, keeps writing while libvirt pulls the data in, and
ends on images of its own with sound file systems that hold every file it
synced. A live restore stopped by SIGTERM leaves the copy running on the
pinned backup, which backups of the original with their retention then keep
with the backups it depends on, until --finish completes the copy. After
the original lost its images, a live restore in place brings it back.

A firmware-only copy takes --finish through a VM shut off and then paused
before its copy ended; its disk then holds exactly the backup and what the
VM wrote during the copy, and the backup was never written.

After every live restore that completed: no pin, no backing file, no block
job, no definition of the VM, live or persistent, that names the backup,
and every directory and file on the way to the backup has its mode and
owner back; --finish then says the VM is not being live-restored.
"""
import glob
import hashlib
import os
import re
import signal
import stat
import subprocess
import tempfile
import time
import unittest

import guest
import vmlib
from drills import (MIB, DefinedVM, DrillCase, access, framed_lines, sleep_past,
                    timestamp_dirs)
from vmlib import harness, virsh

KIB = 1024

# virsh as the tool runs it, its arguments noted. A pull of vda starts held:
# the tool's --bandwidth (MiB/s) is taken as bytes/s, so the job copies its
# first chunk and waits until the test raises its bandwidth (virsh blockjob
# --bandwidth). The pull is then a real one that lasts as long as the test
# needs, on a fast machine as on a slow one.
HELD_VIRSH = """#!/bin/sh
printf '%%s\\n' "$*" >> '%(calls)s'
if [ "$1" = blockpull ] && [ "$3" = vda ]; then exec /usr/bin/virsh "$@" --bytes; fi
exec /usr/bin/virsh "$@"
"""

RECORDING_VIRSH = """#!/bin/sh
printf '%%s\\n' "$*" >> '%(calls)s'
exec /usr/bin/virsh "$@"
"""

RUNS = r"^VM '%s' runs, \d+\.\d s after the restore began; its data follows from the backup\.$"
PROGRESS = r"^  %s: \d+ %% copied(, \d+\.\d MiB/s)?$"


# ------------------------------------------------------------ the tool

class LiveRun:
    """quorlane-restore started like vmlib.Tool.run, but left running; its
    standard output and error go to files that the test reads meanwhile."""

    def __init__(self, case, tool, args, extra_path=()):
        self.tool = tool
        self.dir = tempfile.mkdtemp(prefix="live-run-", dir=tool.root)
        self.out_path = os.path.join(self.dir, "out")
        self.err_path = os.path.join(self.dir, "err")
        self.log_start = len(tool.box.restore_log())
        command = tool.box.namespace() + [os.path.abspath(harness.RESTORE_BINARY)]
        command += [str(a) for a in args]
        env = tool.box.env(":".join(list(extra_path) + [vmlib.SYSTEM_PATH]))
        with open(self.out_path, "w") as out, open(self.err_path, "w") as err:
            # The pid is the tool's own: unshare and sh exec it.
            self.proc = subprocess.Popen(command, env=env, cwd=tool.root, stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL, executable="/usr/bin/unshare")
        case.addCleanup(lambda: self.proc.poll() is None and self.proc.kill())

    def out_lines(self):
        """Complete lines so far, without their timestamp frames."""
        with open(self.out_path, errors="replace") as f:
            text = f.read()
        return framed_lines(text[:text.rfind("\n") + 1])

    def wait_line(self, regex, timeout=300):
        """The first standard-output line matching regex."""
        def found():
            ended = self.proc.poll() is not None
            line = next((line for line in self.out_lines() if re.search(regex, line)), None)
            if line is None and ended:
                raise AssertionError("the tool ended before a line /%s/:\n%r"
                                     % (regex, self.finish(10)))
            return line
        return wait_for(found, timeout, "a line /%s/ of the tool" % regex)

    def finish(self, timeout=900):
        """Waits for the tool; a vmlib.ToolResult whose app_log holds the
        restore records it added."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        with open(self.out_path, errors="replace") as f:
            out = f.read()
        with open(self.err_path, errors="replace") as f:
            err = f.read()
        return vmlib.ToolResult(self.proc.returncode, out, err,
                                self.tool.box.restore_log()[self.log_start:])


def restore(tool, *args, extra_path=()):
    """One quorlane-restore run to its end: a ToolResult whose app_log holds
    its restore records."""
    before = len(tool.box.restore_log())
    result = tool.run(list(args), extra_path=extra_path, binary=harness.RESTORE_BINARY)
    result.app_log = tool.box.restore_log()[before:]
    return result


def stand_in(directory, text):
    """A bin directory with a virsh made from `text`; returns (bin dir, calls file)."""
    bindir = tempfile.mkdtemp(prefix="bin-", dir=directory)
    calls = os.path.join(bindir, "calls")
    vmlib.write_script(bindir, "virsh", text % {"calls": calls})
    return bindir, calls


def calls_of(calls, command):
    """The argument vectors of `command` in a calls file, in order."""
    try:
        with open(calls) as f:
            return [line.split() for line in f if line.split()[:1] == [command]]
    except FileNotFoundError:
        return []


# ------------------------------------------------------------ conditions

def wait_for(condition, timeout, what):
    """condition()'s first true value, asked twice a second; fails after timeout."""
    deadline = time.time() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.time() > deadline:
            raise AssertionError("waited %ss for %s" % (timeout, what))
        time.sleep(0.5)


def block_job(name, target):
    """What virsh blockjob --info says of one disk: its bandwidth and, on
    standard error, 'Block Pull: [  1 %]'; or 'No current block job for vda'."""
    proc = virsh("blockjob", name, target, "--info", check=False)
    return (proc.stdout + proc.stderr).strip()


def pulling(name, target):
    return "Block Pull: [" in block_job(name, target)


def backing_file(image):
    """The image's backing file as qemu-img sees it (the VM may hold the image), or None."""
    return vmlib.image_info(image).get("backing-filename")


def pins(vm_dir, name):
    """The pins of the live restore of VM `name` in any backup of vm_dir."""
    return sorted(glob.glob(os.path.join(glob.escape(vm_dir), "*", "live-restore-%s.pin" % name)))


def md5(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            digest.update(block)
    return digest.hexdigest()


class LiveCase(unittest.TestCase):
    """What every completed live restore must leave."""

    def assertCompleted(self, result, name, backup_dir):
        self.assertEqual(result.rc, 0, result)
        self.assertEqual(result.out_lines[-1], "Live restore complete: VM '%s' no longer reads "
                         "from %s, which is unpinned." % (name, backup_dir), result)
        self.assertEqual(len(result.app_log), 1, result.app_log)
        self.assertRegex(result.app_log[0], r"^\[[^]]+\] vm=\S+ result=success from=%s to=%s "
                         r"mode=live duration=\d+s " % (re.escape(backup_dir), re.escape(name)))

    def assertNothingLeft(self, name, images, backup_dir, chain_dirs, modes):
        """The VM runs on images of its own: no backing file, no block job, no
        pin, no note of the backup in its definitions; every mode and owner
        that the pin changed is back."""
        for target, image in images.items():
            self.assertIsNone(backing_file(image), image)
            self.assertRegex(block_job(name, target), r"^No current block job for %s" % target)
        self.assertNotIn("<backingStore type=", virsh("dumpxml", name).stdout)
        self.assertEqual(pins(os.path.dirname(backup_dir), name), [])
        self.assertEqual(access(chain_dirs), modes)
        # Retention may delete the backup now: no definition names it.
        for flags in ([], ["--inactive"]):
            definition = virsh("dumpxml", name, *flags).stdout
            self.assertNotIn(backup_dir, definition, flags)
            self.assertNotIn("urn:quorlane:live-restore", definition, flags)

    def assertNothingToFinish(self, name):
        result = restore(self.tool, "--finish", name)
        self.assertEqual(result.rc, 1, result)
        self.assertEqual(result.err_lines, ["ERROR: VM '%s' is not being live-restored." % name])


# ------------------------------------------------------------ a busy guest

class LiveRestoreOfABusyGuest(LiveCase):
    """One busy guest, backed up once for all tests: a full backup and two
    incremental ones, the last quiesced. Its restored copies are checked
    against what the quiesced backup holds."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        vmlib.require_libvirt()
        cls.tool = vmlib.Tool()
        cls.addClassCleanup(cls.tool.cleanup)
        cls.root = os.path.join(cls.tool.root, "backups")
        os.makedirs(cls.root)
        cls.vm = guest.QcowGuest()
        cls.addClassCleanup(cls.vm.cleanup)
        cls.vm.boot()
        cls.vm_dir = os.path.join(cls.root, cls.vm.name)
        cls.stamps = []
        for quiesce in (False, False, True):
            cls.vm.wait_synced(cls.vm.synced() + 10)
            sleep_past(cls.stamps[-1] if cls.stamps else "")
            result = cls.tool.run(["-n", cls.vm.name, "-r", cls.root, "-k", "5", "-i"]
                                  + (["--quiesce"] if quiesce else []))
            if result.rc != 0:
                raise AssertionError("backup of %s failed: %r" % (cls.vm.name, result))
            cls.stamps.append(timestamp_dirs(cls.vm_dir)[-1])
        cls.tip = os.path.join(cls.vm_dir, cls.stamps[-1])
        cls.chain_dirs = [os.path.join(cls.vm_dir, ts) for ts in cls.stamps]
        # The restored copies boot on the CPUs alone.
        cls.vm.shutoff()
        cls.files = None

    def backed_up_files(self):
        """{disk: {seq: intact}} of the quiesced tip, whose file systems are
        clean and whose files are all whole, numbered from 1 on."""
        if LiveRestoreOfABusyGuest.files is None:
            found = {}
            workdir = tempfile.mkdtemp(prefix="tip-", dir=self.vm.scratch)
            for target in sorted(self.vm.images):
                image = os.path.join(self.tip, "%s-%s.qcow2" % (self.vm.name, target))
                files = guest.check_image(self, image, workdir, fix=False)
                self.assertEqual(sorted(files), list(range(1, len(files) + 1)), target)
                self.assertEqual([seq for seq, ok in files.items() if not ok], [], target)
                found[target] = files
            LiveRestoreOfABusyGuest.files = found
        return LiveRestoreOfABusyGuest.files

    def copy_of(self, name):
        """A GuestVM for the console and cleanup of the restored VM `name`;
        its images go to its scratch directory."""
        restored = guest.GuestVM(name=name, xml_text="<domain/>")
        self.addCleanup(restored.cleanup)
        restored.console = os.path.join(self.vm.scratch, name + "-console.log")
        open(restored.console, "w").close()
        restored.restored_images = {t: os.path.join(restored.scratch, "%s-%s.qcow2" % (name, t))
                                    for t in self.vm.images}
        return restored

    def assertBootsWithTheBackedUpFiles(self, restored):
        """The restored guest boots and finds every file of the backup intact;
        returns the highest sequence number the backup holds."""
        restored.wait_ready()
        files = self.backed_up_files()
        self.assertEqual(restored.reports(), {t: (len(f), 0) for t, f in files.items()})
        return max(max(f) for f in files.values())

    def assertHoldsWhatItSynced(self, restored, images):
        """The guest has synced files of its own; frozen, its file systems are
        clean and hold every file of the backup and every file it synced,
        intact. The guest goes on after the highest file of the backup, which
        only one disk may hold (the backup froze the guest between the two
        writes of a file). Returns the highest file it synced."""
        backed_up = self.backed_up_files()
        top = max(max(files) for files in backed_up.values())
        synced = restored.synced()
        self.assertGreater(synced, top)
        workdir = tempfile.mkdtemp(prefix="check-", dir=restored.scratch)
        virsh("domfsfreeze", restored.name)
        try:
            for target, image in sorted(images.items()):
                files = guest.check_image(self, image, workdir, fix=False)
                lost = {seq: "damaged" if seq in files else "missing"
                        for seq in sorted(set(backed_up[target]) | set(range(top + 1, synced + 1)))
                        if not files.get(seq)}
                self.assertEqual(lost, {}, "%s of %s: files of the backup (1..%d) or synced "
                                 "since (..%d) lost" % (target, restored.name, top, synced))
        finally:
            virsh("domfsthaw", restored.name)
        return synced

    def test_1_busy_copy_runs_at_once_and_ends_on_its_own_images(self):
        self.backed_up_files()
        modes = access(self.chain_dirs)
        name = self.vm.name + "-live"
        restored = self.copy_of(name)
        bindir, calls = stand_in(self.tool.root, HELD_VIRSH)
        run = LiveRun(self, self.tool, ["-b", self.tip, "--as", name, "-i", restored.scratch,
                                        "--live", "--bandwidth", "1"], extra_path=[bindir])
        run.wait_line(RUNS % re.escape(name))
        # The copy of vda has begun and holds still; the guest boots from
        # the backup, finds its files and writes on.
        wait_for(lambda: pulling(name, "vda"), 120, "the pull of vda")
        top = self.assertBootsWithTheBackedUpFiles(restored)
        restored.wait_synced(top + 10)
        self.assertTrue(pulling(name, "vda"), block_job(name, "vda"))
        self.assertIsNotNone(backing_file(restored.restored_images["vda"]))
        # While it holds still, the tool says how far it is, again and again.
        wait_for(lambda: len([line for line in run.out_lines()
                              if re.match(PROGRESS % "vda", line)]) >= 2, 60,
                 "two progress lines of vda")
        # The rest at 1 MiB/s, as the tool asked, while the guest writes.
        virsh("blockjob", name, "vda", "--bandwidth", "1")
        result = run.finish()
        self.assertCompleted(result, name, self.tip)
        self.assertEqual(calls_of(calls, "blockpull"), [
            ["blockpull", name, t, "--wait", "--verbose", "--bandwidth", "1"]
            for t in ("vda", "vdb")])
        self.assertEqual({t: s for _, d, t, s in DefinedVM(name).domblklist() if d == "disk"},
                         restored.restored_images)
        self.assertEqual(restored.state(), "running")
        self.assertNothingLeft(name, restored.restored_images, self.tip, self.chain_dirs, modes)
        self.assertNothingToFinish(name)
        self.assertHoldsWhatItSynced(restored, restored.restored_images)

    def test_2_stopped_copy_keeps_the_backup_through_retention_until_finish(self):
        self.backed_up_files()
        modes = access(self.chain_dirs)
        name = self.vm.name + "-stopped"
        restored = self.copy_of(name)
        bindir, _ = stand_in(self.tool.root, HELD_VIRSH)
        run = LiveRun(self, self.tool, ["-b", self.tip, "--as", name, "-i", restored.scratch,
                                        "--live", "--bandwidth", "1"], extra_path=[bindir])
        run.wait_line(RUNS % re.escape(name))
        wait_for(lambda: pulling(name, "vda"), 120, "the pull of vda")
        os.kill(run.proc.pid, signal.SIGTERM)
        result = run.finish(120)
        self.assertEqual(result.rc, 143, result)
        self.assertEqual(result.err_lines[-2:], [
            "WARN:  Interrupted by Terminated; VM '%s' runs on images that still read from %s, "
            "which stays pinned." % (name, self.tip),
            "WARN:  Finish the copy with: quorlane-restore --finish %s" % name], result)
        self.assertEqual(len(result.app_log), 1, result.app_log)
        self.assertRegex(result.app_log[0], r" result=interrupted from=%s to=%s mode=live "
                         r"duration=\d+s version=\S+ reason=\"SIGTERM\"$" % (
                             re.escape(self.tip), re.escape(name)))
        # The VM runs on the pinned backup, whose directories QEMU may still
        # search, and libvirt goes on with the pull.
        self.assertEqual(restored.state(), "running")
        self.assertTrue(pulling(name, "vda"), block_job(name, "vda"))
        pin = os.path.join(self.tip, "live-restore-%s.pin" % name)
        self.assertEqual(pins(self.vm_dir, name), [pin])
        now = access(self.chain_dirs)
        self.assertEqual({p: now[p] for p in modes if os.path.isdir(p)},
                         {p: (mode | stat.S_IXOTH, uid, gid) for p, (mode, uid, gid)
                          in modes.items() if os.path.isdir(p)})
        top = self.assertBootsWithTheBackedUpFiles(restored)
        restored.wait_synced(top + 10)

        # The original, shut off as after the loss that called for the
        # restore, is backed up while its copy reads from its backup.
        with self.subTest("a backup of the original, shut off, with its chain's checkpoint"):
            result = self.tool.run(["-n", self.vm.name, "-r", self.root, "-k", "1", "-i"])
            self.assertEqual(result.rc, 0, result)
        # Two full backups of the original, running, keeping one: the second
        # deletes the first and every other backup but the pinned one and
        # those it depends on.
        self.vm.start()
        later = []
        try:
            for _ in range(2):
                sleep_past(timestamp_dirs(self.vm_dir)[-1])
                result = self.tool.run(["-n", self.vm.name, "-r", self.root, "-k", "1"])
                self.assertEqual(result.rc, 0, result)
                later.append(timestamp_dirs(self.vm_dir)[-1])
                self.assertEqual(timestamp_dirs(self.vm_dir), self.stamps + later[-1:])
        finally:
            self.vm.shutoff()
        self.assertIn("  Deleting old backup: " + later[0], result.out_lines)
        self.assertEqual(pins(self.vm_dir, name), [pin])
        with self.subTest("--list shows the pinned backup in use"):
            listing = restore(self.tool, "-n", self.vm.name, "-r", self.root, "--list")
            self.assertEqual(listing.rc, 0, listing)
            in_use = [line.split()[0] for line in listing.out.splitlines() if "in use" in line]
            self.assertEqual(in_use, [self.stamps[-1]], listing.out)
        with self.subTest("single files from the pinned backup, which stays as the pin has it"):
            pinned = access(self.chain_dirs)
            listing = restore(self.tool, "-b", self.tip, "--ls")
            self.assertEqual(listing.rc, 0, listing)
            self.assertIn("/dev/sda\text4\t", listing.out)
            self.assertEqual(access(self.chain_dirs), pinned)

        # --finish stops the pull that libvirt still runs and issues it again.
        bindir, calls = stand_in(self.tool.root, RECORDING_VIRSH)
        result = restore(self.tool, "--finish", name, "--bandwidth", "50", extra_path=[bindir])
        with self.subTest("--finish of a copy whose pull libvirt still runs"):
            self.assertCompleted(result, name, self.tip)
            with open(calls) as f:
                pulls = [line.split() for line in f
                         if re.match(r"blockpull |blockjob .* --abort", line)]
            self.assertEqual(pulls[0][:4], ["blockjob", name, "vda", "--abort"], pulls)
            self.assertEqual(pulls[1:], [["blockpull", name, t, "--wait", "--verbose",
                                          "--bandwidth", "50"] for t in ("vda", "vdb")])
        if result.rc != 0:
            # So that the rest is still checked: the pull stopped here,
            # --finish issues it anew.
            virsh("blockjob", name, "vda", "--abort")
            result = restore(self.tool, "--finish", name, "--bandwidth", "50")
            self.assertCompleted(result, name, self.tip)
        self.assertEqual(restored.state(), "running")
        self.assertNothingLeft(name, restored.restored_images, self.tip, self.chain_dirs, modes)
        self.assertHoldsWhatItSynced(restored, restored.restored_images)
        listing = restore(self.tool, "-n", self.vm.name, "-r", self.root, "--list")
        self.assertNotIn("in use", listing.out)
        self.assertEqual(timestamp_dirs(self.vm_dir), self.stamps + later[-1:])

    def test_3_in_place_after_the_images_were_lost(self):
        self.backed_up_files()
        modes = access(self.chain_dirs)
        vm = self.vm
        self.assertEqual(vm.state(), "shut off")
        for image in vm.images.values():
            os.unlink(image)
        open(vm.console, "w").close()
        # The original comes back under its name, in its directory, on images
        # named like those of the backup.
        result = restore(self.tool, "-n", vm.name, "-r", self.root, "-t", self.stamps[-1],
                         "--live")
        self.assertCompleted(result, vm.name, self.tip)
        self.assertEqual(len([line for line in result.out_lines
                              if re.match(RUNS % re.escape(vm.name), line)]), 1, result)
        images = {t: os.path.join(vm.scratch, "%s-%s.qcow2" % (vm.name, t)) for t in vm.images}
        self.assertEqual({t: s for _, d, t, s in vm.domblklist() if d == "disk"}, images)
        self.assertEqual(vm.state(), "running")
        self.assertNothingLeft(vm.name, images, self.tip, self.chain_dirs, modes)
        # Its guest boots (on the backup or on the copied images) and finds
        # its files, and the file systems it writes on are sound.
        top = self.assertBootsWithTheBackedUpFiles(vm)
        vm.wait_synced(top + 10)
        self.assertHoldsWhatItSynced(vm, images)


# ------------------------------------------------------------ --finish

def fill_random(vm, target, offset, length):
    """Gives a VM that has not started yet random data (no cluster like
    another) in [offset, offset + length) of a disk."""
    image = vm.images[target]
    size = vmlib.image_info(image)["virtual-size"]
    raw = image + ".raw"
    with open("/dev/urandom", "rb") as source, open(raw, "wb") as f:
        f.seek(offset)
        f.write(source.read(length))
        f.truncate(size)
    subprocess.run(["qemu-img", "convert", "-q", "-f", "raw", "-O", "qcow2", raw, image],
                   check=True, stdin=subprocess.DEVNULL)
    os.unlink(raw)


class FinishAfterTheVmStopped(DrillCase, LiveCase):
    """Firmware-only VMs, whose disks only the test writes to."""

    def test_shut_off_then_paused_before_the_copy_ended(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "32M")])
        fill_random(vm, "vda", 1 * MIB, 8 * MIB)
        vm.define()
        result = self.backup(vm, keep=1)
        self.assertOk(result)
        (stamp,) = timestamp_dirs(os.path.join(self.root, vm.name))
        backup_dir = os.path.join(self.root, vm.name, stamp)
        backed_up = os.path.join(backup_dir, "%s-vda.qcow2" % vm.name)
        digest = md5(backed_up)
        modes = access([backup_dir])
        name = vm.name + "-live"
        directory = self.restored_vm(name)
        image = os.path.join(directory, "%s-vda.qcow2" % name)
        copy = DefinedVM(name)

        # Stopped while its pull of vda holds still, after it wrote over
        # backed-up data and where the backup holds nothing.
        bindir, _ = stand_in(self.tool.root, HELD_VIRSH)
        run = LiveRun(self, self.tool, ["-b", backup_dir, "--as", name, "-i", directory, "--live",
                                        "--bandwidth", "1"], extra_path=[bindir])
        run.wait_line(RUNS % re.escape(name))
        wait_for(lambda: pulling(name, "vda"), 120, "the pull of vda")
        writes = [(0x6b, 2 * MIB, 64 * KIB), (0x6c, 20 * MIB, 256 * KIB)]
        for byte, offset, length in writes:
            copy.write_pattern("vda", byte, offset, length)
        os.kill(run.proc.pid, signal.SIGTERM)
        self.assertEqual(run.finish(120).rc, 143)
        pin = [os.path.join(backup_dir, "live-restore-%s.pin" % name)]

        # Shut off before the copy ended: libvirt copies only into a running VM.
        virsh("destroy", name)
        result = restore(self.tool, "--finish", name)
        self.assertEqual(result.rc, 1, result)
        self.assertTrue([line for line in result.err_lines if re.match(
            r"ERROR: VM '%s' is shut off\b.*\(virsh start %s\)" % (re.escape(name),
                                                                re.escape(name)), line)], result)
        self.assertEqual(result.err_lines[-1], "ERROR: VM '%s' still reads from %s, which stays "
                         "pinned. With the VM running, run: quorlane-restore --finish %s"
                         % (name, backup_dir, name))
        self.assertRegex(result.app_log[-1], r" result=failure from=%s to=%s mode=live " % (
            re.escape(backup_dir), re.escape(name)))
        self.assertEqual(pins(os.path.dirname(backup_dir), name), pin)
        self.assertEqual(backing_file(image), backed_up)

        # Started again, it reads from the backup, which QEMU can still reach.
        virsh("start", name)
        self.assertIn("<backingStore type='file'", copy.dumpxml())

        # Paused when its copy ends: QEMU writes the copied data out only
        # when the VM runs or stops, so the backup stays pinned.
        virsh("suspend", name)
        result = restore(self.tool, "--finish", name)
        self.assertEqual(result.rc, 1, result)
        self.assertTrue([line for line in result.err_lines if re.match(
            r"ERROR: VM '%s' is paused\b.*\(virsh resume %s\).*quorlane-restore --finish %s$"
            % (re.escape(name), re.escape(name), re.escape(name)), line)], result)
        self.assertEqual(copy.state(), "paused")
        self.assertIsNone(backing_file(image))
        self.assertRegex(block_job(name, "vda"), r"^No current block job for vda")
        self.assertEqual(pins(os.path.dirname(backup_dir), name), pin)

        # Running again, it finishes at once.
        virsh("resume", name)
        result = restore(self.tool, "--finish", name)
        self.assertCompleted(result, name, backup_dir)
        self.assertIn("  vda: copied already.", result.out_lines)
        self.assertEqual(copy.state(), "running")
        self.assertNothingLeft(name, {"vda": image}, backup_dir, [backup_dir], modes)
        self.assertNothingToFinish(name)

        # The disk is the backup with what the VM wrote during the copy: in
        # the image file while the VM runs (the tool had QEMU write it out),
        # and after it stopped. The backup was never written.
        expected = os.path.join(directory, "expected.raw")
        subprocess.run(["qemu-img", "convert", "-q", "-O", "raw", backed_up, expected],
                       check=True, stdin=subprocess.DEVNULL)
        for byte, offset, length in writes:
            subprocess.run(["qemu-io", "-f", "raw", "-c", "write -P 0x%02x %d %d" % (
                byte, offset, length), expected], check=True, capture_output=True,
                           stdin=subprocess.DEVNULL)
        for state in ("running", "shut off"):
            if state == "shut off":
                virsh("destroy", name)
            equal, text = vmlib.images_equal(image, expected, "qcow2", "raw")
            self.assertTrue(equal, "%s, %s: %s" % (image, state, text))
        self.assertEqual(md5(backed_up), digest)

if __name__ == "__main__":
    unittest.main()
