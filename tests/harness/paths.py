"""Where things are."""
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# The sample host working directory: host modules, INI files, log/.
SAMPLE_HOST = REPO / "host"
# The in-place build puts the module file here (oxa/Brindle<EXT_SUFFIX>).
MODULE_DIR = REPO / "oxa"
