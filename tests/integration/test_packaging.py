"""What an operator installs: the Debian package and its files, the systemd
units, the man pages, the bash completions and the logrotate rule.

The package is built with cpack from the build tree that holds the binary
under test, into a scratch directory, and unpacked with `dpkg -x`; nothing is
installed on the machine.
"""
import glob
import grp
import gzip
import os
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
import unittest

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
PACKAGING = os.path.join(SOURCE, "packaging")
BUILD = os.path.dirname(os.path.abspath(harness.BINARY))

SYNC_BINARY = os.path.join(BUILD, "quorlane-sync")

# Installed file to the packaging file it is (None for a program); a .gz is
# that file compressed.
INSTALLED = {
    "usr/lib/systemd/system/quorlane-backup@.service": "quorlane-backup@.service",
    "usr/lib/systemd/system/quorlane-backup@.timer": "quorlane-backup@.timer",
    "usr/lib/systemd/system/quorlane-sync@.service": "quorlane-sync@.service",
    "usr/lib/systemd/system/quorlane-sync@.timer": "quorlane-sync@.timer",
    "etc/logrotate.d/quorlane-backup": "quorlane-backup.logrotate",
    "usr/share/doc/quorlane-backup/changelog.gz": "deb/changelog",
    "usr/share/doc/quorlane-backup/copyright": "deb/copyright",
}
for _program in ("quorlane-backup", "quorlane-restore", "quorlane-sync"):
    INSTALLED.update({
        "usr/sbin/" + _program: None,
        "usr/share/man/man8/%s.8.gz" % _program: _program + ".8",
        "usr/share/bash-completion/completions/" + _program: _program + ".bash-completion",
    })


def run(cmd, **kwargs):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def files_under(root):
    found = set()
    for dirpath, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(dirpath, name), root))
    return found


def help_options():
    """The (short, long) option pairs that the binary's --help lists."""
    res = run([harness.BINARY, "--help"])
    assert res.returncode == 0, res.stderr
    pairs = re.findall(r"^  (-\w), (--[\w-]+)\b", res.stdout, re.M)
    assert len(pairs) >= 7, res.stdout
    return pairs


def scratch_dir(test):
    path = tempfile.mkdtemp(prefix="quorlane-pkg-")
    test.addCleanup(shutil.rmtree, path, True)
    return path


