"""Replay recorded ticks through oxa.Brindle, as a trading client would feed them live.

    python3 -m replay TICKS [--instruments FILE | --db] [--investor ID] [--host DIR] [--out DIR]

For each tick of an instrument that the investor has a strategy for, the client first lets
its resting limit orders fill against the tick's trades (SimNow with the last price and the
volume traded since the previous tick), books the fills into its position and reports the
position to the engine; then it hands the tick to the engine (push_md2trade) and sends an
order request (push_ReqOrderInsert) for each decision, at the decided price. An order thus
fills from the next tick on, never at a price printed before it was placed.
"""
import argparse
import importlib
import logging
import math
import numbers
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

from . import check, db, parameters, report
from .book import CANCELLED, DIRECTION, FILLED, OFFSET, SIDE, Instrument, Order, Totals
from .host import SAMPLES, Host, UsageError, shown
from .inputs import TickFile, field_types, read_instruments

# Names under which the client hands records to the engine (trace file and table names).
INSTRUMENT_TABLE, ORDER_TABLE, POSITION_TABLE = "Instrument", "InputOrder", "InvestorPosition"
PROGRESS_FROM = 20000  # ticks from which a terminal shows a progress bar


class Clock:
    """The engine's `datetime` during a replay: now() is the time of the tick being replayed,
    so the factor refresh period runs in market time."""

    def __init__(self):
        self.time = None

    def now(self):
        return self.time


