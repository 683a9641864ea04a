"""The Linux test guest: a Debian kernel and an initramfs (scripts/build-guest)
that libvirt boots directly, with two ext4 data disks, vda in a qcow2 image
and vdb in a raw image, and the guest agent on org.qemu.guest_agent.0.

Its init (tests/e2e/guest-init) reports on the serial console what it finds
on each disk, starts the agent, prints a ready line and keeps writing
self-verifying files. The console goes to a file in the VM's scratch
directory; this module reads it and checks backed-up images on the host.

  GuestVM(name=None, xml_text=None)  a vmlib.VM that boots the guest
      .boot() .wait_ready() .console_lines() .wait_line(regex) .reports() .synced()
      .agent_command(request) .request(name) .power_off()
  check_image(testcase, image, workdir, fix) -> {seq: intact}
"""
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import time
import unittest

import vmlib

CMDLINE = "console=ttyS0 panic=-1 quiet"
BOOT_TIMEOUT = 600
_build_dir = None
_domain_type = None


def build():
    """(kernel, initrd) of the guest, built on first use. A guest that cannot
    be built fails the test with the builder's reason."""
    global _build_dir
    if _build_dir is None:
        proc = subprocess.run(["bash", os.path.join(vmlib.REPO, "scripts", "build-guest")],
                              capture_output=True, text=True, timeout=1800,
                              stdin=subprocess.DEVNULL)
        if proc.returncode != 0 or not proc.stdout.strip():
            raise AssertionError("the test guest cannot be built (scripts/build-guest exit %d):\n%s"
                                 % (proc.returncode, proc.stderr[-4000:]))
        _build_dir = proc.stdout.strip().splitlines()[-1]
    return os.path.join(_build_dir, "vmlinuz"), os.path.join(_build_dir, "initrd.img")


def domain_type():
    """kvm only where a Linux kernel runs under it. kvm_pvm, a software KVM,
    runs firmware but stops a Linux kernel with an emulation failure, so with
    it loaded (or without a /dev/kvm QEMU's user can open) the guest runs
    under plain emulation."""
    global _domain_type
    if _domain_type is None:
        pvm = os.path.exists("/sys/module/kvm_pvm")
        try:
            with open("/proc/modules") as f:
                pvm = pvm or any(line.split()[0] == "kvm_pvm" for line in f)
        except OSError:
            pass
        usable = False
        try:
            st = os.stat("/dev/kvm")
            import grp
            usable = bool(st.st_mode & 0o006) or (
                bool(st.st_mode & 0o060) and grp.getgrgid(st.st_gid).gr_name == "kvm")
        except (OSError, KeyError):
            pass
        _domain_type = "kvm" if usable and not pvm else "qemu"
    return _domain_type


def _run(cmd, check=True, timeout=600):
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)
    if check and proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (" ".join(cmd), proc.returncode, proc.stdout,
                                                    proc.stderr))
    return proc


