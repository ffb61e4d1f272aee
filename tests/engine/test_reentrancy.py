"""Host code that runs inside an engine call and changes the ground under it: a logger
that calls back into the engine, records and values that mutate the engine's lists and
dictionaries while they are walked, a settings module whose reload takes names away or
re-enters the engine, and several host threads driving one engine at once. Nothing
crashes, Python's own rules decide the outcome, request numbers stay unique and nothing
is lost."""
import re
import sys
import threading
from collections import OrderedDict

import pytest

from harness.hostile import Record
from harness.session import INVESTOR, Session, create_tables, ticks


@pytest.fixture
def session(brindle, workdir, log):
    engine = brindle.COXAAlgos()
    made = Session(brindle, engine, instruments=("rb2501", "hc2501"))
    log.clear()
    return made


# --- a logger that calls back into the engine ------------------------------------------------


def test_logger_calling_back_into_the_engine(brindle, session, monkeypatch):
    """Each error record runs a nested tick of another instrument and takes a request
    number; the outer tick still returns its own decisions."""
    engine = session.engine
    env = sys.modules["cfg.oxa_env"]
    seen = []

    class CallingBack:
        depth = 0

        def error(self, msg, exc_info=None):
            seen.append((msg, sys.exc_info()[0]))
            if self.depth < 3:
                self.depth += 1
                try:
                    engine.Inc_RequestID()
                    engine.push_md2trade(INVESTOR, "hc2501", next(hc_ticks))
                    engine.Calc_Express("rb2501", "no_such_name")  # logs again, one level deeper
                finally:
                    self.depth -= 1

        def __getattr__(self, level):
            return lambda *args, **kwargs: None

    hc_ticks = ticks(1000, instrument="hc2501")
    monkeypatch.setattr(env, "logger", CallingBack())
    stream = list(ticks(6))
    decisions = [engine.push_md2trade(INVESTOR, "rb2501", dict(t)) for t in stream[:3]]
    assert engine.Calc_Express("rb2501", "1 +") == (-1, 0)
    assert ("Calc_Express", SyntaxError) in seen and ("Calc_Express", NameError) in seen
    decisions += [engine.push_md2trade(INVESTOR, "rb2501", dict(t)) for t in stream[3:]]
    assert decisions[3] == [("buy_open", "SHFE", stream[3]["AskPrice1"], 1)]
    assert len(seen) == 4 and engine.Inc_RequestID() == 4  # three callbacks took one number each


def test_logger_replacing_state_while_it_is_in_use(brindle, session, settings_module, monkeypatch, log):
    """A logger that swaps the engine's dictionaries for new ones in the middle of a tick:
    the tick finishes on the objects it already holds."""
    engine = session.engine
    env = sys.modules["cfg.oxa_env"]
    old_attributes = engine.instrument_attr_dict

    class Swapping:
        def error(self, msg, exc_info=None):
            engine.instrument_attr_dict = OrderedDict()
            engine.instrument_position_dict = OrderedDict()
            del brindle.myDEnv

        def __getattr__(self, level):
            return lambda *args, **kwargs: None

    monkeypatch.setattr(brindle, "myDEnv", brindle.myDEnv)  # put back afterwards
    engine.instrument_position_dict["rb2501"] = [{"InstrumentID": "rb2501", "PosiDirection": "2"}]
    attributes = old_attributes["rb2501"]
    attributes["LastPrice_Cur_Up"] = 5  # the buy-open condition holds on the next rising tick
    monkeypatch.setattr(env, "logger", Swapping())
    tick = {"LastPrice": 4000.0, "Volume": 10 ** 6, "BidPrice1": 3999.0, "BidVolume1": 1, "AskPrice1": 4001.0,
            "AskVolume1": 1, "UpdateTime": "10:00:00"}
    # The sell-open condition fails to compile, and the logger swaps everything.
    settings_module.write(settings_module.original.replace(
        '"sell_open_express": "LastPrice_Cur_Down >= open_ticks and vol_diff > 0 and BidPrice1 > 0"',
        '"sell_open_express": "1 +"', 1), reload=False)
    assert engine.push_md2trade(INVESTOR, "rb2501", tick) == [("buy_open", "SHFE", 4001.0, 1)]
    assert attributes["LastPrice"] == 4000.0 and "__builtins__" in attributes
    assert engine.instrument_attr_dict == OrderedDict()


