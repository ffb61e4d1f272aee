"""What a replay shows and writes: the progress bar, the decision and fill files, the
summary (as text and as JSON) and the chart."""
import csv
import datetime
import json

from .book import ACTIONS, LONG, SHORT
from .host import shown

DECISION_COLUMNS = ("Line", "UpdateTime", "InstrumentID", "Action", "ExchangeID", "Price", "Volume",
                    "OrderRef", "Note")
# The journal's columns (T_SimNow_AutoTrade), then the client's own view of the fill.
FILL_COLUMNS = ("InvestorID", "InstrumentID", "Express", "Direction", "CombOffsetFlag", "Order_Time",
                "Order_Price", "Order_MDPrice", "Trade_Price", "Trade_Volume",
                "OrderRef", "Action", "Volume", "Line", "UpdateTime", "Position")


class CsvOut:
    def __init__(self, path, columns):
        self.file = open(path, "w", newline="", encoding="utf-8")
        self.writer = csv.writer(self.file, lineterminator="\n")
        self.writer.writerow(columns)
        self.write = self.writer.writerow

    def close(self):
        self.file.close()


class NoProgress:
    def update(self, n=1):
        pass

    def close(self):
        pass


def progress(total, threshold):
    """A progress bar on the terminal for a long file."""
    if total < threshold:
        return NoProgress()
    from tqdm import tqdm

    return tqdm(total=total, unit=" ticks", unit_scale=True, mininterval=0.25, leave=False, dynamic_ncols=True)


def price_text(value):
    text = "%.6f" % value
    return text.rstrip("0").rstrip(".")


def money(value):
    return "{:,.2f}".format(value + 0.0)  # + 0.0: no "-0.00"


def count(value, word):
    return "%s %s%s" % ("{:,}".format(value), word, "" if value == 1 else "s")


class Summary:
    def __init__(self, replay, elapsed, log_counter, interrupted):
        self.replay = replay
        self.elapsed = elapsed
        self.log = log_counter
        self.interrupted = interrupted  # tick file line at Ctrl-C, or None
        self.journal_rows = None
        self.written = []

    @property
    def rate(self):
        return self.replay.totals.ticks / self.elapsed if self.elapsed > 0 else 0.0

    def as_dict(self):
        replay, totals = self.replay, self.replay.totals
        instruments = {}
        for instrument in replay.instruments.values():
            instruments[instrument.id] = {
                "exchange": instrument.exchange, "volume_multiple": instrument.multiple, "ticks": instrument.ticks,
                "last_price": instrument.last_price,
                "long": {"volume": instrument.sides[LONG].volume, "average_price": instrument.sides[LONG].average},
                "short": {"volume": instrument.sides[SHORT].volume, "average_price": instrument.sides[SHORT].average},
                "realised_profit": instrument.realised, "open_profit": instrument.open_profit,
            }
        return {
            "ticks_file": str(replay.args.ticks), "investor": replay.investor,
            "parameters": replay.args.parameters, "ticks": totals.ticks,
            "seconds": self.elapsed, "ticks_per_second": self.rate, "decisions": dict(totals.decisions),
            "orders": {"placed": totals.placed, "filled": totals.filled, "cancelled": totals.cancelled,
                       "open": totals.placed - totals.filled - totals.cancelled},
            "close_decisions_without_position": totals.nothing_to_close, "skipped_ticks": dict(totals.skipped),
            "instruments": instruments,
            "realised_profit": sum(i["realised_profit"] for i in instruments.values()),
            "open_profit": sum(i["open_profit"] for i in instruments.values()),
            "engine_log": {"errors": self.log.errors, "warnings": self.log.warnings, "first_error": self.log.first_error},
            "journal_rows": self.journal_rows,
            "interrupted_at_line": self.interrupted,
        }

    def text(self):
        replay, totals = self.replay, self.replay.totals
        source = "t_Instrument of %s" % replay.database if replay.args.db else shown(replay.args.instruments)
        lines = ["Replay of %s for investor %s" % (shown(replay.args.ticks), replay.investor),
                 "  host          %s/, instruments from %s" % (shown(replay.host.directory), source)]
        if self.interrupted is not None:
            lines.append("  INTERRUPTED   at line %d: the summary so far; no files written" % self.interrupted)

        def row(label, text):
            lines.append("  %-13s %s" % (label, text))

        row("ticks", "%s in %.2f s: %s ticks/s" % ("{:,}".format(totals.ticks), self.elapsed,
                                                     "{:,.0f}".format(self.rate)))
        for instrument, skipped in sorted(totals.skipped.items()):
            row("", "%s of %s skipped: no strategy for it" % (count(skipped, "tick"), instrument))
        row("decisions", ", ".join("%s %s" % (a, "{:,}".format(totals.decisions[a])) for a in ACTIONS))
        still_open = totals.placed - totals.filled - totals.cancelled
        row("orders", "%s placed: %s filled, %s cancelled, %s still open" % (
            "{:,}".format(totals.placed), "{:,}".format(totals.filled), "{:,}".format(totals.cancelled),
            "{:,}".format(still_open)))
        if totals.nothing_to_close:
            row("", "%s with nothing to close (not sent)" % count(totals.nothing_to_close, "close decision"))
        realised = opened = 0.0
        for instrument in replay.instruments.values():
            row(instrument.id, "%s, %s per lot, %s, last %s" % (
                instrument.exchange, "{:,}".format(instrument.multiple), count(instrument.ticks, "tick"),
                price_text(instrument.last_price)))
            row("  position", ", ".join(
                "%s %d at %s" % (name, side.volume, price_text(side.average)) if side.volume else "%s 0" % name
                for name, side in (("long", instrument.sides[LONG]), ("short", instrument.sides[SHORT]))))
            row("  profit", "realised %s, open %s" % (money(instrument.realised), money(instrument.open_profit)))
            realised += instrument.realised
            opened += instrument.open_profit
        if len(replay.instruments) > 1:
            row("profit", "realised %s + open %s = %s" % (money(realised), money(opened), money(realised + opened)))
        log = "%s, %s" % (count(self.log.errors, "error"), count(self.log.warnings, "warning"))
        if self.log.first_error:
            log += "; first: %s" % self.log.first_error
        row("engine log", log)
        if self.journal_rows is not None:
            note = "" if self.journal_rows == totals.filled else \
                " (%d fills: see engine.log)" % totals.filled
            row("journal", "%s added to T_SimNow_AutoTrade%s" % (count(self.journal_rows, "row"), note))
        if self.written:
            row("written", "%s/: %s" % (shown(self.written[0].parent), ", ".join(p.name for p in self.written)))
        return "\n".join(lines)