class GuestVM(vmlib.VM):
    """The test guest with fresh ext4 disks, or, with xml_text, a guest defined
    from that text (whose images the caller provides)."""

    def __init__(self, name=None, xml_text=None, size="64M", scratch_root=None):
        self.kernel, self.initrd = build()
        disks = () if xml_text else (("vda", "qcow2", size), ("vdb", "raw", size))
        super().__init__(disks=disks, agent=True, memory_mib=256, name=name,
                         scratch_root=scratch_root)
        self.domain_type = domain_type()
        self.console = os.path.join(self.scratch, "console.log")
        self.xml_text = xml_text
        for target, path in self.images.items():
            raw = path if self.formats[target] == "raw" else path + ".raw"
            _run(["truncate", "-s", size, raw])
            _run(["mkfs.ext4", "-q", "-F", "-L", target, raw])
            if raw != path:
                _run(["qemu-img", "convert", "-f", "raw", "-O", "qcow2", raw, path])
                os.unlink(raw)

    def xml(self):
        if self.xml_text:
            return self.xml_text
        lines = ["<domain type='%s'>" % self.domain_type,
                 "  <name>%s</name>" % self.name,
                 "  <memory unit='MiB'>%d</memory>" % self.memory_mib,
                 "  <vcpu>1</vcpu>",
                 "  <os>",
                 "    <type arch='x86_64' machine='q35'>hvm</type>",
                 "    <kernel>%s</kernel>" % self.kernel,
                 "    <initrd>%s</initrd>" % self.initrd,
                 "    <cmdline>%s</cmdline>" % CMDLINE,
                 "  </os>", "  <features><acpi/></features>",
                 "  <on_poweroff>destroy</on_poweroff>", "  <on_reboot>destroy</on_reboot>",
                 "  <on_crash>destroy</on_crash>", "  <devices>"]
        for target in sorted(self.images):
            lines += ["    <disk type='file' device='disk'>",
                      "      <driver name='qemu' type='%s'/>" % self.formats[target],
                      "      <source file='%s'/>" % self.images[target],
                      "      <target dev='%s' bus='virtio'/>" % target,
                      "    </disk>"]
        lines += ["    <serial type='file'>",
                  "      <source path='%s' append='on'/>" % self.console,
                  "      <target port='0'/>",
                  "    </serial>",
                  "    <channel type='unix'>",
                  "      <target type='virtio' name='org.qemu.guest_agent.0'/>",
                  "    </channel>",
                  "    <memballoon model='none'/>", "  </devices>", "</domain>"]
        return "\n".join(lines) + "\n"

    # -- the console
    def console_lines(self):
        """The guest's own lines (after 'QUORLANE-GUEST ')."""
        try:
            with open(self.console, errors="replace") as f:
                text = f.read()
        except FileNotFoundError:
            return []
        return [line.split("QUORLANE-GUEST ", 1)[1].strip() for line in text.splitlines()
                if "QUORLANE-GUEST " in line]

    def wait_line(self, regex, timeout=BOOT_TIMEOUT):
        """The first console line matching regex; fails with the console on a time-out."""
        deadline = time.time() + timeout
        while True:
            for line in self.console_lines():
                match = re.search(regex, line)
                if match:
                    return match
            if time.time() > deadline or self.state() != "running":
                with open(self.console, errors="replace") as f:
                    tail = f.read()[-3000:]
                raise AssertionError("guest %s: no console line /%s/ (state %s); console:\n%s"
                                     % (self.name, regex, self.state_reason(), tail))
            time.sleep(0.5)

    def boot(self):
        """Starts the guest and returns once it is ready and its agent answers."""
        open(self.console, "a").close()
        self.start()
        return self.wait_ready()

    def wait_ready(self):
        """Waits until the guest is ready and its agent answers."""
        self.wait_line(r"^ready disks=vda vdb$")
        deadline = time.time() + 120
        while self.agent_command({"execute": "guest-ping"}, check=False) is None:
            if time.time() > deadline:
                raise AssertionError("agent of %s does not answer" % self.name)
            time.sleep(1)
        return self

    def reports(self):
        """{disk: (files, damaged)} from the boot report."""
        found = {}
        for line in self.console_lines():
            match = re.match(r"report disk=(\w+) files=(\d+) damaged=(\d+)", line)
            if match:
                found[match.group(1)] = (int(match.group(2)), int(match.group(3)))
        return found

    def synced(self):
        """The highest sequence number the guest has synced (0 before the first sync)."""
        seqs = [int(m.group(1)) for m in (re.match(r"synced seq=(\d+)$", line)
                                          for line in self.console_lines()) if m]
        return max(seqs, default=0)

    def wait_synced(self, seq, timeout=300):
        """Waits until files 1..seq are durable."""
        deadline = time.time() + timeout
        while self.synced() < seq:
            if time.time() > deadline or self.state() != "running":
                raise AssertionError("guest %s synced only up to %d, not %d" % (
                    self.name, self.synced(), seq))
            time.sleep(0.5)

    def power_off(self, timeout=120):
        """Asks the guest to power off and waits until it has."""
        self.request("poweroff")
        deadline = time.time() + timeout
        while self.state() != "shut off":
            if time.time() > deadline:
                raise AssertionError("guest %s did not power off (%s)" % (self.name,
                                                                      self.state_reason()))
            time.sleep(0.5)

    # -- the agent
    def agent_command(self, request, check=True):
        proc = vmlib.virsh("qemu-agent-command", self.name, "--timeout", "10", json.dumps(request),
                           check=check)
        return json.loads(proc.stdout)["return"] if proc.returncode == 0 else None

    def request(self, name):
        """Leaves the request file /run/<name> through the agent (stop-agent,
        poweroff). The guest may act on it before the file is closed, so the
        close may find the agent gone."""
        handle = self.agent_command({"execute": "guest-file-open",
                                     "arguments": {"path": "/run/" + name, "mode": "w"}})
        self.agent_command({"execute": "guest-file-close", "arguments": {"handle": handle}},
                           check=False)


