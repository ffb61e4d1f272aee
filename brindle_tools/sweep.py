"""Parameter sweep: the replay over a grid of strategy parameters times tick files, each run
a replay in a process of its own, on this machine's cores or on a Ray cluster.

    python3 -m replay.sweep TICKS... --grid open_ticks=2,3,4 --grid close_ticks=1..3
        [--sample N [--seed S]] [--rank FIGURE] [--heatmap P1,P2] [--out DIR] [--resume]
        [--workers N | --ray ADDRESS|auto [--ship]] [--host DIR] [--instruments F] [--investor ID]

TICKS are tick files or directories of them (their *.csv files); each file is a run for each
point of the grid. The table of the runs grows in OUT/runs.csv as runs end; at the end the
sweep writes it sorted by run (parameters in grid order, then tick file) to runs.csv and
runs.parquet, ranks the parameter points in ranking.csv and draws heatmap.png.
"""
import argparse
import csv
import importlib
import io
import itertools
import json
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from pathlib import Path

from . import parameters
from .host import REPO, Host, UsageError, shown

RUN_COLUMNS = ("tick_file", "trading_days", "status", "error")
FLOAT_FIGURES = ("net", "gross", "fees", "max_drawdown", "max_drawdown_percent", "sharpe", "win_rate",
                 "profit_factor", "turnover")
INT_FIGURES = ("round_trips", "fills", "ticks", "engine_errors")
FIGURES = FLOAT_FIGURES[:6] + INT_FIGURES[:2] + FLOAT_FIGURES[6:] + INT_FIGURES[2:]
# How the ranking and the heat map bring the runs of one parameter point together (its days):
# money and counts add up, the drawdown is the worst one, ratios are averaged.
POINT_RULE = {"max_drawdown": max, "max_drawdown_percent": max,
              "sharpe": "mean", "win_rate": "mean", "profit_factor": "mean"}
LOWER_IS_BETTER = frozenset(("fees", "max_drawdown", "max_drawdown_percent"))
RANGE = re.compile(r"(-?\d+)\.\.(-?\d+)(?:/(\d+))?")
SHOWN_RANKS = 10


# --- the grid --------------------------------------------------------------------------------


def parse_values(name, text):
    """The values of one parameter: Python literals and integer ranges a..b or a..b/step,
    separated by commas; repeated values count once."""
    values, seen = [], set()
    for item in (part.strip() for part in text.split(",")):
        match = RANGE.fullmatch(item.replace(" ", ""))
        if match:
            first, last, step = int(match[1]), int(match[2]), int(match[3] or 1)
            if step == 0:
                raise UsageError("--grid %s=%s: the step of %s is 0" % (name, text, item))
            if last < first:
                raise UsageError("--grid %s=%s: the range %s is empty (a..b needs a <= b)" % (name, text, item))
            items = range(first, last + 1, step)
        elif item:
            items = [parameters.parse_value(item)]
        else:
            raise UsageError("--grid %s=%s: an empty value; write NAME=V1,V2,... or NAME=A..B" % (name, text))
        for value in items:
            if (type(value), repr(value)) not in seen:
                seen.add((type(value), repr(value)))
                values.append(value)
    return values


def parse_grid(items):
    grid = {}
    for text in items:
        name, sep, values = text.partition("=")
        name = name.strip()
        if not sep or not name.isidentifier():
            raise UsageError("--grid %s: write NAME=V1,V2,... or NAME=A..B[/STEP], NAME a Python name" % text)
        if name in grid:
            raise UsageError("--grid %s: parameter %s is given twice" % (text, name))
        if name in RUN_COLUMNS or name in FIGURES:
            raise UsageError("--grid %s: %s is a column of the table; the strategy must call the parameter "
                             "otherwise" % (text, name))
        grid[name] = parse_values(name, values.strip())
    if not grid:
        raise UsageError("an empty grid: give each parameter to vary with --grid NAME=V1,V2,...")
    return grid


