"""printString, printNumber, dump_py2c, dump_c2py and testPerform: the switches re-read from
their INI file on every call, the files they append to, the record lines, and failures."""
import configparser
import textwrap

import pytest

CHINESE = "螺纹钢"
GB = CHINESE.encode("gb18030")


def switches(workdir, which, debug, detail):
    workdir.set_ini({"PYTHON_SWITCH": {"debug": debug, "detail": detail}}, which=which)


@pytest.mark.parametrize(
    "debug, detail, per_name, collective",
    [("1", "0", True, False), ("0", "1", False, True), ("1", "1", True, True),
     ("0", "0", False, False), ("true", "01", False, False), ("1.0", "yes", False, False)],
)
def test_switches_pick_the_files(brindle, workdir, debug, detail, per_name, collective):
    switches(workdir, "root", debug, detail)
    brindle.dump_c2py("Order", "x")
    brindle.dump_py2c("ReqOrderInsert", "y", 5)
    brindle.printNumber("SimNow", "k", 2.5, dwTimes=9)
    files = workdir.log_files()
    expected = {}
    if per_name:
        expected.update({"c2py_Order.log": "1:x\n", "py2c_ReqOrderInsert.log": "5:y\n",
                         "py2c_SimNow.log": "9:k=2.5\n"})
    if collective:
        expected.update({"c2py_all.log": "1:x\n", "py2c_all.log": "5:y\n9:k=2.5\n"})
    assert files == expected


def test_switch_is_exact_text_one(brindle, workdir, monkeypatch):
    # A parser that yields "1 " (the INI format itself strips blanks): only "1" is on. The
    # configparser global is looked up at each call, so replacing it takes effect at once.
    class Parser(configparser.ConfigParser):
        def get(self, section, option, **kwargs):
            return "1 " if option == "debug" else "1"

    monkeypatch.setattr(brindle, "configparser", type("Module", (), {"ConfigParser": Parser}))
    brindle.dump_c2py("Order", "x")
    assert workdir.log_files() == {"c2py_all.log": "1:x\n"}


def test_each_function_reads_its_own_ini(brindle, workdir):
    switches(workdir, "cfg", "1", "0")
    switches(workdir, "root", "0", "1")
    brindle.printString("a", "k", "v")
    brindle.printNumber("b", "k", 1)
    assert workdir.log_files() == {"py2c_a.log": "1:k=v\n", "py2c_all.log": "1:k=1\n"}
    # Re-read on every call: an edit counts at the next one.
    switches(workdir, "cfg", "0", "0")
    brindle.printString("a", "k", "w")
    assert workdir.read_log("py2c_a.log") == "1:k=v\n"


def test_record_lines(brindle, workdir):
    switches(workdir, "cfg", "1", "1")
    switches(workdir, "root", "1", "0")
    brindle.printString("a", "k", GB[:2] + b"\xff" + GB[2:], 7)  # the invalid byte is skipped
    brindle.printString("a", "k", 3.5)
    brindle.printString("a", "k", True)
    brindle.printString(fileName="a", key="k", val="text", dwTimes="t")
    brindle.printNumber("n", "k", None)
    brindle.printNumber("n", "k", b"raw")
    lines = "7:k=%s\n1:k=3.5\n1:k=True\nt:k=text\n" % CHINESE
    assert workdir.read_log("py2c_a.log") == lines
    assert workdir.read_log("py2c_all.log") == lines
    assert workdir.read_log("py2c_n.log") == "1:k=None\n1:k=b'raw'\n"


def test_missing_ini_prints_the_error_and_writes_nothing(brindle, workdir, capsys):
    # The switches cannot be read: both are off, and no UnboundLocalError.
    workdir.delete_root_ini()
    switches(workdir, "cfg", "1", "1")
    assert brindle.printNumber("n", "k", 1) is None
    assert brindle.dump_c2py("Order", "x") is None
    assert brindle.dump_py2c("Req", "x") is None
    assert capsys.readouterr().out == "No section: 'PYTHON_SWITCH'\n" * 3
    assert workdir.log_files() == {}
    brindle.printString("a", "k", "v")  # cfg/oxa.ini is still there
    assert workdir.read_log("py2c_a.log") == "1:k=v\n"


