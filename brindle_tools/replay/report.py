"""What a replay shows and writes: the progress bar, the decision and fill files, the
summary (as text and as JSON) and the chart."""
import collections
import csv
import datetime
import io
import json
import math
import sys
from pathlib import Path

from ..market.account import ACTIONS, LONG, SHORT
from ..common.errors import shown
from ..feed.ticks import DECIMAL, WHOLE

DECISION_COLUMNS = ("Line", "UpdateTime", "InstrumentID", "Action", "ExchangeID", "Price", "Volume",
                    "OrderRef", "Note", "OrderPrice", "FirstTick", "TradingDay", "File")
# The journal's columns (T_SimNow_AutoTrade), then the client's own view of the fill.
FILL_COLUMNS = ("InvestorID", "InstrumentID", "Express", "Direction", "CombOffsetFlag", "Order_Time",
                "Order_Price", "Order_MDPrice", "Trade_Price", "Trade_Volume",
                "OrderRef", "Action", "Volume", "Line", "UpdateTime", "Position", "Fee", "Liquidity", "TradingDay",
                "File")
BREAK_MINUTES = 5  # a gap in the ticks longer than this is a break of the session on the chart
DAYS_LISTED = 10
FEW_SHARPE_DAYS = 20  # a Sharpe ratio annualised from fewer trading days is noise
SHARE_WARNING = 0.05  # fills above this share of the market's traded volume make optimistic results
MANY_INSTRUMENTS = 10  # beyond this many the summary shows the totals and the best and worst few
BEST_AND_WORST = 5
INSTRUMENT_COLUMNS = ("InstrumentID", "ExchangeID", "Ticks", "Fills", "FilledVolume", "MarketVolume", "MarketShare",
                      "RealisedProfit", "OpenProfit", "Fees", "Net")
InstrumentRow = collections.namedtuple("InstrumentRow", INSTRUMENT_COLUMNS)


class CsvOut:
    """A CSV output written as the replay goes, to its file (path None: none), and kept as
    text when asked; a write that fails (a full disk) stops the writing, and the error is kept
    for the end of the replay."""

    def __init__(self, path, columns, keep):
        self.kept = io.StringIO() if keep else None
        self.file = open(path, "w", newline="", encoding="utf-8") if path is not None else None
        self.writers = [csv.writer(target, lineterminator="\n") for target in (self.file, self.kept)
                        if target is not None]
        self.error = None
        self.write(columns)

    def write(self, row):
        if self.error is None:
            try:
                for writer in self.writers:
                    writer.writerow(row)
            except OSError as error:
                self.error = error

    def text(self):
        """What was written, when it was kept."""
        return self.kept.getvalue()

    def close(self):
        try:
            if self.file is not None:
                self.file.close()
        except OSError as error:
            self.error = self.error or error


class Outputs:
    """The per-tick outputs, written as the replay goes into directory (None: no files), and
    kept in memory when asked."""

    def __init__(self, directory, keep=False):
        self.decisions = CsvOut(directory and directory / "decisions.csv", DECISION_COLUMNS, keep)
        self.fills = CsvOut(directory and directory / "fills.csv", FILL_COLUMNS, keep)

    @property
    def error(self):
        return self.decisions.error or self.fills.error

    def close(self):
        self.decisions.close()
        self.fills.close()


class NoProgress:
    def update(self, n=1):
        pass

    def close(self):
        pass


def watched():
    """Whether someone watches a progress bar: stderr is a terminal, or this runs in a
    notebook's kernel."""
    return sys.stderr.isatty() or "ipykernel" in sys.modules


def progress(total, threshold):
    """A progress bar for a long replay, on the terminal or in the notebook."""
    if total < threshold:
        return NoProgress()
    from tqdm.auto import tqdm

    return tqdm(total=total, unit=" ticks", unit_scale=True, mininterval=0.25, leave=False, dynamic_ncols=True)


def price_text(value):
    if value is None:
        return "-"
    text = "%.6f" % value
    return text.rstrip("0").rstrip(".")


def money(value):
    if value is None:
        return "-"  # not finite (summary.json holds null)
    return "{:,.2f}".format(value + 0.0)  # + 0.0: no "-0.00"


def percent(share):
    return "%.2f%%" % (100 * share) if math.isfinite(share) else "all (the equity is gone)"


