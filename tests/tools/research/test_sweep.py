"""The parameter sweep: one table of runs, ranked and drawn, the same on this machine and on a
Ray cluster; lost replays and lost Ray workers retried a bounded number of times; failures as
rows; an interrupted sweep resumed; bad grids refused before any run."""
import argparse
import csv
import importlib.util
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from harness.host import copy_sample_host
from harness.paths import REPO
from harness.ray_head import LOOPBACK_ONLY, RayCluster, RayUnavailable
from brindle_tools.market import account
from brindle_tools.feed import sample
from brindle_tools.research import grid as sweep_grid, runs as sweep_runs
from brindle_tools.common.errors import UsageError

# Appended to the sample host's settings module. In a run of the sweep's workers it kills the
# worker at open_ticks=4 every time, hangs at open_ticks=9, and kills one local worker and one
# Ray actor once each, in the middle of a run.
KILLER = '''
import os as _os, signal as _signal, sys as _sys, time as _time


def _run_assignments():
    frame = _sys._getframe()
    while frame is not None:
        if frame.f_code.co_name == "replay_run":
            return ["%%s=%%r" %% item for item in frame.f_locals["overrides"]["set"].items()]
        frame = frame.f_back
    return ()


_set = _run_assignments()
if "open_ticks=4" in _set:
    _os.kill(_os.getpid(), _signal.SIGKILL)
if "open_ticks=9" in _set:
    _time.sleep(120)
if "open_ticks=3" in _set:
    with open("/proc/%%d/cmdline" %% _os.getppid(), "rb") as _parent:
        _in_ray = _parent.read().startswith(b"ray::")
    _marker = %(marker)r + ("-ray" if _in_ray else "-local")
    if not _os.path.exists(_marker):
        open(_marker, "w").close()
        _os.kill(_os.getppid() if _in_ray else _os.getpid(), _signal.SIGKILL)
'''
GRID = ["--grid", "open_ticks=2,3", "--grid", "close_ticks=1..2"]
FEES = ["--fees", str(REPO / "samples" / "fees.csv")]


