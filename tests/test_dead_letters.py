"""Rows that SQL2DB gives up on go to log/sql_dead_letters.jsonl with values that read back
exactly, and tools/resend_dead_letters.py sends them again, keeping what fails."""
import json
import math
import subprocess
import sys
from datetime import date, datetime, time, timedelta, timezone
from decimal import Decimal

import pytest

from harness.fake_pymysql import FakeDatabaseError
from harness.paths import REPO

TOOL = REPO / "tools" / "resend_dead_letters.py"
DEAD_LETTERS = "sql_dead_letters.jsonl"


class Custom:
    def __str__(self):
        return "custom text"


VALUES = (
    None, True, False, 0, -7, 2**80, 1.5, -0.0, 1e300, float("nan"), float("inf"), float("-inf"),
    "text", "中文 'quoted'\n", "\ud800", Decimal("3512.5000"), Decimal("-0E-3"), Decimal("NaN"),
    b"\x00\xff'", bytearray(b"ab"), datetime(2026, 1, 2, 3, 4, 5, 6),
    datetime(2026, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=8))), date(2026, 1, 2),
    time(9, 30, 0, 500), timedelta(days=-1, seconds=5, microseconds=7), ("nested", (1, Decimal("2"))),
    ["list", b"x"], {"key": date(2026, 1, 1), 3: None},
)


@pytest.fixture(scope="module")
def resend():
    from brindle_tools import resend as module
    return module


@pytest.fixture
def failing_engine(brindle, workdir, log):
    """An engine whose every connection attempt fails."""
    workdir.set_ini({"CLOUD": {"upload": 1, "debug": 0}})
    engine = brindle.COXAAlgos()

    def refuse():
        raise FakeDatabaseError("refused")

    engine.connectDB = refuse
    log.clear()
    return engine


def letters(workdir):
    text = workdir.read_log(DEAD_LETTERS)
    return [] if text is None else [json.loads(line) for line in text.splitlines()]