def grid_points(grid, sample, seed):
    """The chosen points as tuples of value indices, in grid order: all of them, or a seeded
    random sample of `sample` of them."""
    sizes = [len(values) for values in grid.values()]
    total = math.prod(sizes)
    if sample is None or sample >= total:
        return list(itertools.product(*map(range, sizes)))
    chosen = sorted(random.Random(seed).sample(range(total), sample))
    points = []
    for number in chosen:
        point = []
        for size in reversed(sizes):
            number, index = divmod(number, size)
            point.append(index)
        points.append(tuple(reversed(point)))
    return points


def tick_files(paths):
    files = []
    for text in paths:
        path = Path(text).resolve()
        if path.is_dir():
            found = sorted(path.glob("*.csv"))
            if not found:
                raise UsageError("%s: a directory without tick files (*.csv)" % shown(path))
            files.extend(found)
        else:
            files.append(path)  # a file that cannot be read is a failed run, with its message
    return files


# --- one run -----------------------------------------------------------------------------------

_children = set()  # replays running in this process, stopped on Ctrl-C
_children_lock = threading.Lock()
_stopping = threading.Event()  # set on Ctrl-C: no replay starts any more


def figures(summary):
    """The figures of a replay's summary.json. A backtest summary has them all; an older
    replay's gives its profit (realised + open, without fees) and its counts, the rest None."""
    profit = summary.get("profit")
    if isinstance(profit, dict):
        net, gross, fees = profit.get("net"), profit.get("gross"), profit.get("fees")
    else:
        net = gross = summary["realised_profit"] + summary["open_profit"]
        fees = 0.0
    drawdown = summary.get("max_drawdown") or {}
    orders = summary.get("orders") or {}
    log = summary.get("engine_log") or {}
    row = {"trading_days": " ".join(map(str, summary.get("trading_days") or ())),
            "net": net, "gross": gross, "fees": fees,
            "max_drawdown": drawdown.get("money"), "max_drawdown_percent": drawdown.get("percent"),
            "sharpe": summary.get("sharpe"), "round_trips": summary.get("round_trips"), "fills": orders.get("filled"),
            "win_rate": summary.get("win_rate"), "profit_factor": summary.get("profit_factor"),
            "turnover": summary.get("turnover"), "ticks": summary.get("ticks"), "engine_errors": log.get("errors")}
    # Sums of prices carry binary fractions (1859.9999999999864); a millionth is below any money.
    return {k: round(v, 6) if isinstance(v, float) else v for k, v in row.items()}


