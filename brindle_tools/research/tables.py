"""The results of a sweep: runs.csv (grown as runs end, so an interrupted sweep keeps its
rows and a resumed one finds them), runs.parquet, the points' figures and their ranking, and
the heat map."""
import csv
import math
import os

from ..common.errors import UsageError, shown
from ..market.account import Account
from ..replay.report import FEW_SHARPE_DAYS

RUN_COLUMNS = ("tick_files", "trading_days", "status", "error", "engine")
FLOAT_FIGURES = ("net", "gross", "fees", "max_drawdown", "max_drawdown_percent", "sharpe", "win_rate",
                 "profit_factor", "turnover", "peak_margin", "peak_margin_share")
INT_FIGURES = ("round_trips", "fills", "ticks", "engine_errors", "funds_refused")
FIGURES = FLOAT_FIGURES[:6] + INT_FIGURES[:2] + FLOAT_FIGURES[6:9] + INT_FIGURES[2:4] + FLOAT_FIGURES[9:] + \
    INT_FIGURES[4:]
DAILY = "daily_net"  # the net profit of each trading day of the run, in order
SUMMED = ("net", "gross", "fees", "round_trips", "fills", "turnover", "ticks", "engine_errors", "funds_refused")
HIGHEST = ("peak_margin", "peak_margin_share")
AVERAGED = ("win_rate", "profit_factor")
LOWER_IS_BETTER = frozenset(("fees", "max_drawdown", "max_drawdown_percent"))
SHOWN_RANKS = 10
FEW_ROUND_TRIPS = 10  # fewer round trips than this: the figures say little
FLAGS = {"few_round_trips": "fewer than %d round trips" % FEW_ROUND_TRIPS,
         "drawdown_over_net": "a drawdown larger than the net profit",
         "strategy_errors": "the strategy failed on some ticks",
         "funds_refused": "the broker refused opening orders beyond the funds"}
WHOLE_BASIS = "one account over its days"
APART_BASIS = ("days replayed apart: money and counts summed, sharpe from the daily net, drawdown the worst of the "
               "daily closes' and each day's own, win_rate and profit_factor averaged, peak margin the highest")


# What each kind of run leaves in its output directory, by which it is known.
OUTPUT_MARKS = {"sweep": "sweep.json", "walk-forward": "walkforward.csv", "replay": "summary.json"}


def refuse_other_outputs(out, kind):
    """An output directory that holds another kind of run's outputs is refused: writing into
    it would mix the two."""
    for other, mark in OUTPUT_MARKS.items():
        if other != kind and (out / mark).exists():
            raise UsageError("%s holds a %s's outputs (%s): choose another --out" % (shown(out), other, mark))


def run_columns(names):
    return list(names) + list(RUN_COLUMNS) + list(FIGURES) + [DAILY]


def typed(row, values):
    """A row of runs.csv with its parameters and figures typed again."""
    out = dict(row)
    out.update(values)
    for name in FLOAT_FIGURES:
        out[name] = float(row[name]) if row.get(name) else None
    for name in INT_FIGURES:
        out[name] = int(float(row[name])) if row.get(name) else None
    return out


class Table:
    """runs.csv, appended and flushed as each run ends."""

    def __init__(self, path, columns, rows=()):
        self.path = path
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


def read_finished(path, columns, names, runs):
    """{key: typed row} of the rows of runs.csv that ended well; runs: {text key: (key,
    parameter values)}, the text key being the parameters and tick files as the row reads."""
    finished = {}
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.DictReader(f)
        try:
            if reader.fieldnames != columns:
                raise UsageError("%s has other columns than this sweep's table: choose another --out" % shown(path))
            for row in reader:
                if None in row or None in row.values():
                    continue  # a row cut short (a kill while it was written) or run together: run again
                found = runs.get(tuple(row[n] for n in names) + (row["tick_files"],))
                if found is not None and row["status"] == "ok":
                    finished[found[0]] = typed(row, found[1])
        except UnicodeDecodeError:
            raise UsageError("%s is damaged: not UTF-8 text; choose another --out" % shown(path)) from None
        except (csv.Error, ValueError) as error:
            raise UsageError("%s line %d is damaged (%s): mend or remove the line, or choose another --out"
                             % (shown(path), max(reader.line_num, 1), error)) from None
    return finished


def write_sorted(rows, columns, names, out):
    """runs.csv and runs.parquet, one row per run in run order."""
    import pyarrow
    import pyarrow.parquet

    Table(out / "runs.csv", columns, rows).close()
    partial = out / ".runs.parquet.partial"
    pyarrow.parquet.write_table(arrow_table(rows, columns, names), partial)
    os.replace(partial, out / "runs.parquet")


