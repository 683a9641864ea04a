"""Runs the real quorlane-backup against stand-in virsh and qemu-img.

Every run happens in a private mount namespace with a test-owned directory
bound over /var/log, so the application log of the machine is never touched.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.environ.get("QUORLANE_BINARY", os.path.join(HERE, "..", "..", "build", "quorlane-backup"))
TS = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] "
TS_DIR = re.compile(r"^\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d$")
SNAPSHOT = "quorlane-backup-temp"


def strip_ts(text):
    """Console lines without their timestamp frame; fails on a line without one."""
    lines = []
    for line in text.splitlines():
        match = re.match(TS, line)
        if not match:
            raise AssertionError("line without timestamp frame: %r" % line)
        lines.append(line[match.end():])
    return lines


def disk_list(disks, extra=()):
    """The output of `virsh domblklist --details` for {target: source}."""
    rows = [" Type   Device   Target   Source", "-" * 40]
    for target, source in disks.items():
        rows.append(" file   disk     %s      %s" % (target, source))
    rows.extend(extra)
    return "\n".join(rows) + "\n\n"


def domain_xml(name, disks, nvram=None):
    parts = ["<domain type='kvm'>", "  <name>%s</name>" % name, "  <os>"]
    if nvram:
        parts.append("    <nvram template='/usr/share/OVMF/OVMF_VARS.fd'>%s</nvram>" % nvram)
    parts += ["  </os>", "  <devices>"]
    for target, source in disks.items():
        parts += ["    <disk type='file' device='disk'>",
                  "      <driver name='qemu' type='qcow2'/>",
                  "      <source file='%s'/>" % source,
                  "      <target dev='%s' bus='virtio'/>" % target,
                  "    </disk>"]
    parts += ["  </devices>", "</domain>"]
    return "\n".join(parts) + "\n"


class Result:
    def __init__(self, rc, out, err, sandbox):
        self.rc, self.out, self.err, self.sandbox = rc, out, err, sandbox

    @property
    def out_lines(self):
        return strip_ts(self.out)

    @property
    def err_lines(self):
        return strip_ts(self.err)


class Sandbox:
    """A private bin directory with the stand-ins, a scenario, and a private /var/log."""

    def __init__(self, rules=None):
        self.root = tempfile.mkdtemp(prefix="quorlane-it-")
        self.bin = os.path.join(self.root, "bin")
        self.varlog = os.path.join(self.root, "varlog")
        os.makedirs(self.bin)
        os.makedirs(self.varlog)
        for name in ("virsh", "qemu-img"):
            os.symlink(os.path.join(HERE, "standin.py"), os.path.join(self.bin, name))
        self.set_rules(rules or [])

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def set_rules(self, rules):
        with open(os.path.join(self.bin, "scenario.json"), "w") as f:
            json.dump(rules, f)

    def calls(self, prog=None):
        try:
            with open(os.path.join(self.bin, "calls.jsonl")) as f:
                vectors = [json.loads(line) for line in f]
        except FileNotFoundError:
            return []
        return [v for v in vectors if prog is None or v[0] == prog]

    def app_log(self):
        try:
            with open(os.path.join(self.varlog, "quorlane", "quorlane-backup.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def env(self, path=None):
        env = dict(os.environ)
        env["PATH"] = path if path is not None else self.bin + ":/usr/bin:/bin"
        env["LC_ALL"] = "C"
        return env

    def start(self, args, setup="", path=None, cwd=None):
        """Starts the binary; its pid is the Popen's pid (the shell execs it)."""
        script = 'mount --bind "$1" /var/log || exit 99\n%s\nshift\nexec "$@"' % setup
        command = ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script,
                   "sh", self.varlog, os.path.abspath(BINARY)] + list(args)
        env = self.env(path)
        # unshare and sh are found through the test's own PATH, not the stand-ins'.
        return subprocess.Popen(command, env=env, cwd=cwd or self.root, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                                errors="replace", executable="/usr/bin/unshare")

    def run(self, args, setup="", path=None, cwd=None, timeout=120):
        proc = self.start(args, setup, path, cwd)
        out, err = proc.communicate(timeout=timeout)
        return Result(proc.returncode, out, err, self)

    def wait_for_call(self, prog, first_arg, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if any(v[0] == prog and v[1:2] == [first_arg] for v in self.calls()):
                return
            time.sleep(0.05)
        raise AssertionError("%s %s was never called" % (prog, first_arg))


def healthy_vm(name="web01", disks=None, nvram=None, state="running", snapshots=""):
    """Rules for a VM that every virsh and qemu-img call serves well."""
    disks = disks if disks is not None else {"vda": "/var/lib/libvirt/images/%s.qcow2" % name}
    return [
        {"prog": "virsh", "args": ["dominfo", name], "stdout": "Name: %s\n" % name},
        {"prog": "virsh", "args": ["snapshot-list", name, "--name"], "stdout": snapshots + "\n"},
        {"prog": "virsh", "args": ["domstate", name], "stdout": state + "\n\n"},
        {"prog": "virsh", "args": ["dumpxml", name], "stdout": domain_xml(name, disks, nvram)},
        {"prog": "virsh", "args": ["domblklist", name, "--details"], "stdout": disk_list(disks)},
        {"prog": "virsh", "prefix": ["snapshot-create-as"],
         "stdout": "Domain snapshot %s created\n" % SNAPSHOT},
        {"prog": "virsh", "prefix": ["snapshot-delete"],
         "stdout": "Domain snapshot %s deleted\n" % SNAPSHOT},
        {"prog": "qemu-img", "prefix": ["convert"], "copy": True},
    ]


class SandboxTest(unittest.TestCase):
    """Gives each test a fresh sandbox as self.box."""

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root for a private mount namespace")
        self.box = Sandbox()
        self.addCleanup(self.box.cleanup)

    def use(self, rules):
        self.box.set_rules(rules)

    def assertTimestampDir(self, name):
        self.assertRegex(name, TS_DIR)
