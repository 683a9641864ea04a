"""Step 1 of the real binary: every refusal, its order, and the calls it makes."""
import os
import re
import shlex
import unittest

from harness import (TS, SandboxTest, fresh_sandbox, healthy_vm, prior_snapshot_lines, sandbox_tree,
                     strip_ts)

VM = "web01"
START = "Step 1: Validating arguments and environment..."
PASSED = "Step 1: validation passed."
DOMINFO = ["virsh", "dominfo", VM]
SNAPLIST = ["virsh", "snapshot-list", VM, "--name"]
DOMSTATE = ["virsh", "domstate", VM]
AGENT = ["virsh", "qemu-agent-command", "--timeout", "5", VM, '{"execute":"guest-ping"}']
DRY_CALLS = [DOMINFO, SNAPLIST, DOMSTATE, ["virsh", "domblklist", VM, "--details"],
             ["virsh", "dumpxml", VM]]
FAILURE_RECORD = (r"^" + TS + r"vm=web01 result=failure stage=validation_or_setup "
                  r"duration=\d+s version=0\.1\.5-prototype$")

NO_DOMAIN = {"prog": "virsh", "args": DOMINFO[1:], "exit": 1,
             "stderr": "error: failed to get domain 'web01'\n"}
LEFTOVER = {"prog": "virsh", "args": SNAPLIST[1:], "stdout": "quorlane-backup-temp\n"}
SILENT_AGENT = {"prog": "virsh", "prefix": ["qemu-agent-command"], "exit": 1,
                "stderr": "error: Guest agent is not responding: timed out\n"}


AGENT_LINES = ["ERROR: --quiesce was requested, but qemu-guest-agent is not",
               "ERROR: responsive on VM 'web01'. Either install/start the",
               "ERROR: agent inside the guest, or omit --quiesce to take a",
               "ERROR: crash-consistent backup."]


def export_path(value):
    """Shell run in the namespace so that only the binary sees this PATH."""
    return "unset PATH" if value is None else "export PATH=" + shlex.quote(value)


def read_only(path):
    q = shlex.quote(path)
    return "mount --bind %s %s && mount -o remount,ro,bind %s || exit 98" % (q, q, q)


