"""The trading-state names and indicators in the tools: the check's suggestions and refusals,
both roads of the replay byte for byte with the names in use, and a switch that changes
nothing else."""
import shutil
import subprocess
import types

import pytest

from brindle_tools.live import check
from harness import roads
from harness.paths import REPO, SAMPLE_HOST, TOOL_ENV, tool
from oxa import py_ApiStructure as records

INVESTOR, INSTRUMENT = "00001", "rb2501"
GUARDED = REPO / "samples" / "guarded-host"


def test_the_check_suggests_names_says_the_switch_and_refuses_what_the_engine_cannot_compute():
    def findings(names_on, **settings):
        strategy = {key: "False" if key.endswith("express") else "BidPrice1" if key.endswith("price") else 1
                    for key in check.STRATEGY_KEYS}
        strategy.update(buy_open_express="LastPrise > 0 and position == 0",
                        sell_close_express="LastPrice <= entry_price - 2 * PriceTick")
        settings = types.SimpleNamespace(AI_Strategy={INVESTOR: {INSTRUMENT: strategy}}, Real_Fresh_Factor=0,
                                         update_factor_period=60, Init_Factor_Zero=check.ZERO_COUNTERS, **settings)
        known = check.known_names(settings, records, names_on=names_on)
        return [f.text("settings") for f in check.check_settings(settings, known)]

    assert findings(False, Indicators={"ma": ("mean", "LastPrice", "5 ticks")}) == [
        "settings: Indicators: declared, but the engine computes none: %s turns them on" % check.SWITCH,
        "settings: 00001 / rb2501 / buy_open_express: name 'LastPrise': no attribute dictionary holds it; "
        "did you mean 'LastPrice'?",
        "settings: 00001 / rb2501 / buy_open_express: name 'position': no attribute dictionary holds it (a "
        "trading-state name: %s turns them on)" % check.SWITCH,
        "settings: 00001 / rb2501 / sell_close_express: name 'entry_price': no attribute dictionary holds it (a "
        "trading-state name: %s turns them on)" % check.SWITCH]
    assert findings(True, Sessions=[("21:00", "25:00")], Indicators={
        "ma": ("mean", "LastPrise", "5 ticks"), "PriceTick": ("max", "LastPrice", "day"),
        "med": ("median", "LastPrice", "day"), "ok": ("vwap", None, "300 s")})[:4] == [
        'settings: Sessions: it is not a list of (start, end) times "HH:MM" or "HH:MM:SS", or a dictionary of such '
        "lists by instrument or product: session_left is not set",
        "settings: Indicators: 'ma' cannot be computed: its field name 'LastPrise': no attribute dictionary holds "
        "it; did you mean 'LastPrice'?",
        "settings: Indicators: 'PriceTick' cannot be computed: its name is already an attribute name",
        "settings: Indicators: 'med' cannot be computed: the statistic is none of mean, max, min, sum, ema, vwap"]


def replay(where, host, engine, *extra):
    proc = subprocess.run([*tool("replay"), str(where / "days.csv"), "--host", str(host), "--fees",
                           str(REPO / "samples" / "fees.csv"), "--out", str(where / engine), "--no-chart",
                           "--engine", engine, *extra], capture_output=True, text=True, env=TOOL_ENV, cwd=REPO)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout + proc.stderr


@pytest.mark.parametrize("restart", [(), ("--restart-daily",)], ids=["carried", "restarted"])
def test_both_roads_give_the_same_bytes_with_the_names_in_use(tmp_path, restart):
    subprocess.run([*tool("sample"), "--days", "2", str(tmp_path / "days.csv")], check=True, capture_output=True,
                   env=TOOL_ENV, cwd=REPO)
    replay(tmp_path, GUARDED, "exact", *restart)
    said = replay(tmp_path, GUARDED, "native", *restart)
    assert "native: 8 of 8 strategy texts compiled" in said and "cannot replay" not in said
    roads.assert_same(tmp_path / "exact", tmp_path / "native")
    decisions = (tmp_path / "exact" / "decisions.csv").read_text()
    assert decisions.count("buy_open") > 20 and decisions.count("sell_close") > 20


def test_the_switch_changes_no_output_of_a_strategy_that_reads_none_of_the_names(tmp_path):
    subprocess.run([*tool("sample"), str(tmp_path / "days.csv")], check=True, capture_output=True, env=TOOL_ENV,
                   cwd=REPO)
    switched = tmp_path / "host"
    shutil.copytree(SAMPLE_HOST, switched, symlinks=True)
    text = (switched / "cfg" / "oxa.ini").read_text(encoding="utf-8")
    (switched / "cfg" / "oxa.ini").write_text(text.replace("reload_on_change = 0", "reload_on_change = 0\n"
                                                           "strategy_names = 1"), encoding="utf-8")
    replay(tmp_path, SAMPLE_HOST, "exact")
    (tmp_path / "exact").rename(tmp_path / "off")
    replay(tmp_path, switched, "exact")
    roads.assert_same(tmp_path / "off", tmp_path / "exact")
