"""A replay's results as a notebook holds them, built from what the replay kept in memory."""
import html

from ..common.frames import csv_text_frame, frame
from . import report


class Backtest:
    """The results of a replay: `summary` (the dictionary of summary.json), and as DataFrames
    `fills` and `decisions` (as fills.csv and decisions.csv hold them), `equity` (net of fees,
    one row per minute with ticks) and `per_day`; `plot()` draws the chart."""

    def __init__(self, summary):
        self.summary = summary.as_dict()
        self.fills = csv_text_frame(summary.kept.fills.text())
        self.decisions = csv_text_frame(summary.kept.decisions.text())
        self.equity = equity_frame(summary.results.series)
        self.per_day = per_day_frame(self.summary["per_day"])
        self.text = summary.text()
        self._results = summary.results

    def plot(self):
        """The chart of brindle-replay's chart.png (prices with the fills, equity, drawdown) as a
        matplotlib figure; None when no instrument had ticks."""
        return report.figure(self._results)

    def __repr__(self):
        profit = self.summary["profit"]
        return "<Backtest: %d ticks, %d fills, net %.2f (gross %.2f, fees %.2f)>" % (
            self.summary["ticks"], self.summary["fills"], profit["net"], profit["gross"], profit["fees"])

    def __str__(self):
        return self.text

    def _repr_html_(self):
        rows = "".join("<tr><th style='text-align:left'>%s</th><td style='text-align:left'>%s</td></tr>"
                       % (html.escape(label), html.escape(value)) for label, value in headline(self.summary))
        return "<table><caption style='text-align:left'>Backtest</caption>%s</table>" % rows


def headline(summary):
    """(label, text) of the figures a trader looks at first."""
    profit, drawdown = summary["profit"], summary["max_drawdown"]
    return [("trading days", ", ".join(summary["trading_days"])),
            ("ticks", "{:,}".format(summary["ticks"])),
            ("fills", "{:,}".format(summary["fills"])),
            ("round trips", "{:,}".format(summary["round_trips"])),
            ("net", report.money(profit["net"])),
            ("gross", report.money(profit["gross"])),
            ("fees", report.money(profit["fees"])),
            ("max drawdown", "%s (%.2f%%)" % (report.money(drawdown["money"]), drawdown["percent"] or 0.0)),
            ("sharpe", "-" if summary["sharpe"] is None else "%.2f" % summary["sharpe"]),
            ("engine log", "%d errors, %d warnings" % (summary["engine_log"]["errors"],
                                                       summary["engine_log"]["warnings"]))]


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