def same(a, b):
    """Equal, of the same type, NaN equal to NaN and -0.0 told from 0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, Decimal):
        return str(a) == str(b)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


# --- what the engine keeps ------------------------------------------------------------------


def test_given_up_rows_read_back_exactly(failing_engine, workdir, resend, capsys):
    rows = [VALUES + (Custom(),), (1, 2)]
    before = datetime.now().replace(microsecond=0)
    assert failing_engine.SQL2DB("INSERT INTO T VALUES(%s)", rows) is None
    [letter] = letters(workdir)
    assert before <= datetime.fromisoformat(letter["at"]) <= datetime.now()
    sql, back = resend.read_letter(json.dumps(letter))
    assert sql == "INSERT INTO T VALUES(%s)"
    # A value of a type the driver has no conversion for is sent as its text; so it is kept.
    assert same(back, [VALUES + ("custom text",), (1, 2)])


def test_each_give_up_appends_one_line_and_callers_see_no_difference(failing_engine, workdir, capsys, log):
    failing_engine.SQL2DB("S1", [(1,)])
    first = (capsys.readouterr().out, log.pairs())
    log.clear()
    failing_engine.SQL2DB("S2", [(2,)])
    assert (capsys.readouterr().out.replace("2", "1"), log.pairs()) == (
        first[0], [(level, text.replace("S1", "S2")) for level, text in first[1]])
    assert [(letter["sql"], letter["rows"]) for letter in letters(workdir)] == [
        ("S1", [{"tuple": [1]}]), ("S2", [{"tuple": [2]}])]


def test_a_line_cut_off_by_a_crash_is_not_glued_to_the_next_letter(failing_engine, workdir, capsys):
    cut = '{"at": "2026-01-02T03:04:05", "sql": "S0", "ro'
    (workdir.log_dir / DEAD_LETTERS).write_text(cut)
    failing_engine.SQL2DB("S1", [(1,)])
    failing_engine.SQL2DB("S2", [(2,)])
    first, *kept = workdir.read_log(DEAD_LETTERS).split("\n")
    assert first == cut and [json.loads(line)["sql"] for line in kept if line] == ["S1", "S2"]
    assert kept[-1] == ""


def test_nothing_is_kept_while_a_retry_succeeds(brindle, workdir, fake_pymysql, capsys, log):
    engine = brindle.COXAAlgos()
    engine.upload = 1
    fake_pymysql.fail("Connect", times=9)
    engine.SQL2DB("S", [(1,)])
    assert letters(workdir) == []


@pytest.mark.parametrize("broken", ["log directory", "value"])
def test_a_dead_letter_that_cannot_be_written_is_reported_in_the_error_log(failing_engine, workdir, capsys, log,
                                                                           broken):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text form")

    if broken == "log directory":
        workdir.remove_log()
        rows, error = [(1,)], FileNotFoundError
    else:
        rows, error = [(Unprintable(),)], ValueError
    assert failing_engine.SQL2DB("S", rows) is None
    *retries, report = log.records
    assert len(retries) == 10
    assert (report.level, report.exc_type) == ("error", error)
    assert report.message == "SQL2DB gave up a statement and could not keep it in log/sql_dead_letters.jsonl"
    assert letters(workdir) == []


# --- the resend command -----------------------------------------------------------------------


def run_tool(workdir, *args):
    return subprocess.run([sys.executable, str(TOOL), *args], cwd=workdir.path, capture_output=True, text=True,
                          timeout=120)


def test_resend_writes_the_kept_rows_exactly_and_empties_the_file(brindle, db_ini, workdir, capsys, log):
    workdir.set_ini({"CLOUD": {"upload": 1, "debug": 0}})
    engine = brindle.COXAAlgos()
    record = {"name": "中文", "price": Decimal("3512.5000"), "at": datetime(2026, 1, 2, 9, 30, 0, 250000),
              "raw": b"\x00\xff", "missing": None}
    engine.dict2DB("t_kept", record)  # the table does not exist yet: given up
    assert len(letters(workdir)) == 1
    db_ini.execute("create table t_kept (name varchar(8), price decimal(12,4), at datetime(6), raw varbinary(4),"
                   " missing int)")
    done = run_tool(workdir, "log/" + DEAD_LETTERS)
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "sent 1, kept 0")
    assert db_ini.execute("select * from t_kept") == (tuple(record.values()),)
    assert letters(workdir) == []


def test_resend_keeps_what_fails_and_what_cannot_be_read(resend, db_ini, workdir, capsys):
    db_ini.execute("create table t_ok (a int)")
    good = json.dumps({"at": "", "sql": "INSERT INTO t_ok(a)VALUES(%s)", "rows": [{"tuple": [1]}, {"tuple": [2]}]})
    bad = json.dumps({"at": "", "sql": "INSERT INTO t_missing(a)VALUES(%s)", "rows": [{"tuple": [3]}]})
    path = workdir.log_dir / DEAD_LETTERS
    path.write_text("\n".join([bad, good, "not json", ""]) + "\n", encoding="utf-8")
    assert resend.resend_file(str(path), resend.connection_settings()) == (1, 2)
    assert path.read_text(encoding="utf-8").splitlines() == [bad, "not json"]
    assert db_ini.execute("select a from t_ok order by a") == ((1,), (2,))
    db_ini.execute("create table t_missing (a int)")
    assert resend.main([str(path)]) == 1  # the unreadable line stays
    assert db_ini.execute("select a from t_missing") == ((3,),)
    assert path.read_text(encoding="utf-8").splitlines() == ["not json"]


def test_resend_keeps_everything_when_the_server_cannot_be_reached(resend, db_ini, workdir, capsys):
    workdir.set_ini({"CLOUD": {"OXA_DB_PORT": 1}})
    line = json.dumps({"at": "", "sql": "INSERT INTO t(a)VALUES(%s)", "rows": [{"tuple": [1]}]})
    path = workdir.log_dir / DEAD_LETTERS
    path.write_text(line + "\n" + line + "\n", encoding="utf-8")
    assert resend.main([str(path)]) == 1
    assert path.read_text(encoding="utf-8") == line + "\n" + line + "\n"
    assert "cannot connect" in capsys.readouterr().out


def test_resend_reads_the_settings_as_connect_db_does(resend, workdir, capsys):
    workdir.set_ini({"CLOUD": {"OXA_DB_TYPE": "mysql", "OXA_DB_SERVER": "db", "OXA_DB_USER": "u",
                               "OXA_DB_PWD": "p%%w", "OXA_DB_NAME": "n", "OXA_DB_PORT": "3307"}})
    assert resend.connection_settings() == {"host": "db", "user": "u", "password": "p%w", "database": "n",
                                            "port": 3307, "charset": "utf8"}
    workdir.set_ini({"CLOUD": {"OXA_DB_TYPE": None}})
    assert resend.connection_settings() == dict(resend.FALLBACK, charset="utf8")
    assert "get db config" in capsys.readouterr().err
    assert run_tool(workdir, "log/none.jsonl").returncode == 2


def test_an_interrupted_resend_puts_back_every_line_not_sent(resend, workdir, monkeypatch, capsys):
    class Connection:
        calls = 0

        def cursor(self):
            return self

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

        def executemany(self, sql, rows):
            Connection.calls += 1
            if Connection.calls == 2:
                raise KeyboardInterrupt

        def commit(self):
            pass

        def close(self):
            pass

    monkeypatch.setattr(resend.pymysql, "connect", lambda **settings: Connection())
    lines = [json.dumps({"at": "", "sql": "S%d" % n, "rows": []}) for n in range(3)]
    path = workdir.log_dir / DEAD_LETTERS
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    with pytest.raises(KeyboardInterrupt):
        resend.resend_file(str(path), {})
    assert path.read_text(encoding="utf-8").splitlines() == lines[1:]
    assert [p.name for p in workdir.log_dir.iterdir()] == [DEAD_LETTERS]
