"""When each product's day session ends: ticks from then until the evening are snapshots after
the close, not traded on. A shipped table (sessions.csv, each row with its source), a user's
file over it (--sessions), or one close for every product (--day-close)."""
import functools
from pathlib import Path

from ..feed.inputs import over_shipped, read_rules

DAY_CLOSES = Path(__file__).with_name("sessions.csv")
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


def close_seconds(text):
    seconds = clock_seconds(text)
    if seconds is None:
        raise ValueError("not a time of day HH:MM[:SS]")
    return seconds


def read_day_closes(path):
    """{ProductID: (seconds of the day, source)} of a CSV file with the columns ProductID,
    day_close (HH:MM[:SS]) and optionally source; the ProductID * is every product not listed."""
    return read_rules(path, "session", "ProductID", "day_close", close_seconds)


@functools.lru_cache(maxsize=None)
def shipped_day_closes():
    return read_day_closes(DAY_CLOSES)


def day_closes(path=None):
    """{ProductID: (seconds, source)}: the shipped table, with the rows of the file at path over it."""
    return over_shipped(shipped_day_closes(), path, read_day_closes)


def day_close_of(closes, product_id, product_of_id):
    """(product, seconds, source) of an instrument: by its record's ProductID, else by the
    leading letters of its ID (product_of_id), else the row of every product."""
    for product in (product_id, product_of_id):
        if product and product in closes:
            return (product,) + closes[product]
    return (EVERY_PRODUCT,) + closes[EVERY_PRODUCT]