class CountingHandler(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.errors = self.warnings = 0
        self.first_error = None

    def emit(self, record):
        if record.levelno >= logging.ERROR:
            self.errors += 1
            if self.first_error is None:
                exc = record.exc_info[1] if record.exc_info else None
                self.first_error = record.getMessage() + (": %s: %s" % (type(exc).__name__, exc) if exc else "")
        elif record.levelno >= logging.WARNING:
            self.warnings += 1


class Replay:
    def __init__(self, args, host, settings, records, brindle, workspace, database):
        self.args = args
        self.host = host
        self.brindle = brindle
        self.settings = settings
        self.records = records
        self.workspace = workspace  # temporary directory of the outputs until they are complete
        self.database = database  # description of the database with --db
        self.investor = args.investor
        self.strategies = settings.AI_Strategy[self.investor]
        self.totals = Totals()
        self.instruments = {}
        self.next_ref = 1
        self.clock = Clock()
        self.engine = None
        self.first_time = None  # time of the first replayed tick
        self.line = None  # tick file line being replayed
        self.decisions = report.CsvOut(workspace / "decisions.csv", report.DECISION_COLUMNS)
        self.fills = report.CsvOut(workspace / "fills.csv", report.FILL_COLUMNS)
        self.catalogue = None if args.db else read_instruments(args.instruments, records.InstrumentField)

    # --- the engine ------------------------------------------------------------------------

    def start_engine(self):
        self.engine = engine = self.brindle.COXAAlgos()
        # The database is written only when asked for: simulated trades go to the journal.
        engine.upload = 1 if self.args.db else 0
        if self.args.db:
            engine.updateFactor()  # the factors of the table from the first tick on
        else:
            # Without a database the factors stay as they are; the engine's periodic refresh
            # would try to reach the server.
            engine.updateFactor = lambda: None

    def add_instrument(self, instrument_id):
        if self.args.db:
            request = self.records.QryInstrumentField(InstrumentID=instrument_id.encode("gb18030"))
            answer = self.engine.ReqQryInstrument(request, self.next_ref)
            if not answer:
                self.fail("instrument %s is not in t_Instrument of %s" % (instrument_id, self.database))
            record, source = answer[0], "t_Instrument"
        else:
            found = self.catalogue.get(instrument_id)
            if found is None:
                self.fail("instrument %s is not in %s" % (instrument_id, shown(self.args.instruments)))
            record = self.records.InstrumentField(**found[1])
            source = "%s line %d" % (shown(self.args.instruments), found[0])
        fields = record.to_dict()
        multiple = fields.get("VolumeMultiple")
        if isinstance(multiple, bool) or not isinstance(multiple, numbers.Real) or not multiple > 0:
            self.fail("instrument %s (%s) has VolumeMultiple %r: the profit needs the contract size"
                      % (instrument_id, source, multiple))
        self.engine.push_OnRspQryInstrument(INSTRUMENT_TABLE, record)
        parameters.push(self.engine, instrument_id, self.args.parameters)
        instrument = self.instruments[instrument_id] = Instrument(fields)
        return instrument

    def fail(self, text):
        raise UsageError("%s line %d: %s" % (shown(self.args.ticks), self.line, text))

    # --- one tick --------------------------------------------------------------------------

    def tick(self, line, when, tick):
        self.line = line
        instrument_id = tick["InstrumentID"]
        instrument = self.instruments.get(instrument_id)
        if instrument is None:
            if instrument_id not in self.strategies:
                self.totals.skipped[instrument_id] = self.totals.skipped.get(instrument_id, 0) + 1
                return
            if self.engine is None:
                self.first_time = self.clock.time = when
                self.start_engine()
            instrument = self.add_instrument(instrument_id)
        if when > self.clock.time:  # the client's clock never goes back
            self.clock.time = when
        self.totals.ticks += 1
        instrument.ticks += 1
        last_price = tick["LastPrice"]
        instrument.last_price = last_price
        instrument.prices.append(last_price)
        instrument.times.append((self.clock.time - self.first_time).total_seconds())
        traded = instrument.traded(tick["Volume"])
        if instrument.open_orders:
            self.cancel_stale(instrument)
            if traded >= 1 and instrument.open_orders:
                self.engine.SimNow(self.investor, instrument_id, last_price, traded)
                self.book_fills(instrument, tick, traded)
        for decision in self.engine.push_md2trade(self.investor, instrument_id, tick):
            self.decide(instrument, tick, decision)

    def cancel_stale(self, instrument):
        limit = self.args.cancel_after
        if not limit:
            return
        for order in [o for o in instrument.open_orders if (self.clock.time - o.placed).total_seconds() >= limit]:
            # SimNow never fills a cancelled request.
            order.request["OrderStatus"] = CANCELLED
            order.state = "cancelled"
            instrument.open_orders.remove(order)
            self.totals.cancelled += 1

    def book_fills(self, instrument, tick, traded):
        price = tick["LastPrice"]
        changed = set()
        for order in [o for o in instrument.open_orders if o.request.get("OrderStatus") == FILLED]:
            side = instrument.fill(order, price)
            changed.add(SIDE[order.action])
            self.totals.filled += 1
            request = order.request
            self.fills.write((self.investor, instrument.id, request["Express"], request["Direction"],
                              request["CombOffsetFlag"], request["OrderTime"], request["LimitPrice"],
                              request["MD_Last_Price"], price, traded, order.ref, order.action, order.volume,
                              self.line, tick["UpdateTime"], side.volume))
        for direction in sorted(changed):
            self.report_position(instrument, direction, tick)

    def report_position(self, instrument, direction, tick):
        side = instrument.sides[direction]
        cost = side.average * side.volume * instrument.multiple
        record = self.records.InvestorPositionField(
            InvestorID=self.investor, InstrumentID=instrument.id, ExchangeID=instrument.exchange,
            PosiDirection=direction, HedgeFlag="1", PositionDate="1", Position=side.volume,
            TodayPosition=side.volume, OpenVolume=side.opened, CloseVolume=side.closed, PositionCost=cost,
            OpenCost=cost, CloseProfit=side.realised, TradingDay=str(tick.get("TradingDay", "")))
        self.engine.push_OnRspQryInvestorPosition(POSITION_TABLE, record)

    def decide(self, instrument, tick, decision):
        action, exchange, price, volume = decision
        self.totals.decisions[action] += 1
        if isinstance(price, bool) or not isinstance(price, numbers.Real) or not math.isfinite(price):
            self.fail("%s gave %r, not a price" % (self.entry(instrument, action + "_price"), price))
        if isinstance(volume, bool) or not isinstance(volume, int) or volume < 1:
            self.fail("%s is %r, not an order volume" % (self.entry(instrument, action + "_vol"), volume))
        row = [self.line, tick["UpdateTime"], instrument.id, action, exchange, price, volume]
        sent = volume
        if OFFSET[action] == "1":
            # As a broker would refuse it, the client sends no close order beyond its position.
            sent = min(volume, instrument.closable(action))
            if sent <= 0:
                self.totals.nothing_to_close += 1
                self.decisions.write(row + ["", "nothing to close"])
                return
        order = self.place(instrument, tick, action, exchange, price, sent)
        self.decisions.write(row + [order.ref, "" if sent == volume else "volume cut to %d to close" % sent])

    def entry(self, instrument, key):
        return "%s of %s/%s" % (key, self.investor, instrument.id)

    def place(self, instrument, tick, action, exchange, price, volume):
        ref = self.next_ref
        self.next_ref += 1
        express = self.settings.AI_Strategy[self.investor][instrument.id][action + "_express"]
        record = self.records.InputOrderField(
            InvestorID=self.investor, InstrumentID=instrument.id, ExchangeID=exchange, OrderRef=str(ref),
            UserID=self.investor, OrderPriceType="2", Direction=DIRECTION[action], CombOffsetFlag=OFFSET[action],
            CombHedgeFlag="1", LimitPrice=price, VolumeTotalOriginal=volume, TimeCondition="3",
            VolumeCondition="1", MinVolume=1, RequestID=ref, OrderStatus="3", Express=express,
            OrderTime=tick["UpdateTime"], MD_Last_Price=tick["LastPrice"])
        self.engine.push_ReqOrderInsert(ORDER_TABLE, record)
        # The engine keeps the request's dictionary itself; its simulated fills mark it there.
        request = self.engine.get_ReqOrderList(instrument.id)[-1]
        order = Order(ref, self.line, self.clock.time, action, price, volume, request)
        instrument.open_orders.append(order)
        self.totals.placed += 1
        return order

    # --- the whole file --------------------------------------------------------------------

    def run(self, ticks, progress):
        for line, when, tick in ticks:
            self.tick(line, when, tick)
            progress.update()


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="python3 -m replay", description=__doc__.split("\n\n")[0])
    parser.add_argument("ticks", help="tick file: CSV with the broker's field names as header")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--instruments", default=str(SAMPLES / "instruments.csv"),
                        help="instrument file: CSV of the instrument record's 31 fields (default: %s)"
                             % shown(SAMPLES / "instruments.csv"))
    source.add_argument("--db", action="store_true",
                        help="use the database of cfg/oxa.ini: instruments from t_Instrument, factors from "
                             "t_factor, simulated trades journalled to T_SimNow_AutoTrade")
    parser.add_argument("--investor", help="investor whose strategies decide (default: the only one)")
    parser.add_argument("--host", help="host working directory (default: the current directory if it is one, "
                                       "else the sample host)")
    parser.add_argument("--out", default="replay-out", help="directory for the outputs (default: %(default)s)")
    parser.add_argument("--cancel-after", type=float, default=60.0, metavar="SECONDS",
                        help="cancel a resting order after this many seconds of market time; 0: never "
                             "(default: %(default)g)")
    parser.add_argument("--no-chart", action="store_true", help="do not draw the chart")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE", dest="assignments",
                        help="strategy parameter that the expressions read, over the settings module's "
                             "Strategy_Parameters (repeatable)")
    args = parser.parse_args(argv)
    # Paths are the operator's, relative to where the command was started.
    for name in ("ticks", "instruments", "out"):
        setattr(args, name, Path(getattr(args, name)).resolve())
    return args


