"""No reference leaks: repeating an operation thousands of times leaves the interpreter's
traced memory where it was, on the main road and on every error road (handled exceptions
with their tracebacks, fallbacks, retries, dead letters, TypeErrors of wrong calls).

tracemalloc sees every object the engine makes, so an object leaked per call shows as
thousands of them. The million-tick run of resident memory is `make memory`."""
import gc
import sys
import tracemalloc
import types

import pytest

from harness.hostile import Record
from harness.session import INVESTOR, Session, ticks

RUNS = 4000
# A reference leaked per call keeps RUNS blocks at least. What stays otherwise is the
# interpreter's own: each configparser.ConfigParser made and dropped leaves a block behind
# now and then (about 0.15 of one, the same from pure Python), and the trace functions and
# connectDB make one per call.
ALLOWED_BLOCKS = RUNS // 2


class NullLogger:
    def __getattr__(self, level):
        return lambda *args, **kwargs: None


class NullOutput:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class QuietDatabase(types.ModuleType):
    """A pymysql stand-in that keeps nothing: queries answer `rows`, writes fail or not."""

    def __init__(self, rows=(), fail=False):
        super().__init__("pymysql")
        self.rows, self.fail = rows, fail
        self.cursors = types.SimpleNamespace(Cursor=QuietCursor)

    def Connect(self, **settings):
        if self.fail:
            raise ConnectionRefusedError("refused")
        return QuietConnection(self)


class QuietConnection:
    def __init__(self, db):
        self.db = db

    def cursor(self):
        return QuietCursor(self.db)

    def commit(self):
        pass

    def close(self):
        pass


class QuietCursor(QuietConnection):
    def execute(self, sql):
        return 0

    def executemany(self, sql, rows):
        return len(rows)

    def fetchall(self):
        return self.db.rows


def growth(operation):
    """(blocks, bytes) of traced memory still held after RUNS further calls of a warmed-up
    operation."""
    for _ in range(200):
        operation()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        for _ in range(RUNS):
            operation()
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    changes = after.compare_to(before, "filename")
    return sum(change.count_diff for change in changes), sum(change.size_diff for change in changes)


@pytest.fixture
def quiet(brindle, workdir, monkeypatch):
    monkeypatch.setattr(sys.modules["cfg.oxa_env"], "logger", NullLogger())
    monkeypatch.setattr(sys, "stdout", NullOutput())
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 1}}, which="root")
    engine = brindle.COXAAlgos()
    session = Session(brindle, engine)
    session.run(ticks(30))
    return brindle, engine, session, monkeypatch


def scenarios():
    """name -> function(brindle, engine, session, monkeypatch) returning the operation."""

    def tick(brindle, engine, session, monkeypatch):
        stream = [dict(t) for t in ticks(48)]
        position = [0]

        def run():
            position[0] = (position[0] + 1) % len(stream)
            engine.push_md2trade(INVESTOR, "rb2501", dict(stream[position[0]]))
        return run

    def failing_tick(brindle, engine, session, monkeypatch):
        return lambda: engine.push_md2trade(INVESTOR, "unknown", {"LastPrice": 1.0})

    def failing_expressions(brindle, engine, session, monkeypatch):
        def run():
            engine.Calc_Express("rb2501", "1 +")
            engine.Calc_Express("rb2501", "no_such_name")
            engine.Calc_Express("nowhere", "1")
        return run

    def resting_orders(brindle, engine, session, monkeypatch):
        for n in range(20):
            engine.push_ReqOrderInsert("InputOrder", Record({"InstrumentID": "rb2501", "Direction": "0",
                                                             "LimitPrice": 1.0, "OrderStatus": "3"}))
        return lambda: engine.SimNow(INVESTOR, "rb2501", 9999.0, 1)

    def fills_kept_as_dead_letters(brindle, engine, session, monkeypatch):
        monkeypatch.setattr(brindle, "pymysql", QuietDatabase(fail=True))
        engine.upload = 1
        order = {"InstrumentID": "rb2501", "Direction": "0", "LimitPrice": 2.0, "OrderStatus": "3", "Express": "x",
                 "CombOffsetFlag": "0", "OrderTime": "t", "MD_Last_Price": 1.0}
        engine.instrument_req_order_dict["rb2501"] = [order]

        def run():
            order["OrderStatus"] = "3"
            engine.SimNow(INVESTOR, "rb2501", 1.0, 1)
        return run

    def ingestion_and_traces(brindle, engine, session, monkeypatch):
        engine.c_cython = engine.cython_c = 1
        records = session.records
        order = records.OrderField(InstrumentID="rb2501", ExchangeID="SHFE", OrderSysID="1", OrderStatus="3")
        position = records.InvestorPositionField(InstrumentID="rb2501", PosiDirection="2")
        status = records.InstrumentStatusField(InstrumentID="rb2501", InstrumentStatus="2")

        def run():
            engine.push_OnRtnOrder("Order", order)
            engine.push_OnRspQryInvestorPosition("InvestorPosition", position)
            engine.push_OnRtnInstrumentStatus("InstrumentStatus", status)
            engine.push_OnRspQryInstrument("Instrument", Record({"InstrumentID": b"bytes"}))
        return run

    def database_roads(brindle, engine, session, monkeypatch):
        row = (1,) + ("rb2501", "SHFE") + ("x",) * 29
        monkeypatch.setattr(brindle, "pymysql", QuietDatabase(rows=(row,)))
        query = session.records.QryInstrumentField(InstrumentID=b"rb2501")
        engine.upload = 1

        def run():
            engine.ReqQryInstrument(query, 0)
            engine.updateFactor()  # the row is no factor row: logged per row
            engine.dict2DB("T", {"a": 1, "b": "x"})
            brindle.ExecuteQuery("select 1")
            engine.ExecuteQuery(None)
            brindle.connectDB()
        return run

    def wrong_calls(brindle, engine, session, monkeypatch):
        def run():
            for call in (lambda: engine.push_md2trade(1), lambda: brindle.toString(val=1),
                         lambda: engine.Calc_Express(instrument="rb2501", strExpress="1", nothing=2),
                         lambda: engine.Factor2String(None), lambda: engine.statMD({}, {})):
                try:
                    call()
                except Exception:
                    pass
            engine.Factor2String("rb2501")  # stops at the first dictionary value, logged
        return run

    return {f.__name__: f for f in (tick, failing_tick, failing_expressions, resting_orders,
                                    fills_kept_as_dead_letters, ingestion_and_traces, database_roads, wrong_calls)}


@pytest.mark.parametrize("name", sorted(scenarios()))
def test_repeated_operations_leave_memory_flat(quiet, name):
    operation = scenarios()[name](*quiet)
    blocks, size = growth(operation)
    assert blocks < ALLOWED_BLOCKS, "%s: %d more blocks (%d bytes) after %d runs" % (name, blocks, size, RUNS)
