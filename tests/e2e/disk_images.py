"""Guest disk images for the single-file restore tests, made without the
host's kernel ever seeing their file systems: ext4 and NTFS from directory
trees by their mkfs tools (mkfs.ext4 -d, mkntfs and ntfscp work on image
files), LUKS by cryptsetup on an image file, and LVM inside one libguestfs
appliance, never on the host.

  guestfs_handle() -> (handle, None) or (None, why not)
  fill_tree(root, layout)                  files, directories and links under root
  ext4_image(path, size, tree, label)
  partitioned(disk, size, filesystem)      an MBR disk with one partition holding it
  ntfs_partition(path, size, label, files) an NTFS file system with files in its root
  luks_image(path, size, key)
  hostile_tree(root, outside, up) -> {name: what it is}
  duplicate_entry(image, source, directory)  a second name in `directory` for `source`
  tree_report(root) -> sorted [(type, relative path, mode, size, mtime, sha256 or link)]
"""
import hashlib
import os
import socket
import stat
import subprocess
import sys

import guest

MIB = 1024 * 1024
PARTITION_START = MIB


def _run(cmd, **kw):
    kw.setdefault("stdin", None if "input" in kw else subprocess.DEVNULL)
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, **kw)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (" ".join(map(str, cmd)), proc.returncode,
                                                    proc.stdout.decode(errors="replace"),
                                                    proc.stderr.decode(errors="replace")))
    return proc


def guestfs_handle():
    """A libguestfs handle (python3-guestfs), with the appliance under plain
    emulation where KVM does not run a Linux kernel (guest.domain_type());
    (None, why not) without the module."""
    try:
        import guestfs
    except ImportError:
        # Debian's module, under another interpreter of the same version.
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            import guestfs
        except ImportError as e:
            return None, "python3-guestfs is not installed (%s)" % e
    handle = guestfs.GuestFS(python_return_dict=True)
    if guest.domain_type() == "qemu":
        handle.set_backend_settings(["force_tcg"])
    return handle, None


def fill_tree(root, layout):
    """layout: {relative path: bytes (a file), None (a directory), ("link", target)}
    or ("file", bytes, mode, mtime); parents are made as needed."""
    for rel, what in sorted(layout.items()):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if what is None:
            os.makedirs(path, exist_ok=True)
        elif isinstance(what, bytes):
            with open(path, "wb") as f:
                f.write(what)
        elif what[0] == "link":
            os.symlink(what[1], path)
        else:
            _, data, mode, mtime = what
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, mode)
            os.utime(path, (mtime, mtime))


def ext4_image(path, size, tree, label):
    """An ext4 file system of `size` bytes in the file `path`, holding the
    directory `tree` as its root (mkfs.ext4 -d keeps modes, times and
    special files)."""
    with open(path, "wb") as f:
        f.truncate(size)
    _run(["mkfs.ext4", "-q", "-F", "-L", label, "-d", tree, path])


def partitioned(disk, size, filesystem, type_code="83"):
    """Writes an MBR disk of `size` bytes with one partition from 1 MiB on
    that holds the file system image `filesystem`."""
    with open(disk, "wb") as f:
        f.truncate(size)
    _run(["sfdisk", "-q", disk], input=b"start=2048, type=%s\n" % type_code.encode())
    with open(filesystem, "rb") as src, open(disk, "r+b") as dst:
        dst.seek(PARTITION_START)
        while True:
            chunk = src.read(4 * MIB)
            if not chunk:
                break
            dst.write(chunk)


def ntfs_partition(path, size, label, files):
    """An NTFS file system of `size` bytes for a partition at 1 MiB, with
    {name: bytes} in its root (written by ntfscp)."""
    with open(path, "wb") as f:
        f.truncate(size)
    _run(["mkntfs", "-q", "-F", "-Q", "-L", label, "-p", PARTITION_START // 512, "-H", "255",
          "-S", "63", path])
    staging = path + ".files"
    os.makedirs(staging)
    for name, data in files.items():
        source = os.path.join(staging, "file")
        with open(source, "wb") as f:
            f.write(data)
        _run(["ntfscp", "-f", path, source, name])
    os.unlink(os.path.join(staging, "file"))
    os.rmdir(staging)


