"""Parameter sweep: the replay over a grid of strategy parameters, each point replayed over
all its trading days as one account, on warm workers on this machine's cores or on a Ray
cluster; with train/test a walk-forward validation instead (walkforward.py).

Tick files are files or directories of them; the files whose names carry the same date
(YYYYMMDD) are one trading day, a file without a date a day of its own. The table of the runs
grows in OUT/runs.csv as runs end; at the end the sweep writes it sorted by run to runs.csv and
runs.parquet, ranks the points in ranking.csv and draws heatmap.png.
"""
import argparse
import collections
import contextlib
import importlib
import json
import os
import sys
import tempfile
import time
from dataclasses import dataclass, fields as dataclass_fields, replace
from pathlib import Path
from typing import List, Optional

from ..common import outputs
from ..common.errors import UsageError, resolved, shown
from ..feed.inputs import field_types
from ..feed.store import day_range, is_store, store_among, store_days
from ..feed.ticks import TickSource, price_bands
from ..common.frames import csv_frame, frame
from ..live import parameters
from ..live.host import Host
from ..market import account
from ..replay.report import watched
from ..replay.options import (PATHS, ReplayOptions, count, given_fields, option, plain, positive, positive_int,
                              read_fields)
from . import pages, tables
from .days import label, segment, tick_files, trading_days
from .grid import LIMIT, check_size, grid_points, parse_grid, part_text, point_values
from .runs import run_locally

HEATMAP_VALUES = 200  # values of a heat map's axis


# --- the plan ----------------------------------------------------------------------------------


class Plan:
    """The runs of a sweep: every chosen point of the grid times every segment (a tuple of
    tick files replayed together as one account); a run's key is (point, segment number)."""

    def __init__(self, grid, points, segments, replay):
        self.grid = grid
        self.names = list(grid)
        self.points = points
        self.segments = segments
        self.replay = replay  # the replay options every run is given
        self.columns = tables.run_columns(self.names)

    def values(self, point):
        return point_values(self.grid, point)

    def keys(self):
        return [(point, number) for point in self.points for number in range(len(self.segments))]

    def request(self, key):
        """(key, tick files, the run's options over the bound ones, (path, as shown) of the files)."""
        point, number = key
        part = self.segments[number]
        overrides = {"set": dict(self.replay.set, **self.values(point)), "days": part.days}
        return key, [str(p) for p in part.files], overrides, [(str(p), shown(p)) for p in part.files]

    def text_key(self, key):
        return tuple(str(v) for v in self.values(key[0]).values()) + (label(self.segments[key[1]]),)

    def row(self, key, result):
        row = dict.fromkeys(self.columns)
        row.update(self.values(key[0]))
        row["tick_files"] = label(self.segments[key[1]])
        row.update(result)
        return row

    def configuration(self, args):
        return {"ticks": [[str(p) for p in s.files] + ([list(s.days)] if s.days else []) for s in self.segments],
                "grid": {n: [part_text(p) for p in vs.parts] for n, vs in self.grid.items()},
                "sample": args.sample, "seed": args.seed if args.sample is not None else None,
                "replay": plain(self.replay)}


# --- runners -----------------------------------------------------------------------------------


class LocalRunner:
    """Runs on warm worker processes of this machine."""

    def __init__(self, replay, workers, retries, timeout, runs_per_process):
        self.replay, self.workers, self.retries, self.timeout = replay, workers, retries, timeout
        self.runs_per_process = runs_per_process
        self.where = "%d local worker%s" % (workers, "s" * (workers > 1))

    def run(self, requests, on_result):
        run_locally(requests, self.replay, self.workers, on_result, self.retries, self.timeout,
                               self.runs_per_process)

    def close(self):
        pass


def runner_for(args, replay):
    if args.ray:
        from .ray_cluster import RayRunner

        return RayRunner(args.ray, replay, args.retries, args.timeout, args.ship, args.runs_per_process)
    return LocalRunner(replay, args.workers, args.retries, args.timeout, args.runs_per_process)


# --- checks before any run ---------------------------------------------------------------------


def host_setup(args):
    """Settle the host and the investor in args; gives the host's settings module (loaded
    here and forgotten again) and its name as messages show it."""
    from ..replay import run

    saved_modules = set(sys.modules)
    try:
        with run.kept_place():
            host = Host(args.host)
            host.enter()
            settings = host.load_settings()
            run.choose_investor(args, settings, host)
            args.host = str(host.directory)
            return settings, host.settings_shown, field_types(host.records().DepthMarketDataField)
    finally:
        for name in set(sys.modules) - saved_modules:
            if name == "cfg" or name.startswith(("cfg.", "oxa.py_ApiStructure")):
                del sys.modules[name]


