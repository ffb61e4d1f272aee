"""The replay host: recorded ticks through the engine as a client feeds them, with exact
decisions, fills and profit; the same journal through the database; bad input stopping
cleanly; Ctrl-C printing the summary so far."""
import csv
import datetime
import json
import signal
import subprocess
import sys
import time

import pytest

from harness import roads
from harness.host import edit_ini
from harness.paths import REPO, SAMPLE_HOST, TEST_DATA
from brindle_tools.common.errors import UsageError
from brindle_tools.feed.inputs import field_types, read_instruments
from brindle_tools.feed.ticks import TickSource
from oxa import py_ApiStructure

STRATEGY = '''
AI_Strategy = {"00001": {"rb2501": {
    "buy_open_express": "UpdateTime in ('09:00:01', '09:00:05')",
    "buy_open_price": "AskPrice1",
    "buy_open_vol": 2,
    "sell_open_express": "Signal == 1",
    "sell_open_price": "BidPrice1 if UpdateTime < '09:00:12' else AskPrice1 + 5 + offset",
    "sell_open_vol": 1,
    "buy_close_express": "UpdateTime in ('09:00:10', '09:00:11')",
    "buy_close_price": "AskPrice1 + PriceTick",
    "buy_close_vol": 5,
    "sell_close_express": "UpdateTime in ('09:00:03', '09:00:04', '09:00:07')",
    "sell_close_price": "BidPrice1",
    "sell_close_vol": 1,
}}}
Real_Fresh_Factor = 1
update_factor_period = 2
Init_Factor_Zero = %r + ("offset",)
''' % (tuple(
    "LastPrice Volume LastPrice_Cur_Up LastPrice_Acc_Up order_acc_up LastPrice_Cur_Keep LastPrice_Acc_Keep "
    "order_acc_keep LastPrice_Cur_Down LastPrice_Acc_Down order_acc_down order_TradeVolume BidVolume "
    "order_BidVolume AskVolume order_AskVolume vol_diff order_price".split()),)

HEADER = "InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1,Signal\n"
TICKS = HEADER + """\
rb2501,09:00:00,100,10,99,5,101,5,0
rb2501,09:00:01,101,12,100,5,101,5,0
rb2501,09:00:02,101,12,100,5,102,5,0
rb2501,09:00:03,100,15,99,5,100,5,0
cu2501,09:00:03,70000,1,69990,1,70010,1,0
rb2501,09:00:04,99,16,98,5,99,5,0
rb2501,09:00:05,102,20,101,5,102,5,0
rb2501,09:00:06,103,25,102,5,103,5,0
rb2501,09:00:07,101,27,100,5,101,5,0
rb2501,09:00:08,100,27,99,5,100,5,1
rb2501,09:00:09,100,30,99,5,100,5,0
rb2501,09:00:10,98,32,97,5,98,5,0
rb2501,09:00:11,97,35,96,5,97,5,0
rb2501,09:00:12,97,36,96,5,97,5,1
rb2501,09:00:14,97,40,96,5,97,5,0
rb2501,09:00:16,96,41,95,5,96,5,0
"""
# The journal columns of every fill, in order: the orders of lines 3, 5, 6, 7, 9, 10 and 12,
# filled on the next tick that traded at or through their price, at its last price, for their
# lots; closes of today's lots on SHFE are close-today (3).
JOURNAL = [
    ("00001", "rb2501", "UpdateTime in ('09:00:01', '09:00:05')", "0", "0", "09:00:01", 101.0, 101.0, 100.0, 2),
    ("00001", "rb2501", "UpdateTime in ('09:00:03', '09:00:04', '09:00:07')", "1", "3", "09:00:03", 99.0, 100.0,
     99.0, 1),
    ("00001", "rb2501", "UpdateTime in ('09:00:03', '09:00:04', '09:00:07')", "1", "3", "09:00:04", 98.0, 99.0,
     102.0, 1),
    ("00001", "rb2501", "UpdateTime in ('09:00:01', '09:00:05')", "0", "0", "09:00:05", 102.0, 102.0, 101.0, 2),
    ("00001", "rb2501", "UpdateTime in ('09:00:03', '09:00:04', '09:00:07')", "1", "3", "09:00:07", 100.0, 101.0,
     100.0, 1),
    ("00001", "rb2501", "Signal == 1", "1", "0", "09:00:08", 99.0, 100.0, 100.0, 1),
    ("00001", "rb2501", "UpdateTime in ('09:00:10', '09:00:11')", "0", "3", "09:00:10", 99.0, 98.0, 97.0, 1),
]
DAY = ["--trading-day", "20241105"]
INSTRUMENTS = (REPO / "samples" / "instruments.csv").read_text(encoding="utf-8")
FILES = {"cfg/oxa_can_change_env.py": STRATEGY, "ticks.csv": TICKS, "instruments.csv": INSTRUMENTS}


