"""Helpers of the drills against the real libvirt daemon and QEMU (test_drill_*.py,
test_guest_*.py and the other end-to-end files that run the tool for real)."""
import glob
import os
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

import guest
import vmlib
from vmlib import SNAPSHOT, virsh

APP_VERSION = "0.1.5-prototype"
TS_NAME = re.compile(r"^\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d$")
FRAME = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ")
MIB = 1024 * 1024


# ------------------------------------------------------------ shared helpers

def framed_lines(text):
    """Console lines with the timestamp frame removed.

    Unlike vmlib.strip_ts this accepts lines without a frame (a message that
    carries a multi-line text from libvirt continues on such lines); they are
    returned as they are.
    """
    return [FRAME.sub("", line, count=1) for line in text.splitlines()]


def timestamp_dirs(vm_dir):
    """Names of the timestamp-named subdirectories of vm_dir, oldest first."""
    if not os.path.isdir(vm_dir):
        return []
    return sorted(n for n in os.listdir(vm_dir)
                  if TS_NAME.match(n) and os.path.isdir(os.path.join(vm_dir, n)))


def sleep_past(ts_name):
    """Waits until a new run would get a timestamp later than ts_name: two runs
    within one second would want the same backup directory."""
    while time.strftime("%Y-%m-%d_%H-%M-%S") <= ts_name:
        time.sleep(0.05)


def access(backup_dirs):
    """{path: (mode, uid, gid)} of the backup directories, everything in them
    but pins, and every directory on the way to them."""
    paths = set()
    for directory in backup_dirs:
        path = directory
        while True:
            paths.add(path)
            if path == "/":
                break
            path = os.path.dirname(path)
        paths.update(os.path.join(directory, name) for name in os.listdir(directory)
                     if not name.endswith(".pin"))
    found = {}
    for path in paths:
        st = os.stat(path)
        found[path] = (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid)
    return found


def tree(path):
    """{relative path: file bytes or None for a directory} of everything below path."""
    result = {}
    for dirpath, dirnames, filenames in os.walk(path):
        for d in dirnames:
            result[os.path.relpath(os.path.join(dirpath, d), path)] = None
        for f in filenames:
            full = os.path.join(dirpath, f)
            with open(full, "rb") as fh:
                result[os.path.relpath(full, path)] = fh.read()
    return result


def app_record(line, vm, result, stage=None, dir_=None, consistency=None, reason=None):
    """A regular expression for one application-log line with exactly these fields."""
    pattern = r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] vm=%s result=%s" % (re.escape(vm), result)
    if stage:
        pattern += " stage=" + re.escape(stage)
    if dir_:
        pattern += " dir=" + re.escape(dir_)
    if consistency:
        pattern += " consistency=" + re.escape(consistency)
    pattern += r" duration=\d+s version=" + re.escape(APP_VERSION)
    if reason:
        pattern += ' reason="%s"' % re.escape(reason)
    return re.match(pattern + "$", line) is not None


# The refusal a run prints while the temporary snapshot exists.
prior_snapshot_lines = vmlib.harness.prior_snapshot_lines


def recovery_command(err_lines):
    """The command inside the quotes of the printed "Recovery: '...'" line."""
    for line in err_lines:
        match = re.match(r"^ERROR: Recovery: '(.*)'$", line)
        if match:
            return shlex.split(match.group(1))
    raise AssertionError("no recovery line in %r" % err_lines)


SLOW_QEMU_IMG = """#!/bin/sh
# A slow real disk copy: 'convert' waits first, then the real program copies.
# Every call of 'convert' leaves its pid in the marker file, and 'copying'
# once the wait is over.
if [ "$1" = convert ]; then
  echo "started $$" >> '%(marker)s'
  sleep %(delay)s
  echo "copying $$" >> '%(marker)s'
fi
exec /usr/bin/qemu-img "$@"
"""


def slow_qemu_img(directory, delay=3):
    """A bin directory whose qemu-img copies slowly; returns (bin dir, marker path)."""
    bindir = os.path.join(directory, "slow-bin")
    os.makedirs(bindir, exist_ok=True)
    marker = os.path.join(directory, "convert-calls")
    vmlib.write_script(bindir, "qemu-img", SLOW_QEMU_IMG % {"marker": marker, "delay": delay})
    return bindir, marker


