"""A whole market's recorded day as recorders deliver it: unpadded milliseconds, option IDs
in file names, cheap option quotes, files opened day by day, and each product's own close."""
import json
import subprocess
import sys

import pytest
from hypothesis import given, strategies as st

from harness.paths import REPO
from harness.roads import settings_module
from brindle_tools.common.errors import UsageError
from brindle_tools.feed.inputs import field_types
from brindle_tools.feed.ticks import DECIMAL, WHOLE, TickSource, instrument_in_name
from brindle_tools.market import account
from oxa import py_ApiStructure

from test_backtest import INSTRUMENTS, replay, rows

TYPES = field_types(py_ApiStructure.DepthMarketDataField)
HEADER = "TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"


def write_ticks(path, times, instrument="rb2501", day="20241107"):
    path.write_text(HEADER + "".join("%s,%s,%s,3521,%d,3520,1,3522,1\n" % (day, instrument, time, volume)
                                     for volume, time in enumerate(times)))
    return path


@pytest.mark.parametrize("times, convention, millis, back", [
    # 36.5 is 5 ms: read as 500 ms, it would come after 36.485.
    (["21:12:36.5", "21:12:36.485", "21:12:37.12", "21:12:37.900"], WHOLE, [5, 485, 12, 900], 1),
    # Trailing zeros left out: 36.5 is 500 ms, after 36.485.
    (["21:12:36.485", "21:12:36.5", "21:12:37.12", "21:12:37.9"], DECIMAL, [485, 500, 120, 900], 2),
])
def test_fractions_of_a_second_are_read_by_the_file_s_convention(tmp_path, times, convention, millis, back):
    source = TickSource([write_ticks(tmp_path / "t.csv", times)], TYPES)
    ticks = [(round(time % 1, 3), t["UpdateMillisec"]) for time, _, _, _, t, _ in source]
    assert ticks == [(m / 1000, m) for m in millis]
    assert source.fractions == {convention: [1, str(tmp_path / "t.csv"), back]}


@pytest.mark.parametrize("name, listed, expected", [
    ("m1801-C-2600_20171113.csv", None, "m1801-C-2600"),
    ("SR801C5500_20171113.csv", None, "SR801C5500"),
    ("rb2501_20241107.csv", None, "rb2501"),
    # The instrument list knows IDs of forms the name's reading does not.
    ("sc2401-E-500_20240102.csv", {"sc2401", "sc2401-E-500"}, "sc2401-E-500"),
])
def test_the_whole_instrument_id_is_taken_from_a_file_name(name, listed, expected):
    assert instrument_in_name(name, listed) == expected


def test_option_quotes_are_judged_in_ticks_and_against_their_limits(tmp_path):
    header = HEADER.replace("\n", ",UpperLimitPrice,LowerLimitPrice\n").replace("TradingDay,InstrumentID,", "")
    path = tmp_path / "m1801-C-2600_20171113.csv"
    path.write_text(header + "09:00:00,0.5,1,0.5,3,1,2,60,0.5\n"  # one tick wide, last at the bid
                             "09:00:01,0.5,2,1,3,1.5,2,60,0.5\n"  # last a tick under a sane book
                             "09:00:02,1,3,1,3,60.5,2,60,0.5\n")  # an ask above the day's limit
    source = TickSource([path], TYPES, skip_bad=True)
    assert [(t["InstrumentID"], line) for _, _, _, line, t, _ in source] == [("m1801-C-2600", 2), ("m1801-C-2600", 3)]
    assert list(source.bad) == ["AskPrice1 outside the day's limits LowerLimitPrice..UpperLimitPrice"]
    # Without its limits, no share of its own price judges an option's quote.
    path.write_text("".join(line.rsplit(",", 2)[0] + "\n" for line in path.read_text().splitlines()[:3]))
    assert len(list(TickSource([path], TYPES))) == 2
    # A cheap futures contract: its list's price tick makes a one-tick book normal.
    cheap = tmp_path / "zz2501_20241107.csv"
    cheap.write_text(HEADER.replace("TradingDay,InstrumentID,", "") + "09:00:00,0.5,1,0.5,3,1,2\n")
    with pytest.raises(UsageError, match="AskPrice1: 1.0 is further from the last price than its product's"):
        list(TickSource([cheap], TYPES))
    assert len(list(TickSource([cheap], TYPES, instruments={"zz2501": (2, {"PriceTick": 0.5})}))) == 1


OPEN_FILES = """
import resource, sys
from brindle_tools.feed.inputs import field_types
from brindle_tools.feed.ticks import TickSource
from oxa import py_ApiStructure
resource.setrlimit(resource.RLIMIT_NOFILE, (100, 100))
source = TickSource([sys.argv[1]], field_types(py_ApiStructure.DepthMarketDataField))
print(sum(1 for _ in source), source.misdated)
"""