class QcowGuest(GuestVM):
    """The test guest with both data disks in qcow2 images: a raw image holds
    no bitmaps, and every disk must for a chain of incremental backups."""

    def __init__(self):
        super().__init__()
        raw = self.images["vdb"]
        image = os.path.splitext(raw)[0] + ".qcow2"
        subprocess.run(["qemu-img", "convert", "-q", "-f", "raw", "-O", "qcow2", raw, image],
                       check=True, stdin=subprocess.DEVNULL)
        os.unlink(raw)
        self.images["vdb"], self.formats["vdb"] = image, "qcow2"


def check_image(testcase, image, workdir, fix):
    """Checks one backed-up image on the host: converts it to raw, runs e2fsck
    (-fn, which must find it clean with no journal recovery pending, or -fy,
    which may replay the journal: exit 0 or 1), and reads every file with
    debugfs. Returns {seq: intact} of the files with their final names."""
    os.makedirs(workdir, exist_ok=True)
    raw = os.path.join(workdir, os.path.basename(image) + ".raw")
    _run(["qemu-img", "convert", "-U", "-O", "raw", image, raw])
    header = _run(["dumpe2fs", "-h", raw]).stdout
    features = re.search(r"^Filesystem features:\s*(.*)$", header, re.M).group(1).split()
    if fix:
        proc = _run(["e2fsck", "-fy", raw], check=False)
        testcase.assertIn(proc.returncode, (0, 1), "%s: e2fsck -fy:\n%s%s" % (
            image, proc.stdout, proc.stderr))
    else:
        testcase.assertNotIn("needs_recovery", features, "%s needs journal recovery" % image)
        proc = _run(["e2fsck", "-fn", raw], check=False)
        testcase.assertEqual(proc.returncode, 0, "%s: e2fsck -fn:\n%s%s" % (
            image, proc.stdout, proc.stderr))
    out = os.path.join(workdir, os.path.basename(image) + ".files")
    os.makedirs(out)
    _run(["debugfs", "-R", "rdump /data %s" % out, raw])
    files = {}
    for path in glob.glob(os.path.join(out, "data", "*.qgf")):
        seq = int(os.path.basename(path)[:-4])
        with open(path, "rb") as f:
            head, _, payload = f.read().partition(b"\n")
        match = re.fullmatch(rb"QGF seq=(\d+) md5=([0-9a-f]{32})", head)
        files[seq] = bool(match and int(match.group(1)) == seq
                          and hashlib.md5(payload).hexdigest().encode() == match.group(2))
    os.unlink(raw)
    shutil.rmtree(out)
    return files


class GuestCase(unittest.TestCase):
    """A test with a booted, busy guest (self.vm), a tool runner (self.tool)
    and an empty backup root (self.root). The guest's images go under
    scratch_root (default vmlib.SCRATCH_ROOT)."""

    scratch_root = None

    @classmethod
    def setUpClass(cls):
        vmlib.require_libvirt()

    def setUp(self):
        self.tool = vmlib.make_tool(self)
        self.vm = GuestVM(scratch_root=self.scratch_root)
        self.addCleanup(self.vm.cleanup)
        self.vm.boot()
        self.root = os.path.join(self.vm.scratch, "backups")
        os.makedirs(self.root)

    def assertKept(self, image, synced):
        """The file system in `image` holds the guest's files 1..synced intact."""
        files = check_image(self, image, os.path.join(self.root, "check"), True)
        lost = [seq for seq in range(1, synced + 1) if not files.get(seq)]
        self.assertEqual(lost, [], "%s: synced files lost" % image)

    def assertBaseImagesKeepAllSynced(self):
        """Powers the guest off; its own images hold every file it synced."""
        synced = self.vm.synced()
        self.vm.power_off()
        for image in self.vm.images.values():
            self.assertKept(image, synced)