def arrow_table(rows, columns, names):
    import pyarrow

    arrays = []
    for name in columns:
        values = [row.get(name) for row in rows]
        if name in FLOAT_FIGURES:
            arrays.append(pyarrow.array(values, pyarrow.float64()))
        elif name in INT_FIGURES or name in ("rank", "runs", "failed"):
            arrays.append(pyarrow.array(values, pyarrow.int64()))
        elif name in names:
            try:
                arrays.append(pyarrow.array(values))
            except (pyarrow.ArrowException, TypeError, ValueError):  # values of mixed types
                arrays.append(pyarrow.array([repr(v) for v in values], pyarrow.string()))
        else:
            arrays.append(pyarrow.array(values, pyarrow.string()))
    return pyarrow.Table.from_arrays(arrays, names=list(columns))


# --- the points' figures -----------------------------------------------------------------------


def daily_drawdown(nets, capital):
    """(money, percent) of the largest fall of the equity over the days' closes."""
    equity = peak = drawdown = percent = 0.0
    for net in nets:
        equity += net
        peak = max(peak, equity)
        if peak - equity > drawdown:
            drawdown = peak - equity
            percent = 100.0 * drawdown / (capital + peak)
    return drawdown, percent


def combined(runs, capital):
    """The figures of a point replayed as several runs of its days (runs in day order)."""
    entry = {name: sum(r[name] for r in runs) if all(r[name] is not None for r in runs) else None
             for name in SUMMED}
    for name in AVERAGED:
        numbers = [r[name] for r in runs if r[name] is not None]
        entry[name] = sum(numbers) / len(numbers) if numbers else None
    for name in HIGHEST:
        numbers = [r[name] for r in runs if r[name] is not None]
        entry[name] = max(numbers) if numbers else None
    nets = [float(n) for r in runs for n in (r.get(DAILY) or "").split()]
    account = Account(capital)
    account.days = [{"net": net} for net in nets]
    entry["sharpe"] = account.sharpe()
    money, percent = daily_drawdown(nets, capital)
    entry["max_drawdown"] = max([money] + [r["max_drawdown"] or 0.0 for r in runs])
    entry["max_drawdown_percent"] = max([percent] + [r["max_drawdown_percent"] or 0.0 for r in runs])
    entry["trading_days"] = " ".join(r["trading_days"] for r in runs if r["trading_days"])
    entry[DAILY] = " ".join(r.get(DAILY) or "" for r in runs).strip()
    return entry


def point_figures(rows, names, capital):
    """{point values: figures} over each point's runs, with how they were formed; a point
    with a failed run keeps its count of failures."""
    points = {}
    for row in rows:
        points.setdefault(tuple(row[n] for n in names), []).append(row)
    out = {}
    for values, runs in points.items():
        ok = [r for r in runs if r["status"] == "ok"]
        entry = {"runs": len(runs), "failed": len(runs) - len(ok)}
        if len(ok) == 1:
            entry.update({name: ok[0].get(name) for name in FIGURES + ("trading_days", DAILY)})
        elif ok:
            entry.update(combined(ok, capital))
        else:
            entry.update(dict.fromkeys(FIGURES + ("trading_days", DAILY)))
        entry["basis"] = WHOLE_BASIS if len(runs) == 1 else APART_BASIS
        entry["sharpe_days"] = len(entry["trading_days"].split()) if entry["trading_days"] else 0
        entry["flags"] = " ".join(flags_of(entry)) if ok else ""
        out[values] = {k: round(v, 6) if isinstance(v, float) else v for k, v in entry.items()}
    return out


def flags_of(entry):
    """What makes a point's figures doubtful (FLAGS)."""
    found = []
    if entry["round_trips"] is not None and entry["round_trips"] < FEW_ROUND_TRIPS:
        found.append("few_round_trips")
    if entry["max_drawdown"] is not None and entry["net"] is not None and entry["max_drawdown"] > entry["net"]:
        found.append("drawdown_over_net")
    if entry["engine_errors"]:
        found.append("strategy_errors")
    if entry["funds_refused"]:
        found.append("funds_refused")
    return found


def ranking(points, figure, rank_all=False):
    """Points best first by the figure, flagged points after the others (unless rank_all);
    points without the figure after those, points with failed runs last."""
    sign = 1 if figure in LOWER_IS_BETTER else -1

    def order(item):
        entry = item[1]
        value = entry[figure]
        return (entry["failed"] > 0, value is None, bool(entry["flags"]) and not rank_all,
                0 if value is None else sign * value)

    return sorted(points.items(), key=order)


RANKING_COLUMNS = ("runs", "failed", "flags") + FIGURES + ("sharpe_days", "trading_days", "basis")


def ranking_rows(ranked, names):
    return [dict(zip(names, values), rank=number, **{c: entry[c] for c in RANKING_COLUMNS})
            for number, (values, entry) in enumerate(ranked, 1)]


def ranking_columns(names):
    return ["rank"] + list(names) + list(RANKING_COLUMNS)