def days_in(path, converters, args, bands):
    """The trading days a tick file holds, read as the replay reads it; none where it cannot be
    read here (its runs fail with the reader's message: on a cluster the workers may see files
    that this machine does not). Read without the CSV reader's threads: the driver's process
    aborted now and then at its exit, in the thread pool's teardown."""
    if is_store(path):
        return store_days(path, day_range(args.from_day, args.to_day, args.days))
    try:
        source = TickSource([str(path)], converters, args.columns, args.instrument, args.trading_day,
                            args.skip_bad_ticks, threads=False, bands=bands)
        return sorted(set().union(*(batch.days() for batch in source.batches(source.files[0]))))
    except UsageError:
        return []


def build_grid(args, settings, settings_shown):
    """The grid, checked as the replay checks its parameters."""
    fixed = args.set
    defaults = parameters.defaults(settings, settings_shown)
    grid = parse_grid(args.grid, set(tables.run_columns(())) | {"rank"}, defaults)
    both = sorted(set(fixed) & set(grid))
    if both:
        raise UsageError("%s: given with --set and with --grid; a parameter is fixed or varied" % ", ".join(both))
    # A name that no expression reads, or a fixed value of the wrong kind, as the replay refuses it.
    parameters.resolve(settings, settings_shown, args.investor,
                       dict(fixed, **{name: values[0] for name, values in grid.items()}))
    check_size(grid, args.sample)
    return grid


def heatmap_pair(args, grid):
    if not args.heatmap:
        return None
    pair = [p.strip() for p in args.heatmap.split(",")]
    if len(pair) != 2 or pair[0] == pair[1] or not all(p in grid for p in pair):
        raise UsageError("--heatmap %s: name two different parameters of the grid (%s)"
                         % (args.heatmap, ", ".join(grid)))
    if any(len(grid[p]) > HEATMAP_VALUES for p in pair):
        raise UsageError("--heatmap %s: a heat map shows at most %d values a side" % (args.heatmap, HEATMAP_VALUES))
    return pair


def require_packages(pair):
    """The packages of the sweep's outputs, before any run rather than after the last."""
    wanted = [("tqdm", "tqdm==4.70.1"), ("pyarrow.parquet", "pyarrow==26.0.1")]
    if pair:
        wanted.append(("matplotlib", "matplotlib==3.11.2"))
    missing = []
    for module, pin in wanted:
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(pin)
    if missing:
        raise UsageError("the sweep needs %s: pip install %s (scripts/ensure-deps installs them)"
                         % (", ".join(missing), " ".join("'%s'" % m for m in missing)))


def prepare_output(args, plan):
    """The finished rows of a sweep to resume, after checking that it is this sweep."""
    out = args.out
    tables.refuse_other_outputs(out, "sweep")
    config_path, table_path = out / "sweep.json", out / "runs.csv"
    configuration = plan.configuration(args)
    exists = table_path.exists()
    if exists and not args.resume:
        raise UsageError("%s already holds a sweep: --resume finishes it; or choose another --out" % shown(out))
    if args.resume and exists:
        try:
            stored = json.loads(config_path.read_text(encoding="utf-8")) if config_path.exists() else None
        except ValueError as error:  # UnicodeDecodeError is a ValueError
            raise UsageError("%s is damaged (%s): choose another --out" % (shown(config_path), error)) from None
        if stored != configuration:
            raise UsageError("%s holds a sweep of other tick files, grid or replay options than this one: "
                             "resume it with its own command, or choose another --out" % shown(out))
        runs = {plan.text_key(key): (key, plan.values(key[0])) for key in plan.keys()}
        return tables.read_finished(table_path, plan.columns, plan.names, runs)
    outputs.create(out)
    config_path.write_text(json.dumps(configuration, indent=2) + "\n", encoding="utf-8")
    return {}


# --- the options ------------------------------------------------------------------------------


