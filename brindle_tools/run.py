"""Replay recorded ticks through oxa.Brindle as a trading client would feed them live, with an
exchange that fills its orders, an account that books fees and profit, and the figures a
trader judges a strategy by.

    python3 -m replay TICKS... [--instruments FILE | --db] [--fills exchange|engine] [--fees FILE]
                      [--out DIR] [--set NAME=VALUE]... (--help lists them all)

Exit status: 0 done; 1 done, but the database failed during the replay (the summary says
what, and where the rows it refused were kept); 2 the replay could not run (one message
says why); 130 interrupted.
"""
import argparse
import gc
import importlib
import json
import logging
import shutil
import sys
import tempfile
import time
from pathlib import Path

from . import account, check, db, limits, parameters, report
from .client import Client
from .host import SAMPLES, Host, UsageError, shown
from .inputs import field_types, read_instruments
from .ticks import PUBLIC_LAYOUT, PUBLIC_NAME, TickSource

PROGRESS_FROM = 20000  # ticks from which a terminal shows a progress bar
DEAD_LETTERS = Path("log") / "sql_dead_letters.jsonl"  # where the engine keeps rows the database refused


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


def time_of_day(text):
    parts = text.split(":")
    try:
        if len(parts) not in (2, 3):
            raise ValueError
        hours, minutes, seconds = (int(p) for p in parts + ["0"] * (3 - len(parts)))
        if not (0 <= hours < 24 and 0 <= minutes < 60 and 0 <= seconds < 60):
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a time of day HH:MM[:SS]" % text) from None
    return hours * 3600 + minutes * 60 + seconds


def non_negative(text):
    try:
        value = float(text)
    except ValueError:
        value = -1
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("%r is not a number of 0 or more" % text)
    return value


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="python3 -m replay", description=__doc__.split("\n\n")[0])
    parser.add_argument("ticks", nargs="+", metavar="TICKS",
                        help="tick files (CSV or Parquet), directories of them or glob patterns; replayed "
                             "together in time order")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--instruments", default=str(SAMPLES / "instruments.csv"),
                        help="instrument file: CSV of the instrument record's 31 fields (default: %s)"
                             % shown(SAMPLES / "instruments.csv"))
    source.add_argument("--db", action="store_true",
                        help="use the database of cfg/oxa.ini: instruments from t_Instrument, factors from "
                             "t_factor, simulated trades journalled to T_SimNow_AutoTrade (with --fills engine)")
    parser.add_argument("--investor", help="investor whose strategies decide (default: the only one)")
    parser.add_argument("--host", help="host working directory (default: the current directory if it is one, "
                                       "else the sample host)")
    parser.add_argument("--out", default="replay-out", help="directory for the outputs (default: %(default)s)")
    parser.add_argument("--fills", choices=("exchange", "engine"), default="exchange",
                        help="fill model: exchange (default): at the quote or at the limit when the market trades "
                             "through it, volume capped by the tick; engine: the engine's own simulated fill "
                             "(SimNow) at the last price, journalled")
    parser.add_argument("--fees", help="fee file: CSV with InstrumentID or ProductID, then open_per_lot, open_rate, "
                                       "close_per_lot, close_rate, close_today_per_lot, close_today_rate (e.g. %s; "
                                       "default: no fees)" % shown(SAMPLES / "fees.csv"))
    parser.add_argument("--slippage", type=non_negative, default=0.0, metavar="TICKS",
                        help="price ticks every fill loses (default: %(default)g)")
    parser.add_argument("--capital", type=float, default=account.DEFAULT_CAPITAL,
                        help="capital that returns and drawdown percent are measured on (default: %s)"
                             % "{:,.0f}".format(account.DEFAULT_CAPITAL))
    parser.add_argument("--cancel-after", type=non_negative, default=60.0, metavar="SECONDS",
                        help="cancel a resting order after this many seconds of market time; 0: never "
                             "(default: %(default)g); orders left at the end of a trading day expire")
    parser.add_argument("--warm-up", type=int, default=0, metavar="N",
                        help="the first N ticks of each instrument update the statistics, their decisions are "
                             "not sent (default: %(default)s)")
    parser.add_argument("--restart-daily", action="store_true",
                        help="start each trading day with a fresh engine, as a restarted client (positions "
                             "carried); default: one engine for the whole replay, as a client left running")
    parser.add_argument("--day-close", type=time_of_day, default=time_of_day("15:00:00"), metavar="HH:MM:SS",
                        help="close of the day session: ticks from then until the evening are snapshots after "
                             "the close, not traded on (default: 15:00:00)")
    parser.add_argument("--columns", help="column names of tick files without a header line, comma-separated "
                                          "(the broker's field names), or %s for %s"
                                          % (PUBLIC_NAME, ",".join(PUBLIC_LAYOUT)))
    parser.add_argument("--instrument", help="instrument of tick files without an InstrumentID column (default: "
                                             "taken from the start of the file name, as rb2501 from "
                                             "rb2501_20241105.csv)")
    parser.add_argument("--no-chart", action="store_true", help="do not draw the chart")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE", dest="assignments",
                        help="strategy parameter that the expressions read, over the settings module's "
                             "Strategy_Parameters (repeatable)")
    parser.add_argument("--limit", action="append", default=[], type=limits.assignment, metavar="NAME=VALUE",
                        dest="limits", help="pre-trade limit over the [RISK] section of the host's cfg/oxa.ini, "
                                            "e.g. max_position=4 or max_orders_per_second.rb2501=2 (repeatable); "
                                            "the summary counts the decisions each limit withheld")
    args = parser.parse_args(argv)
    if args.warm_up < 0:
        parser.error("argument --warm-up: %d is not a number of ticks" % args.warm_up)
    # Paths are the operator's, relative to where the command was started.
    args.ticks = [str(Path(t).resolve()) if not Path(t).is_absolute() else t for t in args.ticks]
    for name in ("instruments", "out", "fees"):
        if getattr(args, name):
            setattr(args, name, Path(getattr(args, name)).resolve())
    if args.columns:
        names = PUBLIC_LAYOUT if args.columns.strip() == PUBLIC_NAME else \
            tuple(c.strip() for c in args.columns.split(","))
        args.columns = names
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