HELD_QEMU_IMG = """#!/bin/sh
# The first 'convert' leaves the held marker and waits for the release file
# before the real program copies.
if [ "$1" = convert ] && [ ! -e '%(held)s' ]; then
  : >'%(held)s'
  while [ ! -e '%(release)s' ]; do sleep 0.1; done
fi
exec /usr/bin/qemu-img "$@"
"""


def run_with_copy_held(tool, args, during, extra_path=()):
    """Runs the tool with its first disk copy held until during() has
    returned, however long that takes, and returns its vmlib.ToolResult.
    The VM is on its overlays while during() runs. A run that never reaches
    its copy fails the test with its result. extra_path: more stand-ins,
    after the holding qemu-img."""
    bindir = tempfile.mkdtemp(prefix="held-copy-", dir=tool.root)
    held = os.path.join(bindir, "copy-held")
    release = os.path.join(bindir, "copy-released")
    vmlib.write_script(bindir, "qemu-img", HELD_QEMU_IMG % {"held": held, "release": release})
    proc = start_tool(tool, args, extra_path=[bindir] + list(extra_path))
    try:
        while not os.path.exists(held) and proc.poll() is None:
            time.sleep(0.05)
        if os.path.exists(held):
            during()
    finally:
        open(release, "w").close()
        result = finish_tool(tool, proc)
    if not os.path.exists(held):
        raise AssertionError("the run ended before its disk copy: %r" % result)
    return result


# ------------------------------------------------------- incremental runs

CHECKPOINT_PREFIX = "quorlane-"

# A qemu-img whose 'convert' waits at a gate: it notes its pid in the marker
# file and copies only once the release file exists.
GATED_QEMU_IMG = """#!/bin/sh
if [ "$1" = convert ]; then
  echo "convert $$" >> '%(marker)s'
  while [ ! -e '%(release)s' ]; do sleep 0.05; done
fi
exec /usr/bin/qemu-img "$@"
"""

# A virsh that records its arguments; 'backup-begin' returns only once the
# release file exists (the job runs meanwhile).
GATED_VIRSH = """#!/bin/sh
printf '%%s\\n' "$*" >> '%(calls)s'
if [ "$1" = backup-begin ]; then
  /usr/bin/virsh "$@"
  status=$?
  echo "begun $status" >> '%(marker)s'
  while [ ! -e '%(release)s' ]; do sleep 0.05; done
  exit $status
fi
exec /usr/bin/virsh "$@"
"""


def checkpoint_names(vm):
    out = virsh("checkpoint-list", vm.name, "--name").stdout
    return sorted(line.strip() for line in out.splitlines() if line.strip())


def job_type(vm):
    out = virsh("domjobinfo", vm.name).stdout
    match = re.search(r"^Job type:\s*(\S+)", out, re.M)
    return match.group(1) if match else out


def scratch_images(vm):
    directories = {os.path.dirname(path) for path in vm.images.values()}
    return sorted(p for d in directories for p in glob.glob(os.path.join(d, "*scratch*")))


def wait_for_file(path, timeout=60):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return
        time.sleep(0.05)
    raise AssertionError("%s did not appear within %ss" % (path, timeout))


def start_tool(tool, args, extra_path=(), new_session=False):
    """Starts the binary like vmlib.Tool.run, but returns at once.

    The Popen's pid is the binary itself (unshare and sh exec it), so a
    signal to that pid reaches the tool alone. With new_session the tool
    leads its own process group, and os.killpg reaches it together with the
    programs it runs, as Ctrl-C at a terminal would.
    """
    command = tool.box.namespace() + [vmlib.BINARY] + [str(a) for a in args]
    env = tool.box.env(":".join(list(extra_path) + [vmlib.SYSTEM_PATH]))
    proc = subprocess.Popen(command, env=env, cwd=tool.root, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                            errors="replace", executable="/usr/bin/unshare",
                            start_new_session=new_session)
    proc.app_log_start = len(tool.box.app_log())
    return proc


