"""The two roads of a replay, compared: every replay a test runs with the exact engine is run
again on the research road (--engine native), and its decisions, fills, summary and engine
log must be the same bytes, the speed figures and the log's times aside."""
import difflib
import math
import re
from pathlib import Path

from brindle_tools.live import check

from .host import run_python

OUTPUTS = ("decisions.csv", "fills.csv", "summary.json", "engine.log", "instruments.csv")
# What may differ: the speed, and when each line was logged.
SPEED = re.compile(rb'^  "(seconds|ticks_per_second)": .*$|^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ', re.M)
EXACT_ONLY = ("--db", "engine", "--help", "--engine")  # runs the research road hands to the exact engine


def same(x, y):
    """Equal in type and value, as both roads must give a value; floats bit for bit (NaN equal
    to NaN, -0.0 not 0.0)."""
    if type(x) is not type(y):
        return False
    if type(x) is float:
        return (x == y or math.isnan(x) and math.isnan(y)) and math.copysign(1, x) == math.copysign(1, y)
    return x == y


def settings_module(strategies, extra=""):
    """The text of a settings module with these strategies of investor 00001 ({instrument:
    strategy}), no factor refresh, and the zero counters the statistics need; extra after."""
    return "AI_Strategy = %r\nReal_Fresh_Factor = 0\nupdate_factor_period = 60\nInit_Factor_Zero = %r\n%s" % (
        {"00001": strategies}, check.ZERO_COUNTERS, extra)


def outputs(directory):
    directory = Path(directory)
    return {name: SPEED.sub(b"", (directory / name).read_bytes()) for name in OUTPUTS}


def assert_same(exact, native):
    theirs = outputs(native)
    for name, text in outputs(exact).items():
        if theirs[name] != text:
            lines = difflib.unified_diff(text.decode().splitlines(), theirs[name].decode().splitlines(), "exact",
                                         "native", n=1, lineterm="")
            raise AssertionError("%s differs between the exact engine and the native road:\n%s"
                                 % (name, "\n".join(list(lines)[:24])))


def output_directory(args):
    args = list(args)
    return args[args.index("--out") + 1] if "--out" in args else "replay-out"


def compared(code_of, args, proc, files):
    """proc: a replay with the exact engine, run by the code code_of(args) in a host directory
    with these files. The same replay on the native road, in the same directory, must give
    the same outputs."""
    out = output_directory(args)
    if proc.returncode != 0 or any(a in EXACT_ONLY for a in args) or not (proc.where / out).is_dir():
        return proc
    argv = list(args)
    if "--out" in argv:
        del argv[argv.index("--out"):argv.index("--out") + 2]
    native = run_python(code_of(argv + ["--out", out + "-native", "--engine", "native"]), proc.where, files,
                        base="empty")
    assert native.returncode == 0, native.stderr
    # Pre-trade risk limits are the one thing of these tests that the exact engine replays.
    assert "cannot replay this" not in native.stderr or "risk limits" in native.stderr, native.stderr
    assert_same(proc.where / out, proc.where / (out + "-native"))
    return proc
