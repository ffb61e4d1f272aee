"""[PYTHON_SWITCH] strategy_names = 1: the trading state from the position and order records
the host pushes, and the settings module's rolling indicators, as attribute names on each
tick; without the switch the engine is as before."""
import calendar
import datetime
import importlib
import re
import subprocess

import pytest

from brindle_tools.feed import sample
from brindle_tools.live import check
from harness.paths import REPO, SAMPLE_HOST, TOOL_ENV, tool

INVESTOR, INSTRUMENT = "00001", "rb2501"
STRATEGY = {"buy_open_express": "position == 0 and LastPrice > 0", "buy_open_price": "LastPrice",
            "buy_open_vol": 1, "sell_open_express": "False",
            "buy_close_express": "False", "sell_close_express": "LastPrice <= entry_price - 2 * PriceTick",
            "sell_close_price": "BidPrice1", "sell_close_vol": 1}


class Clock:
    at = datetime.datetime(2024, 11, 7, 9, 30, 0)

    @classmethod
    def now(cls):
        return cls.at


@pytest.fixture
def make_engine(brindle, settings_module, workdir, monkeypatch):
    monkeypatch.setattr(brindle, "datetime", Clock)
    monkeypatch.setattr(Clock, "at", Clock.at)

    def make(switch=1, extra=""):
        settings_module.write("AI_Strategy = %r\nReal_Fresh_Factor = 0\nInit_Factor_Zero = %r\n%s"
                              % ({INVESTOR: {INSTRUMENT: STRATEGY}}, check.ZERO_COUNTERS, extra), clean=True)
        if switch is not None:
            workdir.set_ini({"PYTHON_SWITCH": {"strategy_names": switch}})
        engine = brindle.COXAAlgos()
        engine.push_InstrumentAttr(INSTRUMENT, {"ExchangeID": "SHFE", "VolumeMultiple": 10, "PriceTick": 1.0,
                                                "ProductID": "rb"})
        return engine

    return make


def records():
    return importlib.import_module("oxa.py_ApiStructure")


def position(engine, direction, lots, today, open_cost):
    engine.push_OnRspQryInvestorPosition("InvestorPosition", records().InvestorPositionField(
        InstrumentID=INSTRUMENT, ExchangeID="SHFE", PosiDirection=direction, Position=lots, TodayPosition=today,
        YdPosition=lots - today, OpenCost=open_cost, PositionCost=open_cost))


def order(engine, ref, direction, status, left):
    engine.push_OnRtnOrder("Order", records().OrderField(
        InstrumentID=INSTRUMENT, ExchangeID="SHFE", OrderSysID=str(ref), Direction=direction, OrderStatus=status,
        VolumeTotal=left))


def tick(engine, last, volume=100, update_time=None):
    fields = {"LastPrice": last, "Volume": volume, "BidPrice1": last - 1, "BidVolume1": 5, "AskPrice1": last + 1,
              "AskVolume1": 5, "UpdateTime": update_time or Clock.at.strftime("%H:%M:%S")}
    decisions = engine.push_md2trade(INVESTOR, INSTRUMENT, fields)
    return decisions, engine.get_InstrumentAttr(INSTRUMENT)


def state(attributes):
    return {name: attributes[name] for name in check.TRADING_STATE if name in attributes}


SESSIONS = "Sessions = {'rb': [('21:00', '23:00'), ('09:00', '10:15'), ('10:30', '11:30')]}\n"


