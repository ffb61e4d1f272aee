"""[RISK] limits: push_md2trade withholds the decisions that would break one, logs it once per
limit and instrument per minute, and counts it; the most specific limit applies."""
from datetime import datetime, timedelta

import pytest

INVESTOR, INSTRUMENT = "00001", "rb2501"
ZERO = ("LastPrice", "Volume", "LastPrice_Cur_Up", "LastPrice_Acc_Up", "order_acc_up",
        "LastPrice_Cur_Keep", "LastPrice_Acc_Keep", "order_acc_keep", "LastPrice_Cur_Down",
        "LastPrice_Acc_Down", "order_acc_down", "order_TradeVolume", "BidVolume",
        "order_BidVolume", "AskVolume", "order_AskVolume")
STRATEGY = {"buy_open_express": "True", "buy_open_price": "LastPrice", "buy_open_vol": 2,
            "sell_open_express": "False", "buy_close_express": "True", "buy_close_price": "LastPrice",
            "buy_close_vol": 1, "sell_close_express": "False"}
OPEN, CLOSE = ("buy_open", "SHFE", 3500, 2), ("buy_close", "SHFE", 3500, 1)


class Clock:
    at = datetime(2024, 11, 7, 9, 30, 0)

    @classmethod
    def now(cls):
        return cls.at


@pytest.fixture
def engine(brindle, settings_module, workdir, log, monkeypatch):
    settings_module.write("AI_Strategy = %r\nReal_Fresh_Factor = 0\nInit_Factor_Zero = %r\n"
                          % ({INVESTOR: {INSTRUMENT: STRATEGY}}, ZERO), clean=True)
    monkeypatch.setattr(brindle, "datetime", Clock)
    monkeypatch.setattr(Clock, "at", Clock.at)

    def make(limits, position=0, close_profit=0, resting=0):
        workdir.set_ini({"RISK": limits})
        engine = brindle.COXAAlgos()
        engine.push_InstrumentAttr(INSTRUMENT, {"ExchangeID": "SHFE", "VolumeMultiple": 10})
        if position:
            engine.instrument_position_dict[INSTRUMENT] = [
                {"PosiDirection": "2", "Position": position, "PositionCost": 3400 * 10 * position,
                 "CloseProfit": close_profit}]
        engine.instrument_rtn_order_dict[INSTRUMENT] = [
            {"OrderStatus": "3", "Direction": "0", "CombOffsetFlag": "0", "VolumeTotal": 1}] * resting
        return engine

    return make


def tick(engine, last=3500, day="20241107"):
    return engine.push_md2trade(INVESTOR, INSTRUMENT, {"LastPrice": last, "Volume": 1, "BidPrice1": last - 1,
                                                       "BidVolume1": 1, "AskPrice1": last + 1, "AskVolume1": 1,
                                                       "TradingDay": day})


@pytest.mark.parametrize("limits, book, returned", [
    ({"max_order_volume": 1}, {"position": 1}, [CLOSE]),
    ({"max_position": 3}, {"position": 2}, [CLOSE]),  # 2 held + 2 more > 3
    ({"max_position": 3}, {"resting": 2}, []),  # 2 resting to open + 2 more > 3
    ({"max_position": 4}, {"position": 1, "resting": 1}, [OPEN, CLOSE]),
    ({"max_resting_orders": 2}, {"position": 1, "resting": 1}, [OPEN]),  # the close would be the third
    ({"max_orders_per_second": 1}, {"position": 1}, [OPEN]),
    # realised -1,500 and open (3,500 - 3,400) x 10 x 1: a loss of 500 stops openings only
    ({"max_daily_loss": 500}, {"position": 1, "close_profit": -1500}, [CLOSE]),
    ({"max_daily_loss": 501}, {"position": 1, "close_profit": -1500}, [OPEN, CLOSE]),
], ids=str)
def test_each_limit_withholds_what_would_break_it_and_says_so_once_a_minute(engine, log, limits, book, returned):
    gate = engine(limits, **book)
    assert tick(gate) == returned
    [limit] = limits
    withheld = 2 - len(returned) if book.get("position") else 1 - len(returned)
    assert gate.risk_withheld.get((limit, INSTRUMENT), 0) == withheld
    tick(gate)
    Clock.at += timedelta(minutes=1)
    tick(gate)
    warnings = [r.msg for r in log.records if r.level == "warning"]
    assert len(warnings) == (2 if withheld else 0)
    assert all(w.startswith("risk limit %s = %s withholds " % (limit, limits[limit])) for w in warnings)


def test_the_rates_count_what_was_returned(engine):
    gate = engine({"max_orders_per_second": 2, "max_orders_per_minute": 3})
    assert [tick(gate) for _ in range(3)] == [[OPEN], [OPEN], []]
    Clock.at += timedelta(seconds=1)
    assert tick(gate) == [OPEN]  # the third of the minute
    Clock.at += timedelta(seconds=58)
    assert tick(gate) == []
    Clock.at += timedelta(seconds=2)  # 60 s after the third
    assert [tick(gate) for _ in range(3)] == [[OPEN], [OPEN], []]
    assert gate.risk_withheld == {("max_orders_per_second", INSTRUMENT): 2, ("max_orders_per_minute", INSTRUMENT): 1}


