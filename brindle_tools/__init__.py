"""Replay of recorded market data through oxa.Brindle, driven the way a trading client drives
it, and the research around it. The commands: brindle-replay, brindle-sweep, brindle-check,
brindle-db, brindle-sample, brindle-resend. In a notebook:

    import brindle_tools as bt
    result = bt.backtest("ticks.csv", fees="fees.csv", set={"open_ticks": 4})
    runs = bt.sweep("days", grid={"open_ticks": "2..5"})
"""
from .api import backtest, sweep

__all__ = ["backtest", "sweep"]
