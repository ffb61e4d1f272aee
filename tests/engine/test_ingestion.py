"""The push_ methods: records filed into the engine's tables (stored without copies, merged
in place), recording under the switches, and failures that leave earlier changes."""
import pytest


@pytest.fixture
def records(brindle):
    return brindle.py_ApiStructure


@pytest.fixture
def engine(brindle, workdir, log):
    workdir.set_ini({"COMMUNICATION_SWITCH": {"c_cython": 0, "cython_c": 0}, "CLOUD": {"upload": 0}})
    return brindle.COXAAlgos()


@pytest.fixture
def traced(engine):
    """Every dump_rsp/dump_req/dict2DB call, as (kind, table_name, dictionary)."""
    calls = []
    engine.dump_rsp = lambda table, d: calls.append(("rsp", table, d))
    engine.dump_req = lambda table, d: calls.append(("req", table, d))
    engine.dict2DB = lambda table, d: calls.append(("db", table, d))
    return calls


class Record:
    """A host record with to_dict() returning the dictionary given (the same one each call)."""

    def __init__(self, **fields):
        self.dict = fields

    def to_dict(self):
        return self.dict


def order(records, **fields):
    base = dict(InstrumentID="rb2501", ExchangeID="SHFE", OrderSysID="  100", OrderStatus="3")
    base.update(fields)
    return records.OrderField(**base)


def test_orders_merge_in_place(engine, records, traced):
    first = order(records, VolumeTraded=0, StatusMsg="queued")
    engine.push_Order("Order", first)
    stored = engine.instrument_rtn_order_dict["rb2501"]
    entry = stored[0]
    engine.push_OnRtnOrder("Order", order(records, VolumeTraded=1, OrderStatus="0", StatusMsg="filled"))
    engine.push_OnRspQryOrder("Order", order(records, OrderSysID="  101"))
    engine.push_Order("Order", order(records, ExchangeID="DCE"))
    lists = engine.instrument_rtn_order_dict
    assert list(lists) == ["rb2501"] and lists["rb2501"] is stored
    assert [(o["OrderSysID"], o["ExchangeID"]) for o in stored] == [("  100", "SHFE"), ("  101", "SHFE"),
                                                                      ("  100", "DCE")]
    assert stored[0] is entry  # merged into, later values winning
    assert (entry["VolumeTraded"], entry["OrderStatus"], entry["StatusMsg"]) == (1, "0", "filled")
    assert traced == []


def test_order_merges_into_every_match(engine, traced):
    # Two stored entries agree with the new record (empty OrderSysIDs are equal too).
    a = {"InstrumentID": "rb2501", "OrderSysID": "", "ExchangeID": "SHFE", "a": 1}
    b = {"InstrumentID": "rb2501", "OrderSysID": "", "ExchangeID": "SHFE", "b": 1}
    engine.push_OnRspOrderInsert("InputOrder", Record(**a))
    engine.push_OnRspOrderInsert("InputOrder", Record(**a))  # answers are appended, never merged
    engine.push_OnRspOrderInsert("InputOrder", Record(**b))
    stored = engine.instrument_rtn_order_dict["rb2501"]
    assert len(stored) == 3
    new = Record(InstrumentID="rb2501", OrderSysID="", ExchangeID="SHFE", OrderStatus="1", c=2)
    engine.push_Order("Order", new)
    assert len(stored) == 3 and all(o["c"] == 2 and o["OrderStatus"] == "1" for o in stored)
    assert all(o is not new.dict for o in stored)
    # Python's equality decides, whatever the values are: 7 == 7.0.
    engine.push_Order("Order", Record(InstrumentID="hc2501", OrderSysID=7, ExchangeID="DCE", OrderStatus="1"))
    engine.push_Order("Order", Record(InstrumentID="hc2501", OrderSysID=7.0, ExchangeID="DCE", OrderStatus="2"))
    assert [o["OrderStatus"] for o in engine.instrument_rtn_order_dict["hc2501"]] == ["2"]
    # A stored entry without the key is another record; the others still merge.
    del stored[1]["ExchangeID"]
    engine.push_Order("Order", Record(InstrumentID="rb2501", OrderSysID="", ExchangeID="SHFE", OrderStatus="5"))
    assert [o["OrderStatus"] for o in stored] == ["5", "1", "5"]
    # A record without the key still fails with Python's KeyError.
    with pytest.raises(KeyError, match="OrderSysID"):
        engine.push_Order("Order", Record(InstrumentID="rb2501", ExchangeID="SHFE", OrderStatus="1"))


