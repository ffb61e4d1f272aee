"""Arbitrary Python values into every public function and method of the module.

Whatever comes in, the process survives; a failure is an ordinary exception, never
SystemError (which would mean that the engine broke the interpreter's rules); no exception
stays behind as the handled one; and every error record carries the exception it reports.
Arguments are mostly arbitrary values, partly plausible ones so that calls get past the
first checks into the engine's deeper steps. The database is the recording stand-in, made
to fail at random.

Examples per target: OXA_HYPOTHESIS_EXAMPLES (default 40), e.g.
    OXA_HYPOTHESIS_EXAMPLES=2000 python3 -m pytest -q tests/engine/test_bad_input.py
"""
import operator
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from harness.hostile import Record, hostile, records, values

EXAMPLES = int(os.environ.get("OXA_HYPOTHESIS_EXAMPLES", "40"))
SETTINGS = settings(max_examples=EXAMPLES, suppress_health_check=list(HealthCheck))

INSTRUMENT = "rb2501"
TICK_FIELDS = ("LastPrice", "Volume", "BidPrice1", "BidVolume1", "AskPrice1", "AskVolume1", "UpdateTime",
               "ExchangeID", "InstrumentID")
ORDER_FIELDS = ("InstrumentID", "ExchangeID", "OrderSysID", "OrderStatus", "Direction", "LimitPrice",
                "PosiDirection", "Express", "CombOffsetFlag", "OrderTime", "MD_Last_Price", "InstrumentStatus",
                "TradingSegmentSN", "EnterTime", "EnterReason")

# Every public function and method with its parameters (self left out); "*" marks varargs.
MODULE_FUNCTIONS = {
    "toString": ("val",), "toString2": ("val",), "myDecode": ("val",), "nvl": ("p1", "p2"),
    "printString": ("fileName", "key", "val", "dwTimes"), "printNumber": ("fileName", "key", "val", "dwTimes"),
    "testPerform": ("i",), "dump_py2c": ("fileName", "logInfo", "dwTimes"),
    "dump_c2py": ("fileName", "logInfo", "dwTimes"), "connectDB": (), "ExecuteQuery": ("i_strSQL",),
}
MATH_FUNCTION_METHODS = {"__init__": ("name", "operator"), "__call__": ("*operands",)}
ENGINE_METHODS = {
    "__init__": (), "Inc_RequestID": (), "get_InstrumentAttr": ("instrumentID",),
    "set_InstrumentAttr": ("instrumentID", "key", "val"),
    "push_OnRspQryTradingAccount": ("table_name", "TradingAccount"),
    "push_OnRspQryInstrument": ("table_name", "Instrument"), "push_OnRspOrderInsert": ("table_name", "OrderInsert"),
    "push_Order": ("table_name", "Order"), "push_OnRspQryOrder": ("table_name", "Order"),
    "push_OnRspQryInvestorPosition": ("table_name", "InvestorPosition"),
    "push_OnRspQrySettlementInfo": ("table_name", "SettlementInfo"), "push_OnRtnOrder": ("table_name", "Order"),
    "push_OnRtnInstrumentStatus": ("table_name", "InstrumentStatus"),
    "push_ReqOrderInsert": ("table_name", "OrderInsert"), "push_InstrumentAttr": ("instrumentID", "attr_dict"),
    "get_global_Attr": ("key",), "set_global_Attr": ("key", "val"), "push_global_Attr": ("key", "val"),
    "get_Order_list": ("instrumentID",), "get_Position": ("instrumentID",), "get_ReqOrderList": ("instrumentID",),
    "InitFactor": (), "statMD": ("factor", "pMD"), "SimNow": ("InvestorID", "InstrumentID", "LastPrice", "Volume"),
    "connectDB": (), "dumpRspDict": ("table_name", "val_dict"), "DumpReqDict": ("table_name", "val_dict"),
    "dump_req": ("table_name", "val_dict"), "dump_rsp": ("table_name", "val_dict"),
    "dict2DB": ("table_name", "val_dict"), "SQL2DB": ("szSQL", "listVal"), "ExecuteQuery": ("i_strSQL",),
    "restOrderFactor": ("instrument",), "push_md2trade": ("i_InvestorID", "i_InstrumentID", "dict_new_md"),
    "Calc_Express": ("instrument", "strExpress", "i_otherFactor"), "Factor2String": ("instrument",),
    "updateFactor": (), "ReqQryInstrument": ("pQryInstrument", "reqID"),
}
TARGETS = ([("module", name) for name in MODULE_FUNCTIONS] + [("MathFunction", name) for name in MATH_FUNCTION_METHODS]
           + [("COXAAlgos", name) for name in ENGINE_METHODS])

# --- arguments -------------------------------------------------------------------------------

ATTRIBUTES = object()  # stands for the engine's attribute dictionary of INSTRUMENT