def replay_once(command, cwd, timeout):
    """(exit status or -signal, stderr) of one replay; None as status when it outlived timeout."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, (str(REPO), os.environ.get("PYTHONPATH")))))
    with _children_lock:
        if _stopping.is_set():
            return -signal.SIGINT, ""
        process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True, errors="replace")
        _children.add(process)
    try:
        _, stderr = process.communicate(timeout=timeout)
        return process.returncode, stderr
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return None, ""
    finally:
        with _children_lock:
            _children.discard(process)


def execute_run(spec, ticks_bytes=None, host_tar=None, instruments_bytes=None):
    """One run of the sweep: a replay of spec's tick file with spec's parameters, in a process of
    its own. The files come by path, or as bytes (tick file, instrument file, a tar of the host
    directory) where the worker has no shared filesystem. A replay killed by a signal is run
    again up to spec's retries times. Gives {status, error, figures...}."""
    work = Path(tempfile.mkdtemp(prefix="brindle-sweep-"))
    try:
        ticks, options = spec["ticks"], list(spec["options"])
        if ticks_bytes is not None:
            ticks = str(work / "ticks" / Path(ticks).name)
            Path(ticks).parent.mkdir()
            Path(ticks).write_bytes(ticks_bytes)
        if host_tar is not None:
            with tarfile.open(fileobj=io.BytesIO(host_tar)) as archive:
                archive.extractall(work / "host", filter="data")
            options += ["--host", str(work / "host")]
        elif spec["host"]:
            options += ["--host", spec["host"]]
        if instruments_bytes is not None:
            (work / "instruments.csv").write_bytes(instruments_bytes)
            options += ["--instruments", str(work / "instruments.csv")]
        elif spec["instruments"]:
            options += ["--instruments", spec["instruments"]]
        out = work / "out"
        command = [sys.executable, "-m", "brindle_tools", ticks, "--out", str(out), "--no-chart"] + options
        for name, value in spec["parameters"].items():
            command += ["--set", "%s=%r" % (name, value)]
        cwd = spec["cwd"] if os.path.isdir(spec["cwd"]) else str(work)
        attempts = 1 + spec["retries"]
        for _ in range(attempts):
            status, stderr = replay_once(command, cwd, spec["timeout"])
            if status is None or status >= 0 or status == -signal.SIGINT:  # Ctrl-C is no lost process
                break
        if status == 0:
            summary = json.loads((out / "summary.json").read_text(encoding="utf-8"))
            return dict(figures(summary), status="ok", error="")
        if status is None:
            error = "the replay took longer than %g s: stopped" % spec["timeout"]
        elif status < 0:
            error = "the replay was killed by signal %s (%d attempt%s)" % (
                _signal_name(-status), attempts, "s" if attempts > 1 else "")
        else:
            lines = [line.strip() for line in stderr.splitlines() if line.strip()]
            error = lines[-1] if lines else "the replay ended with status %d" % status
            error = error[len("replay: "):] if error.startswith("replay: ") else error
        # Messages name the run's tick file as the operator gave it, wherever the worker put it.
        return {"status": "failed", "error": error.replace(ticks, spec["ticks_shown"])}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return str(number)


def host_archive(directory):
    """The host directory as tar bytes, for workers that cannot read it."""
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w") as archive:
        archive.add(directory, arcname=".", filter=lambda info: None if "__pycache__" in info.name
                    or info.name.startswith("./log/") else info)  # the host's own logs stay at home
    return data.getvalue()


# --- the plan and the table --------------------------------------------------------------------


class Plan:
    """The runs of a sweep, each with its key (point in grid order, then tick file)."""

    def __init__(self, args, grid, files, host_dir):
        self.grid = grid
        self.names = list(grid)
        self.files = files
        self.columns = self.names + list(RUN_COLUMNS) + list(FIGURES)
        self.points = grid_points(grid, args.sample, args.seed)
        options = []
        if args.investor:
            options += ["--investor", args.investor]
        self.instruments = str(Path(args.instruments).resolve()) if args.instruments else None
        if args.cancel_after is not None:
            options += ["--cancel-after", repr(args.cancel_after)]
        self.host_dir = host_dir
        self.runs = []
        for point in self.points:
            values = {name: grid[name][index] for name, index in zip(self.names, point)}
            for path in files:
                self.runs.append({
                    "key": (point, str(path)), "parameters": values, "ticks": str(path), "ticks_shown": shown(path),
                    "options": options, "host": str(host_dir), "instruments": self.instruments,
                    "cwd": os.getcwd(), "retries": args.retries,
                    "timeout": args.timeout})
        self.configuration = {
            "ticks": [str(p) for p in files], "grid": {n: [repr(v) for v in vs] for n, vs in grid.items()},
            "sample": args.sample, "seed": args.seed if args.sample is not None else None,
            "host": str(host_dir), "instruments": self.instruments, "replay": options}

    def text_key(self, run):
        """A run's key as its row in runs.csv reads."""
        return tuple(str(v) for v in run["parameters"].values()) + (run["ticks_shown"],)

    def row(self, run, result):
        row = dict.fromkeys(self.columns)
        row.update(run["parameters"])
        row["tick_file"] = run["ticks_shown"]
        row.update(result)
        return row


def typed(row, run):
    """A row of runs.csv with its parameters and figures typed again."""
    out = dict(row)
    out.update(run["parameters"])
    for name in FLOAT_FIGURES:
        out[name] = float(row[name]) if row.get(name) else None
    for name in INT_FIGURES:
        out[name] = int(float(row[name])) if row.get(name) else None
    return out


