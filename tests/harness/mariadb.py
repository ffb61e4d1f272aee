"""A private MariaDB server for the tests: own data directory, own socket, a free port on
127.0.0.1, and a database with a password-protected account of its own."""
import atexit
import ctypes
import getpass
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

START_TIMEOUT = 60.0  # seconds for the server to accept connections
STOP_TIMEOUT = 30.0  # seconds between SIGTERM and SIGKILL

# Settings that make the server start in well under a second and stay small. The
# character set is the one Debian's packaged server is configured with.
SERVER_OPTIONS = (
    "--skip-log-bin",
    "--skip-name-resolve",
    "--performance-schema=OFF",
    "--innodb-buffer-pool-size=16M",
    "--innodb-log-file-size=8M",
    "--innodb-use-native-aio=0",
    "--innodb-flush-log-at-trx-commit=2",
    "--character-set-server=utf8mb4",
    "--collation-server=utf8mb4_general_ci",
    "--max-connections=500",
)


class MariaDBError(RuntimeError):
    """The server could not be found, set up, started or stopped."""


def _find(names, dirs=("/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin")):
    for name in names:
        found = shutil.which(name)
        if found:
            return found
        for d in dirs:
            candidate = Path(d) / name
            if candidate.is_file() and os.access(candidate, os.X_OK):
                return str(candidate)
    return None


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent():
    # The server goes down with the test process even if that one is killed outright.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:
        pass


def _tail(path, lines=60):
    try:
        return "".join(Path(path).read_text(errors="replace").splitlines(keepends=True)[-lines:])
    except OSError:
        return "(no log at %s)\n" % path


