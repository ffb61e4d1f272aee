"""The sweep's runs on the Ray cluster that `--ray ADDRESS` names: one actor per CPU of the
cluster, each driving a warm worker process as a local run does, so the table is the same.
Ray restarts an actor whose process or node was lost and runs its run again
(`max_restarts`, `max_task_retries`); a run that still fails is a failed row.

Files: by default every worker reads the tick files, the instrument file and the host
directory at the paths the driver has (a shared filesystem, where recorded days usually
live). With `--ship` the driver puts their bytes into Ray's object store once; each actor
unpacks the host and the instrument file once, and a run's tick files into a directory of
its own.
"""
import io
import re
import shutil
import socket
import stat
import sys
import tarfile
import tempfile
from dataclasses import replace
from pathlib import Path

from ..common.errors import UsageError, shown
from ..common.places import REPO
from ..live.host import unpack_host
from .runs import Worker, failed

POLL_SECONDS = 0.25
REACH_SECONDS = 10
TERMINAL_CODES = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")  # colours Ray puts in its error texts


def error_text(error):
    """What a Ray error says: the task's own exception when it raised one (Ray's first line
    only names the task), in plain text."""
    cause = getattr(error, "cause", None)
    if isinstance(cause, BaseException):
        text = "%s: %s" % (type(cause).__name__, cause)
    else:
        text = "%s: %s" % (type(error).__name__, (str(error).strip().splitlines() or [""])[0])
    return TERMINAL_CODES.sub("", text)


def connect(address):
    """Join the cluster before anything is written, so that an unreachable one costs nothing."""
    try:
        import ray
    except ImportError:
        raise UsageError("--ray needs Ray: pip install 'ray==2.60.0'%s" % (
            " (which has no release for this Python yet)" if sys.version_info >= (3, 15) else "")) from None
    if address != "auto":
        # Ray keeps trying an address where nothing listens for minutes; one look says it at once.
        host, _, port = address.rpartition(":")
        try:
            socket.create_connection((host, int(port)), timeout=REACH_SECONDS).close()
        except ValueError:
            raise UsageError("--ray %s: write HOST:PORT of the cluster's head, or auto" % address) from None
        except OSError as error:
            raise UsageError("cannot reach the Ray cluster at %s: %s" % (address, error.strerror or error)) from None
    try:
        # The actors import the sweep (and start their workers) from this checkout.
        ray.init(address=address, log_to_driver=False, logging_level="WARNING",
                 runtime_env={"env_vars": {"PYTHONPATH": str(REPO)}})
    except (ConnectionError, RuntimeError, ValueError) as error:
        raise UsageError("cannot connect to the Ray cluster at %s: %s" % (address, error)) from None


KINDS = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
         (stat.S_ISSOCK, "a socket"))


def host_archive(directory):
    """The host directory as tar bytes, for workers that cannot read it: links followed, so
    that a worker reads what the driver reads, in plain files and folders (all an unpacking
    takes); its own logs and caches stay at home. What is neither file nor folder cannot be
    shipped and is refused by name."""
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w", dereference=True) as archive:

        def add(path, name, folders):
            if "__pycache__" in name or name.startswith("./log/"):
                return
            try:
                status = path.stat()
            except OSError as error:
                raise UsageError("--ship: cannot read %s in the host directory: %s"
                                 % (shown(path), error.strerror or error)) from None
            if stat.S_ISDIR(status.st_mode):
                folder = (status.st_dev, status.st_ino)
                if folder in folders:
                    raise UsageError("--ship: %s links to a folder that holds it: such a host cannot be shipped"
                                     % shown(path))
                archive.add(path, arcname=name, recursive=False)
                for child in sorted(path.iterdir()):
                    add(child, "%s/%s" % (name, child.name), folders | {folder})
            elif stat.S_ISREG(status.st_mode):
                archive.add(path, arcname=name)
            else:
                kind = next((kind for test, kind in KINDS if test(status.st_mode)), "no file")
                raise UsageError("--ship: %s is %s: only files and folders can be shipped; move it out of the "
                                 "host directory" % (shown(path), kind))

        add(Path(directory), ".", frozenset())
    return data.getvalue()


