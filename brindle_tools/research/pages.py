"""report.html of a sweep (the ranking with its flags, a heat map for each two parameters on a
scale centred on zero, the equity of the top points) and of a walk-forward (each window in and
out of sample, the chosen points, the out-of-sample equity against the in-sample pace, the
verdict); self-contained pages, as the replay's (replay/webpage.py)."""
import html
import itertools

from ..replay import webpage
from . import tables

TOP_POINTS = 5
HEATMAPS = 6  # pairs of parameters drawn at most
SHOWN = ("net", "fees", "max_drawdown", "sharpe", "round_trips", "fills")


def figures_shown(figure):
    return [figure] + [f for f in SHOWN if f != figure]


def write_sweep(path, ranked, points, grid, names, figure, title):
    """A sweep's page: ranked as tables.ranking gives it, points as tables.point_figures."""
    shown = figures_shown(figure)
    rows = [[number] + [str(v) for v in values] + [entry["runs"], entry["failed"]]
            + [tables.number_text(entry[f]) for f in shown] + [entry["flags"] or "-"]
            for number, (values, entry) in enumerate(ranked, 1)]
    parts = ["<h2>Ranking by %s</h2>" % html.escape(figure),
             webpage.table(["rank"] + list(names) + ["runs", "failed"] + shown + ["flags"], rows, "ranking.csv"),
             "<p class='note'>Flags: %s.</p>" % html.escape("; ".join("%s: %s" % flag
                                                                       for flag in tables.FLAGS.items()))]
    varied = [name for name in names if len(grid[name]) > 1]
    for pair in list(itertools.combinations(varied, 2))[:HEATMAPS]:
        parts.append(webpage.plot_div(heat_figure(points, grid, names, pair, figure)))
    parts.append(webpage.plot_div(top_equity(ranked, names)))
    webpage.save(path, title, parts)


def heat_figure(points, grid, names, pair, figure):
    """The figure over two parameters (tables.heat_cells), zero in the colour scale's middle."""
    import plotly.graph_objects as go

    columns, rows, matrix = tables.heat_cells(points, grid, names, pair, figure)
    scale = "RdYlGn_r" if figure in tables.LOWER_IS_BETTER else "RdYlGn"
    drawing = go.Figure(go.Heatmap(z=matrix, x=[str(c) for c in columns], y=[str(r) for r in rows], zmid=0,
                                   colorscale=scale, texttemplate="%{z:,.0f}", colorbar={"title": figure},
                                   hovertemplate=pair[0] + " %{x}, " + pair[1] + " %{y}: %{z:,.2f}<extra></extra>"))
    others = [n for n in names if n not in pair]
    drawing.update_layout(title="%s over %s and %s%s (0 in the scale's middle)" % (
        figure, pair[0], pair[1], ", mean over " + ", ".join(others) if others else ""), height=420,
        xaxis={"title": pair[0], "type": "category"}, yaxis={"title": pair[1], "type": "category"})
    return drawing


def top_equity(ranked, names):
    """The equity, trading day by trading day, of the best points."""
    import plotly.graph_objects as go

    drawing = go.Figure()
    for values, entry in ranked[:TOP_POINTS]:
        if not entry[tables.DAILY]:
            continue
        days = entry["trading_days"].split()
        equity = list(itertools.accumulate(float(net) for net in entry[tables.DAILY].split()))
        drawing.add_trace(go.Scatter(x=days, y=equity, mode="lines+markers",
                                     name=", ".join("%s=%s" % item for item in zip(names, values))))
    drawing.update_layout(title="equity of the top %d points, day by day" % TOP_POINTS, height=380,
                          xaxis={"type": "category", "title": "trading day"})
    return drawing


def write_walk_forward(path, windows_rows, equity, spans, verdict, title):
    """A walk-forward's page, from what walkforward.csv, walkforward_equity.csv and
    walkforward.json hold."""
    import plotly.graph_objects as go

    out = verdict["out_of_sample"]
    facts = [("out-of-sample days", out["days"]), ("out-of-sample net", tables.number_text(out["net"])),
             ("max drawdown", tables.number_text(out["max_drawdown"]["money"])),
             ("sharpe", "-" if out["sharpe"] is None else "%.2f" % out["sharpe"]),
             ("windows that made money", "-" if verdict["winning_windows"] is None else "%.0f%% of %d" % (
                 100 * verdict["winning_windows"], verdict["windows_tested"])),
             ("efficiency", "-" if verdict["efficiency"] is None else "%.2f" % verdict["efficiency"]),
             ("distinct points chosen", "%d in %d windows" % (verdict["distinct_points_chosen"], verdict["windows"])),
             ("untested days", ", ".join(verdict["untested_days"]) or "-")]
    summary = "".join("<tr><th>%s</th><td>%s</td></tr>" % (html.escape(label), html.escape(str(text)))
                      for label, text in facts)
    numbers = [row["window"] for row in windows_rows]
    pace = {row["window"]: row["in_net"] / len(train) if row["in_net"] is not None else None
            for row, (train, _) in zip(windows_rows, spans)}
    per_day = go.Figure([
        go.Bar(x=numbers, y=[pace[n] for n in numbers], name="in sample, net per day"),
        go.Bar(x=numbers, y=[row["out_net"] / len(test) if row["out_net"] is not None else None
                             for row, (_, test) in zip(windows_rows, spans)], name="out of sample, net per day")])
    per_day.update_layout(title="each window's chosen point: net per day in and out of sample", barmode="group",
                          height=360, xaxis={"title": "window", "type": "category"})
    days = [day["trading_day"] for day in equity]
    joined = go.Figure([
        go.Scatter(x=days, y=[day["equity"] for day in equity], mode="lines+markers", name="out of sample",
                   text=["window %d" % day["window"] for day in equity]),
        go.Scatter(x=days, y=list(itertools.accumulate(pace[day["window"]] or 0.0 for day in equity)),
                   mode="lines+markers", line={"dash": "dot"}, name="at the in-sample pace")])
    joined.update_layout(title="the out-of-sample days joined, against the in-sample net per day", height=380,
                         xaxis={"type": "category", "title": "trading day"})
    columns = list(windows_rows[0]) if windows_rows else ["window"]
    rows = [[tables.number_text(row[c]) if isinstance(row[c], float) else "-" if row[c] is None else row[c]
             for c in columns] for row in windows_rows]
    webpage.save(path, title, ["<table class='summary'>%s</table>" % summary, webpage.plot_div(per_day),
                        webpage.plot_div(joined), "<h2>Windows</h2>", webpage.table(columns, rows, "walkforward.csv"),
                        "<p class='note'>Each test window %s.</p>" % html.escape(verdict["each_window"])])

