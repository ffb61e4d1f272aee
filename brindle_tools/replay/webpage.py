"""A replay's report.html: one self-contained page (plotly's script and the page's own inline;
nothing fetched) with the summary, the price with the fills, the position, the margin held,
the equity and its drawdown on one zoomable time axis, the profit per day, the fills, the
round trips and each instrument's figures."""
import datetime
import html
import json

from ..market.account import ACTIONS
from . import report

DRAWN_TICKS = 50_000  # an instrument with more ticks is drawn by each minute's extremes
TABLE_ROWS = 1_000  # rows of the fills and round trips shown; the files hold them all
MARKERS = {"buy_open": ("triangle-up", "#2ca02c"), "buy_close": ("circle-open", "#2ca02c"),
           "sell_open": ("triangle-down", "#d62728"), "sell_close": ("circle-open", "#d62728")}
STYLE = """body{font:14px system-ui,sans-serif;margin:1em 2em;color:#222}
table{border-collapse:collapse;margin:.5em 0 1.5em}td,th{padding:2px 10px;text-align:right}
th{background:#eee}tr:nth-child(even) td{background:#f7f7f7}.summary th,.summary td{text-align:left}
table.sortable th{cursor:pointer}.note{color:#666}.failed{color:#b00;font-weight:bold}"""
# Click a column's heading to sort by it (numbers as numbers), again to reverse.
SORTING = """document.querySelectorAll("table.sortable").forEach(function (table) {
  table.querySelectorAll("th").forEach(function (th, column) {
    th.onclick = function () {
      var up = th.dataset.up !== "1", body = table.tBodies[0];
      th.dataset.up = up ? "1" : "0";
      Array.from(body.rows).sort(function (a, b) {
        var x = a.cells[column].textContent, y = b.cells[column].textContent;
        var nx = parseFloat(x.replace(/,/g, "")), ny = parseFloat(y.replace(/,/g, ""));
        var order = isNaN(nx) || isNaN(ny) ? x.localeCompare(y) : nx - ny;
        return up ? order : -order;
      }).forEach(function (row) { body.appendChild(row); });
    };
  });
});"""


def headline(summary):
    """(label, text, JSON key or None) of the figures a trader looks at first, from the
    dictionary of summary.json; the key names the figure that the text shows."""
    profit, drawdown, funds = summary["profit"], summary["max_drawdown"], summary["funds"]
    rows = [("trading days", ", ".join(summary["trading_days"]), None),
            ("ticks", "{:,}".format(summary["ticks"]), "ticks"),
            ("fills", "{:,}".format(summary["fills"]), "fills"),
            ("round trips", "{:,}".format(summary["round_trips"]), "round_trips"),
            ("net", report.money(profit["net"]), "profit.net"),
            ("gross", report.money(profit["gross"]), "profit.gross"),
            ("fees", report.money(profit["fees"]), "profit.fees"),
            ("max drawdown", "%s (%.2f%%)" % (report.money(drawdown["money"]), drawdown["percent"] or 0.0),
             "max_drawdown.money"),
            ("sharpe", "-" if summary["sharpe"] is None else "%.2f" % summary["sharpe"], "sharpe"),
            ("peak margin", report.money(funds["peak_margin"]), "funds.peak_margin")]
    if funds["refused"]["count"]:
        rows.append(("refused for funds", "%s (first: %s)" % (
            report.count(funds["refused"]["count"], "opening decision"), funds["refused"]["first"]),
                     "funds.refused.count"))
    rows.extend(("strategy error", "%s of %s: %s, first at %s: %s" % (
        error["key"], error["instrument"], report.count(error["count"], "error"), error["first_at"],
        error["first_error"]), None) for error in summary["strategy_errors"])
    rows.append(("engine log", "%s, %s" % (report.count(summary["engine_log"]["errors"], "error"),
                                           report.count(summary["engine_log"]["warnings"], "warning")), None))
    for label, key in (("stopped", "stopped_at"), ("interrupted", "interrupted_at")):
        if summary[key]:
            rows.append((label, summary[key], None))
    return rows