def test_a_notification_finds_its_order_among_many_whatever_the_host_changed(engine):
    def push(sys_id, status="3"):
        engine.push_Order("Order", Record(InstrumentID="rb2501", OrderSysID=sys_id, ExchangeID="SHFE",
                                          OrderStatus=status))

    for n in range(20):
        push(str(n))
    stored = engine.instrument_rtn_order_dict["rb2501"]
    push("7", "0")
    stored[9]["OrderSysID"] = "x9"  # renamed in place by the host
    push("x9", "0")
    push("9")  # no longer stored: appended
    stored.reverse()
    push("3", "0")
    stored[0] = {"OrderSysID": "new", "ExchangeID": "SHFE"}
    push("new", "0")

    class Folded(str):
        def __eq__(self, other):
            return self.lower() == other.lower()

        __hash__ = str.__hash__

    stored[1]["OrderSysID"] = Folded("ab")
    push("AB", "0")
    assert len(stored) == 21
    assert sorted(o["OrderSysID"] for o in stored if o["OrderStatus"] == "0") == ["3", "7", "AB", "new", "x9"]


def test_order_notifications_after_an_insert_answer_of_the_host(engine, records):
    # The host's order-insert answers carry no OrderSysID; they share the order list and
    # must not make the instrument's later order notifications fail.
    engine.push_OnRspOrderInsert("InputOrder", records.InputOrderField(InstrumentID="rb2501", ExchangeID="SHFE"))
    engine.push_Order("Order", order(records, OrderSysID="42"))
    engine.push_Order("Order", order(records, OrderSysID="42", OrderStatus="0"))
    stored = engine.instrument_rtn_order_dict["rb2501"]
    assert len(stored) == 2 and stored[1]["OrderSysID"] == "42" and stored[1]["OrderStatus"] == "0"


def test_status_a_is_traced_but_not_filed(engine, records, traced):
    engine.c_cython = 1
    unknown = order(records, OrderStatus="a")
    engine.push_Order("Order", unknown)
    assert not engine.instrument_rtn_order_dict
    assert traced == [("rsp", "Order", unknown.to_dict())]


def test_positions_one_entry_per_direction(engine, records, traced):
    engine.c_cython = 1
    long_ = records.InvestorPositionField(InstrumentID="rb2501", PosiDirection="2", Position=1)
    engine.push_OnRspQryInvestorPosition("Position", Record(**long_.to_dict()))
    entry = engine.instrument_position_dict["rb2501"][0]
    engine.push_OnRspQryInvestorPosition("Position", records.InvestorPositionField(
        InstrumentID="rb2501", PosiDirection="3", Position=4))
    engine.push_OnRspQryInvestorPosition("Position", records.InvestorPositionField(
        InstrumentID="rb2501", PosiDirection="2", Position=0))
    stored = engine.instrument_position_dict["rb2501"]
    assert [(p["PosiDirection"], p["Position"]) for p in stored] == [("2", 0), ("3", 4)]
    assert stored[0] is entry
    assert [kind for kind, _, _ in traced] == ["rsp"] * 3


@pytest.mark.parametrize("c_cython, cython_c", [(1, 0), (0, 1)])
def test_order_requests_are_kept_in_call_order(engine, records, traced, c_cython, cython_c):
    engine.c_cython, engine.cython_c = c_cython, cython_c
    requests = [records.InputOrderField(InstrumentID="rb2501", OrderRef=str(n)) for n in (1, 1, 2)]
    dicts = []
    for request in requests:
        d = request.to_dict()
        dicts.append(d)
        engine.push_ReqOrderInsert("InputOrder", Record(**d))
    stored = engine.instrument_req_order_dict["rb2501"]
    assert [r["OrderRef"] for r in stored] == ["1", "1", "2"]
    # Only cython_c traces requests.
    assert [kind for kind, _, _ in traced] == (["req"] * 3 if cython_c == 1 else [])
    for (_, table, d), filed in zip(traced, stored):
        assert table == "InputOrder" and d is filed


def test_trading_account_and_settlement(engine, records, traced):
    account = engine.TradingAccount
    engine.push_OnRspQryTradingAccount("Account", records.TradingAccountField(AccountID="a1", Balance=5.0))
    engine.push_OnRspQryTradingAccount("Account", Record(Balance=7.0, Extra=1))
    assert engine.TradingAccount is account
    assert account["AccountID"] == "a1" and account["Balance"] == 7.0 and account["Extra"] == 1
    engine.upload = 1  # written but not traced
    settlement = Record(TradingDay="20250102", Content="text")
    engine.push_OnRspQrySettlementInfo("Settlement", settlement)
    assert traced == [("db", "Settlement", settlement.dict)]
    engine.c_cython, engine.upload = 1, 0
    engine.push_OnRspQrySettlementInfo("Settlement", settlement)
    assert traced[1:] == [("rsp", "Settlement", settlement.dict)]


def test_query_and_notification_go_through_push_order(engine):
    calls = []
    engine.push_Order = lambda table, record: calls.append((table, record)) or "dropped"
    record = object()
    assert engine.push_OnRspQryOrder("Order", record) is None
    assert engine.push_OnRtnOrder("RtnOrder", record) is None
    assert calls == [("Order", record), ("RtnOrder", record)]