def count(value, word):
    return "%s %s%s" % ("{:,}".format(value), word, "" if value == 1 else "s")


def clock_text(seconds):
    """HH:MM:SS of seconds of the day."""
    return "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


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
    def __init__(self, results, args, source, elapsed, log_counter, interrupted):
        self.results = results
        self.args = args
        self.source = source
        self.elapsed = elapsed
        self.log = log_counter
        self.interrupted = interrupted  # "file line N" at Ctrl-C, or None
        self.stopped = None  # where and why a failure ended the replay early
        self.journal_rows = None
        self.journal_note = None  # why the journal rows are not known
        self.dead_letters = None  # (file, rows) kept by the engine during the replay
        self.written = []
        self.chart_failed = None  # which pictures could not be drawn, and why
        self.kept = None  # the decisions and fills as CSV text (Outputs), when the replay kept them

    @property
    def rate(self):
        return self.results.totals.ticks / self.elapsed if self.elapsed > 0 else 0.0

    @property
    def strategy_failed(self):
        """The strategy failed while running and that fails the replay: the text that says so."""
        failures = self.results.strategy_failures()
        if not failures or self.args.allow_strategy_errors:
            return None
        return "the strategy raised errors: " + "; ".join(failures)

    @property
    def database_failed(self):
        results = self.results
        return bool(results.database_failures or results.totals.unavailable or (self.dead_letters and
                                                                              self.dead_letters[1]))

    def as_dict(self):
        results, args = self.results, self.args
        totals, account = results.totals, results.account
        instruments = {}
        for instrument in results.instruments.values():
            holding = instrument.holding
            instruments[instrument.id] = {
                "exchange": holding.exchange, "volume_multiple": holding.multiple, "price_tick": holding.price_tick,
                "ticks": instrument.ticks, "last_price": holding.last_price,
                "long": {"volume": holding.sides[LONG].volume, "average_price": holding.sides[LONG].average},
                "short": {"volume": holding.sides[SHORT].volume, "average_price": holding.sides[SHORT].average},
                "realised_profit": holding.realised, "open_profit": holding.open_profit(),
                "fees": holding.fees_paid, "turnover": holding.turnover, "fee_schedule": holding.fees.as_dict(),
                "margin_ratio": {"long": holding.sides[LONG].margin_ratio, "short": holding.sides[SHORT].margin_ratio},
                "margin": holding.sides[LONG].margin + holding.sides[SHORT].margin,
                "market_volume": instrument.market_volume, "filled_volume": instrument.filled_volume,
                "market_share": share(instrument),
            }
        realised = sum(i["realised_profit"] for i in instruments.values())
        opened = sum(i["open_profit"] for i in instruments.values())
        figures = account.figures()
        database = None
        if args.db:
            database = {"description": results.database, "seconds_waited": results.database_seconds,
                        "failures": results.database_failures,
                        "dead_letter_file": str(self.dead_letters[0]) if self.dead_letters else None,
                        "dead_letter_rows": self.dead_letters[1] if self.dead_letters else None}
        return clean({
            "ticks_file": str(self.source.files[0].path), "tick_files": [str(f.path) for f in self.source.files],
            "investor": results.investor, "fill_model": results.fill_model, "parameters": args.parameters,
            "capital": account.capital, "slippage_ticks": args.slippage,
            "fees_file": str(args.fees) if args.fees else None,
            "close_order": {exchange: {"rule": rule, "source": source}
                            for exchange, (rule, source) in self.close_orders()},
            "day_close": {product: {"close": clock_text(close), "source": source}
                          for product, (close, source) in self.day_closes()},
            "ticks": totals.ticks, "trading_days": list(results.trading_days),
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
            "bad_ticks_skipped": by_reason(self.source.bad),
            "instruments_without_a_possible_tick": dict(self.all_impossible()),
            "files_named_for_other_days": {"count": self.source.misdated[0], "first": self.source.misdated[1]},
            "fractions_of_a_second": {convention: {"files": files, "first": first, "times_back_read_otherwise": back}
                                      for convention, (files, first, back) in self.source.fractions.items()},
            "volume_resets": {"count": totals.volume_resets[0], "first": totals.volume_resets[1]},
            "decisions_refused": by_reason(totals.refused),
            "instruments": instruments,
            "realised_profit": realised, "open_profit": opened,
            "profit": {"gross": realised + opened, "fees": account.fees, "net": realised + opened - account.fees},
            "max_drawdown": {"money": account.drawdown, "percent": account.drawdown_percent},
            "funds": {"open_profit_counts": account.open_profit_funds,
                      "margin_file": str(args.margin) if args.margin else None, "margin": account.margin,
                      "peak_margin": account.peak_margin, "peak_margin_share": account.peak_margin_share,
                      "refused": {"count": totals.funds_refused[0], "first": totals.funds_refused[1]}},
            "sharpe": account.sharpe(),
            "round_trips": figures["round_trips"], "win_rate": figures["win_rate"],
            "profit_factor": figures["profit_factor"],
            "average_holding_seconds": figures["average_holding_seconds"],
            "fees_paid": account.fees, "turnover": account.turnover,
            "per_day": account.days,
            "strategy_errors": [{"key": key, "instrument": instrument, "count": count, "first_error": error,
                                 "first_at": where}
                                for (key, instrument), (count, error, where) in results.strategy_errors.items()],
            "engine_log": {"errors": self.log.errors, "warnings": self.log.warnings,
                           "first_error": self.log.first_error},
            "risk_limits": results.withheld.limits, "withheld": results.withheld.per_limit(),
            "journal_rows": self.journal_rows,
            "database": database,
            "interrupted_at": self.interrupted, "stopped_at": self.stopped,
        })

    def all_impossible(self):
        """[(InstrumentID, ticks)] of the instruments whose every tick was skipped as impossible:
        the client never saw them."""
        totals, seen = self.results.totals, self.results.instruments
        return sorted((instrument, number) for instrument, number in self.source.bad_of.items()
                      if instrument not in seen and instrument not in totals.skipped
                      and instrument not in totals.unavailable)

    def day_closes(self):
        """[(product, (close, source))] of the day sessions of the instruments traded."""
        sessions = {instrument.session for instrument in self.results.instruments.values()}
        return sorted((product, (close, source)) for product, close, source in sessions)

    def instrument_rows(self, row):
        """Each instrument's figures, a few lines each."""
        for instrument in self.results.instruments.values():
            holding = instrument.holding
            row(instrument.id, "%s, %s per lot, tick %s, %s, last %s" % (
                holding.exchange, "{:,}".format(holding.multiple), price_text(holding.price_tick),
                count(instrument.ticks, "tick"), price_text(holding.last_price)))
            row("  position", ", ".join(
                "%s %d at %s" % (name, side.volume, price_text(side.average)) if side.volume else "%s 0" % name
                for name, side in (("long", holding.sides[LONG]), ("short", holding.sides[SHORT]))))
            row("  profit", "realised %s, open %s, fees %s" % (
                money(holding.realised), money(holding.open_profit()), money(holding.fees_paid)))
            part = share(instrument)
            row("  liquidity", "filled %s of the %s the market traded (%s)%s" % (
                "{:,}".format(instrument.filled_volume), count(instrument.market_volume, "lot"),
                "-" if part is None else "%.2f%%" % (100 * part),
                "; WARNING: above %g%%, the results are optimistic" % (100 * SHARE_WARNING)
                if part is not None and part > SHARE_WARNING else ""))

    def market_rows(self, row):
        """The instruments' totals, then the best and the worst by net profit (all of them in
        instruments.csv)."""
        rows = sorted(instrument_table(self.results), key=lambda r: (-r.Net, r.InstrumentID))
        row("instruments", "%d traded: %s, %s, %s lots of the market's traded, net %s after fees %s; each in %s" % (
            len(rows), count(sum(r.Ticks for r in rows), "tick"), count(sum(r.Fills for r in rows), "fill"),
            "{:,}".format(sum(r.MarketVolume for r in rows)), money(sum(r.Net for r in rows)),
            money(sum(r.Fees for r in rows)), "instruments.csv"))
        for label, chosen in (("best", rows[:BEST_AND_WORST]), ("worst", rows[-BEST_AND_WORST:][::-1])):
            for number, r in enumerate(chosen):
                row("%-6s%s" % (label if number == 0 else "", r.InstrumentID),
                    "net %s, fees %s, %s, %s, %s of the market" % (
                        money(r.Net), money(r.Fees), count(r.Ticks, "tick"), count(r.Fills, "fill"),
                        "-" if r.MarketShare is None else "%.2f%%" % (100 * r.MarketShare)))

    def close_orders(self):
        """[(exchange, (rule, source))] of the exchanges of the instruments traded."""
        account = self.results.account
        exchanges = sorted({instrument.holding.exchange for instrument in self.results.instruments.values()})
        return [(exchange, account.close_order_of(exchange)) for exchange in exchanges]

    def text(self):
        results, args = self.results, self.args
        totals, account = results.totals, results.account
        source = "t_Instrument of %s" % results.database if args.db else shown(args.instruments)
        lines = ["Replay of %s for investor %s" % (self.source.shown, results.investor)]
        if results.strategy_errors:
            lines.append("  %-13s the strategy raised errors%s:" % (
                "STRATEGY" if args.allow_strategy_errors else "FAILED",
                " (allowed)" if args.allow_strategy_errors else "; --allow-strategy-errors to accept them"))
            lines.extend("                %s" % line for line in results.strategy_failures())
        lines.append("  host          %s/, instruments from %s" % (shown(args.host_directory), source))
        lines.extend("  layout        %s: %s" % item for item in self.source.assumed + results.layouts)
        if self.source.misdated[0]:
            lines.append("  layout        %s named for another day than their ticks' (first: %s): the days are those "
                         "of the ticks" % (count(self.source.misdated[0], "file"), self.source.misdated[1]))
        for convention, (files, first, back) in sorted(self.source.fractions.items()):
            lines.append("  layout        %s: fractions of a second read as %s (12:00:00.5 is %s ms; first: %s); "
                         "read as %s, times would go back %s" % (
                             count(files, "file"), convention, 5 if convention == WHOLE else 500, first,
                             DECIMAL if convention == WHOLE else WHOLE, count(back, "time")))
        if self.interrupted is not None:
            lines.append("  INTERRUPTED   at %s: the summary so far; no files written" % self.interrupted)
        if self.stopped is not None:
            lines.append("  STOPPED       at %s; the outputs hold the ticks before it" % self.stopped)

        def row(label, text):
            lines.append("  %-13s %s" % (label, text))

        fees = "fees from %s" % shown(args.fees) if args.fees else "no fees (--fees FILE)"
        row("fill model", "%s, slippage %s tick%s, %s" % (
            results.fill_model, "{:g}".format(args.slippage), "" if args.slippage == 1 else "s", fees))
        row("engine", results.engine)
        row("ticks", "%s in %.2f s: %s ticks/s" % ("{:,}".format(totals.ticks), self.elapsed,
                                                     "{:,.0f}".format(self.rate)))
        days = results.trading_days
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
        for reason, (number, first) in sorted(self.source.bad.items()):
            row("", "%s skipped: %s (first: %s)" % (count(number, "tick"), reason, first))
        for instrument, number in self.all_impossible():
            row("", "%s of %s skipped: every one impossible, as above" % (count(number, "tick"), instrument))
        if totals.volume_resets[0]:
            row("", "%s whose volume went down: nothing traded on them (first: %s)" % (
                count(totals.volume_resets[0], "tick"), totals.volume_resets[1]))
        row("decisions", ", ".join("%s %s" % (a, "{:,}".format(totals.decisions[a])) for a in ACTIONS))
        still_open = totals.placed - totals.filled - totals.cancelled - totals.expired
        row("orders", "%s placed: %s filled (%s), %s cancelled, %s expired at the day's end, %s still open" % (
            "{:,}".format(totals.placed), "{:,}".format(totals.filled), count(totals.fills, "fill"),
            "{:,}".format(totals.cancelled), "{:,}".format(totals.expired), "{:,}".format(still_open)))
        if totals.nothing_to_close:
            row("", "%s with nothing to close (not sent)" % count(totals.nothing_to_close, "close decision"))
        if totals.not_sent:
            row("", "%s not sent (warm-up or market closed)" % count(totals.not_sent, "decision"))
        for reason, (number, first) in sorted(totals.refused.items()):
            row("", "%s not sent: %s (first: %s)" % (count(number, "decision"), reason, first))
        if totals.funds_refused[0]:
            row("", "%s refused by the broker: beyond the funds available (first: %s)" % (
                count(totals.funds_refused[0], "opening decision"), totals.funds_refused[1]))
        for label, text in results.withheld.text():
            row(label, text)
        close_orders = self.close_orders()
        if close_orders:
            row("close order", ", ".join("%s %s" % (exchange, rule) for exchange, (rule, _) in close_orders))
        day_closes = self.day_closes()
        if day_closes:
            row("day close", ", ".join("%s %s" % (product, clock_text(close)) for product, (close, _) in day_closes))
        if len(results.instruments) > MANY_INSTRUMENTS:
            self.market_rows(row)
        else:
            self.instrument_rows(row)
        data = self.as_dict()
        profit = data["profit"]
        row("profit", "gross %s - fees %s = net %s (open positions at their last price)" % (
            money(profit["gross"]), money(profit["fees"]), money(profit["net"])))
        sharpe = data["sharpe"]
        row("risk", "max drawdown %s (%.2f%% of capital %s + peak); Sharpe %s" % (
            money(account.drawdown), account.drawdown_percent, money(account.capital),
            "%.2f over %d days%s" % (sharpe, len(account.days), ", too few to annualise: noise more than a figure"
                                     if len(account.days) < FEW_SHARPE_DAYS else "") if sharpe is not None else
            "undefined (%s)" % ("one day" if len(account.days) < 2 else "no variation")))
        row("funds", "peak margin %s (%s of the capital plus the equity), %s at the end; open profit %s the "
                     "funds available%s" % (
                         money(account.peak_margin), percent(account.peak_margin_share), money(account.margin),
                         "counts in" if account.open_profit_funds else "is left out of",
                         ", margin ratios from %s" % shown(args.margin) if args.margin else ""))
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
                                                          shown(self.dead_letters[0]), "brindle-resend"))
            row("database", "%.2f s waited on it%s" % (results.database_seconds, "; failed: " + "; ".join(
                results.database_failures) if results.database_failures else ""))
        if self.written:
            row("written", "%s/: %s" % (shown(self.written[0].parent), ", ".join(p.name for p in self.written)))
        return "\n".join(lines)


