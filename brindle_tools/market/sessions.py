"""When each product's day session ends: ticks from then until the evening are snapshots after
the close, not traded on. A shipped table (sessions.csv, each row with its source), a user's
file over it (--sessions), or one close for every product (--day-close)."""
import functools
from pathlib import Path

from ..common.errors import shown
from ..feed.inputs import CsvFile

DAY_CLOSES = Path(__file__).with_name("sessions.csv")
COLUMNS = ("ProductID", "day_close", "source")
EVERY_PRODUCT = "*"


def clock_seconds(text):
    """Seconds of the day of HH:MM[:SS], or None."""
    parts = text.split(":")
    if len(parts) not in (2, 3):
        return None
    try:
        hours, minutes, seconds = (int(p) for p in parts + ["0"] * (3 - len(parts)))
    except ValueError:
        return None
    return hours * 3600 + minutes * 60 + seconds if 0 <= hours < 24 and 0 <= minutes < 60 and 0 <= seconds < 60 \
        else None


def read_day_closes(path):
    """{ProductID: (seconds of the day, source)} of a CSV file with the columns ProductID,
    day_close (HH:MM[:SS]) and optionally source; the ProductID * is every product not listed."""
    table = CsvFile(path, "session")
    table.require(COLUMNS[:2])
    unknown = [c for c in table.header if c not in COLUMNS]
    if unknown:
        table.fail(1, "unknown column %s: the columns are %s" % (unknown[0], ", ".join(COLUMNS)))
    closes = {}
    for line, values in table.rows([str] * len(table.header)):
        row = dict(zip(table.header, (v.strip() for v in values)))
        seconds = clock_seconds(row["day_close"])
        if seconds is None:
            table.fail(line, "day_close %r is not a time of day HH:MM[:SS]" % row["day_close"])
        closes[row["ProductID"]] = (seconds, row.get("source") or "%s line %d" % (shown(path), line))
    return closes


@functools.lru_cache(maxsize=None)
def shipped_day_closes():
    return read_day_closes(DAY_CLOSES)


def day_closes(path=None):
    """{ProductID: (seconds, source)}: the shipped table, with the rows of the file at path over it."""
    closes = dict(shipped_day_closes())
    if path is not None:
        closes.update(read_day_closes(path))
    return closes


def day_close_of(closes, product_id, product_of_id):
    """(product, seconds, source) of an instrument: by its record's ProductID, else by the
    leading letters of its ID (product_of_id), else the row of every product."""
    for product in (product_id, product_of_id):
        if product and product in closes:
            return (product,) + closes[product]
    return (EVERY_PRODUCT,) + closes[EVERY_PRODUCT]