def test_the_most_specific_limit_applies_and_bad_entries_are_left_out(engine, log):
    gate = engine({"max_order_volume": 1, "max_order_volume.00001": 1, "max_order_volume.RB2501": 2,
                   "max_position.rb2501": "many", "max_spread": 3})
    assert tick(gate) == [OPEN]
    assert gate.risk_limits == {"max_order_volume": 1, "max_order_volume.00001": 1, "max_order_volume.rb2501": 2}
    assert sorted(r.msg.split(" = ")[0] for r in log.records if r.level == "error") == [
        "risk limits: [RISK] max_position.rb2501", "risk limits: [RISK] max_spread"]


def test_a_check_that_fails_keeps_only_the_closes(engine, log):
    gate = engine({"max_position": 10}, position=1)
    gate.instrument_position_dict[INSTRUMENT][0]["Position"] = "two"
    assert tick(gate) == [CLOSE]
    assert [r.msg for r in log.records if r.level == "error"] == [
        "risk limits: the decisions could not be checked; only closes are returned"]


def test_the_day_s_loss_counts_from_the_start_of_each_trading_day(engine):
    gate = engine({"max_daily_loss": 500}, position=1, close_profit=-1500)
    assert tick(gate) == [CLOSE]  # the first day: the broker's figures are that day's
    assert tick(gate, day="20241108") == [OPEN, CLOSE]
    gate.instrument_position_dict[INSTRUMENT][0]["CloseProfit"] = -2000
    assert tick(gate, day="20241108") == [CLOSE]


class Position:
    def __init__(self, **fields):
        self.fields = {"InstrumentID": INSTRUMENT, "PosiDirection": "2", "HedgeFlag": "1", "CloseProfit": 0,
                       "PositionCost": 3500 * 10 * fields["Position"], **fields}

    def to_dict(self):
        return dict(self.fields)


def test_every_record_of_a_side_counts_today_s_and_yesterday_s_lots(engine):
    gate = engine({"max_position": 8})
    for date, lots in (("1", 3), ("2", 4), ("2", 4)):  # the last repeats yesterday's record
        gate.push_OnRspQryInvestorPosition("t_position", Position(PositionDate=date, Position=lots))
    assert tick(gate) == [CLOSE]  # 7 held + 2 more
    gate.risk_limits = {"max_position": 9}
    assert tick(gate) == [OPEN, CLOSE]  # 7 held, not today's record overwritten by yesterday's


def test_the_documented_section_is_read_as_written(brindle, workdir, log, settings_module):
    from brindle_tools.common.places import REPO
    from brindle_tools.market import limits
    text = (REPO / "docs" / "live-safety.md").read_text(encoding="utf-8")
    section = text[text.index("    [RISK]\n"):text.index("\n\n", text.index("    [RISK]\n"))]
    ini = workdir.cfg_ini
    ini.write_text(ini.read_text() + "\n" + section.replace("\n    ", "\n")[4:] + "\n")
    expected = {"max_position": 10, "max_order_volume": 5, "max_orders_per_second": 2,
                "max_orders_per_minute": 30, "max_resting_orders": 4, "max_daily_loss": 20000}
    assert brindle.COXAAlgos().risk_limits == expected
    assert limits.host_limits(ini) == (expected, [])
    assert [r.msg for r in log.records if r.level == "error"] == []


@pytest.mark.parametrize("entry, shown", [
    ("max_position. = 3", "max_position. = 3"), ("max_position = \uff11\uff10", "max_position = \uff11\uff10"),
    ("max_position = 1_0", "max_position = 1_0"), ("max_position = 3;4", "max_position = 3;4"),
    ("max_position.password = s3cr%%t", "max_position.password = (not shown)"),
])
def test_typos_in_a_limit_are_left_out(brindle, workdir, log, entry, shown):
    from brindle_tools.market import limits
    ini = workdir.cfg_ini
    ini.write_text(ini.read_text() + "\n[RISK]\n" + entry + "\n", encoding="utf-8")
    assert brindle.COXAAlgos().risk_limits == {}
    assert limits.host_limits(ini) == ({}, [shown])
    [error] = [r.msg for r in log.records if r.level == "error"]
    assert error.startswith("risk limits: [RISK] %s is not a limit" % shown)


def test_a_section_that_cannot_be_read_is_logged_without_its_values(brindle, workdir, log):
    ini = workdir.cfg_ini
    ini.write_text(ini.read_text() + "\n[RISK]\nmax_position = 3%s3cr3t\n", encoding="utf-8")
    assert not hasattr(brindle.COXAAlgos(), "risk_limits")
    [error] = [r for r in log.records if r.level == "error"]
    assert error.msg == "risk limits: [RISK] cannot be read" and "3cr3t" not in error.traceback
