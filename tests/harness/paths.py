"""Where things are."""
import os
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# The sample host working directory: host modules, INI files, log/.
SAMPLE_HOST = REPO / "host"
# Files as they were delivered to the project.
TEST_DATA = REPO / "tests" / "data"
# The directory whose oxa/ holds the engine's module file under test, and whose
# brindle_tools/replay/native/ the native road's: the repository itself (the in-place build),
# or the output of another build named by OXA_MODULE_ROOT (the sanitizer build, whose
# sitecustomize finds the native road's module there, see scripts/sanitized). It comes before
# the repository on the import path.
MODULE_ROOT = Path(os.environ.get("OXA_MODULE_ROOT") or REPO).resolve()
MODULE_DIR = MODULE_ROOT / "oxa"
ROAD_DIR = MODULE_ROOT / "brindle_tools" / "replay" / "native"
IMPORT_PATH = [str(MODULE_ROOT)] + ([str(REPO)] if MODULE_ROOT != REPO else [])


def tool(name):
    """A tool's command line in a child process (brindle-NAME), whatever its working directory:
    run with TOOL_ENV."""
    return [sys.executable, "-m", "brindle_tools", name]


TOOL_ENV = dict(os.environ, PYTHONPATH=str(REPO))
