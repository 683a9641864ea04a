"""Throwaway libvirt VMs for end-to-end tests, and the tool run against them.

The tests here talk to the machine's real libvirt daemon (qemu:///system)
and QEMU. A guest needs no operating system: a VM that sits in its firmware
is a running VM with disks, which is all a backup needs.

Stable API (other test modules import it; only additions, no changes):

  BINARY, SYNC                 quorlane-backup and quorlane-sync as built
                               (QUORLANE_BINARY, QUORLANE_SYNC_BINARY)
  require_libvirt()            unless root and the daemon answers (starts the
                               daemons first): cannot_run(the reason)
  cannot_run(reason)           unittest.SkipTest(reason), or an AssertionError
                               where the tests must run (e2e_required())
  e2e_required()               True under scripts/test (QUORLANE_E2E_REQUIRED=1)
                               and in CI (CI=true)
  ensure_daemons()             start virtlogd/libvirtd if needed; True if
                               virsh can reach the daemon
  start_daemons()              the same; None if virsh can reach the daemon,
                               else why not
  daemon_pid(name)             pid of the system's libvirtd or virtlogd from its
                               pid file, or None
  virsh(*args, check=True)     run virsh -c qemu:///system; CompletedProcess
  VM(disks=..., cdrom=False, uefi=False, agent=False, memory_mib=128)
      .name .scratch .images{target: path} .formats{target: fmt}
      .nvram (path or None) .domain_type ('kvm' or 'qemu')
      .define() .start() .pause() .resume() .shutoff() .state()
      .dumpxml(inactive=False) .domblklist() -> [(type, device, target, source)]
      .active_image(target) .block_device(target)
      .write_pattern(target, byte, offset, length)   (as the guest would)
      .snapshots() -> [names] .create_snapshot(name, disk_only=True)
      .delete_snapshot(name) .overlay_path(target, snapshot=SNAPSHOT)
      .wait_nvram_settled(timeout=120)
      .cleanup()  (also as a context manager: with VM(...) as vm)
  make_vm(testcase, **kw)      a VM that is cleaned up after the test
  image_has_pattern(path, byte, offset, length, fmt=None) -> bool
  images_equal(a, b, fmt_a=None, fmt_b=None) -> (bool, qemu-img's text)
  image_info(path) -> dict     (qemu-img info --output=json -U)
  Tool()                       runs the binary in a private mount namespace
                               (its own /var/log and /run/quorlane: the runs
                               of one Tool share their VM locks)
      .run(args, extra_path=(), timeout=600, env=None) -> ToolResult
      .varlog .cleanup()
  make_tool(testcase)          a Tool that is cleaned up after the test
  ToolResult: rc out err out_lines err_lines app_log
  communicate(proc, timeout)   proc.communicate(); kills and reaps on time-out
  write_script(directory, name, text)  an executable file (for stand-ins)
  translated(lang, language)   env for Tool.run: a host's locale as cron and
                               systemd pass it on (LANG, LANGUAGE, no LC_*)
  GERMAN, FRENCH               translated() for de_DE.UTF-8 and fr_FR.UTF-8
  untranslated(env)            None if virsh, run with env, prints libvirt's
                               messages translated; else why not

Every VM gets a unique name "qbt-" + random hex and a scratch directory of
its own; cleanup destroys and undefines only that VM (with its NVRAM and any
snapshot metadata) and deletes the scratch directory. VMs that a test
forgot are cleaned up when the process exits.
"""
import atexit
import grp
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
import harness  # noqa: E402  (the private /var/log namespace and line helpers)

BINARY = os.path.abspath(harness.BINARY)
SYNC = os.path.abspath(os.environ.get("QUORLANE_SYNC_BINARY",
                                      os.path.join(REPO, "build", "quorlane-sync")))
SNAPSHOT = "quorlane-backup-temp"
URI = "qemu:///system"
OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
# PATH for the tool: the real virsh and qemu-img, nothing of the test's own.
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Scratch directories live here unless a test says otherwise; QEMU runs as
# an unprivileged user and must reach the images, so every directory on the
# way is world-searchable.
SCRATCH_ROOT = os.environ.get("QUORLANE_E2E_SCRATCH", "/var/tmp")

strip_ts = harness.strip_ts