def replay(run_python, *args, files=None, command="brindle_tools.commands.replay"):
    """A replay with the exact engine, run on the native road as well, with the same outputs."""

    def code(argv):
        # The small tick files of the tests have no dates: their trading day is named.
        day = DAY if command == "brindle_tools.commands.replay" else []
        return "import sys\nfrom %s import main\nsys.exit(main(%r))" % (command, list(argv) + day)

    files = {**FILES, **(files or {})}
    return roads.compared(code, args, run_python(code(args), files=files), files)


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def journal_of(fills):
    """The journal's ten columns of fills.csv rows, typed as the database returns them."""
    return [(r["InvestorID"], r["InstrumentID"], r["Express"], r["Direction"], r["CombOffsetFlag"],
             r["Order_Time"], float(r["Order_Price"]), float(r["Order_MDPrice"]), float(r["Trade_Price"]),
             int(r["Trade_Volume"])) for r in fills]


def test_replay_gives_exact_decisions_fills_and_profit(run_python):
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--cancel-after", "3",
                  "--fills", "engine")
    assert proc.returncode == 0, proc.stderr
    out = proc.where / "replay-out"
    assert sorted(p.name for p in out.iterdir()) == [
        "chart.png", "decisions.csv", "engine.log", "fills.csv", "instruments.csv", "report.html", "summary.json"]
    assert (out / "chart.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    decisions = [(r["Line"], r["Action"], r["ExchangeID"], r["Price"], r["Volume"], r["OrderRef"], r["Note"])
                 for r in read_csv(out / "decisions.csv")]
    assert decisions == [
        ("3", "buy_open", "SHFE", "101.0", "2", "1", ""),
        ("5", "sell_close", "SHFE", "99.0", "1", "2", ""),
        ("7", "sell_close", "SHFE", "98.0", "1", "3", ""),
        ("8", "buy_open", "SHFE", "102.0", "2", "4", ""),
        ("10", "sell_close", "SHFE", "100.0", "1", "5", ""),
        ("11", "sell_open", "SHFE", "99.0", "1", "6", ""),
        # Five asked for, one short to close: the order is for one.
        ("13", "buy_close", "SHFE", "99.0", "5", "7", "volume cut to 1 to close"),
        ("14", "buy_close", "SHFE", "98.0", "5", "", "nothing to close"),
        # Far above the market: cancelled after three seconds without a fill.
        ("15", "sell_open", "SHFE", "102.0", "1", "8", ""),
    ]
    fills = read_csv(out / "fills.csv")
    assert journal_of(fills) == JOURNAL
    assert [(f["OrderRef"], f["Line"], f["Volume"], f["Position"]) for f in fills] == [
        ("1", "5", "2", "2"), ("2", "7", "1", "1"), ("3", "8", "1", "0"), ("4", "10", "2", "2"),
        ("5", "12", "1", "1"), ("6", "12", "1", "1"), ("7", "14", "1", "0")]

    summary = json.loads((out / "summary.json").read_text())
    assert summary["ticks"] == 15 and summary["skipped_ticks"] == {"cu2501": 1}
    assert summary["decisions"] == {"buy_open": 2, "sell_open": 2, "buy_close": 2, "sell_close": 3}
    assert summary["orders"] == {"placed": 8, "filled": 7, "cancelled": 1, "expired": 0, "open": 0}
    assert summary["fill_model"] == "engine"
    assert summary["close_decisions_without_position"] == 1
    rb = summary["instruments"]["rb2501"]
    assert (rb["long"], rb["short"]) == ({"volume": 1, "average_price": 101.0}, {"volume": 0, "average_price": 0.0})
    # Realised: (99-100)x1 + (102-100)x1 + (100-101)x1 on the longs, (100-97)x1 on the short,
    # times 10 per lot; open: the remaining long at 101, last price 96.
    assert (rb["realised_profit"], rb["open_profit"]) == (30.0, -50.0)
    assert summary["engine_log"]["errors"] == 0, (out / "engine.log").read_text()

    text = proc.stdout
    assert "Replay of ticks.csv for investor 00001" in text
    assert "15 in " in text and " ticks/s" in text
    assert "decisions     buy_open 2, sell_open 2, buy_close 2, sell_close 3" in text
    assert "orders        8 placed: 7 filled (7 fills), 1 cancelled, 0 expired at the day's end, 0 still open" in text
    assert "1 tick of cu2501 skipped: no strategy for it" in text
    assert "position    long 1 at 101, short 0" in text
    assert "profit      realised 30.00, open -50.00" in text


