"""connectDB (module and engine) and the module-level ExecuteQuery: the real server, the
connection keywords and their all-or-nothing fallback, failures, and closing what a query
opened."""
import configparser
import socket
import warnings

import pymysql
import pytest

from harness.fake_pymysql import FakeConnection, FakeCursor, FakeDatabaseError

SETTINGS = {
    "OXA_DB_TYPE": "mysql",
    "OXA_DB_SERVER": "db.internal",
    "OXA_DB_USER": "trader",
    "OXA_DB_PWD": "secret",
    "OXA_DB_NAME": "quotes",
    "OXA_DB_PORT": "3307",
}
CONFIGURED = [("host", "db.internal"), ("user", "trader"), ("password", "secret"),
              ("database", "quotes"), ("charset", "utf8mb4"), ("port", 3307)]
FALLBACK = [("host", "127.0.0.1"), ("user", "sim_test"), ("password", "MockRun@1999"),
            ("database", "sim_test"), ("charset", "utf8mb4"), ("port", 3306)]


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# --- against the real server ------------------------------------------------------------------


def test_queries_against_the_server(brindle, db_ini, log):
    engine = brindle.COXAAlgos()
    log.clear()
    for execute_query in (brindle.ExecuteQuery, engine.ExecuteQuery):
        assert execute_query("select 1") == ((1,),)
        assert execute_query("select 1 from dual where 1 = 0") == ()
        assert execute_query("") == ()
    assert log.records == []


def test_connect_db_returns_an_open_connection_without_deprecated_keywords(brindle, db_ini, log):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for connection in (brindle.connectDB(), brindle.COXAAlgos().connectDB()):
            assert connection.open  # the caller owns it
            with connection.cursor() as cursor:
                cursor.execute("select database()")
                assert cursor.fetchone() == (db_ini.database,)
            connection.close()


def test_execute_query_commits_nothing(brindle, db_ini, log):
    db_ini.execute("create table t_probe (id int auto_increment primary key, a int) engine=InnoDB")
    engine = brindle.COXAAlgos()
    brindle.ExecuteQuery("insert into t_probe (a) values (1)")
    engine.ExecuteQuery("insert into t_probe (a) values (2)")
    assert db_ini.execute("select count(*) from t_probe") == ((0,),)
    # Both inserts ran (rolled back, they still used up their auto-increment values).
    db_ini.execute("insert into t_probe (a) values (3)")
    assert db_ini.execute("select id from t_probe") == ((3,),)


def test_unreachable_server_is_logged_by_the_module_and_raised_by_the_engine(brindle, db_ini, workdir, log):
    engine = brindle.COXAAlgos()
    workdir.set_ini({"CLOUD": {"OXA_DB_PORT": closed_port()}})
    assert brindle.ExecuteQuery("select 1") == ()
    [error] = log.at("error")
    assert (error.message, error.exc_type) == ("ExecuteQuery", pymysql.err.OperationalError)
    engine.config.set("CLOUD", "OXA_DB_PORT", str(closed_port()))
    with pytest.raises(pymysql.err.OperationalError):
        engine.ExecuteQuery("select 1")


def test_server_side_sql_error_is_logged(brindle, db_ini, log):
    engine = brindle.COXAAlgos()
    log.clear()
    assert brindle.ExecuteQuery("select * from no_such_table") == ()
    assert engine.ExecuteQuery("select * from no_such_table") == ()
    assert [(r.message, r.exc_type) for r in log.records] == [
        ("ExecuteQuery", pymysql.err.ProgrammingError)] * 2


# --- the connection settings ------------------------------------------------------------------


def test_configured_settings_are_passed_as_keywords_in_order(brindle, fake_pymysql, workdir, log):
    workdir.set_ini({"CLOUD": SETTINGS})
    brindle.connectDB()
    brindle.COXAAlgos().connectDB()
    assert fake_pymysql.connects == [CONFIGURED, CONFIGURED]
    assert log.at("error") == []


def test_percent_written_twice_reaches_the_password(brindle, fake_pymysql, workdir, log):
    workdir.set_ini({"CLOUD": dict(SETTINGS, OXA_DB_PWD="se%%cret")})
    brindle.connectDB()
    assert dict(fake_pymysql.connects[0])["password"] == "se%cret"


@pytest.mark.parametrize(
    "changes, error",
    [
        ({"OXA_DB_TYPE": None}, configparser.NoOptionError),  # read although never passed on
        ({"OXA_DB_PORT": "3307x"}, ValueError),
        ({"OXA_DB_PWD": "se%cret"}, configparser.InterpolationSyntaxError),
        (None, configparser.NoSectionError),  # no cfg/oxa.ini at all
    ],
)
def test_any_failed_read_makes_every_setting_fall_back(brindle, fake_pymysql, workdir, log, changes, error):
    if changes is None:
        workdir.delete_cfg_ini()
    else:
        workdir.set_ini({"CLOUD": dict(SETTINGS, **changes)})
    engine = brindle.COXAAlgos()
    log.clear()
    brindle.connectDB()
    [record] = log.records
    assert (record.level, record.message, record.exc_info, record.exc_type) == ("error", "get db config", True, error)
    engine.connectDB()  # the engine's variant falls back silently
    assert fake_pymysql.connects == [FALLBACK, FALLBACK]
    assert len(log.records) == 1


def test_module_rereads_the_file_while_the_engine_keeps_its_settings(brindle, fake_pymysql, workdir, log):
    workdir.set_ini({"CLOUD": SETTINGS})
    engine = brindle.COXAAlgos()
    workdir.set_ini({"CLOUD": {"OXA_DB_SERVER": "other.internal"}})
    brindle.connectDB()
    engine.connectDB()
    assert [dict(c)["host"] for c in fake_pymysql.connects] == ["other.internal", "db.internal"]
    del engine.config
    engine.connectDB()
    assert fake_pymysql.connects[-1] == FALLBACK


