"""Getters, setters and InitFactor of the engine's state tables."""
import pytest


@pytest.fixture
def engine(brindle, log):
    engine = brindle.COXAAlgos()
    log.clear()
    return engine


def test_getters_hand_out_stored_objects_and_never_create_entries(engine):
    orders, positions, requests = [{"o": 1}], [{"p": 1}], [{"r": 1}]
    engine.instrument_rtn_order_dict["rb"] = orders
    engine.instrument_position_dict["rb"] = positions
    engine.instrument_req_order_dict["rb"] = requests
    assert engine.get_Order_list("rb") is orders
    assert engine.get_Position(instrumentID="rb") is positions
    assert engine.get_ReqOrderList("rb") is requests
    engine.set_InstrumentAttr("rb", "k", 1)
    assert engine.get_InstrumentAttr("rb") is engine.instrument_attr_dict["rb"]

    for getter in (engine.get_InstrumentAttr, engine.get_Order_list, engine.get_Position,
                   engine.get_ReqOrderList):
        empty = getter(None)
        assert empty == type(empty)() and empty is not getter(None)  # a fresh one each time
        assert getter("missing") is None and getter("") is None and getter(0) is None
    assert type(engine.get_InstrumentAttr(None)) is dict and type(engine.get_Position(None)) is list
    assert list(engine.instrument_attr_dict) == ["rb"]
    assert list(engine.instrument_position_dict) == ["rb"]


def test_global_attributes(engine):
    engine.set_global_Attr("zero", 0)
    engine.push_global_Attr(key="empty", val="")
    engine.set_global_Attr("refused", None)
    engine.push_global_Attr(None, 1)
    assert dict(engine.global_dict) == {"zero": 0, "empty": ""}
    assert engine.get_global_Attr("zero") == 0 and engine.get_global_Attr("absent") is None
    assert engine.get_global_Attr(None) is None
    with pytest.raises(TypeError, match="unhashable"):
        engine.set_global_Attr([], 1)


def test_init_factor_reads_the_host_list_afresh(brindle, engine, monkeypatch):
    monkeypatch.setattr(brindle.myDEnv, "Init_Factor_Zero", ["LastPrice", "Volume", "trade_book", "LastPrice"])
    first = engine.InitFactor()
    assert list(first.items()) == [("LastPrice", 0), ("Volume", 0), ("trade_book", {}),
                                   ("UpdateTime", "01:01:01"), ("bid_order_book", {}), ("ask_order_book", {})]
    assert len({id(first[book]) for book in ("trade_book", "bid_order_book", "ask_order_book")}) == 3
    monkeypatch.setattr(brindle.myDEnv, "Init_Factor_Zero", iter(["x"]))  # any iterable
    second = engine.InitFactor()
    assert list(second)[0] == "x" and second["trade_book"] is not first["trade_book"]
    assert not engine.instrument_attr_dict


def test_writers_create_the_entry_then_set_or_merge(brindle, engine, log):
    engine.set_InstrumentAttr("rb", "InstrumentStatus", "2")
    expected = engine.InitFactor()
    expected["InstrumentStatus"] = "2"
    assert engine.instrument_attr_dict["rb"] == expected
    engine.set_InstrumentAttr("hc", "k", None)
    engine.push_InstrumentAttr("hc", {"UpdateTime": "09:30:00"})
    assert engine.instrument_attr_dict["hc"]["UpdateTime"] == "09:30:00"
    engine.push_InstrumentAttr(b"j", {"k": 1})  # not a str: ignored
    engine.push_InstrumentAttr("j", [("k", 1)])  # not a dict: ignored
    assert list(engine.instrument_attr_dict) == ["rb", "hc"] and not log.records


def test_writer_failures_are_logged_once_and_keep_what_was_done(brindle, engine, log, monkeypatch):
    engine.set_InstrumentAttr("rb", [], 1)  # the entry is stored before the key fails
    assert "rb" in engine.instrument_attr_dict
    engine.set_InstrumentAttr([], "k", 1)
    monkeypatch.delattr(brindle.myDEnv, "Init_Factor_Zero")
    assert engine.set_InstrumentAttr("hc", "k", 1) is None
    assert engine.push_InstrumentAttr("hc", {"k": 1}) is None
    assert [(r.msg, r.exc_info, r.exc_type) for r in log.records] == [
        ("set_InstrumentAttr", True, TypeError), ("set_InstrumentAttr", True, TypeError),
        ("set_InstrumentAttr", True, AttributeError), ("push_InstrumentAttr", True, AttributeError)]
    assert list(engine.instrument_attr_dict) == ["rb"]