class DebianPackage(unittest.TestCase):
    """cpack -G DEB from the build tree, unpacked into a scratch root."""

    @classmethod
    def setUpClass(cls):
        for tool in ("cpack", "dpkg-deb", "dpkg"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest("%s is not installed" % tool)
        config = os.path.join(BUILD, "CPackConfig.cmake")
        if not os.path.exists(config):
            raise AssertionError("no CPackConfig.cmake in %s: packaging not configured" % BUILD)
        cls.work = tempfile.mkdtemp(prefix="quorlane-deb-")
        res = run(["cpack", "-G", "DEB", "--config", config, "-B", cls.work])
        if res.returncode != 0:
            shutil.rmtree(cls.work, ignore_errors=True)
            raise AssertionError("cpack failed:\n" + res.stdout + res.stderr)
        debs = glob.glob(os.path.join(cls.work, "*.deb"))
        if len(debs) != 1:
            shutil.rmtree(cls.work, ignore_errors=True)
            raise AssertionError("expected one .deb, found %r" % debs)
        cls.deb = debs[0]
        cls.root = os.path.join(cls.work, "root")
        res = run(["dpkg", "-x", cls.deb, cls.root])
        if res.returncode != 0:
            shutil.rmtree(cls.work, ignore_errors=True)
            raise AssertionError("dpkg -x failed: " + res.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def field(self, name):
        res = run(["dpkg-deb", "-f", self.deb, name])
        self.assertEqual(res.returncode, 0, res.stderr)
        return res.stdout.strip()

    def test_control_fields(self):
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        self.assertEqual(self.field("Package"), "quorlane-backup")
        self.assertEqual(self.field("Version"), "0.1.5")
        self.assertEqual(self.field("Section"), "admin")
        self.assertEqual(self.field("Architecture"), arch)
        self.assertRegex(self.field("Maintainer"), r"^[^<>]+ <[^<>@\s]+@[^<>\s]+>$")
        self.assertTrue(self.field("Description"))
        self.assertEqual(os.path.basename(self.deb), "quorlane-backup_0.1.5_%s.deb" % arch)
        depends = [d.strip().split()[0] for d in self.field("Depends").split(",")]
        for needed in ("libvirt-clients", "qemu-utils"):
            self.assertIn(needed, depends)
        self.assertEqual(self.field("Recommends"), "rclone")

    def test_lintian_reports_nothing(self):
        if shutil.which("lintian") is None:
            self.skipTest("lintian is not installed")
        res = run(["lintian", "--fail-on", "error,warning", self.deb])
        findings = [l for l in res.stdout.splitlines() if re.match(r"[EW]: ", l)]
        self.assertEqual(findings, [])
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)

    def test_files_are_where_the_units_and_tools_look(self):
        # Exactly these files: nothing under /usr/local, no stray build output.
        self.assertEqual(files_under(self.root), set(INSTALLED))
        for rel, source in INSTALLED.items():
            with self.subTest(rel):
                path = os.path.join(self.root, rel)
                mode = os.stat(path).st_mode
                if source is None:
                    self.assertTrue(mode & stat.S_IXOTH, oct(mode))
                    continue
                self.assertFalse(mode & (stat.S_IXUSR | stat.S_IWGRP | stat.S_IWOTH), oct(mode))
                opener = gzip.open if rel.endswith(".gz") else open
                with opener(path, "rb") as got, open(os.path.join(PACKAGING, source), "rb") as want:
                    self.assertEqual(got.read(), want.read())

    def test_packaged_binaries_are_the_programs(self):
        for program in ("quorlane-backup", "quorlane-restore", "quorlane-sync"):
            res = run([os.path.join(self.root, "usr/sbin", program), "--help"])
            self.assertEqual(res.returncode, 0, res.stderr)
            self.assertEqual(res.stdout.splitlines()[0], program + " v0.1.5-prototype")

    def test_logrotate_rule_is_a_conffile_and_scripts_reload_systemd(self):
        control = os.path.join(self.work, "control")
        res = run(["dpkg-deb", "-e", self.deb, control])
        self.assertEqual(res.returncode, 0, res.stderr)
        with open(os.path.join(control, "conffiles")) as f:
            self.assertEqual(f.read().split(), ["/etc/logrotate.d/quorlane-backup"])
        for script in ("postinst", "postrm"):
            with self.subTest(script):
                path = os.path.join(control, script)
                self.assertTrue(os.stat(path).st_mode & stat.S_IXUSR)
                res = run(["sh", "-n", path])
                self.assertEqual(res.returncode, 0, res.stderr)
                # Outside a systemd-booted host (as here, or in a chroot) the
                # scripts must succeed without calling systemctl.
                if not os.path.isdir("/run/systemd/system"):
                    arg = "configure" if script == "postinst" else "remove"
                    res = run(["/bin/sh", path, arg], env={"PATH": "/nonexistent"})
                    self.assertEqual(res.returncode, 0, res.stderr)


class InstallTree(unittest.TestCase):
    """`cmake --install` honours --prefix for every file, the /etc one included."""

    def test_prefix_install_stays_under_the_prefix(self):
        prefix = os.path.join(scratch_dir(self), "prefix")
        res = run(["cmake", "--install", BUILD, "--prefix", prefix])
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        expected = {re.sub(r"^usr/", "", rel) for rel in INSTALLED}
        self.assertEqual(files_under(prefix), expected)
        for line in res.stdout.splitlines():
            if "Installing:" in line or "Up-to-date:" in line:
                self.assertIn(prefix + "/", line)

    def test_staged_usr_install_puts_the_rule_into_etc(self):
        stage = scratch_dir(self)
        env = dict(os.environ, DESTDIR=stage)
        res = run(["cmake", "--install", BUILD, "--prefix", "/usr"], env=env)
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        self.assertEqual(files_under(stage), set(INSTALLED))


def read_unit(path):
    """{section: [(key, value)]} of a unit file, continuation lines joined."""
    sections, current = {}, None
    with open(path) as f:
        text = re.sub(r"\\\n", " ", f.read())
    for line in text.splitlines():
        line = line.strip()
        if not line or line[0] in "#;":
            continue
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]"), [])
            continue
        key, _, value = line.partition("=")
        current.append((key.strip(), value.strip()))
    return sections


