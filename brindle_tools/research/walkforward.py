"""Walk-forward validation: does the point that was best on some days stay good on the days
that follow? A window of --train trading days slides over the days by --test days; on each,
every point of the grid is replayed as one account, the best by --rank is chosen, and that
point alone is replayed on the --test days after the window. The out-of-sample days of all
windows, joined, are what the choice would have earned.

Outputs: walkforward.csv (per window: the days, the chosen point, its figures in and out of
sample), walkforward_equity.csv (the out-of-sample equity day by day), walkforward.png, report.html
and runs.csv of every run (window, in or out of sample).
"""
import csv
import json
import sys
import time

from . import pages, tables
from ..common import outputs
from ..common.errors import UsageError, shown
from ..common.frames import csv_frame
from ..market.account import Account
from ..replay.report import clean, watched
from .days import segment

SHOWN_FIGURES = ("net", "fees", "max_drawdown", "sharpe", "fills")


def windows(days, train, test, anchored=False):
    """[(training days, test days)] of every window that fits; days: tuples of tick files.
    Anchored, every window trains from the first day on (an expanding window)."""
    if len(days) < train + test:
        raise UsageError("--train %d --test %d needs %d trading days; the tick files hold %d"
                         % (train, test, train + test, len(days)))
    return [(days[0 if anchored else start:start + train], days[start + train:start + train + test])
            for start in range(0, len(days) - train - test + 1, test)]


def untested(days, spans):
    """The days after the last test window."""
    return days[days.index(spans[-1][1][-1]) + 1:]


def day_name(day):
    return day.date or shown(day.files[0])


def span(days):
    return "%s..%s" % (day_name(days[0]), day_name(days[-1])) if len(days) > 1 else day_name(days[0])


class Phase:
    """The runs of one side of every window, into one table."""

    def __init__(self, plan, runner, table):
        self.plan, self.runner, self.table = plan, runner, table
        self.rows = {}
        self.table_rows = []  # as runs.csv holds them

    def run(self, keys, sample, first):
        """Run the keys, whose segments of the first window are numbered `first`."""
        from tqdm.auto import tqdm

        bar = tqdm(total=len(keys), unit=" runs", dynamic_ncols=True, disable=not watched(), leave=False)

        def on_result(key, result):
            row = self.plan.row(key, result)
            self.rows[key] = row
            self.table_rows.append(dict(row, window=key[1] - first + 1, sample=sample))
            self.table.append(self.table_rows[-1])
            bar.update()

        try:
            self.runner.run((self.plan.request(key) for key in keys), on_result)
        finally:
            bar.close()


def choose(rows, names, figure, capital, rank_all):
    """(point values, figures) of the best point among one window's runs, or None."""
    ranked = tables.ranking(tables.point_figures(rows, names, capital), figure, rank_all)
    if not ranked or ranked[0][1]["failed"] or ranked[0][1][figure] is None:
        return None
    return ranked[0]


def run(args, plan, days, spans, runner, kept):
    """The walk-forward of plan's grid over the windows `spans`; gives a WalkForwardResult."""
    out = args.out
    tables.refuse_other_outputs(out, "walk-forward")
    if (out / "walkforward.csv").exists():
        raise UsageError("%s already holds a walk-forward: choose another --out" % shown(out))
    outputs.create(out)
    plan.segments = [segment(train, days) for train, _ in spans] + [segment(test, days) for _, test in spans]
    tested = len(spans)
    print("Walk-forward of %d point%s over %d window%s (%d trading days trained, %d tested) on %s" % (
        len(plan.points), "s" * (len(plan.points) > 1), len(spans), "s" * (len(spans) > 1), args.train, args.test,
        runner.where), flush=True)
    run_columns = ["window", "sample"] + plan.columns
    table = tables.Table(out / "runs.csv", run_columns)
    phase = Phase(plan, runner, table)
    started = time.perf_counter()
    try:
        phase.run([(point, number) for number in range(tested) for point in plan.points], "in", 0)
        chosen = {}
        for number in range(tested):
            rows = [phase.rows[(point, number)] for point in plan.points]
            chosen[number] = choose(rows, plan.names, args.rank, plan.replay.capital, args.rank_all)
        index = {tuple(plan.values(point).values()): point for point in plan.points}
        phase.run([(index[best[0]], tested + number) for number, best in chosen.items() if best], "out", tested)
    except KeyboardInterrupt:
        print("brindle-sweep: interrupted; the walk-forward's runs so far are in %s" % shown(out / "runs.csv"),
              file=sys.stderr)
        raise
    finally:
        table.close()
    elapsed = time.perf_counter() - started
    windows_rows, equity = results(args, plan, spans, chosen, phase.rows, index)
    write_csv(out / "walkforward.csv", windows_rows)
    write_csv(out / "walkforward_equity.csv", equity)
    written = ["runs.csv", "walkforward.csv", "walkforward_equity.csv"]
    try:
        chart(equity, spans, out / "walkforward.png")
        written.append("walkforward.png")
    except Exception as error:  # no chart is no reason to lose the tables
        print("brindle-sweep: no chart: %s: %s" % (type(error).__name__, error), file=sys.stderr)
    verdict = judged(windows_rows, equity, spans, plan.names, plan.replay.capital, untested(days, spans))
    write_json(out / "walkforward.json", verdict)
    written.insert(3, "walkforward.json")
    if kept:  # the page is made for a person to open
        try:
            pages.write_walk_forward(out / "report.html", windows_rows, equity, spans, verdict,
                                     "Walk-forward of %s: %d windows of %d days trained, %d tested" % (
                                         ", ".join(plan.names), len(spans), args.train, args.test))
            written.append("report.html")
        except Exception as error:  # no page is no reason to lose the tables
            print("brindle-sweep: no report.html: %s: %s" % (type(error).__name__, error), file=sys.stderr)
    return WalkForwardResult(args, plan, phase, windows_rows, equity, chosen, elapsed, written if kept else [],
                             verdict)