def write_ranking(ranked, names, path):
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.DictWriter(out, ranking_columns(names), lineterminator="\n")
        writer.writeheader()
        writer.writerows(ranking_rows(ranked, names))


def ranking_text(ranked, names, figure, rank_all=False):
    shown_figures = [figure] + [f for f in ("net", "fees", "max_drawdown", "sharpe", "round_trips", "fills")
                                if f != figure]
    header = ["rank"] + list(names) + ["runs", "failed"] + shown_figures + ["flags"]
    lines = [header]
    few_days = False
    for number, (values, entry) in enumerate(ranked[:SHOWN_RANKS], 1):
        cells = []
        for name in shown_figures:
            cells.append(number_text(entry[name]))
            if name == "sharpe" and entry[name] is not None and entry["sharpe_days"] < FEW_SHARPE_DAYS:
                cells[-1] += "*"
                few_days = True
        lines.append([str(number)] + [str(v) for v in values] + [str(entry["runs"]), str(entry["failed"])]
                     + cells + [entry["flags"] or "-"])
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    text = ["  " + "  ".join(cell.rjust(width) for cell, width in zip(line[:-1], widths))
            + "  " + line[-1] for line in lines]
    if len(ranked) > SHOWN_RANKS:
        text.append("  ... %d more in ranking.csv" % (len(ranked) - SHOWN_RANKS))
    if few_days:
        text.append("  * a Sharpe ratio annualised from fewer than %d trading days (sharpe_days in ranking.csv): "
                    "noise more than a figure" % FEW_SHARPE_DAYS)
    if any(entry["flags"] for _, entry in ranked):
        text.append("  flags: %s; %s" % ("; ".join("%s: %s" % item for item in FLAGS.items()),
                                          "ranked with the others (--rank-all)" if rank_all else
                                          "flagged points rank after the others (--rank-all ranks them together)"))
    return "\n".join(text)


def number_text(value):
    if value is None:
        return "-"
    return "{:,.0f}".format(value) if abs(value - round(value)) < 0.005 else "{:,.2f}".format(value)


def heat_cells(points, grid, names, pair, figure):
    """(the first parameter's values, the second's, the rows of cells): each cell the mean,
    over the other parameters' values, of the points' figure, nan where no point without a
    failed run is left."""
    first, second = pair
    cells = {}
    for values, entry in points.items():
        if entry["failed"] or entry[figure] is None:
            continue
        point = dict(zip(names, values))
        cells.setdefault((repr(point[first]), repr(point[second])), []).append(entry[figure])
    rows, columns = list(grid[second]), list(grid[first])
    matrix = [[(lambda found: sum(found) / len(found) if found else math.nan)(cells.get((repr(c), repr(r)), ()))
               for c in columns] for r in rows]
    return columns, rows, matrix


def heatmap(points, grid, names, pair, figure, days, path):
    """The figure over two parameters: each cell is the mean, over the other parameters' values,
    of the points' figure; points with a failed run are left out (a grey cell when none is
    left)."""
    import matplotlib
    from matplotlib.colors import TwoSlopeNorm
    from matplotlib.figure import Figure

    first, second = pair
    columns, rows, matrix = heat_cells(points, grid, names, pair, figure)
    drawing = Figure(figsize=(1.2 + 0.75 * max(len(columns), 4), 1.2 + 0.55 * max(len(rows), 4)))
    axis = drawing.subplots()
    colours = matplotlib.colormaps["RdYlGn_r" if figure in LOWER_IS_BETTER else "RdYlGn"].copy()
    colours.set_bad("0.85")
    # Zero in the scale's middle: a loss is never drawn in a winner's colour.
    reach = max([abs(v) for line in matrix for v in line if not math.isnan(v)] + [1e-9])
    image = axis.imshow(matrix, cmap=colours, origin="lower", aspect="auto",
                        norm=TwoSlopeNorm(0.0, vmin=-reach, vmax=reach))
    axis.set_xticks(range(len(columns)), [str(v) for v in columns])
    axis.set_yticks(range(len(rows)), [str(v) for v in rows])
    axis.set_xlabel(first)
    axis.set_ylabel(second)
    if len(rows) * len(columns) <= 400:
        for y, line in enumerate(matrix):
            for x, value in enumerate(line):
                if not math.isnan(value):
                    axis.text(x, y, number_text(value), ha="center", va="center", fontsize=7)
    others = [n for n in names if n not in pair]
    axis.set_title("%s over %d trading day%s%s" % (
        figure, days, "s" if days != 1 else "", ", mean over %s" % ", ".join(others) if others else ""),
        fontsize=9, loc="left")
    drawing.colorbar(image, ax=axis, label="%s (0 in the middle)" % figure)
    drawing.tight_layout()
    drawing.savefig(path, dpi=80)