def exec_start_argv(unit, instance, env):
    """The ExecStart command as systemd runs it: %i is the instance, ${VAR}
    stays one word, a lone $VAR word is split at whitespace (systemd.service(5))."""
    [command] = [v for k, v in unit["Service"] if k == "ExecStart"]
    argv = []
    for word in shlex.split(command.replace("%i", instance)):
        whole = re.fullmatch(r"\$(\w+)", word)
        if whole:
            argv.extend(env.get(whole.group(1), "").split())
            continue
        argv.append(re.sub(r"\$\{(\w+)\}", lambda m: env.get(m.group(1), ""), word))
    return argv


class SystemdUnits(unittest.TestCase):
    """The service and timer templates, as systemd reads them."""

    service = os.path.join(PACKAGING, "quorlane-backup@.service")
    timer = os.path.join(PACKAGING, "quorlane-backup@.timer")

    def test_verify_reports_nothing(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        # verify insists that ExecStart's program exists and that the
        # Documentation= man page resolves. Install into a scratch root and
        # point the copies of the units at the program there; nothing else in
        # them changes. MANPATH lets man find the installed page.
        work = scratch_dir(self)
        stage = os.path.join(work, "stage")
        res = run(["cmake", "--install", BUILD, "--prefix", "/usr"], env=dict(os.environ, DESTDIR=stage))
        self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
        units = os.path.join(work, "units")
        os.makedirs(units)
        for src in (self.service, self.timer, SyncUnits.service, SyncUnits.timer):
            with open(src) as f:
                text = f.read()
            for program in ("quorlane-backup", "quorlane-sync"):
                text = text.replace("/usr/sbin/" + program, os.path.join(stage, "usr/sbin", program))
            with open(os.path.join(units, os.path.basename(src)), "w") as f:
                f.write(text)
        env = dict(os.environ, MANPATH=os.path.join(stage, "usr/share/man"))
        for names in (["quorlane-backup@.service", "quorlane-backup@.timer",
                       "quorlane-sync@.service", "quorlane-sync@.timer"],
                      ["quorlane-backup@web01.service", "quorlane-backup@web01.timer",
                       "quorlane-sync@web01.service", "quorlane-sync@web01.timer"]):
            with self.subTest(names=names):
                res = run(["systemd-analyze", "verify"] + names, cwd=units, env=env)
                self.assertEqual(res.returncode, 0, res.stdout + res.stderr)
                # Unknown keys and unparsable values are only warnings to
                # verify: any output at all is a fault here.
                self.assertEqual(res.stdout + res.stderr, "")

    def test_default_command_line_backs_up_the_instance(self):
        unit = read_unit(self.service)
        env = dict(v.split("=", 1) for k, v in unit["Service"] if k == "Environment")
        self.assertEqual(env, {"BACKUP_ROOT": "/var/backups/quorlane", "KEEP_COUNT": "7",
                               "EXTRA_ARGS": "", "JOBS_ARGS": "",
                               "METRICS_DIR": "/var/lib/prometheus/node-exporter"})
        argv = exec_start_argv(unit, "web01", env)
        self.assertEqual(argv, ["/usr/sbin/quorlane-backup", "-n", "web01", "-r",
                                "/var/backups/quorlane", "-k", "7", "--metrics-dir",
                                "/var/lib/prometheus/node-exporter"])

    def test_drop_in_settings_reach_the_program_as_separate_options(self):
        # A drop-in with Environment=BACKUP_ROOT=... EXTRA_ARGS=--dry-run --verbose
        # JOBS_ARGS=--jobs 2 must give the program separate options, not words with
        # a blank.
        if os.geteuid() != 0:
            self.skipTest("needs root for a private mount namespace")
        box = harness.Sandbox(harness.healthy_vm("db01"))
        self.addCleanup(box.cleanup)
        root = box.path("backups")
        os.makedirs(root)
        env = {"BACKUP_ROOT": root, "KEEP_COUNT": "14", "EXTRA_ARGS": "--dry-run  --verbose",
               "JOBS_ARGS": "--jobs  2"}
        argv = exec_start_argv(read_unit(self.service), "db01", env)
        res = box.run(argv[1:])
        self.assertEqual(res.rc, 0, res.out + res.err)
        self.assertIn("=== DRY RUN SUMMARY ===", res.out)
        self.assertIn("Backup directory:    %s/db01/" % root, res.out)
        self.assertIn("Retention:           keep 14 most recent", res.out)
        self.assertIn("Disk copies:         2 requests in flight (qemu-img convert -W -m 2)",
                      res.out.splitlines())
        self.assertIn("  VM 'db01' power state: running", res.err_lines)  # --verbose
        self.assertEqual(os.listdir(root), [])

    def test_settings_files_and_ordering(self):
        service = read_unit(self.service)
        self.assertIn(("Type", "oneshot"), service["Service"])
        # Optional ("-"): the service runs on its defaults without the file.
        self.assertIn(("EnvironmentFile", "-/etc/default/quorlane-backup"), service["Service"])
        after = " ".join(v for k, v in service["Unit"] if k == "After").split()
        self.assertIn("libvirtd.service", after)
        # A backup must never pull up libvirt or anything else by itself.
        for key in ("Wants", "Requires", "BindsTo", "Requisite"):
            self.assertNotIn(key, [k for k, _ in service["Unit"]])
        timer = read_unit(self.timer)
        self.assertIn(("WantedBy", "timers.target"), timer["Install"])
        self.assertIn(("Persistent", "true"), timer["Timer"])


class SyncUnits(unittest.TestCase):
    """The offsite copy's templates: after every successful backup, and a catch-up timer."""

    service = os.path.join(PACKAGING, "quorlane-sync@.service")
    timer = os.path.join(PACKAGING, "quorlane-sync@.timer")

    def test_it_follows_a_successful_backup_once_a_remote_is_named(self):
        backup = read_unit(SystemdUnits.service)
        self.assertIn(("OnSuccess", "quorlane-sync@%i.service"), backup["Unit"])
        sync = read_unit(self.service)
        self.assertIn(("ConditionPathExists", "/etc/default/quorlane-sync"), sync["Unit"])
        self.assertIn(("UnsetEnvironment", "AWS_CA_BUNDLE"), sync["Service"])
        self.assertEqual([v for k, v in sync["Service"] if k == "EnvironmentFile"],
                         ["-/etc/default/quorlane-backup", "/etc/default/quorlane-sync"])
        env = dict(v.split("=", 1) for k, v in sync["Service"] if k == "Environment")
        env.update(REMOTE="offsite:quorlane", EXTRA_ARGS="--bwlimit 10M")
        self.assertEqual(exec_start_argv(sync, "web01", env),
                         [SYNC := "/usr/sbin/quorlane-sync", "-r", "/var/backups/quorlane", "--to",
                          "offsite:quorlane", "-n", "web01", "-k", "7", "--config",
                          "/etc/quorlane/rclone.conf", "--metrics-dir",
                          "/var/lib/prometheus/node-exporter", "--bwlimit", "10M"])
        res = run([SYNC_BINARY] + exec_start_argv(sync, "web01", env)[1:] + ["--help"])
        self.assertEqual(res.returncode, 0, res.stderr)
        timer = read_unit(self.timer)
        self.assertIn(("WantedBy", "timers.target"), timer["Install"])
        self.assertIn(("Persistent", "true"), timer["Timer"])


class ManPage(unittest.TestCase):
    page = os.path.join(PACKAGING, "quorlane-backup.8")

    def render(self):
        if shutil.which("man") is None:
            self.skipTest("man is not installed")
        res = run(["man", "--warnings", "-l", self.page], env=dict(os.environ, MANWIDTH="80"))
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(res.stderr, "")
        return res.stdout

    def test_groff_renders_without_warnings(self):
        if shutil.which("groff") is None:
            self.skipTest("groff is not installed")
        res = run(["groff", "-man", "-Tutf8", "-ww", "-z", self.page])
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(res.stderr, "")

    def section(self, text, name):
        match = re.search(r"^%s\n(.*?)(?=^\S)" % re.escape(name), text, re.S | re.M)
        self.assertIsNotNone(match, "no section " + name)
        return match.group(1)

    def test_sections_and_options_match_the_program(self):
        text = self.render()
        for name in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES",
                     "LEFT-OVER SNAPSHOT", "RESTORE", "EXAMPLES", "SEE ALSO"):
            self.section(text, name)
        documented = re.findall(r"^ {7}(-\w), (--[\w-]+)\b", self.section(text, "OPTIONS"), re.M)
        self.assertEqual(documented, help_options())
        statuses = re.findall(r"^ {7}(\d+(?:, \d+)*)", self.section(text, "EXIT STATUS"), re.M)
        self.assertEqual(statuses, ["0", "1", "2", "129, 130, 143"])
        # The page is not hyphenated: commands and paths stay copyable.
        self.assertNotIn("\u2010", text)
        recovery = " ".join(self.section(text, "LEFT-OVER SNAPSHOT").split())
        self.assertIn("virsh snapshot-delete vm quorlane-backup-temp", recovery)
        self.assertIn("virsh domblklist vm", recovery)


