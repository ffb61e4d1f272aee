"""updateFactor (t_factor rows into instrument and global attributes, the high-water mark),
restOrderFactor and Factor2String."""
import datetime
from decimal import Decimal

import pytest

from harness.session import push_parameters

FACTOR_TABLE = ("create table t_factor (id int primary key, InstrumentID varchar(31), factor_name varchar(64),"
                " factor_val decimal(16,4))")
SEVEN = ["order_acc_down", "order_acc_up", "order_acc_keep", "order_BidVolume", "order_AskVolume",
         "order_TradeVolume", "order_price"]


@pytest.fixture
def zero_factors(monkeypatch):
    """A short Init_Factor_Zero, so that what InitFactor adds can be told apart."""
    import cfg.oxa_can_change_env as settings

    monkeypatch.setattr(settings, "Init_Factor_Zero", ("LastPrice", "Volume"))


@pytest.fixture
def engine(brindle, log, zero_factors):
    made = brindle.COXAAlgos()
    log.clear()
    return made


def rows_from(engine, *batches):
    """Replaces the engine's ExecuteQuery by one that answers the given batches in turn and
    records the query texts."""
    queries, answers = [], list(batches)

    def execute_query(i_strSQL):
        queries.append(i_strSQL)
        return answers.pop(0) if answers else ()

    engine.ExecuteQuery = execute_query
    return queries


# --- updateFactor against the real server ------------------------------------------------------


def test_new_rows_reach_instrument_and_global_attributes(brindle, db_ini, engine, log):
    db_ini.execute(FACTOR_TABLE)
    db_ini.execute("insert into t_factor values (1, 'rb2501', 'never', 9), (2, 'rb2501', 'alpha', 1.5),"
                   " (3, 'all', 'risk', 2), (4, 'hc2501', 'beta', 3), (5, 'All', 'gamma', 4),"
                   " (6, 'rb2501', 'alpha', 2.5)")
    rb = engine.instrument_attr_dict["rb2501"] = {"ExchangeID": "SHFE"}
    assert engine.updateFactor() is None
    # id 1 is not above the initial mark; of two rows for one factor the later wins.
    assert engine.instrument_attr_dict["rb2501"] is rb
    assert rb == {"ExchangeID": "SHFE", "alpha": Decimal("2.5000")}
    assert engine.instrument_attr_dict["hc2501"] == dict(engine.InitFactor(), beta=Decimal("3.0000"))
    assert engine.instrument_attr_dict["All"] == dict(engine.InitFactor(), gamma=Decimal("4.0000"))
    assert dict(engine.global_dict) == {"risk": Decimal("2.0000")}
    assert engine._COXAAlgos__id == 6
    assert log.pairs() == [
        ("debug", "set dynamic factor cnt:5"),
        ("debug", "set dynamic factorrb2501:alpha:1.5000"),
        ("debug", "set dynamic factorall:risk:2.0000"),
        ("debug", "set dynamic factorhc2501:beta:3.0000"),
        ("debug", "set dynamic factorAll:gamma:4.0000"),
        ("debug", "set dynamic factorrb2501:alpha:2.5000"),
    ]
    log.clear()
    engine.updateFactor()
    assert log.pairs() == [("debug", "set dynamic factor cnt:0")] and engine._COXAAlgos__id == 6
    db_ini.execute("insert into t_factor values (7, 'rb2501', 'delta', -1)")
    engine.updateFactor()
    assert (rb["delta"], engine._COXAAlgos__id) == (Decimal("-1.0000"), 7)


def test_a_tick_whose_refresh_is_due_applies_new_rows(brindle, db_ini, log):
    db_ini.execute(FACTOR_TABLE)
    db_ini.execute("insert into t_factor values (2, 'rb2501', 'alpha', 1.5), (3, 'all', 'risk', 2)")
    engine = brindle.COXAAlgos()  # the sample host's settings: refresh every 60 s
    engine.push_InstrumentAttr("rb2501", {"ExchangeID": "SHFE", "PriceTick": 1})
    push_parameters(engine, "rb2501")
    tick = {"LastPrice": 3500, "Volume": 10, "BidPrice1": 3499, "BidVolume1": 1, "AskPrice1": 3501,
            "AskVolume1": 1, "UpdateTime": "09:30:01"}
    engine.push_md2trade("00001", "rb2501", dict(tick))
    assert "alpha" not in engine.get_InstrumentAttr("rb2501")  # not due yet
    engine.update_factor_date = datetime.datetime.now() - datetime.timedelta(seconds=61)
    engine.push_md2trade("00001", "rb2501", dict(tick))
    assert engine.get_InstrumentAttr("rb2501")["alpha"] == Decimal("1.5000")
    assert engine.get_global_Attr("risk") == Decimal("2.0000")
    assert engine._COXAAlgos__id == 3
    assert log.at("error") == []


def test_a_failing_query_is_like_no_new_rows(brindle, db_ini, engine, log):
    engine.updateFactor()  # no t_factor table: ExecuteQuery logs and gives ()
    assert [(r.level, r.message) for r in log.records] == [("error", "ExecuteQuery"),
                                                            ("debug", "set dynamic factor cnt:0")]
    assert engine._COXAAlgos__id == 1