@dataclass
class SweepOptions:
    """The sweep's own options (the replay's are ReplayOptions): brindle-sweep's command line is
    parsed into them, and sweep() and walk_forward() take them as keywords."""

    grid: List[str] = option(factory=list, action="append", metavar="NAME=VALUES",
                             help="a parameter and its values: Python literals separated by commas, or integer "
                                  "ranges A..B or A..B/STEP (repeatable: the grid is all combinations)")
    per_day: bool = option(False, action="store_true",
                           help="replay each trading day apart, with a fresh account; by default a point's days "
                                "are one replay, one account, positions carried")
    train: Optional[int] = option(None, type=positive_int, metavar="N",
                                  help="walk-forward: choose the best point on N trading days, measure it on the "
                                       "--test days after them, then slide on by --test days")
    test: Optional[int] = option(None, type=positive_int, metavar="M", help="walk-forward: trading days tested")
    anchored: bool = option(False, action="store_true",
                            help="walk-forward: every window trains from the first day on (an expanding window) "
                                 "instead of the last --train days")
    sample: Optional[int] = option(None, type=positive_int, metavar="N",
                                   help="only N points of the grid, drawn at random (grids of more than %s points "
                                        "need it)" % "{:,}".format(LIMIT))
    seed: int = option(0, type=int, help="seed of --sample's draw (default %(default)s)")
    rank: str = option("net", choices=tables.FIGURES, metavar="FIGURE",
                       help="figure that ranks the points: %s (default %%(default)s)" % ", ".join(tables.FIGURES))
    rank_all: bool = option(False, action="store_true",
                            help="rank flagged points (too few round trips, a drawdown larger than the net, strategy "
                                 "errors) with the others; by default they rank after them")
    heatmap: Optional[str] = option(None, metavar="P1,P2", help="draw the ranked figure over these two parameters")
    resume: bool = option(False, action="store_true",
                          help="run only the runs that OUT/runs.csv lacks or that failed there")
    workers: int = option(os.cpu_count() or 1, type=positive_int,
                          help="replays at once on this machine (default: its %(default)s cores)")
    runs_per_process: int = option(0, type=count, metavar="N",
                                   help="start a fresh worker process after N runs (1: a process per run; "
                                        "default: never)")
    ray: Optional[str] = option(None, metavar="ADDRESS",
                                help="run on the Ray cluster at ADDRESS (host:port, or auto)")
    ship: bool = option(False, action="store_true",
                        help="with --ray: send the tick files, the instrument file and the host directory to the "
                             "workers through Ray's object store instead of reading them from a shared path")
    retries: int = option(2, type=count,
                          help="runs again a run whose worker process was killed, or whose Ray actor was lost, at "
                               "most this many times (default %(default)s)")
    timeout: Optional[float] = option(None, type=positive, metavar="SECONDS", help="stop a run after this long")

    def checked(self):
        """These options, each read as its command line option reads it, and the checks that
        no option alone can make; a refusal is a ValueError."""
        values = read_fields(self)
        if values["ship"] and not values["ray"]:
            raise ValueError("--ship goes with --ray")
        if (values["train"] is None) != (values["test"] is None):
            raise ValueError("--train and --test go together")
        if values["train"] is not None and (values["per_day"] or values["resume"]):
            raise ValueError("a walk-forward replays each window as one account and cannot be resumed: "
                             "leave out --per-day and --resume")
        if values["anchored"] and values["train"] is None:
            raise ValueError("--anchored goes with --train and --test")
        if values["train"] is not None and values["heatmap"]:
            raise ValueError("--heatmap draws a sweep's ranking; a walk-forward draws its windows in walkforward.png: "
                             "leave out --heatmap")
        if values["train"] == 1 and values["rank"] == "sharpe":
            raise ValueError("--rank sharpe --train 1: a Sharpe ratio needs two trading days or more; train on more "
                             "days or rank by another figure")
        return replace(self, **values)


def grid_texts(grid):
    """--grid texts of a notebook's grid: {name: "A..B" or a list of values}, or the texts."""
    if not isinstance(grid, dict):
        return list(grid)
    return ["%s=%s" % (name, values if isinstance(values, str) else ",".join(repr(v) for v in values))
            for name, values in grid.items()]