def test_positions_reach_the_engine_and_gate_the_close_decisions(run_python):
    # Without the position reports no close decision would be evaluated at all.
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--no-chart")
    assert proc.returncode == 0, proc.stderr
    actions = [r["Action"] for r in read_csv(proc.where / "replay-out" / "decisions.csv")]
    assert actions.count("sell_close") == 3 and actions.count("buy_close") == 2


@pytest.fixture
def database(mariadb):
    mariadb.ensure_running()
    mariadb.reset()
    ini = edit_ini((SAMPLE_HOST / "cfg" / "oxa.ini").read_text(encoding="utf-8"), {"CLOUD": mariadb.ini_values()})
    return mariadb, {"cfg/oxa.ini": ini}


def test_replay_with_the_database_journals_the_same_rows(run_python, database):
    server, files = database
    proc = replay(run_python, "create", "--instruments", "instruments.csv", files=files, command="brindle_tools.live.db")
    assert proc.returncode == 0, proc.stderr
    assert "created t_Instrument, t_factor, T_SimNow_AutoTrade" in proc.stdout
    server.execute("insert into t_factor (InstrumentID, factor_name, factor_val) values ('rb2501', 'offset', 0.5)")

    proc = replay(run_python, "ticks.csv", "--db", "--cancel-after", "3", "--fills", "engine", files=files)
    assert proc.returncode == 0, proc.stderr
    rows = server.execute("select InvestorID, InstrumentID, Express, Direction, CombOffsetFlag, Order_Time, "
                          "Order_Price, Order_MDPrice, Trade_Price, Trade_Volume from T_SimNow_AutoTrade order by id")
    # The engine journals as Trade_Volume the market's volume that SimNow was given; fills.csv
    # the lots filled.
    assert list(rows) == [row[:-1] + (traded,) for row, traded in zip(JOURNAL, (3, 1, 4, 2, 3, 3, 3))]
    out = proc.where / "replay-out"
    assert journal_of(read_csv(out / "fills.csv")) == JOURNAL
    assert "journal       7 rows added to T_SimNow_AutoTrade" in proc.stdout
    assert "instruments from t_Instrument of oxa_test@" in proc.stdout
    # The factor came from t_factor: the far order's price carries it.
    assert read_csv(out / "decisions.csv")[-1]["Price"] == "102.5"
    # Factors refresh in market time: once at the start, then on the first tick more than
    # two seconds after the previous refresh (09:00:03, :06, :09, :12, :16).
    assert (out / "engine.log").read_text().count("set dynamic factor cnt:") == 6


def test_replay_with_the_database_stops_when_a_table_is_missing(run_python, database):
    server, files = database
    proc = replay(run_python, "ticks.csv", "--db", files=files)
    assert proc.returncode == 2
    assert "lacks the tables t_Instrument, t_factor, T_SimNow_AutoTrade" in proc.stderr
    assert "brindle-db create" in proc.stderr


def test_unknown_instrument_in_the_database_stops_the_replay(run_python, database):
    server, files = database
    assert replay(run_python, "create", files=files, command="brindle_tools.live.db").returncode == 0
    proc = replay(run_python, "ticks.csv", "--db", files=files)
    assert proc.returncode == 2
    assert "ticks.csv line 2: instrument rb2501 is not in t_Instrument of oxa_test@" in proc.stderr
    assert not (proc.where / "replay-out").exists()


