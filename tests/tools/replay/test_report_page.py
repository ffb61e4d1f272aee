"""report.html: its figures are summary.json's, its price keeps each minute's extremes when
downsampled, its drawdown is the one printed, and a real browser opens it offline, from a
file, without a script error. The replay's and the walk-forward's charts leave a notebook's
matplotlib backend alone."""
import json
import os
import re
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

from harness.host import copy_sample_host
from harness.paths import REPO

SCRIPT = '''
import json
import matplotlib
matplotlib.use("pdf")  # a notebook's own backend
import numpy as np
import brindle_tools as bt
from brindle_tools.replay import webpage
from brindle_tools.research import walkforward

result = bt.backtest("day.csv", host="host", fees=%r, set={"open_ticks": 2}, cancel_after=30, progress=False,
                     out="api")
result.plot()
walkforward.chart([{"equity": 1.0, "window": 1, "trading_day": "20241104"}], [None], "walkforward.png")
html = result._repr_html_()
summary = result._summary
instruments = [i for i in summary.results.instruments.values() if i.ticks]
every, _ = webpage.tick_prices(summary.source, instruments)
webpage.DRAWN_TICKS = 100
drawn, downsampled = webpage.tick_prices(summary.source, instruments)
result.report("page.html")
figure = webpage.time_figure(summary.results, drawn)
drawdown = [t for t in figure.data if (t.name or "").startswith("drawdown")][0]


def extremes(times, prices):
    minutes = np.floor(times / 60000.0)
    return {m: (prices[minutes == m].min(), prices[minutes == m].max()) for m in np.unique(minutes)}


json.dump({"backend": matplotlib.get_backend(), "sketch": "<svg" in html, "downsampled": downsampled,
           "fewer": all(len(drawn[i][0]) < len(every[i][0]) for i in every),
           "extremes": all(extremes(*drawn[i]) == extremes(*every[i]) for i in every),
           "deepest": -min(drawdown.y), "summary": result.summary}, open("found.json", "w"))
'''


