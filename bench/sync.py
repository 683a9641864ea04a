#!/usr/bin/env python3
"""The sync part of bench/run: quorlane-sync's pushes to a real SFTP server
(OpenSSH) and a real S3 server (s3rver), both on 127.0.0.1, against bare
`rclone copy` of the same files to the same server.

- full: a backup holding an image of --size bytes of random data (a
  compressed image does not compress further), pushed to an empty remote;
- incremental: a backup whose image holds 5 % of that, pushed when the full
  one is there already; beside the time, the bytes that crossed the loopback
  interface while it ran (its tx counter), against the backup's size;
- idle: a push that finds all of 100 small backups on the remote already.

The tool and bare rclone take turns, round by round, each into a fresh
remote directory. Writes sync.csv (part,remote,kind,round,seconds,bytes) and
sync.md (the summary table) into --out.
"""
import argparse
import csv
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import remotes  # noqa: E402

MIB = 1 << 20


def lo_tx():
    with open("/sys/class/net/lo/statistics/tx_bytes") as f:
        return int(f.read())


def lay(root, ts, image_bytes, parent=None):
    d = os.path.join(root, "bench01", ts)
    os.makedirs(d)
    with open(os.path.join(d, "bench01-vda.qcow2"), "wb") as f:
        left = image_bytes
        while left:
            chunk = min(left, 8 * MIB)
            f.write(os.urandom(chunk))
            left -= chunk
    with open(os.path.join(d, "bench01.xml"), "w") as f:
        f.write("<domain/>\n")
    with open(os.path.join(d, "bench01.chain"), "w") as f:
        f.write("kind=incremental\nparent=%s\n" % parent if parent else "kind=full\n")
    with open(os.path.join(d, "bench01-%s.log" % ts), "w") as f:
        f.write("[2026-01-01 00:00:00] All disks backed up successfully.\n")
    return d


def dir_bytes(d):
    return sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d))


