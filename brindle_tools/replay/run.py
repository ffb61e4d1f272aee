"""Replay recorded ticks through oxa.Brindle as a trading client would feed them live, with an
exchange that fills its orders, an account that books fees and profit, and the figures a
trader judges a strategy by. `replay()` is the replay of brindle-replay, of the notebook's
backtest() and of each run of a sweep."""
import argparse
import contextlib
import gc
import importlib
import json
import logging
import os
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

from ..common import outputs as outputs_place
from ..common.errors import UsageError, resolved, shown
from ..feed.inputs import field_types, read_instruments
from ..feed.store import tick_source
from ..feed.ticks import TickSource, price_bands
from ..live import check, db, parameters
from ..live.host import Host
from ..market import account, limits
from . import native, report, webpage
from .client import Client
from .options import PATHS

PROGRESS_FROM = 20000  # ticks from which a terminal shows a progress bar
DEAD_LETTERS = Path("log") / "sql_dead_letters.jsonl"  # where the engine keeps rows the database refused


# What the engine logs when a strategy fails on a tick: an expression that raised, the tick's step.
STRATEGY_FAILURES = frozenset(("Calc_Express", "push_md2trade"))


class CountingHandler(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.errors = self.warnings = 0
        self.first_error = None
        self.strategy_failed = None  # called with (message, error) on a strategy's failure

    def emit(self, record):
        if record.levelno >= logging.ERROR:
            self.errors += 1
            exc = record.exc_info[1] if record.exc_info else None
            error = "%s: %s" % (type(exc).__name__, exc) if exc else ""
            message = record.getMessage()
            if self.first_error is None:
                self.first_error = message + (": " + error if error else "")
            if message in STRATEGY_FAILURES and self.strategy_failed is not None:
                self.strategy_failed(message, error or message)
        elif record.levelno >= logging.WARNING:
            self.warnings += 1


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
    known = check.known_names(settings, records, names, factors, args.parameters, check.names_switch())
    findings = check.check_settings(settings, known, [args.investor])
    if findings:
        lines = [f.text(host.settings_shown) for f in findings[:10]]
        if len(findings) > 10:
            lines.append("... and %d more (brindle-check lists them)" % (len(findings) - 10))
        raise UsageError("the strategies cannot be replayed:\n  " + "\n  ".join(lines))


def refuse_unknown_limits(args, catalogue):
    """A --limit for an instrument or investor that the replay does not know is a typo: it would limit nothing."""
    known = {str(i).lower() for i in catalogue} | {args.investor.lower()}
    unknown = limits.unknown_ids([name for name, _ in args.limits], known)
    if unknown:
        raise UsageError("--limit %s: %s is neither the investor %s nor an instrument of %s" % (
            unknown[0], unknown[0].partition(".")[2], args.investor, shown(args.instruments)))


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


class NoLogFile(logging.NullHandler):
    """The engine's log of a replay that writes no files: counted only."""

    error = None


class EngineLogFormat(logging.Formatter):
    """The engine's log lines; a traceback's files are named as the operator reads paths
    (relative to where the command was started), whichever road ran."""

    FRAME = re.compile(r'^(  File ")(/[^"]+)(")', re.M)  # absolute paths only: not "<string>"

    def formatException(self, exc_info):
        return self.FRAME.sub(lambda m: m.group(1) + shown(m.group(2)) + m.group(3),
                              super().formatException(exc_info))


def engine_logger(workspace):
    """The engine's log during the replay: to a file among the outputs (when there are
    outputs), counted."""
    logger = logging.Logger("oxa.replay")
    if workspace is None:
        handler = NoLogFile()
    else:
        handler = LogFile(workspace / "engine.log", encoding="utf-8", delay=True)
        handler.setFormatter(EngineLogFormat("%(asctime)s %(levelname)s %(message)s"))
    counter = CountingHandler()
    logger.addHandler(handler)
    logger.addHandler(counter)
    logger.setLevel(logging.DEBUG)
    return logger, counter, handler


def publish(workspace, out):
    """Move the complete outputs into the output directory; an output of an earlier run that
    this one did not write (a chart) goes, so that no file there describes another run."""
    written = []
    for path in sorted(workspace.iterdir()):
        target = out / path.name
        path.replace(target)
        written.append(target)
    for name in outputs_place.REPLAY:
        stale = out / name
        if stale not in written and stale.is_file():
            stale.unlink()
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


def replay(ticks, options, out=None, chart=True, keep=False, progress=None):
    """The replay of tick files (paths, directories or glob patterns, relative to the working
    directory) with these ReplayOptions; gives its report.Summary. out: the directory the
    outputs are written to, or None for none; keep: the summary keeps the decisions and fills
    as CSV text; progress: whether a long replay shows a progress bar (None: where someone
    watches, report.watched()). A replay that cannot run raises UsageError; the working directory and module
    path are as they were afterwards, so that a second replay sees the world the first saw."""
    args = vars(options.checked())
    args.update(ticks=[str(resolved(t, "")) for t in ([ticks] if isinstance(ticks, (str, Path)) else ticks)],
                out=resolved(out, "--out") if out is not None else None, no_chart=not chart, keep=keep,
                progress=progress)
    try:
        with kept_place():
            return replay_on(argparse.Namespace(**args))
    except native.Unsupported as reason:
        print("brindle-replay: the native engine cannot replay this (%s): replaying with the exact engine"
              % reason, file=sys.stderr)
        args["engine"] = "exact"
        with kept_place():
            summary = replay_on(argparse.Namespace(**args))
        summary.results.engine = "exact (the native engine cannot: %s)" % reason
        return summary


@contextlib.contextmanager
def kept_place():
    """The working directory and module path, restored after a replay entered its host."""
    cwd, path = os.getcwd(), list(sys.path)
    try:
        yield
    finally:
        os.chdir(cwd)
        sys.path[:] = path


def unwritten(args, summary):
    error = summary.not_written
    return "cannot write the outputs in %s: %s" % (shown(args.out), error.strerror or error)


def replay_on(args):
    workspace = created = None
    try:
        host = Host(args.host)
        args.host_directory = host.directory
        host.enter()
        settings = host.load_settings()
        records = host.records()
        choose_investor(args, settings, host)
        args.parameters = parameters.resolve(settings, host.settings_shown, args.investor, args.set)
        args.capital = account.capital_of(args.capital)
        catalogue = None if args.db else read_instruments(args.instruments, records.InstrumentField)
        source = tick_source(args.ticks, args) or TickSource(
            args.ticks, field_types(records.DepthMarketDataField), args.columns, args.instrument, args.trading_day,
            args.skip_bad_ticks, args.days, bands=price_bands(args.price_bands), instruments=catalogue)
        fee_schedule = account.read_fees(args.fees) if args.fees else None
        margins = account.read_margins(args.margin) if args.margin else None
        if catalogue is not None:
            refuse_unknown_limits(args, catalogue)
        config = factors = journal_before = None
        if args.db:
            config, factors, journal_before = prepare_database()
        check_strategies(args, settings, records, host, source.names, factors)
        brindle = host.engine_module()
        if args.out is not None:
            outputs_place.refuse_unsafe(args.out, [f.path for f in source.files] + outputs_place.input_files(args, PATHS))
            created = outputs_place.create(args.out)
            try:
                workspace = Path(tempfile.mkdtemp(prefix=".replay-", dir=args.out))
            except OSError as error:
                raise UsageError("cannot write in the output directory %s: %s"
                                 % (shown(args.out), error.strerror)) from None
        outputs = report.Outputs(workspace, args.keep)
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
        if workspace is not None and summary.interrupted is None and not_written is None:
            if not args.no_chart:
                failures = []
                for name, draw in (("chart.png", lambda path: report.chart(client.results, path)),
                                   ("report.html", lambda path: webpage.write(summary, path))):
                    try:
                        draw(workspace / name)
                    except Exception as error:  # no picture is no reason to lose the other outputs
                        failures.append("no %s: %s: %s" % (name, type(error).__name__, error))
                summary.chart_failed = "; ".join(failures) or None
            try:
                report.write_json(summary, workspace / "summary.json")
                report.write_instruments(client.results, workspace / "instruments.csv")
                summary.written = publish(workspace, args.out)
            except OSError as error:
                not_written = error
        summary.not_written = not_written
        summary.kept = outputs if args.keep else None
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
    counter.strategy_failed = client.strategy_failed
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
    shown_progress = report.watched() if client.args.progress is None else client.args.progress
    progress = report.progress(source.count_rows() if shown_progress else 0, PROGRESS_FROM)
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