def choose_investor(args, settings, host):
    table = getattr(settings, "AI_Strategy", None)
    if not isinstance(table, dict) or not table:
        raise UsageError("%s has no strategy table AI_Strategy" % host.settings_shown)
    if args.investor is None:
        if len(table) != 1:
            raise UsageError("%s has strategies for the investors %s: choose one with --investor"
                             % (host.settings_shown, ", ".join(map(str, table))))
        args.investor = next(iter(table))
    elif args.investor not in table:
        raise UsageError("%s has no strategies for investor %s" % (host.settings_shown, args.investor))


def check_strategies(args, settings, records, host, ticks, factors):
    names = check.known_names(settings, records, ticks.header, factors, args.parameters)
    findings = check.check_settings(settings, names, [args.investor])
    if findings:
        lines = [f.text(host.settings_shown) for f in findings[:10]]
        if len(findings) > 10:
            lines.append("... and %d more (python3 -m replay.check lists them)" % (len(findings) - 10))
        raise UsageError("the strategies cannot be replayed:\n  " + "\n  ".join(lines))


def prepare_database(args):
    config = db.settings()
    with db.connect(config) as connection:
        absent = db.missing_tables(connection)
        if absent:
            raise UsageError("database %s lacks the table%s %s: create %s with `python3 -m replay.db create`"
                             % (db.describe(config), "s" if len(absent) > 1 else "", ", ".join(absent),
                                "them" if len(absent) > 1 else "it"))
        return config, check.factor_names(connection), db.journal_rows(connection)