def check_strategies(args, settings, records, host, names, factors):
    known = check.known_names(settings, records, names, factors, args.parameters)
    findings = check.check_settings(settings, known, [args.investor])
    if findings:
        lines = [f.text(host.settings_shown) for f in findings[:10]]
        if len(findings) > 10:
            lines.append("... and %d more (python3 -m replay.check lists them)" % (len(findings) - 10))
        raise UsageError("the strategies cannot be replayed:\n  " + "\n  ".join(lines))


def prepare_database():
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


def output_directory(out):
    """Create the output directory; True when it did not exist before."""
    if out.exists() and not out.is_dir():
        raise UsageError("--out %s is a file: name a directory for the outputs" % shown(out))
    existed = out.exists()
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError("cannot create the output directory %s: %s" % (shown(out), error.strerror)) from None
    return not existed


def publish(workspace, out):
    """Move the complete outputs into the output directory."""
    written = []
    for path in sorted(workspace.iterdir()):
        target = out / path.name
        path.replace(target)
        written.append(target)
    return written


def dead_letter_size():
    try:
        return DEAD_LETTERS.stat().st_size
    except OSError:
        return 0


def dead_letters_since(offset):
    """Rows that the engine kept in the dead-letter file after offset (one JSON line per
    statement, with its rows)."""
    rows = 0
    try:
        with open(DEAD_LETTERS, "rb") as letters:
            letters.seek(offset)
            for line in letters:
                try:
                    kept = json.loads(line).get("rows")
                except (ValueError, AttributeError):
                    rows += 1  # a line cut off: still a row kept
                    continue
                rows += len(kept) if isinstance(kept, list) else 1
    except OSError:
        pass
    return rows