def test_partial_fills_closes_over_today_and_yesterday_and_a_restart_mid_day(make_engine):
    engine = make_engine(extra=SESSIONS)
    decisions, attributes = tick(engine, 3500)
    assert decisions == [("buy_open", "SHFE", 3500, 1)]  # flat: the guard lets the open through
    assert state(attributes) == dict(
        position=0, long_lots=0, short_lots=0, long_today=0, long_yd=0, short_today=0, short_yd=0, long_price=0.0,
        short_price=0.0, entry_price=0.0, open_profit=0.0, resting_buy=0, resting_sell=0, held_seconds=0,
        day_seconds=55800, session_left=2700)
    # 3 lots held from yesterday at 3,400; an order for 4 more fills 1 at 3,500, then 3 at 3,520.
    position(engine, "2", 3, 0, 3 * 3400 * 10)
    order(engine, 1, "0", "1", 3)
    position(engine, "2", 4, 1, (3 * 3400 + 3500) * 10)
    Clock.at += datetime.timedelta(seconds=30)
    decisions, attributes = tick(engine, 3510)
    assert decisions == []
    assert state(attributes) | {"long_price": round(attributes["long_price"], 6)} == dict(
        position=4, long_lots=4, short_lots=0, long_today=1, long_yd=3, short_today=0, short_yd=0, long_price=3425.0,
        short_price=0.0, entry_price=3425.0, open_profit=(3510 - 3425) * 4 * 10.0, resting_buy=3, resting_sell=0,
        held_seconds=0, day_seconds=55830, session_left=2670)
    order(engine, 1, "0", "0", 0)
    position(engine, "2", 7, 4, (3 * 3400 + 3500 + 3 * 3520) * 10)
    # A close of 5 takes yesterday's 3 and 2 of today's; 2 lots stay at the average price.
    average = (3 * 3400 + 3500 + 3 * 3520) / 7
    position(engine, "2", 2, 2, average * 2 * 10)
    Clock.at += datetime.timedelta(seconds=90)
    decisions, attributes = tick(engine, average - 3)
    assert decisions == [("sell_close", "SHFE", average - 4, 1)]  # the stop: two ticks below the entry price
    assert (attributes["position"], attributes["long_today"], attributes["long_yd"], attributes["resting_buy"],
            attributes["held_seconds"]) == (2, 2, 0, 0, 90)
    assert attributes["entry_price"] == pytest.approx(average) and attributes["open_profit"] == pytest.approx(-60)
    # A short beside it: the net and the short side's figures.
    position(engine, "3", 1, 1, 3600 * 10)
    _, attributes = tick(engine, 3500)
    assert (attributes["position"], attributes["short_price"]) == (1, 3600.0)
    assert attributes["open_profit"] == pytest.approx((3500 - average) * 20 + (3600 - 3500) * 10)

    # The client restarts mid-day: a new engine, told the instrument and the positions.
    before = state(attributes)
    restarted = make_engine(extra=SESSIONS)
    position(restarted, "2", 2, 2, average * 2 * 10)
    position(restarted, "3", 1, 1, 3600 * 10)
    _, attributes = tick(restarted, 3500)
    assert state(attributes) == before | {"held_seconds": 0}  # held from the first tick the new engine saw
    Clock.at += datetime.timedelta(seconds=61, microseconds=500000)
    assert tick(restarted, 3500)[1]["held_seconds"] == 61


def test_without_the_switch_the_engine_is_as_before(make_engine, log):
    names = set(check.TRADING_STATE) | {"ma"}
    for switch in (None, 0, "yes"):
        engine = make_engine(switch, extra="Indicators = {'ma': ('mean', 'LastPrice', '3 ticks')}\n")
        position(engine, "2", 1, 1, 35000)
        decisions, attributes = tick(engine, 3500)
        assert not names & set(attributes) and not {"strategy_names", "strategy_names_state"} & set(vars(engine))
        assert decisions == [] and [r.msg for r in log.records] == ["COXAAlgos.init ...", "get config for Algos",
                                                                    "COXAAlgos.init end.", "Calc_Express",
                                                                    "Calc_Express"]  # the open and the stop
        log.records.clear()


# Where the sample's ticks cross what matters: the night session's last minutes before and
# after midnight, its end at 01:00, the break to 09:00, the day's close and the next night.
AROUND = (("23:50", "24:00"), ("00:00", "00:10"), ("00:55", "01:00"), ("09:00", "09:10"), ("14:55", "15:00"),
          ("21:00", "21:05"))


