"""Runs the real quorlane-backup against stand-in virsh and qemu-img.

Every run happens in a private mount namespace with test-owned directories
bound over /var/log and /run/quorlane, so the application log and the VM
locks of the machine are never touched: the runs of one sandbox share their
locks, and those of different sandboxes never do.
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
RESTORE_BINARY = os.environ.get("QUORLANE_RESTORE_BINARY",
                                os.path.join(HERE, "..", "..", "build", "quorlane-restore"))
TS = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] "
TS_DIR = re.compile(r"^\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d$")
SNAPSHOT = "quorlane-backup-temp"
RUN_LOCK_DIR = "/run/quorlane"


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
    """A private bin directory with the stand-ins, a scenario, and a private
    /var/log and /run/quorlane."""

    def __init__(self, rules=None):
        self.root = tempfile.mkdtemp(prefix="quorlane-it-")
        self.bin = os.path.join(self.root, "bin")
        self.varlog = os.path.join(self.root, "varlog")
        self.run_locks = os.path.join(self.root, "run-quorlane")
        os.makedirs(self.bin)
        os.makedirs(self.varlog)
        os.makedirs(self.run_locks)
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

    def restore_log(self):
        try:
            with open(os.path.join(self.varlog, "quorlane", "quorlane-restore.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def app_log(self):
        try:
            with open(os.path.join(self.varlog, "quorlane", "quorlane-backup.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def env(self, path=None, env=None):
        """The binary's environment: the test's own, PATH, LC_ALL=C, and then
        `env`, whose variables are set over these (a value of None unsets one)."""
        result = dict(os.environ)
        result["PATH"] = path if path is not None else self.bin + ":/usr/bin:/bin"
        result["LC_ALL"] = "C"
        for name, value in (env or {}).items():
            if value is None:
                result.pop(name, None)
            else:
                result[name] = value
        return result

    def namespace(self, setup=""):
        """The command that runs the command after it in a private mount
        namespace with this sandbox's directories over /var/log and
        /run/quorlane, after the shell commands `setup`; the pid stays the
        program's (unshare and sh exec it)."""
        # A mount point for the sandboxes' lock directories: an empty
        # directory in the host's tmpfs, which the tool would create anyway.
        os.makedirs(RUN_LOCK_DIR, mode=0o755, exist_ok=True)
        script = ('mount --bind "$1" /var/log || exit 99\n'
                  'mount --bind "$2" %s || exit 99\n%s\nshift 2\nexec "$@"' % (RUN_LOCK_DIR, setup))
        return ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh",
                self.varlog, self.run_locks]

    def start(self, args, setup="", path=None, cwd=None, binary=None, env=None):
        """Starts the binary; its pid is the Popen's pid (the shell execs it).
        env: variables set over the usual environment (see Sandbox.env)."""
        command = self.namespace(setup) + [os.path.abspath(binary or BINARY)] + list(args)
        env = self.env(path, env)
        # unshare and sh are found through the test's own PATH, not the stand-ins'.
        return subprocess.Popen(command, env=env, cwd=cwd or self.root, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                                errors="replace", executable="/usr/bin/unshare")

    def run(self, args, setup="", path=None, cwd=None, timeout=120, binary=None, env=None):
        proc = self.start(args, setup, path, cwd, binary, env)
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


def fresh_sandbox(test, rules=()):
    """Gives `test` a new sandbox (clean call record and /var/log) as test.box,
    removed after the test, and an empty backup root in it as test.root;
    returns the sandbox. A test class can take it as a method:
    `fresh = fresh_sandbox`."""
    test.box = Sandbox(list(rules))
    test.addCleanup(test.box.cleanup)
    test.root = test.box.path("backups")
    os.makedirs(test.root)
    return test.box


def prior_snapshot_lines(vm, root):
    """The refusal (standard-error lines, without frames) of a run that finds
    the temporary snapshot of an earlier run on the VM."""
    return ["ERROR: Prior backup snapshot 'quorlane-backup-temp' exists on VM '%s'." % vm,
            "ERROR: A previous run was interrupted. Investigate and clean up the",
            "ERROR: existing snapshot (and any partial backup directory under",
            "ERROR: %s/%s/) before running again." % (root, vm),
            "ERROR: ",
            "ERROR: Recovery: 'virsh snapshot-delete %s quorlane-backup-temp'" % vm,
            "ERROR:   will merge the overlay back into the base and clean up."]


