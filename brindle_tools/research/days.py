"""The tick files of a sweep and the trading days they make: files whose names carry the same
date (YYYYMMDD) are one day; a file without a date in its name holds the trading days its
ticks say (a file of several days is replayed a day at a time where days are replayed apart),
and a tick store the days it holds."""
import datetime
import re
from pathlib import Path
from typing import NamedTuple, Optional, Tuple

from ..common.errors import UsageError, shown
from ..feed.store import is_store
from ..feed.ticks import SUFFIXES

DATE_IN_NAME = re.compile(r"(?<!\d)(\d{8})(?!\d)")


def tick_files(paths):
    files = []
    for text in paths:
        path = Path(text).resolve()
        if path.is_dir() and not is_store(path):
            found = sorted(p for p in path.iterdir() if p.is_file() and p.suffix.lower() in SUFFIXES)
            if not found:
                raise UsageError("%s: a directory without tick files (%s)" % (shown(path), ", ".join(SUFFIXES)))
            files.extend(found)
        else:
            files.append(path)  # a file that cannot be read is a failed run, with its message
    return list(dict.fromkeys(files))


def name_date(path):
    for text in reversed(DATE_IN_NAME.findall(path.name)):
        try:
            datetime.datetime.strptime(text, "%Y%m%d")
            return text
        except ValueError:
            continue
    return None


class Day(NamedTuple):
    """A trading day of a sweep: its date (None where a file tells none) and its tick files."""

    date: Optional[str]
    files: Tuple[Path, ...]


class Segment(NamedTuple):
    """The tick files of one run, and the trading days to replay of them where a file holds
    other days too (None: all they hold)."""

    files: Tuple[Path, ...]
    days: Optional[Tuple[str, ...]] = None


def trading_days(files, days_in):
    """The tick files grouped into trading days, in date order: a file named with a date is
    that day's, a file without one each day its ticks hold (days_in(path): the days, read);
    a file whose days cannot be read here is a day of its own, last, in the order given."""
    days = {}
    for number, path in enumerate(files):
        date = None if is_store(path) else name_date(path)  # a store holds the days it holds
        held = [date] if date else days_in(path)
        for day in held or [None]:
            days.setdefault(("0", day) if day else ("1", "%09d" % number), []).append(path)
    return [Day(key[1] if key[0] == "0" else None, tuple(paths)) for key, paths in sorted(days.items())]


def segment(days, every_day):
    """The segment that replays these days (of every_day: all days of the sweep) as one account."""
    files = tuple(dict.fromkeys(path for day in days for path in day.files))
    elsewhere = {path for day in every_day if day not in days for path in day.files}
    shared = any(path in elsewhere for path in files)
    return Segment(files, tuple(day.date for day in days) if shared else None)


def label(part):
    """The tick files of a run (a Segment) as its row in runs.csv names them."""
    files = part.files
    named = shown(files[0]) if len(files) == 1 else "%s .. %s (%d files)" % (shown(files[0]), shown(files[-1]),
                                                                           len(files))
    return named + (" [%s]" % ",".join(part.days) if part.days else "")