def by_reason(kept):
    """{reason: {"count", "first"}} of {reason: [count, first]}."""
    return {reason: {"count": number, "first": first} for reason, (number, first) in kept.items()}


def share(instrument):
    """The client's fills as a share of the volume the market traded, None when nothing traded."""
    return instrument.filled_volume / instrument.market_volume if instrument.market_volume else None


def instrument_table(results):
    """A row of INSTRUMENT_COLUMNS per instrument traded."""
    for instrument in results.instruments.values():
        holding = instrument.holding
        opened = holding.open_profit()
        yield InstrumentRow(instrument.id, holding.exchange, instrument.ticks, len(instrument.marks),
                            instrument.filled_volume, instrument.market_volume, share(instrument), holding.realised,
                            opened, holding.fees_paid, holding.realised + opened - holding.fees_paid)


def write_instruments(results, path):
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(INSTRUMENT_COLUMNS)
        writer.writerows(["" if value is None else value for value in r] for r in instrument_table(results))


def write_json(summary, path):
    with open(path, "w", encoding="utf-8") as out:
        json.dump(summary.as_dict(), out, indent=2, allow_nan=False)
        out.write("\n")


def broken(xs, ys, minutes):
    """xs and ys of chart points with a gap (nan) where the series has no point for more than
    BREAK_MINUTES of market time, so no line is drawn across hours without ticks."""
    out_x, out_y = [], []
    previous = None
    for x, y in zip(xs, ys):
        if previous is not None and minutes[x] - minutes[previous] > BREAK_MINUTES:
            out_x.append(math.nan)
            out_y.append(math.nan)
        out_x.append(x)
        out_y.append(y)
        previous = x
    return out_x, out_y