_live_vms = []
# Whether KVM can run a given firmware here, learnt from the first VM that
# tried. Some nested hosts run SeaBIOS fine but stop OVMF with an emulation
# failure; such VMs fall back to plain emulation.
_kvm_ok = {}


# ----------------------------------------------------------------- daemons

def virsh(*args, check=True, timeout=120):
    """Runs virsh against the system daemon; raises on failure if check."""
    proc = subprocess.run(["virsh", "-c", URI] + [str(a) for a in args], capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    if check and proc.returncode != 0:
        raise RuntimeError("virsh %s failed (%d): %s" % (" ".join(map(str, args)), proc.returncode,
                                                        proc.stderr.strip()))
    return proc


def start_daemons():
    """Starts the system's virtlogd and libvirtd where they do not answer
    (scripts/lib.sh ensure_libvirt); None once virsh reaches the daemon, else
    the reason."""
    if shutil.which("virsh") is None:
        return "virsh is not installed"
    script = ". scripts/lib.sh && ensure_libvirt"
    try:
        started = subprocess.run(["bash", "-c", script], cwd=REPO, capture_output=True, text=True,
                                 timeout=180, stdin=subprocess.DEVNULL)
        proc = subprocess.run(["virsh", "-c", URI, "version"], capture_output=True, text=True,
                              timeout=30, stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired) as e:
        return "the libvirt daemons cannot be started: %s" % e
    if proc.returncode == 0:
        return None
    return "libvirtd cannot be reached at %s:\n%s" % (
        URI, "\n".join(t.strip() for t in (started.stderr, proc.stderr) if t.strip()))


def ensure_daemons():
    """Starts virtlogd and libvirtd where nothing did; True once virsh answers."""
    return start_daemons() is None


def daemon_pid(name):
    """The pid of the system's `name` (libvirtd, virtlogd) from its pid file,
    None unless a process of that name runs with it. A user's session daemon
    of the same name keeps its pid file elsewhere."""
    try:
        with open("/run/%s.pid" % name) as f:
            pid = int(f.read().split()[0])
        with open("/proc/%d/comm" % pid) as f:
            return pid if f.read().strip() == name else None
    except (OSError, ValueError, IndexError):
        return None


def e2e_required():
    """Whether these tests must run rather than skip: under scripts/test and
    in CI, where a file whose tests all skipped would count as passed."""
    return (os.environ.get("QUORLANE_E2E_REQUIRED", "") not in ("", "0")
            or os.environ.get("CI", "").lower() in ("true", "1"))


def cannot_run(reason):
    """Skips with the reason for a developer running a file by hand; fails
    with it where the tests must run (e2e_required())."""
    if e2e_required():
        raise AssertionError("end-to-end tests cannot run: " + reason)
    raise unittest.SkipTest(reason)


def require_libvirt():
    """cannot_run(the reason) when these tests cannot run here."""
    if os.geteuid() != 0:
        cannot_run("needs root (system libvirt daemon and a private mount namespace)")
    for prog in ("virsh", "qemu-img", "qemu-io", "unshare"):
        if shutil.which(prog) is None:
            cannot_run("%s is not installed" % prog)
    if not os.path.exists(BINARY):
        cannot_run("binary not built: %s" % BINARY)
    reason = start_daemons()
    if reason:
        cannot_run(reason)


def kvm_available():
    """Whether QEMU, run by libvirt as a user in group kvm, can open /dev/kvm."""
    try:
        st = os.stat("/dev/kvm")
        kvm_gid = grp.getgrnam("kvm").gr_gid
    except (OSError, KeyError):
        return False
    if st.st_mode & 0o006 == 0o006:
        return True
    return st.st_gid == kvm_gid and st.st_mode & 0o060 == 0o060


# --------------------------------------------------------------- images

def _qemu_io_read(path, byte, offset, length, fmt=None):
    cmd = ["qemu-io", "-r", "-U"]
    if fmt:
        cmd += ["-f", fmt]
    cmd += ["-c", "read -P 0x%02x %d %d" % (byte, offset, length), path]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=120,
                          stdin=subprocess.DEVNULL)