class Bench:
    def __init__(self, args, server, name, config):
        self.args, self.server, self.name, self.config = args, server, name, config
        self.rows = []

    def timed(self, argv):
        tx = lo_tx()
        start = time.monotonic()
        res = subprocess.run(argv, env=self.server.env, capture_output=True, text=True)
        seconds = time.monotonic() - start
        if res.returncode != 0:
            raise RuntimeError("%s failed:\n%s%s" % (argv, res.stdout, res.stderr))
        return seconds, lo_tx() - tx

    def remote(self, dest):
        # The SFTP user's home is not its own; its storage directory is.
        base = self.server.storage + "/" if self.name == "sftp" else remotes.BUCKET + "/"
        return "%s:%s%s" % (self.name, base, dest)

    def tool(self, root, dest):
        return self.timed([self.args.binary, "-r", root, "--to", self.remote(dest),
                           "--config", self.config])

    def bare(self, backup_dir, dest):
        return self.timed(["rclone", "--config", self.config, "copy", backup_dir,
                           self.remote(dest)])

    def record(self, kind, who, rnd, seconds, wire):
        self.rows.append({"part": "sync", "remote": self.name, "kind": "%s-%s" % (kind, who),
                          "round": rnd, "seconds": "%.3f" % seconds, "bytes": wire})
        print("  %-5s %-12s round %d: %7.2f s, %6.1f MiB on the wire"
              % (self.name, kind + "-" + who, rnd, seconds, wire / MIB), flush=True)

    def run(self, work):
        size = self.args.size
        full_root = os.path.join(work, "full")
        full = lay(full_root, "2026-01-01_00-00-00", size)
        inc_root = os.path.join(work, "inc")
        shutil.copytree(full_root, inc_root)
        inc = lay(inc_root, "2026-01-02_00-00-00", size // 20, "2026-01-01_00-00-00")
        for rnd in range(1, self.args.rounds + 1):
            base = "r%d" % rnd
            seconds, wire = self.tool(full_root, base + "/tool")
            self.record("full", "tool", rnd, seconds, wire)
            seconds, wire = self.bare(full, base + "/bare/bench01/2026-01-01_00-00-00")
            self.record("full", "bare", rnd, seconds, wire)
            seconds, wire = self.tool(inc_root, base + "/tool")
            self.record("inc", "tool", rnd, seconds, wire)
            seconds, wire = self.bare(inc, base + "/bare/bench01/2026-01-02_00-00-00")
            self.record("inc", "bare", rnd, seconds, wire)
        self.rows.append({"part": "sync", "remote": self.name, "kind": "inc-size", "round": 0,
                          "seconds": 0, "bytes": dir_bytes(inc)})
        idle_root = os.path.join(work, "idle")
        for day in range(100):
            lay(idle_root, "2026-%02d-%02d_00-00-00" % (1 + day // 28, 1 + day % 28), 4096)
        self.tool(idle_root, "idle")
        for rnd in range(1, self.args.rounds + 1):
            seconds, wire = self.tool(idle_root, "idle")
            self.record("idle", "tool", rnd, seconds, wire)


def config_for(sftp, s3, path):
    with open(path, "w") as f:
        f.write("[sftp]\ntype = sftp\nhost = 127.0.0.1\nport = %d\nuser = %s\nkey_file = %s\n\n"
                % (sftp.port, remotes.SFTP_USER, sftp.key_file))
        f.write("[s3]\ntype = s3\nprovider = Other\nendpoint = http://127.0.0.1:%d\n"
                "access_key_id = S3RVER\nsecret_access_key = S3RVER\n" % s3.port)
    os.chmod(path, 0o600)


def summary(rows, size):
    def med(remote, kind, field="seconds"):
        values = [float(r[field]) for r in rows if r["remote"] == remote and r["kind"] == kind]
        return statistics.median(values) if values else float("nan")

    lines = ["## Offsite copy (quorlane-sync against bare rclone copy)", "",
             "Image of %d MiB of random data; an incremental holding 5 %% of it; medians of "
             "the rounds." % (size >> 20), "",
             "| remote | push | tool | bare rclone | tool / bare | on the wire / backup |",
             "|---|---|---|---|---|---|"]
    for remote in ("sftp", "s3"):
        for kind in ("full", "inc"):
            tool, bare = med(remote, kind + "-tool"), med(remote, kind + "-bare")
            wire = ""
            if kind == "inc":
                wire = "%.3f" % (med(remote, "inc-tool", "bytes") / med(remote, "inc-size", "bytes"))
            lines.append("| %s | %s | %.2f s | %.2f s | %.3f | %s |"
                         % (remote, kind, tool, bare, tool / bare, wire))
        lines.append("| %s | nothing to do, 100 backups | %.2f s | | | |"
                     % (remote, med(remote, "idle-tool")))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1 << 30)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    class Servers(unittest.TestCase):
        def runTest(self):
            pass

    holder = Servers()
    work = tempfile.mkdtemp(prefix="quorlane-bench-sync.", dir="/var/tmp")
    try:
        sftp, s3 = remotes.sftp_server(holder), remotes.s3_server(holder)
        config = os.path.join(work, "rclone.conf")
        config_for(sftp, s3, config)
        rows = []
        for name, server in (("sftp", sftp), ("s3", s3)):
            print("==> %s" % name, flush=True)
            bench = Bench(args, server, name, config)
            bench.run(os.path.join(work, name))
            rows += bench.rows
        with open(os.path.join(args.out, "sync.csv"), "w", newline="") as f:
            writer = csv.DictWriter(f, ["part", "remote", "kind", "round", "seconds", "bytes"])
            writer.writeheader()
            writer.writerows(rows)
        text = summary(rows, args.size)
        with open(os.path.join(args.out, "sync.md"), "w") as f:
            f.write(text)
        print(text)
    finally:
        holder.doCleanups()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
