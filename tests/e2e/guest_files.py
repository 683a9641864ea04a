"""What the tests of single files from backups share: quorlane-restore's
--ls and --extract read the backups through libguestfs's appliance, never
through the host's kernel, and every run leaves the host's volume groups,
device-mapper devices and mount tables as they were, and the backups' files
byte for byte, with their modes and owners. Every call of the tool starts one appliance (about half a
minute of a core under plain emulation), so the tests make few calls and
ask for several paths in each.
"""
import hashlib
import os
import shutil
import subprocess
import tempfile

import disk_images
import vmlib
from disk_images import MIB
from drills import DrillCase, access, framed_lines
from vmlib import harness

# The exit status of a request that the guest's files cannot answer.
UNREADABLE = 4
# The guest disks as the appliance names them, in the order of the definition.
GUEST_DEVICES = ["/dev/sd" + c for c in "abcde"]

# Runs the tool, then notes the mount table of its mount namespace: a
# program that mounted something there and left it would show.
WRAPPER = """#!/bin/sh
cat /proc/self/mountinfo >"%(before)s"
"%(binary)s" "$@"
status=$?
cat /proc/self/mountinfo >"%(after)s"
exit $status
"""


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(MIB), b""):
            digest.update(chunk)
    return digest.hexdigest()


def backup_hashes(root):
    """{path: sha256} of every file under the backup root."""
    return {os.path.join(d, n): sha256(os.path.join(d, n))
            for d, _, names in os.walk(root) for n in names}


def host_storage():
    """What the host's kernel and LVM know of volumes and mounts."""
    lvm = {}
    for command in (["vgs", "--noheadings", "-o", "vg_name,pv_count,lv_count"],
                    ["lvs", "--noheadings", "-o", "vg_name,lv_name,lv_attr"]):
        proc = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              env=dict(os.environ, LVM_SUPPRESS_FD_WARNINGS="1"))
        lvm[command[0]] = (proc.returncode, proc.stdout)
    # Other end-to-end files mount tmpfs file systems on the host while these
    # tests run; a guest's file system would come as ext4, ntfs or fuse.
    with open("/proc/self/mountinfo") as f:
        mounts = [line for line in f if line.split(" - ", 1)[1].split()[0] != "tmpfs"]
    return {"lvm": lvm, "mapper": sorted(os.listdir("/dev/mapper")), "mountinfo": mounts}


def err_lines(result):
    return framed_lines(result.err)


class FilesCase(DrillCase):
    """Runs quorlane-restore through a wrapper that notes its namespace's
    mount table, and checks after each run that the host's storage and the
    backups are as they were."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for program in ("mkfs.ext4", "debugfs", "mkntfs", "ntfscp", "cryptsetup", "sfdisk", "vgs"):
            if shutil.which(program) is None:
                vmlib.cannot_run("%s is not installed (scripts/lib.sh installs it)" % program)
        handle, why = disk_images.guestfs_handle()
        if handle is None:
            vmlib.cannot_run(why)
        handle.close()

    def setUp(self):
        super().setUp()
        self.calls = 0
        # The output directories live where the tool can write and the test
        # can look above them.
        self.work = tempfile.mkdtemp(prefix="files-", dir=self.tool.root)

    def files(self, *args, script=WRAPPER, **fields):
        """One run of quorlane-restore, through `script` (WRAPPER, or one
        like it that takes `fields` too); the host's storage is the same
        after it as before, and it left no mount in its namespace."""
        self.calls += 1
        before = os.path.join(self.tool.root, "mountinfo-%d-before" % self.calls)
        after = os.path.join(self.tool.root, "mountinfo-%d-after" % self.calls)
        wrapper = vmlib.write_script(self.tool.root, "restore-%d" % self.calls, script % dict(
            fields, before=before, after=after, binary=os.path.abspath(harness.RESTORE_BINARY)))
        host = host_storage()
        backups = [d for d, _, _ in os.walk(self.root)]
        modes = access(backups)
        result = self.tool.run([str(a) for a in args], binary=wrapper)
        self.assertEqual(host_storage(), host, "the host's storage changed: %r" % (result,))
        self.assertEqual(access(backups), modes, "modes or owners in the backups changed")
        # Only what was added counts: a mount on another test's directory
        # leaves the namespace when that test removes the directory.
        with open(before) as f, open(after) as g:
            added = set(g.read().splitlines()) - set(f.read().splitlines())
        self.assertEqual(added, set(), "mounts left in the tool's namespace")
        return result

    def output_dir(self, name):
        return os.path.join(self.work, name)

    def assertNothingWritten(self, directory):
        self.assertFalse(os.path.exists(directory) and os.listdir(directory),
                         "%s: %r" % (directory, os.path.exists(directory) and os.listdir(directory)))