def write_json(summary, path):
    with open(path, "w", encoding="utf-8") as out:
        json.dump(summary.as_dict(), out, indent=2)
        out.write("\n")


def chart(replay, path):
    """The last price of each instrument with the fills marked: buys as upward triangles,
    sells as downward ones, filled when they open, hollow when they close."""
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    shown_instruments = [i for i in replay.instruments.values() if i.ticks]
    if not shown_instruments:
        return
    figure, axes = pyplot.subplots(len(shown_instruments), 1, figsize=(12, 3.6 * len(shown_instruments)),
                                   squeeze=False)
    start = replay.first_time
    marks = {"buy_open": ("^", "tab:green", "tab:green", "buy open"),
             "buy_close": ("^", "none", "tab:green", "buy close"),
             "sell_open": ("v", "tab:red", "tab:red", "sell open"),
             "sell_close": ("v", "none", "tab:red", "sell close")}
    for axis, instrument in zip(axes[:, 0], shown_instruments):
        axis.plot(range(len(instrument.prices)), instrument.prices, color="0.35", linewidth=0.6, label="last price")
        for action in ACTIONS:
            points = [(x, price) for x, price, a in instrument.fills if a == action]
            if points:
                marker, face, edge, label = marks[action]
                axis.scatter([p[0] for p in points], [p[1] for p in points], marker=marker, s=46, zorder=3,
                             facecolors=face, edgecolors=edge, linewidths=1.2, label="%s (%d)" % (label, len(points)))
        times = instrument.times

        def clock(x, _position, times=times):
            index = min(max(int(x), 0), len(times) - 1)
            return (start + datetime.timedelta(seconds=times[index])).strftime("%H:%M")

        axis.xaxis.set_major_locator(MaxNLocator(10, integer=True))
        axis.xaxis.set_major_formatter(FuncFormatter(clock))
        axis.set_xlim(0, max(len(instrument.prices) - 1, 1))
        axis.set_title("%s (%s): last price and fills of investor %s; realised %s, open %s" % (
            instrument.id, instrument.exchange, replay.investor, money(instrument.realised),
            money(instrument.open_profit)), fontsize=10, loc="left")
        axis.set_xlabel("tick time (ticks evenly spaced)", fontsize=8)
        axis.grid(True, color="0.9")
        axis.legend(loc="upper left", fontsize=8, framealpha=0.8)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    pyplot.close(figure)
