"""statMD against hand-computed statistics of a sequence of ticks."""
from decimal import Decimal

import pytest

LARGEST = 1.7976931348623157e308  # the largest finite double: an absent bid or ask


@pytest.fixture
def engine(brindle, log):
    return brindle.COXAAlgos()


def tick(price, volume, bid=(1, 1), ask=(2, 1)):
    return {"LastPrice": price, "Volume": volume, "BidPrice1": bid[0], "BidVolume1": bid[1],
            "AskPrice1": ask[0], "AskVolume1": ask[1]}


def runs(factor):
    return tuple(factor[k] for k in ("LastPrice_Cur_Up", "LastPrice_Cur_Keep", "LastPrice_Cur_Down"))


def test_a_sequence_of_ticks(engine):
    factor = engine.InitFactor()
    ticks = [
        (tick(100, 10, (99, 5), (101, 7)), (1, 0, 0)),  # the first tick rises from 0
        (tick(101, 25, (100, 3), (102, 4)), (2, 0, 0)),
        (tick(101, 30, (100, 2), (102, 1)), (0, 1, 0)),
        (tick(101, 30, (100, 2), (102, 1)), (0, 2, 0)),  # unchanged cumulative volume
        (tick(101, 31, (100, 2), (102, 1)), (0, 3, 0)),
    ]
    for md, expected_runs in ticks:
        assert engine.statMD(factor, md) is None
        assert runs(factor) == expected_runs
        factor.update(md)  # as the tick handler merges it
    # a fall to a new price with no trading, an absent bid price and an absent ask volume
    engine.statMD(factor=factor, pMD=tick(99, 31, (LARGEST, 9), (100, LARGEST)))
    expected = {
        "LastPrice_Cur_Up": 0, "LastPrice_Acc_Up": 2, "order_acc_up": 2,
        "LastPrice_Cur_Keep": 0, "LastPrice_Acc_Keep": 3, "order_acc_keep": 3,
        "LastPrice_Cur_Down": 1, "LastPrice_Acc_Down": 1, "order_acc_down": 1,
        "vol_diff": 0, "order_TradeVolume": 31, "trade_book": {100: 10, 101: 21, 99: 0},
        "BidPrice1": 0, "BidVolume1": 9, "BidVolume": 23, "order_BidVolume": 23,
        "bid_order_book": {99: 5, 100: 9, 0: 9},
        "AskPrice1": 100, "AskVolume1": 0, "AskVolume": 14, "order_AskVolume": 14,
        "ask_order_book": {101: 7, 102: 7, 100: 0},
    }
    assert {key: factor[key] for key in expected} == expected
    assert all(type(factor[key]) is int for key in expected if not key.endswith("book"))


def test_python_arithmetic_on_the_tick_values(engine):
    factor = engine.InitFactor()
    factor.update(LastPrice=Decimal("3500.0"), Volume=Decimal(5))
    engine.statMD(factor, tick(Decimal("3500"), Decimal(8), (Decimal("3499"), 2)))
    assert runs(factor) == (0, 1, 0)  # Decimal("3500") == Decimal("3500.0")
    assert type(factor["vol_diff"]) is Decimal and factor["trade_book"] == {Decimal(3500): 3}
    nan = float("nan")
    factor["LastPrice"] = nan
    engine.statMD(factor, tick(nan, 8))
    assert runs(factor) == (0, 0, 1)  # incomparable prices take the fall branch
    factor["trade_book"][7] = "not a number"  # a failing addition becomes an assignment
    engine.statMD(factor, tick(7, 9))
    assert factor["trade_book"][7] == factor["vol_diff"] == 4  # the Volume entry is still 5


def test_a_missing_key_raises_after_the_earlier_steps(engine):
    factor = engine.InitFactor()
    del factor["AskVolume"]
    with pytest.raises(KeyError, match="AskVolume"):
        engine.statMD(factor, tick(100, 10, (99, 5), (101, 7)))
    assert runs(factor) == (1, 0, 0)
    assert (factor["vol_diff"], factor["order_TradeVolume"], factor["trade_book"]) == (10, 10, {100: 10})
    assert (factor["BidVolume"], factor["order_BidVolume"], factor["bid_order_book"]) == (5, 5, {99: 5})
    assert (factor["AskPrice1"], factor["AskVolume1"], factor["ask_order_book"]) == (101, 7, {})


def test_absent_quotes_at_the_edges_of_the_number_types(engine):
    factor = engine.InitFactor()
    nan = float("nan")
    engine.statMD(factor, tick(100, 10, (float("inf"), 2**63), (nan, 10**400)))
    assert (factor["BidPrice1"], factor["BidVolume1"], factor["AskVolume1"]) == (0, 2**63, 0)
    assert factor["AskPrice1"] is nan
    engine.statMD(factor, tick(100, 10, (-float("inf"), -2**63), (1.79e308, 1.7899999999999998e308)))
    assert (factor["BidPrice1"], factor["BidVolume1"], factor["AskPrice1"], factor["AskVolume1"]) == (
        -float("inf"), -2**63, 0, 1.7899999999999998e308)