class MariaDBServer:
    host = "127.0.0.1"
    user = "oxa_test"
    password = "Oxa@Test-2024!"  # no '%': it is written to INI files as it is
    database = "oxa_test"

    def __init__(self, base):
        self.base = Path(base)
        self.datadir = self.base / "data"
        self.socket = str(self.base / "mariadbd.sock")
        self.error_log = self.base / "error.log"
        self.port = None
        self.process = None
        self.start_seconds = None  # how long the last start took, until connections were accepted
        self.mariadbd = _find(["mariadbd", "mysqld"])
        self.install_db = _find(["mariadb-install-db", "mysql_install_db"])
        if not self.mariadbd or not self.install_db:
            raise MariaDBError(
                "MariaDB server not installed (no mariadbd / mariadb-install-db found). The database "
                "tests need it: run `make deps` (or scripts/ensure-deps), which installs the Debian "
                "package mariadb-server."
            )

    # --- life cycle ------------------------------------------------------------------------

    @classmethod
    def create(cls):
        """Initialise a data directory, start the server, create the test account."""
        base = tempfile.mkdtemp(prefix="oxa-db-")  # short: a socket path is limited to ~100 bytes
        server = None
        try:
            server = cls(base)
            server._install()
            server.start()
            server._bootstrap()
        except BaseException:
            if server is not None:
                server.stop()
            shutil.rmtree(base, ignore_errors=True)
            raise
        atexit.register(server.close)
        return server

    def _install(self):
        cmd = [
            self.install_db,
            "--no-defaults",
            "--datadir=%s" % self.datadir,
            "--user=%s" % getpass.getuser(),
            "--auth-root-authentication-method=normal",
            "--skip-test-db",
            "--skip-name-resolve",
            "--innodb-log-file-size=8M",
        ]
        log = self.base / "install.log"
        with open(log, "wb") as out:
            proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, timeout=120)
        if proc.returncode != 0:
            raise MariaDBError(
                "mariadb-install-db failed (exit %d): %s\n%s" % (proc.returncode, " ".join(cmd), _tail(log))
            )

    def start(self):
        """Start the server on its data directory (and its port, once chosen)."""
        if self.running:
            return
        if self.port is None:
            self.port = _free_port()
        if os.path.exists(self.socket):
            os.unlink(self.socket)  # left by a killed server
        cmd = [
            self.mariadbd,
            "--no-defaults",
            "--datadir=%s" % self.datadir,
            "--socket=%s" % self.socket,
            "--port=%d" % self.port,
            "--bind-address=%s" % self.host,
            "--user=%s" % getpass.getuser(),
            "--pid-file=%s" % (self.base / "mariadbd.pid"),
            "--log-error=%s" % self.error_log,
            "--tmpdir=%s" % self.base,
            *SERVER_OPTIONS,
        ]
        started = time.monotonic()
        with open(self.base / "mariadbd.out", "ab") as out:
            self.process = subprocess.Popen(
                cmd,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=subprocess.STDOUT,
                start_new_session=True,  # a ^C to the tests does not hit the server first
                preexec_fn=_die_with_parent,
            )
        deadline = started + START_TIMEOUT
        last_error = None
        while True:
            code = self.process.poll()
            if code is not None:
                self.process = None
                raise MariaDBError(
                    "mariadbd exited with status %d while starting: %s\n--- %s ---\n%s"
                    % (code, " ".join(cmd), self.error_log, _tail(self.error_log))
                )
            try:
                # A bare socket first: a refused client connection leaves its socket to the
                # collector, which would warn about it.
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                    probe.settimeout(1)
                    probe.connect(self.socket)
                self._root_connection(connect_timeout=1).close()
                break
            except Exception as exc:  # not accepting connections yet
                last_error = exc
            if time.monotonic() > deadline:
                self.stop()
                raise MariaDBError(
                    "mariadbd did not accept connections within %.0f s (last error: %s)\n--- %s ---\n%s"
                    % (START_TIMEOUT, last_error, self.error_log, _tail(self.error_log))
                )
            time.sleep(0.05)
        self.start_seconds = time.monotonic() - started

    def stop(self, sig=signal.SIGTERM):
        """Stop the server by its process id: the signal given, then SIGKILL after a while."""
        proc, self.process = self.process, None
        if proc is None or proc.poll() is not None:
            return
        try:
            proc.send_signal(sig)
            proc.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def kill(self):
        """Stop the server abruptly, as a crash would."""
        self.stop(signal.SIGKILL)

    def restart(self):
        """Stop, then start again on the same port and data directory."""
        self.stop()
        self.start()

    def ensure_running(self):
        if not self.running:
            self.start()

    @property
    def running(self):
        return self.process is not None and self.process.poll() is None

    @property
    def pid(self):
        return self.process.pid if self.process is not None else None

    def close(self):
        """Stop the server and remove its files."""
        self.stop()
        shutil.rmtree(self.base, ignore_errors=True)

    # --- accounts and databases ------------------------------------------------------------

    def _root_connection(self, **kwargs):
        import pymysql

        return pymysql.connect(unix_socket=self.socket, user="root", password="", charset="utf8mb4", **kwargs)

    def _root_execute(self, *statements):
        conn = self._root_connection()
        try:
            with conn.cursor() as cur:
                for sql, args in statements:
                    cur.execute(sql, args)
            conn.commit()
        finally:
            conn.close()

    def add_account(self, user, password, database):
        """Create a database (if missing) and an account with every right on it."""
        stmts = [("CREATE DATABASE IF NOT EXISTS `%s`" % database, None)]
        for host in ("%", "localhost"):
            stmts.append(("CREATE USER IF NOT EXISTS %s@%s IDENTIFIED BY %s", (user, host, password)))
            stmts.append(("GRANT ALL PRIVILEGES ON `%s`.* TO %%s@%%s" % database, (user, host)))
        self._root_execute(*stmts)

    def _bootstrap(self):
        self.add_account(self.user, self.password, self.database)

    def reset(self):
        """Empty the test database (drop it and create it anew)."""
        self._root_execute(
            ("DROP DATABASE IF EXISTS `%s`" % self.database, None),
            ("CREATE DATABASE `%s`" % self.database, None),
        )

    # --- use -------------------------------------------------------------------------------

    def connect(self, **kwargs):
        """A new pymysql connection as the test account, over TCP to 127.0.0.1."""
        import pymysql

        params = dict(
            host=self.host,
            port=self.port,
            user=self.user,
            password=self.password,
            database=self.database,
            charset="utf8mb4",
        )
        params.update(kwargs)
        return pymysql.connect(**params)

    def execute(self, sql, args=None):
        """Run one statement as the test account, commit, and return its rows."""
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                cur.execute(sql, args)
                rows = cur.fetchall()
            conn.commit()
            return rows
        finally:
            conn.close()

    def ini_values(self):
        """The CLOUD keys of cfg/oxa.ini that point the engine at this server."""
        return {
            "OXA_DB_TYPE": "mysql",
            "OXA_DB_SERVER": self.host,
            "OXA_DB_USER": self.user,
            "OXA_DB_PWD": self.password,
            "OXA_DB_NAME": self.database,
            "OXA_DB_PORT": str(self.port),
        }

    def __repr__(self):
        return "MariaDBServer(port=%s, pid=%s, base=%s)" % (self.port, self.pid, self.base)