class SyncManPage(ManPage):
    page = os.path.join(PACKAGING, "quorlane-sync.8")

    def test_sections_and_options_match_the_program(self):
        text = self.render()
        for name in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES",
                     "EXAMPLES", "SEE ALSO"):
            self.section(text, name)
        usage = run([SYNC_BINARY, "--help"]).stdout
        options = re.findall(r"^  (?:-\w, |    )(--[\w-]+)\b", usage, re.M)
        self.assertGreaterEqual(len(options), 14, usage)
        documented = re.findall(r"^ {7}(?:-\w, )?(--[\w-]+)\b", self.section(text, "OPTIONS"), re.M)
        self.assertEqual(documented, options)
        statuses = re.findall(r"^ {7}(\d+(?:, \d+)*)", self.section(text, "EXIT STATUS"), re.M)
        self.assertEqual(statuses, ["0", "1", "3", "129, 130, 143"])


class CompletionCase(unittest.TestCase):
    """A completion function, called the way bash calls it on <Tab>, with
    virsh (and rclone) stand-ins that list VMs and remotes."""

    program = None

    def setUp(self):
        self.framework = "/usr/share/bash-completion/bash_completion"
        if not os.path.exists(self.framework):
            self.skipTest("bash-completion is not installed")
        self.bin = scratch_dir(self)
        for name, command, listing in (("virsh", "list --all --name", "web01\\ndb 02\\n\\n"),
                                       ("rclone", "listremotes", "offsite:\\nlocal-copy:\\n")):
            with open(os.path.join(self.bin, name), "w") as f:
                f.write('#!/bin/sh\n'
                        'if [ "$*" = "%s" ]; then\n'
                        '  printf "%s"; exit 0\n'
                        'fi\n'
                        'echo "unexpected: $*" >&2; exit 1\n' % (command, listing))
            os.chmod(os.path.join(self.bin, name), 0o755)

    def complete(self, *words):
        """COMPREPLY for a command line whose last word is being completed."""
        function = "_" + self.program.replace("-", "_")
        script = ('source "$1"; source "$2"; shift 2\n'
                  'COMP_WORDS=(%(p)s "$@"); COMP_CWORD=$#\n'
                  'COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}\n'
                  '%(f)s %(p)s "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"\n'
                  'complete -p %(p)s >&2\n'
                  'printf "%%s\\n" "${COMPREPLY[@]}"\n') % {"p": self.program, "f": function}
        env = dict(os.environ, PATH=self.bin + ":/usr/bin:/bin")
        completion = os.path.join(PACKAGING, self.program + ".bash-completion")
        res = run(["bash", "-c", script, "bash", self.framework, completion] + list(words),
                  env=env, cwd=self.bin)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertIn("-F " + function, res.stderr)
        return sorted(line for line in res.stdout.split("\n") if line)


