"""quorlane-sync against real servers: OpenSSH's sshd (SFTP), s3rver (S3),
rclone's crypt over SFTP and Prometheus' node exporter, every remote a
section of an rclone configuration file that holds its credentials.

A chain of backups goes to each kind of remote and comes back byte for
byte, and its metrics reach a scrape. A server stopped in the middle of a
push, a remote without space, copies changed or deleted on the remote and
SIGTERM each leave nothing that counts as complete, and the next push
copies what is missing. The disaster-recovery drill pushes a busy guest's
chain, loses the host's backups, the VM and its images, pulls the chain
back and restores the guest, once as a copy and once live.
"""
import os
import pwd
import re
import shutil
import signal
import subprocess
import time
import unittest

import guest
import remotes
import vmlib
from drills import MIB, sleep_past, timestamp_dirs, tree
from vmlib import harness, virsh

VM = "web01"
TS = ["2026-01-01_00-00-00", "2026-01-02_00-00-00", "2026-01-03_00-00-00"]
IMAGE = VM + "-vda.qcow2"
# Where every remote keeps the backups, below its root.
OFFSITE = "offsite"
PUSHED = re.compile(r"^  (\S+): \d+ file\(s\) -> ")


def log_name(ts):
    return "%s-%s.log" % (VM, ts)


def pushed_backups(result):
    """The backups a push copied, in its order, from its console lines."""
    return [m.group(1) for m in map(PUSHED.match, result.out_lines) if m]