def test_files_are_opened_day_by_day_and_a_file_named_for_another_day_is_said(tmp_path):
    # Three days of 60 files each, under a limit of 100 open files.
    for day in ("20241107", "20241108", "20241111"):
        for number in range(60):
            write_ticks(tmp_path / ("x%04d_%s.csv" % (number, day)), ["09:00:00", "10:00:00"], "x%04d" % number, day)
    # The same days as a recorder's folders of the day (20241107/x0000.csv, ...).
    for day in ("20241107", "20241108", "20241111"):
        (tmp_path / "by-folder" / day).mkdir(parents=True)
        for number in range(60):
            write_ticks(tmp_path / "by-folder" / day / ("x%04d.csv" % number), ["09:00:00", "10:00:00"],
                        "x%04d" % number, day)
    host = REPO / "host"
    for files in (tmp_path, tmp_path / "by-folder" / "*" / "*.csv"):
        run = subprocess.run([sys.executable, "-c", OPEN_FILES, str(files)], capture_output=True, text=True,
                             cwd=REPO, env={"PYTHONPATH": "%s:%s" % (REPO, host)})
        assert run.returncode == 0, run.stderr
        assert run.stdout.split(None, 1) == ["360", "[0, None]\n"]
    # Ticks of the first day in a file named for the third: said when it comes in order ...
    (tmp_path / "x0000_20241111.csv").write_text((tmp_path / "x0000_20241107.csv").read_text())
    misnamed = TickSource([tmp_path / "x0000_20241111.csv"], TYPES)
    assert len(list(misnamed)) == 2 and misnamed.misdated == [
        1, "%s, named for 20241111, holds ticks of trading day 20241107" % (tmp_path / "x0000_20241111.csv")]
    # ... and refused where its place among its instrument's files would put its ticks out of order,
    with pytest.raises(UsageError, match=r"x0000_20241111.csv: its ticks begin on 2024-11-07 09:00:00, before the "
                                         r"end of .*x0000_20241108.csv: files of one instrument are read one after"):
        list(TickSource([tmp_path], TYPES))
    # ... as are files of several dates that --trading-day puts on one day.
    for day in ("20241107", "20241108"):
        (tmp_path / ("rb2501_%s.txt" % day)).write_text(HEADER.replace("TradingDay,", "") + "".join(
            "rb2501,%s,10,1,9,1,11,1\n" % time for time in ("09:00:00", "10:00:00")))
    with pytest.raises(UsageError, match="rb2501_20241108.txt: .* and leave --trading-day out"):
        list(TickSource(sorted(tmp_path.glob("*.txt")), TYPES, trading_day="20241107"))
    # A folder of day sessions and one of nights: files of the same name are merged, not chained.
    for folder, time in (("day", "09:00:00"), ("night", "21:00:00")):
        (tmp_path / folder).mkdir()
        write_ticks(tmp_path / folder / "rb2501_20241108.csv", [time], day="20241108")
    assert [t["UpdateTime"] for _, _, _, _, t, _ in TickSource([tmp_path / "day", tmp_path / "night"], TYPES)] == [
        "21:00:00", "09:00:00"]


def test_each_product_closes_its_day_session_at_its_own_time_and_no_instrument_vanishes(run_python):
    treasury = INSTRUMENTS.splitlines()[1].replace("rb2501,SHFE,", "T2503,CFFEX,").replace(",rb2501,rb,", ",T2503,T,")
    ticks = HEADER + "".join("20241107,%s,%s,3521,%d,3520,1,3522,1\n" % (instrument, time, volume)
                             for volume, time in enumerate(("15:00:00", "15:10:00")) for instrument in
                             ("rb2501", "hc2501", "T2503"))
    ticks += "20241107,ni2501,15:10:00,0,1,3520,1,3522,1\n"  # no last price: its only tick is skipped
    strategy = {"buy_open_express": "UpdateTime == '15:10:00'", "buy_open_price": "AskPrice1", "buy_open_vol": 1}
    for action in ("sell_open", "buy_close", "sell_close"):
        strategy.update({action + "_express": "False", action + "_price": "BidPrice1", action + "_vol": 1})
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--sessions", "sessions.csv",
                  "--skip-bad-ticks", "--no-chart", files={
                      "ticks.csv": ticks, "instruments.csv": INSTRUMENTS + treasury + "\n",
                      "sessions.csv": "ProductID,day_close\nhc,15:20\n",
                      "cfg/oxa_can_change_env.py": settings_module(dict.fromkeys(("rb2501", "hc2501", "T2503"),
                                                                                 strategy))})
    assert proc.returncode == 0, proc.stderr
    out = proc.where / "replay-out"
    assert [(d["InstrumentID"], d["Note"]) for d in rows(out / "decisions.csv")] == [
        ("rb2501", "market closed, not sent"), ("hc2501", ""), ("T2503", "")]
    summary = json.loads((out / "summary.json").read_text())
    assert {product: close["close"] for product, close in summary["day_close"].items()} == {
        "*": "15:00:00", "T": "15:15:00", "hc": "15:20:00"}
    assert "  day close     * 15:00:00, T 15:15:00, hc 15:20:00\n" in proc.stdout
    assert summary["instruments_without_a_possible_tick"] == {"ni2501": 1}
    assert "1 tick of ni2501 skipped: every one impossible, as above\n" in proc.stdout


@given(st.lists(st.tuples(st.integers(0, 5), st.sampled_from(sorted(account.SIDE) + ["settle"]), st.integers(1, 3),
                          st.floats(-50, 5000)), max_size=40))
def test_the_margin_summed_over_the_holdings_that_hold_some_is_that_of_all_sides(drawn):
    book = account.Account(1e6)
    holdings = [book.add({"InstrumentID": "i%d" % n, "ExchangeID": "SHFE", "VolumeMultiple": 10,
                          "LongMarginRatio": 0.1 + n / 7, "ShortMarginRatio": 0.13}, account.Fees())
                for n in range(6)]
    for number, action, volume, price in drawn:
        holding = holdings[number]
        holding.last_price = price
        if action == "settle":
            book.settle()
        else:
            side = holding.sides[account.SIDE[action]]
            if action.endswith("close") and not side.volume:
                continue
            book.fill(holding, action, min(volume, side.volume) if action.endswith("close") else volume, price, 0.0)
        book.follow_margin()
        every = sum(side.margin for holding in book.holdings.values() for side in holding.sides.values())
        assert repr(book.margin) == repr(every)
