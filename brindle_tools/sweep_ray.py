"""The sweep's runs as Ray tasks: one task per run on the cluster that `--ray ADDRESS` names,
each running the replay in a process of its own as a local run does, so the table is the
same. Ray retries a task whose worker or node was lost (`max_retries`); a task that still
fails is a failed row.

Files: by default every worker reads the tick files, the instrument file and the host
directory at the paths the driver has (a shared filesystem, where recorded days usually
live). With `--ship` the driver reads them once and puts their bytes into Ray's object
store; each task writes them to a directory of its own.
"""
import socket

from . import sweep
from .host import REPO, UsageError, shown

POLL_SECONDS = 0.25
REACH_SECONDS = 10


def connect(address):
    """Join the cluster before anything is written, so that an unreachable one costs nothing."""
    try:
        import ray
    except ImportError:
        raise UsageError("--ray needs Ray: pip install 'ray==2.60.0' (scripts/ensure-deps installs it)") from None
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
        # The workers import the sweep (and start the replay) from this checkout.
        ray.init(address=address, log_to_driver=False, logging_level="WARNING",
                 runtime_env={"env_vars": {"PYTHONPATH": str(REPO)}})
    except (ConnectionError, RuntimeError, ValueError) as error:
        raise UsageError("cannot connect to the Ray cluster at %s: %s" % (address, error)) from None


def shipped(plan):
    """(host, instrument file, {tick file: bytes}) as object store references; a tick file
    that cannot be read is a failed row at once."""
    import ray

    host = ray.put(sweep.host_archive(plan.host_dir))
    instruments = None
    if plan.instruments:
        try:
            with open(plan.instruments, "rb") as f:
                instruments = ray.put(f.read())
        except OSError as error:
            raise UsageError("cannot read the instrument file %s: %s" % (shown(plan.instruments), error.strerror))
    ticks = {}
    for path in plan.files:
        try:
            with open(path, "rb") as f:
                ticks[str(path)] = ray.put(f.read())
        except OSError as error:  # worded as the replay words it
            reason = "no such file" if isinstance(error, FileNotFoundError) else error.strerror
            ticks[str(path)] = "cannot read the tick file %s: %s" % (shown(path), reason)
    return host, instruments, ticks


def run(pending, retries, ship, plan, on_result):
    """The pending runs on the cluster that connect() joined."""
    import ray

    try:
        task = ray.remote(num_cpus=1, max_retries=retries)(sweep.execute_run)
        if ship:
            host, instruments, ticks = shipped(plan)
        tasks = {}
        for spec in pending:
            if not ship:
                tasks[task.remote(spec)] = spec
            elif isinstance(ticks[spec["ticks"]], str):
                on_result(spec, {"status": "failed", "error": ticks[spec["ticks"]]})
            else:
                tasks[task.remote(spec, ticks[spec["ticks"]], host, instruments)] = spec
        remaining = list(tasks)
        try:
            while remaining:
                done, remaining = ray.wait(remaining, num_returns=len(remaining), timeout=POLL_SECONDS)
                for ref in done:
                    try:
                        result = ray.get(ref)
                    except ray.exceptions.RayError as error:
                        first_line = (str(error).strip().splitlines() or [""])[0]
                        result = {"status": "failed", "error": "the Ray task failed (%d attempt%s): %s: %s" % (
                            1 + retries, "s" if retries else "", type(error).__name__, first_line)}
                    on_result(tasks[ref], result)
        except KeyboardInterrupt:
            for ref in remaining:  # their workers end, and with them the replays they started
                ray.cancel(ref, force=True)
            raise
    finally:
        ray.shutdown()
