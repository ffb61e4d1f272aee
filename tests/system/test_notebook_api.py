"""The notebook API gives, from memory, what the command lines write: the replay's fills,
decisions, summary and per-day figures, the sweep's runs and ranking; and each command form
(installed command, python3 -m brindle_tools, backtest()) falls back from the native engine
alike, with a host named relative to the working directory."""
import inspect
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import brindle_tools as bt
from harness.host import copy_sample_host
from harness.paths import REPO

SCRIPT = '''
import json, sys
import pyarrow.csv, pyarrow.parquet
import brindle_tools as bt

fees = sys.argv[1]
result = bt.backtest("day.csv", host="host", fees=fees, set={"open_ticks": 2}, cancel_after=30)
written = bt.backtest("day.csv", bt.ReplayOptions(host="host", fees=fees, set={"open_ticks": 2}), cancel_after=30,
                      out="api", chart=False)
replayed = {name: pyarrow.csv.read_csv("cli/%s.csv" % name).to_pylist() for name in ("fills", "decisions")}
swept = bt.sweep("day.csv", {"open_ticks": [2, 3]}, host="host", fees=fees, workers=1, out="swept")
try:
    bt.backtest("day.csv", host="host", set={"open_ticks": "x"})
    refused = None
except ValueError as error:
    refused = str(error)
same = lambda frame, path: frame.to_pylist() == pyarrow.csv.read_csv(path).to_pylist()
json.dump({"fills": result.fills.to_pylist() == replayed["fills"] and len(replayed["fills"]) > 0,
           "decisions": result.decisions.to_pylist() == replayed["decisions"],
           "written": same(written.fills, "api/fills.csv") and same(written.decisions, "api/decisions.csv"),
           "summary": written.summary, "per_day": result.per_day.to_pylist(), "profit": result.summary["profit"],
           "equity_last": result.equity.column("equity")[-1].as_py(),
           "runs": swept.runs.to_pylist() == pyarrow.parquet.read_table("swept/runs.parquet").to_pylist(),
           "ranking": same(swept.ranking, "swept/ranking.csv"),
           "refused": refused}, sys.stdout)
'''


def test_backtest_and_sweep_give_the_command_lines_outputs(tmp_path):
    from brindle_tools.feed import sample

    sample.write(tmp_path / "day.csv", 3)
    copy_sample_host(tmp_path / "host")
    fees = str(REPO / "samples" / "fees.csv")
    env = dict(os.environ, PYTHONPATH=str(REPO))
    replay = subprocess.run([sys.executable, "-m", "brindle_tools", "replay", "day.csv", "--host", "host", "--fees", fees,
                             "--set", "open_ticks=2", "--cancel-after", "30", "--out", "cli", "--no-chart"],
                            cwd=tmp_path, env=env, capture_output=True, text=True)
    assert replay.returncode == 0, replay.stderr
    api = subprocess.run([sys.executable, "-c", SCRIPT, fees], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert api.returncode == 0, api.stderr
    found = json.loads(api.stdout.splitlines()[-1])
    summary = json.loads((tmp_path / "cli" / "summary.json").read_text())
    assert found["fills"] and found["decisions"] and found["written"] and found["runs"] and found["ranking"]
    assert found["profit"] == summary["profit"] and found["per_day"] == summary["per_day"]
    assert json.loads((tmp_path / "api" / "summary.json").read_text())["profit"] == found["summary"]["profit"]
    assert sorted(p.name for p in (tmp_path / "api").iterdir()) == ["decisions.csv", "engine.log", "fills.csv",
                                                                   "instruments.csv", "summary.json"]
    assert abs(found["equity_last"] - summary["profit"]["net"]) < 1e-6
    assert found["refused"] == "--set open_ticks='x': 'x' is text, and open_ticks's default 3 is a number"


def test_the_public_surface_has_real_signatures():
    assert set(bt.__all__) <= set(dir(bt))
    for function in (bt.backtest, bt.sweep, bt.walk_forward):
        parameters = inspect.signature(function).parameters
        assert "ticks" in parameters and "options" in parameters and function.__doc__
    with pytest.raises(TypeError, match="fess"):
        bt.backtest("day.csv", fess="fees.csv")
    with pytest.raises(ValueError, match="--slippage: '-1' is not a number of 0 or more"):
        bt.backtest("day.csv", slippage=-1)


FALLBACK = '''
import sys
import brindle_tools as bt
result = bt.backtest("day.csv", host="host", engine="native", limits={"max_position": 1})
again = bt.backtest("day.csv", host="host", engine="native", limits={"max_position": 1})
print(result.summary["profit"] == again.summary["profit"], result.summary["fills"])
'''


@pytest.mark.parametrize("form", ["installed", "module", "notebook"])
def test_every_form_falls_back_to_the_exact_engine_with_a_relative_host(tmp_path, form):
    from brindle_tools.feed import sample

    sample.write(tmp_path / "day.csv", 3)
    copy_sample_host(tmp_path / "host")
    argv = ["day.csv", "--host", "host", "--engine", "native", "--limit", "max_position=1", "--out", "out"]
    installed = Path(sys.executable).parent / "brindle-replay"
    if form == "installed" and not installed.exists():
        pytest.skip("the environment has no brindle-replay: scripts/ensure-deps test installs it")
    command = {"installed": [str(installed)] + argv, "module": [sys.executable, "-m", "brindle_tools", "replay"] + argv,
               "notebook": [sys.executable, "-c", FALLBACK]}[form]
    done = subprocess.run(command, cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(REPO)), capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stderr
    assert ("the native engine cannot replay this (pre-trade risk limits" in done.stderr
            and "is not a host directory" not in done.stderr)
    if form == "notebook":
        assert done.stdout.split()[0] == "True"
    else:
        assert "exact (the native engine cannot: pre-trade risk limits" in done.stdout


@pytest.mark.parametrize("old", ["replay", "replay.sweep"])
def test_the_old_checkout_name_says_the_new_one(old):
    done = subprocess.run([sys.executable, "-m", old, "--help"], cwd=REPO, capture_output=True, text=True)
    assert done.returncode != 0 and "brindle-replay" in done.stderr and len(done.stderr.splitlines()) == 1