def test_failures_leave_earlier_changes(engine, records, workdir):
    with pytest.raises(AttributeError, match="'int' object has no attribute 'to_dict'"):
        engine.push_Order("Order", 5)
    with pytest.raises(KeyError, match="InstrumentID"):
        engine.push_Order("Order", Record(OrderStatus="3"))
    with pytest.raises(KeyError, match="OrderStatus"):
        engine.push_Order("Order", Record(InstrumentID="rb2501"))
    assert not engine.instrument_rtn_order_dict
    # Filed first, then the trace fails: the record stays filed.
    engine.c_cython = 1
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1}}, which="root")
    workdir.remove_log()
    with pytest.raises(FileNotFoundError):
        engine.push_OnRspOrderInsert("InputOrder", records.InputOrderField(InstrumentID="rb2501"))
    assert len(engine.instrument_rtn_order_dict["rb2501"]) == 1
    # An unhashable instrument ID.
    with pytest.raises(TypeError, match="unhashable"):
        engine.push_ReqOrderInsert("InputOrder", Record(InstrumentID=["rb2501"]))


def test_instrument_answers_and_status_notifications(engine, records, traced):
    engine.c_cython = 1
    engine.push_OnRspQryInstrument("Instrument", records.InstrumentField(InstrumentID="rb2501", ExchangeID="SHFE",
                                                                        PriceTick=1.0))
    rb = engine.get_InstrumentAttr("rb2501")
    assert rb["ExchangeID"] == "SHFE" and rb["PriceTick"] == 1.0 and rb["UpdateTime"] == "01:01:01"
    # A bytes ID is not filed, raises nothing, and is still traced.
    engine.push_OnRspQryInstrument("Instrument", records.InstrumentField(InstrumentID=b"hc2501"))
    assert list(engine.instrument_attr_dict) == ["rb2501"]
    status = dict(InstrumentID="hc2501", InstrumentStatus="2", TradingSegmentSN=3, EnterTime="09:00:00",
                  EnterReason="1")
    engine.push_OnRtnInstrumentStatus("Status", records.InstrumentStatusField(**status))
    hc = engine.get_InstrumentAttr("hc2501")
    assert set(engine.InitFactor()) <= set(hc)
    assert {key: hc[key] for key in status if key != "InstrumentID"} == \
        {"InstrumentStatus": "2", "TradingSegmentSN": 3, "EnterTime": "09:00:00", "EnterReason": "1"}
    assert [(kind, table) for kind, table, _ in traced] == [("rsp", "Instrument")] * 2 + [("rsp", "Status")]
    # Keys set before a missing one stay set; nothing is traced.
    del status["EnterReason"]
    status.update(InstrumentStatus="3", TradingSegmentSN=4)
    with pytest.raises(KeyError, match="EnterReason"):
        engine.push_OnRtnInstrumentStatus("Status", Record(**status))
    assert (hc["InstrumentStatus"], hc["TradingSegmentSN"], hc["EnterReason"]) == ("3", 4, "1")
    assert len(traced) == 3


ZERO = ("LastPrice", "Volume", "LastPrice_Cur_Up", "LastPrice_Acc_Up", "order_acc_up", "LastPrice_Cur_Keep",
        "LastPrice_Acc_Keep", "order_acc_keep", "LastPrice_Cur_Down", "LastPrice_Acc_Down", "order_acc_down",
        "order_TradeVolume", "BidVolume", "order_BidVolume", "AskVolume", "order_AskVolume")


def test_positions_gate_the_close_decisions(engine, records, settings_module):
    strategy = {}
    for n, action in enumerate(("buy_open", "sell_open", "buy_close", "sell_close"), start=1):
        strategy.update({action + "_express": "True", action + "_price": "LastPrice", action + "_vol": n})
    settings_module.write("AI_Strategy = %r\nReal_Fresh_Factor = 0\nupdate_factor_period = 60\n"
                          "Init_Factor_Zero = %r\n" % ({"00001": {"rb2501": strategy}}, ZERO), clean=True)
    engine.push_OnRspQryInstrument("Instrument", records.InstrumentField(InstrumentID="rb2501", ExchangeID="SHFE"))
    tick = {"LastPrice": 3500, "Volume": 1, "BidPrice1": 3499, "BidVolume1": 1, "AskPrice1": 3501,
            "AskVolume1": 1, "UpdateTime": "09:30:01"}
    opens = [("buy_open", "SHFE", 3500, 1), ("sell_open", "SHFE", 3500, 2)]
    assert engine.push_md2trade("00001", "rb2501", dict(tick)) == opens
    engine.push_OnRspQryInvestorPosition("Position", records.InvestorPositionField(
        InstrumentID="rb2501", PosiDirection="2", Position=1))
    assert engine.push_md2trade("00001", "rb2501", dict(tick)) == opens + [
        ("buy_close", "SHFE", 3500, 3), ("sell_close", "SHFE", 3500, 4)]
