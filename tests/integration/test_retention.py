"""Pruning of old backups after a complete run."""
import os
import time
import unittest

from harness import (CONVERT, BackupTest, domain_xml, expected_run, healthy_vm, info,
                     lay_out_backup, trace)


class RetentionTest(BackupTest):

    def _prepare(self):
        super()._prepare()
        self.vm_dir = os.path.join(self.root, "web01")
        self.outside = self.box.path("elsewhere")

    def populate(self, entries):
        """Creates {name: kind} in the VM directory; kind is dir (a finished
        backup), unfinished (a run's log that never reached the end of the
        copy), nolog (a timestamp directory without a run's log), file,
        link-dir (to a finished backup elsewhere), link-file or dangling.
        Every entry has content, to check it is untouched."""
        os.makedirs(self.vm_dir, exist_ok=True)
        os.makedirs(self.outside, exist_ok=True)
        for name, kind in entries.items():
            path = os.path.join(self.vm_dir, name)
            if kind in ("dir", "nolog"):
                os.makedirs(os.path.join(path, "inner"))
                with open(os.path.join(path, "inner", "web01-vda.qcow2"), "w") as f:
                    f.write("backup " + name)
                if kind == "dir":
                    lay_out_backup(path)
            elif kind == "unfinished":
                lay_out_backup(path, finished=False)
            elif kind == "file":
                with open(path, "w") as f:
                    f.write("file " + name)
            else:
                target = os.path.join(self.outside, name)
                if kind == "link-dir":
                    lay_out_backup(os.path.join(target, name))
                    target = os.path.join(target, name)
                elif kind == "link-file":
                    with open(target, "w") as f:
                        f.write("link target " + name)
                os.symlink(target, path)

    def snapshot(self, top):
        found = {}
        for parent, dirs, files in os.walk(top):
            for name in dirs + files:
                path = os.path.join(parent, name)
                rel = os.path.relpath(path, top)
                if os.path.islink(path):
                    found[rel] = "-> " + os.readlink(path)
                elif os.path.isdir(path):
                    found[rel] = "dir"
                else:
                    with open(path) as f:
                        found[rel] = f.read()
        return found

    def complete_run(self, keep, *extra):
        disks = {"vda": self.box.path("images", "web01.qcow2")}
        self.lay_out(disks)
        self.use(healthy_vm(disks=disks))
        res = self.backup(*extra, keep=str(keep))
        self.assertEqual(res.rc, 0, res.err)
        self.disks, self.xml_lines = disks, len(domain_xml("web01", disks).splitlines())
        return res, self.backup_dir(res)

    def test_pruning(self):
        cases = [  # keep, entries, deleted in order (None: within the limit, with the count)
            (2, {"2026-02-27_01-00-00": "dir", "2026-02-28_01-00-00": "dir"},
             ["2026-02-27_01-00-00"]),
            (3, {"2026-02-27_01-00-00": "dir", "2026-02-28_01-00-00": "dir"}, 3),
            # Only names of the timestamp form are backups.
            (2, {"notes": "dir", "2026-01-01": "dir", "2026-01-01_00-00-00.old": "dir",
                 "x2026-01-01_00-00-00": "dir", "2026-01-01_00-00-0a": "dir",
                 "2020-01-01_00-00-00": "dir", "2020-01-02_00-00-00": "dir"},
             ["2020-01-01_00-00-00"]),
            (3, {"notes": "dir", "zzzz-zz-zz_zz-zz-zz": "dir", "2020-01-02_00-00-00": "dir"}, 2),
            # Files, links to files and dangling links are not backups.
            (1, {"stray.log": "file", "2020-01-03_00-00-00": "file",
                 "2020-01-04_00-00-00": "link-file", "2020-01-05_00-00-00": "dangling",
                 "2020-01-01_00-00-00": "dir"},
             ["2020-01-01_00-00-00"]),
            # A link to a directory counts, and pruning removes the link only.
            (2, {"2019-01-01_00-00-00": "dir", "2020-01-01_00-00-00": "link-dir"},
             ["2019-01-01_00-00-00"]),
            (1, {"2020-01-01_00-00-00": "link-dir", "2019-01-01_00-00-00": "dir"},
             ["2020-01-01_00-00-00", "2019-01-01_00-00-00"]),
            # An interrupted run's directory, or one without a run's log, takes
            # no place and is never deleted.
            (2, {"2020-01-01_00-00-00": "dir", "2020-01-02_00-00-00": "unfinished",
                 "2020-01-03_00-00-00": "dir", "2020-01-04_00-00-00": "nolog"},
             ["2020-01-01_00-00-00"]),
            (1, {"2020-01-01_00-00-00": "unfinished", "2020-01-02_00-00-00": "nolog"}, 1),
            # This run's backup keeps its place even when older ones sort above it.
            (2, {"2099-01-01_00-00-00": "dir", "2099-01-02_00-00-00": "dir"},
             ["2099-01-01_00-00-00"]),
            (1, {"2099-01-01_00-00-00": "dir", "2099-01-02_00-00-00": "dir",
                 "2020-01-01_00-00-00": "dir"},
             ["2099-01-02_00-00-00", "2099-01-01_00-00-00", "2020-01-01_00-00-00"]),
        ]
        for keep, entries, deleted in cases:
            with self.subTest(keep=keep, entries=sorted(entries)):
                self.new_box()
                self.populate(entries)
                before = self.snapshot(self.vm_dir)
                outside = self.snapshot(self.outside)
                res, d = self.complete_run(keep, "-v")
                ts = os.path.basename(d)
                if isinstance(deleted, int):
                    prune, deleted = [trace("%d backup(s) present, within retention limit." % deleted)], []
                else:
                    prune = [info("  Deleting old backup: " + name) for name in deleted]
                self.assertConsole(res, expected_run(d, self.disks, verbose=True, keep=keep,
                                                     xml_lines=self.xml_lines, prune=prune),
                                   backup_log=os.path.join(d, "web01-%s.log" % ts))
                self.assertEqual(sorted(os.listdir(self.vm_dir)),
                                 sorted([n for n in entries if n not in deleted] + [ts]))
                after = self.snapshot(self.vm_dir)
                self.assertEqual({k: v for k, v in after.items() if not k.startswith(ts)},
                                 {k: v for k, v in before.items()
                                  if k.split("/")[0] not in deleted})
                self.assertEqual(self.snapshot(self.outside), outside)

    def test_failed_run_prunes_nothing(self):
        old = {"2020-01-01_00-00-00": "dir", "2020-01-02_00-00-00": "dir", "notes": "dir"}
        self.populate(old)
        before = self.snapshot(self.vm_dir)
        disks = {"vda": self.box.path("images", "web01.qcow2")}
        self.lay_out(disks)
        self.use([{"prog": "qemu-img", "prefix": ["convert"], "exit": 1, "stderr": "boom\n"}]
                 + healthy_vm(disks=disks))
        res = self.backup("-v", keep="1")
        self.assertEqual(res.rc, 1)
        self.assertFalse([line for line in res.out_lines if line.startswith("Step 9")])
        self.assertEqual(self.snapshot(self.vm_dir), before)
        self.assertEqual([c[:2] for c in self.box.calls("qemu-img")], [CONVERT[:2]])

    def test_a_thousand_old_backups_with_keep_one(self):
        names = [time.strftime("%Y-%m-%d_%H-%M-%S", time.gmtime(946684800 + i * 3607))
                 for i in range(1000)]
        os.makedirs(self.vm_dir)
        for name in names:
            lay_out_backup(os.path.join(self.vm_dir, name))
        res, d = self.complete_run(1)
        self.assertConsole(res, expected_run(d, self.disks, keep=1, prune=[
            info("  Deleting old backup: " + name) for name in sorted(names, reverse=True)]))
        self.assertEqual(os.listdir(self.vm_dir), [os.path.basename(d)])


if __name__ == "__main__":
    unittest.main()
