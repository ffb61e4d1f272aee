"""Test harness: the built module under a copy of the sample host, per-test working
directories, a recording host logger, editable strategy settings, subprocess runs for
import-time cases, and a private MariaDB server.

Fixtures:
  brindle          the imported oxa.Brindle module (session)
  native_road      the native road's module, brindle_tools.replay.native._road (session)
  host_dir         the session copy of the sample host, first on sys.path (session)
  workdir          fresh working directory with cfg/oxa.ini, oxa.ini and log/; the test
                   runs inside it (autouse)
  log              recording logger installed as cfg.oxa_env.logger
  settings_module  edits cfg/oxa_can_change_env.py of the session copy; restored afterwards
  run_python       runs `python3 -c code` in a fresh host directory
  mariadb          the private MariaDB server, started on first use (session)
  db_ini           empties the test database and points the working directory's
                   cfg/oxa.ini at the server; gives the server
  fake_pymysql     a recording stand-in bound as oxa.Brindle.pymysql, for keyword checks
                   and injected failures
"""
import importlib
import importlib.machinery
import shutil
import sys
import tempfile
import traceback
from pathlib import Path

import pytest

from harness.fake_pymysql import FakePyMySQL
from harness.host import SettingsModule, WorkDir, copy_sample_host, run_python as _run_python
from harness.mariadb import MariaDBError, MariaDBServer
from harness.paths import IMPORT_PATH, MODULE_DIR, ROAD_DIR
from harness.recording_logger import RecordingLogger

try:
    from hypothesis import HealthCheck, settings

    # Database and subprocess work make timings meaningless; the function-scoped
    # fixtures (workdir is autouse) are shared by the examples of one test on purpose.
    settings.register_profile(
        "oxa",
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.function_scoped_fixture],
    )
    settings.load_profile("oxa")
except ImportError:  # hypothesis is only needed by the tests that use it
    pass


class _Session:
    host_dir = None  # session copy of the sample host
    module = None  # oxa.Brindle once imported
    import_error = None  # why it could not be imported


def pytest_configure(config):
    if _Session.host_dir is not None:
        return
    # A private copy, so that tests may edit the settings module without touching the repo.
    root = Path(tempfile.mkdtemp(prefix="oxa-host-"))
    _Session.host_dir = copy_sample_host(root / "host")
    # The host's directory first, then the module's root: `oxa` is a namespace package
    # made of the host's oxa/ (py_ApiStructure) and the build's oxa/ (the built module).
    sys.path[0:0] = [str(_Session.host_dir)] + IMPORT_PATH


def pytest_unconfigure(config):
    if _Session.host_dir is not None:
        shutil.rmtree(_Session.host_dir.parent, ignore_errors=True)


def pytest_sessionstart(session):
    try:
        _Session.module = importlib.import_module("oxa.Brindle")
        if Path(_Session.module.__file__).resolve().parent != MODULE_DIR:
            _Session.module = None
            _Session.import_error = "oxa.Brindle came from %s, not from the build under test in %s" % (
                Path(sys.modules["oxa.Brindle"].__file__).parent, MODULE_DIR)
    except ModuleNotFoundError as exc:
        if exc.name not in ("oxa.Brindle", "oxa"):
            _Session.import_error = traceback.format_exc()
        else:
            suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
            _Session.import_error = (
                "oxa.Brindle is not built: no %s/Brindle%s. Run `make build` (or `make test`)."
                % (MODULE_DIR, suffix)
            )
    except BaseException:
        _Session.import_error = traceback.format_exc()


def pytest_report_header(config):
    lines = ["host copy: %s" % _Session.host_dir]
    if _Session.module is not None:
        lines.append("oxa.Brindle: %s" % getattr(_Session.module, "__file__", "?"))
    return lines


# --- the module and the host ----------------------------------------------------------------


@pytest.fixture(scope="session")
def brindle():
    if _Session.module is None:
        pytest.fail("cannot import oxa.Brindle:\n%s" % _Session.import_error, pytrace=False)
    return _Session.module


@pytest.fixture(scope="session")
def native_road():
    """The native road's module of the build under test, set up as the road sets it up."""
    from brindle_tools.replay.native import road

    module = road.native_module()
    if Path(module.__file__).resolve().parent != ROAD_DIR:
        pytest.fail("%s is not the build under test in %s" % (module.__file__, ROAD_DIR), pytrace=False)
    return module


@pytest.fixture(scope="session")
def host_dir():
    return _Session.host_dir


@pytest.fixture(autouse=True)
def workdir(tmp_path, monkeypatch):
    wd = WorkDir.create(tmp_path / "work")
    monkeypatch.chdir(wd.path)
    return wd


@pytest.fixture
def log(monkeypatch):
    env = importlib.import_module("cfg.oxa_env")
    recorder = RecordingLogger()
    monkeypatch.setattr(env, "logger", recorder)
    return recorder


@pytest.fixture
def settings_module():
    sm = SettingsModule()
    try:
        yield sm
    finally:
        sm.restore()


@pytest.fixture
def run_python(tmp_path):
    """run_python(code, files=None, base="sample", env=None, timeout=120): see
    harness.host.run_python; each call gets a directory of its own."""
    counter = iter(range(1, 1_000_000))

    def run(code, files=None, **kwargs):
        return _run_python(code, tmp_path / ("host-%d" % next(counter)), files, **kwargs)

    return run


# --- database --------------------------------------------------------------------------------


@pytest.fixture(scope="session")
def mariadb():
    try:
        server = MariaDBServer.create()
    except MariaDBError as exc:
        failure = str(exc)
    else:
        failure = None
    if failure is not None:
        pytest.fail(failure, pytrace=False)
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def db_ini(mariadb, workdir):
    mariadb.ensure_running()  # an earlier test may have stopped it
    mariadb.reset()
    workdir.set_ini({"CLOUD": mariadb.ini_values()})
    return mariadb


@pytest.fixture
def fake_pymysql(brindle, monkeypatch):
    fake = FakePyMySQL()
    monkeypatch.setattr(brindle, "pymysql", fake)
    return fake
