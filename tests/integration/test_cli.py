"""Command line of the real binary: help, unknown options, options without a value."""
import os
import unittest

from harness import HERE, SandboxTest, healthy_vm

# A literal copy of the expected help text, shared with the unit tests.
with open(os.path.join(HERE, "..", "data", "usage.txt"), encoding="utf-8", newline="") as _f:
    USAGE = _f.read()


class CommandLineTest(SandboxTest):
    def assertUsageError(self, args, message):
        """The parser refused args: message, blank line, usage, status 1, nothing run."""
        result = self.box.run(args)
        self.assertEqual(result.rc, 1)
        self.assertEqual(result.out, "")
        self.assertEqual(result.err, "ERROR: " + message + "\n\n" + USAGE)
        self.assertEqual(self.box.calls(), [])
        self.assertEqual(self.box.app_log(), [])
        self.assertFalse(os.path.exists(self.box.path("varlog", "quorlane")))

    def test_help_prints_usage_on_stdout_only(self):
        self.assertEqual(len(USAGE.splitlines()), 54)
        for args in (["--help"], ["-h"], ["-n", "web01", "-h", "--bogus"], ["-k", "abc", "--help"]):
            with self.subTest(args=args):
                result = self.box.run(args)
                self.assertEqual((result.rc, result.out, result.err), (0, USAGE, ""))
                self.assertEqual(self.box.calls(), [])
                self.assertEqual(self.box.app_log(), [])

    def test_option_without_value(self):
        for args in (["-n"], ["--vm-name"], ["-r"], ["--backup-root"], ["-k"], ["--keep-count"],
                     ["-n", "web01", "-r", "/backups", "-k"], ["-q", "-v", "--backup-root"]):
            with self.subTest(args=args):
                self.assertUsageError(args, "Option requires a value: " + args[-1])

    def test_unknown_option(self):
        cases = [(["--vm-name=web01"], "--vm-name=web01"), (["-qv"], "-qv"), (["-nweb01"], "-nweb01"),
                 (["web01"], "web01"), (["--HELP"], "--HELP"), (["-H"], "-H"), ([""], ""),
                 (["-"], "-"), (["--"], "--"), (["-n", "web01", "-r", "/b", "-k", "3", "extra"], "extra"),
                 (["--bogus", "-h"], "--bogus"), (["--bogus", "-n"], "--bogus")]
        for args, bad in cases:
            with self.subTest(args=args):
                self.assertUsageError(args, "Unknown option: " + bad)

    def test_first_problem_from_the_left_decides(self):
        self.assertUsageError(["-x", "-n"], "Unknown option: -x")
        self.assertUsageError(["-d", "-k", "2", "-y", "-z"], "Unknown option: -y")

    def test_value_taken_verbatim_even_when_it_looks_like_an_option(self):
        # "-n --help" names the VM "--help"; the run then stops at the missing root.
        result = self.box.run(["-n", "--help"])
        self.assertEqual(result.rc, 1)
        self.assertEqual(result.out_lines, ["Step 1: Validating arguments and environment..."])
        self.assertEqual(result.err_lines, ["ERROR: Missing required argument: --backup-root"])
        self.assertEqual(len(self.box.app_log()), 1)
        self.assertRegex(self.box.app_log()[0], r"^\[[^]]+\] vm=--help result=failure ")

    def test_no_arguments_reach_validation(self):
        result = self.box.run([])
        self.assertEqual(result.rc, 1)
        self.assertEqual(result.out_lines, ["Step 1: Validating arguments and environment..."])
        self.assertEqual(result.err_lines, ["ERROR: Missing required argument: --vm-name"])
        self.assertEqual(self.box.calls(), [])
        self.assertEqual(self.box.app_log(), [])

    def test_last_value_wins_and_values_may_look_like_flags(self):
        root = self.box.path("backups")
        os.makedirs(root)
        cases = [("web01", ["-n", "other", "-k", "5", "--vm-name", "web01", "-r", root, "-k", "3",
                            "-d", "-d"]),
                 # "-q" is the VM's name here, so no quiescing and no guest-agent call.
                 ("-q", ["-n", "-q", "-r", root, "--keep-count", "3", "--dry-run"])]
        for vm, args in cases:
            with self.subTest(vm=vm):
                if os.path.exists(self.box.path("bin", "calls.jsonl")):
                    os.remove(self.box.path("bin", "calls.jsonl"))
                self.use(healthy_vm(name=vm))
                result = self.box.run(args)
                self.assertEqual(result.rc, 0, result.err)
                summary = result.out.splitlines()[2:]
                self.assertIn("VM:                  " + vm, summary)
                self.assertIn("Consistency:         crash-consistent (no quiesce)", summary)
                self.assertIn("Retention:           keep 3 most recent", summary)
                self.assertEqual([c[1:3] for c in self.box.calls()],
                                 [["dominfo", vm], ["snapshot-list", vm], ["domstate", vm],
                                  ["domblklist", vm], ["dumpxml", vm]])


if __name__ == "__main__":
    unittest.main()