def luks_image(path, size, key):
    """A LUKS2 volume of `size` bytes in the file `path` (cheap key derivation:
    only its header matters here)."""
    with open(path, "wb") as f:
        f.truncate(size)
    key_file = path + ".key"
    with open(key_file, "wb") as f:
        f.write(key)
    try:
        _run(["cryptsetup", "luksFormat", "--batch-mode", "--type", "luks2", "--pbkdf", "pbkdf2",
              "--pbkdf-force-iterations", "1000", "--key-file", key_file, path])
    finally:
        os.unlink(key_file)


SPECIAL = ("fifo", "null", "loop", "sock")


def hostile_tree(root, outside, up):
    """What a hostile guest can leave in a directory, under `root`: special
    files (SPECIAL), symbolic links out of any directory it lands in (the
    relative ones aimed at the test's directories `outside`, two levels above
    the extracted entry's parent, and `up`, three), odd names and modes. Returns
    {name: expected extraction}: ("file", bytes, mode), ("dir", mode) or
    ("link", target)."""
    root = os.fsencode(root)
    os.makedirs(root)
    expected = {}

    def file(name, data, mode=0o644):
        path = os.path.join(root, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        expected[name] = ("file", data, mode & 0o1777)

    def link(name, target):
        os.symlink(target, os.path.join(root, name))
        expected[name] = ("link", target)

    file(b"plain.txt", b"plain\n", 0o640)
    file(b"setuid-tool", b"#!/bin/sh\n", 0o6755)
    file(b"..x", b"dots\n")
    file(b".hidden", b"hidden\n", 0o600)
    file(b"-dash", b"dash\n")
    file(b"new\nline", b"newline\n")
    file(b"tab\tname", b"tab\n")
    file(b"back\\slash", b"backslash\n")
    file(b"\xff\xfe-latin", b"not utf-8\n")
    file(b"n" * 255, b"long name\n")
    os.link(os.path.join(root, b"plain.txt"), os.path.join(root, b"hard-link"))
    expected[b"hard-link"] = expected[b"plain.txt"]
    os.mkdir(os.path.join(root, b"read-only"))
    with open(os.path.join(root, b"read-only", b"inside"), "wb") as f:
        f.write(b"inside\n")
    os.chmod(os.path.join(root, b"read-only"), 0o555)
    expected[b"read-only"] = ("dir", 0o555)
    expected[b"read-only/inside"] = ("file", b"inside\n", 0o644)
    link(b"absolute", b"/etc/passwd")
    link(b"escape", os.fsencode(os.path.join("..", "..", os.path.basename(outside))))
    link(b"up", os.fsencode(os.path.join("..", "..", "..", os.path.basename(up))))
    link(b"escape-dir", os.fsencode(os.path.join("..", "..", os.path.basename(outside), "")))
    link(b"chain-1", b"chain-2")
    link(b"chain-2", b"escape")
    link(b"self", b"self")
    link(b"nowhere", b"does/not/exist")
    os.mkfifo(os.path.join(root, b"fifo"))
    os.mknod(os.path.join(root, b"null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(os.path.join(root, b"loop"), 0o660 | stat.S_IFBLK, os.makedev(7, 200))
    server = socket.socket(socket.AF_UNIX)
    server.bind(os.path.join(root, b"sock"))
    server.close()
    return expected


def duplicate_entry(image, source, directory):
    """Adds to `directory` of the ext4 image a second entry with the name of
    `source`, for `source`'s inode: a name twice in one directory, and a
    directory under two names, neither of which a kernel ever makes."""
    _run(["debugfs", "-w", "-R", "ln %s %s" % (source, directory), image])


def tree_report(root):
    """Everything below root (bytes paths): sorted (type, relative path,
    permission bits, size, mtime, sha256 for a file or target for a link)."""
    rows = []
    root = os.fsencode(root)
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                rows.append(("l", rel, None, None, None, os.readlink(path)))
            elif stat.S_ISDIR(st.st_mode):
                rows.append(("d", rel, stat.S_IMODE(st.st_mode), None, int(st.st_mtime), None))
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                rows.append(("-", rel, stat.S_IMODE(st.st_mode), st.st_size, int(st.st_mtime),
                             digest))
            else:
                rows.append(("?", rel, stat.S_IMODE(st.st_mode), None, None, None))
    return sorted(rows)
