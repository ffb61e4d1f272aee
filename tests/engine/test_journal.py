"""[CLOUD] async_writes = 1: SQL2DB hands its statements to a journal on disk and returns; a
writer thread sends them in order, exactly once, whatever happens to the server or the host.
Each host is a process of its own, as the journal is the process's."""
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

from harness.paths import IMPORT_PATH, SAMPLE_HOST, TOOL_ENV, tool

# Writes `count` rows numbered on from the last (or from `first`) into `table` for each line
# "table count [first]" read; "engine" makes a new engine from the INI file as it is now, "fork"
# forks a child that exits at once. The engine's log goes to standard output beside the
# acknowledgements.
HOST = r"""
import logging, os, sys, time
PRELUDE
import cfg.oxa_env
cfg.oxa_env.logger.handlers[:] = [logging.StreamHandler(sys.stdout)]
import oxa.Brindle
def new_engine():
    engine = oxa.Brindle.COXAAlgos()
    print("async_writes", getattr(engine, "async_writes", None), flush=True)
    return engine
engine = new_engine()
written = 0
for command in sys.stdin:
    table, *numbers = command.split()
    if table == "engine":
        engine = new_engine()
        continue
    if table == "fork":
        started = time.monotonic()
        child = os.fork()
        if child == 0:
            sys.exit(0)
        os.waitpid(child, 0)
        print("child exited after", time.monotonic() - started, flush=True)
        continue
    written = int(numbers[1]) if len(numbers) > 1 else written
    for _ in range(int(numbers[0])):
        engine.SQL2DB("INSERT INTO %s(n)VALUES(%%s)" % table, [(written,)])
        written += 1
    print("acknowledged", written, flush=True)
"""