def figure_of(summary, key):
    """The figure of summary.json that a headline row's key names ("profit.net")."""
    for part in key.split("."):
        summary = summary[part]
    return summary


def write(summary, path):
    """report.html of a report.Summary, written to path."""
    save(path, "Replay of " + summary.source.shown, page(summary))


def save(path, title, parts):
    with open(path, "w", encoding="utf-8") as out:
        out.write(document(title, parts))


def page(summary):
    """The parts of a replay's page."""
    data = summary.as_dict()
    results = summary.results
    prices, downsampled = tick_prices(summary.source, [i for i in results.instruments.values() if i.ticks])
    parts = [summary_table(data)]
    if prices:
        parts.append(plot_div(time_figure(results, prices)))
        drawn = ("Price drawn tick by tick." if not downsampled else
                 "Price of %s drawn by each minute's first, lowest, highest and last tick (more than %s ticks)."
                 % (", ".join(downsampled), "{:,}".format(DRAWN_TICKS)))
        parts.append("<p class='note'>%s Equity: the last of each minute with ticks, its band the minute's lowest "
                     "and highest; drawdown: each minute's deepest. Hours without ticks are left out of the time "
                     "axis. Drag to zoom, double-click to zoom out.</p>" % drawn)
    if data["per_day"]:
        parts.append(plot_div(day_figure(data["per_day"])))
    parts += ["<h2>Instruments</h2>", instrument_table(data["instruments"]),
              "<h2>Fills</h2>", fills_table(results), "<h2>Round trips</h2>", trips_table(results.account.trips)]
    return parts


def document(title, parts):
    """The page: its heading, the parts (HTML) in order, plotly's script and the page's own
    inline."""
    import plotly.offline

    return ("<!DOCTYPE html><html><head><meta charset='utf-8'><title>%s</title><style>%s</style>"
            "<script>%s</script></head><body><h1>%s</h1>%s<script>%s</script></body></html>" % (
                html.escape(title), STYLE, plotly.offline.get_plotlyjs(), html.escape(title), "\n".join(parts),
                SORTING))


def plot_div(figure):
    return figure.to_html(full_html=False, include_plotlyjs=False, include_mathjax=False,
                          config={"displaylogo": False, "responsive": True})


def summary_table(data):
    """The headline figures; each row that shows a figure of summary.json carries its value."""
    rows = []
    for label, text, key in headline(data):
        value = " data-key='%s' data-value='%s'" % (key, html.escape(json.dumps(figure_of(data, key)))) if key else ""
        style = " class='failed'" if label in ("strategy error", "stopped", "interrupted") else ""
        rows.append("<tr%s><th>%s</th><td%s>%s</td></tr>" % (style, html.escape(label), value, html.escape(text)))
    return "<table class='summary' id='summary'>%s</table>" % "".join(rows)


def table(columns, rows, kept_in=None):
    """A sortable table of the first TABLE_ROWS rows; kept_in: the file that holds them all."""
    head = "".join("<th>%s</th>" % html.escape(c) for c in columns)
    body = "".join("<tr>%s</tr>" % "".join("<td>%s</td>" % html.escape(str(v)) for v in row)
                   for row in rows[:TABLE_ROWS])
    note = ("<p class='note'>The first %s of %s%s.</p>" % (
        "{:,}".format(TABLE_ROWS), "{:,}".format(len(rows)), "; all of them in " + kept_in if kept_in else "")
            if len(rows) > TABLE_ROWS else "")
    return "<table class='sortable'><thead><tr>%s</tr></thead><tbody>%s</tbody></table>%s" % (head, body, note)


def clock(seconds):
    """Calendar time in seconds as the market's date and time."""
    moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def fills_table(results):
    fills = sorted((mark.time, instrument.id, mark) for instrument in results.instruments.values()
                   for mark in instrument.marks)
    return table(("time", "instrument", "action", "price", "lots", "fee", "position after"),
                 [(clock(time), instrument, mark.action, report.price_text(mark.price), mark.volume,
                   report.money(mark.fee), mark.position) for time, instrument, mark in fills], "fills.csv")


