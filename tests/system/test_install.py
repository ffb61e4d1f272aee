"""The package as a user installs it: the wheel built from the checkout, installed into a
fresh virtual environment, its console scripts run from a directory outside the checkout.

The environment also sees the packages of the environment running the tests (a .pth file
names its site-packages), so that the dependencies (PyMySQL, matplotlib, ...) come from
there instead of the network; the wheel itself is installed without an index. The wheel's
build directory is kept in build/wheel, so that only the first run compiles the module from
scratch."""
import json
import os
import site
import subprocess
import sys
import sysconfig
import tomllib
import zipfile
from pathlib import Path

import pytest

from harness.paths import REPO

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(bool(os.environ.get("OXA_MODULE_ROOT")),
                       reason="installs the release build of the checkout, not the module under test"),
]

SCRIPTS = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]["scripts"]
DATA = "brindle_tools/data/"


def run(command, cwd, env=None, timeout=600):
    proc = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, "%s exited with %d:\n%s%s" % (command, proc.returncode, proc.stdout, proc.stderr)
    return proc


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index", "-q",
         "--config-settings=build-dir=" + str(REPO / "build" / "wheel"), "-w", str(out), str(REPO)], cwd=out)
    (path,) = out.glob("oxa_brindle-*.whl")
    return path


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """bin/ of a fresh environment with the wheel installed."""
    root = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", str(root)], cwd=root)
    bin_dir = root / "bin"
    own = run([str(bin_dir / "python"), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"], cwd=root)
    Path(own.stdout.strip(), "outer.pth").write_text("\n".join(site.getsitepackages()) + "\n", encoding="utf-8")
    run([str(bin_dir / "python"), "-m", "pip", "install", "--no-index", "-q", str(wheel)], cwd=root)
    return bin_dir


def outside_env(bin_dir):
    """The environment of a user's shell: the venv first on PATH, nothing of the checkout."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "OXA_"))}
    env["PATH"] = str(bin_dir) + os.pathsep + env.get("PATH", "")
    return env


def test_wheel_holds_module_tools_and_their_data_only(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    modules = {"oxa/Brindle" + suffix, "oxa/_research" + suffix}  # the engine, and the research road's
    assert modules <= names
    # oxa stays a namespace package: the host's oxa/py_ApiStructure.py lives elsewhere.
    assert not any(n.startswith("oxa/") and n not in modules for n in names)
    tools = {p.relative_to(REPO).as_posix() for p in (REPO / "brindle_tools").glob("*.py")}
    assert tools <= names
    for data in ("host/cfg/oxa_can_change_env.py", "host/cfg/oxa.ini", "host/oxa.ini",
                 "host/oxa/py_ApiStructure.py", "host/log/.gitignore", "samples/instruments.csv", "samples/fees.csv",
                 "sql/schema.sql"):
        assert DATA + data in names
    top_level = {n.split("/")[0] for n in names}
    assert top_level == {"oxa", "brindle_tools"} | {n.split("/")[0] for n in names if ".dist-info/" in n}
    assert not any("__pycache__" in n or (n.startswith(DATA + "host/log/") and not n.endswith(".gitignore"))
                   for n in names)


def test_console_scripts_and_a_replay_outside_the_checkout(venv, tmp_path):
    env = outside_env(venv)
    where = run([str(venv / "python"), "-c", "import importlib.util as u; "
                 "print(u.find_spec('brindle_tools').origin); print(u.find_spec('oxa.Brindle').origin)"],
                cwd=tmp_path, env=env)
    for path in where.stdout.split():
        assert Path(path).is_relative_to(venv.parent), where.stdout
    for script in SCRIPTS:  # each names itself, as the operator typed it
        assert run([str(venv / script), "--help"], cwd=tmp_path, env=env).stdout.startswith("usage: %s " % script)

    run([str(venv / "brindle-sample")], cwd=tmp_path, env=env)  # ticks.csv here, not in the package
    (tmp_path / "ticks.csv").rename(tmp_path / "all.csv")
    with open(tmp_path / "all.csv", newline="") as source, open(tmp_path / "ticks.csv", "w", newline="") as tiny:
        tiny.writelines(line for _, line in zip(range(2001), source))
    # Without --host and --instruments: the sample host and instruments the package carries.
    replay = run([str(venv / "brindle-replay"), "ticks.csv", "--no-chart", "--out", "out"], cwd=tmp_path, env=env)
    # The outputs a replay publishes only when it went through.
    assert json.loads((tmp_path / "out" / "summary.json").read_text(encoding="utf-8")), replay.stdout
    assert (tmp_path / "out" / "decisions.csv").is_file()
