"""Importing oxa.Brindle: the module body's order, and failures that leave nothing behind."""
import textwrap

GLOBALS_IN_ORDER = [
    "ctypes", "configparser", "reload", "time", "datetime", "pymysql", "sys", "collections",
    "traceback", "myEnv", "myDEnv", "py_ApiStructure",
    "toString", "toString2", "myDecode", "nvl",
]


def test_globals_are_bound_in_module_body_order(run_python):
    proc = run_python("import oxa.Brindle as b\nprint([n for n in vars(b) if not n.startswith('__')])")
    assert proc.returncode == 0, proc.stderr
    names = eval(proc.stdout)
    assert [n for n in names if n in GLOBALS_IN_ORDER] == GLOBALS_IN_ORDER
    assert names.index("nvl") < names.index("MathFunction") < names.index("COXAAlgos")


def test_globals_are_the_imported_objects(brindle):
    import cfg.oxa_env
    import cfg.oxa_can_change_env
    import configparser
    import datetime
    import importlib
    from oxa import py_ApiStructure

    assert brindle.reload is importlib.reload
    assert brindle.datetime is datetime.datetime
    assert brindle.configparser is configparser
    assert brindle.myEnv is cfg.oxa_env  # the submodule itself, not the package
    assert brindle.myDEnv is cfg.oxa_can_change_env
    assert brindle.py_ApiStructure is py_ApiStructure


def run_import(run_python, files=None, prelude=""):
    code = textwrap.dedent(prelude) + textwrap.dedent("""
        import sys, traceback
        try:
            import oxa.Brindle
        except BaseException as exc:
            print("RAISED", type(exc).__name__, exc)
            print("LEFT", "oxa.Brindle" in sys.modules)
            print("FRAMES", [f.name for f in traceback.extract_tb(exc.__traceback__)])
        else:
            print("IMPORTED")
    """)
    proc = run_python(code, files=files)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_missing_pymysql_raises_its_own_error_and_leaves_no_module(run_python):
    out = run_import(run_python, prelude="""
        import sys
        sys.path[:] = [p for p in sys.path if "-packages" not in p]
    """)
    assert "RAISED ModuleNotFoundError No module named 'pymysql'" in out
    assert "LEFT False" in out
    assert "init oxa.Brindle" in out


def test_exception_inside_host_environment_module_propagates(run_python):
    out = run_import(run_python, files={"cfg/oxa_env.py": "raise ZeroDivisionError('host says no')\n"})
    assert "RAISED ZeroDivisionError host says no" in out
    assert "LEFT False" in out


def test_missing_record_module_is_cannot_import_name(run_python):
    out = run_import(run_python, files={"oxa/py_ApiStructure.py": None})
    assert "RAISED ImportError cannot import name 'py_ApiStructure' from 'oxa'" in out
    assert "LEFT False" in out


def test_import_succeeds_once_the_host_is_mended(run_python):
    code = textwrap.dedent("""
        import pathlib, sys
        try:
            import oxa.Brindle
        except ImportError as exc:
            print("first:", exc.__class__.__name__)
        pathlib.Path("oxa/py_ApiStructure.py").write_text("class InstrumentField: pass\\n")
        import importlib; importlib.invalidate_caches()
        import oxa.Brindle as b
        print("second:", b.COXAAlgos().Inc_RequestID(), sys.modules["oxa.Brindle"] is b)
    """)
    proc = run_python(code, files={"oxa/py_ApiStructure.py": None})
    assert proc.returncode == 0, proc.stderr
    assert "first: ImportError" in proc.stdout
    assert "second: 1 True" in proc.stdout


def test_module_is_in_sys_modules_while_its_body_runs(run_python):
    # A host module imported by the body sees the module as filled so far.
    env = textwrap.dedent("""
        import logging, sys
        logger = logging.getLogger("oxa")
        partial = sys.modules.get("oxa.Brindle")
        PARTIAL_NAMES = sorted(n for n in vars(partial) if not n.startswith("__")) if partial else None
    """)
    code = "import oxa.Brindle as b, cfg.oxa_env as e\nprint(e.PARTIAL_NAMES)\n"
    proc = run_python(code, files={"cfg/oxa_env.py": env})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(sorted(GLOBALS_IN_ORDER[:9]))
