"""The parameter sweep: one table of runs, ranked and drawn, the same on this machine and on a
Ray cluster; lost replays and lost Ray workers retried a bounded number of times; failures as
rows; an interrupted sweep resumed; bad grids refused before any run."""
import csv
import os
import signal
import subprocess
import sys
import time

import pytest

from harness.host import copy_sample_host
from harness.paths import REPO
from harness.ray_head import LOOPBACK_ONLY, RayCluster, RayUnavailable
from brindle_tools import sample, sweep

# Appended to the sample host's settings module. In a replay started by the sweep it kills
# the replay at open_ticks=4 every time, hangs at open_ticks=9, and kills a Ray worker
# running a replay once.
KILLER = '''
import os as _os, signal as _signal, sys as _sys, time as _time
if _sys.argv[0].endswith(_os.path.join("brindle_tools", "__main__.py")):
    if "open_ticks=4" in _sys.argv:
        _os.kill(_os.getpid(), _signal.SIGKILL)
    if "open_ticks=9" in _sys.argv:
        _time.sleep(120)
    if not _os.path.exists(%(marker)r):
        with open("/proc/%%d/cmdline" %% _os.getppid(), "rb") as _parent:
            if _parent.read().startswith(b"ray::"):
                open(%(marker)r, "w").close()
                _os.kill(_os.getppid(), _signal.SIGKILL)
'''
GRID = ["--grid", "open_ticks=2,3", "--grid", "close_ticks=1..2"]


@pytest.fixture(scope="module")
def place(tmp_path_factory):
    """A directory with two short sessions and a host whose settings module holds KILLER."""
    root = tmp_path_factory.mktemp("sweep")
    for seed in (1, 2):
        with open(root / ("day%d.csv" % seed), "w", newline="") as out:
            writer = csv.writer(out, lineterminator="\n")
            writer.writerow(sample.COLUMNS)
            for _, row in zip(range(400), sample.session(seed)):
                writer.writerow(row)
    host = copy_sample_host(root / "host")
    settings = host / "cfg" / "oxa_can_change_env.py"
    settings.write_text(settings.read_text() + KILLER % {"marker": str(root / "ray-worker-killed")})
    return root


