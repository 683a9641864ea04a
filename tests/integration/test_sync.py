"""quorlane-sync, the real binary with the real rclone, against a remote
that is a directory of the sandbox: what it copies and in which order, what
it leaves after a failure or a signal, its checks, pulls, retention, run
records and metrics. rclone runs behind the stand-in, which records its
vectors and can fail or slow a call before handing it on."""
import os
import re
import shutil
import signal
import stat
import time
import unittest

from harness import HERE, SandboxTest, lay_out_backup, strip_ts

SYNC = os.environ.get("QUORLANE_SYNC_BINARY",
                      os.path.join(HERE, "..", "..", "build", "quorlane-sync"))
REAL_RCLONE = "/usr/bin/rclone"
TS = ["2026-01-01_00-00-00", "2026-01-02_00-00-00", "2026-01-03_00-00-00"]


class SyncTest(SandboxTest):
    def setUp(self):
        super().setUp()
        os.symlink(os.path.join(HERE, "standin.py"), os.path.join(self.box.bin, "rclone"))
        self.root = self.box.path("backups")
        self.remote = self.box.path("remote")
        os.makedirs(self.root)
        self.rclone_rules([])

    def rclone_rules(self, rules):
        """rclone's calls answer from `rules` first, then go to the real rclone."""
        self.use(rules + [{"prog": "rclone", "real": REAL_RCLONE}])

    def lay(self, ts, parent=None, vm="web01", size=200000):
        d = os.path.join(self.root, vm, ts)
        lay_out_backup(d, vm)
        with open(os.path.join(d, "%s-vda.qcow2" % vm), "wb") as f:
            f.write(os.urandom(size))
        with open(os.path.join(d, "%s.xml" % vm), "w") as f:
            f.write("<domain/>\n")
        with open(os.path.join(d, "%s.chain" % vm), "w") as f:
            f.write("kind=incremental\nparent=%s\n" % parent if parent else "kind=full\n")
        return d

    def lay_chain(self, vm="web01"):
        for i, ts in enumerate(TS):
            self.lay(ts, TS[i - 1] if i else None, vm)

    def sync(self, *args, **kw):
        return self.box.run(list(args), binary=SYNC, **kw)

    def push(self, *args):
        return self.sync("-r", self.root, "--to", self.remote, *args)

    def tree(self, top):
        found = []
        for d, _, files in os.walk(top):
            found += [os.path.relpath(os.path.join(d, f), top) for f in files]
        return sorted(found)

    def records(self):
        path = os.path.join(self.box.varlog, "quorlane", "quorlane-sync.log")
        with open(path) as f:
            return f.read().splitlines()

    def copies(self):
        """The backups that rclone copy calls went to, in call order."""
        return [v[3].rsplit("/", 1)[1] for v in self.box.calls("rclone") if v[1] == "copy"]