def planned(ticks, options, settings, out):
    """(args, plan, heat map pair, trading days): a sweep's options as one namespace, and its
    plan, all checked before any run."""
    args = argparse.Namespace(**vars(options.checked()), **vars(settings.checked()))
    args.ticks = [str(resolved(t, "")) for t in ([ticks] if isinstance(ticks, (str, Path)) else ticks)]
    args.out = resolved(out, "--out")
    store = store_among(args.ticks, args)
    if store is not None and args.ship:
        raise UsageError("%s is a tick store: the workers read it from storage they share, --ship sends tick "
                         "files" % shown(store))
    settings, settings_shown, converters = host_setup(args)
    args.capital = account.capital_of(args.capital)
    grid = build_grid(args, settings, settings_shown)
    pair = heatmap_pair(args, grid)
    files = tick_files(args.ticks)
    outputs.refuse_unsafe(args.out, files + outputs.input_files(args, PATHS))
    bands = price_bands(args.price_bands)
    days = trading_days(files, lambda path: days_in(path, converters, args, bands))
    points = list(grid_points(grid, args.sample, args.seed))
    segments = [segment([day], days) for day in days] if args.per_day else [segment(days, days)]
    replay = replace(options.checked(), host=Path(args.host), investor=args.investor, capital=args.capital)
    return args, Plan(grid, points, segments, replay), pair, days


def sweep(ticks, grid, options=None, settings=None, *, out=None, **fields):
    """Replays every point of a grid of strategy parameters over tick files; gives a SweepResult
    (runs and ranking as DataFrames). grid: {name: "A..B", "A..B/STEP" or a list of values};
    options: ReplayOptions; settings: SweepOptions; any of their fields may be given as
    keywords instead. out: the directory of runs.csv, runs.parquet, ranking.csv and heatmap.png
    (default: a temporary one, removed). Raises UsageError when the sweep cannot run and
    KeyboardInterrupt when interrupted (runs.csv then holds the runs so far)."""
    options, settings = with_fields(options, settings, grid, fields)
    if settings.train is not None:
        raise UsageError("train and test make a walk-forward: call walk_forward()")
    with output_place(out) as place:
        args, plan, pair, days = planned(ticks, options, settings, place)
        require_packages(pair)
        runner = runner_for(args, plan.replay)
        try:
            finished = prepare_output(args, plan)
            return run_sweep(args, plan, finished, pair, runner, len(days), out is not None)
        finally:
            runner.close()


def walk_forward(ticks, grid, train, test, options=None, settings=None, *, out=None, **fields):
    """Walk-forward validation: on each window of `train` trading days every point of the grid
    is replayed and the best (by settings.rank) is chosen; that point alone is replayed on the
    `test` days after the window; then the window slides on by `test` days. Gives a
    WalkForwardResult (runs, windows and the out-of-sample equity as DataFrames). The other
    arguments are sweep()'s."""
    from . import walkforward

    options, settings = with_fields(options, settings, grid, dict(fields, train=train, test=test))
    with output_place(out) as place:
        args, plan, pair, days = planned(ticks, options, settings, place)
        require_packages(pair)
        spans = walkforward.windows(days, args.train, args.test, args.anchored)
        runner = runner_for(args, plan.replay)
        try:
            return walkforward.run(args, plan, days, spans, runner, out is not None)
        finally:
            runner.close()


def with_fields(options, settings, grid, given):
    """ReplayOptions and SweepOptions with the keyword fields over them."""
    replay_names = {spec.name for spec in dataclass_fields(ReplayOptions)}
    options = given_fields(ReplayOptions, options, {k: v for k, v in given.items() if k in replay_names})
    settings = given_fields(SweepOptions, settings, {k: v for k, v in given.items() if k not in replay_names})
    return options, replace(settings, grid=grid_texts(grid))


@contextlib.contextmanager
def output_place(out):
    """The output directory, or a temporary one that goes afterwards."""
    if out is not None:
        yield out
        return
    with tempfile.TemporaryDirectory(prefix="brindle-sweep-") as scratch:
        yield Path(scratch) / "out"


class Progress:
    """The progress bar and the rows of runs.csv as runs end."""

    def __init__(self, plan, table, total, done):
        from tqdm.auto import tqdm

        self.plan, self.table, self.results = plan, table, {}
        self.bar = tqdm(total=total, initial=done, unit=" runs", dynamic_ncols=True, disable=not watched(),
                        smoothing=0.1)

    def __call__(self, key, result):
        row = self.plan.row(key, result)
        self.table.append(row)
        self.results[key] = row
        self.bar.update()

    def close(self):
        self.bar.close()
        self.table.close()


def execute(plan, keys, runner, progress):
    """Run the keys; gives the elapsed seconds."""
    started = time.perf_counter()
    try:
        runner.run((plan.request(key) for key in keys), progress)
    finally:
        progress.close()
    return time.perf_counter() - started