# --- records and values that mutate what the engine walks ------------------------------------


class MutatingOnce:
    """A value whose first comparison runs `action` (then compares as a plain text)."""

    def __init__(self, text, action):
        self.text, self.action = text, action

    def __eq__(self, other):
        action, self.action = self.action, None
        if action:
            action()
        return self.text == other

    __hash__ = None


def test_to_dict_mutating_the_engine_lists(session):
    engine = session.engine
    records = session.records

    def order(sys_id, **fields):
        return records.OrderField(InstrumentID="rb2501", ExchangeID="SHFE", OrderSysID=sys_id, OrderStatus="3",
                                  **fields)

    for n in range(3):
        engine.push_Order("Order", order(str(n)))
    stored = engine.get_Order_list("rb2501")

    class Clearing(Record):
        def to_dict(self):
            del stored[:]  # the list the engine is about to walk
            return super().to_dict()

    engine.push_Order("Order", Clearing(order("1").to_dict()))
    assert [o["OrderSysID"] for o in stored] == ["1"]

    class Replacing(Record):
        def to_dict(self):
            engine.instrument_rtn_order_dict = OrderedDict()
            engine.instrument_req_order_dict = OrderedDict()
            return super().to_dict()

    engine.push_Order("Order", Replacing(order("7").to_dict()))
    assert [o["OrderSysID"] for o in engine.get_Order_list("rb2501")] == ["7"]
    engine.push_ReqOrderInsert("InputOrder", Replacing({"InstrumentID": "rb2501"}))
    assert engine.get_ReqOrderList("rb2501") == [{"InstrumentID": "rb2501"}]


def test_comparisons_that_mutate_the_list_being_walked(session):
    """The merge walks the list as Python's `for` does: entries appended during the walk
    are visited, removed ones are not, and nothing is freed under the walk."""
    engine = session.engine
    stored = [{"OrderSysID": "1", "ExchangeID": "SHFE", "n": 1}, {"OrderSysID": "2", "ExchangeID": "SHFE", "n": 2}]
    engine.instrument_rtn_order_dict["rb2501"] = stored
    late = {"OrderSysID": "3", "ExchangeID": "SHFE", "n": 3}
    key = MutatingOnce("3", lambda: (stored.append(late), stored.pop(0)))
    engine.push_Order("Order", Record({"InstrumentID": "rb2501", "OrderSysID": key, "ExchangeID": "SHFE",
                                       "OrderStatus": "3", "n": 4}))
    assert [o["n"] for o in stored] == [2, 4]  # the appended entry matched and took the update

    orders = engine.instrument_req_order_dict["rb2501"] = [
        {"Direction": "0", "LimitPrice": 3500.0, "OrderStatus": "3", "Express": "x", "CombOffsetFlag": "0",
         "OrderTime": "t", "MD_Last_Price": 1.0} for _ in range(3)]
    orders[0]["Direction"] = MutatingOnce("0", lambda: orders.clear())
    engine.upload = 0
    assert engine.SimNow(INVESTOR, "rb2501", 3400.0, 1) is None
    assert orders == []


def test_values_that_change_a_dictionary_while_it_is_walked(brindle, session, log, capsys):
    """Python's RuntimeError, raised or handled as the operation specifies."""
    engine = session.engine

    class Growing:
        def __init__(self, target):
            self.target = target

        def __str__(self):
            self.target["grown"] = True
            return "g"

        def __radd__(self, other):
            self.target["grown"] = True
            return other + "g"

    class GrowingKey(str):
        target = None

        def __radd__(self, other):
            self.target["grown"] = True
            return other + str(self)

    record = {"a": 1}
    record["b"] = Growing(record)
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        engine.dump_rsp("T", record)
    attributes = engine.instrument_attr_dict["x"] = {"a": 1}
    attributes["z"] = Growing(attributes)
    attributes["q"] = 2
    assert engine.Factor2String("x") == "x:{a1zg}"
    assert (log.records[-1].message, log.records[-1].exc_type) == ("Factor2String", RuntimeError)
    record = {"a": 1}
    GrowingKey.target = record
    record[GrowingKey("b")] = 2
    engine.dict2DB("T", record)
    assert (log.records[-1].message, log.records[-1].exc_type) == ("dict2DB", RuntimeError)