def test_globals_are_read_at_the_call(brindle, fake_pymysql, workdir, monkeypatch, log):
    workdir.set_ini({"CLOUD": SETTINGS})
    monkeypatch.setattr(brindle, "nvl", lambda p1, p2: p2)  # every setting takes its fallback
    brindle.connectDB()
    assert fake_pymysql.connects == [FALLBACK]
    monkeypatch.delattr(brindle, "pymysql")
    with pytest.raises(NameError, match="name 'pymysql' is not defined"):
        brindle.connectDB()


def test_connect_failure_leaves_connect_db(brindle, fake_pymysql, log):
    fake_pymysql.fail("Connect")
    with pytest.raises(FakeDatabaseError):
        brindle.connectDB()
    with pytest.raises(FakeDatabaseError):
        brindle.COXAAlgos().connectDB()


# --- the module-level ExecuteQuery: failures and closing --------------------------------------


def test_query_closes_cursor_then_connection(brindle, fake_pymysql, log):
    assert brindle.ExecuteQuery("select 1") == ((1,),)
    assert fake_pymysql.names() == ["Connect", "cursor", "execute", "fetchall", "cursor.close", "close"]
    fake_pymysql.events.clear()
    assert brindle.ExecuteQuery("") == ()
    assert fake_pymysql.names() == ["Connect", "cursor", "cursor.close", "close"]
    assert log.records == []


@pytest.mark.parametrize(
    "failing, query, error, closes",
    [
        ("Connect", "select 1", FakeDatabaseError, []),
        ("cursor", "select 1", FakeDatabaseError, ["close"]),
        ("execute", "select 1", FakeDatabaseError, ["cursor.close", "close"]),
        ("fetchall", "select 1", FakeDatabaseError, ["cursor.close", "close"]),
        (None, None, TypeError, ["cursor.close", "close"]),  # len(None)
    ],
)
def test_query_failures_are_logged_and_give_the_empty_tuple(brindle, fake_pymysql, log, failing, query, error, closes):
    if failing:
        fake_pymysql.fail(failing)
    assert brindle.ExecuteQuery(query) == ()
    [record] = log.records
    assert (record.message, record.exc_info, record.exc_type) == ("ExecuteQuery", True, error)
    assert [e for e in fake_pymysql.names() if e.endswith("close")] == closes


def test_failing_closes_change_nothing(brindle, fake_pymysql, log):
    fake_pymysql.fail("cursor.close")
    fake_pymysql.fail("close")
    assert brindle.ExecuteQuery("select 1") == ((1,),)
    engine = brindle.COXAAlgos()
    log.clear()
    assert engine.ExecuteQuery("select 1") == ((1,),)
    assert log.records == []
    assert fake_pymysql.names().count("close") == 2


def test_only_the_plain_cursor_type_executes(brindle, fake_pymysql, log):
    class DictCursor(FakeCursor):
        pass

    fake_pymysql.cursor_class = DictCursor
    assert brindle.ExecuteQuery("select 1") == ()
    assert brindle.COXAAlgos().ExecuteQuery("select 1") == ()
    assert "execute" not in fake_pymysql.names()


def test_connect_db_global_is_looked_up_at_each_query(brindle, fake_pymysql, monkeypatch, log):
    monkeypatch.setattr(brindle, "connectDB", lambda: FakeConnection(fake_pymysql))
    assert brindle.ExecuteQuery("select 1") == ((1,),)
    assert "Connect" not in fake_pymysql.names()
    monkeypatch.delattr(brindle, "connectDB")
    assert brindle.ExecuteQuery("select 1") == ()
    assert log.records[-1].exc_type is NameError


def test_module_query_takes_one_positional_argument(brindle):
    with pytest.raises(TypeError):
        brindle.ExecuteQuery(i_strSQL="select 1")
    assert brindle.ExecuteQuery.__qualname__ == "ExecuteQuery"
    assert brindle.connectDB.__defaults__ is None


# --- the engine's ExecuteQuery: connecting is outside the handler -----------------------------


@pytest.mark.parametrize("failing, closes", [("Connect", []), ("cursor", ["close"])])
def test_engine_query_raises_connection_failures_and_closes(brindle, fake_pymysql, log, failing, closes):
    engine = brindle.COXAAlgos()
    log.clear()
    fake_pymysql.fail(failing)
    with pytest.raises(FakeDatabaseError):
        engine.ExecuteQuery("select 1")
    assert log.records == []
    assert [e for e in fake_pymysql.names() if e.endswith("close")] == closes


def test_engine_query_logs_failures_inside_its_handler(brindle, fake_pymysql, log):
    engine = brindle.COXAAlgos()
    log.clear()
    assert engine.ExecuteQuery(None) == ()
    fake_pymysql.fail("fetchall")
    assert engine.ExecuteQuery("select 1") == ()
    assert [(r.message, r.exc_type) for r in log.records] == [("ExecuteQuery", TypeError),
                                                               ("ExecuteQuery", FakeDatabaseError)]
    assert fake_pymysql.names().count("close") == 2


def test_engine_query_uses_its_own_connect_db(brindle, fake_pymysql, log):
    engine = brindle.COXAAlgos()
    engine.connectDB = lambda: FakeConnection(fake_pymysql)
    assert engine.ExecuteQuery("select 1") == ((1,),)
    assert "Connect" not in fake_pymysql.names()