def rclone_processes(config):
    """The pids of the rclone processes that run with the configuration file."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if os.path.basename(argv[0]) == b"rclone" and config.encode() in argv:
            found.append(int(entry))
    return found


def scraped(exporter):
    """{series: value} of a scrape of the node exporter."""
    series = {}
    for line in exporter.scrape().splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            series[name] = float(value)
    return series


class SyncCase(unittest.TestCase):
    """A backup root, a runner of quorlane-sync and an rclone configuration
    file (mode 0600) with a section for every server the test starts."""

    maxDiff = None

    def setUp(self):
        if os.geteuid() != 0:
            vmlib.cannot_run("needs root (sshd, mounts and a private mount namespace)")
        if not os.path.exists(vmlib.SYNC):
            vmlib.cannot_run("binary not built: " + vmlib.SYNC)
        self.tool = vmlib.make_tool(self)
        self.root = os.path.join(self.tool.root, "backups")
        os.makedirs(self.root)
        self.config = os.path.join(self.tool.root, "rclone.conf")
        self.sections = {}
        # Variables set over the tool's environment; None unsets one.
        self.env = {}

    # -- remotes
    def add_section(self, name, section):
        self.sections[name] = section
        remotes.write_config(self.config, self.sections)

    def sftp(self):
        """An SFTP server and the remote of its section 'sftp'."""
        server = remotes.sftp_server(self)
        self.add_section("sftp", server.section())
        return server, "sftp:%s/%s" % (server.storage, OFFSITE)

    def s3(self):
        """An S3 server and the remote of its section 's3'. The tool runs in
        the server's environment, without AWS_CA_BUNDLE."""
        server = remotes.s3_server(self)
        self.add_section("s3", server.section())
        self.env.update({name: None for name in os.environ if name not in server.env})
        return server, "s3:%s/%s" % (remotes.BUCKET, OFFSITE)

    def crypt(self, sftp):
        """The remote of section 'crypt', over the directory crypt of the SFTP server."""
        self.add_section("crypt", remotes.crypt_section("sftp:%s/crypt" % sftp.storage, sftp.env))
        return "crypt:" + OFFSITE

    def rclone(self, *args):
        """Plain rclone with the configuration file; must succeed."""
        env = {name: value for name, value in dict(os.environ, **self.env).items()
               if value is not None}
        proc = remotes.rclone(["--config", self.config] + list(args), env)
        self.assertEqual(proc.returncode, 0, "rclone %s:\n%s" % (" ".join(args), proc.stderr))

    def stored_logs(self, server):
        """The backups whose log the server holds: those complete on it."""
        return [ts for ts in TS
                if os.path.exists(server.stored("%s/%s/%s/%s" % (OFFSITE, VM, ts, log_name(ts))))]

    # -- backups
    def lay_chain(self, sizes):
        """A full backup of VM and two incremental ones, as files: each with
        its log, definition, chain record and an image of random data of
        the given size."""
        for index, (ts, size) in enumerate(zip(TS, sizes)):
            directory = os.path.join(self.root, VM, ts)
            harness.lay_out_backup(directory, VM)
            with open(os.path.join(directory, IMAGE), "wb") as f:
                f.write(os.urandom(size))
            with open(os.path.join(directory, VM + ".xml"), "w") as f:
                f.write("<domain/>\n")
            with open(os.path.join(directory, VM + ".chain"), "w") as f:
                f.write("kind=incremental\nparent=%s\n" % TS[index - 1] if index else
                        "kind=full\n")

    # -- the tool
    def sync(self, *args):
        return self.tool.run(["--config", self.config] + list(args), binary=vmlib.SYNC,
                             env=self.env)

    def push(self, remote, *args):
        return self.sync("-r", self.root, "--to", remote, *args)

    def start_push(self, remote, *args):
        """A push left running; its pid is the tool's own."""
        proc = self.tool.box.start(["--config", self.config, "-r", self.root, "--to", remote]
                                   + list(args), path=vmlib.SYSTEM_PATH, binary=vmlib.SYNC,
                                   env=self.env)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        return proc

    def finish(self, proc):
        out, err = vmlib.communicate(proc, 1800)
        return vmlib.ToolResult(proc.returncode, out, err, [])

    def wait_stored(self, proc, path):
        """Waits until the server holds bytes of `path`: the copy is under way."""
        while not (os.path.exists(path) and os.path.getsize(path) > 0):
            if proc.poll() is not None:
                raise AssertionError("the push ended before %s arrived: %r"
                                     % (path, self.finish(proc)))
            time.sleep(0.05)

    def listed(self, remote):
        """[(timestamp, complete or incomplete)] of --list, newest first."""
        result = self.sync("--from", remote, "-n", VM, "--list")
        self.assertEqual(result.rc, 0, result)
        return [tuple(line.split()[:2]) for line in result.out.splitlines()]

    def records(self):
        with open(os.path.join(self.tool.varlog, "quorlane", "quorlane-sync.log")) as f:
            return f.read().splitlines()

    def assertPushed(self, result, remote, backups, already):
        """A push that copied `backups`, in that order, and found `already` there."""
        self.assertEqual(result.rc, 0, result)
        self.assertEqual(pushed_backups(result), backups, result)
        self.assertEqual(result.out_lines[-1], "Sync complete: VM '%s', %d backup(s) copied, %d "
                         "already on %s." % (VM, len(backups), already, remote), result)

    def assertPullsEveryFile(self, remote):
        """A pull of the newest backup into an empty root brings back the
        whole chain, every file byte for byte."""
        pulled = os.path.join(self.tool.root, "pulled")
        shutil.rmtree(pulled, ignore_errors=True)
        os.makedirs(pulled)
        result = self.sync("-r", pulled, "--from", remote, "-n", VM)
        self.assertEqual(result.rc, 0, result)
        self.assertEqual(result.out_lines[-1], "Pull complete: backup %s of VM '%s' is in %s"
                         % (TS[2], VM, os.path.join(pulled, VM, TS[2])), result)
        found, expected = tree(pulled), tree(self.root)
        self.assertEqual(sorted(found), sorted(expected))
        for path, data in expected.items():
            self.assertTrue(found[path] == data, "%s differs from the original" % path)


