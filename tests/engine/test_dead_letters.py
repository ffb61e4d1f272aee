"""Rows that SQL2DB gives up on go to log/sql_dead_letters.jsonl with values that read back
exactly (tests/tools/live/test_resend.py sends them again)."""
import json
import math
from datetime import date, datetime, time, timedelta, timezone
from decimal import Decimal

import pytest

from harness.fake_pymysql import FakeDatabaseError

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
    ["list", b"x"], {"key": date(2026, 1, 1), 3: None}, {1}, frozenset({"a"}),
)


@pytest.fixture(scope="module")
def resend():
    from brindle_tools.live import resend as module
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
