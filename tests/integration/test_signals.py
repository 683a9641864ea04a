"""Termination signals sent to the real binary alone while step 1 runs."""
import os
import re
import signal
import unittest

from harness import TS, SandboxTest, fresh_sandbox, healthy_vm, strip_ts

START = "Step 1: Validating arguments and environment..."
PASSED = "Step 1: validation passed."
STEP1_CALLS = [["virsh", "dominfo", "web01"], ["virsh", "snapshot-list", "web01", "--name"],
               ["virsh", "domstate", "web01"]]


def slow(query, rules, seconds=2):
    """Makes the stand-in answer `virsh <query> web01` after a pause."""
    for rule in rules:
        if rule.get("args") and rule["args"][0] == query:
            rule["delay"] = seconds
    return rules


class SignalTest(SandboxTest):
    fresh = fresh_sandbox

    def signalled(self, args, query, signo):
        proc = self.box.start(["-n", "web01", "-r", self.root, "-k", "3"] + args)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.box.wait_for_call("virsh", query)
        os.kill(proc.pid, signo)
        out, err = proc.communicate(timeout=60)
        return proc.returncode, out, err

    def test_signal_during_validation_stops_before_anything_changes(self):
        cases = [(signal.SIGHUP, "dominfo", "Hangup", "SIGHUP (terminal disconnect)"),
                 (signal.SIGINT, "domstate", "Interrupt", "SIGINT (Ctrl-C)"),
                 (signal.SIGTERM, "snapshot-list", "Terminated", "SIGTERM")]
        for signo, query, text, reason in cases:
            with self.subTest(signal=signo.name):
                self.fresh(slow(query, healthy_vm()))
                rc, out, err = self.signalled([], query, signo)
                self.assertEqual(rc, 128 + signo)
                # The running query is not cut off: step 1 completes first.
                self.assertEqual(strip_ts(out), [START, PASSED])
                self.assertEqual(strip_ts(err), ["WARN:  Interrupted by %s; leaving snapshot and partial "
                                                 "backup as evidence for manual cleanup." % text])
                self.assertEqual(self.box.calls(), STEP1_CALLS)
                self.assertEqual(os.listdir(self.root), [])
                log = self.box.app_log()
                self.assertEqual(len(log), 1, log)
                self.assertRegex(log[0], "^" + TS + r"vm=web01 result=interrupted duration=\d+s "
                                 r"version=0\.1\.5-prototype reason=" + re.escape('"%s"' % reason) + "$")

    def test_dry_run_ignores_signal(self):
        self.fresh(slow("domstate", healthy_vm()))
        rc, out, err = self.signalled(["-d"], "domstate", signal.SIGINT)
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "")
        lines = out.splitlines()
        self.assertEqual(strip_ts("\n".join(lines[:2])), [START, PASSED])
        self.assertEqual(lines[-1], "(Dry run. No changes made.)")
        self.assertEqual(self.box.calls(), STEP1_CALLS + [["virsh", "domblklist", "web01", "--details"],
                                                          ["virsh", "dumpxml", "web01"]])
        self.assertEqual(os.listdir(self.root), [])
        log = self.box.app_log()
        self.assertEqual(len(log), 1, log)
        self.assertRegex(log[0], "^" + TS + r"vm=web01 result=dry_run duration=\d+s "
                         r"version=0\.1\.5-prototype$")


if __name__ == "__main__":
    unittest.main()
