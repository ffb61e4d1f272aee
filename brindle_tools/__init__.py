"""Replay of recorded market data through oxa.Brindle, driven the way a trading client drives
it, and the research around it. The commands: brindle-replay, brindle-sweep, brindle-check,
brindle-db, brindle-sample, brindle-resend. In a notebook:

    import brindle_tools as bt
    result = bt.backtest("ticks.csv", fees="fees.csv", set={"open_ticks": 4})
    sweep = bt.sweep("days", {"open_ticks": "2..5"})
    wf = bt.walk_forward("days", {"open_ticks": "2..5"}, train=3, test=1)
"""
from .api import backtest, sweep, walk_forward
from .replay.options import ReplayOptions
from .replay.backtest import Backtest
from .research.sweep import SweepOptions, SweepResult
from .research.walkforward import WalkForwardResult

__all__ = ["backtest", "sweep", "walk_forward", "ReplayOptions", "SweepOptions", "Backtest", "SweepResult",
           "WalkForwardResult"]
