"""Parameter sweep: the replay over a grid of strategy parameters, each point replayed over
all its trading days as one account, on warm workers on this machine's cores or on a Ray
cluster; with --train/--test a walk-forward validation instead.

    brindle-sweep TICKS... --grid open_ticks=2,3,4 --grid close_ticks=1..3
        [--per-day] [--train N --test M] [--sample N [--seed S]] [--rank FIGURE] [--heatmap P1,P2]
        [--out DIR] [--resume] [--workers N | --ray ADDRESS|auto [--ship]] [any replay option]

TICKS are tick files or directories of them; the files whose names carry the same date
(YYYYMMDD) are one trading day, a file without a date a day of its own. The table of the
runs grows in OUT/runs.csv as runs end; at the end the sweep writes it sorted by run to
runs.csv and runs.parquet, ranks the points in ranking.csv and draws heatmap.png.
"""
import argparse
import importlib
import json
import os
import sys
import time
from pathlib import Path

from ..market import account
from ..replay import options
from ..live import parameters
from . import tables
from .grid import LIMIT, check_size, grid_points, parse_grid, part_text, point_values
from .runs import run_locally
from ..common.errors import UsageError, shown
from ..live.host import Host
from .days import label, tick_files, trading_days

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
        point, number = key
        files = self.segments[number]
        assignments = ["%s=%r" % item for item in self.values(point).items()]
        return key, [str(p) for p in files], assignments, [(str(p), shown(p)) for p in files]

    def text_key(self, key):
        return tuple(str(v) for v in self.values(key[0]).values()) + (label(self.segments[key[1]]),)

    def row(self, key, result):
        row = dict.fromkeys(self.columns)
        row.update(self.values(key[0]))
        row["tick_files"] = label(self.segments[key[1]])
        row.update(result)
        return row

    def configuration(self, args):
        return {"ticks": [[str(p) for p in s] for s in self.segments],
                "grid": {n: [part_text(p) for p in vs.parts] for n, vs in self.grid.items()},
                "sample": args.sample, "seed": args.seed if args.sample is not None else None,
                "replay": options.plain(self.replay)}


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

    saved_cwd, saved_path, saved_modules = os.getcwd(), list(sys.path), set(sys.modules)
    try:
        host = Host(args.host)
        host.enter()
        settings = host.load_settings()
        run.choose_investor(args, settings, host)
        args.host = str(host.directory)
        return settings, host.settings_shown
    finally:
        os.chdir(saved_cwd)
        sys.path[:] = saved_path
        for name in set(sys.modules) - saved_modules:
            if name == "cfg" or name.startswith(("cfg.", "oxa.py_ApiStructure")):
                del sys.modules[name]


def build_grid(args, settings, settings_shown):
    """The grid, checked as the replay checks its parameters."""
    fixed = dict(parameters.parse_assignment(text) for text in args.assignments)
    defaults = parameters.defaults(settings, settings_shown)
    grid = parse_grid(args.grid, set(tables.run_columns(())) | {"rank"}, defaults)
    both = sorted(set(fixed) & set(grid))
    if both:
        raise UsageError("%s: given with --set and with --grid; a parameter is fixed or varied" % ", ".join(both))
    # A name that no expression reads, or a fixed value of the wrong kind, as the replay refuses it.
    parameters.resolve(settings, settings_shown, args.investor,
                       list(args.assignments) + ["%s=%r" % (name, values[0]) for name, values in grid.items()])
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
    config_path, table_path = out / "sweep.json", out / "runs.csv"
    configuration = plan.configuration(args)
    exists = table_path.exists()
    if exists and not args.resume:
        raise UsageError("%s already holds a sweep: --resume finishes it; or choose another --out" % shown(out))
    if args.resume and exists:
        stored = json.loads(config_path.read_text(encoding="utf-8")) if config_path.exists() else None
        if stored != configuration:
            raise UsageError("%s holds a sweep of other tick files, grid or replay options than this one: "
                             "resume it with its own command, or choose another --out" % shown(out))
        runs = {plan.text_key(key): (key, plan.values(key[0])) for key in plan.keys()}
        return tables.read_finished(table_path, plan.columns, plan.names, runs)
    out.mkdir(parents=True, exist_ok=True)
    config_path.write_text(json.dumps(configuration, indent=2) + "\n", encoding="utf-8")
    return {}