def real_ticks(days):
    """(clock, tick) of rb2501 in the sample's night and day sessions, where AROUND says."""
    for row in sample.days_session(sample.DEFAULT_SEED, days):
        fields = dict(zip(sample.COLUMNS, row))
        if fields["InstrumentID"] != INSTRUMENT or not any(a <= fields["UpdateTime"] < b for a, b in AROUND):
            continue
        day = datetime.datetime.strptime(fields["ActionDay"] + fields["UpdateTime"], "%Y%m%d%H:%M:%S")
        yield day + datetime.timedelta(milliseconds=fields["UpdateMillisec"]), fields


DECLARED = {"ma_fast": ("mean", "LastPrice", "20 ticks"), "hi_5m": ("max", "LastPrice", "300 s"),
            "lo_2m": ("min", "AskPrice1", "120 seconds"), "sum_1m": ("sum", "BidVolume1", "60 s"),
            "vwap": ("vwap", None, "day"), "vwap_5m": ("vwap", "LastPrice", "300 s"),
            "ema": ("ema", "LastPrice", "10 ticks"),
            "hi_day": ("max", "LastPrice", "day"), "mean_day": ("mean", "LastPrice", "day")}


def reference(kept, spec, now):
    """The indicator at the last tick kept, from the ticks in its window, walked back from it."""
    kind, field, window = spec
    amount, unit = (None, "day") if window == "day" else (float(window.split()[0]), window.split()[1])
    chosen = []
    for back in reversed(kept):
        if (len(chosen) == amount if unit.startswith("tick") else back["TradingDay"] != kept[-1]["TradingDay"]
                if unit == "day" else back["clock"] <= now - amount):
            break
        chosen.append(back)
    values = [k[field or "LastPrice"] for k in chosen]
    if kind == "vwap":
        weights = [k["traded"] for k in chosen]
        return sum(v * w for v, w in zip(values, weights)) / sum(weights) if sum(weights) else values[0]
    return {"mean": lambda v: sum(v) / len(v), "max": max, "min": min, "sum": sum}[kind](values)


def test_indicators_agree_with_a_plain_computation_over_the_night_break_and_midnight(make_engine, brindle):
    engine = make_engine(extra="Indicators = %r\n" % DECLARED)
    kept, ema, volume, seen = [], None, 0, set()
    for count, (clock, fields) in enumerate(real_ticks(2)):
        if count % 2:
            continue
        Clock.at = clock
        brindle_tick = {k: fields[k] for k in ("TradingDay", "LastPrice", "Volume", "BidPrice1", "BidVolume1",
                                               "AskPrice1", "AskVolume1", "UpdateTime", "UpdateMillisec")}
        attributes = engine.get_InstrumentAttr(INSTRUMENT)
        traded = max(fields["Volume"] - attributes["Volume"], 0)
        engine.push_md2trade(INVESTOR, INSTRUMENT, brindle_tick)
        now = calendar.timegm(clock.timetuple()) + clock.microsecond / 1e6
        kept.append(dict(fields, clock=now, traded=traded))
        ema = fields["LastPrice"] if ema is None else ema + 2 / 11 * (fields["LastPrice"] - ema)
        for name, spec in DECLARED.items() if count % 10 == 0 else ():
            expected = ema if name == "ema" else reference(kept, spec, now)
            assert attributes[name] == pytest.approx(expected, rel=1e-12), (name, fields["UpdateTime"])
        seen.add(fields["UpdateTime"][:2])
    assert {"23", "00", "09"} <= seen and len({k["TradingDay"] for k in kept}) == 2