class Host:
    def __init__(self, workdir, prelude="", journal=True):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SAMPLE_HOST)] + IMPORT_PATH))
        self.process = subprocess.Popen([sys.executable, "-c", HOST.replace("PRELUDE", prelude)], cwd=workdir.path,
                                        env=env, text=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.lines = []
        self.output = queue.Queue()
        threading.Thread(target=self.read, daemon=True).start()
        assert self.expect("async_writes") == "async_writes %s" % (1 if journal else None)

    def read(self):
        for line in self.process.stdout:
            self.output.put(line.rstrip("\n"))
        self.output.put(None)  # the end

    def expect(self, start):
        """The next output line that starts so; a hang (a write waiting for the server) fails."""
        while True:
            try:
                line = self.output.get(timeout=60)
            except queue.Empty:
                raise AssertionError("no %r within a minute: %s" % (start, self.lines)) from None
            assert line is not None, "the host ended: %s" % self.lines
            self.lines.append(line)
            if line.startswith(start):
                return self.lines[-1]

    def command(self, line, answer):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.expect(answer)

    def write(self, table, count, first=""):
        return self.command("%s %d %s" % (table, count, first), "acknowledged")

    def exit(self):
        """A clean exit: the journal drains."""
        self.process.stdin.close()
        returncode = self.process.wait(timeout=120)
        for line in iter(lambda: self.output.get(timeout=60), None):
            self.lines.append(line)
        assert returncode == 0, self.lines
        return self.lines


@pytest.fixture
def journal_ini(db_ini, workdir):
    workdir.set_ini({"CLOUD": {"upload": 1, "async_writes": 1, "async_drain_seconds": 60}})
    db_ini.execute("CREATE TABLE t_rows (n INT)")
    return db_ini


def rows(db):
    return db.execute("SELECT n FROM t_rows ORDER BY n")


def test_a_frozen_server_holds_up_no_write_and_gets_every_row_once(journal_ini, workdir):
    host = Host(workdir)
    os.kill(journal_ini.pid, signal.SIGSTOP)
    try:
        assert host.write("t_rows", 300) == "acknowledged 300"  # while the server cannot answer
    finally:
        os.kill(journal_ini.pid, signal.SIGCONT)
    host.exit()
    assert rows(journal_ini) == tuple((n,) for n in range(300))


def test_an_exit_while_the_server_is_frozen_leaves_the_rest_to_the_next_start(journal_ini, workdir):
    workdir.set_ini({"CLOUD": {"async_drain_seconds": 0.3}})
    host = Host(workdir)
    os.kill(journal_ini.pid, signal.SIGSTOP)
    try:
        host.write("t_rows", 5)
        assert "SQL journal: 5 statements not sent by the exit stay in log/sql_journal.jsonl for the next start" \
            in host.exit()
    finally:
        os.kill(journal_ini.pid, signal.SIGCONT)
    workdir.set_ini({"CLOUD": {"async_drain_seconds": 60}})
    Host(workdir).exit()
    assert rows(journal_ini) == tuple((n,) for n in range(5))


def test_a_host_killed_mid_stream_leaves_the_rest_to_the_next_start(journal_ini, workdir):
    host = Host(workdir)
    assert host.write("t_rows", 3000) == "acknowledged 3000"
    host.process.kill()
    host.process.wait()
    Host(workdir).exit()
    assert rows(journal_ini) == tuple((n,) for n in range(3000))
    assert not (workdir.log_dir / "sql_dead_letters.jsonl").exists()


def test_a_refused_statement_is_reported_as_sql2db_reports_it_and_kept(journal_ini, workdir):
    host = Host(workdir)
    host.write("t_missing", 1)
    host.write("t_rows", 1)
    lines = host.exit()
    assert [line[:30] for line in lines if "SQL2DB" in line] == [
        "excute sql faild in SQL2DBINSE", "re excute sql faild in SQL2DBI"] * 5
    [letter] = (workdir.log_dir / "sql_dead_letters.jsonl").read_text().splitlines()
    assert json.loads(letter)["sql"] == "INSERT INTO t_missing(n)VALUES(%s)"
    assert rows(journal_ini) == ((1,),)


def test_at_its_bound_the_journal_passes_statements_to_the_dead_letters(workdir):
    workdir.set_ini({"CLOUD": {"upload": 1, "async_writes": 1, "async_max_mb": 0.002, "async_drain_seconds": 0.2,
                               "OXA_DB_PORT": 1}})
    host = Host(workdir)
    host.write("t_rows", 50)
    lines = host.exit()
    journal = (workdir.log_dir / "sql_journal.jsonl").read_text().splitlines()
    letters = (workdir.log_dir / "sql_dead_letters.jsonl").read_text().splitlines()
    assert len(journal) - 1 + len(letters) == 50 and len(journal) < 2048 // 50
    assert len([line for line in lines if line.startswith("SQL journal: full")]) == 1
    assert "SQL journal: %d statements not sent by the exit stay" % (len(journal) - 1) in "\n".join(lines)


def run_host(workdir, table="t_rows", count=0, first=""):
    """A host that writes `count` rows and exits; its output."""
    host = Host(workdir)
    host.write(table, count, first)
    return host.exit()


def resend(workdir):
    return subprocess.run(tool("resend") + ["log/sql_dead_letters.jsonl"], cwd=workdir.path, env=TOOL_ENV,
                          capture_output=True, text=True, timeout=120)


def frozen(db):
    """with frozen(db): the server cannot answer."""
    class Frozen:
        def __enter__(self):
            os.kill(db.pid, signal.SIGSTOP)

        def __exit__(self, *exc):
            os.kill(db.pid, signal.SIGCONT)
    return Frozen()


@pytest.mark.parametrize("table_back", [False, True], ids=["still-missing", "created-meanwhile"])
def test_a_statement_given_up_just_before_a_kill_is_kept_and_applied_once(journal_ini, workdir, table_back):
    run_host(workdir, "t_missing", 1)
    # As a kill leaves it after the dead letter was written and before the line was marked:
    journal_ini.execute("DELETE FROM t_sql_journal_sent")
    path = workdir.log_dir / "sql_journal.jsonl"
    path.write_text(re.sub(r'"sent": \[[ 0-9]+, [ 0-9]+\]', '"sent": [%20d, %20d]' % (0, 0), path.read_text(), 1))
    if table_back:
        journal_ini.execute("CREATE TABLE t_missing (n INT)")
    Host(workdir).exit()
    assert len(workdir.read_log("sql_dead_letters.jsonl").splitlines()) == 1
    if not table_back:
        journal_ini.execute("CREATE TABLE t_missing (n INT)")
    assert resend(workdir).returncode == 0
    Host(workdir).exit()  # nor does the journal send it after the resend
    assert journal_ini.execute("SELECT n FROM t_missing") == ((0,),)


def test_with_log_full_every_statement_arrives_and_it_is_said_once(journal_ini, workdir):
    # Files of the host cannot grow past 6000 bytes: the journal fills, then the dead letters.
    host = Host(workdir, prelude="import resource, signal; signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
                                 "resource.setrlimit(resource.RLIMIT_FSIZE, (6000, 6000))")
    host.write("t_rows", 200)
    lines = host.exit()
    said = [line for line in lines if line.startswith("SQL journal: cannot write")]
    assert len(said) == 2 and "SQL2DB writes synchronously" in said[1], said
    assert resend(workdir).returncode == 0
    assert rows(journal_ini) == tuple((n,) for n in range(200))


def test_a_forked_child_exits_at_once_and_leaves_the_journal_to_its_parent(journal_ini, workdir):
    host = Host(workdir)
    with frozen(journal_ini):
        host.write("t_rows", 5)
        seconds = float(host.command("fork", "child exited").split()[-1])
    assert seconds < 2
    assert not [line for line in host.exit() if "not sent" in line]
    assert rows(journal_ini) == tuple((n,) for n in range(5))


def test_engines_of_two_databases_each_write_to_their_own(journal_ini, workdir):
    second = "journal_second"
    journal_ini.add_account(journal_ini.user, journal_ini.password, second)
    journal_ini.execute("DROP TABLE IF EXISTS %s.t_rows" % second)
    journal_ini.execute("CREATE TABLE %s.t_rows (n INT)" % second)
    host = Host(workdir)
    host.write("t_rows", 1)
    workdir.set_ini({"CLOUD": {"OXA_DB_NAME": second}})
    host.command("engine", "async_writes 1")
    host.write("t_rows", 2)
    host.exit()
    assert rows(journal_ini) == ((0,),)
    assert journal_ini.execute("SELECT n FROM %s.t_rows ORDER BY n" % second) == ((1,), (2,))


def test_settings_out_of_their_bounds_are_refused_by_name(journal_ini, workdir):
    workdir.set_ini({"CLOUD": {"async_max_mb": "1e20", "async_drain_seconds": "1e10"}})
    host = Host(workdir)
    host.write("t_rows", 3)
    refused = [line for line in host.exit() if "is refused" in line]
    assert [line.split(" is refused")[0] for line in refused] == [
        "SQL journal: [CLOUD] async_max_mb = '1e20'", "SQL journal: [CLOUD] async_drain_seconds = '1e10'"]
    assert rows(journal_ini) == ((0,), (1,), (2,))


def test_a_start_reads_only_the_lines_not_sent(journal_ini, workdir):
    run_host(workdir, count=3)
    path = workdir.log_dir / "sql_journal.jsonl"
    # A sent line overwritten in place: read again, it would be given up to the dead letters.
    header, first, second, rest = path.read_text().split("\n", 3)
    path.write_text("\n".join([header, first, "x" * len(second), rest]))
    run_host(workdir, count=1, first=3)
    assert workdir.read_log("sql_dead_letters.jsonl") is None
    assert rows(journal_ini) == tuple((n,) for n in range(4))


def test_a_missing_line_refuses_the_journal_until_the_file_is_put_back(journal_ini, workdir):
    run_host(workdir, count=5)
    workdir.set_ini({"CLOUD": {"async_drain_seconds": 0.3}})
    host = Host(workdir)
    with frozen(journal_ini):
        host.write("t_rows", 3, 5)
        host.exit()
    path = workdir.log_dir / "sql_journal.jsonl"
    whole = path.read_text()
    lines = whole.splitlines(keepends=True)
    path.write_text("".join(lines[:2] + lines[3:]))  # a sent line removed
    said = Host(workdir, journal=False).exit()
    assert any("sql_journal.jsonl is damaged" in line and "SQL2DB writes synchronously" in line for line in said)
    assert rows(journal_ini) == tuple((n,) for n in range(5))
    path.write_text(whole)
    Host(workdir).exit()
    assert rows(journal_ini) == tuple((n,) for n in range(8))


def test_a_lost_mark_stops_the_journal_until_it_is_put_back(journal_ini, workdir):
    run_host(workdir, count=200)
    journal_ini.execute("DROP TABLE t_sql_journal_sent")
    host = Host(workdir)
    host.write("t_rows", 1, 200)
    said = host.expect("SQL journal: t_sql_journal_sent holds no mark")
    time.sleep(0.5)
    assert rows(journal_ini) == tuple((n,) for n in range(200))  # nothing sent twice meanwhile
    journal_ini.execute(re.search(r"REPLACE INTO .*\)", said).group(0))
    host.exit()
    assert rows(journal_ini) == tuple((n,) for n in range(201))


def test_a_copy_saved_over_the_journal_loses_nothing_at_a_kill(journal_ini, workdir):
    host = Host(workdir)
    path = workdir.log_dir / "sql_journal.jsonl"
    with frozen(journal_ini):
        host.write("t_rows", 90)
        shutil.copy(path, path.with_suffix(".saving"))
        os.replace(path.with_suffix(".saving"), path)
        host.write("t_rows", 90)
        deadline = time.monotonic() + 10
        while not list(workdir.log_dir.glob("sql_journal.jsonl.replaced-*")) and time.monotonic() < deadline:
            time.sleep(0.01)
        host.process.kill()
        host.process.wait()
    Host(workdir).exit()
    assert rows(journal_ini) == tuple((n,) for n in range(180))
