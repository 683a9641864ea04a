"""Offsite remotes for end-to-end tests: real servers on free ports of
127.0.0.1, each in a scratch directory of its own, that rclone reaches
through on-the-fly remotes, or through the sections of a configuration file.

  sftp_server(testcase) -> SftpServer   OpenSSH's sshd with its own
      configuration and host key; key authentication only (.key_file), as
      SFTP_USER, whose login shell runs md5sum and sha1sum for rclone's hashes
  s3_server(testcase) -> S3Server       s3rver with the bucket BUCKET
  Both: .remote (the rclone remote of the storage's root) .storage (the
      local directory behind it) .env (the environment to run rclone with)
      .port .stop() .start() .cleanup() (also as a context manager)
      .stored(path) -> the local file behind the object at path
      .section() -> {option: value} of the server's configuration section
  crypt_remote(inner, env, password) -> rclone's crypt over the remote inner
  crypt_section(inner, env, password) -> the same as a configuration section
  write_config(path, {name: section}) -> rclone's configuration file, mode 0600
  node_exporter(testcase) -> NodeExporter   Prometheus' node exporter with
      only the textfile collector: .textfile_dir .scrape() -> metrics text
      .port .stop() .start() .cleanup()
  rclone(args, env) -> CompletedProcess (text)
  pid_alive(pid) -> whether the process runs
  FAIL_FAST   rclone flags that give up on a dead server within seconds

stop() kills the server with every process under it (an SFTP session's as
well) and returns once they are gone; start() starts it again on the same
port with the same storage. The factories stop and remove everything when
the test ends, and call cannot_run(the reason) where a server cannot start.
"""
import http.client
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import vmlib

SFTP_USER = "quorlane-sftp"
# The root of every SFTP server's directory: sshd's StrictModes accepts the
# authorized keys only where no directory between them and the user's home
# is writable by others, which rules out /tmp and /var/tmp.
SFTP_HOME = "/var/lib/quorlane-sftp"
SSHD = "/usr/sbin/sshd"
S3RVER = os.path.join(vmlib.REPO, "build", "node", "node_modules", ".bin", "s3rver")
BUCKET = "quorlane"
NODE_EXPORTER = "prometheus-node-exporter"
FAIL_FAST = ["--contimeout", "5s", "--timeout", "10s", "--retries", "1", "--low-level-retries", "1"]
# How long a server may take to answer after its start; only a hung server
# comes near it.
START_TIMEOUT = 60


class ServerError(Exception):
    pass


def rclone(args, env, timeout=600):
    """Runs rclone with the arguments under the environment."""
    return subprocess.run(["rclone"] + [str(a) for a in args], env=env, capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL)


def obscured(password, env):
    """The password as rclone keeps it (rclone obscure)."""
    proc = rclone(["obscure", password], env)
    if proc.returncode != 0:
        raise ServerError("rclone obscure failed: " + proc.stderr.strip())
    return proc.stdout.strip()


def crypt_remote(inner, env, password="quorlane-test"):
    """rclone's crypt over the remote `inner`, with an obscured password."""
    return ':crypt,remote="%s",password=%s:' % (inner.replace('"', '""'),
                                                obscured(password, env))


def crypt_section(inner, env, password="quorlane-test"):
    """The configuration section of rclone's crypt over the remote `inner`."""
    return {"type": "crypt", "remote": inner, "password": obscured(password, env)}