def test_an_unreachable_database_is_logged_as_update_factor_failed(brindle, db_ini, engine, log):
    engine.config.set("CLOUD", "OXA_DB_PORT", "1")
    engine.updateFactor()
    [record] = log.records
    assert (record.level, record.message, record.exc_info) == ("error", "updateFactor failed", True)
    assert record.exc_type.__module__.startswith("pymysql")


# --- updateFactor: the query and the per-row handler ----------------------------------------


def test_the_query_carries_the_mark(engine):
    queries = rows_from(engine, ((5, "X", "a", 1),), ())
    engine.updateFactor()
    engine.updateFactor()
    base = "select id,InstrumentID,factor_name,factor_val from t_factor t where t.id>%s order by id asc"
    assert queries == [base % 1, base % 5]


def test_a_failing_row_is_logged_and_the_next_rows_still_apply(engine, log):
    engine.instrument_attr_dict["Y"] = ()  # cannot take a factor
    rows_from(engine, [(2, "X", "a", 1), (3, "Y", "b", 2), (4, "Z", "c", 3)])
    engine.updateFactor()
    failures = [(r.message, r.exc_type) for r in log.at("error")]
    assert failures == [("set dynamic factor failed:Y:b", TypeError)]
    assert (engine.instrument_attr_dict["X"]["a"], engine.instrument_attr_dict["Z"]["c"]) == (1, 3)
    assert engine._COXAAlgos__id == 4  # a failed row followed by a good one is never read again


def test_a_failing_last_row_leaves_the_mark_before_it(engine, log):
    engine.instrument_attr_dict["Y"] = ()
    rows_from(engine, [(2, "X", "a", 1), (3, "Y", "b", 2)])
    engine.updateFactor()
    assert engine._COXAAlgos__id == 2


def test_a_row_whose_failure_message_cannot_be_built_ends_the_batch(engine, log):
    rows_from(engine, [(2, None, "a", 1), (3, "X", "b", 2)])
    engine.updateFactor()
    [record] = log.at("error")
    assert (record.message, record.exc_type) == ("updateFactor failed", TypeError)
    assert "X" not in engine.instrument_attr_dict and engine._COXAAlgos__id == 1


# --- restOrderFactor ------------------------------------------------------------------------


def test_reset_of_a_known_instrument_zeroes_exactly_the_seven(engine, log):
    factor = engine.instrument_attr_dict["rb"] = {"order_acc_up": 5, "LastPrice": 3500, "order_price": 3.5}
    assert engine.restOrderFactor("rb") is None
    assert engine.instrument_attr_dict["rb"] is factor
    assert list(factor) == ["order_acc_up", "LastPrice", "order_price", "order_acc_down", "order_acc_keep",
                            "order_BidVolume", "order_AskVolume", "order_TradeVolume"]
    assert factor == dict.fromkeys(SEVEN, 0) | {"LastPrice": 3500}
    assert engine._COXAAlgos__RequestID == 1 and log.records == []


def test_reset_of_an_unknown_instrument_stores_a_fresh_dictionary(engine, log):
    engine.restOrderFactor(instrument="hc")
    assert engine.instrument_attr_dict["hc"] == engine.InitFactor()
    assert "order_acc_up" not in engine.instrument_attr_dict["hc"]
    assert engine._COXAAlgos__RequestID == 1


@pytest.mark.parametrize("instrument, stored", [("rb", (1, 2)), (["unhashable"], None)])
def test_reset_failures_are_logged(engine, log, instrument, stored):
    if stored is not None:
        engine.instrument_attr_dict[instrument] = stored
    assert engine.restOrderFactor(instrument) is None
    assert [(r.message, r.exc_type) for r in log.records] == [("restOrderFactor", TypeError)]
    assert engine._COXAAlgos__RequestID == 1


# --- Factor2String ----------------------------------------------------------------------------


def test_factor_text_joins_keys_and_values(engine, log):
    engine.instrument_attr_dict["X"] = {"A": 1, "B": 2.5, "C": True, "中".encode("gb18030"): b"\xce\xc4\xff"}
    assert engine.Factor2String("X") == "X:{A1B2.5CTrue中文}"
    engine.instrument_attr_dict["N"] = None
    assert engine.Factor2String(instrument="N") == "N:{}"
    assert log.records == []


def test_factor_text_stops_at_the_first_value_without_a_text_form(engine, log):
    engine.instrument_attr_dict["X"] = engine.InitFactor()
    assert engine.Factor2String("X") == "X:{LastPrice0Volume0UpdateTime01:01:01}"
    assert [(r.message, r.exc_type) for r in log.records] == [("Factor2String", TypeError)]


def test_factor_text_raises_for_a_bad_or_unknown_instrument(engine, log):
    with pytest.raises(TypeError):
        engine.Factor2String(None)
    with pytest.raises(KeyError):
        engine.Factor2String("unknown")
    assert log.records == []


def test_factor_text_uses_the_to_string_global_of_the_moment(brindle, engine, monkeypatch):
    engine.instrument_attr_dict["X"] = {"A": 1}
    monkeypatch.setattr(brindle, "toString", lambda val: "<%s>" % val)
    assert engine.Factor2String("X") == "X:{<A><1>}"