class BashCompletion(CompletionCase):
    program = "quorlane-backup"

    def test_vm_names_come_from_virsh(self):
        self.assertEqual(self.complete("-n", ""), ["db 02", "web01"])
        self.assertEqual(self.complete("-r", "/b", "--vm-name", "w"), ["web01"])

    def test_options_complete_from_dashes(self):
        longs = sorted(l for _, l in help_options())
        self.assertEqual(self.complete("--"), longs)
        self.assertEqual(self.complete("-n", "web01", "--v"), ["--verbose", "--vm-name"])
        self.assertEqual(self.complete("-"), sorted(longs + [s for s, _ in help_options()]))

    def test_backup_root_completes_directories_and_keep_count_nothing(self):
        for name in ("backups-a", "backups-b"):
            os.mkdir(os.path.join(self.bin, name))
        open(os.path.join(self.bin, "backups-file"), "w").close()
        self.assertEqual(self.complete("--backup-root", "back"), ["backups-a", "backups-b"])
        self.assertEqual(self.complete("-r", os.path.join(self.bin, "backups-")),
                         [os.path.join(self.bin, "backups-a"), os.path.join(self.bin, "backups-b")])
        self.assertEqual(self.complete("-k", ""), [])
        self.assertEqual(self.complete("--keep-count", "-"), [])


