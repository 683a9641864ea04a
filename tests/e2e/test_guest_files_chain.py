"""Single files from the busy Linux guest's chain of a full and two
incremental backups: a file in its version at each backup, and a directory
that the guest deleted after the first incremental, as the guest itself
reported them, extracted and read through --mount (guest_files.py: what
every run must leave as it was)."""
import base64
import os
import signal
import time
import unittest

import disk_images
import guest
from drills import sleep_past, timestamp_dirs
from guest_files import GUEST_DEVICES, FilesCase, backup_hashes


# ------------------------------------------------------- the busy guest's chain

def guest_exec(vm, script):
    """Runs `script` with the guest's shell through its agent; its standard
    output. Fails the test with what the guest said when it fails."""
    started = vm.agent_command({"execute": "guest-exec", "arguments": {
        "path": "/bin/sh", "arg": ["-c", script], "capture-output": True}})
    while True:
        status = vm.agent_command({"execute": "guest-exec-status",
                                   "arguments": {"pid": started["pid"]}})
        if status["exited"]:
            break
        time.sleep(0.2)
    out = base64.b64decode(status.get("out-data", "")).decode()
    if status.get("exitcode") != 0:
        raise AssertionError("in the guest: %s\nexit %s: %s%s" % (
            script, status.get("exitcode"), out,
            base64.b64decode(status.get("err-data", "")).decode()))
    return out


# The guest's own account of files under /mnt/vda/files: one row per entry,
# as tree_report() gives them on the host.
GUEST_REPORT = r"""
cd /mnt/vda/files
find %s | sort | while read -r f; do
  if [ -L "$f" ]; then echo "l|$f|||$(readlink "$f")"
  elif [ -d "$f" ]; then echo "d|$f|$(stat -c %%a "$f")|$(stat -c %%Y "$f")|"
  else echo "-|$f|$(stat -c %%a "$f")|$(stat -c %%Y "$f")|$(sha256sum <"$f" | cut -d' ' -f1)"
  fi
done
"""


# Serves a backup with --mount in the tool's mount namespace, reports files
# through the mount as the guest reports them, notes the user that the
# appliance's QEMU runs as (the QEMU that reads the backup's image: other
# tests' appliances may run meanwhile), and interrupts the tool.
MOUNT_WRAPPER = """#!/bin/sh
cat /proc/self/mountinfo >"%(before)s"
"%(binary)s" "$@" >"%(log)s" 2>&1 &
tool=$!
until grep -q "] Mounted on " "%(log)s" || ! kill -0 $tool 2>/dev/null; do sleep 0.5; done
if grep -q "] Mounted on " "%(log)s"; then
  (%(report)s) >"%(rows)s"
  ps -eo user=,args= | grep "[g]uest=guestfs-" | grep -F "%(image)s" | cut -d' ' -f1 >"%(qemu_user)s"
  kill -INT $tool
fi
wait $tool
status=$?
cat "%(log)s"
cat /proc/self/mountinfo >"%(after)s"
exit $status
"""


def report_rows(text):
    rows = []
    for line in text.splitlines():
        kind, path, mode, mtime, last = line.split("|")
        rows.append((kind, path, int(mode, 8) if mode else None, int(mtime) if mtime else None,
                     last))
    return sorted(rows, key=lambda row: row[1])


def guest_report(vm, *paths):
    return report_rows(guest_exec(vm, GUEST_REPORT % " ".join(paths)))


def host_report(directory):
    """tree_report() of what was extracted into directory, as guest_report rows."""
    rows = []
    for kind, rel, mode, _, mtime, last in disk_images.tree_report(directory):
        rows.append((kind, os.fsdecode(rel), mode, mtime,
                     os.fsdecode(last) if kind == "l" else last or ""))
    return sorted(rows, key=lambda row: row[1])


