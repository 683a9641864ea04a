"""quorlane-restore: command line, usage text, list and exit codes."""
import os
import unittest

from harness import DISKS_COPIED, RestoreTest, real_qemu_img


class RestoreCommandLineTest(RestoreTest):

    def test_help_goes_to_stdout_and_usage_errors_to_stderr_with_the_same_text(self):
        res = self.restore("--help")
        self.assertEqual((res.rc, res.err), (0, ""))
        usage = res.out
        self.assertTrue(usage.startswith("quorlane-restore v0.1.5-prototype\n"), usage)
        for option in ("-b, --backup-dir", "-n, --vm-name", "-r, --backup-root", "-t, --timestamp",
                       "-l, --list", "-c, --check", "-a, --as", "-i, --image-dir", "-D, --define",
                       "-s, --start", "-f, --force", "-d, --dry-run", "-v, --verbose", "-h, --help",
                       "--ls [PATH]", "-x, --extract PATH", "-o, --output DIR", "--mount DIR",
                       "3  --check found the backup damaged or incomplete",
                       "4  --ls, --extract or --mount cannot read the guest's files as asked",
                       "128+N  interrupted by signal N"):
            self.assertIn(option, usage)
        refused = {
            ("-z",): "Unknown option: -z",
            ("-x",): "Option requires a value: -x",
            ("-lv",): "Unknown option: -lv",
            ("--as=copy",): "Unknown option: --as=copy",
            ("-b",): "Option requires a value: -b",
            # A script's empty variable is no value: an empty --as must not
            # turn a restore beside the original into one over it.
            ("-n", "w", "-r", "/x", "--as", "", "-i", "/y"): "Option requires a non-empty value: --as",
            ("-b", ""): "Option requires a non-empty value: -b",
            ("-n", "w", "-r", "/x", "-t", ""): "Option requires a non-empty value: -t",
            (): "Give either --backup-dir, or --vm-name together with --backup-root",
            ("-n", "web01"): "Give either --backup-dir, or --vm-name together with --backup-root",
            ("-b", "/x", "-n", "web01"): "--backup-dir cannot be combined with --vm-name, "
                                         "--backup-root or --timestamp",
            ("-n", "w", "-r", "/x", "-a", "copy"): "--as needs --image-dir: the directory for "
                                                   "the new VM's files",
            ("-n", "w", "-r", "/x", "-l", "-f"): "--list only reads the backup: --as, --image-dir, "
                                                 "--define, --start, --force and --dry-run do not "
                                                 "apply",
            ("-n", "w", "-r", "/x", "-c", "-s"): "--check only reads the backup: --as, "
                                                 "--image-dir, --define, --start, --force and "
                                                 "--dry-run do not apply",
            ("-n", "a/b", "-r", "/x"): "A VM name cannot contain '/': a/b",
        }
        for args, message in refused.items():
            with self.subTest(args=args):
                res = self.restore(*args)
                self.assertEqual((res.rc, res.out), (1, ""))
                self.assertEqual(res.err, "ERROR: %s\n\n%s" % (message, usage))
        self.assertEqual(self.box.calls(), [])
        self.assertEqual(self.box.restore_log(), [])

    def test_list_shows_every_backup_newest_first_and_changes_nothing(self):
        self.use(real_qemu_img())
        self.make_backup("2026-03-01_02-00-05", disks=("vda", "vdb"))
        self.make_backup("2026-03-02_02-00-04", complete=False)
        self.make_backup("2026-03-03_02-00-04", disks=("vdb",), corrected=False)
        os.makedirs(os.path.join(self.root, self.vm, "notes"))
        res = self.restore("-n", self.vm, "-r", self.root, "--list")
        self.assertEqual((res.rc, res.err), (0, ""))
        rows = [line.split() for line in res.out.splitlines()]
        self.assertEqual([r[:4] for r in rows], [
            ["2026-03-03_02-00-04", "complete", "disks:", "vdb"],
            ["2026-03-02_02-00-04", "incomplete", "disks:", "vda"],
            ["2026-03-01_02-00-05", "complete", "disks:", "vda,vdb"],
        ])
        for row in rows:
            self.assertEqual(row[4], "size:")
            self.assertRegex(" ".join(row[5:]), r"^\d+(\.\d)? (B|KiB|MiB)$")
        self.assertEqual(self.box.calls(), [])

    def test_list_and_check_of_a_vm_without_backups_fail(self):
        for action in ("--list", "--check"):
            with self.subTest(action=action):
                res = self.restore("-n", "ghost", "-r", self.root, action)
                self.assertEqual(res.rc, 1)
                self.assertIn("ERROR: No backups of VM 'ghost' under %s/ghost"
                              % self.root, res.err_lines)

    def test_a_complete_backup_is_told_by_its_framed_log_line_alone(self):
        d = self.make_backup()
        log = os.path.join(d, "%s-%s.log" % (self.vm, os.path.basename(d)))
        for name, write in [("the line without its timestamp frame",
                             lambda: open(log, "w").write("%s\n" % DISKS_COPIED)),
                            ("no log at all", lambda: os.remove(log))]:
            with self.subTest(name):
                write()
                res = self.restore("-n", self.vm, "-r", self.root, "-l")
                self.assertIn(" incomplete ", res.out)
                res = self.restore("-b", d, "--as", "copy", "-i", self.root)
                self.assertEqual(res.rc, 1)
                self.assertIn("ERROR: Backup is incomplete (its log lacks '%s'): %s"
                              % (DISKS_COPIED, d), res.err_lines)


if __name__ == "__main__":
    unittest.main()