# --- the command -------------------------------------------------------------------------------


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="brindle-sweep", description=__doc__.split("\n\n")[0])
    parser.add_argument("ticks", nargs="+", help="tick files, or directories of them")
    parser.add_argument("--grid", action="append", default=[], metavar="NAME=VALUES",
                        help="a parameter and its values: Python literals separated by commas, or integer "
                             "ranges A..B or A..B/STEP (repeatable: the grid is all combinations)")
    parser.add_argument("--per-day", action="store_true",
                        help="replay each trading day apart, with a fresh account; by default a point's days are "
                             "one replay, one account, positions carried")
    parser.add_argument("--train", type=options.positive_int, metavar="N",
                        help="walk-forward: choose the best point on N trading days, measure it on the --test days "
                             "after them, then slide on by --test days")
    parser.add_argument("--test", type=options.positive_int, metavar="M", help="walk-forward: trading days tested")
    parser.add_argument("--sample", type=options.positive_int, metavar="N",
                        help="only N points of the grid, drawn at random (grids of more than %s points need it)"
                             % "{:,}".format(LIMIT))
    parser.add_argument("--seed", type=int, default=0, help="seed of --sample's draw (default %(default)s)")
    parser.add_argument("--rank", default="net", choices=tables.FIGURES, metavar="FIGURE",
                        help="figure that ranks the points: %s (default %%(default)s)" % ", ".join(tables.FIGURES))
    parser.add_argument("--heatmap", metavar="P1,P2", help="draw the ranked figure over these two parameters")
    parser.add_argument("--out", default="sweep-out", help="output directory (default %(default)s)")
    parser.add_argument("--resume", action="store_true", help="run only the runs that OUT/runs.csv lacks or that "
                                                              "failed there")
    parser.add_argument("--workers", type=options.positive_int, default=os.cpu_count() or 1,
                        help="replays at once on this machine (default: its %(default)s cores)")
    parser.add_argument("--runs-per-process", type=options.positive_int, default=0, metavar="N",
                        help="start a fresh worker process after N runs (1: a process per run; default: never)")
    parser.add_argument("--ray", metavar="ADDRESS", help="run on the Ray cluster at ADDRESS (host:port, or auto)")
    parser.add_argument("--ship", action="store_true",
                        help="with --ray: send the tick files, the instrument file and the host directory to the "
                             "workers through Ray's object store instead of reading them from a shared path")
    parser.add_argument("--retries", type=options.count, default=2,
                        help="runs again a run whose worker process was killed, or whose Ray actor was lost, "
                             "at most this many times (default %(default)s)")
    parser.add_argument("--timeout", type=options.positive, metavar="SECONDS", help="stop a run after this long")
    options.add_replay_options(parser)
    args = parser.parse_args(argv)
    options.complete(parser, args)
    if args.ship and not args.ray:
        parser.error("--ship goes with --ray")
    if (args.train is None) != (args.test is None):
        parser.error("--train and --test go together")
    if args.train is not None and (args.per_day or args.resume):
        parser.error("a walk-forward replays each window as one account and cannot be resumed: "
                     "leave out --per-day and --resume")
    args.out = Path(args.out).resolve()
    return args


def plan_of(args):
    """(plan, heat map pair, trading days) of a sweep, all checked before any run."""
    settings, settings_shown = host_setup(args)
    args.capital = account.capital_of(args.capital)
    grid = build_grid(args, settings, settings_shown)
    pair = heatmap_pair(args, grid)
    days = trading_days(tick_files(args.ticks))
    points = list(grid_points(grid, args.sample, args.seed))
    segments = days if args.per_day else [tuple(p for day in days for p in day)]
    return Plan(grid, points, segments, options.replay_options(args)), pair, days


def main(argv=None):
    args = parse_arguments(argv)
    runner = None
    try:
        plan, pair, days = plan_of(args)
        require_packages(pair)
        if args.train is not None:
            from . import walkforward

            windows = walkforward.windows(days, args.train, args.test)
        runner = runner_for(args, plan.replay)
        if args.train is not None:
            return walkforward.main(args, plan, windows, runner)
        finished = prepare_output(args, plan)
        return sweep(args, plan, finished, pair, runner, len(days))
    except UsageError as error:
        print("%s: %s" % ("brindle-sweep", error), file=sys.stderr)
        return 2
    finally:
        if runner is not None:
            runner.close()


class Progress:
    """The progress bar and the rows of runs.csv as runs end."""

    def __init__(self, plan, table, total, done):
        from tqdm import tqdm

        self.plan, self.table, self.results = plan, table, {}
        self.bar = tqdm(total=total, initial=done, unit=" runs", dynamic_ncols=True, disable=None, smoothing=0.1)

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


def sweep(args, plan, finished, pair, runner, day_count):
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
        print("%s: interrupted; %d of %d runs in %s: --resume runs the rest" % (
            "brindle-sweep", len(progress.results), len(keys), shown(args.out / "runs.csv")), file=sys.stderr)
        return 130
    rows = [progress.results[key] for key in keys]
    written = write_results(args, plan, rows, pair, day_count)
    failed = [row for row in rows if row["status"] != "ok"]
    print("  %s in %.1f s: %.2f runs/s; %d ok, %d failed" % (
        plural(len(pending), "run"), elapsed, len(pending) / elapsed if elapsed > 0 else 0.0,
        len(rows) - len(failed), len(failed)))
    for row in failed[:5]:
        print("  failed: %s with %s: %s" % (row["tick_files"], ", ".join(
            "%s=%r" % (n, row[n]) for n in plan.names), row["error"]))
    print("  ranked by %s (%s):" % (args.rank, "each day replayed apart" if args.per_day else
                                    "each point one account over its days"))
    print(tables.ranking_text(written.pop("ranked"), plan.names, args.rank))
    print("  written %s/: %s" % (shown(args.out), ", ".join(written["files"])))
    return 1 if failed else 0


def plural(number, word):
    return "%d %s%s" % (number, word, "s" * (number != 1))


def write_results(args, plan, rows, pair, day_count):
    tables.write_sorted(rows, plan.columns, plan.names, args.out)
    points = tables.point_figures(rows, plan.names, plan.replay.capital)
    ranked = tables.ranking(points, args.rank)
    tables.write_ranking(ranked, plan.names, args.out / "ranking.csv")
    files = ["runs.csv", "runs.parquet", "ranking.csv"]
    if pair:
        tables.heatmap(points, plan.grid, plan.names, pair, args.rank, day_count, args.out / "heatmap.png")
        files.append("heatmap.png")
    return {"ranked": ranked, "files": files}


if __name__ == "__main__":
    sys.exit(main())
