"""What comes from outside stays data: an instrument ID in the instrument query selects
that instrument and nothing else, whatever characters it holds; the database password
appears in no log record, traceback, printed line, trace file or dead letter, whichever
way the connection fails."""
import io
import logging
import os
import socket
import shutil
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from harness.host import copy_sample_host
from harness.paths import TOOL_ENV, tool
from harness.session import create_tables

EXAMPLES = int(os.environ.get("OXA_HYPOTHESIS_EXAMPLES", "40"))
PASSWORD = "Qx7-pass-WORD-91"


# --- the instrument query --------------------------------------------------------------------

# Any text GB18030 can carry: the engine's connection (character set utf8mb4) takes every plane.
instrument_ids = st.text(st.characters(exclude_categories=("Cs",)), min_size=1, max_size=24)
INJECTIONS = ["x' OR '1'='1", "x\\' OR 1=1 -- ", "x'; DROP TABLE t_Instrument; -- ", "\\", "'", "\\'", "%s",
              "\x00' OR '1'='1", "\x1a' OR ''='", "\n' UNION SELECT * FROM t_Instrument -- ", '" OR ""="']


@pytest.fixture
def instruments(brindle, db_ini, log):
    create_tables(db_ini)
    # Room for every ID drawn, and IDs that the collation takes for equal side by side.
    db_ini.execute("ALTER TABLE t_Instrument MODIFY InstrumentID VARCHAR(128) NOT NULL, "
                   "DROP INDEX uq_t_Instrument_InstrumentID")
    return brindle.COXAAlgos(), db_ini


def store(server, instrument_id):
    server.execute("INSERT INTO t_Instrument (InstrumentID, ExchangeID) VALUES (%s, %s)",
                   (instrument_id, "EX-" + str(len(instrument_id))))


def answer(brindle, engine, instrument_id):
    request = brindle.py_ApiStructure.QryInstrumentField(InstrumentID=instrument_id.encode("gb18030"))
    return [record.InstrumentID for record in engine.ReqQryInstrument(request, 0)]


def bound_answer(server, instrument_id):
    """The rows the same query gives with the ID passed as a bound parameter."""
    return [row[1] for row in server.execute("SELECT * FROM t_Instrument t WHERE t.InstrumentID=%s LIMIT 1",
                                             (instrument_id,))]


@settings(max_examples=EXAMPLES, suppress_health_check=list(HealthCheck))
@given(instrument_id=st.one_of(instrument_ids, st.sampled_from(INJECTIONS)))
def test_instrument_id_is_only_ever_a_value(brindle, instruments, instrument_id):
    engine, server = instruments
    server.execute("DELETE FROM t_Instrument")
    store(server, "decoy")
    assert answer(brindle, engine, instrument_id) == bound_answer(server, instrument_id)
    store(server, instrument_id)
    assert answer(brindle, engine, instrument_id) == bound_answer(server, instrument_id)
    assert server.execute("SELECT count(*) FROM t_Instrument") == ((2,),)


# --- the database password -------------------------------------------------------------------


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def formatted_log(monkeypatch):
    """The host logger as a real logging.Logger writing whole records, tracebacks included."""
    stream = io.StringIO()
    logger = logging.getLogger("oxa.security-test")
    logger.handlers[:] = [logging.StreamHandler(stream)]
    logger.handlers[0].setFormatter(logging.Formatter("%(levelname)s %(message)s"))
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    monkeypatch.setattr(sys.modules["cfg.oxa_env"], "logger", logger)
    return stream


def everything_written(workdir, formatted_log, capfd, *more):
    files = "".join(workdir.log_files().values())
    out, err = capfd.readouterr()
    return "\n".join((formatted_log.getvalue(), files, out, err) + more)


@pytest.mark.parametrize("written_password, fault", [
    (PASSWORD, "login refused"),
    (PASSWORD, "server unreachable"),
    ("Qx7%pass-WORD-91", "bad interpolation"),
    ("Qx7%(pass-WORD)s-91", "missing reference"),
    ("Qx7-%(secret)s", "reference to a bad value"),
    ("Qx7\'pass\"WORD-91\u5bc6%", "bad interpolation"),
    (PASSWORD, "line without its equals sign"),
    (PASSWORD, "line before the first section"),
])
def test_password_appears_nowhere(brindle, db_ini, workdir, formatted_log, capfd, written_password, fault):
    create_tables(db_ini)
    cloud = dict(db_ini.ini_values(), OXA_DB_PWD=written_password, upload=1, debug=1)
    if fault == "server unreachable":
        cloud["OXA_DB_PORT"] = closed_port()
    if fault == "reference to a bad value":
        cloud["secret"] = "pass%WORD-91"
    workdir.set_ini({"CLOUD": cloud, "COMMUNICATION_SWITCH": {"c_cython": 1, "cython_c": 1}})
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 1}}, which="root")
    if fault == "line without its equals sign":
        text = workdir.cfg_ini.read_text(encoding="utf-8")
        workdir.cfg_ini.write_text(text.replace("OXA_DB_PWD = ", "OXA_DB_PWD "), encoding="utf-8")
    if fault == "line before the first section":
        workdir.cfg_ini.write_text("OXA_DB_PWD = %s\n" % written_password + workdir.cfg_ini.read_text(), "utf-8")
    engine = brindle.COXAAlgos()
    records = brindle.py_ApiStructure
    assert brindle.ExecuteQuery("select 1") == ()
    for call in (lambda: brindle.connectDB(), lambda: engine.connectDB(), lambda: engine.ExecuteQuery("select 1"),
                 lambda: engine.ReqQryInstrument(records.QryInstrumentField(InstrumentID=b"rb2501"), 0)):
        try:
            call().close()
        except Exception:
            pass
    engine.updateFactor()
    engine.push_OnRspQrySettlementInfo("SettlementInfo", records.SettlementInfoField(Content="x"))
    engine.DumpReqDict("InputOrder", records.InputOrderField(InstrumentID="rb2501"))
    host = copy_sample_host(workdir.path.parent / "host")
    shutil.copyfile(workdir.cfg_ini, host / "cfg" / "oxa.ini")
    tools = [subprocess.run(tool(name) + arguments, cwd=workdir.path, env=TOOL_ENV, capture_output=True, text=True,
                            timeout=120)
             for name, arguments in (("resend", ["log/sql_dead_letters.jsonl"]), ("db", ["create", "--host", str(host)]),
                                     ("check", ["--host", str(host)]))]
    written = everything_written(workdir, formatted_log, capfd, *(p.stdout + p.stderr for p in tools))
    assert "Traceback" in written
    if fault not in ("login refused", "server unreachable"):  # the error is logged, the text left out
        assert "get db config\nTraceback" in written
    if "interpolation" in fault or "reference" in fault:
        assert "bad interpolation in option 'oxa_db_pwd' in section 'CLOUD'" in written
    if "line" in fault:
        assert "COXAAlgos.init\nTraceback" in written and "(not shown)" in written
    for fragment in ("pass-WORD", "pass%WORD", "WORD-91", "Qx7"):
        assert fragment not in written, "%r written by the engine (%s)" % (fragment, fault)