# --- a settings module that takes names away or re-enters the engine -------------------------


def test_settings_reload_deleting_names(brindle, session, settings_module, log):
    engine = session.engine
    settings_module.write(settings_module.original + "\ndel AI_Strategy\ndel Init_Factor_Zero\n", reload=False)
    assert engine.push_md2trade(INVESTOR, "rb2501", next(ticks(1))) == []
    assert log.pairs() == [("warning", "There is no strategy for(00001.rb2501)")]
    engine.set_InstrumentAttr("new", "k", 1)  # InitFactor finds no Init_Factor_Zero
    assert log.pairs()[-1] == ("error", "set_InstrumentAttr") and log.records[-1].exc_type is AttributeError
    log.clear()
    settings_module.write(settings_module.original, reload=False)
    engine.push_md2trade(INVESTOR, "rb2501", next(ticks(1)))
    assert log.records == []  # the next reload brought the strategy back


def test_settings_reload_reentering_the_engine(brindle, session, settings_module, log, monkeypatch):
    """The settings module runs host code on every reload; here that code ticks another
    instrument on the same engine, deletes the module global the engine reads and swaps
    the attribute dictionary of the instrument being ticked."""
    engine = session.engine
    stream = list(ticks(6))
    baseline = Session(brindle, brindle.COXAAlgos())
    expected = [baseline.engine.push_md2trade(INVESTOR, "rb2501", dict(t)) for t in stream]
    hc_ticks = ticks(100, instrument="hc2501")
    calls = []

    def reentry():
        sys._oxa_reentry = None  # the nested tick reloads too
        try:
            calls.append(engine.push_md2trade(INVESTOR, "hc2501", next(hc_ticks)))
            engine.instrument_attr_dict["rb2501"] = dict(engine.instrument_attr_dict["rb2501"])
        finally:
            sys._oxa_reentry = reentry

    monkeypatch.setattr(sys, "_oxa_reentry", reentry, raising=False)
    settings_module.write(settings_module.original + "\nimport sys\nif sys._oxa_reentry:\n    sys._oxa_reentry()\n",
                          reload=False)
    log.clear()
    assert [engine.push_md2trade(INVESTOR, "rb2501", dict(t)) for t in stream] == expected
    assert len(calls) == 6 and log.records == [] and any(expected)
    monkeypatch.setattr(brindle, "myDEnv", brindle.myDEnv)
    sys._oxa_reentry = lambda: delattr(brindle, "myDEnv")
    assert engine.push_md2trade(INVESTOR, "rb2501", dict(stream[0])) == []
    [record] = log.records
    assert record.message == "There is no strategy for(00001.rb2501)" and record.exc_type is NameError


# --- host threads ----------------------------------------------------------------------------


