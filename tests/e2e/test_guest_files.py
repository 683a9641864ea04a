"""Single files back from backups: quorlane-restore --ls and --extract read the
backups through libguestfs's appliance, never through the host's kernel.

- The busy Linux guest's chain of a full and two incremental backups gives
  back a file in its version at each backup and a directory that the guest
  deleted after the first incremental, as the guest itself reported them.
- A backup of a shut-off VM with a recognisable Linux root, LVM (a volume
  group vg0, as hosts name theirs), an NTFS data disk, a hostile ext4 disk
  and a LUKS volume: --ls lists the file systems with the guest's mount
  points, --extract brings files back by the guest's paths and by device,
  and nothing of the hostile disk lands outside the output directory. Bad
  requests exit 4 and write nothing.

The host's volume groups, device-mapper devices and mount tables stay as
they were, and the backups' files byte for byte. Every call of the tool
starts one appliance (about 25 s of a core under plain emulation), so the
calls here are few and each asks for several paths.
"""
import base64
import hashlib
import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

import disk_images
import guest
import vmlib
from disk_images import MIB
from drills import DrillCase, framed_lines, sleep_past, timestamp_dirs
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

    def files(self, *args):
        """One run of quorlane-restore; the host's storage and the namespace's
        mount table are the same after it as before."""
        self.calls += 1
        before = os.path.join(self.tool.root, "mountinfo-%d-before" % self.calls)
        after = os.path.join(self.tool.root, "mountinfo-%d-after" % self.calls)
        wrapper = vmlib.write_script(self.tool.root, "restore-%d" % self.calls, WRAPPER % {
            "before": before, "after": after, "binary": os.path.abspath(harness.RESTORE_BINARY)})
        host = host_storage()
        result = self.tool.run([str(a) for a in args], binary=wrapper)
        self.assertEqual(host_storage(), host, "the host's storage changed: %r" % (result,))
        with open(before) as f, open(after) as g:
            self.assertEqual(f.read(), g.read(), "mounts left in the tool's namespace")
        return result

    def output_dir(self, name):
        return os.path.join(self.work, name)

    def assertNothingWritten(self, directory):
        self.assertFalse(os.path.exists(directory) and os.listdir(directory),
                         "%s: %r" % (directory, os.path.exists(directory) and os.listdir(directory)))


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


def guest_report(vm, *paths):
    rows = []
    for line in guest_exec(vm, GUEST_REPORT % " ".join(paths)).splitlines():
        kind, path, mode, mtime, last = line.split("|")
        rows.append((kind, path, int(mode, 8) if mode else None, int(mtime) if mtime else None,
                     last))
    return sorted(rows, key=lambda row: row[1])


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
                                      (b1, reports[1], ("changing", "gone")),
                                      (b2, reports[2], ("changing",))):
            with self.subTest(backup=backup):
                out = self.output_dir(os.path.basename(backup))
                args = ["-b", backup, "-o", out]
                for path in paths:
                    args += ["--extract", "%s:/files/%s" % (device, path)]
                result = self.files(*args)
                self.assertEqual(result.rc, 0, result)
                self.assertEqual(host_report(out), report)
        self.assertEqual(backup_hashes(self.root), hashes)


# ----------------------------------------------- LVM, NTFS, hostile and LUKS

ROOT_FILES = {
    "etc/hostname": b"files-test\n",
    "etc/os-release": b'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nNAME="Debian GNU/Linux"\n'
                      b'VERSION_ID="12"\nVERSION="12 (bookworm)"\nID=debian\n',
    "etc/fstab": b"LABEL=root / ext4 errors=remount-ro 0 1\n"
                 b"/dev/vg0/data /srv/data ext4 defaults 0 2\n"
                 b"LABEL=DATEN /mnt/daten ntfs-3g defaults 0 0\n",
    "bin": None, "usr/bin": None, "srv/data": None, "mnt/daten": None,
}
LVM_FILES = {
    "docs/report.txt": ("file", b"quarterly figures\n" * 100, 0o640, 1600000000),
    "docs/sub/notes.md": ("file", b"# notes\n", 0o600, 1600000100),
    "docs/sub/empty": None,
    "docs/latest": ("link", "report.txt"),
}
NTFS_FILES = {"Bericht 2024.txt": b"Umsatz\r\n" * 50, "Gr\u00f6\u00dfe.txt": b"gross\r\n"}
KEY = b"correct horse battery staple"


