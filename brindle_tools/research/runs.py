"""The runs of a sweep, executed by warm workers: a worker is a Python process that binds
the host once (interpreter, pyarrow, the host's modules, oxa.Brindle) and then replays run
after run, each with a fresh engine and account. The local pool and the Ray actors both
drive workers through Worker, so a run gives the same row wherever it ran.

A worker that dies in a run (a signal, the kernel's OOM killer) is replaced, and the run
tried again up to `retries` times; a run that outlives the timeout is stopped with its
worker. Requests and answers pass as pickles over the worker's stdin and stdout; the
engine's own prints go nowhere.

    python3 -m brindle_tools.research.runs      a worker (started by Worker, not by hand)
"""
import os
import pickle
import select
import signal
import subprocess
import sys
import tempfile
import threading
from dataclasses import replace

from ..feed import ticks
from ..common.errors import UsageError
from ..common.places import REPO

KEPT_TICKS = 256 << 20  # bytes of parsed ticks a warm worker keeps for its next runs

_workers = set()  # worker processes of this driver, stopped on Ctrl-C
_workers_lock = threading.Lock()
_stopping = threading.Event()


def figures(summary):
    """The figures of a replay's summary (as summary.json holds it). An older replay's gives
    its profit (realised + open, without fees) and its counts, the rest None."""
    profit = summary.get("profit")
    if isinstance(profit, dict):
        net, gross, fees = profit.get("net"), profit.get("gross"), profit.get("fees")
    else:
        net = gross = summary["realised_profit"] + summary["open_profit"]
        fees = 0.0
    drawdown = summary.get("max_drawdown") or {}
    orders = summary.get("orders") or {}
    log = summary.get("engine_log") or {}
    days = summary.get("per_day") or ()
    funds = summary.get("funds") or {}
    row = {"trading_days": " ".join(map(str, summary.get("trading_days") or ())),
           "daily_net": " ".join(repr(round(day["net"], 6)) for day in days),
           "net": net, "gross": gross, "fees": fees,
           "max_drawdown": drawdown.get("money"), "max_drawdown_percent": drawdown.get("percent"),
           "sharpe": summary.get("sharpe"), "round_trips": summary.get("round_trips"),
           "fills": summary.get("fills", orders.get("filled")),
           "win_rate": summary.get("win_rate"), "profit_factor": summary.get("profit_factor"),
           "turnover": summary.get("turnover"), "ticks": summary.get("ticks"), "engine_errors": log.get("errors"),
           "peak_margin": funds.get("peak_margin"), "peak_margin_share": funds.get("peak_margin_share"),
           "funds_refused": (funds.get("refused") or {}).get("count")}
    # Sums of prices carry binary fractions (1859.9999999999864); a millionth is below any money.
    return {k: round(v, 6) if isinstance(v, float) else v for k, v in row.items()}


def failed(error):
    return {"status": "failed", "error": error}


def last_line(text):
    """The line of a message that says what went wrong (the last one)."""
    lines = [line.strip() for line in str(text).splitlines() if line.strip()]
    return lines[-1] if lines else ""


# --- in the worker process ---------------------------------------------------------------------


def replay_run(options, ticks, overrides, shown_as):
    """One run: a replay of the tick files with its own options (overrides: {field: value})
    over the bound replay options; gives {status, error, figures...}."""
    from ..replay import run  # here, not at import: the driver need not load the replay

    try:
        summary = run.replay(ticks, replace(options, **overrides))
    except UsageError as error:
        return failed(shown_as(last_line(error)))
    except Exception as error:  # the run fails, the worker goes on
        return failed(shown_as("%s: %s" % (type(error).__name__, error)))
    if summary.stopped:
        return failed(shown_as("stopped at %s" % summary.stopped))
    if summary.strategy_failed:
        return failed(shown_as(summary.strategy_failed))
    return dict(figures(summary.as_dict()), status="ok", error="", engine=engine_name(summary.results.engine))


def engine_name(described):
    """The road a run took, as runs.csv names it: exact, native, or exact with why the native
    engine could not take the run."""
    return "native" if described.startswith("native") else described


def serve(requests, answers):
    """Answer run requests until the driver closes the pipe. The first request binds the
    replay options and the directory that paths are shown relative to."""
    options = None
    while True:
        try:
            request = pickle.load(requests)
        except EOFError:
            return
        if options is None:
            options = request
            continue
        ticks, overrides, renames = request

        def shown_as(text):
            for path, name in renames:
                text = text.replace(path, name)
            return text

        answer = replay_run(options, ticks, overrides, shown_as)
        pickle.dump(answer, answers)
        answers.flush()


