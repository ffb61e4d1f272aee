"""Environment of the strategy engine: the logger it writes to.

The engine looks up ``logger`` here every time it logs, so a host may replace it at run
time (for instance with a logger that also writes to a file).
"""
import logging
import sys

logger = logging.getLogger("oxa")

# Guard against a second execution of this module adding a second handler.
if not logger.handlers:
    _handler = logging.StreamHandler(sys.stderr)
    _handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    logger.addHandler(_handler)
    logger.setLevel(logging.INFO)