class Table:
    """runs.csv, appended and flushed as each run ends, so an interrupted sweep keeps its rows."""

    def __init__(self, path, columns, rows=()):
        self.path = path
        self.columns = columns
        partial = path.with_name(".%s.partial" % path.name)
        with open(partial, "w", newline="", encoding="utf-8") as out:
            writer = csv.DictWriter(out, columns, lineterminator="\n")
            writer.writeheader()
            writer.writerows(rows)
        os.replace(partial, path)
        self.file = open(path, "a", newline="", encoding="utf-8")
        self.writer = csv.DictWriter(self.file, columns, lineterminator="\n")

    def append(self, row):
        self.writer.writerow(row)
        self.file.flush()

    def close(self):
        self.file.close()


def read_finished(path, plan):
    """{key: typed row} of the runs of runs.csv that ended well and belong to the plan."""
    by_text = {plan.text_key(run): run for run in plan.runs}
    finished = {}
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.DictReader(f)
        if reader.fieldnames != plan.columns:
            raise UsageError("%s has other columns than this sweep's table: choose another --out" % shown(path))
        for row in reader:
            run = by_text.get(tuple(row[n] for n in plan.names) + (row["tick_file"],))
            if run is not None and row["status"] == "ok":
                finished[run["key"]] = typed(row, run)
    return finished


def write_sorted(rows, plan, out):
    """runs.csv and runs.parquet, one row per run in run order."""
    import pyarrow
    import pyarrow.parquet

    Table(out / "runs.csv", plan.columns, rows).close()
    arrays = []
    for name in plan.columns:
        values = [row[name] for row in rows]
        if name in FLOAT_FIGURES:
            arrays.append(pyarrow.array(values, pyarrow.float64()))
        elif name in INT_FIGURES:
            arrays.append(pyarrow.array(values, pyarrow.int64()))
        elif name in plan.grid:
            try:
                arrays.append(pyarrow.array(values))
            except (pyarrow.ArrowException, TypeError, ValueError):  # values of mixed types
                arrays.append(pyarrow.array([repr(v) for v in values], pyarrow.string()))
        else:
            arrays.append(pyarrow.array(values, pyarrow.string()))
    partial = out / ".runs.parquet.partial"
    pyarrow.parquet.write_table(pyarrow.Table.from_arrays(arrays, names=plan.columns), partial)
    os.replace(partial, out / "runs.parquet")


# --- ranking and heat map ------------------------------------------------------------------------


def point_figures(rows, names):
    """{point values: aggregated figures} over each point's runs (see POINT_RULE); a point with
    a failed run keeps its count of failures."""
    points = {}
    for row in rows:
        points.setdefault(tuple(row[n] for n in names), []).append(row)
    out = {}
    for values, runs in points.items():
        ok = [r for r in runs if r["status"] == "ok"]
        entry = {"runs": len(runs), "failed": len(runs) - len(ok)}
        for figure in FIGURES:
            numbers = [r[figure] for r in ok if r[figure] is not None]
            rule = POINT_RULE.get(figure, sum)
            if not numbers:
                entry[figure] = None
            else:
                value = sum(numbers) / len(numbers) if rule == "mean" else rule(numbers)
                entry[figure] = round(value, 6) if isinstance(value, float) else value
        out[values] = entry
    return out


def rule_name(figure):
    """How POINT_RULE brings a figure's runs together, in words."""
    return {max: "worst", "mean": "mean"}.get(POINT_RULE.get(figure, sum), "sum")


def ranking(points, figure):
    """Points best first by the figure; points with failed runs, or without the figure, last."""
    sign = 1 if figure in LOWER_IS_BETTER else -1

    def order(item):
        entry = item[1]
        value = entry[figure]
        return (entry["failed"] > 0, value is None, 0 if value is None else sign * value)

    return sorted(points.items(), key=order)