def engine_logger(workspace):
    """The engine's log during the replay: to a file among the outputs, counted."""
    logger = logging.Logger("oxa.replay")
    handler = logging.FileHandler(workspace / "engine.log", encoding="utf-8", delay=True)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    counter = CountingHandler()
    logger.addHandler(handler)
    logger.addHandler(counter)
    logger.setLevel(logging.DEBUG)
    return logger, counter, handler


def publish(workspace, out):
    """Move the complete outputs into the output directory."""
    written = []
    for path in sorted(workspace.iterdir()):
        target = out / path.name
        os.replace(path, target)
        written.append(target)
    return written


def main(argv=None):
    args = parse_arguments(argv)
    workspace = None
    try:
        host = Host(args.host)
        host.enter()
        settings = host.load_settings()
        records = host.records()
        choose_investor(args, settings, host)
        args.parameters = parameters.resolve(settings, host.settings_shown, args.investor, args.assignments)
        ticks = TickFile(args.ticks, field_types(records.DepthMarketDataField))
        config = factors = journal_before = None
        if args.db:
            config, factors, journal_before = prepare_database(args)
        check_strategies(args, settings, records, host, ticks, factors)
        brindle = host.engine_module()
        args.out.mkdir(parents=True, exist_ok=True)
        workspace = Path(tempfile.mkdtemp(prefix=".replay-", dir=args.out))
        replay = Replay(args, host, settings, records, brindle, workspace, db.describe(config) if config else None)
        summary = execute(replay, ticks, workspace)
        if args.db and summary.interrupted is None:
            with db.connect(config) as connection:
                summary.journal_rows = db.journal_rows(connection) - journal_before
        if summary.interrupted is None:
            if not args.no_chart:
                report.chart(replay, workspace / "chart.png")
            report.write_json(summary, workspace / "summary.json")
            summary.written = publish(workspace, args.out)
        print(summary.text())
        return 130 if summary.interrupted is not None else 0
    except UsageError as error:
        print("replay: %s" % error, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("replay: interrupted; no files written", file=sys.stderr)
        return 130
    finally:
        if workspace is not None:
            shutil.rmtree(workspace, ignore_errors=True)


def execute(replay, ticks, workspace):
    """Replay the file with the engine's clock and log redirected; Ctrl-C ends it early."""
    env = importlib.import_module("cfg.oxa_env")
    brindle = replay.brindle
    saved_logger, saved_datetime = env.logger, brindle.datetime
    logger, counter, handler = engine_logger(workspace)
    env.logger = logger
    brindle.datetime = replay.clock
    interrupted = None
    started = time.perf_counter()
    progress = report.progress(ticks.count_lines() if sys.stderr.isatty() else 0, PROGRESS_FROM)
    try:
        replay.run(ticks, progress)
    except KeyboardInterrupt:
        interrupted = replay.line or 1  # the header, when no tick was read yet
    finally:
        elapsed = time.perf_counter() - started
        progress.close()
        ticks.close()
        env.logger, brindle.datetime = saved_logger, saved_datetime
        handler.close()
        replay.decisions.close()
        replay.fills.close()
    return report.Summary(replay, elapsed, counter, interrupted)