ids = st.one_of(st.sampled_from([INSTRUMENT, "hc2501", "00001", "all", ""]), values)
numbers = st.one_of(st.integers(-5, 5), st.floats(), st.decimals(), values)
texts = st.one_of(st.text(max_size=12), values)
ticks = st.one_of(st.dictionaries(st.sampled_from(TICK_FIELDS), numbers, max_size=len(TICK_FIELDS)), values)
record_dicts = st.dictionaries(st.sampled_from(ORDER_FIELDS), st.one_of(ids, values), max_size=6)
any_record = records(ORDER_FIELDS)
expressions = st.one_of(st.sampled_from(["LastPrice > 0", "AskPrice1", "1/0", "x +", "__builtins__", "[] < 1"]),
                        values)
rows = st.one_of(st.lists(st.tuples(values, values), max_size=3), values)
callables = st.one_of(st.sampled_from([operator.add, print, dict, hostile("__call__")()]), values)


class Query:
    def __init__(self, instrument_id):
        self.InstrumentID = instrument_id


PARAMETER_VALUES = {
    "instrumentID": ids, "instrument": ids, "i_InstrumentID": ids, "InstrumentID": ids, "i_InvestorID": ids,
    "InvestorID": ids, "key": ids, "val": values, "p1": values, "p2": values, "table_name": texts,
    "TradingAccount": any_record, "Instrument": any_record, "OrderInsert": any_record, "Order": any_record,
    "InvestorPosition": any_record, "SettlementInfo": any_record, "InstrumentStatus": any_record,
    "val_dict": st.one_of(any_record, record_dicts), "attr_dict": st.one_of(record_dicts, values),
    "dict_new_md": ticks, "pMD": ticks, "factor": st.one_of(st.just(ATTRIBUTES), values),
    "strExpress": expressions, "i_otherFactor": values, "szSQL": texts, "i_strSQL": texts, "listVal": rows,
    "LastPrice": numbers, "Volume": numbers, "reqID": values,
    "pQryInstrument": st.one_of(st.one_of(st.binary(max_size=12), values).map(Query), values),
    "fileName": texts, "logInfo": texts, "dwTimes": values, "name": values, "operator": callables,
    "operands": st.lists(values, max_size=3),
    # range() of a huge count runs for ever by definition, so only small counts are drawn.
    "i": st.one_of(st.integers(-3, 30), values.filter(lambda value: not isinstance(value, int))),
}

# The database stand-in: what its queries return and which operations fail.
database_rows = st.one_of(st.just(((1, INSTRUMENT, "f", 1),)), st.lists(st.tuples(*[values] * 4), max_size=2),
                          values)
failing = st.sets(st.sampled_from(["Connect", "cursor", "execute", "executemany", "fetchall", "commit", "close"]))
switch = st.one_of(st.sampled_from([0, 1]), values)


@pytest.fixture
def setup(brindle, workdir, log, fake_pymysql, capsys):
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 1}}, which="root")
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 1}})
    return brindle, log, fake_pymysql


def prepared_engine(brindle, data):
    engine = brindle.COXAAlgos()
    engine.push_InstrumentAttr(INSTRUMENT, {"InstrumentID": INSTRUMENT, "ExchangeID": "SHFE", "PriceTick": 1})
    engine.instrument_position_dict[INSTRUMENT] = [{"InstrumentID": INSTRUMENT, "PosiDirection": "2"}]
    engine.instrument_req_order_dict[INSTRUMENT] = data.draw(st.lists(record_dicts, max_size=3), "orders")
    for name in ("upload", "cloud_debug", "c_cython", "cython_c"):
        setattr(engine, name, data.draw(switch, name))
    return engine


def resolve(value, engine):
    return engine.instrument_attr_dict[INSTRUMENT] if value is ATTRIBUTES else value


def call_checked(function, args, kwargs, log):
    """Calls function; any failure must be an ordinary exception of the host's kind."""
    assert sys.exc_info() == (None, None, None)
    try:
        function(*args, **kwargs)
    except SystemError as exc:  # the interpreter's sign of a broken C-API contract
        pytest.fail("SystemError from %r: %s" % (function, exc))
    except Exception:
        pass
    assert sys.exc_info() == (None, None, None), "an exception stayed behind as the handled one"
    unattached = [r.message for r in log.at("error") if r.exc_type is None]
    assert not unattached, "error records without their exception: %r" % unattached


def target_callable(brindle, engine, data, owner, name):
    if owner == "module":
        return getattr(brindle, name)
    if owner == "COXAAlgos":
        return getattr(engine, name) if name != "__init__" else engine.__init__
    function = brindle.MathFunction(data.draw(values, "name"), data.draw(callables, "operator"))
    return function if name == "__call__" else function.__init__


def draw_arguments(data, parameters, engine):
    args = []
    for parameter in parameters:
        if parameter.startswith("*"):
            args.extend(data.draw(PARAMETER_VALUES[parameter[1:]], parameter))
        else:
            args.append(resolve(data.draw(PARAMETER_VALUES[parameter], parameter), engine))
    return args