def write_ranking(ranked, names, path):
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["rank"] + names + ["runs", "failed"] + list(FIGURES))
        for number, (values, entry) in enumerate(ranked, 1):
            writer.writerow([number] + list(values) + [entry["runs"], entry["failed"]] + [entry[f] for f in FIGURES])


def ranking_text(ranked, names, figure):
    shown_figures = [figure] + [f for f in ("net", "max_drawdown", "sharpe", "fills") if f != figure]
    header = ["rank"] + names + ["runs", "failed"] + shown_figures
    lines = [header]
    for number, (values, entry) in enumerate(ranked[:SHOWN_RANKS], 1):
        lines.append([str(number)] + [str(v) for v in values] + [str(entry["runs"]), str(entry["failed"])]
                     + [_number(entry[f]) for f in shown_figures])
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    text = ["  " + "  ".join(cell.rjust(width) for cell, width in zip(line, widths)) for line in lines]
    if len(ranked) > SHOWN_RANKS:
        text.append("  ... %d more in ranking.csv" % (len(ranked) - SHOWN_RANKS))
    return "\n".join(text)


def _number(value):
    if value is None:
        return "-"
    return "{:,.0f}".format(value) if abs(value - round(value)) < 0.005 else "{:,.2f}".format(value)


def heatmap(points, grid, names, pair, figure, files, path):
    """The figure over two parameters: each cell is the mean, over the other parameters' values,
    of the points' aggregated figure; points with a failed run are left out (a grey cell when
    none is left)."""
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot

    first, second = pair
    cells = {}
    for values, entry in points.items():
        if entry["failed"] or entry[figure] is None:
            continue
        point = dict(zip(names, values))
        cells.setdefault((repr(point[first]), repr(point[second])), []).append(entry[figure])
    rows, columns = grid[second], grid[first]
    matrix = [[(lambda found: sum(found) / len(found) if found else math.nan)(cells.get((repr(c), repr(r)), ()))
               for c in columns] for r in rows]
    drawing, axis = pyplot.subplots(figsize=(1.2 + 0.75 * max(len(columns), 4), 1.2 + 0.55 * max(len(rows), 4)))
    colours = matplotlib.colormaps["RdYlGn_r" if figure in LOWER_IS_BETTER else "RdYlGn"].copy()
    colours.set_bad("0.85")
    image = axis.imshow(matrix, cmap=colours, origin="lower", aspect="auto")
    axis.set_xticks(range(len(columns)), [str(v) for v in columns])
    axis.set_yticks(range(len(rows)), [str(v) for v in rows])
    axis.set_xlabel(first)
    axis.set_ylabel(second)
    if len(rows) * len(columns) <= 400:
        for y, line in enumerate(matrix):
            for x, value in enumerate(line):
                if not math.isnan(value):
                    axis.text(x, y, _number(value), ha="center", va="center", fontsize=7)
    others = [n for n in names if n not in pair]
    axis.set_title("%s: %s over %d tick file%s%s" % (
        figure, rule_name(figure), len(files), "s" if len(files) != 1 else "",
        ", mean over %s" % ", ".join(others) if others else ""), fontsize=9, loc="left")
    drawing.colorbar(image, ax=axis)
    drawing.tight_layout()
    drawing.savefig(path, dpi=80)
    pyplot.close(drawing)


# --- the sweep -----------------------------------------------------------------------------------


def check_parameters(args, grid):
    """The replay's own refusal of a parameter no expression reads, once, before any run. The
    host's settings module is loaded here and forgotten again."""
    from . import run

    saved_cwd, saved_path, saved_modules = os.getcwd(), list(sys.path), set(sys.modules)
    try:
        host = Host(args.host)
        host.enter()
        settings = host.load_settings()
        chosen = argparse.Namespace(investor=args.investor)
        run.choose_investor(chosen, settings, host)
        parameters.resolve(settings, host.settings_shown, chosen.investor,
                           ["%s=%r" % (name, values[0]) for name, values in grid.items()])
        return host.directory
    finally:
        os.chdir(saved_cwd)
        sys.path[:] = saved_path
        for name in set(sys.modules) - saved_modules:
            if name == "cfg" or name.startswith(("cfg.", "oxa.py_ApiStructure")):
                del sys.modules[name]