def test_a_declaration_the_engine_cannot_compute_is_logged_at_start_with_its_name_and_left_out(make_engine, log):
    declared = {"ok": ("mean", "LastPrice", "2 ticks"), "bad kind": ("mean", "LastPrice", "2 ticks"),
                "median": ("median", "LastPrice", "5 ticks"), "slow": ("ema", "LastPrice", "60 s"),
                "half": ("sum", "Volume", "2.5 ticks"), "field": ("max", None, "day"), "short": ("mean", "LastPrice")}
    engine = make_engine(extra="Indicators = %r\n" % declared)
    refused = [r.msg for r in log.records if r.level == "error"]
    assert refused == [
        "strategy names: indicator 'bad kind' is refused: its name is not a Python name",
        "strategy names: indicator 'median' is refused: the statistic is none of mean, max, min, sum, ema, vwap",
        "strategy names: indicator 'slow' is refused: ema needs a window of N ticks",
        "strategy names: indicator 'half' is refused: the window is none of 'N ticks', 'N s', 'day'",
        "strategy names: indicator 'field' is refused: the field is not a name (None only for vwap, which then "
        "weights LastPrice)",
        "strategy names: indicator 'short' is refused: it is not (statistic, field, window)"]
    assert [check.indicator_problem(name, spec) for name, spec in declared.items()] == [
        None, *[text.split(" is refused: ")[1] for text in refused]]
    tick(engine, 3500)
    _, attributes = tick(engine, 3510)
    assert attributes["ok"] == 3505.0 and not set(declared) - {"ok"} & set(attributes)
    assert len([r for r in log.records if r.level == "error"]) == 6  # not again on each tick


def test_sessions_by_product_and_over_midnight(make_engine):
    engine = make_engine(extra="Sessions = {'rb': [('21:00', '01:00')], 'hc': [('09:00', '10:15')]}\n")
    assert tick(engine, 3500, update_time="23:59:30")[1]["session_left"] == 3630
    assert tick(engine, 3500, update_time="02:00:00")[1]["session_left"] == 0  # after the night session
    assert check.sessions_problem({"rb": [("21:00", "01:00")]}) is None
    assert check.sessions_problem([("21:00", "21:00")]) and check.sessions_problem([("9:00", "10:00")])


# --- the glossary -------------------------------------------------------------------------

GUARDED = REPO / "samples" / "guarded-host"


def listed(host):
    """{group: names} that brindle-check --names prints for the host."""
    proc = subprocess.run([*tool("check"), "--names", "--host", str(host)], capture_output=True, text=True,
                          env=TOOL_ENV, cwd=REPO)
    assert proc.returncode == 0, proc.stderr
    groups = {}
    for line in proc.stdout.splitlines():
        if line.startswith("  "):
            groups[group].append(line.strip())
        else:
            group = line.split(":")[0]
            groups[group] = []
    return groups


def glossary():
    """{section: names} of the tables in docs/strategy-names.md."""
    groups, section = {}, None
    for line in (REPO / "docs" / "strategy-names.md").read_text(encoding="utf-8").splitlines():
        if line.startswith("## "):
            section = line[3:]
        found = re.match(r"\| `(\w+)` \|", line)
        if found:
            groups.setdefault(section, []).append(found.group(1))
    return groups


def test_the_glossary_lists_what_the_check_lists_and_the_engine_writes(make_engine):
    guarded, sample, documented = listed(GUARDED), listed(SAMPLE_HOST), glossary()
    for section, group in (("Tick", "tick"), ("Instrument", "instrument"), ("Running statistics", "statistics"),
                           ("Trading state", "trading state"), ("Indicators", "indicators")):
        assert sorted(documented[section]) == sorted(guarded[group]), section
    assert documented["Zeroed at start"] == sample["zeroed"] and sample["trading state"] == []
    # The engine with the guarded settings writes exactly these names (and the parameters).
    engine = make_engine(extra=(GUARDED / "cfg" / "oxa_can_change_env.py").read_text(encoding="utf-8"))
    engine.push_OnRspQryInstrument("Instrument", records().InstrumentField(
        InstrumentID=INSTRUMENT, ExchangeID="SHFE", VolumeMultiple=10, PriceTick=1.0, ProductID="rb"))
    engine.push_InstrumentAttr(INSTRUMENT, {"open_ticks": 3, "stop_ticks": 5})
    fields = records().DepthMarketDataField(InstrumentID=INSTRUMENT, TradingDay="20241107", LastPrice=3500.0,
                                            Volume=10, UpdateTime="09:30:00").to_dict()
    engine.push_md2trade(INVESTOR, INSTRUMENT, fields)
    written = set(engine.get_InstrumentAttr(INSTRUMENT))
    assert written == {name for names in guarded.values() for name in names}