def test_four_host_threads_on_one_engine(brindle, db_ini, workdir, log, capsys, monkeypatch):
    """Two threads trade (ticks, order requests, fills journalled to the real database), one
    files order notifications and positions, one takes request numbers and traces, all at
    once with the interpreter switching threads as often as it can."""
    create_tables(db_ini)
    workdir.set_ini({"CLOUD": {"upload": 1, "debug": 0}, "COMMUNICATION_SWITCH": {"c_cython": 1, "cython_c": 0}})
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 1}}, which="root")
    engine = brindle.COXAAlgos()
    sessions = [Session(brindle, engine, instruments=(instrument,)) for instrument in ("rb2501", "hc2501")]
    records = sessions[0].records
    # hc2501 trades on its close conditions, which need a position from the start.
    engine.push_OnRspQryInvestorPosition("InvestorPosition", records.InvestorPositionField(
        InstrumentID="hc2501", PosiDirection="2", Position=1))
    numbers = {}
    failures = []

    def trader(session, instrument):
        session.run(ticks(120, instrument=instrument))

    def notifier():
        for n in range(300):
            engine.push_OnRtnOrder("Order", records.OrderField(InstrumentID="rb2501", ExchangeID="SHFE",
                                                               OrderSysID="%06d" % n, OrderStatus="3"))
            engine.push_OnRspQryInvestorPosition("InvestorPosition", records.InvestorPositionField(
                InstrumentID="hc2501", PosiDirection="23"[n % 2], Position=n))

    def numberer():
        mine = numbers[threading.get_ident()] = []
        for n in range(300):
            mine.append(engine.Inc_RequestID())
            engine.dump_rsp("Probe", {"n": n})
            engine.restOrderFactor("rb2501")

    def guarded(target, *args):
        def run():
            try:
                target(*args)
            except BaseException as exc:  # reported by the test, not by the thread machinery
                failures.append(exc)
        return run

    threads = [threading.Thread(target=guarded(trader, sessions[0], "rb2501")),
               threading.Thread(target=guarded(trader, sessions[1], "hc2501")),
               threading.Thread(target=guarded(notifier)), threading.Thread(target=guarded(numberer))]
    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    finally:
        sys.setswitchinterval(switch_interval)
    assert not any(thread.is_alive() for thread in threads) and failures == []

    assert [o["OrderSysID"] for o in engine.get_Order_list("rb2501")] == ["%06d" % n for n in range(300)]
    assert [p["Position"] for p in engine.get_Position("hc2501")] == [298, 299]
    for session, instrument in zip(sessions, ("rb2501", "hc2501")):
        assert len(engine.get_ReqOrderList(instrument)) == session.decisions > 0
    # Every row journalled exactly once, none kept back.
    filled = sum(len(session.filled(instrument)) for session, instrument in zip(sessions, ("rb2501", "hc2501")))
    assert db_ini.execute("SELECT count(*) FROM T_SimNow_AutoTrade") == ((filled,),) and filled > 0
    assert workdir.read_log("sql_dead_letters.jsonl") is None
    # Request numbers: unique across the engine, increasing within each thread.
    [taken] = numbers.values()
    traced = [int(m) for m in re.findall(r"^(\d+):$", workdir.read_log("c2py_all.log"), re.M)]
    assert taken == sorted(taken) and len(set(taken) | set(traced)) == len(taken) + len(traced)
    resets = 300  # restOrderFactor takes a number it shows nowhere
    assert len(taken) + len(traced) + resets == engine.Inc_RequestID() - 1
    assert [r for r in log.at("error") if r.message != "updateFactor failed"] == []


def test_first_dead_letters_of_two_threads_at_once(run_python):
    """The first dead letter imports what writing it needs; a second thread giving up a
    statement meanwhile neither waits for ever nor breaks."""
    code = r'''
import sys, threading, time
import oxa.Brindle as brindle
sys.modules.pop("json", None)

class SlowJson:
    """Makes the first import of json slow, so that the second thread arrives meanwhile."""
    def find_spec(self, name, path=None, target=None):
        if name == "json":
            time.sleep(0.5)
        return None

sys.meta_path.insert(0, SlowJson())
engine = brindle.COXAAlgos()
engine.upload = 1
engine.connectDB = lambda: 1 / 0
threads = [threading.Thread(target=engine.SQL2DB, args=("S%d" % n, [(n,)])) for n in range(2)]
for thread in threads:
    thread.start()
    time.sleep(0.1)
for thread in threads:
    thread.join(timeout=20)
print(sum(thread.is_alive() for thread in threads), open("log/sql_dead_letters.jsonl").read().count("\n"))
'''
    done = run_python(code, timeout=60)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.splitlines()[-1].split() == ["0", "2"]
