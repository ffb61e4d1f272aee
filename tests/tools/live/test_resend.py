"""brindle-resend sends the dead letters again: exactly once, whatever stops it,
keeping with its reason what cannot be sent, one run at a time."""
import json
import os
import signal
import subprocess
import time
from datetime import datetime
from decimal import Decimal

import pymysql
import pytest

from harness.paths import TOOL_ENV, tool

DEAD_LETTERS = "sql_dead_letters.jsonl"


@pytest.fixture(scope="module")
def resend():
    from brindle_tools.live import resend as module
    return module


@pytest.fixture
def path(workdir):
    return workdir.log_dir / DEAD_LETTERS


def letter(n, text="x", table="t_rows"):
    return json.dumps({"at": "", "sql": "INSERT INTO %s(n,text)VALUES(%%s,%%s)" % table,
                       "rows": [{"tuple": [n, text]}]}) + "\n"


def write(path, lines):
    path.write_bytes(b"".join(line.encode() if isinstance(line, str) else line for line in lines))


def run_tool(workdir, *args):
    return subprocess.run(tool("resend") + list(args), cwd=workdir.path, env=TOOL_ENV, capture_output=True, text=True,
                          timeout=120)


def start_tool(workdir):
    return subprocess.Popen(tool("resend") + ["log/" + DEAD_LETTERS], cwd=workdir.path, env=TOOL_ENV,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def beside(workdir):
    """Files of the log directory other than the dead-letter file itself."""
    return sorted(p.name for p in workdir.log_dir.iterdir() if p.name != DEAD_LETTERS)


@pytest.fixture
def rows_table(db_ini):
    db_ini.execute("CREATE TABLE t_rows (n INT, text VARCHAR(200))")
    return lambda: db_ini.execute("SELECT n FROM t_rows ORDER BY n")


# --- exactly once ----------------------------------------------------------------------------


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL], ids=["SIGTERM", "SIGKILL"])
def test_stopped_part_way_then_run_again_every_line_arrives_once(db_ini, workdir, path, rows_table, sig):
    """Stopped three times part-way (SIGKILL may land inside a commit), the engine adding lines
    meanwhile; the runs after finish the job."""
    total = 1500
    write(path, [letter(n) for n in range(total)])
    for attempt in range(3):
        tool = start_tool(workdir)
        deadline = time.monotonic() + 60
        target = len(rows_table()) + 150
        while len(rows_table()) < target and tool.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        with open(path, "a", encoding="utf-8") as file:  # as the engine appends
            file.write(letter(total))
        total += 1
        tool.send_signal(sig)
        out = tool.communicate(timeout=60)[0]
        if sig == signal.SIGTERM:
            assert tool.returncode == 1 and "stopping: line" in out, out
            assert beside(workdir) == []  # the rest is back in the file
        else:
            assert tool.returncode == -signal.SIGKILL
    done = run_tool(workdir, "log/" + DEAD_LETTERS)
    assert done.returncode == 0, done.stdout + done.stderr
    assert rows_table() == tuple((n,) for n in range(total))
    assert beside(workdir) == [] and not path.exists()


def test_a_commit_whose_answer_is_lost_is_found_out(resend, db_ini, workdir, path, rows_table, monkeypatch):
    """The server commits line 2 but the answer never arrives: its row in the table of lines
    sent tells; when that cannot be asked either, the aside file waits for the next run."""
    write(path, [letter(n) for n in range(4)])
    real_commit, real_sent_lines = resend.Sender.commit, resend.Sender.sent_lines
    lost = {"answers": 2, "questions": 1}

    def commit(sender):
        real_commit(sender)
        if lost["answers"] and len(rows_table()) == 2:
            lost["answers"] -= 1
            sender.close()
            raise pymysql.err.OperationalError(2013, "Lost connection to server during query")

    def sent_lines(sender, batch):
        if lost["answers"] == 0 and lost["questions"]:
            lost["questions"] -= 1
            raise resend.Unavailable("cannot connect: refused")
        return real_sent_lines(sender, batch)

    monkeypatch.setattr(resend.Sender, "commit", commit)
    monkeypatch.setattr(resend.Sender, "sent_lines", sent_lines)
    assert resend.resend_file(str(path), resend.connection_settings()) == (4, 0, 0)
    assert rows_table() == ((0,), (1,), (2,), (3,))
    db_ini.execute("DELETE FROM t_rows")
    write(path, [letter(n) for n in range(4)])
    assert resend.resend_file(str(path), resend.connection_settings()) == (1, 3, 0)
    [aside] = beside(workdir)
    assert aside.startswith(DEAD_LETTERS + ".resending-")
    assert resend.resend_file(str(path), resend.connection_settings()) == (2, 0, 2)
    assert rows_table() == ((0,), (1,), (2,), (3,)) and beside(workdir) == []