def write_config(path, sections):
    """Writes rclone's configuration file `path`, readable by its owner only,
    with the sections {name: {option: value}}."""
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        os.fchmod(f.fileno(), 0o600)
        for name, options in sections.items():
            f.write("[%s]\n" % name)
            f.writelines("%s = %s\n" % option for option in options.items())
            f.write("\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _parent(pid):
    with open("/proc/%d/stat" % pid) as f:
        return int(f.read().rsplit(")", 1)[1].split()[1])


def _children(pid):
    kids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if _parent(int(entry)) == pid:
                    kids.append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    return kids


def pid_alive(pid):
    """Whether the process runs (a zombie has ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def _kill_tree(pid):
    """Kills pid and every process under it, and waits until they are gone.
    Each is stopped before its children are looked up, so that none forks
    or loses its parent meanwhile (sshd's sessions start sessions of their
    own, out of the server's process group)."""
    tree, pending = [], [pid]
    while pending:
        member = pending.pop()
        try:
            os.kill(member, signal.SIGSTOP)
        except ProcessLookupError:
            continue
        tree.append(member)
        pending.extend(_children(member))
    for member in tree:
        try:
            os.kill(member, signal.SIGKILL)
        except ProcessLookupError:
            pass
    for member in tree[1:]:
        while pid_alive(member):
            time.sleep(0.01)


def _answers_http(port, path):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        conn.request("GET", path)
        return conn.getresponse().status == 200
    except OSError:
        return False
    finally:
        conn.close()


class _Server:
    """A server process on a free port of 127.0.0.1 with a scratch directory
    of its own; subclasses prepare() the directory, give the argv() and say
    whether the server answers()."""
    name = None

    def __init__(self):
        self.port = free_port()
        self.dir = None
        self._proc = None
        try:
            self.prepare()
            self.start()
        except BaseException:
            self.cleanup()
            raise

    def start(self):
        """Starts the server and returns once it answers; ServerError with
        its log where it exits or does not answer."""
        log_path = os.path.join(self.dir, self.name + ".log")
        with open(log_path, "ab") as log:
            self._proc = subprocess.Popen(self.argv(), stdin=subprocess.DEVNULL, stdout=log,
                                          stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + START_TIMEOUT
        while not self.answers():
            status = self._proc.poll()
            if status is not None or time.monotonic() > deadline:
                self.stop()
                with open(log_path, errors="replace") as log:
                    tail = log.read()[-2000:].strip()
                state = "does not answer" if status is None else "exited with status %d" % status
                raise ServerError("%s on 127.0.0.1:%d %s:\n%s" % (self.name, self.port, state,
                                                                   tail))
            time.sleep(0.05)

    def stop(self):
        if self._proc is not None:
            _kill_tree(self._proc.pid)
            self._proc.wait()
            self._proc = None

    def cleanup(self):
        self.stop()
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()


class SftpServer(_Server):
    name = "sshd"

    def prepare(self):
        if os.geteuid() != 0:
            raise ServerError("an SFTP server needs root (its own user and sshd)")
        for prog in (SSHD, "ssh-keygen", "useradd", "rclone"):
            if shutil.which(prog) is None:
                raise ServerError("%s is not installed" % prog)
        user = _ensure_sftp_user()
        self.dir = tempfile.mkdtemp(prefix="sftp-", dir=SFTP_HOME)
        os.chmod(self.dir, 0o755)
        self.storage = os.path.join(self.dir, "storage")
        os.mkdir(self.storage)
        os.chown(self.storage, user.pw_uid, user.pw_gid)
        host_key = self._key("host_key")
        self.key_file = self._key("client_key")
        shutil.copy(self.key_file + ".pub", os.path.join(self.dir, "authorized_keys"))
        self.config = os.path.join(self.dir, "sshd_config")
        with open(self.config, "w") as f:
            f.write(_SSHD_CONFIG % {"port": self.port, "host_key": host_key, "dir": self.dir,
                                    "user": SFTP_USER})
        # sshd's privilege separation directory, which only the packaged
        # service creates.
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.remote = ":sftp,host=127.0.0.1,port=%d,user=%s,key_file=%s:%s" % (
            self.port, SFTP_USER, self.key_file, self.storage)
        self.env = dict(os.environ)

    def section(self):
        return {"type": "sftp", "host": "127.0.0.1", "port": self.port, "user": SFTP_USER,
                "key_file": self.key_file}

    def _key(self, name):
        path = os.path.join(self.dir, name)
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f", path],
                       check=True, capture_output=True, stdin=subprocess.DEVNULL)
        return path

    def argv(self):
        return [SSHD, "-D", "-e", "-f", self.config]

    def answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                return s.recv(4).startswith(b"SSH-")
        except OSError:
            return False

    def stored(self, path):
        return os.path.join(self.storage, path)


# UsePAM no: key authentication needs no PAM session, which fails in
# containers. The user's password is "*", not locked, since sshd without PAM
# refuses locked accounts.
_SSHD_CONFIG = """\
Port %(port)d
ListenAddress 127.0.0.1
HostKey %(host_key)s
PidFile none
AuthorizedKeysFile %(dir)s/authorized_keys
AllowUsers %(user)s
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes yes
AllowTcpForwarding no
X11Forwarding no
PrintMotd no
Subsystem sftp internal-sftp
"""


def _ensure_sftp_user():
    """SFTP_USER, created where missing, with the login shell /bin/sh and the
    root-owned home SFTP_HOME."""
    try:
        user = pwd.getpwnam(SFTP_USER)
    except KeyError:
        # A test file that runs in parallel may have created it meanwhile.
        added = subprocess.run(["useradd", "--system", "--home-dir", SFTP_HOME, "--no-create-home",
                                "--shell", "/bin/sh", "--password", "*", SFTP_USER],
                               capture_output=True, text=True, stdin=subprocess.DEVNULL)
        try:
            user = pwd.getpwnam(SFTP_USER)
        except KeyError:
            raise ServerError("useradd %s failed: %s" % (SFTP_USER, added.stderr.strip()))
    os.makedirs(SFTP_HOME, mode=0o755, exist_ok=True)
    return user


class S3Server(_Server):
    name = "s3rver"

    def prepare(self):
        if shutil.which("rclone") is None:
            raise ServerError("rclone is not installed")
        if not os.access(S3RVER, os.X_OK):
            _install_s3rver()
        self.dir = tempfile.mkdtemp(prefix="quorlane-s3-")
        self.storage = os.path.join(self.dir, "storage")
        os.mkdir(self.storage)
        self.remote = (":s3,provider=Other,endpoint='http://127.0.0.1:%d',"
                       "access_key_id=S3RVER,secret_access_key=S3RVER:%s" % (self.port, BUCKET))
        # rclone 1.60 fails every S3 request before it connects when
        # AWS_CA_BUNDLE is set, and a plain HTTP server needs no CA.
        self.env = {k: v for k, v in os.environ.items() if k != "AWS_CA_BUNDLE"}

    def section(self):
        return {"type": "s3", "provider": "Other", "endpoint": "http://127.0.0.1:%d" % self.port,
                "access_key_id": "S3RVER", "secret_access_key": "S3RVER"}

    def argv(self):
        return [S3RVER, "-d", self.storage, "-a", "127.0.0.1", "-p", str(self.port),
                "--configure-bucket", BUCKET]

    def answers(self):
        return _answers_http(self.port, "/")

    def stored(self, path):
        return os.path.join(self.storage, BUCKET, path + "._S3rver_object")


def _install_s3rver():
    proc = subprocess.run(["bash", "-c", ". scripts/lib.sh && ensure_s3rver"], cwd=vmlib.REPO,
                          capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if proc.returncode != 0 or not os.access(S3RVER, os.X_OK):
        raise ServerError("s3rver cannot be installed: " + (proc.stdout + proc.stderr).strip())


class NodeExporter(_Server):
    name = "node-exporter"

    def prepare(self):
        if shutil.which(NODE_EXPORTER) is None:
            raise ServerError("%s is not installed" % NODE_EXPORTER)
        self.dir = tempfile.mkdtemp(prefix="quorlane-metrics-")
        self.textfile_dir = os.path.join(self.dir, "textfile")
        os.mkdir(self.textfile_dir)

    def argv(self):
        return [NODE_EXPORTER, "--collector.disable-defaults", "--collector.textfile",
                "--collector.textfile.directory", self.textfile_dir,
                "--web.listen-address", "127.0.0.1:%d" % self.port]

    def answers(self):
        return _answers_http(self.port, "/metrics")

    def scrape(self):
        """The metrics text at http://127.0.0.1:port/metrics."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request("GET", "/metrics")
            response = conn.getresponse()
            body = response.read().decode()
        finally:
            conn.close()
        if response.status != 200:
            raise ServerError("scrape of 127.0.0.1:%d: HTTP %d" % (self.port, response.status))
        return body


def _started(testcase, server_class):
    try:
        server = server_class()
    except ServerError as e:
        vmlib.cannot_run(str(e))
    testcase.addCleanup(server.cleanup)
    return server


def sftp_server(testcase):
    return _started(testcase, SftpServer)


def s3_server(testcase):
    return _started(testcase, S3Server)


def node_exporter(testcase):
    return _started(testcase, NodeExporter)