def test_switch_read_before_a_failure_keeps_its_value(brindle, workdir, capsys):
    # detail is read first; a missing debug leaves detail as it was read.
    switches(workdir, "root", None, "1")
    brindle.dump_c2py("Order", "x")
    assert "No option 'debug' in section: 'PYTHON_SWITCH'" in capsys.readouterr().out
    assert workdir.log_files() == {"c2py_all.log": "1:x\n"}
    # A missing detail stops before debug is read: both off.
    switches(workdir, "root", "1", None)
    brindle.dump_c2py("Order", "y")
    assert "No option 'detail'" in capsys.readouterr().out
    assert workdir.log_files() == {"c2py_all.log": "1:x\n"}


def test_missing_log_directory_reaches_the_caller(brindle, workdir):
    switches(workdir, "root", "1", "1")
    workdir.remove_log()
    with pytest.raises(FileNotFoundError) as failure:
        brindle.dump_c2py("Order", "x")
    assert failure.value.filename == "log/c2py_Order.log"  # the per-name file comes first
    assert not workdir.log_dir.exists()


def test_bad_argument_types(brindle, workdir):
    switches(workdir, "root", "1", "1")
    with pytest.raises(TypeError, match="can only concatenate str"):
        brindle.dump_c2py(None, "x")  # the file name, before anything is opened
    assert workdir.log_files() == {}
    with pytest.raises(TypeError, match="can only concatenate str"):
        brindle.printNumber("n", 5, 1)
    # The file is opened before its line is built, as `with open(...)` does.
    assert workdir.log_files() == {"py2c_n.log": ""}
    switches(workdir, "cfg", "1", "0")
    with pytest.raises(TypeError):
        brindle.printString("a", "k", [1])


def test_signatures(brindle):
    for function in (brindle.printString, brindle.printNumber, brindle.dump_py2c, brindle.dump_c2py):
        assert function.__defaults__ == (1,)
        assert type(function.__defaults__[0]) is int
    with pytest.raises(TypeError, match=r"dump_c2py\(\) missing 1 required positional argument: 'logInfo'"):
        brindle.dump_c2py("Order")
    with pytest.raises(TypeError, match="positional-only"):
        brindle.testPerform(i=3)


def test_files_go_through_the_open_of_import_time(run_python):
    # A recording `open` installed before the import: the module opens each file with it in
    # mode "a+", writes once, and closes the file also when the write fails.
    code = textwrap.dedent("""
        import builtins
        real_open, calls = builtins.open, []
        class File:
            def __init__(self, path, fail):
                self.path, self.fail = path, fail
            def __enter__(self):
                return self
            def __exit__(self, *exc):
                self.close()
            def write(self, text):
                calls.append(("write", self.path, text))
                if self.fail:
                    raise OSError("disk full")
            def close(self):
                calls.append(("close", self.path))
        def recording_open(path, mode="r", *args, **kwargs):
            if not str(path).startswith("log/"):
                return real_open(path, mode, *args, **kwargs)
            calls.append(("open", path, mode))
            return File(path, fail=path.endswith("all.log"))
        builtins.open = recording_open
        import oxa.Brindle as b
        builtins.open = real_open
        open("oxa.ini", "w").write("[PYTHON_SWITCH]\\ndebug = 1\\ndetail = 1\\n")
        try:
            b.dump_py2c("Req", "x", 3)
        except OSError as e:
            calls.append(("raised", str(e)))
        print(calls)
    """)
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str([
        ("open", "log/py2c_Req.log", "a+"), ("write", "log/py2c_Req.log", "3:x\n"), ("close", "log/py2c_Req.log"),
        ("open", "log/py2c_all.log", "a+"), ("write", "log/py2c_all.log", "3:x\n"), ("close", "log/py2c_all.log"),
        ("raised", "disk full"),
    ])


def python_test_perform(i):
    total = 0
    for it in range(i):
        total = total + it * 2 - it * 1.2 / 3
    return total


@pytest.mark.parametrize("i", [0, -5, 1, 3, True, 1000, 123457])
def test_perform_matches_python(brindle, i):
    result = brindle.testPerform(i)
    expected = python_test_perform(i)
    assert result == expected and type(result) is type(expected)


def test_perform_rejects_non_integers(brindle):
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        brindle.testPerform(2.0)


def test_perform_stays_interruptible(run_python):
    # A signal handler's exception ends an endless run, as it would the Python loop.
    code = textwrap.dedent("""
        import signal, oxa.Brindle as b
        class Stop(Exception):
            pass
        def stop(signum, frame):
            raise Stop
        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            b.testPerform(10 ** 30)
        except Stop:
            print("stopped")
    """)
    proc = run_python(code, timeout=30)
    assert proc.stdout == "stopped\n", proc.stderr
