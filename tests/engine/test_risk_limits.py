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


def tick(engine, last=3500):
    return engine.push_md2trade(INVESTOR, INSTRUMENT, {"LastPrice": last, "Volume": 1, "BidPrice1": last - 1,
                                                       "BidVolume1": 1, "AskPrice1": last + 1, "AskVolume1": 1})


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
