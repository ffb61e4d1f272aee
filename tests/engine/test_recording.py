"""dump_rsp, dump_req, dumpRspDict and DumpReqDict: the trace record of a dictionary, its
request number, and the switches of the two host entry points."""
import pytest

CHINESE = "螺纹钢"


@pytest.fixture
def engine(brindle, workdir, log):
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 1}}, which="root")
    return brindle.COXAAlgos()


class Record:
    def __init__(self, **fields):
        self.fields = fields

    def to_dict(self):
        return dict(self.fields)


def test_request_numbers_and_record_layout(engine, workdir):
    engine.dump_rsp("Order", {"InstrumentID": "rb2501", "Name": CHINESE.encode("gb18030"), "Volume": 3,
                              "Price": 3500.5, "Note": None})
    engine.dump_req("InputOrder", {"OrderRef": "it's"})
    engine.dump_rsp("Order", {})
    assert engine._COXAAlgos__RequestID == 3
    order = "1:\nInstrumentID,Name,Volume,Price,Note\n'rb2501','%s',3,3500.5,None\n3:\n\n\n" % CHINESE
    assert workdir.log_files() == {
        "c2py_Order.log": order,
        "c2py_all.log": order,
        "py2c_InputOrder.log": "2:\nOrderRef\n'it's'\n",
        "py2c_all.log": "2:\nOrderRef\n'it's'\n",
    }


def test_failures_before_and_after_the_request_number(engine, workdir):
    with pytest.raises(TypeError, match="can only concatenate str"):
        engine.dump_rsp("Order", {"a": 1, 2: 3})
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        engine.dump_req("Order", None)
    values = {"a": 1}

    class Growing:
        def __str__(self):
            values["b"] = 2
            return "g"

    values["x"] = Growing()
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        engine.dump_rsp("Order", values)
    assert engine._COXAAlgos__RequestID == 0 and workdir.log_files() == {}
    # A failing trace call comes after the number was taken.
    workdir.remove_log()
    with pytest.raises(FileNotFoundError):
        engine.dump_rsp("Order", {"a": 1})
    assert engine._COXAAlgos__RequestID == 1


def test_module_globals_and_overrides_are_honoured(brindle, engine, monkeypatch):
    calls = []
    monkeypatch.setattr(brindle, "toString2", lambda v: "<%s>" % v)
    monkeypatch.setattr(brindle, "dump_py2c", lambda *args: calls.append(args) or "ignored")
    engine.Inc_RequestID = lambda: 41
    assert engine.dump_req("T", {"a": 1, "b": "x"}) is None
    assert calls == [("T", "\na,b\n<1>,<x>", 41)]
    monkeypatch.delattr(brindle, "dump_py2c")
    with pytest.raises(NameError, match="name 'dump_py2c' is not defined"):
        engine.dump_req("T", {})


@pytest.mark.parametrize("method", ["dumpRspDict", "DumpReqDict"])
@pytest.mark.parametrize("c_cython, cython_c, upload", [(1, 0, 0), (0, 1, 1), (1, 1, 1), (0, 0, 0)])
def test_entry_points_follow_c_cython_and_upload(engine, method, c_cython, cython_c, upload):
    traced, written = [], []
    engine.c_cython, engine.cython_c, engine.upload = c_cython, cython_c, upload
    engine.dump_rsp = lambda *args: traced.append(("rsp",) + args)
    engine.dump_req = lambda *args: traced.append(("req",) + args)
    engine.dict2DB = lambda *args: written.append(args)
    record = Record(InstrumentID="rb2501")
    assert getattr(engine, method)("T", record) is None
    kind = "rsp" if method == "dumpRspDict" else "req"
    assert traced == ([(kind, "T", {"InstrumentID": "rb2501"})] if c_cython == 1 else [])
    assert written == ([("T", {"InstrumentID": "rb2501"})] if upload == 1 else [])
    if traced and written:  # one dictionary serves both
        assert traced[0][2] is written[0][1]


def test_rows_reach_the_database_without_a_trace(db_ini, brindle, workdir, log):
    # c_cython 0 and upload 1: the record object's dictionary becomes a row, nothing is traced.
    db_ini.execute("CREATE TABLE Settlement (TradingDay VARCHAR(8), SettlementID INT, BrokerID VARCHAR(8), "
                   "InvestorID VARCHAR(8), SequenceNo INT, Content TEXT, AccountID VARCHAR(8), "
                   "CurrencyID VARCHAR(4))")
    workdir.set_ini({"CLOUD": {"upload": 1, "debug": 0}, "COMMUNICATION_SWITCH": {"c_cython": 0, "cython_c": 1}})
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 1}}, which="root")
    engine = brindle.COXAAlgos()
    record = brindle.py_ApiStructure.SettlementInfoField(TradingDay="20250102", SettlementID=1, InvestorID="00001",
                                                         SequenceNo=2, Content="%s it's" % CHINESE)
    engine.dumpRspDict("Settlement", record)
    engine.push_OnRspQrySettlementInfo("Settlement", record)
    row = ("20250102", 1, "", "00001", 2, "%s it's" % CHINESE, "", "")
    assert db_ini.execute("SELECT * FROM Settlement") == (row, row)
    assert workdir.log_files() == {} and engine._COXAAlgos__RequestID == 0
    assert log.at("error") == []