def run_sweep(args, plan, finished, pair, runner, day_count, kept):
    keys = plan.keys()
    pending = [key for key in keys if key not in finished]
    table = tables.Table(args.out / "runs.csv", plan.columns, [finished[k] for k in keys if k in finished])
    progress = Progress(plan, table, len(keys), len(finished))
    progress.results.update(finished)
    print("Sweep of %s x %s = %s (%d to do) on %s" % (
        plural(len(plan.points), "point"), "%d days apart" % day_count if args.per_day else
        "one account over %s" % plural(day_count, "trading day"), plural(len(keys), "run"), len(pending),
        runner.where), flush=True)
    try:
        elapsed = execute(plan, pending, runner, progress)
    except KeyboardInterrupt:
        print("brindle-sweep: interrupted; %d of %d runs in %s: --resume runs the rest" % (
            len(progress.results), len(keys), shown(args.out / "runs.csv")), file=sys.stderr)
        raise
    rows = [progress.results[key] for key in keys]
    tables.write_sorted(rows, plan.columns, plan.names, args.out)
    points = tables.point_figures(rows, plan.names, plan.replay.capital)
    ranked = tables.ranking(points, args.rank, args.rank_all)
    tables.write_ranking(ranked, plan.names, args.out / "ranking.csv")
    files = ["runs.csv", "runs.parquet", "ranking.csv"]
    if pair:
        tables.heatmap(points, plan.grid, plan.names, pair, args.rank, day_count, args.out / "heatmap.png")
        files.append("heatmap.png")
    if kept:  # the page is made for a person to open
        try:
            pages.write_sweep(args.out / "report.html", ranked, points, plan.grid, plan.names, args.rank,
                              "Sweep of %s over %s" % (", ".join(plan.names), plural(day_count, "trading day")))
            files.append("report.html")
        except Exception as error:  # no page is no reason to lose the tables
            print("brindle-sweep: no report.html: %s: %s" % (type(error).__name__, error), file=sys.stderr)
    return SweepResult(args, plan, rows, ranked, len(pending), elapsed, files if kept else [])


class SweepResult:
    """A sweep's runs and ranking (DataFrames, as runs.parquet and ranking.csv hold them), and
    the report brindle-sweep prints."""

    def __init__(self, args, plan, rows, ranked, ran, elapsed, files):
        self.runs = frame(tables.arrow_table(rows, plan.columns, plan.names))
        self.ranking = csv_frame(tables.ranking_rows(ranked, plan.names),
                                        tables.ranking_columns(plan.names))
        self.failed = [row for row in rows if row["status"] != "ok"]
        self.files = files  # written into out, by name
        self._args, self._plan, self._ranked, self._ran, self._elapsed = args, plan, ranked, ran, elapsed
        self._rows = rows

    @property
    def ok(self):
        """Whether every run ended well."""
        return not self.failed

    def text(self):
        args, names = self._args, self._plan.names
        lines = ["  %s in %.1f s: %.2f runs/s; %d ok, %d failed" % (
            plural(self._ran, "run"), self._elapsed, self._ran / self._elapsed if self._elapsed > 0 else 0.0,
            len(self.runs) - len(self.failed), len(self.failed))]
        for row in self.failed[:5]:
            lines.append("  failed: %s with %s: %s" % (row["tick_files"], ", ".join(
                "%s=%r" % (n, row[n]) for n in names), row["error"]))
        taken = collections.Counter(row["engine"] for row in self._rows if row["status"] == "ok")
        if self._plan.replay.engine == "native" and set(taken) != {"native"}:
            lines += ["  engine: %s run%s %s" % (n, "s" * (n != 1), road) for road, n in sorted(taken.items())]
        lines.append("  ranked by %s (%s):" % (args.rank, "each day replayed apart" if args.per_day else
                                               "each point one account over its days"))
        lines.append(tables.ranking_text(self._ranked, names, args.rank, args.rank_all))
        if self.files:
            lines.append("  written %s/: %s" % (shown(args.out), ", ".join(self.files)))
        return "\n".join(lines)

    def __repr__(self):
        return "<SweepResult: %d runs, %d failed, best %s>" % (
            len(self.runs), len(self.failed), dict(zip(self._plan.names, self._ranked[0][0])) if self._ranked else None)


def plural(number, word):
    return "%d %s%s" % (number, word, "s" * (number != 1))