def trips_table(trips):
    return table(("instrument", "side", "entry", "exit", "held", "net profit"),
                 [(trip.instrument, trip.side, clock(trip.entry), clock(trip.exit), report.duration(trip.seconds),
                   report.money(trip.profit)) for trip in trips])


def instrument_table(instruments):
    return table(("instrument", "exchange", "ticks", "filled lots", "market share", "realised", "open", "fees",
                  "net", "turnover"),
                 [(name, figures["exchange"], "{:,}".format(figures["ticks"]), "{:,}".format(figures["filled_volume"]),
                   "-" if figures["market_share"] is None else "%.2f%%" % (100 * figures["market_share"]),
                   report.money(figures["realised_profit"]), report.money(figures["open_profit"]),
                   report.money(figures["fees"]),
                   report.money(figures["realised_profit"] + figures["open_profit"] - figures["fees"]),
                   report.money(figures["turnover"])) for name, figures in instruments.items()])


def tick_prices(source, instruments):
    """({InstrumentID: (calendar times in milliseconds, last prices)}, [the instruments drawn
    by each minute's extremes]) of the instruments' ticks, read again from the files."""
    import numpy as np

    wanted = {instrument.id for instrument in instruments}
    found = {}
    for tick_file in source.files:
        for batch in source.batches(tick_file, count=False):
            arrays = {name: array for name, _, array in batch.columns}
            constants = dict(batch.constants)
            ids = (arrays["InstrumentID"].to_numpy(zero_copy_only=False) if "InstrumentID" in arrays
                   else np.full(batch.size, constants.get("InstrumentID")))
            prices = arrays["LastPrice"].to_numpy(zero_copy_only=False).astype(float)
            kept = np.ones(batch.size, bool) if batch.bad is None else ~batch.bad
            for instrument in wanted.intersection(ids[kept]):
                rows = kept & (ids == instrument)
                found.setdefault(instrument, []).append((batch.keys[rows], prices[rows]))
    drawn, downsampled = {}, []
    for instrument, parts in found.items():
        times = np.concatenate([t for t, _ in parts])
        prices = np.concatenate([p for _, p in parts])
        order = np.argsort(times, kind="stable")
        times, prices = times[order], prices[order]
        if len(times) > DRAWN_TICKS:
            keep = minute_extremes(times, prices)
            times, prices = times[keep], prices[keep]
            downsampled.append(instrument)
        drawn[instrument] = (times * 1000.0, prices)
    return drawn, downsampled


def minute_extremes(times, prices):
    """The indexes, in time order, of each minute's first, lowest, highest and last tick
    (times in seconds, ascending)."""
    import numpy as np

    minutes = np.floor(times / 60.0)
    starts = np.flatnonzero(np.r_[True, minutes[1:] != minutes[:-1]])
    ends = np.r_[starts[1:], len(times)] - 1
    by_price = np.lexsort((prices, minutes))  # within each minute from lowest to highest
    return np.unique(np.concatenate([starts, ends, by_price[starts], by_price[ends]]))


def gaps(minutes):
    """Plotly's rangebreaks for the stretches longer than report.BREAK_MINUTES without ticks."""
    breaks = []
    for before, after in zip(minutes, minutes[1:]):
        if after - before > report.BREAK_MINUTES:
            breaks.append({"bounds": [clock((before + 1) * 60), clock(after * 60)]})
    return breaks