def finish_tool(tool, proc, timeout=600):
    """Waits for a tool started by start_tool; returns a vmlib.ToolResult."""
    out, err = vmlib.communicate(proc, timeout)
    return vmlib.ToolResult(proc.returncode, out, err, tool.box.app_log()[proc.app_log_start:])


class DrillCase(unittest.TestCase):
    """A test with the real daemon, a tool runner and a backup root of its own."""

    @classmethod
    def setUpClass(cls):
        vmlib.require_libvirt()

    def setUp(self):
        self.tool = vmlib.make_tool(self)
        self.root = os.path.join(self.tool.root, "backups")
        os.makedirs(self.root)

    def backup(self, vm, *extra, keep=5, extra_path=()):
        """One real run against vm; returns the ToolResult."""
        return self.tool.run(["-n", vm.name, "-r", self.root, "-k", str(keep)] + list(extra),
                             extra_path=extra_path)

    def restored_vm(self, name):
        """A fresh directory for the restored copies, and cleanup of the VM `name`."""
        directory = tempfile.mkdtemp(prefix=name + "-", dir=vmlib.SCRATCH_ROOT)
        os.chmod(directory, 0o755)

        def cleanup():
            try:
                if virsh("dominfo", name, check=False).returncode == 0:
                    virsh("destroy", name, check=False)
                    virsh("undefine", name, "--nvram", "--snapshots-metadata", check=False)
            finally:
                shutil.rmtree(directory, ignore_errors=True)
        self.addCleanup(cleanup)
        return directory

    def assertOnBaseImages(self, vm):
        """No snapshot left, every disk on its base image, no overlay file left."""
        self.assertEqual(vm.snapshots(), [])
        for target, image in vm.images.items():
            self.assertEqual(vm.active_image(target), image)
            self.assertFalse(os.path.exists(vm.overlay_path(target)), vm.overlay_path(target))

    def assertOk(self, result):
        self.assertEqual(result.rc, 0, result)

    def assertCopyFailureCleanedUp(self, result, err, vm):
        """A run whose disk copy failed: it says so on `err` (its standard-error
        lines), removes the snapshot, records a step-6 failure, and leaves the
        VM running on its base images."""
        self.assertIn("WARN:  Backup is incomplete. Deleting partial backup directory.", err)
        self.assertIn("Snapshot removed (overlay merged into base by libvirt).", result.out_lines)
        self.assertNotIn("All disks backed up successfully.", result.out_lines)
        self.assertTrue(app_record(result.app_log[0], vm.name, "failure",
                                   stage="step6_disk_backup"), result.app_log)
        self.assertOnBaseImages(vm)
        self.assertEqual(vm.state(), "running")

    def assertPrintedRecoveryWorks(self, err_lines, vm):
        """The recovery command printed in `err_lines` removes the snapshot and,
        run as printed, merges the overlay: the VM runs on its base images."""
        command = recovery_command(err_lines)
        self.assertEqual(command, ["virsh", "snapshot-delete", vm.name, SNAPSHOT])
        recovery = subprocess.run(command, capture_output=True, text=True, timeout=300,
                                  stdin=subprocess.DEVNULL)
        self.assertEqual(recovery.returncode, 0, recovery.stderr)
        self.assertOnBaseImages(vm)
        self.assertEqual(vm.state(), "running")


class DefinedVM(vmlib.VM):
    """The inspection methods of vmlib.VM for a VM that a test defined itself."""

    def __init__(self, name):  # pylint: disable=super-init-not-called
        self.name = name


if __name__ == "__main__":
    unittest.main()


class GuestFaultCase(guest.GuestCase, DrillCase):
    """A busy guest (GuestCase's setUp) backed up with -k 1 into self.vm_dir;
    DrillCase lends its assertions."""

    def setUp(self):
        super().setUp()
        self.args = ["-n", self.vm.name, "-r", self.root, "-k", "1"]
        self.vm_dir = os.path.join(self.root, self.vm.name)

    def backed_up(self, stamp, target):
        return os.path.join(self.vm_dir, stamp, "%s-%s.qcow2" % (self.vm.name, target))
