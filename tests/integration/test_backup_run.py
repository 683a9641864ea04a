"""Complete backup runs: console, argument vectors, files and run record."""
import os
import re
import select
import stat
import time
import unittest

from harness import (CONVERT, SNAPSHOT, BackupTest, domain_xml, disk_list, expected_calls,
                     expected_run, healthy_vm, image_bytes, info, strip_ts)


class BackupRunTest(BackupTest):

    def run_vm(self, disks, *extra, nvram=None, state="running", listed=None, keep="3", setup=""):
        """Lays out the VM, runs a backup and returns (result, backup dir, dumpxml text)."""
        self.lay_out(disks, nvram)
        rules = healthy_vm(disks=disks, nvram=nvram, state=state)
        if listed is not None:
            rules.insert(0, {"prog": "virsh", "args": ["domblklist", "web01", "--details"],
                             "stdout": listed})
        self.use(rules)
        before = time.strftime("%Y-%m-%d_%H-%M-%S")
        res = self.backup(*extra, keep=keep, setup=setup)
        return res, self.backup_dir(res, before), domain_xml("web01", disks, nvram)

    def test_single_disk_run_writes_the_backup_and_a_success_record(self):
        base = self.box.path("images", "web01.qcow2")
        disks = {"vda": base}
        res, d, xml = self.run_vm(disks)
        self.assertEqual(res.rc, 0, res.err)
        ts = os.path.basename(d)
        self.assertConsole(res, [
            info("Step 1: Validating arguments and environment..."),
            info("Step 1: validation passed."),
            info("Step 2: Creating backup directory: " + d),
            info("quorlane-backup v0.1.5-prototype - backing up 'web01'"),
            info("Step 3: Saving VM configuration to %s/web01.xml.backup..." % d),
            info("Step 4: Backing up NVRAM..."),
            info("  No NVRAM file (BIOS VM). Skipping."),
            info("Step 5: Creating external snapshot 'quorlane-backup-temp'..."),
            info("Snapshot created."),
            info("Step 6: Backing up disks (thin + compressed qcow2)..."),
            info("  vda: " + base),
            info("         -> %s/web01-vda.qcow2" % d),
            info("All disks backed up successfully."),
            info("Step 7: Generating corrected XML (normalized file names)..."),
            info("Corrected XML written: %s/web01.xml" % d),
            info("Step 8.a: Removing snapshot 'quorlane-backup-temp'..."),
            info("Snapshot removed (overlay merged into base by libvirt)."),
            info("Step 9: Pruning old backups (keeping 3 most recent)..."),
            info("Backup complete: " + d),
        ], backup_log=os.path.join(d, "web01-%s.log" % ts))
        self.assertEqual(self.box.calls(), [
            ["virsh", "dominfo", "web01"],
            ["virsh", "snapshot-list", "web01", "--name"],
            ["virsh", "domstate", "web01"],
            ["virsh", "dumpxml", "web01"],
            ["virsh", "domblklist", "web01", "--details"],
            ["virsh", "domstate", "web01"],
            ["virsh", "snapshot-create-as", "web01", "quorlane-backup-temp", "--disk-only",
             "--atomic", "--diskspec",
             "vda,snapshot=external,file=%s" % self.box.path(
                 "images", "web01-vda.quorlane-backup-temp.qcow2")],
            ["qemu-img", "convert", "-O", "qcow2", "-c", "-o", "compression_type=zstd", base,
             d + "/web01-vda.qcow2"],
            ["virsh", "snapshot-delete", "web01", "quorlane-backup-temp"],
        ])
        self.assertEqual(os.listdir(self.root), ["web01"])
        self.assertEqual(os.listdir(os.path.join(self.root, "web01")), [ts])
        self.assertEqual(sorted(os.listdir(d)), sorted(
            ["web01.xml.backup", "web01.xml", "web01-%s.log" % ts, "web01-vda.qcow2"]))
        with open(os.path.join(d, "web01.xml.backup")) as f:
            self.assertEqual(f.read(), xml)
        with open(os.path.join(d, "web01-vda.qcow2"), "rb") as f:
            self.assertEqual(f.read(), image_bytes("vda"))
        with open(os.path.join(d, "web01-%s.log" % ts)) as f:
            first = f.readline()
        self.assertRegex(first, r"^\[[-0-9 :]{19}\] quorlane-backup v0\.1\.5-prototype - "
                                r"backing up 'web01'\n$")
        self.assertRecord("success", directory=d, consistency="crash-consistent")

    def test_metrics_say_when_the_last_backup_completed_and_how_the_last_run_ended(self):
        metrics = self.box.path("textfile")
        os.makedirs(metrics)
        res, d, _ = self.run_vm({"vda": self.box.path("images", "web01.qcow2")}, "-M", metrics)
        self.assertEqual(res.rc, 0, res.err)
        prom = os.path.join(metrics, "quorlane-backup-web01.prom")
        with open(prom) as f:
            first = f.read()
        self.assertIn('quorlane_backup_last_result{vm="web01",result="success",stage=""} 1', first)
        self.assertIn('quorlane_backup_kind{vm="web01",kind="full"} 1', first)
        self.assertIn('quorlane_backup_local_backups{vm="web01"} 1', first)
        size = sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d))
        self.assertIn('quorlane_backup_bytes_written{vm="web01"} %d' % size, first)
        success = re.search(r"^quorlane_backup_last_success_timestamp_seconds\S* (\d+)$", first,
                            re.M)[1]
        self.use([{"prog": "virsh", "prefix": ["dominfo"], "exit": 1}])
        self.assertEqual(self.backup("--metrics-dir", metrics).rc, 1)
        with open(prom) as f:
            failed = f.read()
        self.assertIn('result="failure",stage="validation_or_setup"} 1', failed)
        self.assertIn('quorlane_backup_last_success_timestamp_seconds{vm="web01"} ' + success,
                      failed)
        self.assertEqual(os.listdir(metrics), ["quorlane-backup-web01.prom"])
        # Without the directory (no node exporter on the host) nothing is written.
        self.assertEqual(self.backup("-M", self.box.path("none")).rc, 1)
        self.assertFalse(os.path.exists(self.box.path("none")))

    def test_uefi_run_copies_nvram_under_the_vm_name(self):
        disks = {"vda": self.box.path("images", "web01.qcow2")}
        nvram = self.box.path("nvram", "web01_VARS.fd")
        res, d, xml = self.run_vm(disks, "-v", nvram=nvram)
        self.assertEqual(res.rc, 0, res.err)
        ts = os.path.basename(d)
        self.assertConsole(res, expected_run(d, disks, nvram=nvram, verbose=True,
                                             xml_lines=len(xml.splitlines())),
                           backup_log=os.path.join(d, "web01-%s.log" % ts))
        self.assertEqual(self.box.calls(), expected_calls(d, disks))
        self.assertEqual(sorted(os.listdir(d)), sorted(
            ["web01.xml.backup", "web01.xml", "web01-%s.log" % ts, "web01-vda.qcow2",
             "web01-nvram.fd"]))
        with open(os.path.join(d, "web01-nvram.fd"), "rb") as f:
            self.assertEqual(f.read(), image_bytes("nvram"))
        self.assertRecord("success", directory=d, consistency="crash-consistent")

    def test_disks_are_handled_in_target_order_whatever_the_listing_order(self):
        # vdb is listed first and lies in another directory than vda.
        disks = {"vdb": self.box.path("data", "disk0.img"),
                 "vda": self.box.path("images", "web01.qcow2")}
        res, d, xml = self.run_vm(disks, "-v", listed=disk_list(disks))
        self.assertEqual(res.rc, 0, res.err)
        self.assertConsole(res, expected_run(d, disks, verbose=True,
                                             xml_lines=len(xml.splitlines())))
        calls = self.box.calls()
        self.assertEqual(calls, expected_calls(d, disks))
        self.assertEqual(calls[6][6:], [
            "--diskspec", "vda,snapshot=external,file=" + self.box.path(
                "images", "web01-vda.quorlane-backup-temp.qcow2"),
            "--diskspec", "vdb,snapshot=external,file=" + self.box.path(
                "data", "web01-vdb.quorlane-backup-temp.qcow2")])
        self.assertEqual([c[-1] for c in calls if c[0] == "qemu-img"],
                         [d + "/web01-vda.qcow2", d + "/web01-vdb.qcow2"])
        for target in ("vda", "vdb"):
            with open(os.path.join(d, "web01-%s.qcow2" % target), "rb") as f:
                self.assertEqual(f.read(), image_bytes(target))

    def test_jobs_convert_each_disk_out_of_order_and_change_nothing_else(self):
        disks = {"vda": self.box.path("images", "web01.qcow2"),
                 "vdb": self.box.path("data", "disk0.img")}
        res, d, xml = self.run_vm(disks, "--jobs", "3")
        self.assertEqual(res.rc, 0, res.err)
        self.assertConsole(res, expected_run(d, disks, xml_lines=len(xml.splitlines())))
        calls = expected_calls(d, disks)
        for call in calls:
            if call[:2] == ["qemu-img", "convert"]:
                call[2:2] = ["-W", "-m", "3"]
        self.assertEqual(self.box.calls(), calls)

    def test_power_state_and_quiesce_decide_flag_and_consistency(self):
        cases = [  # state, options, consistency in the run record
            ("running", ["-q"], "application-consistent"),
            ("paused", ["-q"], "offline-consistent"),
            ("running", [], "crash-consistent"),
            ("shut off", [], "offline-consistent"),
            ("", [], None),
        ]
        for state, options, consistency in cases:
            with self.subTest(state=state, options=options):
                self.new_box()
                disks = {"vda": self.box.path("images", "web01.qcow2")}
                res, d, xml = self.run_vm(disks, "-v", *options, state=state)
                self.assertEqual(res.rc, 0, res.err)
                stripped = state.replace(" ", "")
                quiesce = bool(options)
                self.assertConsole(res, expected_run(
                    d, disks, state=stripped, quiesce=quiesce, verbose=True,
                    xml_lines=len(xml.splitlines())))
                calls = self.box.calls()
                self.assertEqual(calls, expected_calls(d, disks, state=stripped, quiesce=quiesce))
                self.assertEqual(calls.count(["virsh", "domstate", "web01"]), 2)
                snapshot = [c for c in calls if c[1] == "snapshot-create-as"][0]
                self.assertEqual(snapshot[4:7], ["--disk-only", "--atomic",
                                                 "--quiesce" if state == "running" and quiesce
                                                 else "--diskspec"])
                self.assertRecord("success", directory=d, consistency=consistency)

    def test_skipped_quiesce_leaves_no_trace_without_verbose(self):
        disks = {"vda": self.box.path("images", "web01.qcow2")}
        res, d, _ = self.run_vm(disks, "-q", state="paused")
        self.assertEqual(res.rc, 0, res.err)
        self.assertConsole(res, expected_run(d, disks, state="paused", quiesce=True))
        self.assertNotIn("--quiesce", [a for c in self.box.calls() for a in c])

    def test_base_path_without_directory_part(self):
        # Relative to the working directory of the run (the sandbox root).
        disks = {"vda": "web01.img"}
        res, d, _ = self.run_vm(disks)
        self.assertEqual(res.rc, 0, res.err)
        calls = self.box.calls()
        self.assertIn(["virsh", "snapshot-create-as", "web01", SNAPSHOT, "--disk-only", "--atomic",
                       "--diskspec", "vda,snapshot=external,file=web01-vda.quorlane-backup-temp.qcow2"],
                      calls)
        self.assertIn(CONVERT + ["web01.img", d + "/web01-vda.qcow2"], calls)
        with open(os.path.join(d, "web01.xml")) as f:
            self.assertIn("<source file='web01-vda.qcow2'/>", f.read())

    def test_source_with_blanks_is_kept_whole(self):
        base = self.box.path("my images", "web 01  disk.qcow2")
        disks = {"vda": base}
        res, d, _ = self.run_vm(disks, "-v")
        self.assertEqual(res.rc, 0, res.err)
        self.assertIn("  Disk found: vda -> " + base, res.err_lines)
        calls = self.box.calls()
        self.assertEqual(calls, expected_calls(d, disks))
        self.assertIn("vda,snapshot=external,file=" + self.box.path(
            "my images", "web01-vda.quorlane-backup-temp.qcow2"), calls[6])
        self.assertIn(CONVERT + [base, d + "/web01-vda.qcow2"], calls)
        with open(os.path.join(d, "web01.xml")) as f:
            corrected = f.read()
        self.assertIn("<source file='%s'/>" % self.box.path("my images", "web01-vda.qcow2"),
                      corrected)
        self.assertNotIn(base, corrected)

    def test_backup_directory_is_owner_only_whatever_the_umask(self):
        for umask in ("000", "022", "077"):
            with self.subTest(umask=umask):
                self.new_box()
                res, d, _ = self.run_vm({"vda": self.box.path("images", "web01.qcow2")},
                                        setup="umask " + umask)
                self.assertEqual(res.rc, 0, res.err)
                self.assertEqual(stat.S_IMODE(os.stat(d).st_mode), 0o700)

    def test_trailing_slash_on_the_root_gives_the_same_paths(self):
        disks = {"vda": self.box.path("images", "web01.qcow2")}
        self.lay_out(disks)
        self.use(healthy_vm(disks=disks))
        res = self.box.run(["-n", "web01", "-r", self.root + "/", "-k", "3"])
        self.assertEqual(res.rc, 0, res.err)
        d = self.backup_dir(res)
        self.assertEqual(res.out_lines[-1], "Backup complete: " + d)
        self.assertTrue(os.path.isfile(os.path.join(d, "web01-vda.qcow2")))

    def test_console_lines_reach_a_pipe_while_the_copy_runs(self):
        disks = {"vda": self.box.path("images", "web01.qcow2")}
        self.lay_out(disks)
        gate = self.box.path("copy-may-end")
        rules = healthy_vm(disks=disks)
        rules[-1] = {"prog": "qemu-img", "prefix": ["convert"],
                     "exec": ["sh", "-c", 'while [ ! -e "$0" ]; do sleep 0.05; done', gate]}
        self.use(rules)
        proc = self.box.start(["-n", "web01", "-r", self.root, "-k", "3"])
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        seen = ""
        while "         -> " not in seen:
            ready, _, _ = select.select([proc.stdout], [], [], 30)
            self.assertTrue(ready, "no further console line while the copy runs: %r" % seen)
            chunk = os.read(proc.stdout.fileno(), 4096).decode()
            self.assertTrue(chunk, "standard output closed after %r" % seen)
            seen += chunk
        self.assertIn("Step 6: Backing up disks (thin + compressed qcow2)...", strip_ts(seen))
        self.assertIsNone(proc.poll())
        open(gate, "w").close()
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0, err)
        self.assertTrue(strip_ts(out)[-1].startswith("Backup complete: "), out)

if __name__ == "__main__":
    unittest.main()