class Replayer:
    """A Ray actor: a warm worker, bound to the replay options (and, shipped, to its own copy
    of the host and the instrument file)."""

    def __init__(self, replay, cwd, runs_per_process, host_tar=None, instruments=None):
        self.home = Path(tempfile.mkdtemp(prefix="brindle-actor-"))
        self.renames = []
        if host_tar is not None:
            unpack_host(host_tar, self.home / "host")
            self.renames.append((str(self.home / "host"), shown(replay.host)))
            replay = replace(replay, host=self.home / "host")
            if instruments is not None:
                (self.home / "instruments.csv").write_bytes(instruments)
                self.renames.append((str(self.home / "instruments.csv"), shown(replay.instruments)))
                replay = replace(replay, instruments=self.home / "instruments.csv")
        self.worker = Worker(replay, cwd, runs_per_process)

    def run(self, request, retries, timeout, *shipped):
        key, ticks, overrides, renames = request
        run_dir = None
        if shipped:
            run_dir = Path(tempfile.mkdtemp(dir=self.home))
            ticks = []
            for (path, name), data in zip(renames, shipped):
                ticks.append(str(run_dir / Path(path).name))
                Path(ticks[-1]).write_bytes(data)
            renames = [(t, name) for t, (_, name) in zip(ticks, renames)]
        try:
            return self.worker.run(ticks, overrides, list(renames) + self.renames, retries, timeout)
        finally:
            if run_dir is not None:
                shutil.rmtree(run_dir, ignore_errors=True)


class RayRunner:
    def __init__(self, address, replay, retries, timeout, ship, runs_per_process):
        connect(address)
        import ray

        self.retries, self.timeout, self.ship = retries, timeout, ship
        self.where = "Ray cluster %s" % address
        self.shipped_ticks = {}
        host = instruments = None
        if ship:
            host = ray.put(host_archive(replay.host))
            if not replay.db and replay.instruments:
                try:
                    instruments = ray.put(Path(replay.instruments).read_bytes())
                except OSError as error:
                    raise UsageError("cannot read the instrument file %s: %s"
                                     % (shown(replay.instruments), error.strerror)) from None
        actor = ray.remote(num_cpus=1, max_restarts=retries, max_task_retries=retries)(Replayer)
        count = max(1, int(ray.cluster_resources().get("CPU", 1)))
        cwd = str(Path.cwd())
        self.actors = [actor.remote(replay, cwd, runs_per_process, host, instruments) for _ in range(count)]

    def ticks_of(self, request):
        """The object references of a run's tick files, or the message of one that cannot be read."""
        import ray

        references = []
        for path, name in request[3]:
            if path not in self.shipped_ticks:
                try:
                    self.shipped_ticks[path] = ray.put(Path(path).read_bytes())
                except OSError as error:  # worded as the replay words it
                    reason = "no such file" if isinstance(error, FileNotFoundError) else error.strerror
                    self.shipped_ticks[path] = "cannot read the tick file %s: %s" % (name, reason)
            if isinstance(self.shipped_ticks[path], str):
                return self.shipped_ticks[path]
            references.append(self.shipped_ticks[path])
        return references

    def run(self, requests, on_result):
        """Each actor one run at a time, the next when it answers."""
        import ray

        source = iter(requests)
        tasks = {}

        def submit(actor):
            for request in source:
                shipped = self.ticks_of(request) if self.ship else []
                if isinstance(shipped, str):
                    on_result(request[0], failed(shipped))
                    continue
                tasks[actor.run.remote(request, self.retries, self.timeout, *shipped)] = (actor, request[0])
                return

        for actor in self.actors:
            submit(actor)
        try:
            while tasks:
                done, _ = ray.wait(list(tasks), num_returns=1, timeout=POLL_SECONDS)
                for ref in done:
                    actor, key = tasks.pop(ref)
                    try:
                        result = ray.get(ref)
                    except ray.exceptions.RayError as error:
                        result = failed("the Ray actor failed (%d attempt%s): %s" % (
                            1 + self.retries, "s" if self.retries else "", error_text(error)))
                    on_result(key, result)
                    submit(actor)
        except KeyboardInterrupt:
            self.close()  # the actors end, and with them the workers they started
            raise

    def close(self):
        import ray

        if ray.is_initialized():
            for actor in self.actors:
                ray.kill(actor, no_restart=True)
            ray.shutdown()