@pytest.mark.parametrize("files, message", [
    ({"ticks.csv": TICKS.replace("rb2501,09:00:07,101,27,", "rb2501,09:00:07,101,")},
     "ticks.csv line 10: 8 fields, the header has 9"),
    ({"ticks.csv": TICKS.replace(",AskVolume1,", ",AskVol1,")},
     "ticks.csv line 1: missing column AskVolume1 in the header line InstrumentID,UpdateTime,LastPrice,Volume,"
     "BidPrice1,BidVolume1,AskPrice1,AskVol1,Signal: name its columns with --columns NAME,NAME,... (the broker's "
     "field names, in the file's order)"),
    ({"ticks.csv": TICKS.replace("09:00:09,100,30", "09:00:09,1OO,30")},
     "ticks.csv line 12: column LastPrice: '1OO' is not a number"),
    ({"ticks.csv": TICKS.replace("09:00:12", "9:00:12")},
     "ticks.csv line 15: column UpdateTime: '9:00:12' is not a time of day HH:MM:SS (or HH:MM:SS.fff)"),
    ({"instruments.csv": INSTRUMENTS.replace("rb2501,SHFE", "rb2505,SHFE")},
     "ticks.csv line 2: instrument rb2501 is not in instruments.csv"),
    ({"cfg/oxa_can_change_env.py": STRATEGY + "Real_Fresh_Factor = (\n"},
     "cfg/oxa_can_change_env.py line %d: '(' was never closed" % (STRATEGY.count("\n") + 1)),
    ({"cfg/oxa_can_change_env.py": STRATEGY.replace('"buy_close_vol": 5,', '')},
     "cfg/oxa_can_change_env.py: 00001 / rb2501 / buy_close_vol: missing"),
    ({"cfg/oxa_can_change_env.py": STRATEGY.replace('"AskPrice1 + PriceTick"', '"AskPrice1 +"')},
     "cfg/oxa_can_change_env.py: 00001 / rb2501 / buy_close_price: syntax error at the end: invalid syntax"),
    ({"cfg/oxa_can_change_env.py": STRATEGY.replace('"sell_close_price": "BidPrice1"',
                                                    '"sell_close_price": "str(BidPrice1)"')},
     "ticks.csv line 5: sell_close_price of 00001/rb2501 gave '99.0', not a price"),
])
def test_bad_input_stops_with_one_message_and_writes_nothing(run_python, files, message):
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", files=files)
    assert proc.returncode == 2, proc.stdout + proc.stderr
    assert proc.stderr.strip().splitlines()[-1].strip().endswith(message), proc.stderr
    assert "Traceback" not in proc.stderr
    out = proc.where / "replay-out"
    assert not out.exists() or not list(out.iterdir())


def test_an_instrument_missing_from_the_sample_file_names_the_option(run_python):
    proc = replay(run_python, "ticks.csv", files={"ticks.csv": TICKS.replace("rb2501", "rb1801"),
                                                  "cfg/oxa_can_change_env.py": STRATEGY.replace("rb2501", "rb1801")})
    assert proc.returncode == 2
    assert proc.stderr.strip().endswith("ticks.csv line 2: instrument rb1801 is not in %s, the sample instrument file: "
                                        "name your broker's instrument list with --instruments FILE"
                                        % (REPO / "samples" / "instruments.csv")), proc.stderr


def test_a_failing_expression_fails_the_replay_and_names_its_key(run_python):
    failing = {"cfg/oxa_can_change_env.py": STRATEGY.replace('"Signal == 1"', '"1 / (Signal - Signal) == 1"')}
    named = "sell_open_express of rb2501: 15 errors, first at ticks.csv line 2: ZeroDivisionError: division by zero"
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--no-chart", files=failing)
    assert proc.returncode == 3, proc.stderr
    assert proc.stdout.splitlines()[1:3] == [
        "  FAILED        the strategy raised errors; --allow-strategy-errors to accept them:", "                " + named]
    assert proc.stderr.strip() == "brindle-replay: the strategy raised errors: " + named
    allowed = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--no-chart",
                     "--allow-strategy-errors", files=failing)
    assert allowed.returncode == 0, allowed.stderr
    summary = json.loads((allowed.where / "replay-out" / "summary.json").read_text())
    assert summary["strategy_errors"] == [{"key": "sell_open_express", "instrument": "rb2501", "count": 15,
                                           "first_error": "ZeroDivisionError: division by zero",
                                           "first_at": "ticks.csv line 2"}]