class EveryKindOfRemote(SyncCase):
    """The chain goes to the remote, comes back whole and is listed."""

    def assertRoundTrip(self, remote):
        self.lay_chain([3 * MIB, MIB, MIB])
        self.assertPushed(self.push(remote), remote, TS, 0)
        self.assertPullsEveryFile(remote)
        listing = self.sync("--from", remote, "-n", VM, "--list")
        self.assertEqual(listing.rc, 0, listing)
        self.assertEqual([re.sub(r"size: \S+ \S+", "size", line)
                          for line in listing.out.splitlines()],
                         ["%s  complete    size  kind: incremental, parent %s" % (TS[2], TS[1]),
                          "%s  complete    size  kind: incremental, parent %s" % (TS[1], TS[0]),
                          "%s  complete    size  kind: full" % TS[0]])

    def test_s3_and_the_explanation_of_aws_ca_bundle(self):
        _, remote = self.s3()
        self.assertRoundTrip(remote)

        # rclone fails every S3 request while AWS_CA_BUNDLE is set.
        bundle = "/etc/ssl/certs/ca-certificates.crt"
        self.env["AWS_CA_BUNDLE"] = bundle
        result = self.push(remote)
        self.assertEqual(result.rc, 1, result)
        self.assertIn("ERROR: Could not read %s/%s: rclone refuses every S3 connection while "
                      "AWS_CA_BUNDLE is set (%s). Run quorlane-sync without it (in a systemd "
                      "unit: UnsetEnvironment=AWS_CA_BUNDLE); an endpoint with its own CA takes "
                      "rclone's --ca-cert, e.g. RCLONE_CA_CERT=FILE." % (remote, VM, bundle),
                      result.err_lines)
        self.assertRegex(self.records()[-1], r"vm=%s result=failure stage=step2_remote_listing "
                         % VM)

    def test_sftp(self):
        _, remote = self.sftp()
        self.assertRoundTrip(remote)

    def test_crypt_over_sftp_stores_neither_names_nor_bytes(self):
        server, _ = self.sftp()
        remote = self.crypt(server)
        self.assertRoundTrip(remote)

        local = tree(self.root)
        heads = [data[:4096] for path, data in local.items() if path.endswith(IMAGE)]
        stored = [os.path.join(d, name) for d, _, names in os.walk(server.storage)
                  for name in names]
        self.assertEqual(len(stored), len([data for data in local.values() if data is not None]))
        for path in stored:
            relative = os.path.relpath(path, server.storage)
            for plain in [VM, IMAGE] + TS:
                self.assertNotIn(plain, relative)
            with open(path, "rb") as f:
                data = f.read()
            self.assertNotIn(VM.encode(), data, relative)
            for head in heads:
                self.assertNotIn(head, data, relative)


class MetricsThroughTheNodeExporter(SyncCase):

    def test_a_push_then_one_that_cannot_reach_the_remote(self):
        exporter = remotes.node_exporter(self)
        server, remote = self.sftp()
        self.lay_chain([MIB, MIB, MIB])
        before = int(time.time())
        self.assertPushed(self.push(remote, "--metrics-dir", exporter.textfile_dir), remote, TS,
                          0)
        after = time.time()
        metrics = scraped(exporter)
        self.assertEqual(metrics["node_textfile_scrape_error"], 0)
        success = metrics['quorlane_sync_last_success_timestamp_seconds{vm="%s"}' % VM]
        self.assertTrue(before <= success <= after, (before, success, after))
        self.assertEqual(metrics['quorlane_sync_last_result{result="success",stage="",vm="%s"}'
                                 % VM], 1)
        self.assertEqual(metrics['quorlane_sync_remote_backups{vm="%s"}' % VM], 3)
        self.assertEqual(metrics['quorlane_sync_local_backups{vm="%s"}' % VM], 3)
        self.assertEqual(metrics['quorlane_sync_unsynced_age_seconds{vm="%s"}' % VM], 0)
        sizes = [os.path.getsize(os.path.join(self.root, VM, path))
                 for path, data in tree(os.path.join(self.root, VM)).items() if data is not None]
        self.assertEqual(metrics['quorlane_sync_bytes_copied{vm="%s"}' % VM], sum(sizes))

        # The remote gone: the last success stays, for an alert on its age.
        server.stop()
        result = self.push(remote, "--metrics-dir", exporter.textfile_dir)
        self.assertEqual(result.rc, 1, result)
        metrics = scraped(exporter)
        self.assertEqual(metrics["node_textfile_scrape_error"], 0)
        self.assertEqual(metrics['quorlane_sync_last_success_timestamp_seconds{vm="%s"}' % VM],
                         success)
        self.assertEqual(metrics['quorlane_sync_last_result{result="failure",'
                                 'stage="step2_remote_listing",vm="%s"}' % VM], 1)
        # What it knew of the remote stays; nothing was made since the last success.
        self.assertEqual(metrics['quorlane_sync_remote_backups{vm="%s"}' % VM], 3)
        self.assertEqual(metrics['quorlane_sync_unsynced_age_seconds{vm="%s"}' % VM], 0)
        self.assertEqual(os.listdir(exporter.textfile_dir), ["quorlane-sync-%s.prom" % VM])


