"""The research road (--engine native) against the exact engine: drawn strategies and tick
streams, the sample days, and the runs that the road hands to the exact engine."""
import subprocess
import sys

import pytest

from harness import roads
from harness.paths import REPO, SAMPLE_HOST

TESTS = REPO / "tests"


def test_drawn_strategies_and_ticks_give_the_same_outputs_on_both_roads(run_python):
    code = "import sys\nsys.path.insert(0, %r)\nfrom harness.road_cases import main\nmain(40)" % str(TESTS)
    proc = run_python(code, files={"instruments.csv": (REPO / "samples" / "instruments.csv").read_text("utf-8")},
                      timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_sample_days_and_their_chart_are_the_same_and_engine_fills_take_the_exact_engine(tmp_path):
    ticks = tmp_path / "days.csv"
    subprocess.run([sys.executable, "-m", "brindle_tools", "sample", "--days", "3", str(ticks)], cwd=REPO, check=True,
                   capture_output=True)
    printed = {}
    for engine in ("exact", "native"):
        proc = subprocess.run([sys.executable, "-m", "brindle_tools", "replay", str(ticks), "--host", str(SAMPLE_HOST), "--fees",
                               str(REPO / "samples" / "fees.csv"), "--out", str(tmp_path / engine),
                               "--engine", engine], cwd=REPO, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        printed[engine] = proc.stdout
    roads.assert_same(tmp_path / "exact", tmp_path / "native")
    # The chart draws each minute's equity, its extremes and each instrument's prices.
    assert (tmp_path / "exact" / "chart.png").read_bytes() == (tmp_path / "native" / "chart.png").read_bytes()
    assert "engine        native: 16 of 16 strategy texts compiled" in printed["native"]
    # One day of the file: the other days' rows left out alike on both roads.
    for engine in ("exact", "native"):
        proc = subprocess.run([sys.executable, "-m", "brindle_tools", "replay", str(ticks), "--host", str(SAMPLE_HOST),
                               "--days", "20241108", "--out", str(tmp_path / ("day-" + engine)), "--engine", engine,
                               "--no-chart"], cwd=REPO, capture_output=True, text=True)
        assert proc.returncode == 0 and "trading days  1: 20241108" in proc.stdout, proc.stderr
    roads.assert_same(tmp_path / "day-exact", tmp_path / "day-native")
    proc = subprocess.run([sys.executable, "-m", "brindle_tools", "replay", str(ticks), "--host", str(SAMPLE_HOST), "--fills", "engine",
                           "--out", str(tmp_path / "engine"), "--engine", "native", "--no-chart"], cwd=REPO,
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert "the engine's own fill model needs the exact engine" in proc.stderr


TICKS = "TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n" + "".join(
    "%s,rb2501,%s,%d,%d,%d,5,%d,5\n" % (day, time, price, volume, price - 1, price + 1)
    for day in ("20241107", "20241108")
    for time, price, volume in (("09:00:00", 100, 1), ("09:00:01", 101, 2), ("09:00:02", 103, 4), ("09:00:03", 102, 5)))


def settings(buy_open, extra=""):
    table = {"rb2501": {
        "buy_open_express": buy_open, "buy_open_price": "AskPrice1", "buy_open_vol": 1,
        "sell_open_express": "False", "sell_open_price": "BidPrice1", "sell_open_vol": 1,
        "buy_close_express": "False", "buy_close_price": "AskPrice1", "buy_close_vol": 1,
        "sell_close_express": "LastPrice_Cur_Down >= 1", "sell_close_price": "BidPrice1", "sell_close_vol": 1}}
    return roads.settings_module(table, extra)


@pytest.mark.parametrize("buy_open, extra, said", [
    ("LastPrice_Cur_Up >= 2", "", "engine        native: 8 of 8 strategy texts compiled"),
    ("LastPrice // 1 > 101", "", "Python evaluates buy_open_express of rb2501 (uses //)"),
    ("len(trade_book) > 2", "", "the native engine cannot replay this (buy_open_express of rb2501 reads trade_book)"),
    # A table that the settings module makes anew, different after some executions.
    ("LastPrice_Cur_Up >= 2", "import sys\n_runs = sys.modules.setdefault('_runs', [0])\n_runs[0] += 1\n"
                              "AI_Strategy['00001']['rb2501']['buy_open_vol'] = 1 if _runs[0] < 2 else 2\n",
     "the native engine cannot replay this (the strategy table changed on trading day 20241108)"),
])
def test_the_road_says_which_texts_native_code_evaluates_and_when_the_exact_engine_replays(run_python, buy_open,
                                                                                           extra, said):
    proc = run_python("import sys\nfrom brindle_tools.commands.replay import main\nsys.exit(main(%r))" % (
        ["ticks.csv", "--instruments", "instruments.csv", "--no-chart", "--engine", "native"],),
        files={"ticks.csv": TICKS, "cfg/oxa_can_change_env.py": settings(buy_open, extra),
               "instruments.csv": (REPO / "samples" / "instruments.csv").read_text("utf-8")})
    assert proc.returncode == 0, proc.stderr
    assert said in proc.stdout + proc.stderr


def test_files_of_different_columns_keep_a_field_of_the_other_file_on_both_roads(run_python):
    # rb2501's ticks come from two files; only the first has Tag, which a Python-evaluated
    # text reads: on the other file's ticks it keeps the first file's last value.
    header = "TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1"
    first = header + ",Tag\n" + "".join("20241107,rb2501,09:00:%02d,%d,%d,99,5,101,5,%s\n" % (
        second, 100 + second % 3, second, "go" if second % 4 == 0 else "wait") for second in range(0, 40, 2))
    second = header + "\n" + "".join("20241107,rb2501,09:00:%02d,%d,%d,99,5,101,5\n" % (
        second, 100 + second % 3, second) for second in range(1, 40, 2))
    files = {"a.csv": first, "b.csv": second, "cfg/oxa_can_change_env.py": settings("Tag == 'go'"),
             "instruments.csv": (REPO / "samples" / "instruments.csv").read_text("utf-8")}
    args = ["a.csv", "b.csv", "--instruments", "instruments.csv", "--no-chart"]

    def code(argv):
        return "import sys\nfrom brindle_tools.commands.replay import main\nsys.exit(main(%r))" % (argv,)

    proc = roads.compared(code, args, run_python(code(args), files=files), files)
    assert proc.returncode == 0, proc.stderr
    assert "sell_close" in (proc.where / "replay-out" / "decisions.csv").read_text()