class DisksOfAShutOffVM(FilesCase):
    """One backup of a VM whose disks hold what an operator's VMs hold, made
    by the host's mkfs tools and one appliance; the VM never runs."""

    def make_disks(self, vm, work):
        """Fills the VM's disks; returns (the operating system's product name,
        {device: (type, size)}, {mount point: device}) as the appliance sees them."""
        # vda: a Debian root on a partition; vdc: NTFS on a partition.
        root_tree = os.path.join(work, "root-tree")
        disk_images.fill_tree(root_tree, ROOT_FILES)
        for target, fs, code in (("vda", "root", "83"), ("vdc", "ntfs", "7")):
            part = os.path.join(work, fs + ".fs")
            if fs == "root":
                disk_images.ext4_image(part, 63 * MIB, root_tree, "root")
            else:
                disk_images.ntfs_partition(part, 63 * MIB, "DATEN", NTFS_FILES)
            raw = os.path.join(work, target + ".raw")
            disk_images.partitioned(raw, 64 * MIB, part, code)
            subprocess.run(["qemu-img", "convert", "-q", "-f", "raw", "-O", "qcow2", raw,
                            vm.images[target]], check=True, stdin=subprocess.DEVNULL)
        # vdd: the hostile disk; vde: an encrypted volume.
        hostile = os.path.join(work, "hostile-tree")
        os.makedirs(os.path.join(hostile, "stash", "escape"))
        with open(os.path.join(hostile, "stash", "escape", "payload"), "w") as f:
            f.write("payload\n")
        self.hostile = disk_images.hostile_tree(os.path.join(hostile, "tree"),
                                                self.outside, self.up)
        disk_images.ext4_image(vm.images["vdd"], 32 * MIB, hostile, "hostile")
        disk_images.duplicate_entry(vm.images["vdd"], "/stash/escape", "/tree")
        disk_images.luks_image(vm.images["vde"], 32 * MIB, KEY)
        # vdb: LVM, made inside the appliance, with an ext4 file system made here.
        lv_tree = os.path.join(work, "lv-tree")
        disk_images.fill_tree(lv_tree, LVM_FILES)
        lv_image = os.path.join(work, "lv.fs")
        disk_images.ext4_image(lv_image, 32 * MIB, lv_tree, "data")
        handle, _ = disk_images.guestfs_handle()
        try:
            for target in sorted(vm.images):
                handle.add_drive_opts(vm.images[target], format=vm.formats[target],
                                      readonly=target != "vdb")
            handle.launch()
            handle.pvcreate("/dev/sdb")
            handle.vgcreate("vg0", ["/dev/sdb"])
            handle.lvcreate("data", "vg0", 32)
            handle.upload(lv_image, "/dev/vg0/data")
            (root,) = handle.inspect_os()
            product = handle.inspect_get_product_name(root)
            mounts = handle.inspect_get_mountpoints(root)
            filesystems = {dev: (fs, handle.blockdev_getsize64(dev))
                           for dev, fs in handle.list_filesystems().items()}
            handle.shutdown()
        except RuntimeError as e:
            vmlib.cannot_run("the libguestfs appliance cannot make the test disks: %s" % e)
        finally:
            handle.close()
        return product, filesystems, mounts

    def around_output(self):
        """tree_report() of the directories around the output directory
        a/b/out, the directories the hostile links aim at included, without
        the output directory's contents."""
        return [row for row in disk_images.tree_report(os.path.join(self.work, "a"))
                if row[1] != b"b/out" and not row[1].startswith(b"b/out/")]

    def test_lvm_ntfs_hostile_and_encrypted_disks_of_one_backup(self):
        vm = vmlib.make_vm(self, disks=[("vda", "qcow2", "64M"), ("vdb", "qcow2", "64M"),
                                        ("vdc", "qcow2", "64M"), ("vdd", "raw", "32M"),
                                        ("vde", "raw", "32M")])
        # Where the hostile disk's links point, seen from the output directory.
        base = os.path.join(self.work, "a", "b")
        out = os.path.join(base, "out")
        self.outside = os.path.join(base, "outside")
        self.up = os.path.join(self.work, "a", "up")
        os.makedirs(out)  # an empty output directory is taken as it is
        for directory in (self.outside, self.up):
            os.makedirs(directory)
            with open(os.path.join(directory, "sentinel"), "w") as f:
                f.write("untouched\n")
        with open("/etc/passwd", "rb") as f:
            passwd = f.read()
        product, filesystems, mounts = self.make_disks(vm, self.work)
        self.assertEqual(set(filesystems) - {"/dev/sde"},
                         {"/dev/sda1", "/dev/vg0/data", "/dev/sdc1", "/dev/sdd"}, filesystems)
        vm.define()
        self.assertOk(self.backup(vm))
        (ts,) = timestamp_dirs(os.path.join(self.root, vm.name))
        backup = os.path.join(self.root, vm.name, ts)
        hashes = backup_hashes(self.root)
        outside_before = self.around_output()

        # An output directory with something in it: refused before any
        # appliance starts (libguestfs would run this instead of QEMU).
        busy = self.output_dir("busy")
        os.makedirs(busy)
        with open(os.path.join(busy, "keep"), "w") as f:
            f.write("keep\n")
        marker = os.path.join(self.work, "appliance-started")
        hv = vmlib.write_script(self.work, "hv", "#!/bin/sh\n: >%s\nexit 1\n" % marker)
        result = self.tool.run(["-b", backup, "-x", "/etc/hostname", "-o", busy],
                               binary=harness.RESTORE_BINARY, env={"LIBGUESTFS_HV": hv})
        self.assertEqual(result.rc, UNREADABLE, result)
        self.assertIn(busy, result.err, result)
        self.assertFalse(os.path.exists(marker), "an appliance was started")
        self.assertEqual(os.listdir(busy), ["keep"])

        # The file systems, with the guest's mount points.
        listing = self.files("-b", backup, "--ls")
        self.assertEqual(listing.rc, 0, listing)
        lines = listing.out.splitlines()
        self.assertEqual(lines[0], "Operating system: " + product, listing)
        rows = {}
        for line in lines[1:]:
            fields = line.split("\t")
            self.assertEqual(len(fields), 5, line)
            rows[fields[0]] = fields[1:]
        mount_of = {dev: point for point, dev in mounts.items()}
        labels = {"/dev/sda1": "root", "/dev/vg0/data": "data", "/dev/sdc1": "DATEN",
                  "/dev/sdd": "hostile"}
        for dev, label in labels.items():
            fs, size = filesystems[dev]
            self.assertEqual(rows.get(dev), [fs, str(size), label, mount_of.get(dev, "-")],
                             "%s in %r" % (dev, lines))
        # The encrypted volume is listed as such, though it cannot be read.
        self.assertEqual(rows.get("/dev/sde", [""])[:2], ["crypto_LUKS", str(32 * MIB)], lines)
        self.assertEqual(set(rows), set(labels) | {"/dev/sde"}, lines)
        self.assertEqual(mount_of["/dev/vg0/data"], "/srv/data")
        self.assertEqual(mount_of["/dev/sdc1"], "/mnt/daten")

        # Files by the guest's paths (LVM and NTFS through its fstab) and by
        # device, and the whole hostile tree, in one run.
        result = self.files("-b", backup, "-o", out, "-x", "/etc/hostname", "-x", "/srv/data/docs",
                            "-x", "/mnt/daten/Bericht 2024.txt",
                            "-x", "/dev/sdc1:/Gr\u00f6\u00dfe.txt", "-x", "/dev/sdd:/tree")
        self.assertEqual(result.rc, 0, result)
        self.assertEqual(sorted(os.listdir(out)), sorted(
            ["hostname", "docs", "Bericht 2024.txt", "Gr\u00f6\u00dfe.txt", "tree"]))
        with open(os.path.join(out, "hostname"), "rb") as f:
            self.assertEqual(f.read(), ROOT_FILES["etc/hostname"])
        for name, data in NTFS_FILES.items():
            with open(os.path.join(out, name), "rb") as f:
                self.assertEqual(f.read(), data, name)
        docs = disk_images.tree_report(os.path.join(self.work, "lv-tree", "docs"))
        self.assertEqual(disk_images.tree_report(os.path.join(out, "docs")), docs)

        # The hostile tree: what can be written is, as it was; the special
        # files are skipped with a warning each; nothing lands outside.
        tree = os.fsencode(os.path.join(out, "tree"))
        for name, expected in sorted(self.hostile.items()):
            if name == b"escape":
                continue  # below
            path = os.path.join(tree, name)
            st = os.lstat(path)
            if expected[0] == "link":
                self.assertTrue(stat.S_ISLNK(st.st_mode), name)
                self.assertEqual(os.readlink(path), expected[1], name)
            elif expected[0] == "dir":
                self.assertTrue(stat.S_ISDIR(st.st_mode), name)
                self.assertEqual(stat.S_IMODE(st.st_mode), expected[1], name)
            else:
                self.assertTrue(stat.S_ISREG(st.st_mode), name)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), expected[1], name)
                # Set-user-ID and set-group-ID bits are dropped.
                self.assertEqual(stat.S_IMODE(st.st_mode), expected[2] & 0o777, name)
                self.assertEqual(st.st_uid, os.getuid(), name)
        warnings = [line for line in err_lines(result) if line.startswith("WARN:")]
        for name in disk_images.SPECIAL:
            self.assertFalse(os.path.lexists(os.path.join(tree, os.fsencode(name))), name)
            self.assertEqual(len([w for w in warnings if "/tree/%s" % name in w]), 1,
                             "%s: %r" % (name, warnings))
        # The name that the hostile disk holds twice, once a link out and once
        # a directory: whichever was written, nothing went through the link.
        escape = os.path.join(tree, b"escape")
        if os.path.islink(escape):
            self.assertEqual(os.readlink(escape), self.hostile[b"escape"][1])
        else:
            self.assertEqual(os.listdir(escape), [b"payload"])
        self.assertEqual(self.around_output(), outside_before)
        with open("/etc/passwd", "rb") as f:
            self.assertEqual(f.read(), passwd)

        # A path that is not there, beside one that is: nothing is written.
        missing_out = self.output_dir("missing")
        result = self.files("-b", backup, "-o", missing_out, "-x", "/srv/data/docs",
                            "-x", "/srv/data/no-such-file")
        self.assertEqual(result.rc, UNREADABLE, result)
        self.assertIn("/srv/data/no-such-file", result.err, result)
        self.assertNothingWritten(missing_out)

        # The encrypted volume: said so, nothing written.
        luks_out = self.output_dir("luks")
        result = self.files("-b", backup, "-o", luks_out, "-x", "/dev/sde:/")
        self.assertEqual(result.rc, UNREADABLE, result)
        self.assertRegex(result.err, r"(?i)encrypt", result)
        self.assertNothingWritten(luks_out)

        self.assertEqual(backup_hashes(self.root), hashes)


if __name__ == "__main__":
    unittest.main()