def chart(results, path):
    """The chart of figure(), written to path (nothing when no instrument had ticks)."""
    drawing = figure(results)
    if drawing is not None:
        drawing.savefig(Path(path), dpi=80)


def figure(results):
    """Per instrument its price with the fills (buys as upward triangles, sells as downward
    ones; opens filled, closes as larger hollow markers drawn over them), then each
    instrument's position, the equity net of fees (the band: each minute's lowest and
    highest), each minute's deepest drawdown, and each trading day's net profit with its fees
    beside it. One point per minute with ticks; no line crosses hours without ticks: breaks
    of the sessions are dashed lines, trading days solid ones."""
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    shown_instruments = [i for i in results.instruments.values() if i.ticks]
    if not shown_instruments:
        return None
    series = results.series
    minutes, equity = series.minutes, series.equity
    panels = len(shown_instruments) + 4
    heights = [3] * len(shown_instruments) + [1.2, 2, 1.2, 1.2]
    drawing = Figure(figsize=(12, sum(heights) * 1.1 + 0.6))
    axes = drawing.subplots(panels, 1, sharex=True, gridspec_kw={"height_ratios": heights}, squeeze=False)
    axes = axes[:, 0]
    marks = {"buy_open": ("^", "tab:green", "tab:green", 40, "buy open"),
             "buy_close": ("o", "none", "tab:green", 90, "buy close"),
             "sell_open": ("v", "tab:red", "tab:red", 40, "sell open"),
             "sell_close": ("o", "none", "tab:red", 90, "sell close")}
    for axis, instrument in zip(axes, shown_instruments):
        axis.plot(*broken(instrument.points, instrument.prices, minutes), color="0.35", linewidth=0.7,
                  label="last price")
        for action in ACTIONS:
            points = [(m.point, m.price) for m in instrument.marks if m.action == action]
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
    account = results.account
    for instrument in shown_instruments:
        marks = instrument.marks
        axes[-4].step([0] + [m.point for m in marks] + [len(equity) - 1],
                      [0] + [m.position for m in marks] + [marks[-1].position if marks else 0], where="post",
                      linewidth=0.9, label=instrument.id)
    axes[-4].set_title("position, lots long less short", fontsize=10, loc="left")
    axes[-4].legend(loc="upper left", fontsize=8, framealpha=0.8)
    band_x, low = broken(xs, series.low, minutes)
    axes[-3].fill_between(band_x, low, broken(xs, series.high, minutes)[1], color="tab:blue", alpha=0.25,
                          linewidth=0)
    axes[-3].plot(*broken(xs, equity, minutes), color="tab:blue", linewidth=1.0)
    axes[-3].axhline(0, color="0.6", linewidth=0.6)
    axes[-3].set_title("equity net of fees: %s (capital %s)" % (money(account.equity), money(account.capital)),
                       fontsize=10, loc="left")
    axes[-2].fill_between(*broken(xs, series.drawdown, minutes), 0, color="tab:red", alpha=0.35, linewidth=0)
    axes[-2].set_title("drawdown: largest %s (%.2f%%)" % (money(account.drawdown), account.drawdown_percent),
                       fontsize=10, loc="left")
    ends = [first for first, _ in series.day_starts[1:]] + [len(equity)]
    for (first, _), end, day in zip(series.day_starts, ends, account.days):
        width = (end - first) * 0.4
        axes[-1].bar(first + width / 2, day["net"], width, color="tab:green" if day["net"] >= 0 else "tab:red")
        axes[-1].bar(first + width * 1.5, -day["fees"], width, color="0.6")
    axes[-1].axhline(0, color="0.6", linewidth=0.6)
    axes[-1].set_title("net profit per trading day, and its fees (grey)", fontsize=10, loc="left")
    starts = {first for first, _ in series.day_starts}
    for index in range(1, len(minutes)):
        if index in starts or minutes[index] - minutes[index - 1] <= BREAK_MINUTES:
            continue
        for axis in axes:
            axis.axvline(index - 0.5, color="0.7", linewidth=0.6, linestyle="--")
    for first, day in series.day_starts:
        for axis in axes:
            axis.axvline(first - 0.5, color="0.3", linewidth=0.9)
        axes[-3].annotate(" " + day, (first - 0.5, 0.97), xycoords=("data", "axes fraction"), fontsize=8, va="top",
                          ha="left", color="0.3")

    def clock(x, _position):
        index = min(max(int(round(x)), 0), len(minutes) - 1)
        return (datetime.datetime(1970, 1, 1) + datetime.timedelta(minutes=minutes[index])).strftime("%H:%M\n%m-%d")

    axes[-1].xaxis.set_major_locator(MaxNLocator(12, integer=True))
    axes[-1].xaxis.set_major_formatter(FuncFormatter(clock))
    axes[-1].set_xlim(-0.5, max(len(minutes) - 0.5, 0.5))
    axes[-1].set_xlabel("market time, one point per minute with ticks (breaks dashed, trading days solid)",
                        fontsize=8)
    for axis in axes:
        axis.grid(True, color="0.92")
    drawing.tight_layout()
    return drawing