class ValidationTest(SandboxTest):
    fresh = fresh_sandbox

    def args(self, *extra, keep="3"):
        return ["-n", VM, "-r", self.root, "-k", keep] + list(extra)

    def assertRefused(self, args, err_lines, calls, setup="", cwd=None, record=True):
        before = sandbox_tree(self.box)
        result = self.box.run(args, setup=setup, cwd=cwd)
        self.assertEqual(result.rc, 1, result.err)
        self.assertEqual(result.out_lines, [START])
        self.assertEqual(result.err_lines, err_lines)
        self.assertEqual(self.box.calls(), calls)
        self.assertEqual(sandbox_tree(self.box), before)
        log = self.box.app_log()
        if record:
            self.assertEqual(len(log), 1, log)
            self.assertRegex(log[0], FAILURE_RECORD)
        else:
            self.assertEqual(log, [])

    def assertPassed(self, args, setup="", cwd=None, calls=DRY_CALLS):
        """A dry run that gets through step 1."""
        result = self.box.run(args, setup=setup, cwd=cwd)
        self.assertEqual(result.rc, 0, result.err)
        lines = result.out.splitlines()
        self.assertEqual(strip_ts("\n".join(lines[:2])), [START, PASSED])
        self.assertEqual(lines[2:4], ["", "=== DRY RUN SUMMARY ==="])
        self.assertEqual(self.box.calls(), calls)
        return result

    def test_each_refusal_in_check_order(self):
        # Each row also carries the problems of later checks, which must not show.
        # {root} is the backup root, {box} the sandbox.
        full = ["-n", VM, "-r", "{root}", "-k", "3"]
        gone = ["-n", VM, "-r", "{box}/missing", "-k", "3"]
        cases = [
            ("no vm name", ["-k", "abc"], [], "", "Missing required argument: --vm-name", []),
            ("empty vm name", ["-n", "", "-r", "", "-k", "3"], [], "",
             "Missing required argument: --vm-name", []),
            ("no root", ["-n", VM, "-k", "abc"], [], "", "Missing required argument: --backup-root", []),
            ("empty root", ["-n", VM, "-r", "", "-k", "0"], [], "",
             "Missing required argument: --backup-root", []),
            ("no keep count", ["-n", VM, "-r", "{root}"], [], export_path(None),
             "Missing required argument: --keep-count", []),
            ("empty keep count", ["-n", VM, "-r", "{root}", "-k", ""], [], export_path(None),
             "Missing required argument: --keep-count", []),
            ("bad keep count", full[:-1] + ["0"], [NO_DOMAIN], export_path(None),
             "--keep-count must be a positive integer (got: '0')", []),
            ("no virsh", gone, [NO_DOMAIN], export_path("/nonexistent"),
             "Required command not found in PATH: virsh", []),
            ("no domain", gone, [NO_DOMAIN], "", "VM 'web01' not found, or libvirt is unreachable",
             [DOMINFO]),
            ("missing root", gone, [LEFTOVER], "",
             "Backup root does not exist or is not a directory: {box}/missing", [DOMINFO]),
            ("read-only root", full, [LEFTOVER], "{ro}", "Backup root is not writable: {root}", [DOMINFO]),
        ]
        for name, args, rules, setup, message, calls in cases:
            with self.subTest(name):
                self.fresh(rules + healthy_vm())
                fill = dict(root=self.root, box=self.box.root, ro=read_only(self.root))
                args = [a.format(**fill) for a in args]
                self.assertRefused(args, ["ERROR: " + message.format(**fill)], calls,
                                   setup=setup.format(**fill), record=args[:1] == ["-n"] and args[1] != "")

    def test_missing_qemu_img(self):
        self.fresh([NO_DOMAIN] + healthy_vm())
        os.remove(os.path.join(self.box.bin, "qemu-img"))
        self.assertRefused(self.args(), ["ERROR: Required command not found in PATH: qemu-img"], [],
                           setup=export_path(self.box.bin))

    def test_keep_count_must_be_plain_positive_decimal(self):
        for raw in ("0", "00", "012", "-1", "+1", "1.5", "abc", "1 ", " 1", "0x10", "1e3"):
            with self.subTest(raw=raw):
                self.fresh(healthy_vm())
                self.assertRefused(self.args(keep=raw),
                                   ["ERROR: --keep-count must be a positive integer (got: '%s')" % raw],
                                   [])
        for raw in ("1", "9223372036854775807"):
            with self.subTest(raw=raw):
                self.fresh(healthy_vm())
                result = self.assertPassed(self.args("-d", keep=raw))
                self.assertIn("Retention:           keep %s most recent" % raw,
                              result.out.splitlines())

    def test_jobs_must_be_a_count_qemu_img_accepts(self):
        for raw, message in [("0", "--jobs must be a positive integer (got: '0')"),
                             ("02", "--jobs must be a positive integer (got: '02')"),
                             ("two", "--jobs must be a positive integer (got: 'two')"),
                             ("17", "--jobs must be at most 16 (got: '17')"),
                             ("99999999999999999999", "--jobs must be at most 16 (got: "
                              "'99999999999999999999')")]:
            with self.subTest(raw=raw):
                self.fresh(healthy_vm())
                self.assertRefused(self.args("-j", raw), ["ERROR: " + message], [])
        self.fresh(healthy_vm())
        plain = self.assertPassed(self.args("-d")).out.splitlines()
        self.assertFalse([l for l in plain if l.startswith("Disk copies:")])
        for raw in ("1", "16"):
            with self.subTest(raw=raw):
                self.fresh(healthy_vm())
                summary = self.assertPassed(self.args("-d", "--jobs", raw)).out.splitlines()
                at = summary.index(
                    "Disk copies:         %s requests in flight (qemu-img convert -W -m %s)"
                    % (raw, raw))
                self.assertEqual(len(summary), len(plain) + 1)
                self.assertEqual(summary[at - 1], "Retention:           keep 3 most recent")
                self.assertEqual(summary[at + 1:], plain[at:])

    def test_programs_looked_up_in_path(self):
        refused = [("unset", None, None), ("empty", "", None), ("colon only", ":", None),
                   # An empty entry is not the current directory, where both stand-ins are.
                   ("empty entry", "/nonexistent::", "bin")]
        for name, value, cwd in refused:
            with self.subTest(name):
                self.fresh(healthy_vm())
                self.assertRefused(self.args(), ["ERROR: Required command not found in PATH: virsh"],
                                   [], setup=export_path(value),
                                   cwd=self.box.path(cwd) if cwd else None)
        with self.subTest("missing dir, empty entry, trailing colon"):
            self.fresh(healthy_vm())
            self.assertPassed(self.args("-d"), setup=export_path("/nonexistent::%s:" % self.box.bin))

    def test_backup_root_must_be_a_directory(self):
        for name, make in [("regular file", lambda p: open(p, "w").close()),
                           ("dangling link", lambda p: os.symlink(p + ".gone", p))]:
            with self.subTest(name):
                self.fresh(healthy_vm())
                path = self.box.path("root")
                make(path)
                self.assertRefused(self.args("-r", path),
                                   ["ERROR: Backup root does not exist or is not a directory: " + path],
                                   [DOMINFO])

    def test_backup_root_link_to_writable_dir_passes(self):
        self.fresh(healthy_vm())
        link = self.box.path("link")
        os.symlink(self.root, link)
        result = self.assertPassed(self.args("-r", link, "-d"))
        self.assertRegex(result.out, r"\nBackup directory:    %s/web01/\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\n"
                         % re.escape(link))
        self.assertEqual(os.listdir(self.root), [])

    def test_leftover_snapshot_lines(self):
        # The root is echoed exactly as typed, trailing slash included.
        self.fresh([LEFTOVER] + healthy_vm())
        typed = self.root + "/"
        self.assertRefused(["-n", VM, "-r", typed, "-k", "3", "-q"], prior_snapshot_lines(VM, typed),
                           [DOMINFO, SNAPLIST])

    def test_leftover_snapshot_detection(self):
        cases = [("alone", "quorlane-backup-temp\n", 0, True),
                 ("among others, blanks around", "daily\n  quorlane-backup-temp  \nlast\n", 0, True),
                 ("CR LF", "quorlane-backup-temp\r\n", 0, True),
                 ("tab and CR", "\tquorlane-backup-temp\r\n\n", 0, True),
                 ("listing failed but named it", "quorlane-backup-temp\n", 1, True),
                 ("longer name", "quorlane-backup-temp2\n", 0, False),
                 ("capital first letter", "Quorlane-backup-temp\n", 0, False),
                 ("name inside a line", "my quorlane-backup-temp\nquorlane-backup-temp.old\n", 0, False),
                 ("empty listing", "\n", 0, False),
                 ("listing failed", "", 1, False)]
        for name, stdout, code, present in cases:
            with self.subTest(name):
                self.fresh([{"prog": "virsh", "args": SNAPLIST[1:], "stdout": stdout, "exit": code}]
                           + healthy_vm())
                if present:
                    self.assertRefused(self.args(), prior_snapshot_lines(VM, self.root),
                                       [DOMINFO, SNAPLIST])
                else:
                    self.assertPassed(self.args("-d"))

    def test_silent_guest_agent_with_quiesce_on_running_vm(self):
        self.fresh([SILENT_AGENT] + healthy_vm())
        self.assertRefused(self.args("-q"), AGENT_LINES, [DOMINFO, SNAPLIST, DOMSTATE, AGENT])

    def test_agent_asked_only_with_quiesce_and_exactly_running(self):
        cases = [("quiesce, shut off", "shut off\n", 0, ["-q"], False),
                 ("quiesce, paused", "paused\n", 0, ["-q"], False),
                 ("quiesce, state query failed", "", 1, ["-q"], False),
                 ("running, no quiesce", "running\n", 0, [], False),
                 ("quiesce, running with blanks", " running \n\n", 0, ["-q"], True)]
        for name, stdout, code, extra, asked in cases:
            with self.subTest(name):
                # The agent stays silent: only a call it is not asked for lets the run pass.
                self.fresh([SILENT_AGENT, {"prog": "virsh", "args": DOMSTATE[1:], "stdout": stdout,
                                           "exit": code}] + healthy_vm())
                if asked:
                    self.assertRefused(self.args(*extra), AGENT_LINES,
                                       [DOMINFO, SNAPLIST, DOMSTATE, AGENT])
                else:
                    self.assertPassed(self.args("-d", *extra))

    def test_quiet_success_prints_two_lines(self):
        self.fresh(healthy_vm())
        result = self.assertPassed(self.args("-d"))
        self.assertEqual(result.err, "")

    def test_verbose_success_traces_state_and_agent(self):
        self.fresh(healthy_vm())
        result = self.assertPassed(self.args("-d", "-v"))
        self.assertEqual(result.err_lines, ["  VM 'web01' power state: running"])

        self.fresh(healthy_vm())
        result = self.assertPassed(self.args("-d", "-v", "-q"),
                                   calls=DRY_CALLS[:3] + [AGENT] + DRY_CALLS[3:])
        self.assertEqual(result.err_lines, ["  VM 'web01' power state: running",
                                            "  Checking qemu-guest-agent responsiveness...",
                                            "  Guest agent is responsive, quiesce will be applied."])

        self.fresh([SILENT_AGENT] + healthy_vm())
        result = self.box.run(self.args("-v", "-q"))
        self.assertEqual(result.rc, 1)
        self.assertEqual(result.err_lines, ["  VM 'web01' power state: running",
                                            "  Checking qemu-guest-agent responsiveness..."]
                         + AGENT_LINES)


if __name__ == "__main__":
    unittest.main()