class BusyGuestChain(FilesCase):

    def backup_i(self, vm, *extra):
        """One run with --incremental that must succeed; its backup directory."""
        done = timestamp_dirs(os.path.join(self.root, vm.name))
        sleep_past(done[-1] if done else "")
        self.assertOk(self.backup(vm, "-i", *extra))
        (new,) = set(timestamp_dirs(os.path.join(self.root, vm.name))) - set(done)
        return os.path.join(self.root, vm.name, new)

    def test_a_file_in_each_version_and_a_deleted_directory_from_the_chain(self):
        vm = guest.QcowGuest()
        self.addCleanup(vm.cleanup)
        vm.boot()
        device = GUEST_DEVICES[0]  # vda, whole-disk ext4

        # Before the full backup: a file that changes later, and a directory
        # that goes after the first incremental one.
        guest_exec(vm, "mkdir -p /mnt/vda/files/gone/sub && cd /mnt/vda/files && "
                       "head -c 300000 /dev/urandom >changing && "
                       "head -c 5000 /dev/urandom >gone/a.bin && echo b >gone/sub/b.txt && "
                       "chmod 0750 gone/sub && ln -s sub/b.txt gone/link && sync")
        reports = [guest_report(vm, "changing", "gone")]
        b0 = self.backup_i(vm)
        # The file rewritten in part, the directory grown.
        guest_exec(vm, "cd /mnt/vda/files && "
                       "head -c 70000 /dev/urandom >/tmp/part && "
                       "dd if=/tmp/part of=changing bs=10000 seek=10 conv=notrunc 2>/dev/null && echo c >gone/c.txt && chmod 0600 gone/a.bin && sync")
        reports.append(guest_report(vm, "changing", "gone"))
        b1 = self.backup_i(vm, "--quiesce")
        # The directory deleted, the file replaced.
        guest_exec(vm, "cd /mnt/vda/files && rm -r gone && "
                       "head -c 200000 /dev/urandom >changing.new && mv changing.new changing && "
                       "sync")
        reports.append(guest_report(vm, "changing"))
        b2 = self.backup_i(vm)
        vm.shutoff()  # the appliance gets the cores
        self.assertEqual(len({r[0][4] for r in reports}), 3, "the file did not change: %r" % reports)

        hashes = backup_hashes(self.root)
        for backup, report, paths in ((b0, reports[0], ("changing", "gone")),
                                      (b1, reports[1], ("changing", "gone"))):
            with self.subTest(backup=backup):
                out = self.output_dir(os.path.basename(backup))
                args = ["-b", backup, "-o", out]
                for path in paths:
                    args += ["--extract", "%s:/files/%s" % (device, path)]
                result = self.files(*args)
                self.assertEqual(result.rc, 0, result)
                self.assertEqual(host_report(out), report)

        # The chain's tip through --mount, with the appliance confined by
        # libvirt: its QEMU is not root's.
        mnt = self.output_dir("mnt")
        os.makedirs(mnt)
        names = {name: os.path.join(self.work, name) for name in ("log", "rows", "qemu_user")}
        report = GUEST_REPORT.replace("/mnt/vda/files", mnt + "/sda/files") % "changing"
        image = os.path.join(b2, "%s-vda.qcow2" % vm.name)
        result = self.files("-b", b2, "--mount", mnt, script=MOUNT_WRAPPER, report=report,
                            image=os.path.abspath(image), **names)
        self.assertEqual(result.rc, 128 + signal.SIGINT, result)
        self.assertIn("Mounted on " + mnt + " read-only", result.out, result)
        with open(names["rows"]) as f:
            self.assertEqual(report_rows(f.read()), reports[2])
        with open(names["qemu_user"]) as f:
            users = f.read().split()
        self.assertEqual(len(users), 1, users)
        self.assertNotEqual(users[0], "root")
        self.assertEqual(os.listdir(mnt), [])
        self.assertEqual(backup_hashes(self.root), hashes)


if __name__ == "__main__":
    unittest.main()
