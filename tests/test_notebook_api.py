"""The notebook API gives what the command lines write: the replay's fills, decisions and
per-day figures, the sweep's runs and ranking."""
import json
import os
import subprocess
import sys

from harness.host import copy_sample_host
from harness.paths import REPO

SCRIPT = '''
import json, sys
import pyarrow.csv
import brindle_tools as bt

fees = sys.argv[1]
result = bt.backtest("day.csv", host="host", fees=fees, set={"open_ticks": 2}, cancel_after=30)
replayed = {name: pyarrow.csv.read_csv("cli/%s.csv" % name).to_pylist() for name in ("fills", "decisions")}
runs, ranking = bt.sweep("day.csv", grid={"open_ticks": [2, 3]}, host="host", fees=fees, workers=1, out="swept")
try:
    bt.backtest("day.csv", host="host", set={"open_ticks": "x"})
    refused = None
except ValueError as error:
    refused = str(error)
json.dump({"fills": result.fills.to_pylist() == replayed["fills"] and len(replayed["fills"]) > 0,
           "decisions": result.decisions.to_pylist() == replayed["decisions"],
           "per_day": result.per_day.to_pylist(), "profit": result.summary["profit"],
           "equity_last": result.equity.column("equity")[-1].as_py(),
           "runs": runs.to_pylist() == pyarrow.csv.read_csv("swept/runs.csv").to_pylist(),
           "ranking": ranking.to_pylist() == pyarrow.csv.read_csv("swept/ranking.csv").to_pylist(),
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
    assert found["fills"] and found["decisions"] and found["runs"] and found["ranking"]
    assert found["profit"] == summary["profit"] and found["per_day"] == summary["per_day"]
    assert abs(found["equity_last"] - summary["profit"]["net"]) < 1e-6
    assert found["refused"] == "--set open_ticks='x': 'x' is text, and open_ticks's default 3 is a number"