def time_figure(results, prices):
    """Price and fills per instrument, position, margin held, equity and drawdown, on one
    time axis."""
    from plotly.subplots import make_subplots
    import plotly.graph_objects as go

    series, account = results.series, results.account
    instruments = [results.instruments[name] for name in prices]
    titles = ["%s (%s) price and fills" % (i.id, i.holding.exchange) for i in instruments]
    titles += ["position (lots, long less short)", "margin held", "equity net of fees", "drawdown"]
    heights = [3] * len(instruments) + [1.2, 1, 2, 1]
    drawing = make_subplots(rows=len(heights), cols=1, shared_xaxes=True, row_heights=heights,
                            vertical_spacing=0.03, subplot_titles=titles)
    minutes_ms = [m * 60000.0 for m in series.minutes]
    first, last = minutes_ms[0], minutes_ms[-1] + 59999.0
    for row, instrument in enumerate(instruments, 1):
        times, values = prices[instrument.id]
        drawing.add_trace(go.Scatter(x=times, y=values, mode="lines", line={"color": "#555", "width": 1},
                                     name="%s last price" % instrument.id), row=row, col=1)
        for action in ACTIONS:
            marks = [m for m in instrument.marks if m.action == action]
            if marks:
                symbol, colour = MARKERS[action]
                drawing.add_trace(go.Scatter(
                    x=[m.time * 1000.0 for m in marks], y=[m.price for m in marks], mode="markers",
                    marker={"symbol": symbol, "color": colour, "size": 9 if "open" in action else 12},
                    name="%s %s (%d)" % (instrument.id, action.replace("_", " "), len(marks)),
                    text=["%d lots, position %d" % (m.volume, m.position) for m in marks]), row=row, col=1)
        marks = instrument.marks
        drawing.add_trace(go.Scatter(
            x=[first] + [m.time * 1000.0 for m in marks] + [last], y=[0] + [m.position for m in marks] +
            [marks[-1].position if marks else 0], mode="lines", line_shape="hv",
            name="%s position" % instrument.id), row=len(instruments) + 1, col=1)
    base = len(instruments)
    drawing.add_trace(go.Scatter(x=minutes_ms, y=list(series.margin), mode="lines", line_shape="hv",
                                 line={"color": "#9467bd"}, name="margin held"), row=base + 2, col=1)
    drawing.add_trace(go.Scatter(x=minutes_ms, y=list(series.low), mode="lines", line={"width": 0},
                                 showlegend=False, hoverinfo="skip"), row=base + 3, col=1)
    drawing.add_trace(go.Scatter(x=minutes_ms, y=list(series.high), mode="lines", line={"width": 0},
                                 fill="tonexty", fillcolor="rgba(31,119,180,0.25)",
                                 name="equity's range in the minute"), row=base + 3, col=1)
    drawing.add_trace(go.Scatter(x=minutes_ms, y=list(series.equity), mode="lines", line={"color": "#1f77b4"},
                                 name="equity: %s" % report.money(account.equity)), row=base + 3, col=1)
    drawing.add_trace(go.Scatter(x=minutes_ms, y=list(series.drawdown), mode="lines", fill="tozeroy",
                                 line={"color": "#d62728", "width": 1},
                                 name="drawdown: largest %s" % report.money(account.drawdown)), row=base + 4, col=1)
    drawing.update_xaxes(type="date", rangebreaks=gaps(series.minutes), showgrid=True)
    drawing.update_layout(height=170 * sum(heights) + 120, margin={"l": 60, "r": 20, "t": 40, "b": 40},
                          hovermode="closest", legend={"orientation": "h", "y": -0.03})
    return drawing


def day_figure(days):
    """Net profit per trading day, with its fees apart."""
    import plotly.graph_objects as go

    names = [day["trading_day"] for day in days]
    drawing = go.Figure([
        go.Bar(x=names, y=[day["net"] for day in days], name="net",
               marker_color=["#2ca02c" if day["net"] >= 0 else "#d62728" for day in days]),
        go.Bar(x=names, y=[-day["fees"] for day in days], name="fees (as a loss)", marker_color="#7f7f7f")])
    drawing.update_layout(title="profit per trading day", barmode="group", height=320, xaxis={"type": "category"},
                          margin={"l": 60, "r": 20, "t": 50, "b": 40})
    return drawing
