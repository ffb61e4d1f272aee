"""What a replay shows and writes: the progress bar, the decision and fill files, the
summary (as text and as JSON) and the chart."""
import csv
import datetime
import json
import math
from pathlib import Path

from .account import ACTIONS, LONG, SHORT
from . import naming
from .host import shown

DECISION_COLUMNS = ("Line", "UpdateTime", "InstrumentID", "Action", "ExchangeID", "Price", "Volume",
                    "OrderRef", "Note", "OrderPrice", "FirstTick", "TradingDay", "File")
# The journal's columns (T_SimNow_AutoTrade), then the client's own view of the fill.
FILL_COLUMNS = ("InvestorID", "InstrumentID", "Express", "Direction", "CombOffsetFlag", "Order_Time",
                "Order_Price", "Order_MDPrice", "Trade_Price", "Trade_Volume",
                "OrderRef", "Action", "Volume", "Line", "UpdateTime", "Position", "Fee", "Liquidity", "TradingDay",
                "File")
BREAK_MINUTES = 5  # a gap in the ticks longer than this is a break of the session on the chart
DAYS_LISTED = 10


class CsvOut:
    def __init__(self, path, columns):
        self.file = open(path, "w", newline="", encoding="utf-8")
        self.writer = csv.writer(self.file, lineterminator="\n")
        self.writer.writerow(columns)
        self.write = self.writer.writerow

    def close(self):
        self.file.close()


class Outputs:
    """The per-tick outputs, written as the replay goes."""

    def __init__(self, directory):
        self.decisions = CsvOut(directory / "decisions.csv", DECISION_COLUMNS)
        self.fills = CsvOut(directory / "fills.csv", FILL_COLUMNS)

    def close(self):
        self.decisions.close()
        self.fills.close()


class NoProgress:
    def update(self, n=1):
        pass

    def close(self):
        pass


def progress(total, threshold):
    """A progress bar on the terminal for a long replay."""
    if total < threshold:
        return NoProgress()
    from tqdm import tqdm

    return tqdm(total=total, unit=" ticks", unit_scale=True, mininterval=0.25, leave=False, dynamic_ncols=True)


def price_text(value):
    if value is None:
        return "-"
    text = "%.6f" % value
    return text.rstrip("0").rstrip(".")


def money(value):
    return "{:,.2f}".format(value + 0.0)  # + 0.0: no "-0.00"


def count(value, word):
    return "%s %s%s" % ("{:,}".format(value), word, "" if value == 1 else "s")