@pytest.mark.parametrize("state", ["linked", "appended", "not appended", "partial"])
def test_a_run_stopped_while_putting_lines_back_is_finished_once(resend, workdir, path, capsys, state):
    """What a run left while putting its kept lines back: the next run (database down) adds
    them to the file exactly once, or takes over the aside file they were written from."""
    workdir.set_ini({"CLOUD": {"OXA_DB_PORT": 1}})
    kept, engine = letter(1), letter(2)
    returning = workdir.log_dir / (DEAD_LETTERS + ".returning-77-ab")
    returning.write_text(kept)
    if state == "linked":
        os.link(returning, path)
    else:
        write(path, [engine] + ([kept] if state == "appended" else []))
    if state == "partial":
        returning.rename(str(returning) + ".partial")
        write(workdir.log_dir / (DEAD_LETTERS + ".resending-77-ab"), [kept])
    elif state != "linked":
        returning.rename("%s.at-%d" % (returning, len(engine)))
    assert resend.main([str(path)]) == 1
    if state == "partial":  # nothing known of what was sent without the database: it waits
        assert (path.read_text(), beside(workdir)) == (engine, [DEAD_LETTERS + ".resending-77-ab"])
    else:
        assert (path.read_text(), beside(workdir)) == ((engine if state != "linked" else "") + kept, [])


def test_a_line_written_through_a_handle_opened_before_the_file_was_taken_aside_is_kept(workdir, path):
    workdir.set_ini({"CLOUD": {"OXA_DB_PORT": 1}})
    write(path, [letter(1)])
    engine = open(path, "a", encoding="utf-8")  # as the engine opens it, just before the tool starts
    tool = start_tool(workdir)
    deadline = time.monotonic() + 30
    while path.exists() and tool.poll() is None and time.monotonic() < deadline:  # until taken aside
        time.sleep(0.01)
    time.sleep(0.3)
    engine.write(letter(2))
    engine.close()
    assert tool.wait(timeout=60) == 1
    assert (path.read_text(), beside(workdir)) == (letter(1) + letter(2), [])


def test_an_interrupt_while_sending_puts_back_every_line_not_committed(resend, db_ini, workdir, path, rows_table,
                                                                      monkeypatch):
    real_stage = resend.Sender.stage

    def stage(sender, batch, number, *statement):
        if number == 1:
            raise KeyboardInterrupt  # a second ^C
        real_stage(sender, batch, number, *statement)

    monkeypatch.setattr(resend.Sender, "stage", stage)
    write(path, [letter(n) for n in range(3)])
    with pytest.raises(KeyboardInterrupt):
        resend.resend_file(str(path), resend.connection_settings())
    assert (path.read_text(), beside(workdir), rows_table()) == (letter(1) + letter(2), [], ((0,),))


# --- what is kept, and why ---------------------------------------------------------------------


def test_the_engine_s_rows_arrive_exactly(brindle, db_ini, workdir, path, capsys, log):
    workdir.set_ini({"CLOUD": {"upload": 1, "debug": 0}})
    engine = brindle.COXAAlgos()
    record = {"name": "中文", "price": Decimal("3512.5000"), "at": datetime(2026, 1, 2, 9, 30, 0, 250000),
              "raw": b"\x00\xff", "missing": None}
    engine.dict2DB("t_kept", record)  # the table does not exist yet: given up
    assert len(path.read_text().splitlines()) == 1
    db_ini.execute("create table t_kept (name varchar(8), price decimal(12,4), at datetime(6), raw varbinary(4),"
                   " missing int)")
    done = run_tool(workdir, "log/" + DEAD_LETTERS)
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "sent 1, kept 0")
    assert db_ini.execute("select * from t_kept") == (tuple(record.values()),)
    assert not path.exists()