class Faults(SyncCase):

    def test_sftp_server_stopped_in_the_middle_of_a_push(self):
        server, remote = self.sftp()
        self.lay_chain([MIB, 8 * MIB, MIB])
        proc = self.start_push(remote, "--bwlimit", "1M")
        self.wait_stored(proc, server.stored("%s/%s/%s/%s" % (OFFSITE, VM, TS[1], IMAGE)))
        server.stop()
        result = self.finish(proc)
        self.assertEqual(result.rc, 1, result)
        self.assertTrue([line for line in result.err_lines if line.startswith(
            "ERROR: Could not copy %s to %s/%s/%s: " % (TS[1], remote, VM, TS[1]))], result)
        self.assertRegex(self.records()[-1], r"vm=%s result=failure stage=step3_copy to=%s "
                         r"copied=1 " % (VM, re.escape(remote)))
        self.assertEqual(self.stored_logs(server), TS[:1])

        # Back again: the backup cut short is there without its log, and the
        # next push copies it and the one after it, nothing else.
        server.start()
        self.assertEqual(self.listed(remote), [(TS[1], "incomplete"), (TS[0], "complete")])
        self.assertPushed(self.push(remote), remote, TS[1:], 1)
        self.assertEqual(self.stored_logs(server), TS)
        self.assertPullsEveryFile(remote)

    def test_a_remote_without_space(self):
        server, remote = self.sftp()
        user = pwd.getpwnam(remotes.SFTP_USER)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,mode=0755,uid=%d,gid=%d" % (
            user.pw_uid, user.pw_gid), "quorlane-full", server.storage], check=True)
        self.addCleanup(subprocess.run, ["umount", server.storage], check=True)
        # The first two fit, the third does not.
        self.lay_chain([MIB, MIB, 4 * MIB])
        local = tree(self.root)
        result = self.push(remote)
        self.assertEqual(result.rc, 1, result)
        # OpenSSH's SFTP server answers a write to a full disk with its
        # generic failure status, and that is what rclone says of each file
        # that it copied meanwhile.
        self.assertTrue([line for line in result.err_lines if line.startswith(
            "ERROR: Could not copy %s to %s/%s/%s: " % (TS[2], remote, VM, TS[2]))
            and IMAGE + ": Failed to copy: " in line and "(SSH_FX_FAILURE)" in line], result)
        self.assertTrue(tree(self.root) == local, "the local backups changed")
        self.assertEqual(self.stored_logs(server), TS[:2])
        self.assertNotIn((TS[2], "complete"), self.listed(remote))

    def test_an_object_changed_through_the_s3_api(self):
        _, remote = self.s3()
        self.lay_chain([MIB, MIB, MIB])
        self.assertPushed(self.push(remote), remote, TS, 0)
        other = os.path.join(self.tool.root, "other.qcow2")
        with open(other, "wb") as f:
            f.write(os.urandom(MIB))
        self.assertRepairedAfterUpload(remote, other)
        # rclone copies over an object of the same size and time only when told to.
        shutil.copystat(os.path.join(self.root, VM, TS[1], IMAGE), other)
        with self.subTest("other bytes of the same size and modification time"):
            self.assertRepairedAfterUpload(remote, other, "--ignore-times")

    def assertRepairedAfterUpload(self, remote, other, *flags):
        """`other` uploaded over the image of TS[1]: --check finds it and
        takes the copy's log and that image away, the next push copies them
        again, and --check then finds the backup the same."""
        self.rclone("copyto", other, "%s/%s/%s/%s" % (remote, VM, TS[1], IMAGE), *flags)
        result = self.push(remote, "--check")
        self.assertEqual(result.rc, 3, result)
        self.assertIn("ERROR:   %s: differs from the local copy: %s differs" % (TS[1], IMAGE),
                      result.err_lines)
        self.assertRegex(self.records()[-1], r"vm=%s result=differs to=%s " % (
            VM, re.escape(remote)))
        # It no longer counts as complete there: the push sends it as new.
        self.assertPushed(self.push(remote), remote, TS[1:2], 2)
        result = self.push(remote, "--check")
        self.assertEqual(result.rc, 0, result)
        self.assertIn("  %s: the same (by hash)." % TS[1], result.out_lines)

    def test_an_object_changed_behind_the_servers_back(self):
        server, remote = self.s3()
        self.lay_chain([MIB, MIB, MIB])
        self.assertPushed(self.push(remote), remote, TS, 0)
        stored = server.stored("%s/%s/%s/%s" % (OFFSITE, VM, TS[2], IMAGE))
        with open(stored, "r+b") as f:
            f.seek(MIB // 2)
            byte = f.read(1)
            f.seek(MIB // 2)
            f.write(bytes([byte[0] ^ 0xFF]))

        # s3rver serves the MD5 it computed on upload, as S3 does: only
        # reading the object back finds its bytes changed.
        result = self.push(remote, "--check")
        self.assertEqual(result.rc, 0, result)
        result = self.push(remote, "--check", "--download")
        self.assertEqual(result.rc, 3, result)
        self.assertIn("ERROR:   %s: differs from the local copy: %s differs" % (TS[2], IMAGE),
                      result.err_lines)
        self.assertIn("ERROR: The remote holds copies that differ from the local backups; the "
                      "next push copies them again.", result.err_lines)
        with self.subTest("the next push copies the backup that differs again"):
            self.assertPushed(self.push(remote), remote, TS[2:], 2)
            result = self.push(remote, "--check", "--download")
            self.assertEqual(result.rc, 0, result)

    def test_a_parent_deleted_on_the_remote(self):
        _, remote = self.s3()
        self.lay_chain([MIB, MIB, MIB])
        self.assertPushed(self.push(remote), remote, TS, 0)
        self.rclone("purge", "%s/%s/%s" % (remote, VM, TS[0]))

        pulled = os.path.join(self.tool.root, "pulled")
        os.makedirs(pulled)
        result = self.sync("-r", pulled, "--from", remote, "-n", VM)
        self.assertEqual(result.rc, 1, result)
        self.assertIn("ERROR: Backup %s, on which %s depends, is not complete on %s"
                      % (TS[0], TS[2], remote), result.err_lines)
        self.assertEqual(os.listdir(pulled), [])
        self.assertPushed(self.push(remote), remote, TS[:1], 2)
        self.assertPullsEveryFile(remote)

    def test_sigterm_during_a_push(self):
        server, remote = self.sftp()
        self.lay_chain([MIB, 8 * MIB, MIB])
        proc = self.start_push(remote, "--bwlimit", "1M")
        self.wait_stored(proc, server.stored("%s/%s/%s/%s" % (OFFSITE, VM, TS[1], IMAGE)))
        proc.send_signal(signal.SIGTERM)
        result = self.finish(proc)
        self.assertEqual(result.rc, 143, result)
        self.assertEqual(result.err_lines[-1], "WARN:  Interrupted by Terminated; what arrived "
                         "stays, and the next run goes on from there.", result)
        self.assertRegex(self.records()[-1], r'vm=%s result=interrupted stage=step3_copy to=%s '
                         r'copied=1 .*reason="SIGTERM"$' % (VM, re.escape(remote)))
        self.assertEqual(self.stored_logs(server), TS[:1])
        self.assertEqual(rclone_processes(self.config), [])

        self.assertPushed(self.push(remote), remote, TS[1:], 1)
        self.assertEqual(self.stored_logs(server), TS)


class DisasterRecoveryDrill(SyncCase):
    """A busy guest's chain offsite; the host loses its backups, the VM and
    its images; the chain comes back and the guest runs again."""

    @classmethod
    def setUpClass(cls):
        vmlib.require_libvirt()

    def backup_chain(self, vm, metrics_dir):
        """A full backup and two incremental ones while the guest writes, the
        last quiesced, each writing its metrics; returns the tip's timestamp
        and the highest file the guest had synced before it."""
        vm_dir = os.path.join(self.root, vm.name)
        for quiesce in (False, False, True):
            vm.wait_synced(vm.synced() + 10)
            synced = vm.synced()
            sleep_past((timestamp_dirs(vm_dir) or [""])[-1])
            result = self.tool.run(["-n", vm.name, "-r", self.root, "-k", "5", "-i",
                                    "--metrics-dir", metrics_dir]
                                   + (["--quiesce"] if quiesce else []))
            self.assertEqual(result.rc, 0, result)
        self.assertEqual(len(timestamp_dirs(vm_dir)), 3)
        return timestamp_dirs(vm_dir)[-1], synced

    def disks(self, vm):
        """{target: image} of the disks the VM runs on."""
        return {target: source for _, device, target, source in vm.domblklist()
                if device == "disk"}

    def lose(self, vm, checkpoints=False):
        """The VM stopped, undefined and its images deleted; its console emptied."""
        images = self.disks(vm).values()
        vm.shutoff()
        virsh("undefine", vm.name, *(["--checkpoints-metadata"] if checkpoints else []))
        for image in images:
            os.unlink(image)
        open(vm.console, "w").close()

    def restore(self, *args):
        return self.tool.run(list(args), binary=harness.RESTORE_BINARY)

    def assertBootsWithEveryFile(self, vm, files):
        """The guest boots and finds every file of the backup intact."""
        vm.wait_ready()
        self.assertEqual(vm.reports(), {t: (len(f), 0) for t, f in files.items()})

    def test_the_host_lost_the_chain_comes_back_and_the_guest_runs(self):
        _, remote = self.s3()
        exporter = remotes.node_exporter(self)
        vm = guest.QcowGuest()
        self.addCleanup(vm.cleanup)
        vm.boot()
        tip, synced = self.backup_chain(vm, exporter.textfile_dir)
        metrics = scraped(exporter)
        self.assertEqual(metrics["node_textfile_scrape_error"], 0)
        self.assertEqual(metrics['quorlane_backup_last_result{result="success",stage="",vm="%s"}'
                                 % vm.name], 1)
        self.assertEqual(metrics['quorlane_backup_kind{kind="incremental",vm="%s"}' % vm.name], 1)
        self.assertEqual(metrics['quorlane_backup_local_backups{vm="%s"}' % vm.name], 3)
        result = self.sync("-r", self.root, "--to", remote, "-n", vm.name)
        self.assertEqual(result.rc, 0, result)
        self.assertEqual(result.out_lines[-1], "Sync complete: VM '%s', 3 backup(s) copied, 0 "
                         "already on %s." % (vm.name, remote))
        backed_up = tree(os.path.join(self.root, vm.name))

        self.lose(vm, checkpoints=True)
        shutil.rmtree(self.root)
        self.assertNotEqual(virsh("dominfo", vm.name, check=False).returncode, 0)

        fresh = os.path.join(self.tool.root, "fresh")
        os.makedirs(fresh)
        result = self.sync("-r", fresh, "--from", remote, "-n", vm.name)
        self.assertEqual(result.rc, 0, result)
        tip_dir = os.path.join(fresh, vm.name, tip)
        self.assertEqual(result.out_lines[-1], "Pull complete: backup %s of VM '%s' is in %s"
                         % (tip, vm.name, tip_dir))
        pulled = tree(os.path.join(fresh, vm.name))
        self.assertEqual(sorted(pulled), sorted(backed_up))
        for path, data in backed_up.items():
            self.assertTrue(pulled[path] == data, "%s differs from the backup" % path)
        listing = self.restore("-b", tip_dir, "--ls")
        self.assertEqual(listing.rc, 0, listing)
        self.assertIn("/dev/sda\text4\t", listing.out)
        self.assertEqual(tree(os.path.join(fresh, vm.name)), pulled, "single files wrote")

        # The quiesced tip holds clean file systems with every file the guest
        # had synced before it.
        files = {}
        for target in sorted(vm.images):
            image = os.path.join(tip_dir, "%s-%s.qcow2" % (vm.name, target))
            files[target] = guest.check_image(self, image, os.path.join(self.tool.root, "check"),
                                              fix=False)
            self.assertEqual([seq for seq in range(1, synced + 1) if not files[target].get(seq)],
                             [], target)
            self.assertEqual([seq for seq, intact in files[target].items() if not intact], [],
                             target)

        result = self.restore("-n", vm.name, "-r", fresh, "--start")
        self.assertEqual(result.rc, 0, result)
        self.assertBootsWithEveryFile(vm, files)

        # The copy goes with everything the restore wrote: its images and
        # its definition beside them.
        self.lose(vm)
        os.unlink(os.path.join(vm.scratch, vm.name + ".xml"))
        result = self.restore("-n", vm.name, "-r", fresh, "--live")
        self.assertEqual(result.rc, 0, result)
        self.assertEqual(result.out_lines[-1], "Live restore complete: VM '%s' no longer reads "
                         "from %s, which is unpinned." % (vm.name, tip_dir), result)
        self.assertBootsWithEveryFile(vm, files)
        for image in self.disks(vm).values():
            self.assertNotIn("backing-filename", vmlib.image_info(image))


if __name__ == "__main__":
    unittest.main()
