"""Replay recorded ticks through oxa.Brindle as a trading client would feed them live, with an
exchange that fills its orders, an account that books fees and profit, and the figures a
trader judges a strategy by.

    brindle-replay TICKS... [--instruments FILE | --db] [--fills exchange|engine] [--fees FILE]
                      [--out DIR] [--set NAME=VALUE]... (--help lists them all)

Exit status: 0 done; 1 done, but the database failed during the replay (the summary says
what, and where the rows it refused were kept) or the outputs could not be written (a full
or read-only disk: the printed summary is what is kept); 2 the replay could not run (one message
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

from ..market import account
from ..live import check, db, parameters
from . import native
from . import options, report
from .client import Client
from ..common.errors import UsageError, shown
from ..live.host import Host
from ..feed.inputs import field_types, read_instruments
from ..feed.ticks import TickSource

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


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="brindle-replay", description=__doc__.split("\n\n")[0])
    parser.add_argument("ticks", nargs="+", metavar="TICKS",
                        help="tick files (CSV or Parquet), directories of them or glob patterns; replayed "
                             "together in time order")
    options.add_replay_options(parser)
    parser.add_argument("--out", default="replay-out", help="directory for the outputs (default: %(default)s)")
    parser.add_argument("--no-chart", action="store_true", help="do not draw the chart")
    args = parser.parse_args(argv)
    options.complete(parser, args)
    # Paths are the operator's, relative to where the command was started.
    args.ticks = [str(Path(t).resolve()) if not Path(t).is_absolute() else t for t in args.ticks]
    args.out = Path(args.out).resolve()
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
            lines.append("... and %d more (brindle-check lists them)" % (len(findings) - 10))
        raise UsageError("the strategies cannot be replayed:\n  " + "\n  ".join(lines))


def prepare_database():
    config = db.settings()
    with db.connect(config) as connection:
        absent = db.missing_tables(connection)
        if absent:
            raise UsageError("database %s lacks the table%s %s: create %s with `brindle-db create`"
                             % (db.describe(config), "s" if len(absent) > 1 else "", ", ".join(absent),
                                "them" if len(absent) > 1 else "it"))
        return config, check.factor_names(connection), db.journal_rows(connection)


class LogFile(logging.FileHandler):
    """The engine's log file: a failing write (a full disk) is kept for the end, not printed
    on every record."""

    error = None

    def handleError(self, record):
        if self.error is None:
            self.error = sys.exc_info()[1]


def engine_logger(workspace):
    """The engine's log during the replay: to a file among the outputs, counted."""
    logger = logging.Logger("oxa.replay")
    handler = LogFile(workspace / "engine.log", encoding="utf-8", delay=True)
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
    try:
        summary = replay(args)
    except UsageError as error:
        print("%s: %s" % ("brindle-replay", error), file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("%s: interrupted; no files written" % "brindle-replay", file=sys.stderr)
        return 130
    print(summary.text())
    if summary.not_written is not None:
        # A full or read-only disk: the summary printed above is what the replay keeps.
        print("%s: %s; no files written, the summary above is kept" % ("brindle-replay", unwritten(args, summary)), file=sys.stderr)
        return 1
    if summary.stopped:
        print("%s: stopped at %s" % ("brindle-replay", summary.stopped), file=sys.stderr)
        return 1
    if summary.interrupted is not None:
        return 130
    return 1 if args.db and summary.database_failed else 0


def unwritten(args, summary):
    error = summary.not_written
    return "cannot write the outputs in %s: %s" % (shown(args.out), error.strerror or error)


def replay(args):
    """The replay that args (as parse_arguments gives them) describe, its outputs written to
    args.out; gives its summary. A replay that cannot run raises UsageError."""
    try:
        return replay_on(args)
    except native.Unsupported as reason:
        print("%s: the native engine cannot replay this (%s): replaying with the exact engine"
              % ("brindle-replay", reason), file=sys.stderr)
        args.engine = "exact"
        summary = replay_on(args)
        summary.results.engine = "exact (the native engine cannot: %s)" % reason
        return summary


def replay_on(args):
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
        source = TickSource(args.ticks, field_types(records.DepthMarketDataField), args.columns, args.instrument,
                            args.trading_day, args.skip_bad_ticks)
        fee_schedule = account.read_fees(args.fees) if args.fees else None
        margins = account.read_margins(args.margin) if args.margin else None
        catalogue = None if args.db else read_instruments(args.instruments, records.InstrumentField)
        config = factors = journal_before = None
        if args.db:
            config, factors, journal_before = prepare_database()
        check_strategies(args, settings, records, host, source.names, factors)
        brindle = host.engine_module()
        created = output_directory(args.out)
        try:
            workspace = Path(tempfile.mkdtemp(prefix=".replay-", dir=args.out))
            outputs = report.Outputs(workspace)
        except OSError as error:
            raise UsageError("cannot write in the output directory %s: %s" % (shown(args.out), error.strerror)) \
                from None
        client = Client(args, settings, records, brindle, outputs, catalogue, fee_schedule,
                        db.describe(config) if config else None, margins)
        road = None
        if args.engine == "native":
            refusal = native.refusal(args)
            if refusal:
                raise native.Unsupported(refusal)
            road = native.Road(client, source, settings, records)
            client.results.engine = road.describe()
        letters_before = dead_letter_size()
        summary, log_file = execute(client, road or client, source, outputs, workspace)
        if args.db:
            summary.dead_letters = (DEAD_LETTERS.resolve(), dead_letters_since(letters_before))
            if summary.interrupted is None:
                try:
                    with db.connect(config) as connection:
                        summary.journal_rows = db.journal_rows(connection) - journal_before
                except UsageError as error:
                    summary.journal_note = "rows added unknown: %s" % error
        not_written = outputs.error or log_file.error
        if summary.interrupted is None and not_written is None:
            if not args.no_chart:
                try:
                    report.chart(client.results, workspace / "chart.png")
                except Exception as error:  # no chart is no reason to lose the other outputs
                    print("%s: no chart: %s: %s" % ("brindle-replay", type(error).__name__, error), file=sys.stderr)
            try:
                report.write_json(summary, workspace / "summary.json")
                summary.written = publish(workspace, args.out)
            except OSError as error:
                not_written = error
        summary.not_written = not_written
        return summary
    finally:
        if workspace is not None:
            shutil.rmtree(workspace, ignore_errors=True)
        if created and args.out.is_dir() and not any(args.out.iterdir()):
            args.out.rmdir()


def execute(client, road, source, outputs, workspace):
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
    # objects of the set-up on every few thousand ticks. (No collection first: in a warm
    # sweep worker it would walk every object kept, a sixth of a point's time; what the
    # set-up left is collected after the run.)
    gc.freeze()
    thresholds = gc.get_threshold()
    gc.set_threshold(max(thresholds[0], 50000), *thresholds[1:])
    started = time.perf_counter()
    progress = report.progress(source.count_rows() if sys.stderr.isatty() else 0, PROGRESS_FROM)
    try:
        road.run(source, progress)
    except KeyboardInterrupt:
        interrupted = where(client)
    except (UsageError, native.Unsupported):
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
    summary = report.Summary(client.results, client.args, source, elapsed, counter, interrupted)
    summary.stopped = stopped
    return summary, handler


def where(client):
    if client.file is None:
        return "the start"
    return "%s %s %d" % (client.file.name, client.file.unit, client.line)
