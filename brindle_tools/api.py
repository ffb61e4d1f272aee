"""The replay and the research for notebooks: functions with real signatures that give their
results in memory, and write files only when asked (out=).

    import brindle_tools as bt
    result = bt.backtest("ticks.csv", fees="fees.csv", set={"open_ticks": 4})
    result.summary["profit"], result.fills, result.per_day, result.plot(), result.report("report.html")
    sweep = bt.sweep("days", {"open_ticks": "2..5", "close_ticks": [1, 2]})
    sweep.ranking

Options are the fields of ReplayOptions (and, for the research, of SweepOptions), as an
object or as keywords; a refusal raises ValueError with the command line's message. A Python
session replays with one host: the engine binds the host's modules when it is imported, as a
trading client does.
"""
import sys
from pathlib import Path
from typing import Optional, Sequence, Union

from .common.errors import UsageError
from .live.host import Host
from .replay import run
from .replay.options import ReplayOptions, given_fields
from .replay.backtest import Backtest
from .research import sweep as research

Ticks = Union[str, Path, Sequence[Union[str, Path]]]

_bound_host = None  # the host directory the engine of this session was imported with


def backtest(ticks: Ticks, options: Optional[ReplayOptions] = None, *, out: Union[str, Path, None] = None,
             chart: bool = True, progress: Optional[bool] = None, **fields_given) -> Backtest:
    """Replay tick files (a path, a directory, a glob pattern or a list of them) as
    brindle-replay does, with `options` and any ReplayOptions field given as a keyword over
    them (fees="fees.csv", set={"open_ticks": 4}, engine="native", ...). Gives a Backtest built
    in memory; out: a directory that also gets the files brindle-replay writes (chart.png and
    report.html unless chart=False); progress: False hides the progress bar of a long replay,
    shown by default in a notebook or on a terminal."""
    global _bound_host
    options = given_fields(ReplayOptions, options, fields_given).checked()
    try:
        directory = Host(options.host).directory
        if _bound_host not in (None, directory):
            raise UsageError("this Python session replays with the host %s; the host %s needs a session of its own"
                             % (_bound_host, directory))
        summary = run.replay(ticks, options, out=out, chart=chart, keep=True, progress=progress)
    except UsageError as error:
        raise ValueError(str(error)) from None
    finally:
        if "oxa.Brindle" in sys.modules:
            _bound_host = directory
    if summary.stopped:
        raise RuntimeError("the replay stopped at %s" % summary.stopped)
    if summary.strategy_failed:
        raise RuntimeError("%s (allow_strategy_errors=True accepts them)" % summary.strategy_failed)
    if summary.not_written is not None:
        raise OSError(run.unwritten(summary.args, summary))
    if summary.chart_failed is not None:
        raise OSError("%s; the other outputs are written" % summary.chart_failed)
    return Backtest(summary)


def sweep(ticks: Ticks, grid, options: Optional[ReplayOptions] = None,
          settings: Optional[research.SweepOptions] = None, *, out: Union[str, Path, None] = None,
          **fields_given) -> research.SweepResult:
    return as_value_errors(research.sweep, ticks, grid, options, settings, out=out, **fields_given)


def walk_forward(ticks: Ticks, grid, train: int, test: int, options: Optional[ReplayOptions] = None,
                 settings: Optional[research.SweepOptions] = None, *, out: Union[str, Path, None] = None,
                 **fields_given):
    return as_value_errors(research.walk_forward, ticks, grid, train, test, options, settings, out=out,
                           **fields_given)


sweep.__doc__ = research.sweep.__doc__
walk_forward.__doc__ = research.walk_forward.__doc__


def as_value_errors(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except UsageError as error:
        raise ValueError(str(error)) from None
