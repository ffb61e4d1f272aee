"""The replay and the sweep for notebooks: functions that take the command lines' options as
keyword arguments and give the results as DataFrames (pandas when it is installed, else
pyarrow tables), read from the very files the commands write.

    import brindle_tools as bt
    result = bt.backtest("ticks.csv", fees="fees.csv", set={"open_ticks": 4})
    result.summary["profit"], result.fills, result.per_day
    runs, ranking = bt.sweep("days", grid={"open_ticks": "2..5", "close_ticks": [1, 2]})

An option is its command line name with underscores (cancel_after=30, restart_daily=True);
`set` is a dictionary of parameters. Bad options raise ValueError with the command's message.
A Python session replays with one host: the engine binds the host's modules when it is
imported, as a trading client does.
"""
import contextlib
import io
import os
import sys
import tempfile
from pathlib import Path

_bound_host = None  # the host directory the engine of this session was imported with


def frame(table):
    """A pyarrow table as a pandas DataFrame where pandas is installed."""
    try:
        import pandas  # noqa: F401
    except ImportError:
        return table
    return table.to_pandas()


def read_table(path):
    import pyarrow.csv

    return frame(pyarrow.csv.read_csv(path))


def argv_of(positional, options):
    """Command line arguments of keyword options."""
    argv = [str(p) for p in (positional if isinstance(positional, (list, tuple)) else [positional])]
    for name, value in options.items():
        flag = "--" + name.replace("_", "-")
        if value is None or value is False:
            continue
        if value is True:
            argv.append(flag)
        elif name == "set":
            argv += [part for item in value.items() for part in ("--set", "%s=%r" % item)]
        elif name == "grid":
            for key, values in value.items():
                text = values if isinstance(values, str) else ",".join(repr(v) for v in values)
                argv += ["--grid", "%s=%s" % (key, text)]
        else:
            argv += [flag, str(value)]
    return argv


def parsed(parse, argv):
    """parse(argv), with a refusal raised as ValueError instead of leaving the interpreter."""
    message = io.StringIO()
    try:
        with contextlib.redirect_stderr(message):
            return parse(argv)
    except SystemExit:
        lines = message.getvalue().strip().splitlines()
        raise ValueError(lines[-1] if lines else "bad options") from None


@contextlib.contextmanager
def kept_place():
    """The working directory and module path of the notebook, as they were."""
    cwd, path = os.getcwd(), list(sys.path)
    try:
        yield
    finally:
        os.chdir(cwd)
        sys.path[:] = path


class Backtest:
    """The results of a replay: summary (the dictionary of summary.json), fills, decisions,
    equity (net of fees, one row per minute with ticks) and per_day as DataFrames."""

    def __init__(self, summary, out):
        import pyarrow

        series = summary.results.series
        self.summary = summary.as_dict()
        self.fills = read_table(out / "fills.csv")
        self.decisions = read_table(out / "decisions.csv")
        days, starts = [], iter(series.day_starts[1:] + [(len(series.minutes), None)])
        day, (end, following) = (series.day_starts[0][1] if series.day_starts else None), next(starts)
        for point in range(len(series.minutes)):
            while point >= end:
                day, (end, following) = following, next(starts)
            days.append(day)
        self.equity = frame(pyarrow.table({
            "time": pyarrow.array([int(m) * 60 for m in series.minutes], pyarrow.timestamp("s")),
            "trading_day": pyarrow.array(days, pyarrow.string()),
            "equity": pyarrow.array(series.equity, pyarrow.float64())}))
        self.per_day = frame(pyarrow.Table.from_pylist(self.summary["per_day"]))

    def __repr__(self):
        profit = self.summary["profit"]
        return "<Backtest: %d ticks, %d fills, net %.2f (gross %.2f, fees %.2f)>" % (
            self.summary["ticks"], self.summary["fills"], profit["net"], profit["gross"], profit["fees"])


def backtest(ticks, host=None, fees=None, out=None, **options):
    """Replay tick files (a path or a list of them) as `brindle-replay` does; out: where
    the files go (default: a temporary directory, removed)."""
    global _bound_host
    from .replay import run
    from .common.errors import UsageError
    from .live.host import Host

    with kept_place():
        args = parsed(run.parse_arguments, argv_of(ticks, dict(options, host=host, fees=fees, no_chart=out is None,
                                                                out=out or "replay-out")))
        directory = Host(args.host).directory
        if _bound_host not in (None, directory):
            raise ValueError("this Python session replays with the host %s; the host %s needs a session of its own"
                             % (_bound_host, directory))
        with tempfile.TemporaryDirectory(prefix="brindle-backtest-") as scratch:
            if out is None:
                args.out = Path(scratch) / "out"
            try:
                summary = run.replay(args)
            except UsageError as error:
                raise ValueError(str(error)) from None
            finally:
                if "oxa.Brindle" in sys.modules:
                    _bound_host = directory
            if summary.stopped:
                raise RuntimeError("the replay stopped at %s" % summary.stopped)
            return Backtest(summary, args.out)


def sweep(ticks, grid, out=None, **options):
    """Sweep a grid as `brindle-sweep` does (grid: {name: "A..B" or a list of
    values}); gives (runs, ranking) as DataFrames, or for a walk-forward (train=N, test=M)
    (runs, windows, equity). It prints what the command prints."""
    from .research import sweep as command

    with tempfile.TemporaryDirectory(prefix="brindle-sweep-") as scratch:
        target = Path(out) if out is not None else Path(scratch) / "out"
        argv = argv_of(ticks, dict(options, grid=grid, out=target))
        parsed(command.parse_arguments, argv)  # a refusal of the options as ValueError
        message = io.StringIO()
        with kept_place(), contextlib.redirect_stderr(message):
            status = command.main(argv)
        if status == 2:
            raise ValueError(message.getvalue().strip().removeprefix("brindle-sweep" + ": "))
        if status == 130:
            raise KeyboardInterrupt
        if options.get("train") is not None:
            return tuple(read_table(target / name) for name in
                         ("runs.csv", "walkforward.csv", "walkforward_equity.csv"))
        return read_table(target / "runs.csv"), read_table(target / "ranking.csv")