def main(argv=None):
    args = parse_arguments(argv)
    workspace = created = None
    try:
        host = Host(args.host)
        args.host_directory = host.directory
        host.enter()
        settings = host.load_settings()
        records = host.records()
        choose_investor(args, settings, host)
        args.parameters = parameters.resolve(settings, host.settings_shown, args.investor, args.assignments)
        args.capital = account.capital_of(args.capital)
        source = TickSource(args.ticks, field_types(records.DepthMarketDataField), args.columns, args.instrument)
        fee_schedule = account.read_fees(args.fees) if args.fees else None
        catalogue = None if args.db else read_instruments(args.instruments, records.InstrumentField)
        config = factors = journal_before = None
        if args.db:
            config, factors, journal_before = prepare_database()
        check_strategies(args, settings, records, host, source.names, factors)
        brindle = host.engine_module()
        created = output_directory(args.out)
        workspace = Path(tempfile.mkdtemp(prefix=".replay-", dir=args.out))
        outputs = report.Outputs(workspace)
        client = Client(args, settings, records, brindle, outputs, catalogue, fee_schedule,
                        db.describe(config) if config else None)
        letters_before = dead_letter_size()
        summary = execute(client, source, outputs, workspace)
        if args.db:
            summary.dead_letters = (DEAD_LETTERS.resolve(), dead_letters_since(letters_before))
            if summary.interrupted is None:
                try:
                    with db.connect(config) as connection:
                        summary.journal_rows = db.journal_rows(connection) - journal_before
                except UsageError as error:
                    summary.journal_note = "rows added unknown: %s" % error
        if summary.interrupted is None:
            if not args.no_chart:
                try:
                    report.chart(client, workspace / "chart.png")
                except Exception as error:  # no chart is no reason to lose the other outputs
                    print("replay: no chart: %s: %s" % (type(error).__name__, error), file=sys.stderr)
            report.write_json(summary, workspace / "summary.json")
            summary.written = publish(workspace, args.out)
        print(summary.text())
        if summary.stopped:
            print("replay: stopped at %s" % summary.stopped, file=sys.stderr)
            return 1
        if summary.interrupted is not None:
            return 130
        return 1 if args.db and summary.database_failed else 0
    except UsageError as error:
        print("replay: %s" % error, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("replay: interrupted; no files written", file=sys.stderr)
        return 130
    finally:
        if workspace is not None:
            shutil.rmtree(workspace, ignore_errors=True)
        if created and args.out.is_dir() and not any(args.out.iterdir()):
            args.out.rmdir()


def execute(client, source, outputs, workspace):
    """Replay the ticks with the engine's clock and log redirected; Ctrl-C ends it early. A
    failure of the engine or the database on a tick ends the replay there, with the outputs
    of the ticks before it."""
    env = importlib.import_module("cfg.oxa_env")
    brindle = client.brindle
    saved_logger, saved_datetime = env.logger, brindle.datetime
    logger, counter, handler = engine_logger(workspace)
    env.logger = logger
    brindle.datetime = client.clock
    interrupted = stopped = None
    # The tick loop makes no reference cycles of its own: the collector need not walk the
    # objects of the set-up on every few thousand ticks.
    gc.collect()
    gc.freeze()
    thresholds = gc.get_threshold()
    gc.set_threshold(max(thresholds[0], 50000), *thresholds[1:])
    started = time.perf_counter()
    progress = report.progress(source.count_rows() if sys.stderr.isatty() else 0, PROGRESS_FROM)
    try:
        client.run(source, progress)
    except KeyboardInterrupt:
        interrupted = where(client)
    except UsageError:
        raise
    except Exception as error:  # the engine's and the database's own exceptions reach the client
        stopped = "%s: %s: %s" % (where(client), type(error).__name__, error)
    finally:
        elapsed = time.perf_counter() - started
        gc.set_threshold(*thresholds)
        gc.unfreeze()
        progress.close()
        env.logger, brindle.datetime = saved_logger, saved_datetime
        handler.close()
        outputs.close()
    client.finish()
    summary = report.Summary(client, source, elapsed, counter, interrupted)
    summary.stopped = stopped
    return summary


def where(client):
    if client.file is None:
        return "the start"
    return "%s %s %d" % (client.file.name, client.file.unit, client.line)