class WalkForwardResult:
    """A walk-forward's runs, windows and out-of-sample equity (DataFrames, as runs.csv,
    walkforward.csv and walkforward_equity.csv hold them), its verdict (the dict of
    walkforward.json), and the report brindle-sweep prints."""

    def __init__(self, args, plan, phase, windows_rows, equity, chosen, elapsed, files, verdict):
        self.runs = csv_frame(phase.table_rows, ["window", "sample"] + plan.columns)
        self.windows = csv_frame(windows_rows, csv_columns(windows_rows, "window"))
        self.equity = csv_frame(equity, csv_columns(equity, "window"))
        self.verdict = verdict
        self.failed = [row for row in phase.rows.values() if row["status"] != "ok"]
        self.unchosen = [number + 1 for number, best in chosen.items() if not best]
        self.files = files
        self._args, self._plan, self._windows = args, plan, windows_rows
        self._runs, self._elapsed = len(phase.rows), elapsed

    @property
    def ok(self):
        """Whether every run ended well and every window had a point to choose."""
        return not self.failed and not self.unchosen

    def text(self):
        lines = ["  %d runs in %.1f s" % (self._runs, self._elapsed),
                 text(self._windows, self._plan.names, self._args.rank)]
        lines += verdict_text(self.verdict)
        if self.files:
            lines.append("  written %s/: %s" % (shown(self._args.out), ", ".join(self.files)))
        return "\n".join(lines)

    def __repr__(self):
        return "<WalkForwardResult: %d windows, out-of-sample net %s>" % (
            len(self._windows), tables.number_text(self.verdict["out_of_sample"]["net"]))


def judged(windows_rows, equity, spans, names, capital, left):
    """The verdict over the windows: the joined out-of-sample days' figures, the share of
    windows that made money, the efficiency (out-of-sample net per day over in-sample net per
    day), how stable the choice was, and the days no window tested."""
    nets = [day["net"] for day in equity]
    account = Account(capital)
    account.days = [{"net": net} for net in nets]
    drawdown, percent = tables.daily_drawdown(nets, capital)
    tested = [row for row in windows_rows if row["out_net"] is not None]
    in_per_day = [row["in_net"] / len(train) for row, (train, _) in zip(windows_rows, spans)
                  if row["in_net"] is not None]
    in_mean = sum(in_per_day) / len(in_per_day) if in_per_day else None
    out_mean = sum(nets) / len(nets) if nets else None
    chosen = [tuple(row[name] for name in names) for row in windows_rows if row["in_net"] is not None]
    return {
        "out_of_sample": {"days": len(nets), "net": round(sum(nets), 6), "sharpe": account.sharpe(),
                          "max_drawdown": {"money": round(drawdown, 6), "percent": round(percent, 6)}},
        "windows": len(windows_rows), "windows_tested": len(tested),
        "winning_windows": sum(1 for row in tested if row["out_net"] > 0) / len(tested) if tested else None,
        "in_sample_net_per_day": in_mean, "out_of_sample_net_per_day": out_mean,
        "efficiency": out_mean / in_mean if in_mean and in_mean > 0 and out_mean is not None else None,
        "distinct_points_chosen": len(set(chosen)),
        "points_chosen": [dict(zip(names, point)) for point in chosen],
        "untested_days": [span([day]) for day in left],
        "each_window": "starts flat and values the positions still open at its end at the last price, "
                       "without a closing fee",
    }