def write_day(path, seed, trading_day, rows=400):
    with open(path, "w", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(sample.COLUMNS)
        for _, row in zip(range(rows), sample.session(seed)):
            writer.writerow([trading_day] + list(row[1:-1]) + [trading_day])


@pytest.fixture(scope="module")
def place(tmp_path_factory):
    """A directory with two short sessions of two trading days and a host whose settings
    module holds KILLER."""
    root = tmp_path_factory.mktemp("sweep")
    for seed in (1, 2):
        write_day(root / ("day%d.csv" % seed), seed, "2024110%d" % (3 + seed))
    host = copy_sample_host(root / "host")
    settings = host / "cfg" / "oxa_can_change_env.py"
    settings.write_text(settings.read_text() + KILLER % {"marker": str(root / "killed")})
    return root


def start_sweep(place, *args):
    return subprocess.Popen([sys.executable, "-m", "brindle_tools", "sweep", "--host", "host", *args], cwd=place,
                            env=dict(os.environ, PYTHONPATH=str(REPO), **LOOPBACK_ONLY), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def run_sweep(place, *args):
    proc = start_sweep(place, *args)
    proc.stdout, proc.stderr = proc.communicate(timeout=300)
    return proc


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


@pytest.fixture(scope="module")
def local_table(place):
    proc = run_sweep(place, "day1.csv", "day2.csv", *GRID, *FEES, "--heatmap", "open_ticks,close_ticks",
                     "--out", "local")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert (place / "killed-local").exists()  # a worker died in the middle of a run, which ran again
    return proc, (place / "local" / "runs.csv").read_text()


@pytest.fixture(scope="module")
def ray_cluster():
    cluster = RayCluster()
    try:
        cluster.start_head(cpus=2)
    except RayUnavailable as reason:
        cluster.stop()
        pytest.skip("Ray cannot start on this machine: %s" % reason)
    yield cluster
    cluster.stop()


def test_a_point_is_one_account_over_its_days_with_fees_ranked_and_resumed(place, local_table):
    import pyarrow.parquet

    proc, text = local_table
    out = place / "local"
    rows = read_csv(out / "runs.csv")
    assert [(r["open_ticks"], r["close_ticks"], r["tick_files"], r["trading_days"]) for r in rows] == [
        (o, c, "day1.csv .. day2.csv (2 files)", "20241104 20241105") for o in "23" for c in "12"]
    assert all(r["status"] == "ok" and r["ticks"] == "800" and float(r["fees"]) > 0 and r["engine"] == "exact"
               for r in rows)
    assert all(abs(float(r["net"]) - (float(r["gross"]) - float(r["fees"]))) < 1e-6 for r in rows)
    assert len({r["net"] for r in rows}) > 1  # the parameters reached the strategy

    # The row of a point is what one replay of both days with the same options reports.
    replay = subprocess.run([sys.executable, "-m", "brindle_tools", "replay", "day1.csv", "day2.csv", "--host", "host", *FEES,
                             "--set", "open_ticks=3", "--set", "close_ticks=2", "--out", "one", "--no-chart"],
                            cwd=place, env=dict(os.environ, PYTHONPATH=str(REPO)), capture_output=True, text=True)
    assert replay.returncode == 0, replay.stderr
    figures = sweep_runs.figures(json.loads((place / "one" / "summary.json").read_text()))
    row = next(r for r in rows if (r["open_ticks"], r["close_ticks"]) == ("3", "2"))
    assert {k: row[k] for k in figures} == {k: "" if v is None else str(v) for k, v in figures.items()}

    parquet = pyarrow.parquet.read_table(out / "runs.parquet").to_pylist()
    assert [(p["open_ticks"], p["net"]) for p in parquet] == [(int(r["open_ticks"]), float(r["net"])) for r in rows]
    ranking = read_csv(out / "ranking.csv")
    order = [(r["flags"] != "", -float(r["net"])) for r in ranking]
    assert len(ranking) == 4 and order == sorted(order)
    assert {r["basis"] for r in ranking} == {"one account over its days"}
    assert (out / "heatmap.png").read_bytes()[:4] == b"\x89PNG"

    # Interrupted after three runs: the resumed sweep runs the last one, to the same table.
    (out / "runs.csv").write_text("".join(text.splitlines(keepends=True)[:4]))
    again = run_sweep(place, "day1.csv", "day2.csv", *GRID, *FEES, "--out", "local")
    assert again.returncode == 2 and "local already holds a sweep: --resume finishes it" in again.stderr
    resumed = run_sweep(place, "day1.csv", "day2.csv", *GRID, *FEES, "--out", "local", "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert "= 4 runs (1 to do)" in resumed.stdout
    assert (out / "runs.csv").read_text() == text
    other = run_sweep(place, "day1.csv", "day2.csv", *GRID, "--out", "local", "--resume")
    assert other.returncode == 2 and "holds a sweep of other tick files, grid or replay options" in other.stderr


def test_a_process_per_run_gives_the_warm_workers_table(place, local_table):
    proc = run_sweep(place, "day1.csv", "day2.csv", *GRID, *FEES, "--out", "cold", "--runs-per-process", "1")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert (place / "cold" / "runs.csv").read_text() == local_table[1]


@pytest.fixture(scope="module")
def apart_table(place):
    proc = run_sweep(place, "day1.csv", "day2.csv", *GRID, *FEES, "--out", "apart", "--per-day")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return read_csv(place / "apart" / "runs.csv")


def test_days_apart_add_up_to_figures_from_the_daily_equity(place, apart_table):
    assert [r["tick_files"] for r in apart_table[:2]] == ["day1.csv", "day2.csv"] and len(apart_table) == 8
    for point in read_csv(place / "apart" / "ranking.csv"):
        runs = [r for r in apart_table if (r["open_ticks"], r["close_ticks"]) == (point["open_ticks"],
                                                                                  point["close_ticks"])]
        assert float(point["net"]) == pytest.approx(sum(float(r["net"]) for r in runs))
        returns = [float(r["daily_net"]) / account.DEFAULT_CAPITAL for r in runs]
        mean = sum(returns) / 2
        deviation = math.sqrt(sum((r - mean) ** 2 for r in returns))
        assert float(point["sharpe"]) == pytest.approx(mean / deviation * math.sqrt(account.TRADING_DAYS_PER_YEAR),
                                                       rel=1e-5)
        assert float(point["max_drawdown"]) >= max(float(r["max_drawdown"]) for r in runs)
        assert point["basis"].startswith("days replayed apart")


def test_ray_gives_the_local_table_and_retries_a_lost_actor(place, local_table, apart_table, ray_cluster):
    proc = run_sweep(place, "day1.csv", "day2.csv", *GRID, *FEES, "--out", "ray", "--ray", ray_cluster.address)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert (place / "killed-ray").exists()  # an actor died in the middle of a run ...
    assert (place / "ray" / "runs.csv").read_text() == local_table[1]  # ... which ran again

    # Files through the object store: the same rows; a tick file that cannot be read is a failed row.
    proc = run_sweep(place, "day2.csv", "missing.csv", "--grid", "open_ticks=3", "--grid", "close_ticks=2", *FEES,
                     "--per-day", "--out", "shipped", "--ray", ray_cluster.address, "--ship")
    assert proc.returncode == 1, proc.stdout + proc.stderr
    shipped = read_csv(place / "shipped" / "runs.csv")
    local = [r for r in apart_table if (r["open_ticks"], r["close_ticks"], r["tick_files"]) == ("3", "2", "day2.csv")]
    assert shipped[0] == local[0]
    assert (shipped[1]["status"], shipped[1]["error"]) == (
        "failed", "cannot read the tick file missing.csv: no such file")

    # A walk-forward chooses and measures the same on Ray.
    for where in (["--out", "walk-local"], ["--out", "walk-ray", "--ray", ray_cluster.address]):
        proc = run_sweep(place, "day1.csv", "day2.csv", *GRID, *FEES, "--train", "1", "--test", "1", *where)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    assert (place / "walk-ray" / "walkforward.csv").read_text() == (place / "walk-local" / "walkforward.csv").read_text()


def test_failed_runs_are_rows_with_their_error(place):
    proc = run_sweep(place, "day1.csv", "missing.csv", "--grid", "open_ticks=3,4", "--grid", "close_ticks=2",
                     "--retries", "1", "--per-day", "--workers", "1", "--out", "failing")
    assert proc.returncode == 1, proc.stdout + proc.stderr
    rows = [(r["open_ticks"], r["tick_files"], r["status"], r["error"])
            for r in read_csv(place / "failing" / "runs.csv")]
    missing = "cannot read the tick file missing.csv: no such file"
    killed = "the replay was killed by signal SIGKILL (2 attempts)"
    assert rows == [("3", "day1.csv", "ok", ""), ("3", "missing.csv", "failed", missing),
                    ("4", "day1.csv", "failed", killed), ("4", "missing.csv", "failed", killed)]
    # The point with failed runs ranks last.
    assert [r["open_ticks"] for r in read_csv(place / "failing" / "ranking.csv")] == ["3", "4"]


def test_a_run_the_native_engine_cannot_take_names_the_engine_it_took(place):
    proc = run_sweep(place, "day1.csv", "--grid", "open_ticks=3", "--engine", "native", "--fills", "engine",
                     "--out", "fallback")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    taken = "exact (the native engine cannot: the engine's own fill model needs the exact engine)"
    assert [r["engine"] for r in read_csv(place / "fallback" / "runs.csv")] == [taken]
    assert "engine: 1 run " + taken in proc.stdout


def test_ctrl_c_keeps_the_finished_rows_and_stops_the_replays(place):
    proc = start_sweep(place, "day1.csv", "--grid", "open_ticks=3,9", "--workers", "2", "--out", "stopped")
    table = place / "stopped" / "runs.csv"
    deadline = time.monotonic() + 120
    while not (table.exists() and len(table.read_text().splitlines()) == 2) and time.monotonic() < deadline:
        time.sleep(0.1)
    proc.send_signal(signal.SIGINT)  # to the sweep alone: it stops the replay that hangs
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 130, stderr
    assert "brindle-sweep: interrupted; 1 of 2 runs in stopped/runs.csv: --resume runs the rest" in stderr
    assert [(r["open_ticks"], r["status"]) for r in read_csv(table)] == [("3", "ok")]


@pytest.mark.parametrize("args, message", [
    (["--grid", "open_tics=2,3"],
     "brindle-sweep: parameter open_tics: no expression of investor 00001's strategies in host/cfg/oxa_can_change_env.py "
     "reads it"),
    ([], "brindle-sweep: an empty grid: give each parameter to vary with --grid NAME=V1,V2,..."),
    (["--grid", "open_ticks=5..2"], "brindle-sweep: --grid open_ticks=5..2: the range 5..2 is empty (a..b needs a <= b)"),
    (["--grid", "open_ticks=2,,3"], "brindle-sweep: --grid open_ticks=2,,3: an empty value"),
    (["--grid", "open_ticks=2", "--heatmap", "open_ticks,x"], "brindle-sweep: --heatmap open_ticks,x: name two different"),
    (["--grid", "open_ticks=2", "--ray", "127.0.0.1:1"], "brindle-sweep: cannot reach the Ray cluster at 127.0.0.1:1: "
     if importlib.util.find_spec("ray") else "brindle-sweep: --ray needs Ray: "),  # Ray has no release for every Python
    # Values the strategy cannot use, or that runs.csv could not tell apart, and grids too large.
    (["--grid", "open_ticks=1..10/-1"], "brindle-sweep: --grid open_ticks=1..10/-1: 1..10/-1 is neither a Python literal"),
    (["--grid", "open_ticks='a,b'"], "brindle-sweep: --grid open_ticks='a,b': 'a is neither a Python literal"),
    (["--grid", "open_ticks=x"], "brindle-sweep: --grid open_ticks=x: 'x' is text, and open_ticks's default 3 is a number"),
    (["--grid", "open_ticks=3,3.0"], "brindle-sweep: --grid open_ticks=3,3.0: 3.0 and 3 are alike"),
    (["--grid", "open_ticks=1..100000000"], "brindle-sweep: the grid has 100,000,000 points, more than the 100,000"),
    (["--grid", "open_ticks=2", "--set", "open_ticks=3"], "brindle-sweep: open_ticks: given with --set and with --grid"),
    (["--grid", "open_ticks=2", "--timeout", "-5"], "usage: "),
    # Values runs.csv and runs.parquet could not hold exactly.
    (["--grid", "open_ticks=2,99999999999999999999999999"], "brindle-sweep: --grid open_ticks=2,99999999999999999999999999: "
     "99999999999999999999999999 is beyond the 64 bits"),
    (["--grid", "open_ticks=2,1e309"], "brindle-sweep: --grid open_ticks=2,1e309: inf is not a finite number"),
    (["--grid", "open_ticks=1..100000000000000000000", "--sample", "2"], "brindle-sweep: --grid open_ticks=1..100000000000"
     "000000000: 100000000000000000000 is beyond the 64 bits"),
])
def test_bad_input_is_refused_before_any_run(place, args, message):
    proc = run_sweep(place, "day1.csv", *args, "--out", "refused")
    assert proc.returncode == 2 and proc.stderr.startswith(message), proc.stderr
    assert not (place / "refused").exists()


@pytest.mark.parametrize("text", ["-5", "0", "nan", "x"])
def test_a_timeout_is_refused_as_what_it_must_be(text):
    from brindle_tools.replay.options import positive
    with pytest.raises(argparse.ArgumentTypeError, match="^%r is not a number above 0$" % text):
        positive(text)


@pytest.mark.parametrize("out, message", [
    ("day1.csv", "brindle-sweep: --out day1.csv is the input day1.csv: "),
    (".", "brindle-sweep: --out . holds the input day1.csv: "),
    ("/dev/null", "brindle-sweep: --out /dev/null is not a directory: "),
    ("x/" * 2100, "brindle-sweep: --out x/x/"),
])
def test_an_out_that_would_overwrite_files_or_cannot_be_made_is_refused_in_one_line(place, out, message):
    proc = run_sweep(place, "day1.csv", "--grid", "open_ticks=2", "--out", out)
    assert proc.returncode == 2 and proc.stderr.startswith(message) and proc.stderr.count("\n") == 1, proc.stderr


def test_a_row_cut_short_by_a_kill_is_run_again_on_resume(tmp_path):
    from brindle_tools.research import tables
    columns = tables.run_columns(["p"])
    path = tmp_path / "runs.csv"
    whole = ",".join({"p": "1", "tick_files": "a.csv", "status": "ok", "net": "5.0"}.get(c, "") for c in columns)
    path.write_text(",".join(columns) + "\n" + whole + "\n" + whole.replace("1", "2", 1)[:20] + "\n")
    runs = {("1", "a.csv"): ("one", {"p": 1}), ("2", "a.csv"): ("two", {"p": 2})}
    assert list(tables.read_finished(path, columns, ["p"], runs)) == ["one"]


@pytest.mark.parametrize("damage, message", [
    (("runs.csv", lambda text: text.replace(",ok,,exact,", ",ok,,exact,x", 1)), "local-damaged/runs.csv line 2 is damaged ("),
    (("runs.csv", lambda text: text + "\udcff"), "local-damaged/runs.csv is damaged: not UTF-8 text"),
    (("sweep.json", lambda text: text[:-5]), "local-damaged/sweep.json is damaged (Expecting"),
])
def test_resuming_over_damaged_tables_is_refused_in_one_line(place, local_table, damage, message):
    damaged = place / "local-damaged"
    shutil.rmtree(damaged, ignore_errors=True)
    shutil.copytree(place / "local", damaged)
    name, change = damage
    (damaged / name).write_bytes(change((damaged / name).read_text()).encode("utf-8", "surrogateescape"))
    proc = run_sweep(place, "day1.csv", "day2.csv", *GRID, *FEES, "--heatmap", "open_ticks,close_ticks",
                     "--out", "local-damaged", "--resume")
    assert proc.returncode == 2 and proc.stderr.startswith("brindle-sweep: " + message), proc.stderr


def test_grid_values_collisions_sample_and_figures_of_both_summaries():
    assert list(sweep_grid.parse_values("p", "1..7/3, 2.5, 'a', x, 1")) == [1, 4, 7, 2.5, "a", "x"]
    assert list(sweep_grid.parse_values("p", "1..9/2, 2..10/2")) == [1, 3, 5, 7, 9, 2, 4, 6, 8, 10]
    for alike in ("3, 3.0", "1..5, 5..9", "0..10/5, '5'", "True, 1"):
        with pytest.raises(UsageError):
            sweep_grid.parse_values("p", alike)
    huge = {"a": sweep_grid.parse_values("a", "1..100000000"), "b": sweep_grid.parse_values("b", "0..2")}
    sampled = list(sweep_grid.grid_points(huge, 5, seed=7))
    assert len(set(sampled)) == 5 and sampled == sorted(sampled) == list(sweep_grid.grid_points(huge, 5, seed=7))
    assert huge["a"][sampled[0][0]] == sampled[0][0] + 1
    with pytest.raises(UsageError):
        sweep_grid.check_size(huge, None)

    today = {"realised_profit": 30.0, "open_profit": -50.0, "orders": {"filled": 7}, "ticks": 15,
             "engine_log": {"errors": 0}}
    assert sweep_runs.figures(today) == dict(
        trading_days="", daily_net="", net=-20.0, gross=-20.0, fees=0.0, max_drawdown=None,
        max_drawdown_percent=None, sharpe=None, round_trips=None, fills=7, win_rate=None, profit_factor=None,
        turnover=None, ticks=15, engine_errors=0, peak_margin=None, peak_margin_share=None, funds_refused=None)
    backtest = dict(today, trading_days=["20241105", "20241106"], profit={"gross": 12.0, "fees": 2.0, "net": 10.0},
                    fills=9,
                    max_drawdown={"money": 40.0, "percent": 0.4}, sharpe=None, round_trips=3, win_rate=0.5,
                    profit_factor=1.5, turnover=1e6, per_day=[{"net": 12.5}, {"net": -2.5}],
                    funds={"peak_margin": 900.0, "peak_margin_share": 0.25, "refused": {"count": 4}})
    assert sweep_runs.figures(backtest) == dict(
        trading_days="20241105 20241106", daily_net="12.5 -2.5", net=10.0, gross=12.0, fees=2.0, max_drawdown=40.0,
        max_drawdown_percent=0.4, sharpe=None, round_trips=3, fills=9, win_rate=0.5, profit_factor=1.5, turnover=1e6,
        ticks=15, engine_errors=0, peak_margin=900.0, peak_margin_share=0.25, funds_refused=4)


# A strategy that holds one lot from 09:00 to 14:00, long at side=1 and short at side=-1.
SIDE_STRATEGY = '''
AI_Strategy = {"00001": {"rb2501": {
    "buy_open_express": "side == 1 and UpdateTime == '09:00:00'", "buy_open_price": "AskPrice1", "buy_open_vol": 1,
    "sell_open_express": "side == -1 and UpdateTime == '09:00:00'", "sell_open_price": "BidPrice1",
    "sell_open_vol": 1,
    "buy_close_express": "UpdateTime == '14:00:00'", "buy_close_price": "AskPrice1", "buy_close_vol": 1,
    "sell_close_express": "UpdateTime == '14:00:00'", "sell_close_price": "BidPrice1", "sell_close_vol": 1}}}
Strategy_Parameters = {"side": 1}
'''


def side_days(place, files):
    """A host holding SIDE_STRATEGY, and tick files {name: [days]}: rising days 20241104 and
    20241105 (100 -> 110 -> 120), then a falling 20241106 (120 -> 110)."""
    host = copy_sample_host(place / "host")
    settings = host / "cfg" / "oxa_can_change_env.py"
    settings.write_text(settings.read_text() + SIDE_STRATEGY)
    prices = {"20241104": (100, 110), "20241105": (110, 120), "20241106": (120, 110)}
    for name, days in files.items():
        with open(place / name, "w") as out:
            out.write("TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n")
            for day in days:
                morning, afternoon = prices[day]
                for number, (time_of_day, price) in enumerate(
                        [("09:00:0%d" % s, morning) for s in range(3)] + [("14:00:0%d" % s, afternoon) for s in range(3)]):
                    out.write("%s,rb2501,%s,%d,%d,%d,50,%d,50\n" % (day, time_of_day, price, 10 * number, price - 1,
                                                                     price + 1))


def test_walk_forward_measures_the_chosen_point_on_the_days_after(tmp_path):
    """Two rising days train, a falling one tests: long wins in sample and loses out of it."""
    side_days(tmp_path, {"rb2501_%s.csv" % day: [day] for day in ("20241104", "20241105", "20241106")})
    proc = run_sweep(tmp_path, ".", "--grid", "side=1,-1", "--train", "2", "--test", "1", "--out", "wf")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    [window] = read_csv(tmp_path / "wf" / "walkforward.csv")
    assert (window["train_days"], window["test_days"], window["side"]) == ("20241104..20241105", "20241106", "1")
    assert float(window["in_net"]) == 2 * (109 - 101) * 10 and float(window["out_net"]) == (109 - 121) * 10
    assert read_csv(tmp_path / "wf" / "walkforward_equity.csv") == [
        {"trading_day": "20241106", "window": "1", "net": "-120.0", "equity": "-120.0"}]
    assert len(read_csv(tmp_path / "wf" / "runs.csv")) == 3 and (tmp_path / "wf" / "walkforward.png").exists()


def test_a_file_of_several_days_is_split_by_its_trading_days_and_the_walk_forward_judged(tmp_path):
    side_days(tmp_path, {"rising.csv": ["20241104", "20241105"], "rb2501_20241106.csv": ["20241106"]})
    apart = run_sweep(tmp_path, "rising.csv", "--grid", "side=1", "--per-day", "--out", "apart")
    assert apart.returncode == 0, apart.stdout + apart.stderr
    assert [(r["tick_files"], r["trading_days"], float(r["net"])) for r in read_csv(tmp_path / "apart" / "runs.csv")] \
        == [("rising.csv [20241104]", "20241104", 80.0), ("rising.csv [20241105]", "20241105", 80.0)]

    proc = run_sweep(tmp_path, ".", "--grid", "side=1,-1", "--train", "1", "--test", "1", "--out", "wf")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    windows = read_csv(tmp_path / "wf" / "walkforward.csv")
    assert [(w["window"], w["train_days"], w["test_days"], w["side"], float(w["out_net"])) for w in windows] == [
        ("1", "20241104", "20241105", "1", 80.0), ("2", "20241105", "20241106", "1", -120.0)]
    runs = read_csv(tmp_path / "wf" / "runs.csv")
    assert {(r["window"], r["tick_files"]) for r in runs if r["sample"] == "out"} == {
        ("1", "rising.csv [20241105]"), ("2", "rb2501_20241106.csv")}
    # The verdict, recomputed from the windows.
    verdict = json.loads((tmp_path / "wf" / "walkforward.json").read_text())
    outs, ins = [float(w["out_net"]) for w in windows], [float(w["in_net"]) for w in windows]
    assert verdict["out_of_sample"]["net"] == sum(outs) == -40.0
    assert verdict["winning_windows"] == sum(o > 0 for o in outs) / len(outs) == 0.5
    assert verdict["efficiency"] == (sum(outs) / 2) / (sum(ins) / 2) == -0.25
    assert verdict["distinct_points_chosen"] == 1 and verdict["untested_days"] == []
    assert "untested" not in proc.stdout and "windows that made money: 50% of 2" in proc.stdout

    anchored = run_sweep(tmp_path, ".", "--grid", "side=1,-1", "--train", "1", "--test", "1", "--anchored",
                         "--out", "anchored")
    assert [(w["train_days"], w["test_days"]) for w in read_csv(tmp_path / "anchored" / "walkforward.csv")] == [
        ("20241104", "20241105"), ("20241104..20241105", "20241106")]
    into_sweep = run_sweep(tmp_path, ".", "--grid", "side=1,-1", "--train", "1", "--test", "1", "--out", "apart")
    assert into_sweep.returncode == 2 and "apart holds a sweep's outputs (sweep.json)" in into_sweep.stderr


def test_a_run_whose_strategy_fails_is_a_failed_run_naming_its_key(tmp_path):
    side_days(tmp_path, {"rb2501_20241104.csv": ["20241104"]})
    with open(tmp_path / "host" / "cfg" / "oxa_can_change_env.py", "a") as settings:
        settings.write('AI_Strategy["00001"]["rb2501"]["buy_open_express"] = "1 / side > 0"\n')
    proc = run_sweep(tmp_path, ".", "--grid", "side=0,1", "--out", "failing")
    assert proc.returncode == 1, proc.stdout + proc.stderr
    failed, ok = read_csv(tmp_path / "failing" / "runs.csv")
    assert failed["status"] == "failed" and "buy_open_express" in failed["error"] and "ZeroDivisionError" in \
        failed["error"] and ok["status"] == "ok"


def test_rankings_flag_what_says_little_and_rank_it_after():
    from brindle_tools.research import tables
    from brindle_tools.research.sweep import SweepOptions

    def row(p, net, drawdown, trips, errors=0):
        return dict(dict.fromkeys(tables.FIGURES), p=p, status="ok", net=net, max_drawdown=drawdown, round_trips=trips,
                    engine_errors=errors, sharpe=1.5, trading_days="20241104 20241105", daily_net="%r 0.0" % net)

    points = tables.point_figures([row(1, 900.0, 10.0, 4), row(2, 500.0, 50.0, 40), row(3, 800.0, 900.0, 50),
                                   row(4, 700.0, 5.0, 30, errors=3)], ["p"], 1e6)
    assert [(v[0], e["flags"]) for v, e in tables.ranking(points, "net")] == [
        (2, ""), (1, "few_round_trips"), (3, "drawdown_over_net"), (4, "strategy_errors")]
    assert [v[0] for v, _ in tables.ranking(points, "net", rank_all=True)] == [1, 3, 4, 2]
    text = tables.ranking_text(tables.ranking(points, "net"), ["p"], "net")
    assert "round_trips" in text.splitlines()[0] and "*" in text and "fewer than 10 round trips" in text
    for fields, message in [({"train": 1, "test": 1, "rank": "sharpe"}, "needs two trading days"),
                            ({"train": 2, "test": 1, "heatmap": "a,b"}, "--heatmap draws a sweep's ranking"),
                            ({"anchored": True}, "--anchored goes with --train")]:
        with pytest.raises(ValueError, match=message):
            SweepOptions(**fields).checked()


def test_a_warm_worker_keeps_parsed_ticks_until_the_file_changes(tmp_path, monkeypatch):
    from brindle_tools.feed import ticks
    from brindle_tools.feed.inputs import field_types
    from oxa import py_ApiStructure

    path = tmp_path / "rb2501_20241105.csv"
    path.write_text("UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
                    "09:00:00,100,1,99,1,101,1\n09:00:01,-5,2,99,1,101,1\n09:00:02,101,3,100,1,102,1\n")
    monkeypatch.setattr(ticks, "KEPT", None)
    ticks.keep_batches(1 << 20)

    def read():
        source = ticks.TickSource([path], field_types(py_ApiStructure.DepthMarketDataField), skip_bad=True)
        return [(time, tick["LastPrice"], values) for time, _, _, _, tick, values in source], source.bad

    first = read()
    assert first[1] == {"LastPrice negative": [1, "%s line 3" % path]}
    assert read() == first and len(ticks.KEPT.files) == 1  # the bad tick counted again, as read
    time.sleep(0.01)
    with open(path, "a") as f:
        f.write("09:00:03,102,4,101,1,103,1\n")
    assert [price for _, price, _ in read()[0]] == [100.0, 101.0, 102.0]