def parameters_of(owner, name):
    return {"module": MODULE_FUNCTIONS, "MathFunction": MATH_FUNCTION_METHODS, "COXAAlgos": ENGINE_METHODS}[owner][name]


def test_the_table_names_every_public_function_and_method(brindle):
    assert {name for name, value in vars(brindle).items()
            if getattr(value, "__module__", None) == "oxa.Brindle" and not isinstance(value, type)
            } == set(MODULE_FUNCTIONS)
    assert {name for name in vars(brindle.COXAAlgos) if not name.startswith("__")} | {"__init__"} == set(ENGINE_METHODS)


@pytest.mark.parametrize("owner, name", TARGETS, ids=["%s.%s" % target for target in TARGETS])
@SETTINGS
@given(data=st.data())
def test_arbitrary_arguments(setup, owner, name, data):
    brindle, log, database = setup
    if owner != "module" and not hasattr(getattr(brindle, owner), name):
        pytest.skip("%s.%s is not built yet" % (owner, name))
    if owner == "module" and not hasattr(brindle, name):
        pytest.skip("%s is not built yet" % name)
    database.rows = data.draw(database_rows, "database rows")
    database.failures = {operation: None for operation in data.draw(failing, "failing")}
    engine = prepared_engine(brindle, data)
    log.clear()
    function = target_callable(brindle, engine, data, owner, name)
    call_checked(function, draw_arguments(data, parameters_of(owner, name), engine), {}, log)


@pytest.mark.parametrize("owner, name", TARGETS, ids=["%s.%s" % target for target in TARGETS])
@SETTINGS
@given(data=st.data())
def test_arbitrary_argument_shapes(setup, owner, name, data):
    """Too many or too few arguments, keywords known and unknown, positional-only ones
    given by name: a TypeError, or a call as Python would bind it."""
    brindle, log, database = setup
    if not hasattr(brindle if owner == "module" else getattr(brindle, owner), name):
        pytest.skip("not built yet")
    engine = prepared_engine(brindle, data)
    log.clear()
    function = target_callable(brindle, engine, data, owner, name)
    known = [parameter.lstrip("*") for parameter in parameters_of(owner, name)]
    keyword_names = st.one_of(st.sampled_from(known or ["self"]), st.text(max_size=6))
    args = data.draw(st.lists(values, max_size=6), "positional")
    kwargs = data.draw(st.dictionaries(keyword_names, values, max_size=3), "keywords")
    if name == "testPerform":  # only small counts: range() of a huge one runs for ever by definition
        args = [a for a in args if not isinstance(a, int) or abs(a) < 100]
        kwargs = {k: v for k, v in kwargs.items() if not isinstance(v, int) or abs(v) < 100}
    call_checked(function, args, kwargs, log)


def test_a_record_that_lies_about_its_dictionary_type(setup):
    """A to_dict() result that passes as a dict but whose methods raise is handled like any
    other failing record."""
    brindle, log, _ = setup
    engine = brindle.COXAAlgos()

    class LyingDict(dict):
        def update(self, *args, **kwargs):
            raise RuntimeError("update refused")

        def get(self, *args):
            raise RuntimeError("get refused")

    record = Record(LyingDict(InstrumentID=INSTRUMENT, ExchangeID="SHFE"))
    for name in ("push_OnRspQryInstrument", "push_Order", "push_OnRspQryInvestorPosition", "push_ReqOrderInsert"):
        if hasattr(engine, name):
            call_checked(getattr(engine, name), ("T", record), {}, log)
    call_checked(engine.push_md2trade, ("00001", INSTRUMENT, LyingDict(LastPrice=1)), {}, log)


def test_a_keyword_that_equals_a_positional_only_name_and_has_no_utf8_form(brindle):
    """Such a keyword once crashed the error message; the message names the parameter
    itself, as the interpreter's does."""

    class EqualToAll(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return True

    with pytest.raises(TypeError, match=r"^toString\(\) got some positional-only arguments passed as keyword "
                                        r"arguments: 'val'$"):
        brindle.toString(**{EqualToAll("\ud800"): 1})


def test_a_row_that_contains_itself(setup, workdir):
    """Such a row once overflowed the C stack while it was kept as a dead letter; now
    keeping it fails like any unwritable letter, in the error log."""
    brindle, log, database = setup
    database.failures = {"Connect": None}
    engine = brindle.COXAAlgos()
    engine.upload = 1
    rows = [(1,)]
    rows.append(rows)
    assert engine.SQL2DB("S", rows) is None
    report = log.records[-1]
    assert (report.message, report.exc_type) == (
        "SQL2DB gave up a statement and could not keep it in log/sql_dead_letters.jsonl", RecursionError)
    assert workdir.read_log("sql_dead_letters.jsonl") is None
