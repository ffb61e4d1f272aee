"""Where things are."""
import os
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# The sample host working directory: host modules, INI files, log/.
SAMPLE_HOST = REPO / "host"
# The directory whose oxa/ holds the module file under test: the repository itself (the
# in-place build), or the output of another build named by OXA_MODULE_ROOT (the sanitizer
# build). Only that one is importable, so a missing build is never replaced by another.
MODULE_ROOT = Path(os.environ.get("OXA_MODULE_ROOT") or REPO).resolve()
MODULE_DIR = MODULE_ROOT / "oxa"
