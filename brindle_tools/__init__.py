"""Replay of recorded market data through oxa.Brindle, driven the way a trading client
drives it, and the tools around it. From a checkout (installed: the brindle-* commands):

    python3 -m replay TICKS...         backtest ticks: print the summary, write decisions,
                                       fills, figures and a chart          (brindle-replay)
    python3 -m replay.sweep TICKS...   replay a grid of strategy parameters, locally or on
                                       a Ray cluster; walk-forward with
                                       --train/--test                      (brindle-sweep)
    python3 -m replay.check            check the strategies of the settings module
    python3 -m replay.db create        create the database tables the engine uses
    python3 -m replay.sample [FILE]    write the sample session's ticks
    python3 tools/resend_dead_letters.py FILE
                                       send again what the database did not take
                                                                           (brindle-resend)

In a notebook: brindle_tools.backtest(ticks, ...) and brindle_tools.sweep(ticks, grid, ...)
give the results as DataFrames (api.py).
"""
import importlib

from .api import backtest  # noqa: F401  (the notebook API)


def __getattr__(name):
    # brindle_tools.sweep is the sweep command's module, callable as the notebook function.
    if name == "sweep":
        return importlib.import_module(".sweep", __name__)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