def worker_main():
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the driver stops its workers itself
    answers = os.fdopen(os.dup(1), "wb")
    quiet = os.open(os.devnull, os.O_WRONLY)
    os.dup2(quiet, 1)  # what the engine and the replay print
    ticks.keep_batches(KEPT_TICKS)
    serve(sys.stdin.buffer, answers)


# --- in the driver -----------------------------------------------------------------------------


def signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return str(number)


class Worker:
    """A warm replay process bound to the replay options, replaced when it dies; with
    runs_per_process it is replaced after that many runs (1: a process per run)."""

    def __init__(self, options, cwd, runs_per_process=0):
        self.options = options
        self.cwd = cwd if os.path.isdir(cwd) else tempfile.gettempdir()
        self.runs_per_process = runs_per_process
        self.process = None
        self.runs = 0

    def start(self):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, (str(REPO), os.environ.get("PYTHONPATH")))))
        with _workers_lock:
            if _stopping.is_set():
                return False
            self.process = subprocess.Popen(
                [sys.executable, "-m", "brindle_tools.research.runs"], cwd=self.cwd, env=env, stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            _workers.add(self.process)
        self.runs = 0
        pickle.dump(self.options, self.process.stdin)
        return True

    def stop(self, kill=False):
        process, self.process = self.process, None
        if process is None:
            return None
        if kill:
            process.kill()
        try:
            process.stdin.close()
        except OSError:
            pass
        status = process.wait()
        process.stdout.close()
        with _workers_lock:
            _workers.discard(process)
        return status

    def ask(self, request, timeout):
        """The answer to one request; None as answer with the exit status when the worker
        died, "timeout" when it outlived timeout."""
        try:
            pickle.dump(request, self.process.stdin)
            self.process.stdin.flush()
            if timeout is not None:
                ready, _, _ = select.select([self.process.stdout], [], [], timeout)
                if not ready:
                    return "timeout", None
            return "answer", pickle.load(self.process.stdout)
        except (EOFError, OSError, pickle.UnpicklingError):
            return "died", self.stop()

    def run(self, ticks, overrides, renames=(), retries=0, timeout=None):
        """{status, error, figures...} of one run."""
        attempts = 1 + retries
        status = None
        for _ in range(attempts):
            if self.process is None and not self.start():
                return failed("the sweep was interrupted")
            outcome, value = self.ask((list(ticks), dict(overrides), list(renames)), timeout)
            if outcome == "answer":
                self.runs += 1
                if self.runs_per_process and self.runs >= self.runs_per_process:
                    self.stop()
                return value
            if outcome == "timeout":
                self.stop(kill=True)
                return failed("the replay took longer than %g s: stopped" % timeout)
            status = value
            if _stopping.is_set():
                return failed("the sweep was interrupted")
        if status is not None and status < 0:
            return failed("the replay was killed by signal %s (%d attempt%s)" % (
                signal_name(-status), attempts, "s" if attempts > 1 else ""))
        return failed("the replay's worker ended with status %s (%d attempt%s)" % (
            status, attempts, "s" if attempts > 1 else ""))


def stop_workers():
    with _workers_lock:
        _stopping.set()
        for process in _workers:
            process.kill()


def run_locally(requests, options, workers, on_result, retries, timeout, runs_per_process=0):
    """The requests ((key, ticks, overrides, renames)...) on `workers` local worker
    processes; on_result(key, result) as each ends, from one thread at a time."""
    _stopping.clear()  # a sweep after an interrupted one (in a notebook) runs
    source = iter(requests)
    source_lock, result_lock = threading.Lock(), threading.Lock()
    errors = []

    def drive():
        worker = Worker(options, os.getcwd(), runs_per_process)
        try:
            while not _stopping.is_set():
                with source_lock:
                    request = next(source, None)
                if request is None:
                    return
                key, ticks, overrides, renames = request
                result = worker.run(ticks, overrides, renames, retries, timeout)
                if _stopping.is_set():
                    return
                with result_lock:
                    on_result(key, result)
        except BaseException as error:  # the driver's own fault: reported in the main thread
            errors.append(error)
            _stopping.set()
        finally:
            worker.stop()

    threads = [threading.Thread(target=drive, daemon=True) for _ in range(workers)]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            while thread.is_alive():
                thread.join(0.25)
    except BaseException:
        stop_workers()
        raise
    if errors:
        raise errors[0]


if __name__ == "__main__":
    worker_main()
