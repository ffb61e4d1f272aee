"""A replay's results as a notebook holds them, built from what the replay kept in memory."""
import html
from typing import Any, Dict

from ..common.frames import csv_text_frame, frame
from . import report, webpage


class Backtest:
    """The results of a replay: `summary` (the dictionary of summary.json), and as DataFrames
    `fills` and `decisions` (as fills.csv and decisions.csv hold them), `equity` (net of fees,
    one row per minute with ticks) and `per_day`; `plot()` draws the chart, `report(path)`
    writes report.html."""

    summary: Dict[str, Any]
    fills: Any  # DataFrames: pandas where it is installed, else pyarrow tables
    decisions: Any
    equity: Any
    per_day: Any
    text: str  # the summary as brindle-replay prints it

    def __init__(self, summary):
        self.summary = summary.as_dict()
        self.fills = csv_text_frame(summary.kept.fills.text())
        self.decisions = csv_text_frame(summary.kept.decisions.text())
        self.equity = equity_frame(summary.results.series)
        self.per_day = per_day_frame(self.summary["per_day"])
        self.text = summary.text()
        self._results = summary.results
        self._summary = summary

    def plot(self):
        """The chart of brindle-replay's chart.png (prices with the fills, positions, equity,
        drawdown, profit per day) as a matplotlib figure; None when no instrument had ticks."""
        return report.figure(self._results)

    def __repr__(self):
        profit = self.summary["profit"]
        return "<Backtest: %d ticks, %d fills, net %.2f (gross %.2f, fees %.2f)>" % (
            self.summary["ticks"], self.summary["fills"], profit["net"], profit["gross"], profit["fees"])

    def __str__(self):
        return self.text

    def report(self, path):
        """Write report.html to path: the self-contained page brindle-replay writes beside its
        outputs (webpage.py); it reads the prices from the tick files again."""
        webpage.write(self._summary, path)

    def _repr_html_(self):
        rows = "".join("<tr><th style='text-align:left'>%s</th><td style='text-align:left'>%s</td></tr>"
                       % (html.escape(label), html.escape(value))
                       for label, value, _ in webpage.headline(self.summary))
        return ("<div style='display:flex;gap:1.5em;align-items:flex-start'><table><caption style='text-align:left'>"
                "Backtest</caption>%s</table>%s</div>" % (rows, equity_sketch(self._results.series.equity)))


def equity_sketch(equity, width=320, height=120):
    """A small SVG line of the equity per minute with ticks, its zero line dotted."""
    if len(equity) < 2:
        return ""
    low, high = min(min(equity), 0.0), max(max(equity), 0.0)
    scale = (height - 8) / ((high - low) or 1.0)

    def y(value):
        return height - 4 - (value - low) * scale

    step = width / (len(equity) - 1)
    points = " ".join("%.1f,%.1f" % (i * step, y(value)) for i, value in enumerate(equity))
    return ("<svg width='%d' height='%d' role='img' aria-label='equity net of fees'><title>equity net of fees"
            "</title><line x1='0' x2='%d' y1='%.1f' y2='%.1f' stroke='#999' stroke-dasharray='3'/>"
            "<polyline fill='none' stroke='#1f77b4' points='%s'/></svg>" % (width, height, width, y(0), y(0), points))


def equity_frame(series):
    """The equity net of fees at the end of each minute with ticks, with its trading day."""
    import pyarrow

    days, starts = [], iter(series.day_starts[1:] + [(len(series.minutes), None)])
    day, (end, following) = (series.day_starts[0][1] if series.day_starts else None), next(starts)
    for point in range(len(series.minutes)):
        while point >= end:
            day, (end, following) = following, next(starts)
        days.append(day)
    return frame(pyarrow.table({
        "time": pyarrow.array([int(m) * 60 for m in series.minutes], pyarrow.timestamp("s")),
        "trading_day": pyarrow.array(days, pyarrow.string()),
        "equity": pyarrow.array(series.equity, pyarrow.float64())}))


def per_day_frame(days):
    import pyarrow

    return frame(pyarrow.Table.from_pylist(days))