def run_locally(pending, workers, on_result):
    """Each run in a replay process of its own, at most `workers` at once."""
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(execute_run, run): run for run in pending}
        try:
            remaining = set(futures)
            while remaining:
                done, remaining = wait(remaining, return_when=FIRST_COMPLETED)
                for future in done:
                    on_result(futures[future], future.result())
        except BaseException:
            for future in futures:
                future.cancel()
            stop_children()
            raise


def stop_children():
    with _children_lock:
        _stopping.set()
        for process in _children:
            process.terminate()


def prepare_output(args, plan):
    """The finished rows of a sweep to resume, after checking that it is this sweep."""
    out = args.out
    config_path, table_path = out / "sweep.json", out / "runs.csv"
    exists = table_path.exists()
    if exists and not args.resume:
        raise UsageError("%s already holds a sweep: --resume finishes it; or choose another --out" % shown(out))
    if args.resume and exists:
        stored = json.loads(config_path.read_text(encoding="utf-8")) if config_path.exists() else None
        if stored != plan.configuration:
            raise UsageError("%s holds a sweep of other tick files, grid or replay options than this one: "
                             "resume it with its own command, or choose another --out" % shown(out))
        return read_finished(table_path, plan)
    out.mkdir(parents=True, exist_ok=True)
    config_path.write_text(json.dumps(plan.configuration, indent=2) + "\n", encoding="utf-8")
    return {}


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="python3 -m replay.sweep", description=__doc__.split("\n\n")[0])
    parser.add_argument("ticks", nargs="+", help="tick files, or directories of them (*.csv)")
    parser.add_argument("--grid", action="append", default=[], metavar="NAME=VALUES",
                        help="a parameter and its values: Python literals separated by commas, or integer "
                             "ranges A..B or A..B/STEP (repeatable: the grid is all combinations)")
    parser.add_argument("--sample", type=int, metavar="N", help="only N points of the grid, drawn at random")
    parser.add_argument("--seed", type=int, default=0, help="seed of --sample's draw (default %(default)s)")
    parser.add_argument("--rank", default="net", choices=FIGURES, metavar="FIGURE",
                        help="figure that ranks the points: %s (default %%(default)s)" % ", ".join(FIGURES))
    parser.add_argument("--heatmap", metavar="P1,P2", help="draw the ranked figure over these two parameters")
    parser.add_argument("--out", default="sweep-out", help="output directory (default %(default)s)")
    parser.add_argument("--resume", action="store_true", help="run only the runs that OUT/runs.csv lacks or that "
                                                              "failed there")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="replays at once on this machine (default: its %(default)s cores)")
    parser.add_argument("--ray", metavar="ADDRESS", help="run on the Ray cluster at ADDRESS (host:port, or auto)")
    parser.add_argument("--ship", action="store_true",
                        help="with --ray: send the tick files, the instrument file and the host directory to the "
                             "workers through Ray's object store instead of reading them from a shared path")
    parser.add_argument("--retries", type=int, default=2,
                        help="runs again a replay whose process was killed, or a Ray task whose worker was lost, "
                             "at most this many times (default %(default)s)")
    parser.add_argument("--timeout", type=float, metavar="SECONDS", help="stop a replay after this long")
    parser.add_argument("--host", help="host working directory (default as the replay's)")
    parser.add_argument("--instruments", help="instrument file (default as the replay's)")
    parser.add_argument("--investor", help="investor whose strategies decide (default: the only one)")
    parser.add_argument("--cancel-after", type=float, metavar="SECONDS", help="as the replay's")
    args = parser.parse_args(argv)
    if args.sample is not None and args.sample < 1:
        parser.error("--sample must be 1 or more")
    if args.workers < 1 or args.retries < 0:
        parser.error("--workers must be 1 or more and --retries 0 or more")
    if args.ship and not args.ray:
        parser.error("--ship goes with --ray")
    args.out = Path(args.out).resolve()
    return args


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


