"""The host-wide application log written by the real binary: one line per run."""
import os
import re
import unittest

from harness import TS, SandboxTest, fresh_sandbox, healthy_vm, strip_ts

START = "Step 1: Validating arguments and environment..."
TAIL = r" duration=\d+s version=0\.1\.5-prototype$"
DIR_WARNING = "WARN: Could not create application log directory: /var/log/quorlane\n"
FILE_WARNING = "WARN: Could not write to application log: /var/log/quorlane/quorlane-backup.log\n"


def record(fields):
    """Pattern of a whole line: timestamp frame, the given fields, duration and version."""
    return "^" + TS + re.escape(fields) + TAIL


def raw_log(box, *where):
    """The application log as bytes (None when missing), so that every byte is checked."""
    path = os.path.join(box.varlog, *(where or ("quorlane", "quorlane-backup.log")))
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


class ApplicationLogTest(SandboxTest):
    fresh = fresh_sandbox

    def dry_args(self, vm="web01"):
        return ["-n", vm, "-r", self.root, "-k", "3", "-d"]

    def assertOneLine(self, pattern, *where):
        content = raw_log(self.box, *where)
        self.assertIsNotNone(content)
        self.assertEqual(content.count(b"\n"), 1, content)
        self.assertTrue(content.endswith(b"\n"))
        self.assertRegex(content[:-1].decode(), pattern)

    def test_dry_run_line_and_append(self):
        self.fresh(healthy_vm())
        self.assertFalse(os.path.exists(self.box.path("varlog", "quorlane")))
        self.assertEqual(self.box.run(self.dry_args()).rc, 0)
        self.assertOneLine(record("vm=web01 result=dry_run"))
        first = raw_log(self.box)
        self.assertEqual(self.box.run(self.dry_args()).rc, 0)
        second = raw_log(self.box)
        self.assertTrue(second.startswith(first))
        self.assertEqual(second.count(b"\n"), 2)
        self.assertRegex(second[len(first):-1].decode(), record("vm=web01 result=dry_run"))

    def test_validation_failure_line(self):
        self.fresh()
        result = self.box.run(["-n", "web01", "-k", "3"])
        self.assertEqual(result.rc, 1)
        self.assertOneLine(record("vm=web01 result=failure stage=validation_or_setup"))

    def test_no_line_without_vm_name(self):
        self.fresh(healthy_vm())
        for args in ([], ["-r", self.root, "-k", "3", "-d"], ["-n", "", "-r", self.root, "-k", "3"]):
            with self.subTest(args=args):
                self.assertEqual(self.box.run(args).rc, 1)
                self.assertFalse(os.path.exists(self.box.path("varlog", "quorlane")))

    def test_keep_count_out_of_range_is_an_unexpected_error(self):
        for raw in ("99999999999999999999", "9223372036854775808"):
            with self.subTest(raw=raw):
                self.fresh(healthy_vm())
                result = self.box.run(["-n", "web01", "-r", self.root, "-k", raw, "-d"])
                self.assertEqual(result.rc, 1)
                self.assertEqual(result.out_lines, [START])
                self.assertEqual(result.err_lines, ["ERROR: Unexpected error: stol"])
                self.assertEqual(self.box.calls(), [])
                self.assertIsNone(raw_log(self.box))
                self.assertEqual(os.listdir(self.root), [])

    def test_vm_name_written_as_typed_except_control_bytes(self):
        cases = [("newline", "web\n01", "web\\x0a01"),
                 ("forged record", "x result=success\n[2026-01-01 00:00:00] vm=y",
                  "x result=success\\x0a[2026-01-01 00:00:00] vm=y"),
                 ("CR, tab, escape, DEL", "\ra\tb\x1bc\x7f", "\\x0da\\x09b\\x1bc\\x7f"),
                 ("lowest and unit separator", "\x01\x1f", "\\x01\\x1f"),
                 ("blanks", "my web vm", "my web vm"),
                 ("printable and non-ASCII kept", "d\u00e9j\u00e0 \\x0a ~'\"", "d\u00e9j\u00e0 \\x0a ~'\"")]
        for name, vm, written in cases:
            with self.subTest(name):
                self.fresh()
                self.assertEqual(self.box.run(["-n", vm, "-k", "3"]).rc, 1)
                self.assertOneLine(record("vm=%s result=failure stage=validation_or_setup" % written))

    def test_vm_name_with_blanks_and_newline_in_a_dry_run(self):
        for vm, written in (("my web vm", "my web vm"), ("web\n01", "web\\x0a01")):
            with self.subTest(vm=vm):
                self.fresh(healthy_vm(name=vm))
                self.assertEqual(self.box.run(self.dry_args(vm)).rc, 0)
                self.assertOneLine(record("vm=%s result=dry_run" % written))

    def test_directory_not_creatable(self):
        def plain_file(box):
            open(box.path("varlog", "quorlane"), "w").close()

        ro_tmpfs = "mount -t tmpfs -o ro tmpfs /var/log || exit 98"
        for name, prepare, setup in [("read-only /var/log", None, ro_tmpfs),
                                     ("plain file in the way", plain_file, "")]:
            with self.subTest(name):
                self.fresh(healthy_vm())
                if prepare:
                    prepare(self.box)
                result = self.box.run(self.dry_args(), setup=setup)
                self.assertEqual((result.rc, result.err), (0, DIR_WARNING))
                result = self.box.run(["-n", "web01", "-k", "3"], setup=setup)
                self.assertEqual(result.rc, 1)
                self.assertTrue(result.err.endswith("\n" + DIR_WARNING), result.err)
                self.assertEqual(strip_ts(result.err[:-len(DIR_WARNING)]),
                                 ["ERROR: Missing required argument: --backup-root"])
                # No outcome to record, so no attempt and no warning.
                result = self.box.run([], setup=setup)
                self.assertEqual(result.rc, 1)
                self.assertEqual(strip_ts(result.err), ["ERROR: Missing required argument: --vm-name"])
                self.assertFalse(os.path.isdir(self.box.path("varlog", "quorlane")))

    def test_file_not_writable(self):
        def directory_in_the_way(box):
            os.makedirs(box.path("varlog", "quorlane", "quorlane-backup.log"))
            return ""

        def read_only_dir(box):
            os.makedirs(box.path("varlog", "quorlane"))
            with open(box.path("varlog", "quorlane", "quorlane-backup.log"), "w") as f:
                f.write("earlier line\n")
            return ("mount --bind /var/log/quorlane /var/log/quorlane && "
                    "mount -o remount,ro,bind /var/log/quorlane || exit 98")

        for name, prepare in [("directory in the way", directory_in_the_way),
                              ("read-only file system", read_only_dir)]:
            with self.subTest(name):
                self.fresh(healthy_vm())
                setup = prepare(self.box)
                before = raw_log(self.box) if name.startswith("read") else None
                result = self.box.run(self.dry_args(), setup=setup)
                self.assertEqual((result.rc, result.err), (0, FILE_WARNING))
                result = self.box.run(["-n", "web01", "-k", "3"], setup=setup)
                self.assertEqual(result.rc, 1)
                self.assertEqual(result.err.splitlines(keepends=True)[-1], FILE_WARNING)
                if before is not None:
                    self.assertEqual(raw_log(self.box), before)

    def test_log_directory_as_link_to_existing_directory(self):
        self.fresh(healthy_vm())
        os.makedirs(self.box.path("varlog", "real"))
        # Inside the namespace the box's varlog is /var/log.
        os.symlink("/var/log/real", self.box.path("varlog", "quorlane"))
        self.assertEqual(self.box.run(self.dry_args()).rc, 0)
        self.assertTrue(os.path.islink(self.box.path("varlog", "quorlane")))
        self.assertOneLine(record("vm=web01 result=dry_run"), "real", "quorlane-backup.log")


if __name__ == "__main__":
    unittest.main()
