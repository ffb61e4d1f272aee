"""A private Ray cluster on this machine for the sweep's tests: a head started with
`ray start --head --block` on free ports with a bounded number of CPUs (and, for
measurements, more nodes joining it), each stopped by its process id.

Told 127.0.0.1, Ray still advertises the machine's network address, unless it runs as a
single-node cluster (LOOPBACK_ONLY in the environment of the head and of every driver): the
tests' cluster is such a head, reached at 127.0.0.1:PORT and talking to 127.0.0.1 alone. A
node that joins it (for measurements) needs the machine's address."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

STARTED = "Ray runtime started"
# Ray's own switch: with it off a node keeps to the loopback address (and to one node).
LOOPBACK_ONLY = {"RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER": "0"}
RAY_CLI = [sys.executable, "-c", "import sys; from ray.scripts.scripts import main; sys.exit(main())"]


class RayUnavailable(Exception):
    """Ray cannot start on this machine; the message says why."""


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


class RayCluster:
    def __init__(self):
        # Ray's socket paths must stay short: a directory right under /tmp.
        self.root = Path(tempfile.mkdtemp(prefix="ray-", dir="/tmp"))
        self.nodes = []  # (process, log path)
        self.address = None

    def _start(self, options, timeout, env=None):
        # On a loaded machine a node may miss Ray's own 30 s start-up limit: one more try.
        for attempt in (1, 2):
            try:
                return self._start_once(options(), timeout, env)
            except RayUnavailable:
                self._stop(*self.nodes.pop())
                if attempt == 2:
                    raise

    def _start_once(self, options, timeout, env=None):
        ports = free_ports(7)
        log = self.root / ("node%d.log" % len(self.nodes))
        command = RAY_CLI + ["start", "--block", "--disable-usage-stats", "--temp-dir", str(self.root / "tmp"),
                             "--object-manager-port", str(ports[0]), "--node-manager-port", str(ports[1]),
                             "--dashboard-agent-listen-port", str(ports[2]),
                             "--dashboard-agent-grpc-port", str(ports[3]),
                             "--runtime-env-agent-port", str(ports[4]), "--metrics-export-port", str(ports[5]),
                             "--object-store-memory", str(200 * 1024 * 1024)] + options
        with open(log, "w") as out:
            # A session of its own, so that stopping it reaches every process it started.
            process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                       start_new_session=True, env=env)
        self.nodes.append((process, log))
        deadline = time.monotonic() + timeout
        while STARTED not in log.read_text(errors="replace"):
            if process.poll() is not None or time.monotonic() > deadline:
                text = log.read_text(errors="replace").strip().splitlines()
                raise RayUnavailable("`ray start %s` did not start (%s): %s" % (
                    options[0], "exit status %s" % process.returncode if process.poll() is not None else "timeout",
                    text[-1] if text else "no output"))
            time.sleep(0.2)

    def start_head(self, cpus, timeout=90, loopback=True):
        """loopback: a single-node cluster on 127.0.0.1 alone; False lets other nodes join."""
        def options():
            port, dashboard = free_ports(2)
            self.address = "127.0.0.1:%d" % port
            return ["--head", "--node-ip-address", "127.0.0.1", "--port", str(port), "--num-cpus", str(cpus),
                    "--include-dashboard", "false", "--dashboard-port", str(dashboard)]

        self._start(options, timeout, dict(os.environ, **LOOPBACK_ONLY) if loopback else None)
        return self

    def join(self, cpus, timeout=90):
        """Another node on this machine, joining the head."""
        self._start(lambda: ["--address", self.address, "--node-ip-address", "127.0.0.1", "--num-cpus", str(cpus)],
                    timeout)

    @staticmethod
    def _stop(process, log):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)  # `ray start --block` stops what it started
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(process.pid, signal.SIGKILL)  # whatever of its session is left
        except ProcessLookupError:
            pass
        process.wait()

    def stop(self):
        while self.nodes:
            self._stop(*self.nodes.pop())
        shutil.rmtree(self.root, ignore_errors=True)