def sandbox_tree(box):
    """Everything under the sandbox except the stand-ins' bin dir, /var/log
    and /run/quorlane."""
    private = {os.path.basename(p) for p in (box.bin, box.varlog, box.run_locks)}
    found = []
    for top, dirs, files in os.walk(box.root):
        rel = os.path.relpath(top, box.root)
        if rel == ".":
            dirs[:] = [d for d in dirs if d not in private]
        found += [os.path.join(rel, n) + ("/" if n in dirs else "") for n in dirs + files]
    return sorted(found)


# ---------------------------------------------------------------------------
# Whole backup runs: expected console lines, argument vectors, run records.

HEADER = "quorlane-backup v0.1.5-prototype - backing up '%s'"
CONVERT = ["qemu-img", "convert", "-O", "qcow2", "-c", "-o", "compression_type=zstd"]


def info(text):
    return ("out", text)


def warn(text):
    return ("err", "WARN:  " + text)


def error(text):
    return ("err", "ERROR: " + text)


def trace(text):
    return ("trace", text)


def rendered(line):
    """The console text of an expected line (without its timestamp frame)."""
    stream, text = line
    return "  " + text if stream == "trace" else text


def until(lines, text):
    """The expected lines up to and including the first one whose text is `text`."""
    for index, line in enumerate(lines):
        if line[1] == text:
            return lines[:index + 1]
    raise AssertionError("no expected line %r" % text)


def overlay_path(base, vm, target):
    name = "%s-%s.%s.qcow2" % (vm, target, SNAPSHOT)
    return os.path.join(os.path.dirname(base), name)


def expected_run(d, disks, vm="web01", nvram=None, state="running", quiesce=False,
                 verbose=False, keep=3, xml_lines=0, step7=None, prune=None):
    """The console lines of a run that completes, trace lines only if `verbose`.

    `step7` replaces the lines after the Step 7 line, `prune` those after the
    Step 9 line (by default the trace that one backup is present)."""
    quiesced = quiesce and state == "running"
    lines = [info("Step 1: Validating arguments and environment..."),
             trace("VM '%s' power state: %s" % (vm, state))]
    if quiesced:
        lines += [trace("Checking qemu-guest-agent responsiveness..."),
                  trace("Guest agent is responsive, quiesce will be applied.")]
    lines += [info("Step 1: validation passed."),
              info("Step 2: Creating backup directory: " + d),
              info(HEADER % vm),
              info("Step 3: Saving VM configuration to %s/%s.xml.backup..." % (d, vm)),
              trace("XML saved (%d lines)." % xml_lines)]
    lines += [trace("Disk found: %s -> %s" % (t, disks[t])) for t in sorted(disks)]
    lines.append(trace("NVRAM path: " + nvram) if nvram else trace("No NVRAM element (BIOS VM)."))
    lines.append(info("Step 4: Backing up NVRAM..."))
    if nvram:
        lines.append(trace("NVRAM copied: %s -> %s/%s-nvram.fd" % (nvram, d, vm)))
    else:
        lines.append(info("  No NVRAM file (BIOS VM). Skipping."))
    lines.append(info("Step 5: Creating external snapshot '%s'..." % SNAPSHOT))
    if quiesced:
        lines.append(trace("VM is running, applying --quiesce (agent validated in step 1)."))
    elif quiesce:
        lines.append(trace("--quiesce requested but VM is '%s'; flag skipped." % state))
    lines += [trace("Overlay for %s: %s" % (t, overlay_path(disks[t], vm, t))) for t in sorted(disks)]
    lines += [info("Snapshot created."), info("Step 6: Backing up disks (thin + compressed qcow2)...")]
    for t in sorted(disks):
        lines += [info("  %s: %s" % (t, disks[t])), info("         -> %s/%s-%s.qcow2" % (d, vm, t))]
    lines += [info("All disks backed up successfully."),
              info("Step 7: Generating corrected XML (normalized file names)...")]
    lines += step7 if step7 is not None else [info("Corrected XML written: %s/%s.xml" % (d, vm))]
    lines += [info("Step 8.a: Removing snapshot '%s'..." % SNAPSHOT),
              info("Snapshot removed (overlay merged into base by libvirt)."),
              info("Step 9: Pruning old backups (keeping %d most recent)..." % keep)]
    lines += prune if prune is not None else [trace("1 backup(s) present, within retention limit.")]
    lines.append(info("Backup complete: " + d))
    return [line for line in lines if verbose or line[0] != "trace"]


