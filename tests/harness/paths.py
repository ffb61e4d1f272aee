"""Where things are."""
import os
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# The sample host working directory: host modules, INI files, log/.
SAMPLE_HOST = REPO / "host"
# Files as they were delivered to the project.
TEST_DATA = REPO / "tests" / "data"
# The directory whose oxa/ holds the module file under test: the repository itself (the
# in-place build), or the output of another build named by OXA_MODULE_ROOT (the sanitizer
# build). It comes before the repository on the import path, which still serves the
# repository's own packages (the replay tools).
MODULE_ROOT = Path(os.environ.get("OXA_MODULE_ROOT") or REPO).resolve()
MODULE_DIR = MODULE_ROOT / "oxa"
IMPORT_PATH = [str(MODULE_ROOT)] + ([str(REPO)] if MODULE_ROOT != REPO else [])


def tool(name):
    """A tool's command line in a child process (brindle-NAME), whatever its working directory:
    run with TOOL_ENV."""
    return [sys.executable, "-m", "brindle_tools", name]


TOOL_ENV = dict(os.environ, PYTHONPATH=str(REPO))