def test_lines_that_cannot_be_sent_are_kept_byte_for_byte_with_their_reason(resend, db_ini, workdir, path,
                                                                             rows_table, capsys):
    db_ini._root_execute(("SET GLOBAL max_allowed_packet = 65536", None))
    try:
        not_utf8 = letter(1).encode().replace(b'"x"', b'"\xff"')
        huge = letter(2, "y" * 70000)
        batched = json.dumps({"at": "", "sql": "INSERT INTO t_rows(n,text)VALUES(%s,%s)",
                              "rows": [{"tuple": [n, "z" * 150]} for n in range(3, 600)]}) + "\n"
        rare = letter(600, "\U00020000 \u4e2d")  # a 4-byte character, as the engine escapes it
        write(path, [not_utf8, huge, batched, rare, "{cut off by a cra"])
        assert resend.resend_file(str(path), resend.connection_settings()) == (2, 3, 0)
    finally:
        db_ini._root_execute(("SET GLOBAL max_allowed_packet = DEFAULT", None))
    out = capsys.readouterr().out
    assert "line 1 kept: cannot be read: not UTF-8: 'utf-8' codec can't decode byte 0xff" in out
    assert "line 2 kept: too large for the server: a statement of 700" in out
    assert "its max_allowed_packet is 65536" in out
    assert "line 5 kept: cannot be read: not JSON" in out
    assert path.read_bytes() == not_utf8 + huge.encode() + b"{cut off by a cra\n"
    assert len(rows_table()) == 598
    assert db_ini.execute("SELECT text FROM t_rows WHERE n = 600") == (("\U00020000 \u4e2d",),)


def test_what_fails_is_kept_and_sent_by_a_later_run(resend, db_ini, workdir, path, capsys):
    db_ini.execute("CREATE TABLE t_ok (n INT, text VARCHAR(8))")
    write(path, [letter(1, table="t_missing"), letter(2, table="t_ok"), "\n"])
    assert resend.resend_file(str(path), resend.connection_settings()) == (1, 1, 0)
    assert path.read_text() == letter(1, table="t_missing")
    assert "line 1 kept: (1146," in capsys.readouterr().out
    db_ini.execute("CREATE TABLE t_missing (n INT, text VARCHAR(8))")
    assert resend.main([str(path)]) == 0
    assert db_ini.execute("SELECT n FROM t_missing UNION ALL SELECT n FROM t_ok") == ((1,), (2,))
    assert not path.exists() and beside(workdir) == []


def test_everything_is_kept_when_the_server_cannot_be_reached(resend, workdir, path, capsys):
    workdir.set_ini({"CLOUD": {"OXA_DB_PORT": 1}})
    write(path, [letter(1), letter(2)])
    assert resend.main([str(path)]) == 1
    assert path.read_text() == letter(1) + letter(2) and beside(workdir) == []
    assert "line 1 and the rest kept: cannot connect" in capsys.readouterr().out


# --- the command ---------------------------------------------------------------------------------


def test_one_run_at_a_time(resend, workdir, path):
    write(path, [letter(1)])
    with resend.Files(str(path)).locked():
        second = run_tool(workdir, "log/" + DEAD_LETTERS)
    assert second.returncode == 3
    assert second.stderr == "another resend of %s is running (pid %d); try again when it is done\n" % (
        "log/" + DEAD_LETTERS, os.getpid())
    assert path.read_text() == letter(1) and beside(workdir) == []
    assert run_tool(workdir, "log/none.jsonl").returncode == 2


def test_the_settings_are_read_as_connect_db_reads_them(resend, workdir, capsys):
    workdir.set_ini({"CLOUD": {"OXA_DB_TYPE": "mysql", "OXA_DB_SERVER": "db", "OXA_DB_USER": "u",
                               "OXA_DB_PWD": "p%%w", "OXA_DB_NAME": "n", "OXA_DB_PORT": "3307"}})
    assert resend.connection_settings() == {"host": "db", "user": "u", "password": "p%w", "database": "n",
                                            "port": 3307, "charset": "utf8mb4"}
    workdir.set_ini({"CLOUD": {"OXA_DB_TYPE": None}})
    assert resend.connection_settings() == dict(resend.FALLBACK, charset="utf8mb4")
    assert "get db config" in capsys.readouterr().err