def image_has_pattern(path, byte, offset, length, fmt=None):
    """True if every byte of [offset, offset+length) of the image is `byte`."""
    proc = _qemu_io_read(path, byte, offset, length, fmt)
    text = proc.stdout + proc.stderr
    if "Pattern verification failed" in text:
        return False
    if proc.returncode != 0 or "read %d/%d bytes" % (length, length) not in text:
        raise RuntimeError("qemu-io could not read %s: %s" % (path, text.strip()))
    return True


def images_equal(a, b, fmt_a=None, fmt_b=None):
    """Compares guest-visible contents with qemu-img compare -U (images may be in use).

    Returns (equal, text); raises if qemu-img reports an error (exit 2 and up).
    """
    cmd = ["qemu-img", "compare", "-U"]
    if fmt_a:
        cmd += ["-f", fmt_a]
    if fmt_b:
        cmd += ["-F", fmt_b]
    proc = subprocess.run(cmd + [a, b], capture_output=True, text=True, timeout=300,
                          stdin=subprocess.DEVNULL)
    text = (proc.stdout + proc.stderr).strip()
    if proc.returncode not in (0, 1):
        raise RuntimeError("qemu-img compare %s %s failed: %s" % (a, b, text))
    return proc.returncode == 0, text


def image_info(path):
    proc = subprocess.run(["qemu-img", "info", "-U", "--output=json", path], capture_output=True,
                          text=True, timeout=60, check=True, stdin=subprocess.DEVNULL)
    return json.loads(proc.stdout)


def write_script(directory, name, text):
    """Writes an executable file (mode 0755) and returns its path."""
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)
    return path


# ------------------------------------------------------------------- VMs

def _size_bytes(size):
    match = re.fullmatch(r"(\d+)([KMG]?)", str(size))
    if not match:
        raise ValueError("bad size %r" % size)
    return int(match.group(1)) * {"": 1, "K": 1024, "M": 1024 ** 2, "G": 1024 ** 3}[match.group(2)]


