"""dict2DB and SQL2DB: the statement built from a record, the upload and debug switches, the
retry cycles with their exact log and print sequence, and closing each attempt's connection."""
from decimal import Decimal

import pytest

from harness.fake_pymysql import FakeDatabaseError

SQL = "INSERT INTO T(A,B)VALUES(%s,%s)"
ROWS = [(1, "x")]


@pytest.fixture
def engine(brindle, workdir, log):
    workdir.set_ini({"CLOUD": {"upload": 1, "debug": 0}})
    made = brindle.COXAAlgos()
    log.clear()
    return made


class FailingConnect:
    """engine.connectDB that raises for its first `failures` calls (all when None), then
    connects as the engine would."""

    def __init__(self, engine, failures=None):
        self.engine, self.failures, self.calls, self.raised = engine, failures, 0, []

    def __call__(self):
        self.calls += 1
        if self.failures is None or self.calls <= self.failures:
            error = FakeDatabaseError("attempt %d refused" % self.calls)
            self.raised.append(error)
            raise error
        return type(self.engine).connectDB(self.engine)


def printed(capsys):
    return capsys.readouterr().out.splitlines()


# --- against the real server ------------------------------------------------------------------


def test_dict2db_row_is_read_back_through_another_connection(brindle, db_ini, engine, capsys, log):
    db_ini.execute("create table t_rec (InstrumentID varchar(31), Price decimal(12,4), Volume int)")
    record = {"InstrumentID": "rb2501", "Price": Decimal("3512.5"), "Volume": 3}
    assert engine.dict2DB("t_rec", record) is None
    assert db_ini.execute("select * from t_rec") == (("rb2501", Decimal("3512.5000"), 3),)
    assert printed(capsys) == [str(record), "ok", "INSERT INTO t_rec(InstrumentID,Price,Volume)VALUES(%s,%s,%s)",
                               str([("rb2501", Decimal("3512.5"), 3)])]
    assert log.records == []


def test_characters_beyond_the_basic_plane_reach_the_table(brindle, db_ini, engine, capsys, log):
    db_ini.execute("create table t_name (Name varchar(8)) default charset = utf8mb4")
    name = "螺" + b"\x95\x32\x82\x36".decode("gb18030") + "𠮷"  # 3, then two 4-byte characters in UTF-8
    engine.dict2DB("t_name", {"Name": name})
    assert db_ini.execute("select Name from t_name") == ((name,),)
    assert log.records == []


def test_a_first_attempt_that_fails_is_followed_by_one_that_writes(brindle, db_ini, engine, capsys, log):
    db_ini.execute("create table T (A int, B varchar(8))")
    engine.connectDB = connect = FailingConnect(engine, failures=1)
    assert engine.SQL2DB(SQL, ROWS) is None
    assert db_ini.execute("select * from T") == ((1, "x"),)
    assert log.pairs() == [("error", "excute sql faild in SQL2DB" + SQL)]
    assert log.records[0].exc_value is connect.raised[0]
    assert printed(capsys) == ["attempt 1 refused", str(ROWS)]


# --- switches -------------------------------------------------------------------------------


def test_upload_off_opens_nothing_yet_dict2db_prints_its_four_lines(brindle, engine, capsys, log):
    engine.upload = 0
    engine.connectDB = connect = FailingConnect(engine)
    engine.dict2DB("T", {"A": 1, "B": "x", "C": None})
    engine.dict2DB("T", {})
    assert connect.calls == 0 and log.records == []
    assert printed(capsys) == [
        "{'A': 1, 'B': 'x', 'C': None}", "ok", "INSERT INTO T(A,B,C)VALUES(%s,%s,%s)", "[(1, 'x', None)]",
        "{}", "ok", "INSERT INTO T()VALUES()", "[()]",
    ]


@pytest.mark.parametrize("upload, on", [(1, True), (True, True), (1.0, True), ("1", False), (2, False)])
def test_upload_is_on_exactly_when_it_equals_one(brindle, engine, fake_pymysql, upload, on):
    engine.upload = upload
    engine.SQL2DB(SQL, ROWS)
    assert ("executemany" in fake_pymysql.names()) is on


def test_dict2db_hands_one_row_tuple_to_sql2db_through_self(brindle, engine, capsys):
    calls = []
    engine.SQL2DB = lambda szSQL, listVal: calls.append((szSQL, listVal))
    engine.dict2DB(table_name="T", val_dict={"A": 1, "B": "x"})
    assert calls == [(SQL, [(1, "x")])]


def test_cloud_debug_logs_before_each_first_attempt_only(brindle, engine, fake_pymysql, capsys, log):
    engine.cloud_debug = 1
    fake_pymysql.fail("Connect", times=1)
    engine.SQL2DB(SQL, ROWS)
    assert log.pairs() == [("debug", SQL), ("debug", str(ROWS)), ("error", "excute sql faild in SQL2DB" + SQL)]
    assert fake_pymysql.names().count("commit") == 1


# --- failures ---------------------------------------------------------------------------------


def test_a_database_that_always_fails_gets_five_cycles_of_two_attempts(brindle, engine, capsys, log):
    engine.connectDB = connect = FailingConnect(engine)
    assert engine.SQL2DB(SQL, ROWS) is None
    assert connect.calls == 10
    assert log.pairs() == [("error", "excute sql faild in SQL2DB" + SQL),
                           ("error", "re excute sql faild in SQL2DB" + SQL)] * 5
    assert printed(capsys) == [line for cycle in range(5)
                               for line in ("attempt %d refused" % (2 * cycle + 1), str(ROWS),
                                            "attempt %d refused" % (2 * cycle + 2), str(ROWS))]
    # Each handler's logger call sees its own exception; the second one raised while
    # handling the first.
    assert [r.exc_value for r in log.records] == connect.raised
    assert connect.raised[1].__context__ is connect.raised[0]


def test_every_attempt_closes_its_connection(brindle, engine, fake_pymysql, capsys):
    fake_pymysql.fail("executemany")
    engine.SQL2DB(SQL, ROWS)
    attempt = ["Connect", "cursor", "executemany", "cursor.close", "close"]
    assert fake_pymysql.names() == attempt * 10


def test_failing_closes_do_not_turn_a_write_into_a_failure(brindle, engine, fake_pymysql, capsys, log):
    fake_pymysql.fail("cursor.close")
    fake_pymysql.fail("close")
    engine.SQL2DB(SQL, ROWS)
    assert fake_pymysql.names() == ["Connect", "cursor", "executemany", "commit", "cursor.close", "close"]
    assert log.records == [] and printed(capsys) == []


def test_a_failure_inside_the_second_handler_reaches_the_caller(brindle, engine, fake_pymysql, capsys):
    fake_pymysql.fail("Connect")
    with pytest.raises(TypeError):  # the statement is no text, so no failure message can be built
        engine.SQL2DB(None, ROWS)


def test_base_exceptions_are_not_retried(brindle, engine):
    def interrupted():
        raise KeyboardInterrupt

    engine.connectDB = interrupted
    with pytest.raises(KeyboardInterrupt):
        engine.SQL2DB(SQL, ROWS)


@pytest.mark.parametrize("val_dict, error", [({1: "a"}, TypeError), (None, AttributeError)])
def test_dict2db_logs_bad_records_and_writes_nothing(brindle, engine, fake_pymysql, capsys, log, val_dict, error):
    assert engine.dict2DB("T", val_dict) is None
    assert [(r.message, r.exc_type) for r in log.records] == [("dict2DB", error)]
    assert printed(capsys) == [str(val_dict)]
    assert fake_pymysql.events == []