class PushTest(SyncTest):
    def test_a_push_copies_each_backup_parents_first_with_its_log_last(self):
        self.lay_chain()
        open(os.path.join(self.root, "web01", TS[2], "live-restore-web01-copy.pin"), "w").close()
        res = self.push("-n", "web01")
        self.assertEqual(res.rc, 0, res.err)
        local = [f for f in self.tree(self.root) if not f.endswith(".pin")]
        self.assertEqual(self.tree(self.remote), local)
        self.assertEqual(self.copies(), [TS[0], TS[0], TS[1], TS[1], TS[2], TS[2]])
        copies = [v for v in self.box.calls("rclone") if v[1] == "copy"]
        self.assertEqual(copies[1][-2:], ["--include", "/web01-%s.log" % TS[0]])
        self.assertNotIn("/web01-%s.log" % TS[0], copies[0])
        self.assertIn("Sync complete: VM 'web01', 3 backup(s) copied, 0 already on %s."
                      % self.remote, res.out_lines)
        self.assertRegex(self.records()[-1], r"vm=web01 result=success to=%s copied=3 duration="
                         % re.escape(self.remote))

        self.box.set_rules([{"prog": "rclone", "real": REAL_RCLONE}])
        again = self.push()
        self.assertEqual(again.rc, 0, again.err)
        self.assertIn("Step 3: Every complete backup of VM 'web01' is on the remote already.",
                      again.out_lines)
        self.assertEqual(self.copies(), [TS[0], TS[0], TS[1], TS[1], TS[2], TS[2]])

    def test_a_failed_push_leaves_no_log_and_the_next_copies_only_what_is_missing(self):
        self.lay_chain()
        self.rclone_rules([{"prog": "rclone", "prefix": ["copy", os.path.join(self.root, "web01",
                                                                              TS[1])],
                            "exit": 1, "times": 1,
                            "stderr": "2026/01/01 00:00:00 ERROR : web01-vda.qcow2: Failed to "
                                      "copy: connection reset by peer\n"}])
        res = self.push()
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: Could not copy %s to %s/web01/%s: web01-vda.qcow2: Failed to copy: "
                      "connection reset by peer" % (TS[1], self.remote, TS[1]), res.err_lines)
        self.assertNotIn("web01/%s/web01-%s.log" % (TS[1], TS[1]), self.tree(self.remote))
        self.assertRegex(self.records()[-1], r"result=failure stage=step3_copy to=.* copied=1 ")
        again = self.push()
        self.assertEqual(again.rc, 0, again.err)
        self.assertEqual(self.copies()[-4:], [TS[1], TS[1], TS[2], TS[2]])
        self.assertEqual(self.tree(self.remote), self.tree(self.root))

    def test_a_signal_stops_the_transfer_and_the_copy_does_not_count(self):
        self.lay_chain()
        self.rclone_rules([{"prog": "rclone", "prefix": ["copy"], "delay": 30}])
        proc = self.box.start(["-r", self.root, "--to", self.remote], binary=SYNC)
        self.box.wait_for_call("rclone", "copy")
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 143, err)
        self.assertIn("WARN:  Interrupted by Terminated; what arrived stays, and the next run "
                      "goes on from there.", strip_ts(err))
        self.assertRegex(self.records()[-1], r'result=interrupted stage=step3_copy .*'
                         r'reason="SIGTERM"')
        self.assertFalse(any(f.endswith(".log") for f in self.tree(self.remote)))

    def test_with_download_every_copy_is_read_back_and_one_spoilt_on_the_way_fails(self):
        self.lay_chain()
        spoiling = self.box.path("spoiling-rclone")
        with open(spoiling, "w") as f:
            f.write('#!/bin/sh\n%s "$@" || exit\n'
                    'if [ "$1" = copy ]; then\n'
                    '  for image in "$3"/*.qcow2; do printf X | dd of="$image" bs=1 seek=7 '
                    'conv=notrunc 2>/dev/null; done\n'
                    'fi\n' % REAL_RCLONE)
        os.chmod(spoiling, 0o755)
        self.rclone_rules([{"prog": "rclone", "prefix": ["copy", os.path.join(self.root, "web01",
                                                                              TS[1])],
                            "real": spoiling}])
        res = self.push("--download")
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: The copy of %s in %s/web01/%s differs from %s/web01/%s: "
                      "web01-vda.qcow2 differs" % (TS[1], self.remote, TS[1], self.root, TS[1]),
                      res.err_lines)
        checks = [v for v in self.box.calls("rclone") if v[1] == "check"]
        self.assertEqual(len(checks), 3)  # the first backup's data and log, the second's data
        self.assertTrue(all("--download" in v for v in checks))
        self.assertNotIn("web01/%s/web01-%s.log" % (TS[1], TS[1]), self.tree(self.remote))

    def spoil_remote_image(self, ts, keep_time):
        image = os.path.join(self.remote, "web01", ts, "web01-vda.qcow2")
        before = os.stat(image)
        with open(image, "r+b") as f:
            f.seek(1000)
            f.write(b"\xff\xfe")
        when = before.st_mtime if keep_time else time.time() + 60
        os.utime(image, (when, when))
        return image

    def test_a_push_copies_again_a_remote_copy_that_changed(self):
        self.lay_chain()
        self.assertEqual(self.push().rc, 0)
        self.spoil_remote_image(TS[1], keep_time=False)
        repaired = self.push()
        self.assertEqual(repaired.rc, 0, repaired.err)
        self.assertIn("WARN:    %s: the remote copy is not the same as the local one; copying it "
                      "again." % TS[1], repaired.err_lines)
        deletions = [v for v in self.box.calls("rclone") if v[1] == "deletefile"]
        self.assertEqual(deletions[-1][2], "%s/web01/%s/web01-%s.log" % (self.remote, TS[1], TS[1]))
        self.assertEqual(self.push("--check").rc, 0)

    def test_a_second_push_of_the_same_vm_refuses_and_names_the_first(self):
        self.lay_chain()
        self.lay("2026-01-01_00-00-00", vm="db01")
        self.rclone_rules([{"prog": "rclone", "prefix": ["copy", os.path.join(self.root, "web01")],
                            "delay": 5, "times": 1}])
        first = self.box.start(["-r", self.root, "--to", self.remote, "-n", "web01"], binary=SYNC)
        self.box.wait_for_call("rclone", "copy")
        second = self.push("-n", "web01", "-n", "db01")
        self.assertEqual(second.rc, 1)
        self.assertRegex(second.err, r"ERROR: VM 'web01' is being worked on by another run: "
                                     r"quorlane-sync, pid %d, started " % first.pid)
        self.assertIn("Sync complete: VM 'db01', 1 backup(s) copied, 0 already on %s."
                      % self.remote, second.out_lines)
        out, err = first.communicate(timeout=120)
        self.assertEqual(first.returncode, 0, err)
        into = "%s/web01/%s" % (self.remote, TS[0])
        self.assertEqual([v[3] for v in self.box.calls("rclone") if v[1] == "copy"].count(into), 2)

    def test_check_finds_a_difference_of_the_same_size_and_time_and_a_push_repairs_it(self):
        self.lay_chain()
        self.assertEqual(self.push().rc, 0)
        image = self.spoil_remote_image(TS[1], keep_time=True)
        res = self.push("--check", "--download")
        self.assertEqual(res.rc, 3, res.err)
        self.assertIn("ERROR:   %s: differs from the local copy: web01-vda.qcow2 differs" % TS[1],
                      res.err_lines)
        self.assertIn("ERROR: The remote holds copies that differ from the local backups; the next "
                      "push copies them again.", res.err_lines)
        self.assertRegex(self.records()[-1], r"vm=web01 result=differs to=")
        # No longer complete there, and without the file that differs.
        self.assertFalse(os.path.exists(image))
        self.assertNotIn("web01/%s/web01-%s.log" % (TS[1], TS[1]), self.tree(self.remote))
        self.assertEqual(self.push().rc, 0)
        self.assertEqual(self.copies()[-2:], [TS[1], TS[1]])
        self.assertEqual(self.push("--check", "--download").rc, 0)

    def test_remote_retention_keeps_chains_whole_and_drops_unfinished_copies(self):
        self.lay_chain()
        self.lay("2026-01-04_00-00-00")
        self.assertEqual(self.push().rc, 0)
        unfinished = os.path.join(self.remote, "web01", "2025-12-31_00-00-00")
        os.makedirs(unfinished)
        open(os.path.join(unfinished, "web01-vda.qcow2"), "w").close()
        res = self.push("-k", "2")
        self.assertEqual(res.rc, 0, res.err)
        self.assertIn("  Deleting an unfinished remote copy: 2025-12-31_00-00-00", res.out_lines)
        # The newest two: the lone full backup and the tip of the chain, which needs all of it.
        self.assertEqual(sorted(os.listdir(os.path.join(self.remote, "web01"))),
                         TS + ["2026-01-04_00-00-00"])
        res = self.sync("-r", self.root, "--to", self.remote, "-k", "1")
        self.assertEqual(res.rc, 0, res.err)
        self.assertEqual(os.listdir(os.path.join(self.remote, "web01")), ["2026-01-04_00-00-00"])
        self.assertIn("  Deleting remote backup: %s" % TS[2], res.out_lines)

    def test_metrics_tell_when_the_last_push_succeeded(self):
        self.lay_chain()
        metrics = self.box.path("textfile")
        os.makedirs(metrics)
        self.assertEqual(self.push("--metrics-dir", metrics).rc, 0)
        with open(os.path.join(metrics, "quorlane-sync-web01.prom")) as f:
            first = f.read()
        self.assertIn('quorlane_sync_last_result{vm="web01",result="success",stage=""} 1', first)
        self.assertIn('quorlane_sync_remote_backups{vm="web01"} 3', first)
        self.assertIn('quorlane_sync_unsynced_age_seconds{vm="web01"} 0', first)
        success = re.search(r"^quorlane_sync_last_success_timestamp_seconds\S* (\d+)$", first,
                            re.M)[1]
        self.lay("2026-01-04_00-00-00")
        self.rclone_rules([{"prog": "rclone", "prefix": ["copy"], "exit": 1}])
        self.assertEqual(self.push("--metrics-dir", metrics).rc, 1)
        with open(os.path.join(metrics, "quorlane-sync-web01.prom")) as f:
            failed = f.read()
        self.assertIn("quorlane_sync_last_success_timestamp_seconds{vm=\"web01\"} " + success,
                      failed)
        self.assertIn('result="failure",stage="step3_copy"} 1', failed)
        age = float(re.search(r"^quorlane_sync_unsynced_age_seconds\S* (\S+)$", failed, re.M)[1])
        self.assertGreater(age, 86400 * 300)
        self.assertEqual(os.listdir(metrics), ["quorlane-sync-web01.prom"])


