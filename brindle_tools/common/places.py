"""Where the tools find what they read beside their code."""
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[1]
REPO = PACKAGE.parent
# Installed, the sample host, the sample files and the schema travel in the package's data/;
# in a checkout they are the repository's own.
INSTALLED = (PACKAGE / "data").is_dir()
DATA = PACKAGE / "data" if INSTALLED else REPO
SAMPLE_HOST = DATA / "host"
SAMPLES = DATA / "samples"