def start_sweep(place, *args):
    return subprocess.Popen([sys.executable, "-m", "replay.sweep", "--host", "host", *args], cwd=place,
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
    proc = run_sweep(place, "day1.csv", "day2.csv", *GRID, "--heatmap", "open_ticks,close_ticks", "--out", "local")
    assert proc.returncode == 0, proc.stdout + proc.stderr
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


def test_local_sweep_table_ranking_heatmap_and_resume(place, local_table):
    import pyarrow.parquet

    proc, text = local_table
    out = place / "local"
    rows = read_csv(out / "runs.csv")
    # Run order: the grid's points in order, then the tick files.
    assert [(r["open_ticks"], r["close_ticks"], r["tick_file"]) for r in rows] == [
        (o, c, "day%d.csv" % d) for o in "23" for c in "12" for d in (1, 2)]
    assert {r["status"] for r in rows} == {"ok"} and all(r["ticks"] == "400" for r in rows)
    assert len({r["net"] for r in rows}) > 1  # the parameters reached the strategy
    parquet = pyarrow.parquet.read_table(out / "runs.parquet").to_pylist()
    assert [(p["open_ticks"], p["tick_file"], p["net"]) for p in parquet] == [
        (int(r["open_ticks"]), r["tick_file"], float(r["net"])) for r in rows]

    ranking = read_csv(out / "ranking.csv")
    nets = [float(r["net"]) for r in ranking]
    assert len(ranking) == 4 and nets == sorted(nets, reverse=True)
    best = ranking[0]
    assert nets[0] == sum(float(r["net"]) for r in rows
                          if (r["open_ticks"], r["close_ticks"]) == (best["open_ticks"], best["close_ticks"]))
    assert (out / "heatmap.png").read_bytes()[:4] == b"\x89PNG"

    # Interrupted after five runs: the resumed sweep runs the other three, to the same table.
    (out / "runs.csv").write_text("".join(text.splitlines(keepends=True)[:6]))
    again = run_sweep(place, "day1.csv", "day2.csv", *GRID, "--out", "local")
    assert again.returncode == 2 and "local already holds a sweep: --resume finishes it" in again.stderr
    resumed = run_sweep(place, "day1.csv", "day2.csv", *GRID, "--out", "local", "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert "8 runs (3 to do)" in resumed.stdout
    assert (out / "runs.csv").read_text() == text
    other = run_sweep(place, "day1.csv", *GRID, "--out", "local", "--resume")
    assert other.returncode == 2 and "holds a sweep of other tick files, grid or replay options" in other.stderr


def test_ray_gives_the_local_table_and_retries_a_lost_worker(place, local_table, ray_cluster):
    proc = run_sweep(place, "day1.csv", "day2.csv", *GRID, "--out", "ray", "--ray", ray_cluster.address)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert (place / "ray-worker-killed").exists()  # a worker died in the middle of a task ...
    assert (place / "ray" / "runs.csv").read_text() == local_table[1]  # ... which ran again

    # Files through the object store: the same rows; a tick file that cannot be read is a failed row.
    proc = run_sweep(place, "day2.csv", "missing.csv", "--grid", "open_ticks=3", "--grid", "close_ticks=2",
                     "--out", "shipped", "--ray", ray_cluster.address, "--ship")
    assert proc.returncode == 1, proc.stdout + proc.stderr
    shipped = read_csv(place / "shipped" / "runs.csv")
    local = [r for r in read_csv(place / "local" / "runs.csv")
             if (r["open_ticks"], r["close_ticks"], r["tick_file"]) == ("3", "2", "day2.csv")]
    assert shipped[0] == local[0]
    assert (shipped[1]["status"], shipped[1]["error"]) == (
        "failed", "cannot read the tick file missing.csv: no such file")


def test_failed_runs_are_rows_with_their_error(place):
    proc = run_sweep(place, "day1.csv", "missing.csv", "--grid", "open_ticks=3,4", "--grid", "close_ticks=2",
                     "--retries", "1", "--out", "failing")
    assert proc.returncode == 1, proc.stdout + proc.stderr
    rows = [(r["open_ticks"], r["tick_file"], r["status"], r["error"]) for r in read_csv(place / "failing" / "runs.csv")]
    missing = "cannot read the tick file missing.csv: no such file"
    killed = "the replay was killed by signal SIGKILL (2 attempts)"
    assert rows == [("3", "day1.csv", "ok", ""), ("3", "missing.csv", "failed", missing),
                    ("4", "day1.csv", "failed", killed), ("4", "missing.csv", "failed", killed)]
    # The point with failed runs ranks last.
    assert [r["open_ticks"] for r in read_csv(place / "failing" / "ranking.csv")] == ["3", "4"]


def test_ctrl_c_keeps_the_finished_rows_and_stops_the_replays(place):
    proc = start_sweep(place, "day1.csv", "--grid", "open_ticks=3,9", "--workers", "2", "--out", "stopped")
    table = place / "stopped" / "runs.csv"
    deadline = time.monotonic() + 120
    while not (table.exists() and len(table.read_text().splitlines()) == 2) and time.monotonic() < deadline:
        time.sleep(0.1)
    proc.send_signal(signal.SIGINT)  # to the sweep alone: it stops the replay that hangs
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 130, stderr
    assert "sweep: interrupted; 1 of 2 runs in stopped/runs.csv: --resume runs the rest" in stderr
    assert [(r["open_ticks"], r["status"]) for r in read_csv(table)] == [("3", "ok")]


@pytest.mark.parametrize("args, message", [
    (["--grid", "open_tics=2,3"],
     "sweep: parameter open_tics: no expression of investor 00001's strategies in host/cfg/oxa_can_change_env.py "
     "reads it"),
    ([], "sweep: an empty grid: give each parameter to vary with --grid NAME=V1,V2,..."),
    (["--grid", "open_ticks=5..2"], "sweep: --grid open_ticks=5..2: the range 5..2 is empty (a..b needs a <= b)"),
    (["--grid", "open_ticks=2,,3"], "sweep: --grid open_ticks=2,,3: an empty value"),
    (["--grid", "open_ticks=2", "--heatmap", "open_ticks,x"], "sweep: --heatmap open_ticks,x: name two different"),
    (["--grid", "open_ticks=2", "--ray", "127.0.0.1:1"], "sweep: cannot reach the Ray cluster at 127.0.0.1:1: "),
])
def test_bad_input_is_refused_before_any_run(place, args, message):
    proc = run_sweep(place, "day1.csv", *args, "--out", "refused")
    assert proc.returncode == 2 and proc.stderr.startswith(message), proc.stderr
    assert not (place / "refused").exists()


def test_grid_values_sample_and_figures_of_both_summaries():
    assert sweep.parse_values("p", "1..7/3, 2.5, 'a', x, 1") == [1, 4, 7, 2.5, "a", "x"]
    grid = {"a": [0, 1, 2], "b": [0, 1, 2, 3]}
    sampled = sweep.grid_points(grid, 5, seed=7)
    assert len(set(sampled)) == 5 and sampled == sorted(sampled) and sampled == sweep.grid_points(grid, 5, seed=7)
    assert set(sampled) <= set(sweep.grid_points(grid, None, 0))

    today = {"realised_profit": 30.0, "open_profit": -50.0, "orders": {"filled": 7}, "ticks": 15,
             "engine_log": {"errors": 0}}
    assert sweep.figures(today) == dict(
        trading_days="", net=-20.0, gross=-20.0, fees=0.0, max_drawdown=None, max_drawdown_percent=None, sharpe=None,
        round_trips=None, fills=7, win_rate=None, profit_factor=None, turnover=None, ticks=15, engine_errors=0)
    backtest = dict(today, trading_days=["20241105", "20241106"], profit={"gross": 12.0, "fees": 2.0, "net": 10.0},
                    max_drawdown={"money": 40.0, "percent": 0.4}, sharpe=None, round_trips=3, win_rate=0.5,
                    profit_factor=1.5, turnover=1e6)
    assert sweep.figures(backtest) == dict(
        trading_days="20241105 20241106", net=10.0, gross=12.0, fees=2.0, max_drawdown=40.0, max_drawdown_percent=0.4,
        sharpe=None, round_trips=3, fills=7, win_rate=0.5, profit_factor=1.5, turnover=1e6, ticks=15, engine_errors=0)
