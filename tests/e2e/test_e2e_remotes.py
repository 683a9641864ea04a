"""The offsite remotes of the end-to-end tests, proven with plain rclone:
a backup directory copied to SFTP, S3 and crypt over SFTP and checked, a
change behind rclone's back found, a stopped server failing rclone, and the
node exporter's textfile collector."""
import os
import shutil
import subprocess
import tempfile
import unittest

import remotes

BIG = "disk-vda.qcow2"
SMALL = "quorlane-backup.log"
MARKER = b"quorlane plain marker 7f3a\n"
BACKUP = "web01/2025-01-02_03-04-05"


def flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 0xFF]))


def listening_addresses(port):
    """The local addresses that listen on the TCP port, from /proc/net."""
    addresses = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for row in f.readlines()[1:]:
                local, state = row.split()[1], row.split()[3]
                address, hex_port = local.split(":")
                if state == "0A" and int(hex_port, 16) == port:
                    addresses.append(address)
    return addresses


class RemotesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.source = tempfile.mkdtemp(prefix="quorlane-remotes-")
        cls.addClassCleanup(shutil.rmtree, cls.source)
        cls.big = os.urandom(20 * 1024 * 1024)
        with open(os.path.join(cls.source, BIG), "wb") as f:
            f.write(cls.big)
        with open(os.path.join(cls.source, SMALL), "wb") as f:
            f.write(MARKER * 100)

    def rclone_ok(self, args, env):
        proc = remotes.rclone(args, env)
        self.assertEqual(proc.returncode, 0, "rclone %s:\n%s" % (" ".join(args), proc.stderr))
        return proc

    def push(self, remote, env):
        self.rclone_ok(["copy", self.source, remote], env)

    def check(self, remote, env, *flags):
        """rclone check's exit status and its verdict on each file: '=' the
        same, '*' different, '!' unreadable."""
        proc = remotes.rclone(["check", "--combined", "-", self.source, remote] + list(flags), env)
        lines = (line.split(" ", 1) for line in proc.stdout.splitlines())
        return proc.returncode, {name: verdict for verdict, name in lines}

    def assert_same(self, remote, env, *flags):
        self.assertEqual(self.check(remote, env, *flags), (0, {BIG: "=", SMALL: "="}))

    def assert_big_changed(self, remote, env, verdict, *flags):
        self.assertEqual(self.check(remote, env, *flags), (1, {BIG: verdict, SMALL: "="}))

    def assert_local_only(self, port):
        self.assertEqual(listening_addresses(port), ["0100007F"])

    def assert_stop_fails_and_start_serves(self, server, remote):
        server.stop()
        proc = remotes.rclone(["lsf", remote] + remotes.FAIL_FAST, server.env)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("connection refused", proc.stderr)
        server.start()
        listed = self.rclone_ok(["lsf", remote] + remotes.FAIL_FAST, server.env)
        self.assertEqual(sorted(listed.stdout.split()), sorted([BIG, SMALL]))

    def test_sftp_copy_check_change_and_stop(self):
        server = remotes.sftp_server(self)
        self.assert_local_only(server.port)
        remote = server.remote + "/" + BACKUP
        self.push(remote, server.env)
        self.assert_same(remote, server.env)

        flip_byte(server.stored(os.path.join(BACKUP, BIG)), 10 * 1024 * 1024)
        self.assert_big_changed(remote, server.env, "*")

        self.assert_stop_fails_and_start_serves(server, remote)

    def test_sftp_stop_ends_open_sessions(self):
        server = remotes.sftp_server(self)
        ssh = subprocess.Popen(
            ["ssh", "-i", server.key_file, "-p", str(server.port), "-o", "BatchMode=yes",
             "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
             "%s@127.0.0.1" % remotes.SFTP_USER, "echo $$; exec sleep 600"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(ssh.communicate)
        self.addCleanup(ssh.kill)
        shell = int(ssh.stdout.readline())
        self.assertTrue(remotes.pid_alive(shell))

        server.stop()
        self.assertFalse(remotes.pid_alive(shell))
        self.assertEqual(ssh.wait(), 255)

    def test_s3_copy_check_change_and_stop(self):
        server = remotes.s3_server(self)
        self.assert_local_only(server.port)
        remote = server.remote + "/" + BACKUP
        self.push(remote, server.env)
        self.assert_same(remote, server.env)

        # s3rver serves the MD5 it computed on upload, as S3 does: a check by
        # hash trusts it, and only reading the object back finds its bytes
        # changed.
        stored = server.stored(os.path.join(BACKUP, BIG))
        flip_byte(stored, 10 * 1024 * 1024)
        self.assert_same(remote, server.env)
        self.assert_big_changed(remote, server.env, "*", "--download")
        # Without its stored MD5 s3rver computes it from the bytes again.
        os.remove(stored + ".md5")
        self.assert_big_changed(remote, server.env, "*")

        self.assert_stop_fails_and_start_serves(server, remote)

    def test_s3_fails_with_ca_bundle_set(self):
        server = remotes.s3_server(self)
        env = dict(server.env, AWS_CA_BUNDLE="/etc/ssl/certs/ca-certificates.crt")
        proc = remotes.rclone(["lsf", server.remote] + remotes.FAIL_FAST, env)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("LoadCustomCABundleError", proc.stderr)

    def test_crypt_over_sftp_hides_names_and_bytes(self):
        server = remotes.sftp_server(self)
        remote = remotes.crypt_remote(server.remote + "/crypt", server.env) + BACKUP
        self.push(remote, server.env)
        self.assert_same(remote, server.env, "--download")

        stored = [os.path.join(d, name)
                  for d, _, names in os.walk(server.storage) for name in names]
        self.assertEqual(len(stored), 2)
        for path in stored:
            relative = os.path.relpath(path, server.storage)
            for plain in (BIG, SMALL, "web01", "2025-01-02_03-04-05"):
                self.assertNotIn(plain, relative)
            with open(path, "rb") as f:
                data = f.read()
            self.assertNotIn(MARKER, data)
            self.assertNotIn(self.big[:4096], data)

        flip_byte(max(stored, key=os.path.getsize), 10 * 1024 * 1024)
        self.assert_big_changed(remote, server.env, "!", "--download")


class NodeExporterTest(unittest.TestCase):
    def write_textfile(self, exporter, name, text):
        """Replaces the .prom file as a writer must: a new file, renamed."""
        path = os.path.join(exporter.textfile_dir, name)
        with open(path + ".tmp", "w") as f:
            f.write(text)
        os.rename(path + ".tmp", path)

    def test_textfile_metrics_and_scrape_error(self):
        exporter = remotes.node_exporter(self)
        self.assertEqual(listening_addresses(exporter.port), ["0100007F"])
        self.write_textfile(exporter, "quorlane.prom",
                            "# TYPE quorlane_offsite_bytes gauge\n"
                            'quorlane_offsite_bytes{vm="web01"} 20971520\n')
        metrics = exporter.scrape().splitlines()
        self.assertIn('quorlane_offsite_bytes{vm="web01"} 2.097152e+07', metrics)
        self.assertIn("node_textfile_scrape_error 0", metrics)
        self.assertFalse([m for m in metrics if m.startswith("node_cpu")])

        self.write_textfile(exporter, "broken.prom", "quorlane_offsite_bytes{vm= 1\n")
        self.assertIn("node_textfile_scrape_error 1", exporter.scrape().splitlines())


if __name__ == "__main__":
    unittest.main()
