"""Faults around the engine: a database that is unreachable, goes away in the middle of a
session or fails a number of times; a log/ directory that is missing or cannot be written;
INI files that cannot be parsed; a settings module that stops compiling; a logger that
raises; host records whose to_dict() misbehaves. The engine keeps working, falls back as
specified, and loses no row: what the database did not take is in the dead-letter file and
reaches the database once it is resent."""
import configparser
import json
import socket
import subprocess
import sys

import pymysql
import pytest

from harness.hostile import Boom, Record, RaisingRecord
from harness.paths import TOOL_ENV, tool
from harness.session import INVESTOR, Session, create_tables, ticks

DEAD_LETTERS = "sql_dead_letters.jsonl"


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def dead_letters(workdir):
    text = workdir.read_log(DEAD_LETTERS)
    return [] if text is None else [json.loads(line) for line in text.splitlines()]


def resend(workdir):
    done = subprocess.run(tool("resend") + ["log/" + DEAD_LETTERS], cwd=workdir.path, env=TOOL_ENV,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def journal(server):
    return server.execute("SELECT InvestorID, InstrumentID, Express, Direction, Order_Price, Trade_Price "
                          "FROM T_SimNow_AutoTrade ORDER BY Order_Time, id")


def expected_journal(session):
    return sorted(((INVESTOR, "rb2501", o["Express"], o["Direction"], o["LimitPrice"]) for o in session.filled()))


def journalled(server):
    return sorted(row[:5] for row in journal(server))


@pytest.fixture
def uploading(workdir):
    workdir.set_ini({"CLOUD": {"upload": 1, "debug": 0}})
    return workdir


# --- the database ----------------------------------------------------------------------------


def test_server_unreachable_from_the_start(brindle, mariadb, uploading, settings_module, log, capsys):
    """Nothing reaches the host; refreshes are logged; every row waits in the dead-letter
    file and lands once the server is named and the file resent."""
    mariadb.ensure_running()
    mariadb.reset()
    uploading.set_ini({"CLOUD": dict(mariadb.ini_values(), OXA_DB_PORT=closed_port())})
    settings_module.write(settings_module.original.replace("update_factor_period = 60", "update_factor_period = -1"))
    engine = brindle.COXAAlgos()
    session = Session(brindle, engine)
    session.run(ticks(40))
    engine.push_OnRspQrySettlementInfo("SettlementInfo", session.records.SettlementInfoField(
        TradingDay="20241105", InvestorID=INVESTOR, Content="settled"))
    assert len(session.filled()) >= 4
    assert brindle.ExecuteQuery("select 1") == ()
    refreshes = [r for r in log.at("error") if r.message == "updateFactor failed"]
    assert len(refreshes) == 40 and all(r.exc_type is pymysql.err.OperationalError for r in refreshes)
    assert len(dead_letters(uploading)) == len(session.filled()) + 1

    uploading.set_ini({"CLOUD": mariadb.ini_values()})
    create_tables(mariadb)
    mariadb.execute("CREATE TABLE SettlementInfo (TradingDay varchar(8), SettlementID int, BrokerID varchar(8),"
                    " InvestorID varchar(8), SequenceNo int, Content text, AccountID varchar(8),"
                    " CurrencyID varchar(4))")
    resend(uploading)
    assert journalled(mariadb) == expected_journal(session)
    assert mariadb.execute("SELECT TradingDay, Content FROM SettlementInfo") == (("20241105", "settled"),)
    assert dead_letters(uploading) == []


@pytest.mark.parametrize("outage", ["stop", "kill"])
def test_server_gone_in_the_middle_of_a_session(brindle, db_ini, uploading, log, capsys, outage):
    """The server goes away (shut down, or killed as in a crash) and comes back: the host
    never sees an exception, rows after the restart land directly, the ones in between
    are kept and land when resent; every fill is in the journal exactly once."""
    create_tables(db_ini)
    engine = brindle.COXAAlgos()
    session = Session(brindle, engine)
    stream = list(ticks(120))
    session.run(stream[:40])
    before = len(session.filled())
    assert len(journal(db_ini)) == before > 0 and dead_letters(uploading) == []

    getattr(db_ini, outage)()
    session.run(stream[40:80])
    during = len(session.filled()) - before
    assert during > 0 and len(dead_letters(uploading)) == during

    db_ini.start()
    session.run(stream[80:])
    after = len(session.filled()) - before - during
    assert after > 0 and len(journal(db_ini)) == before + after
    assert len(dead_letters(uploading)) == during

    resend(uploading)
    assert journalled(db_ini) == expected_journal(session)
    assert dead_letters(uploading) == []


class FlakyPyMySQL:
    """pymysql with `operation` failing for its first `times` uses. An executemany that
    fails has reached the server first (the connection dropped before the answer); the
    statement is then rolled back with its uncommitted transaction."""

    def __init__(self, operation, times):
        self.operation, self.left = operation, times
        self.cursors = pymysql.cursors

    def fault(self):
        if self.left:
            self.left -= 1
            raise pymysql.err.OperationalError(2013, "Lost connection to server during query (injected)")

    def Connect(self, **settings):
        if self.operation == "Connect":
            self.fault()
        return FlakyConnection(self, pymysql.Connect(**settings))


class FlakyConnection:
    def __init__(self, flaky, connection):
        self.flaky, self.connection = flaky, connection

    def cursor(self):
        return FlakyCursor(self.flaky, self.connection.cursor())

    def commit(self):
        if self.flaky.operation == "commit":
            self.flaky.fault()
        self.connection.commit()

    def close(self):
        self.connection.close()


class FlakyCursor:
    def __init__(self, flaky, cursor):
        self.flaky, self.cursor = flaky, cursor

    def executemany(self, sql, rows):
        result = self.cursor.executemany(sql, rows)
        if self.flaky.operation == "executemany":
            self.flaky.fault()
        return result

    def close(self):
        self.cursor.close()


@pytest.mark.parametrize("operation", ["Connect", "executemany", "commit"])
@pytest.mark.parametrize("failures", [1, 9, 10, 23])
def test_a_server_that_fails_n_times_then_recovers(brindle, db_ini, uploading, monkeypatch, log, capsys, operation,
                                                    failures):
    """Up to nine failures the row is written once; from the tenth it is kept; either way
    it reaches the table exactly once."""
    db_ini.execute("CREATE TABLE t_rows (n INT, text VARCHAR(16))")
    monkeypatch.setattr(brindle, "pymysql", FlakyPyMySQL(operation, failures))
    engine = brindle.COXAAlgos()
    assert engine.SQL2DB("INSERT INTO t_rows(n,text)VALUES(%s,%s)", [(1, "one"), (2, "two")]) is None
    kept = dead_letters(uploading)
    assert len(kept) == (failures >= 10)
    assert len(log.at("error")) == min(failures, 10)
    monkeypatch.setattr(brindle, "pymysql", pymysql)
    if kept:
        assert db_ini.execute("SELECT * FROM t_rows") == ()
        resend(uploading)
    assert db_ini.execute("SELECT * FROM t_rows ORDER BY n") == ((1, "one"), (2, "two"))


# --- the log directory -----------------------------------------------------------------------


@pytest.mark.parametrize("broken", ["missing", "not a directory"])
def test_log_directory_missing_or_not_writable(brindle, uploading, log, capsys, broken):
    """Ticks do not need log/; a trace that cannot be written reaches the caller, as
    specified, after the record has been filed; a dead letter that cannot be written is
    reported in the error log."""
    uploading.set_ini({"COMMUNICATION_SWITCH": {"c_cython": 1}})
    uploading.set_ini({"PYTHON_SWITCH": {"debug": 1}}, which="root")
    engine = brindle.COXAAlgos()
    session = Session(brindle, engine)
    uploading.remove_log()
    if broken == "not a directory":  # the tests run as root, for whom permissions do not count
        (uploading.path / "log").write_text("a file where the directory should be")
    error = FileNotFoundError if broken == "missing" else NotADirectoryError
    decisions = [session.engine.push_md2trade(INVESTOR, "rb2501", tick) for tick in ticks(8)]
    assert any(decisions) and not [r for r in log.at("error") if r.message != "updateFactor failed"]

    order = session.records.OrderField(InstrumentID="rb2501", ExchangeID="SHFE", OrderSysID="1", OrderStatus="3")
    with pytest.raises(error):
        engine.push_Order("Order", order)
    assert engine.get_Order_list("rb2501") == [order.to_dict()]

    engine.connectDB = lambda: (_ for _ in ()).throw(pymysql.err.OperationalError(2003, "refused"))
    log.clear()
    assert engine.SQL2DB("INSERT INTO t(a)VALUES(%s)", [(1,)]) is None
    report = log.records[-1]
    assert (report.message, report.exc_type) == (
        "SQL2DB gave up a statement and could not keep it in log/sql_dead_letters.jsonl", error)


# --- INI files -------------------------------------------------------------------------------

BROKEN_INI = {
    "empty": b"",
    "binary": bytes(range(256)) * 4,
    "duplicate sections": b"[CLOUD]\nupload = 0\n[CLOUD]\nupload = 1\n",
    "bad interpolation": (b"[CLOUD]\nupload = %(nothing)s\ndebug = 1\narray_size = 10\nOXA_DB_TYPE = mysql\n"
                          b"OXA_DB_SERVER = %(nothing)s\nOXA_DB_USER = u\nOXA_DB_PWD = p\nOXA_DB_NAME = n\n"
                          b"OXA_DB_PORT = 1\n[COMMUNICATION_SWITCH]\nc_cython = 1\ncython_c = 1\n"
                          b"[PYTHON_SWITCH]\ndebug = %(nothing)s\ndetail = %(nothing)s\n"),
}
INI_ERRORS = {
    "empty": configparser.NoSectionError,
    "binary": UnicodeDecodeError,
    "duplicate sections": configparser.DuplicateSectionError,
    "bad interpolation": configparser.InterpolationMissingOptionError,
}
FALLBACK_CONNECTION = [("host", "127.0.0.1"), ("user", "sim_test"), ("password", "MockRun@1999"),
                       ("database", "sim_test"), ("charset", "utf8mb4"), ("port", 3306)]


@pytest.mark.parametrize("kind", sorted(BROKEN_INI))
def test_broken_cfg_ini_falls_back(brindle, workdir, fake_pymysql, log, kind):
    workdir.cfg_ini.write_bytes(BROKEN_INI[kind])
    engine = brindle.COXAAlgos()
    assert [(engine.upload, engine.cloud_debug, engine.array_size, engine.c_cython, engine.cython_c)] == [
        (1, 1, 10, 1, 1)]
    assert [(r.message, r.exc_type) for r in log.at("error")] == [("COXAAlgos.init", INI_ERRORS[kind])]
    assert "COXAAlgos.init end." not in log.messages("info")
    log.clear()
    brindle.connectDB()
    engine.connectDB()
    assert [(r.message, r.exc_type) for r in log.records] == [("get db config", INI_ERRORS[kind])]
    assert fake_pymysql.connects == [FALLBACK_CONNECTION, FALLBACK_CONNECTION]


@pytest.mark.parametrize("kind", sorted(BROKEN_INI))
def test_broken_trace_ini(brindle, workdir, capsys, kind):
    """A switch that cannot be read is off (its error printed); a file that cannot be
    parsed at all reaches the caller, as specified: the read is not guarded. Nothing is
    written either way."""
    workdir.root_ini.write_bytes(BROKEN_INI[kind])
    workdir.cfg_ini.write_bytes(BROKEN_INI[kind])
    calls = [lambda: brindle.printNumber("f", "k", 1), lambda: brindle.dump_c2py("f", "x"),
             lambda: brindle.dump_py2c("f", "x"), lambda: brindle.printString("f", "k", "v")]
    for call in calls:
        if kind in ("binary", "duplicate sections"):
            with pytest.raises(INI_ERRORS[kind]):
                call()
        else:
            assert call() is None
    if kind in ("empty", "bad interpolation"):
        printed = capsys.readouterr().out.splitlines()
        assert len(printed) == len(calls) and all(printed)
    assert workdir.log_files() == {}


# --- the settings module ---------------------------------------------------------------------


@pytest.mark.parametrize("breakage", ["syntax error", "raises while executing", "file removed"])
def test_settings_module_breaks_between_two_ticks(brindle, workdir, settings_module, log, breakage):
    engine = brindle.COXAAlgos()
    session = Session(brindle, engine)
    stream = list(ticks(12))
    good = [session.engine.push_md2trade(INVESTOR, "rb2501", dict(t)) for t in stream[:4]]
    assert good[3] == [("buy_open", "SHFE", stream[3]["AskPrice1"], 1)]
    log.clear()
    if breakage == "file removed":
        settings_module.path.rename(settings_module.path.with_suffix(".away"))
    else:
        text = "AI_Strategy = {\n" if breakage == "syntax error" else settings_module.original + "\n1 / 0\n"
        settings_module.write(text, reload=False)
    assert engine.push_md2trade(INVESTOR, "rb2501", dict(stream[4])) == []
    [record] = log.records
    assert (record.level, record.message) == ("error", "push_md2trade")
    assert record.exc_type in (SyntaxError, ZeroDivisionError, ModuleNotFoundError)
    if breakage == "file removed":
        settings_module.path.with_suffix(".away").rename(settings_module.path)
    settings_module.write(settings_module.original, reload=False)
    log.clear()
    after = [engine.push_md2trade(INVESTOR, "rb2501", dict(t)) for t in stream[5:12]]
    assert ("sell_open", "SHFE", stream[8]["BidPrice1"], 1) in after[3]
    assert log.at("error") == []


# --- the logger ------------------------------------------------------------------------------


class RaisingLogger:
    def __init__(self, levels, failure=RuntimeError):
        self.levels, self.failure, self.calls = levels, failure, []

    def __getattr__(self, level):
        def method(msg, *args, **kwargs):
            self.calls.append((level, msg, sys.exc_info()[1]))
            if level in self.levels:
                raise self.failure("logger refused %s" % level)
        return method


def test_logger_that_raises(brindle, workdir, monkeypatch):
    """Logger failures are not caught (they reach the host with the handled exception as
    their context); the engine's state stays usable and the next call works."""
    env = sys.modules["cfg.oxa_env"]
    logger = RaisingLogger({"error"})
    monkeypatch.setattr(env, "logger", logger)
    engine = brindle.COXAAlgos()
    session = Session(brindle, engine)
    with pytest.raises(RuntimeError, match="logger refused error") as raised:
        engine.push_md2trade(INVESTOR, "unknown", {"LastPrice": 1.0})  # no ExchangeID: the handler logs
    assert isinstance(raised.value.__context__, TypeError)
    with pytest.raises(RuntimeError):
        engine.Calc_Express("rb2501", "1/")
    logger.levels = {"warning"}
    assert engine.push_md2trade("nobody", "rb2501", dict(next(ticks(1)))) == []  # warning raised, error logged
    assert [level for level, *_ in logger.calls[-2:]] == ["warning", "error"]
    logger.levels = set()
    assert [session.engine.push_md2trade(INVESTOR, "rb2501", t) for t in ticks(4)][-1][0][0] == "buy_open"

    logger.levels, logger.failure = {"info"}, KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        brindle.COXAAlgos()
    logger.levels, logger.failure = {"info", "error"}, ValueError
    with pytest.raises(ValueError):
        brindle.COXAAlgos()
    monkeypatch.delattr(env, "logger")
    with pytest.raises(AttributeError, match="logger"):
        engine.Calc_Express("rb2501", "1/")


# --- host records ----------------------------------------------------------------------------

RECORD_METHODS = ("push_OnRspQryTradingAccount", "push_OnRspQryInstrument", "push_OnRspOrderInsert", "push_Order",
                  "push_OnRspQryOrder", "push_OnRspQryInvestorPosition", "push_OnRspQrySettlementInfo",
                  "push_OnRtnOrder", "push_OnRtnInstrumentStatus", "push_ReqOrderInsert", "dumpRspDict",
                  "DumpReqDict")


def engine_state(engine):
    return repr([vars(engine)[name] for name in ("TradingAccount", "instrument_attr_dict", "instrument_rtn_order_dict",
                                                 "instrument_position_dict", "instrument_req_order_dict")])


@pytest.mark.parametrize("method", RECORD_METHODS)
def test_to_dict_that_raises_or_returns_no_dictionary(brindle, workdir, fake_pymysql, log, capsys, method):
    """The record's own exception reaches the host unchanged; a result that is no
    dictionary fails with an ordinary exception; either way nothing is filed or written."""
    workdir.set_ini({"CLOUD": {"upload": 1}, "COMMUNICATION_SWITCH": {"c_cython": 1, "cython_c": 1}})
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 1}}, which="root")
    engine = brindle.COXAAlgos()
    engine.push_OnRspQryInstrument("Instrument", Record({"InstrumentID": "rb2501", "ExchangeID": "SHFE"}))
    traces = workdir.log_files()
    state = engine_state(engine)
    push = getattr(engine, method)
    with pytest.raises(Boom, match="to_dict"):
        push("T", RaisingRecord())
    for value in (None, ["InstrumentID", "rb2501"], "InstrumentID", 7, ("a", "b")):
        try:
            push("T", Record(value))
        except Exception as exc:
            assert not isinstance(exc, SystemError)
    assert engine_state(engine) == state
    assert workdir.log_files() == traces and fake_pymysql.connects == []
