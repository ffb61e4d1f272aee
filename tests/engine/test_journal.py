"""[CLOUD] async_writes = 1: SQL2DB hands its statements to a journal on disk and returns; a
writer thread sends them in order, exactly once, whatever happens to the server or the host.
Each host is a process of its own, as the journal is the process's."""
import json
import os
import queue
import signal
import subprocess
import sys
import threading

import pytest

from harness.paths import IMPORT_PATH, SAMPLE_HOST

# Writes `count` rows numbered on from the last into `table` for each line "table count" read;
# the engine's log goes to standard output beside the acknowledgements.
HOST = r"""
import logging, sys
import cfg.oxa_env
cfg.oxa_env.logger.handlers[:] = [logging.StreamHandler(sys.stdout)]
import oxa.Brindle
engine = oxa.Brindle.COXAAlgos()
print("async_writes", getattr(engine, "async_writes", None), flush=True)
written = 0
for command in sys.stdin:
    table, count = command.split()
    for _ in range(int(count)):
        engine.SQL2DB("INSERT INTO %s(n)VALUES(%%s)" % table, [(written,)])
        written += 1
    print("acknowledged", written, flush=True)
"""


class Host:
    def __init__(self, workdir):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SAMPLE_HOST)] + IMPORT_PATH))
        self.process = subprocess.Popen([sys.executable, "-c", HOST], cwd=workdir.path, env=env, text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.lines = []
        self.output = queue.Queue()
        threading.Thread(target=self.read, daemon=True).start()
        assert self.expect("async_writes") == "async_writes 1"

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

    def write(self, table, count):
        self.process.stdin.write("%s %d\n" % (table, count))
        self.process.stdin.flush()
        return self.expect("acknowledged")

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
