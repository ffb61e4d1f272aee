"""The research road (--engine native) against the exact engine: drawn strategies and tick
streams, the sample days, and the runs that the road hands to the exact engine."""
import subprocess
import sys

from harness import roads
from harness.paths import REPO, SAMPLE_HOST

TESTS = REPO / "tests"


def test_drawn_strategies_and_ticks_give_the_same_outputs_on_both_roads(run_python):
    code = "import sys\nsys.path.insert(0, %r)\nfrom harness.road_cases import main\nmain(40)" % str(TESTS)
    proc = run_python(code, files={"instruments.csv": (REPO / "samples" / "instruments.csv").read_text("utf-8")},
                      timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_sample_days_are_the_same_and_a_database_run_says_it_takes_the_exact_engine(tmp_path):
    ticks = tmp_path / "days.csv"
    subprocess.run([sys.executable, "-m", "replay.sample", "--days", "3", str(ticks)], cwd=REPO, check=True,
                   capture_output=True)
    printed = {}
    for engine in ("exact", "native"):
        proc = subprocess.run([sys.executable, "-m", "replay", str(ticks), "--host", str(SAMPLE_HOST), "--fees",
                               str(REPO / "samples" / "fees.csv"), "--out", str(tmp_path / engine), "--no-chart",
                               "--engine", engine], cwd=REPO, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        printed[engine] = proc.stdout
    roads.assert_same(tmp_path / "exact", tmp_path / "native")
    assert "engine        native: 16 of 16 strategy texts compiled" in printed["native"]
    proc = subprocess.run([sys.executable, "-m", "replay", str(ticks), "--host", str(SAMPLE_HOST), "--fills", "engine",
                           "--out", str(tmp_path / "engine"), "--engine", "native", "--no-chart"], cwd=REPO,
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert "the engine's own fill model needs the exact engine" in proc.stderr