def verdict_text(verdict):
    out = verdict["out_of_sample"]
    sharpe = out["sharpe"]
    share = verdict["winning_windows"]
    lines = ["  out of sample over %d trading day%s: net %s, max drawdown %s, Sharpe %s" % (
                 out["days"], "s" * (out["days"] != 1), tables.number_text(out["net"]),
                 tables.number_text(out["max_drawdown"]["money"]),
                 "-" if sharpe is None else "%.2f%s" % (sharpe, "*" if out["days"] < tables.FEW_SHARPE_DAYS else "")),
             "  windows that made money: %s of %d; efficiency (out-of-sample over in-sample net per day): %s" % (
                 "-" if share is None else "%.0f%%" % (100 * share), verdict["windows_tested"],
                 "-" if verdict["efficiency"] is None else "%.2f" % verdict["efficiency"]),
             "  chosen: %d distinct point%s in %d window%s%s" % (
                 verdict["distinct_points_chosen"], "s" * (verdict["distinct_points_chosen"] != 1),
                 verdict["windows"], "s" * (verdict["windows"] != 1),
                 ": the choice is unstable" if verdict["distinct_points_chosen"] > 1 else "")]
    if sharpe is not None and out["days"] < tables.FEW_SHARPE_DAYS:
        lines.append("  * a Sharpe ratio annualised from fewer than %d trading days: noise more than a figure"
                     % tables.FEW_SHARPE_DAYS)
    if verdict["untested_days"]:
        lines.append("  untested: %s (after the last window)" % ", ".join(verdict["untested_days"]))
    lines.append("  each test window %s" % verdict["each_window"])
    return lines


def results(args, plan, spans, chosen, rows, index):
    """(a row per window, the out-of-sample equity day by day)."""
    figures = [args.rank] + [f for f in SHOWN_FIGURES if f != args.rank]
    windows_rows, equity, total = [], [], 0.0
    tested = len(spans)
    for number, (train, test) in enumerate(spans):
        best = chosen[number]
        row = {"window": number + 1, "train_days": span(train), "test_days": span(test)}
        row.update(dict(zip(plan.names, best[0])) if best else dict.fromkeys(plan.names))
        for figure in figures:
            row["in_" + figure] = best[1][figure] if best else None
        outcome = rows.get((index[best[0]], tested + number)) if best else None
        ok = outcome is not None and outcome["status"] == "ok"
        for figure in figures:
            row["out_" + figure] = outcome[figure] if ok else None
        row["error"] = "" if ok else outcome["error"] if outcome else "no point completed its training runs"
        windows_rows.append(row)
        if ok:
            days = outcome["trading_days"].split()
            for day, net in zip(days, outcome[tables.DAILY].split()):
                total += float(net)
                equity.append({"trading_day": day, "window": number + 1, "net": float(net), "equity": round(total, 6)})
    return windows_rows, equity


def write_json(path, data):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(clean(data), f, indent=2, allow_nan=False)
        f.write("\n")


def csv_columns(rows, empty):
    return list(rows[0]) if rows else [empty]


def write_csv(path, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, csv_columns(rows, "window"), lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)


def text(rows, names, figure):
    header = ["window", "train", "test"] + list(names) + ["in " + figure, "out " + figure]
    lines = [header] + [[str(r["window"]), r["train_days"], r["test_days"]] + [str(r[n]) for n in names]
                        + [tables.number_text(r["in_" + figure]), tables.number_text(r["out_" + figure])]
                        for r in rows]
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    return "\n".join("  " + "  ".join(c.rjust(w) for c, w in zip(line, widths)) for line in lines)


def chart(equity, spans, path):
    """The out-of-sample equity, day by day, the windows shaded in turn; drawn on a Figure of
    its own, the caller's pyplot and backend left alone."""
    from matplotlib.figure import Figure

    drawing = Figure(figsize=(8, 3.5))
    axis = drawing.subplots()
    xs = list(range(1, len(equity) + 1))
    axis.plot(xs, [e["equity"] for e in equity], marker="o", markersize=3, color="tab:blue")
    axis.axhline(0, color="0.6", linewidth=0.8)
    for number in {e["window"] for e in equity}:
        inside = [x for x, e in zip(xs, equity) if e["window"] == number]
        if number % 2:
            axis.axvspan(inside[0] - 0.5, inside[-1] + 0.5, color="0.93")
    axis.set_xticks(xs, [e["trading_day"] for e in equity], rotation=90 if len(xs) > 8 else 0, fontsize=7)
    axis.set_ylabel("net, out of sample")
    axis.set_title("walk-forward: %d window%s, the equity of each window's chosen point on its test days"
                   % (len(spans), "s" * (len(spans) != 1)), fontsize=9, loc="left")
    drawing.tight_layout()
    drawing.savefig(path, dpi=80)