def expected_calls(d, disks, vm="web01", state="running", quiesce=False):
    """The argument vectors of a run that completes, in order."""
    quiesced = quiesce and state == "running"
    calls = [["virsh", "dominfo", vm], ["virsh", "snapshot-list", vm, "--name"],
             ["virsh", "domstate", vm]]
    if quiesced:
        calls.append(["virsh", "qemu-agent-command", "--timeout", "5", vm,
                      '{"execute":"guest-ping"}'])
    calls += [["virsh", "dumpxml", vm], ["virsh", "domblklist", vm, "--details"],
              ["virsh", "domstate", vm]]
    snapshot = ["virsh", "snapshot-create-as", vm, SNAPSHOT, "--disk-only", "--atomic"]
    snapshot += ["--quiesce"] if quiesced else []
    for t in sorted(disks):
        snapshot += ["--diskspec", "%s,snapshot=external,file=%s" % (t, overlay_path(disks[t], vm, t))]
    calls.append(snapshot)
    calls += [CONVERT + [disks[t], "%s/%s-%s.qcow2" % (d, vm, t)] for t in sorted(disks)]
    calls.append(["virsh", "snapshot-delete", vm, SNAPSHOT])
    return calls


def record_pattern(result, vm="web01", stage=None, directory=None, consistency=None, reason=None):
    """A regular expression for one whole application-log line."""
    pattern = TS + re.escape("vm=%s result=%s" % (vm, result))
    for name, value in (("stage", stage), ("dir", directory), ("consistency", consistency)):
        if value is not None:
            pattern += re.escape(" %s=%s" % (name, value))
    pattern += r" duration=\d+s version=0\.1\.5-prototype"
    if reason is not None:
        pattern += re.escape(' reason="%s"' % reason)
    return "^" + pattern + "$"


def image_bytes(label):
    return ("image of %s\n" % label).encode() * 64