class SyncCompletion(CompletionCase):
    program = "quorlane-sync"

    def test_remotes_vms_and_options(self):
        self.assertEqual(self.complete("--to", ""), ["local-copy:", "offsite:"])
        self.assertEqual(self.complete("-r", "/b", "--from", "off"), ["offsite:"])
        self.assertEqual(self.complete("-n", "w"), ["web01"])
        self.assertEqual(self.complete("-k", ""), [])
        usage = run([SYNC_BINARY, "--help"]).stdout
        longs = sorted(re.findall(r"^  (?:-\w, |    )(--[\w-]+)\b", usage, re.M))
        self.assertEqual(self.complete("--"), longs)


class LogRotation(unittest.TestCase):
    """The logrotate rule, applied for real to a scratch copy of the log."""

    rule = os.path.join(PACKAGING, "quorlane-backup.logrotate")

    def test_rotation_keeps_the_log_usable(self):
        if shutil.which("logrotate") is None:
            self.skipTest("logrotate is not installed")
        if os.geteuid() != 0:
            self.skipTest("create 0640 root adm needs root")
        work = scratch_dir(self)
        logdir = os.path.join(work, "quorlane")
        os.mkdir(logdir, 0o755)
        log = os.path.join(logdir, "quorlane-backup.log")
        with open(self.rule) as f:
            text = f.read()
        self.assertEqual(text.count("/var/log/quorlane/quorlane-backup.log"), 1)
        conf = os.path.join(work, "rule")
        with open(conf, "w") as f:
            f.write(text.replace("/var/log/quorlane/quorlane-backup.log", log))
        os.chmod(conf, 0o644)
        state = os.path.join(work, "state")

        def rotate():
            res = run(["logrotate", "-f", "-s", state, conf])
            self.assertEqual(res.returncode, 0, res.stderr)

        with open(log, "w") as f:
            f.write("[2026-03-01 02:05:14] vm=web01 result=success duration=1s\n")
        rotate()
        # The old lines are kept uncompressed for one round (delaycompress);
        # a new empty log with the promised mode and group is in place.
        self.assertEqual(sorted(os.listdir(logdir)), ["quorlane-backup.log", "quorlane-backup.log.1"])
        st = os.stat(log)
        self.assertEqual((stat.S_IMODE(st.st_mode), st.st_size), (0o640, 0))
        self.assertEqual(grp.getgrgid(st.st_gid).gr_name, "adm")
        # An empty log is not rotated (notifempty)...
        rotate()
        self.assertEqual(sorted(os.listdir(logdir)), ["quorlane-backup.log", "quorlane-backup.log.1"])
        # ...a non-empty one is, and the older generation gets compressed.
        with open(log, "a") as f:
            f.write("[2026-04-01 02:05:14] vm=web01 result=success duration=1s\n")
        rotate()
        self.assertEqual(sorted(os.listdir(logdir)),
                         ["quorlane-backup.log", "quorlane-backup.log.1", "quorlane-backup.log.2.gz"])
        res = run(["logrotate", "-d", "-s", state, conf])
        self.assertIn("(12 rotations)", res.stdout + res.stderr)


if __name__ == "__main__":
    unittest.main()