class VM:
    """One throwaway VM: unique name, own scratch directory, cleaned up always.

    disks: list of (target, format, size), format 'qcow2', 'raw' or 'loop'
    (a raw file behind a loop device, given to the VM as a block disk), size
    in bytes or as "32M"; targets vdX are virtio disks, sdX SATA disks.
    cdrom: add an empty CD drive (no source). uefi: OVMF firmware with a
    per-VM NVRAM file in the scratch directory. agent: a guest-agent channel
    (org.qemu.guest_agent.0) with no agent behind it.
    """

    def __init__(self, disks=(("vda", "qcow2", "32M"),), cdrom=False, uefi=False, agent=False,
                 memory_mib=128, name=None, scratch_root=None):
        self.name = name or "qbt-" + uuid.uuid4().hex[:10]
        root = scratch_root or SCRATCH_ROOT
        self.scratch = tempfile.mkdtemp(prefix=self.name + "-", dir=root)
        os.chmod(self.scratch, 0o755)
        self.disk_specs = [(t, f, _size_bytes(s)) for t, f, s in disks]
        self.cdrom, self.uefi, self.agent, self.memory_mib = cdrom, uefi, agent, memory_mib
        self.images, self.formats, self.loop_devices = {}, {}, {}
        self.nvram = os.path.join(self.scratch, self.name + "_VARS.fd") if uefi else None
        firmware = "uefi" if uefi else "bios"
        self.domain_type = "kvm" if kvm_available() and _kvm_ok.get(firmware, True) else "qemu"
        self.defined = False
        _live_vms.append(self)
        for target, fmt, size in self.disk_specs:
            ext = "qcow2" if fmt == "qcow2" else "img"
            path = os.path.join(self.scratch, "%s-disk-%s.%s" % (self.name, target, ext))
            image_fmt = "raw" if fmt == "loop" else fmt
            subprocess.run(["qemu-img", "create", "-q", "-f", image_fmt, path, str(size)],
                           check=True, capture_output=True, stdin=subprocess.DEVNULL)
            if fmt == "loop":
                path = subprocess.run(["losetup", "--find", "--show", path], check=True,
                                      capture_output=True, text=True).stdout.strip()
                self.loop_devices[target] = path
            self.images[target], self.formats[target] = path, image_fmt
        if uefi:
            shutil.copyfile(OVMF_VARS, self.nvram)

    # -- definition
    def xml(self):
        lines = ["<domain type='%s'>" % self.domain_type,
                 "  <name>%s</name>" % self.name,
                 "  <memory unit='MiB'>%d</memory>" % self.memory_mib,
                 "  <vcpu>1</vcpu>",
                 "  <os>",
                 "    <type arch='x86_64' machine='q35'>hvm</type>"]
        if self.uefi:
            lines += ["    <loader readonly='yes' type='pflash'>%s</loader>" % OVMF_CODE,
                      "    <nvram>%s</nvram>" % self.nvram]
        lines += ["  </os>", "  <features><acpi/></features>",
                  "  <on_poweroff>destroy</on_poweroff>", "  <on_reboot>restart</on_reboot>",
                  "  <on_crash>destroy</on_crash>", "  <devices>"]
        for target, fmt, _ in self.disk_specs:
            bus = "virtio" if target.startswith("vd") else "sata"
            kind, attr = ("block", "dev") if fmt == "loop" else ("file", "file")
            lines += ["    <disk type='%s' device='disk'>" % kind,
                      "      <driver name='qemu' type='%s'/>" % self.formats[target],
                      "      <source %s='%s'/>" % (attr, self.images[target]),
                      "      <target dev='%s' bus='%s'/>" % (target, bus),
                      "    </disk>"]
        if self.cdrom:
            used = {t for t, _, _ in self.disk_specs}
            cd = next("sd" + c for c in "abcdefghijklmnopqrstuvwxyz" if "sd" + c not in used)
            lines += ["    <disk type='file' device='cdrom'>",
                      "      <driver name='qemu' type='raw'/>",
                      "      <target dev='%s' bus='sata'/>" % cd,
                      "      <readonly/>",
                      "    </disk>"]
        if self.agent:
            lines += ["    <channel type='unix'>",
                      "      <target type='virtio' name='org.qemu.guest_agent.0'/>",
                      "    </channel>"]
        lines += ["    <memballoon model='none'/>", "  </devices>", "</domain>"]
        return "\n".join(lines) + "\n"

    def define(self):
        path = os.path.join(self.scratch, "domain.xml")
        with open(path, "w") as f:
            f.write(self.xml())
        virsh("define", path)
        self.defined = True
        return self

    # -- power
    def state(self):
        """The first word(s) of virsh domstate, e.g. 'running', 'paused', 'shut off'."""
        return virsh("domstate", self.name).stdout.strip()

    def state_reason(self):
        return virsh("domstate", self.name, "--reason", check=False).stdout.strip()

    def start(self, settle=2.0):
        """Defines if needed and starts; returns once the VM runs steadily.

        Under KVM a VM whose firmware the host cannot virtualise stops at
        once (start error, or paused by an emulation failure); it is then
        redefined for plain emulation, and later VMs of that firmware skip KVM.
        """
        if not self.defined:
            self.define()
        firmware = "uefi" if self.uefi else "bios"
        proc = virsh("start", self.name, check=False)
        ok = proc.returncode == 0 and self._steady(settle)
        if not ok and self.domain_type == "kvm":
            _kvm_ok[firmware] = False
            virsh("destroy", self.name, check=False)
            virsh("undefine", self.name, "--nvram")
            if self.uefi:
                shutil.copyfile(OVMF_VARS, self.nvram)
            self.domain_type = "qemu"
            self.define()
            proc = virsh("start", self.name, check=False)
            ok = proc.returncode == 0 and self._steady(settle)
        if not ok:
            raise RuntimeError("VM %s did not start: %s %s" % (self.name, proc.stderr.strip(),
                                                               self.state_reason()))
        if self.domain_type == "kvm":
            _kvm_ok[firmware] = True
        return self

    def _steady(self, settle):
        deadline = time.time() + settle
        while True:
            if self.state() != "running":
                return False
            if time.time() >= deadline:
                return True
            time.sleep(0.25)

    def pause(self):
        virsh("suspend", self.name)
        return self

    def resume(self):
        virsh("resume", self.name)
        return self

    def shutoff(self):
        """Pulls the plug (virsh destroy): the VM is shut off at once."""
        if self.state() != "shut off":
            virsh("destroy", self.name)
        return self

    # -- inspection
    def dumpxml(self, inactive=False):
        return virsh("dumpxml", self.name, *(["--inactive"] if inactive else [])).stdout

    def domblklist(self):
        """[(type, device, target, source)] from virsh domblklist --details."""
        rows = []
        for line in virsh("domblklist", self.name, "--details").stdout.splitlines()[2:]:
            words = line.split(None, 3)
            if len(words) == 4:
                rows.append(tuple(words))
        return rows

    def active_image(self, target):
        """The image the VM writes to now for `target` (an overlay during a snapshot)."""
        for _, _, tgt, source in self.domblklist():
            if tgt == target:
                return source
        raise KeyError(target)

    def snapshots(self):
        out = virsh("snapshot-list", self.name, "--name").stdout
        return [line.strip() for line in out.splitlines() if line.strip()]

    def overlay_path(self, target, snapshot=SNAPSHOT):
        """Where the tool puts a disk's overlay: next to a file image, in
        libvirt's image directory for a device."""
        directory = ("/var/lib/libvirt/images" if target in self.loop_devices
                     else os.path.dirname(self.images[target]))
        return os.path.join(directory, "%s-%s.%s.qcow2" % (self.name, target, snapshot))

    def create_snapshot(self, name, disk_only=True):
        """An external snapshot of every disk, overlays in the scratch directory."""
        args = ["snapshot-create-as", self.name, name]
        if disk_only:
            args += ["--disk-only", "--atomic"]
            for target in sorted(self.images):
                args += ["--diskspec", "%s,snapshot=external,file=%s" % (
                    target, self.overlay_path(target, name))]
        virsh(*args)

    def delete_snapshot(self, name):
        virsh("snapshot-delete", self.name, name)

    # -- the guest's view
    def monitor(self, command):
        """An HMP command; returns its reply text."""
        return virsh("qemu-monitor-command", self.name, "--hmp", command).stdout

    def block_device(self, target):
        """The qdev path ("Attached to:") of `target` as `info block` shows it."""
        alias = None
        match = re.search(r"<target dev='%s'[^>]*/>.*?<alias name='([^']+)'/>" % re.escape(target),
                          self.dumpxml(), re.S)
        if match:
            alias = match.group(1)
        source = self.active_image(target)
        attached = None
        for block in re.split(r"\n(?=\S)", self.monitor("info block")):
            found = re.search(r"Attached to:\s+(\S+)", block)
            if not found:
                continue
            path = found.group(1)
            if alias and (path == alias or "/%s/" % alias in path or path.endswith("/" + alias)):
                return path
            if block.split("\n", 1)[0].split(": ", 1)[-1].startswith(source + " "):
                attached = path
        if attached:
            return attached
        raise KeyError("no block device for %s in %s" % (target, self.name))

    def write_pattern(self, target, byte, offset, length):
        """Writes `length` bytes of `byte` at `offset` into the running VM's disk,
        through QEMU as a guest write would go, and flushes them to the image."""
        device = self.block_device(target)
        for command in ('write -P 0x%02x %d %d' % (byte, offset, length), "flush"):
            reply = self.monitor('qemu-io -d %s "%s"' % (device, command)).strip()
            if reply:
                raise RuntimeError("qemu-io %s on %s: %s" % (command, self.name, reply))

    def wait_nvram_settled(self, timeout=120, quiet=4.0):
        """Waits until the firmware has rewritten its NVRAM file and then left it
        alone for `quiet` seconds (OVMF rewrites it a few seconds after start)."""
        if not self.nvram:
            return
        with open(OVMF_VARS, "rb") as f:
            template = f.read()
        deadline = time.time() + timeout
        last, since = None, time.time()
        while time.time() < deadline:
            with open(self.nvram, "rb") as f:
                data = f.read()
            if data != last:
                last, since = data, time.time()
            elif data != template and time.time() - since >= quiet:
                return
            time.sleep(0.5)
        raise RuntimeError("NVRAM of %s did not settle within %ss" % (self.name, timeout))

    # -- cleanup
    def cleanup(self):
        """Destroys and undefines this VM (NVRAM, snapshot metadata) and deletes its scratch dir."""
        try:
            if virsh("dominfo", self.name, check=False).returncode == 0:
                virsh("destroy", self.name, check=False)
                for _ in range(3):
                    proc = virsh("undefine", self.name, "--nvram", "--snapshots-metadata",
                                 "--checkpoints-metadata", check=False)
                    if proc.returncode == 0 or virsh("dominfo", self.name,
                                                     check=False).returncode != 0:
                        break
                    time.sleep(1)
        finally:
            for device in self.loop_devices.values():
                subprocess.run(["losetup", "-d", device], capture_output=True)
            for target in self.loop_devices:
                _remove_quietly(self.overlay_path(target))
            shutil.rmtree(self.scratch, ignore_errors=True)
            if self in _live_vms:
                _live_vms.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False