class BackupTest(SandboxTest):
    """A sandbox with a backup root `self.root`, and helpers for whole runs."""

    vm = "web01"

    def setUp(self):
        super().setUp()
        self._prepare()

    def _prepare(self):
        self.root = self.box.path("backups")
        os.makedirs(self.root)

    def new_box(self):
        """A fresh sandbox for the next subTest."""
        self.box = Sandbox()
        self.addCleanup(self.box.cleanup)
        self._prepare()

    def lay_out(self, disks, nvram=None):
        """Creates the base images (and the NVRAM file) named in `disks`."""
        for target, path in list(disks.items()) + [("nvram", nvram)]:
            if path is None:
                continue
            full = os.path.join(self.box.root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(image_bytes(target))

    def backup(self, *extra, keep="3", setup=""):
        return self.box.run(["-n", self.vm, "-r", self.root, "-k", keep] + list(extra), setup=setup)

    def backup_dir(self, res, before=None):
        """The backup directory named by the Step 2 line, checked for its form."""
        prefix = "Step 2: Creating backup directory: "
        named = [line[len(prefix):] for line in res.out_lines if line.startswith(prefix)]
        self.assertEqual(len(named), 1, res.out)
        d = named[0]
        self.assertEqual(os.path.dirname(d), os.path.join(self.root, self.vm))
        self.assertTimestampDir(os.path.basename(d))
        if before is not None:
            self.assertGreaterEqual(os.path.basename(d), before)
            self.assertLessEqual(os.path.basename(d), time.strftime("%Y-%m-%d_%H-%M-%S"))
        return d

    def assertConsole(self, res, lines, backup_log=None):
        """stdout and stderr exactly as expected; the per-backup log holds
        every line from the header line on, in order."""
        self.assertEqual(res.out_lines, [t for s, t in lines if s == "out"])
        self.assertEqual(res.err_lines, [rendered(l) for l in lines if l[0] != "out"])
        if backup_log is not None:
            with open(backup_log) as f:
                logged = strip_ts(f.read())
            start = lines.index(info(HEADER % self.vm))
            self.assertEqual(logged, [rendered(l) for l in lines[start:]])

    def assertRecord(self, result, **fields):
        log = self.box.app_log()
        self.assertEqual(len(log), 1, log)
        self.assertRegex(log[0], record_pattern(result, vm=self.vm, **fields))


# ---------------------------------------------------------------------------
# quorlane-restore: backup directories as quorlane-backup leaves them.

REAL_QEMU_IMG = "/usr/bin/qemu-img"
DISKS_COPIED = "All disks backed up successfully."


def lay_out_backup(directory, vm="web01", finished=True):
    """A backup directory as a run leaves it (`directory` may be a link's
    target): the run's own log, named by the directory, tells whether its disk
    copy finished."""
    os.makedirs(directory, exist_ok=True)
    lines = ["[2020-01-01 00:00:00] quorlane-backup v0.1.5-prototype - backing up '%s'" % vm]
    if finished:
        lines.append("[2020-01-01 00:00:09] " + DISKS_COPIED)
    with open(os.path.join(directory, "%s-%s.log" % (vm, os.path.basename(directory))), "w") as f:
        f.write("\n".join(lines) + "\n")


def real_qemu_img(*prefixes):
    """Rules that hand qemu-img calls to the real program: every call, or those
    beginning with one of `prefixes`."""
    if not prefixes:
        return [{"prog": "qemu-img", "real": REAL_QEMU_IMG}]
    return [{"prog": "qemu-img", "prefix": list(p), "real": REAL_QEMU_IMG} for p in prefixes]


def libvirt_state(name, state=None):
    """virsh domstate of a VM in `state`, or of one that is not defined."""
    if state is None:
        return {"prog": "virsh", "args": ["domstate", name], "exit": 1,
                "stderr": "error: failed to get domain '%s'\n" % name}
    return {"prog": "virsh", "args": ["domstate", name], "stdout": state + "\n\n"}


class RestoreTest(SandboxTest):
    """A sandbox with a backup root `self.root` and helpers to lay out backups."""

    vm = "web01"

    def setUp(self):
        super().setUp()
        if not os.access(REAL_QEMU_IMG, os.X_OK):
            self.skipTest("needs qemu-img (qemu-utils)")
        self.root = self.box.path("backups")
        os.makedirs(self.root)

    def qcow2(self, path, label):
        """A zstd-compressed qcow2 image at `path` whose data is image_bytes(label)."""
        raw = path + ".raw"
        with open(raw, "wb") as f:
            f.write(image_bytes(label) * 16)
        subprocess.run([REAL_QEMU_IMG, "convert", "-f", "raw", "-O", "qcow2", "-c", "-o",
                        "compression_type=zstd", raw, path], check=True)
        os.remove(raw)

    def make_backup(self, ts="2026-03-01_02-00-05", disks=("vda",), nvram=True, complete=True,
                    corrected=True):
        """A backup directory of self.vm; the VM's images lived in <sandbox>/images."""
        d = os.path.join(self.root, self.vm, ts)
        os.makedirs(d)
        sources = {t: self.box.path("images", "%s-%s.img" % (self.vm, t)) for t in disks}
        nvram_path = self.box.path("nvram", "%s_VARS.fd" % self.vm) if nvram else None
        with open(os.path.join(d, self.vm + ".xml.backup"), "w") as f:
            f.write(domain_xml(self.vm, sources, nvram_path))
        if corrected:
            with open(os.path.join(d, self.vm + ".xml"), "w") as f:
                f.write(domain_xml(self.vm, sources, nvram_path))
        with open(os.path.join(d, "%s-%s.log" % (self.vm, ts)), "w") as f:
            f.write("[2026-03-01 02:00:05] quorlane-backup v0.1.5-prototype - backing up '%s'\n"
                    % self.vm)
            if complete:
                f.write("[2026-03-01 02:05:12] %s\n" % DISKS_COPIED)
        for target in disks:
            self.qcow2(os.path.join(d, "%s-%s.qcow2" % (self.vm, target)), ts + target)
        if nvram:
            with open(os.path.join(d, self.vm + "-nvram.fd"), "wb") as f:
                f.write(b"NVRAM " + ts.encode() * 100)
        return d

    def restore(self, *args):
        return self.box.run(list(args), binary=RESTORE_BINARY)