def duration(seconds):
    seconds = int(round(seconds))
    if seconds < 60:
        return "%ds" % seconds
    if seconds < 3600:
        return "%dm %02ds" % (seconds // 60, seconds % 60)
    return "%dh %02dm" % (seconds // 3600, seconds // 60 % 60)


def finite(value):
    """A number for JSON: None where it is not finite."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def clean(value):
    if isinstance(value, dict):
        return {k: clean(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [clean(v) for v in value]
    return finite(value)


class Summary:
    def __init__(self, client, source, elapsed, log_counter, interrupted):
        self.client = client
        self.source = source
        self.elapsed = elapsed
        self.log = log_counter
        self.interrupted = interrupted  # "file line N" at Ctrl-C, or None
        self.stopped = None  # where and why a failure ended the replay early
        self.journal_rows = None
        self.journal_note = None  # why the journal rows are not known
        self.dead_letters = None  # (file, rows) kept by the engine during the replay
        self.written = []

    @property
    def rate(self):
        return self.client.totals.ticks / self.elapsed if self.elapsed > 0 else 0.0

    @property
    def database_failed(self):
        client = self.client
        return bool(client.database_failures or client.totals.unavailable or (self.dead_letters and
                                                                              self.dead_letters[1]))

    def as_dict(self):
        client, totals, account = self.client, self.client.totals, self.client.account
        args = client.args
        instruments = {}
        for instrument in client.instruments.values():
            holding = instrument.holding
            instruments[instrument.id] = {
                "exchange": holding.exchange, "volume_multiple": holding.multiple, "price_tick": holding.price_tick,
                "ticks": instrument.ticks, "last_price": holding.last_price,
                "long": {"volume": holding.sides[LONG].volume, "average_price": holding.sides[LONG].average},
                "short": {"volume": holding.sides[SHORT].volume, "average_price": holding.sides[SHORT].average},
                "realised_profit": holding.realised, "open_profit": holding.open_profit(),
                "fees": holding.fees_paid, "turnover": holding.turnover, "fee_schedule": holding.fees.as_dict(),
            }
        realised = sum(i["realised_profit"] for i in instruments.values())
        opened = sum(i["open_profit"] for i in instruments.values())
        figures = account.figures()
        database = None
        if args.db:
            database = {"description": client.database, "seconds_waited": client.database_seconds,
                        "failures": client.database_failures,
                        "dead_letter_file": str(self.dead_letters[0]) if self.dead_letters else None,
                        "dead_letter_rows": self.dead_letters[1] if self.dead_letters else None}
        return clean({
            "ticks_file": str(self.source.files[0].path), "tick_files": [str(f.path) for f in self.source.files],
            "investor": client.investor, "fill_model": client.fills.name, "parameters": args.parameters,
            "capital": account.capital, "slippage_ticks": args.slippage,
            "fees_file": str(args.fees) if args.fees else None,
            "ticks": totals.ticks, "trading_days": list(client.trading_days),
            "seconds": self.elapsed, "ticks_per_second": self.rate, "decisions": dict(totals.decisions),
            "orders": {"placed": totals.placed, "filled": totals.filled, "cancelled": totals.cancelled,
                       "expired": totals.expired,
                       "open": totals.placed - totals.filled - totals.cancelled - totals.expired},
            "fills": totals.fills,
            "close_decisions_without_position": totals.nothing_to_close,
            "decisions_not_sent": totals.not_sent,
            "skipped_ticks": dict(totals.skipped),
            "unavailable_instruments": {k: {"ticks": v[0], "reason": v[1]} for k, v in totals.unavailable.items()},
            "ticks_back_in_time": {"count": totals.went_back[0], "first": totals.went_back[1]},
            "ticks_repeated": {"count": totals.repeated[0], "first": totals.repeated[1]},
            "instruments": instruments,
            "realised_profit": realised, "open_profit": opened,
            "profit": {"gross": realised + opened, "fees": account.fees, "net": realised + opened - account.fees},
            "max_drawdown": {"money": account.drawdown, "percent": account.drawdown_percent},
            "sharpe": account.sharpe(),
            "round_trips": figures["round_trips"], "win_rate": figures["win_rate"],
            "profit_factor": figures["profit_factor"],
            "average_holding_seconds": figures["average_holding_seconds"],
            "fees_paid": account.fees, "turnover": account.turnover,
            "per_day": account.days,
            "engine_log": {"errors": self.log.errors, "warnings": self.log.warnings,
                           "first_error": self.log.first_error},
            "risk_limits": client.withheld.limits, "withheld": client.withheld.per_limit(),
            "journal_rows": self.journal_rows,
            "database": database,
            "interrupted_at": self.interrupted, "stopped_at": self.stopped,
        })

    def text(self):
        client, totals, account = self.client, self.client.totals, self.client.account
        args = client.args
        source = "t_Instrument of %s" % client.database if args.db else shown(args.instruments)
        lines = ["Replay of %s for investor %s" % (self.source.shown, client.investor),
                 "  host          %s/, instruments from %s" % (shown(args.host_directory), source)]
        if self.interrupted is not None:
            lines.append("  INTERRUPTED   at %s: the summary so far; no files written" % self.interrupted)
        if self.stopped is not None:
            lines.append("  STOPPED       at %s; the outputs hold the ticks before it" % self.stopped)

        def row(label, text):
            lines.append("  %-13s %s" % (label, text))

        fees = "fees from %s" % shown(args.fees) if args.fees else "no fees (--fees FILE)"
        row("fill model", "%s, slippage %s tick%s, %s" % (
            client.fills.name, "{:g}".format(args.slippage), "" if args.slippage == 1 else "s", fees))
        row("ticks", "%s in %.2f s: %s ticks/s" % ("{:,}".format(totals.ticks), self.elapsed,
                                                     "{:,.0f}".format(self.rate)))
        days = client.trading_days
        if days:
            row("trading days", "%d: %s" % (len(days), ", ".join(days) if len(days) <= 6 else
                                            "%s ... %s" % (", ".join(days[:3]), days[-1])))
        for instrument, skipped in sorted(totals.skipped.items()):
            row("", "%s of %s skipped: no strategy for it" % (count(skipped, "tick"), instrument))
        for instrument, (skipped, reason) in sorted(totals.unavailable.items()):
            row("", "%s of %s skipped: %s" % (count(skipped, "tick"), instrument, reason))
        for (number, first), what in ((totals.went_back, "earlier than their instrument's previous tick"),
                                      (totals.repeated, "exact repeats of their instrument's previous tick")):
            if number:
                row("", "%s skipped: %s (first: %s)" % (count(number, "tick"), what, first))
        row("decisions", ", ".join("%s %s" % (a, "{:,}".format(totals.decisions[a])) for a in ACTIONS))
        still_open = totals.placed - totals.filled - totals.cancelled - totals.expired
        row("orders", "%s placed: %s filled (%s), %s cancelled, %s expired at the day's end, %s still open" % (
            "{:,}".format(totals.placed), "{:,}".format(totals.filled), count(totals.fills, "fill"),
            "{:,}".format(totals.cancelled), "{:,}".format(totals.expired), "{:,}".format(still_open)))
        if totals.nothing_to_close:
            row("", "%s with nothing to close (not sent)" % count(totals.nothing_to_close, "close decision"))
        if totals.not_sent:
            row("", "%s not sent (warm-up or market closed)" % count(totals.not_sent, "decision"))
        for label, text in client.withheld.text():
            row(label, text)
        for instrument in client.instruments.values():
            holding = instrument.holding
            row(instrument.id, "%s, %s per lot, tick %s, %s, last %s" % (
                holding.exchange, "{:,}".format(holding.multiple), price_text(holding.price_tick),
                count(instrument.ticks, "tick"), price_text(holding.last_price)))
            row("  position", ", ".join(
                "%s %d at %s" % (name, side.volume, price_text(side.average)) if side.volume else "%s 0" % name
                for name, side in (("long", holding.sides[LONG]), ("short", holding.sides[SHORT]))))
            row("  profit", "realised %s, open %s, fees %s" % (
                money(holding.realised), money(holding.open_profit()), money(holding.fees_paid)))
        data = self.as_dict()
        profit = data["profit"]
        row("profit", "gross %s - fees %s = net %s (open positions at their last price)" % (
            money(profit["gross"]), money(profit["fees"]), money(profit["net"])))
        sharpe = data["sharpe"]
        row("risk", "max drawdown %s (%.2f%% of capital %s + peak); Sharpe %s" % (
            money(account.drawdown), account.drawdown_percent, money(account.capital),
            "%.2f over %d days" % (sharpe, len(account.days)) if sharpe is not None else
            "undefined (%s)" % ("one day" if len(account.days) < 2 else "no variation")))
        row("trades", "%s, win rate %s, profit factor %s, average holding %s, turnover %s" % (
            count(data["round_trips"], "round trip"),
            "%.1f%%" % (100 * data["win_rate"]) if data["win_rate"] is not None else "-",
            "%.2f" % data["profit_factor"] if data["profit_factor"] is not None else "- (no losing trip)",
            duration(data["average_holding_seconds"]) if data["average_holding_seconds"] is not None else "-",
            money(account.turnover)))
        for day in account.days[:DAYS_LISTED]:
            row("  " + day["trading_day"], "net %s (fees %s), %s, %s" % (
                money(day["net"]), money(day["fees"]), count(day["ticks"], "tick"), count(day["fills"], "fill")))
        if len(account.days) > DAYS_LISTED:
            row("", "... %d more days in summary.json" % (len(account.days) - DAYS_LISTED))
        log = "%s, %s" % (count(self.log.errors, "error"), count(self.log.warnings, "warning"))
        if self.log.first_error:
            log += "; first: %s" % self.log.first_error
        row("engine log", log)
        if args.db:
            if self.journal_rows is not None:
                note = ""
                if args.fills == "engine" and self.journal_rows != totals.fills:
                    note = " (%d fills: see engine.log)" % totals.fills
                row("journal", "%s added to T_SimNow_AutoTrade%s" % (count(self.journal_rows, "row"), note))
            elif self.journal_note:
                row("journal", self.journal_note)
            if self.dead_letters and self.dead_letters[1]:
                row("dead letters", "%s kept in %s: send them with `%s` once the "
                                    "database is back" % (count(self.dead_letters[1], "row"),
                                                          shown(self.dead_letters[0]), naming.command("resend")))
            row("database", "%.2f s waited on it%s" % (client.database_seconds, "; failed: " + "; ".join(
                client.database_failures) if client.database_failures else ""))
        if self.written:
            row("written", "%s/: %s" % (shown(self.written[0].parent), ", ".join(p.name for p in self.written)))
        return "\n".join(lines)


def write_json(summary, path):
    with open(path, "w", encoding="utf-8") as out:
        json.dump(summary.as_dict(), out, indent=2, allow_nan=False)
        out.write("\n")


def chart(client, path):
    """Per instrument its price with the fills (buys as upward triangles, sells as downward
    ones; opens filled, closes as larger hollow markers drawn over them), then the equity net
    of fees and its drawdown. One point per minute with ticks: breaks of the sessions are
    dashed lines, trading days solid ones."""
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    shown_instruments = [i for i in client.instruments.values() if i.ticks]
    if not shown_instruments:
        return
    minutes, equity = client.point_minutes, client.point_equity
    panels = len(shown_instruments) + 2
    heights = [3] * len(shown_instruments) + [2, 1.2]
    figure, axes = pyplot.subplots(panels, 1, figsize=(12, sum(heights) * 1.1 + 0.6), sharex=True,
                                   gridspec_kw={"height_ratios": heights}, squeeze=False)
    axes = axes[:, 0]
    marks = {"buy_open": ("^", "tab:green", "tab:green", 40, "buy open"),
             "buy_close": ("o", "none", "tab:green", 90, "buy close"),
             "sell_open": ("v", "tab:red", "tab:red", 40, "sell open"),
             "sell_close": ("o", "none", "tab:red", 90, "sell close")}
    for axis, instrument in zip(axes, shown_instruments):
        axis.plot(instrument.points, instrument.prices, color="0.35", linewidth=0.7, label="last price")
        for action in ACTIONS:
            points = [(x, price) for x, price, a in instrument.marks if a == action]
            if points:
                marker, face, edge, size, label = marks[action]
                axis.scatter([p[0] for p in points], [p[1] for p in points], marker=marker, s=size,
                             zorder=4 if face == "none" else 3, facecolors=face, edgecolors=edge, linewidths=1.2,
                             label="%s (%d)" % (label, len(points)))
        holding = instrument.holding
        axis.set_title("%s (%s): realised %s, open %s, fees %s" % (
            instrument.id, holding.exchange, money(holding.realised), money(holding.open_profit()),
            money(holding.fees_paid)), fontsize=10, loc="left")
        axis.legend(loc="upper left", fontsize=8, framealpha=0.8)
    xs = range(len(equity))
    peak, drawdown, highest = [], [], 0.0
    for value in equity:
        highest = max(highest, value)
        peak.append(highest)
        drawdown.append(value - highest)
    account = client.account
    axes[-2].plot(xs, equity, color="tab:blue", linewidth=1.0)
    axes[-2].axhline(0, color="0.6", linewidth=0.6)
    axes[-2].set_title("equity net of fees: %s (capital %s)" % (money(account.equity), money(account.capital)),
                       fontsize=10, loc="left")
    axes[-1].fill_between(xs, drawdown, 0, color="tab:red", alpha=0.35, linewidth=0)
    axes[-1].set_title("drawdown: largest %s (%.2f%%)" % (money(account.drawdown), account.drawdown_percent),
                       fontsize=10, loc="left")
    starts = {first for first, _ in client.day_points}
    for index in range(1, len(minutes)):
        if index not in starts and minutes[index] - minutes[index - 1] > BREAK_MINUTES:
            for axis in axes:
                axis.axvline(index - 0.5, color="0.7", linewidth=0.6, linestyle="--")
    for first, day in client.day_points:
        for axis in axes:
            axis.axvline(first - 0.5, color="0.3", linewidth=0.9)
        axes[-2].annotate(" " + day, (first - 0.5, 0.97), xycoords=("data", "axes fraction"), fontsize=8, va="top",
                          ha="left", color="0.3")

    def clock(x, _position):
        index = min(max(int(round(x)), 0), len(minutes) - 1)
        return (datetime.datetime(1970, 1, 1) + datetime.timedelta(minutes=minutes[index])).strftime("%H:%M")

    axes[-1].xaxis.set_major_locator(MaxNLocator(12, integer=True))
    axes[-1].xaxis.set_major_formatter(FuncFormatter(clock))
    axes[-1].set_xlim(-0.5, max(len(minutes) - 0.5, 0.5))
    axes[-1].set_xlabel("market time, one point per minute with ticks (breaks dashed, trading days solid)",
                        fontsize=8)
    for axis in axes:
        axis.grid(True, color="0.92")
    figure.tight_layout()
    figure.savefig(Path(path), dpi=80)
    pyplot.close(figure)