def main(argv=None):
    args = parse_arguments(argv)
    try:
        grid = parse_grid(args.grid)
        pair = None
        if args.heatmap:
            pair = [p.strip() for p in args.heatmap.split(",")]
            if len(pair) != 2 or pair[0] == pair[1] or not all(p in grid for p in pair):
                raise UsageError("--heatmap %s: name two different parameters of the grid (%s)"
                                 % (args.heatmap, ", ".join(grid)))
        files = tick_files(args.ticks)
        host_dir = check_parameters(args, grid)
        plan = Plan(args, grid, files, host_dir)
        require_packages(pair)
        if args.ray:
            from . import sweep_ray

            sweep_ray.connect(args.ray)
        finished = prepare_output(args, plan)
    except UsageError as error:
        print("sweep: %s" % error, file=sys.stderr)
        return 2
    return sweep(args, plan, finished, pair)


def sweep(args, plan, finished, pair):
    from tqdm import tqdm

    pending = [run for run in plan.runs if run["key"] not in finished]
    results = dict(finished)
    table = Table(args.out / "runs.csv", plan.columns, [finished[run["key"]] for run in plan.runs
                                                        if run["key"] in finished])
    progress = tqdm(total=len(plan.runs), initial=len(finished), unit=" runs", dynamic_ncols=True, disable=None,
                    smoothing=0.1)

    def on_result(run, result):
        row = plan.row(run, result)
        table.append(row)
        results[run["key"]] = row
        progress.update()

    where = "Ray cluster %s" % args.ray if args.ray else "%d local worker%s" % (args.workers, "s" * (args.workers > 1))
    print("Sweep of %d point%s x %d tick file%s = %d runs (%d to do) on %s" % (
        len(plan.points), "s" * (len(plan.points) > 1), len(plan.files), "s" * (len(plan.files) > 1),
        len(plan.runs), len(pending), where), flush=True)
    started = time.perf_counter()
    try:
        if args.ray:
            from . import sweep_ray

            sweep_ray.run(pending, args.retries, args.ship, plan, on_result)
        else:
            run_locally(pending, args.workers, on_result)
    except KeyboardInterrupt:
        progress.close()
        table.close()
        print("sweep: interrupted; %d of %d runs in %s: --resume runs the rest" % (
            len(results), len(plan.runs), shown(args.out / "runs.csv")), file=sys.stderr)
        return 130
    except UsageError as error:
        progress.close()
        table.close()
        print("sweep: %s" % error, file=sys.stderr)
        return 2
    elapsed = time.perf_counter() - started
    progress.close()
    table.close()

    rows = [results[run["key"]] for run in plan.runs]
    write_sorted(rows, plan, args.out)
    points = point_figures(rows, plan.names)
    ranked = ranking(points, args.rank)
    write_ranking(ranked, plan.names, args.out / "ranking.csv")
    written = ["runs.csv", "runs.parquet", "ranking.csv"]
    if pair:
        heatmap(points, plan.grid, plan.names, pair, args.rank, plan.files, args.out / "heatmap.png")
        written.append("heatmap.png")
    failed = [row for row in rows if row["status"] != "ok"]
    print("  %d runs in %.1f s: %.2f runs/s; %d ok, %d failed" % (
        len(pending), elapsed, len(pending) / elapsed if elapsed > 0 else 0.0, len(rows) - len(failed), len(failed)))
    for row in failed[:5]:
        print("  failed: %s with %s: %s" % (row["tick_file"], ", ".join(
            "%s=%r" % (n, row[n]) for n in plan.names), row["error"]))
    print("  ranked by %s (%s per point over its tick files):" % (
        args.rank, rule_name(args.rank)))
    print(ranking_text(ranked, plan.names, args.rank))
    print("  written %s/: %s" % (shown(args.out), ", ".join(written)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