class PullTest(SyncTest):
    def test_a_pull_brings_a_backup_back_with_its_chain(self):
        self.lay_chain()
        self.lay("2026-01-01_00-00-00", vm="db01")
        self.assertEqual(self.push().rc, 0)
        pulled = self.box.path("pulled")
        os.makedirs(pulled)
        res = self.sync("-r", pulled, "--from", self.remote, "-n", "web01", "-t", TS[1])
        self.assertEqual(res.rc, 0, res.err)
        self.assertEqual(self.tree(pulled), [f for f in self.tree(self.root)
                                             if f.startswith(("web01/" + TS[0], "web01/" + TS[1]))])
        for f in self.tree(pulled):
            with open(os.path.join(pulled, f), "rb") as a, open(os.path.join(self.root, f), "rb") as b:
                self.assertEqual(a.read(), b.read(), f)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(pulled, "web01", TS[1])).st_mode), 0o700)
        listing = self.sync("--from", self.remote, "-n", "web01", "--list")
        self.assertEqual(listing.rc, 0, listing.err)
        self.assertEqual([re.sub(r"size: \S+ \S+", "size", l) for l in listing.out.splitlines()],
                         ["%s  complete    size  kind: incremental, parent %s" % (TS[2], TS[1]),
                          "%s  complete    size  kind: incremental, parent %s" % (TS[1], TS[0]),
                          "%s  complete    size  kind: full" % TS[0]])

    def test_a_pull_refuses_a_chain_with_a_missing_parent(self):
        self.lay_chain()
        self.assertEqual(self.push().rc, 0)
        shutil.rmtree(os.path.join(self.remote, "web01", TS[0]))
        pulled = self.box.path("pulled")
        os.makedirs(pulled)
        res = self.sync("-r", pulled, "--from", self.remote, "-n", "web01")
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: Backup %s, on which %s depends, is not complete on %s"
                      % (TS[0], TS[2], self.remote), res.err_lines)
        self.assertEqual(os.listdir(pulled), [])
        # A push sends the missing parent again.
        self.assertEqual(self.push().rc, 0)
        self.assertEqual(self.tree(self.remote), self.tree(self.root))