def test_ctrl_c_prints_the_summary_so_far(tmp_path):
    host = tmp_path / "host"
    subprocess.run(["cp", "-r", str(SAMPLE_HOST), str(host)], check=True)
    lines = [HEADER.strip()]
    volume = 0
    for n in range(400000):
        volume += n % 3
        price = 3500 + (n // 7) % 11
        lines.append("rb2501,%02d:%02d:%02d,%d,%d,%d,5,%d,5,0" % (
            9 + n // 3600 % 6, n // 60 % 60, n % 60, price, volume, price - 1, price + 1))
    (tmp_path / "long.csv").write_text("\n".join(lines) + "\n")
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, "-m", "brindle_tools", "replay", str(tmp_path / "long.csv"), "--host", str(host),
                             "--out", str(out), *DAY],
                            cwd=REPO, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            # A shell running this in the background has Ctrl-C ignored: restore it.
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    # The engine's log appears with the engine, on the first tick replayed.
    while not list(out.glob(".replay-*/engine.log")) and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 130, stderr
    assert "INTERRUPTED   at " in stdout and "long.csv line " in stdout, stdout + stderr
    assert "the summary so far; no files written" in stdout
    ticks = int(stdout.split("ticks         ")[1].split(" in ")[0].replace(",", ""))
    assert 0 < ticks < 400000
    assert "Traceback" not in stderr
    assert not out.exists()


# --- input files, without the engine -------------------------------------------------------


def test_tick_values_take_the_record_types_and_the_clock_runs_over_midnight(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("InstrumentID,UpdateTime,UpdateMillisec,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,"
                    "AskVolume1,ExchangeInstID,Extra,Flag\n"
                    "2501,23:59:59,500,3500,12,3499,1.0,3501,3,0001,1.5,x\n"
                    "2501,00:00:01,0,3501,14,3500,2,3502,1e3,0001,2,y\n")
    ticks = TickSource([path], field_types(py_ApiStructure.DepthMarketDataField), trading_day="20241105")
    (first, _, _, _, tick, _), (second, _, _, line, _, _) = list(ticks)
    assert tick == {"InstrumentID": "2501", "UpdateTime": "23:59:59", "UpdateMillisec": 500, "LastPrice": 3500.0,
                    "Volume": 12, "BidPrice1": 3499.0, "BidVolume1": 1, "AskPrice1": 3501.0, "AskVolume1": 3,
                    "ExchangeInstID": "0001", "Extra": 1.5, "Flag": "x", "TradingDay": "20241105"}
    assert [type(v) for v in tick.values()] == [str, str, int, float, int, float, int, float, int, str, float, str,
                                                str]
    assert (line, second - first) == (3, 1.5)


def test_instrument_file_holds_the_record_fields_with_a_header_or_as_the_broker_delivers_it(tmp_path):
    path = tmp_path / "i.csv"
    path.write_text(INSTRUMENTS + INSTRUMENTS.splitlines()[1] + "\n", encoding="utf-8")  # a repeat is read once
    instruments = read_instruments(path, py_ApiStructure.InstrumentField)
    line, fields = instruments["rb2501"]
    assert (line, fields["VolumeMultiple"], fields["PriceTick"], fields["InstrumentName"]) == (2, 10, 1.0, "螺纹钢2501")
    assert instruments.assumed is None
    path.write_text(INSTRUMENTS.replace("CombinationType", "Combination"), encoding="utf-8")
    with pytest.raises(UsageError, match="line 1: unknown column Combination: the columns are the instrument "
                                         "record's 31 fields"):
        read_instruments(path, py_ApiStructure.InstrumentField)
    path.write_text(INSTRUMENTS + INSTRUMENTS.splitlines()[1].replace(",10,1.0,", ",5,1.0,") + "\n", encoding="utf-8")
    with pytest.raises(UsageError, match="line 4: instrument rb2501 is listed twice, with other fields than on line 2"):
        read_instruments(path, py_ApiStructure.InstrumentField)
    # The broker's own list: no header, GB18030, rows repeated, without the option fields.
    broker = read_instruments(TEST_DATA / "broker-instruments-20171113.csv", py_ApiStructure.InstrumentField)
    assert len(broker) == 13 and broker.assumed.startswith("no header line: read as the broker's instrument list")
    assert broker["IC1712"] == (1, {**broker["IC1712"][1], "InstrumentName": "中证500指数1712", "VolumeMultiple": 200,
                                    "PriceTick": 0.2, "LongMarginRatio": 0.3, "ShortMarginRatio": 0.3})
    assert broker["IC1712"][1]["StrikePrice"] == 0.0 and broker["rb1801"][0] == 11
    path.write_text("rb2501,SHFE,rb2501\n", encoding="utf-8")
    with pytest.raises(UsageError, match="line 1: 3 fields, the layout has 25 to 31"):
        read_instruments(path, py_ApiStructure.InstrumentField)