def _remove_quietly(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def make_vm(testcase, **kw):
    """A VM that is cleaned up when the test ends, whatever its outcome."""
    vm = VM(**kw)
    testcase.addCleanup(vm.cleanup)
    return vm


@atexit.register
def _cleanup_forgotten():
    for vm in list(_live_vms):
        vm.cleanup()


# ------------------------------------------------------------------ tool

class ToolResult(harness.Result):
    """A run's status and output (out_lines and err_lines without their
    timestamp frames), and the application-log lines it added."""

    def __init__(self, rc, out, err, app_log):
        super().__init__(rc, out, err, None)
        self.app_log = app_log

    def __repr__(self):
        return "rc=%s\n--- stdout\n%s--- stderr\n%s--- app log\n%s" % (
            self.rc, self.out, self.err, "\n".join(self.app_log))


class Tool:
    """Runs the binary with the real virsh and qemu-img inside a private mount
    namespace whose /var/log and /run/quorlane are test-owned directories
    (/run/libvirt stays the host's, for virsh)."""

    def __init__(self):
        self.box = harness.Sandbox()
        self.varlog = self.box.varlog
        self.root = self.box.root

    def run(self, args, extra_path=(), timeout=600, setup="", binary=None, env=None):
        """extra_path: directories put before the system PATH (stand-ins);
        binary: another program of the project, such as harness.RESTORE_BINARY;
        env: variables set over the usual environment, None unsetting one
        (the locale of a host: translated(...))."""
        path = ":".join(list(extra_path) + [SYSTEM_PATH])
        before = len(self.box.app_log())
        proc = self.box.start([str(a) for a in args], setup=setup, path=path, binary=binary,
                              env=env)
        out, err = communicate(proc, timeout)
        return ToolResult(proc.returncode, out, err, self.box.app_log()[before:])

    def cleanup(self):
        self.box.cleanup()


def communicate(proc, timeout):
    """proc.communicate() within `timeout` seconds: (stdout, stderr). On a
    time-out the process is killed and reaped, and TimeoutExpired raised."""
    try:
        return proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise


def make_tool(testcase):
    tool = Tool()
    testcase.addCleanup(tool.cleanup)
    return tool


# --------------------------------------------------------------- locales

def translated(lang, language):
    """Variables for Tool.run(env=...): the locale of a host as cron and systemd
    pass it on, LANG and LANGUAGE set and no LC_ALL or other LC_* variable.
    With libvirt's translations installed (libvirt-l10n), virsh then prints
    its states and errors in that language."""
    env = {name: None for name in os.environ if name.startswith("LC_")}
    env.update({"LC_ALL": None, "LANG": lang, "LANGUAGE": language})
    return env


GERMAN = translated("de_DE.UTF-8", "de")
FRENCH = translated("fr_FR.UTF-8", "fr")


def untranslated(env):
    """None if virsh, run as Tool.run(env=env) runs the binary, prints libvirt's
    messages translated; else why not. It asks for a VM that does not exist,
    whose error libvirt translates like its states."""
    name = "qbt-missing-" + uuid.uuid4().hex[:10]
    tool = Tool()
    try:
        result = tool.run(["-c", URI, "domstate", name], binary=shutil.which("virsh"), env=env,
                          timeout=60)
    finally:
        tool.cleanup()
    said = (result.out + result.err).strip()
    if result.rc != 0 and said and "failed to get domain" not in said:
        return None
    return ("virsh does not translate under LANG=%s LANGUAGE=%s (libvirt-l10n installed? "
            "the locale generated, see locale -a?): virsh domstate %s said %r, exit %d"
            % (env.get("LANG"), env.get("LANGUAGE"), name, said, result.rc))