@pytest.fixture(scope="module")
def replayed(tmp_path_factory):
    from brindle_tools.feed import sample

    where = tmp_path_factory.mktemp("page")
    sample.write(where / "day.csv", 3)
    copy_sample_host(where / "host")
    fees = str(REPO / "samples" / "fees.csv")
    env = dict(os.environ, PYTHONPATH=str(REPO))
    proc = subprocess.run([sys.executable, "-m", "brindle_tools", "replay", "day.csv", "--host", "host", "--fees", fees,
                           "--set", "open_ticks=2", "--cancel-after", "30", "--out", "out"],
                          cwd=where, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    api = subprocess.run([sys.executable, "-c", SCRIPT % fees], cwd=where, env=env, capture_output=True, text=True)
    assert api.returncode == 0, api.stderr
    return where, json.loads((where / "found.json").read_text())


def test_the_page_shows_summary_json_and_keeps_each_minutes_extremes(replayed):
    from brindle_tools.replay import webpage

    where, found = replayed
    summary = json.loads((where / "out" / "summary.json").read_text())
    page = (where / "out" / "report.html").read_text(encoding="utf-8")
    shown = dict(re.findall(r"data-key='([^']+)' data-value='([^']+)'", page))
    assert {"profit.net", "max_drawdown.money", "fills", "funds.peak_margin"} <= set(shown)
    assert {key: json.loads(value) for key, value in shown.items()} == {
        key: webpage.figure_of(summary, key) for key in shown}
    assert summary["fills"] > 0 and "<script src" not in page and "<link" not in page
    # The notebook's run: its own backend kept, its figures those of the command line.
    assert found["backend"] == "pdf" and found["sketch"] and (where / "api" / "report.html").exists()
    assert found["summary"]["profit"] == summary["profit"]
    assert found["downsampled"] and found["fewer"] and found["extremes"]
    assert found["deepest"] == pytest.approx(summary["max_drawdown"]["money"]) and found["deepest"] > 0


def test_minute_extremes_keep_first_lowest_highest_last():
    from brindle_tools.replay import webpage

    times = np.array([0.0, 10, 20, 30, 59, 60, 61, 200])
    prices = np.array([5.0, 1, 9, 1, 4, 7, 7, 3])
    kept = webpage.minute_extremes(times, prices)
    assert list(kept) == [0, 1, 2, 4, 5, 6, 7]  # the second lowest of a minute is not needed


CHROMIUM = shutil.which("chromium")


def chromium(where, *args):
    """Headless Chromium, offline (no proxy reachable, no name resolved), with its console on
    stderr; stopped by its process group's id when it hangs."""
    proc = subprocess.Popen([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                             "--user-data-dir=%s" % (where / "profile"), "--proxy-server=127.0.0.1:9",
                             "--host-resolver-rules=MAP * ~NOTFOUND", "--enable-logging=stderr", "--v=0",
                             "--virtual-time-budget=15000", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
    return out, err


@pytest.fixture(scope="module")
def pages(replayed):
    """The replay's page, and a sweep's and a walk-forward's from figures made up for them."""
    from brindle_tools.research import pages as research_pages, tables, walkforward

    where, _ = replayed

    def run(p, q, net, trips):
        return dict(dict.fromkeys(tables.FIGURES), p=p, q=q, status="ok", net=net, max_drawdown=10.0, fees=5.0,
                    round_trips=trips, engine_errors=0, trading_days="20241104 20241105",
                    daily_net="%r %r" % (net / 2, net / 2))

    points = tables.point_figures([run(1, 1, 90.0, 40), run(1, 2, -50.0, 4), run(2, 1, 30.0, 40),
                                   run(2, 2, 0.0, 40)], ["p", "q"], 1e6)
    research_pages.write_sweep(where / "sweep.html", tables.ranking(points, "net"), points,
                               {"p": [1, 2], "q": [1, 2]}, ["p", "q"], "net", "Sweep of p, q")
    windows = [{"window": 1, "train_days": "20241104..20241105", "test_days": "20241106", "p": 1, "in_net": 160.0,
                "out_net": -120.0, "error": ""}]
    equity = [{"trading_day": "20241106", "window": 1, "net": -120.0, "equity": -120.0}]
    spans = [(["20241104", "20241105"], ["20241106"])]
    verdict = walkforward.judged(windows, equity, spans, ["p"], 1e6, [])
    research_pages.write_walk_forward(where / "walkforward.html", windows, equity, spans, verdict, "Walk-forward")
    return {"replay": where / "out" / "report.html", "sweep": where / "sweep.html",
            "walk-forward": where / "walkforward.html"}


PANELS = {"replay": ("price and fills", "position (lots", "margin held", "equity net of fees", "drawdown",
                     "profit per trading day", "Instruments", "Fills", "Round trips"),
          "sweep": ("Ranking by net", "few_round_trips", "net over p and q", "equity of the top"),
          "walk-forward": ("net per day in and out of sample", "out-of-sample days joined", "Windows",
                           "windows that made money")}


@pytest.mark.browser
@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed (scripts/ensure-deps test installs it)")
@pytest.mark.parametrize("kind", PANELS)
def test_a_browser_opens_each_report_offline_without_script_errors(pages, kind, tmp_path):
    url = pages[kind].as_uri()
    dom, log = chromium(tmp_path, "--dump-dom", url)
    errors = [line for line in log.splitlines() if "CONSOLE" in line and re.search(r"error|uncaught", line, re.I)]
    assert not errors
    for panel in PANELS[kind]:
        assert panel in dom
    assert "class=\"main-svg\"" in dom  # plotly drew
    shot = tmp_path / "report.png"
    chromium(tmp_path, "--screenshot=%s" % shot, "--window-size=1300,2600", "--hide-scrollbars", url)
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