class RefusalTest(SyncTest):
    def test_without_rclone_it_says_what_to_install(self):
        self.lay_chain()
        os.remove(os.path.join(self.box.bin, "rclone"))
        tools = self.box.path("tools")
        os.makedirs(tools)
        os.symlink(shutil.which("mount"), os.path.join(tools, "mount"))
        res = self.sync("-r", self.root, "--to", self.remote, path=self.box.bin + ":" + tools)
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: Could not read %s/web01: rclone not found on PATH (install rclone)"
                      % self.remote, res.err_lines)

    def test_credentials_stay_out_of_argument_vectors_and_readable_files(self):
        self.lay_chain()
        res = self.sync("-r", self.root, "--to", ":s3,secret_access_key=abc:bucket")
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: Credentials belong in rclone's configuration file (--config), not "
                      "on the command line: secret_access_key", res.err.splitlines())
        config = self.box.path("rclone.conf")
        with open(config, "w") as f:
            f.write("[offsite]\ntype = local\n")
        os.chmod(config, 0o644)
        res = self.push("--config", config)
        self.assertEqual(res.rc, 1)
        self.assertIn("ERROR: rclone configuration file %s can be read by others (mode 0644), and "
                      "it holds the remotes' credentials. Run: chmod 600 %s" % (config, config),
                      res.err_lines)
        self.assertEqual(self.box.calls("rclone"), [])
        os.chmod(config, 0o600)
        res = self.sync("-r", self.root, "--to", "offsite:" + self.remote, "--config", config)
        self.assertEqual(res.rc, 0, res.err)


if __name__ == "__main__":
    unittest.main()
