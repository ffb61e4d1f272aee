"""The tick files of a sweep and the trading days they make: files whose names carry the same
date (YYYYMMDD) are one day, a file without a date a day of its own."""
import datetime
import re
from pathlib import Path

from ..common.errors import UsageError, shown
from ..feed.ticks import SUFFIXES

DATE_IN_NAME = re.compile(r"(?<!\d)(\d{8})(?!\d)")


def tick_files(paths):
    files = []
    for text in paths:
        path = Path(text).resolve()
        if path.is_dir():
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


def trading_days(files):
    """The tick files grouped into trading days, in order: files named with the same date
    are one day (days in date order), a file without a date is a day of its own (first, in
    the order given)."""
    days = {}
    for number, path in enumerate(files):
        date = name_date(path)
        days.setdefault(("1", date) if date else ("0", "%09d" % number), []).append(path)
    return [tuple(days[key]) for key in sorted(days)]


def label(files):
    """The files of a run as its row in runs.csv names them."""
    if len(files) == 1:
        return shown(files[0])
    return "%s .. %s (%d files)" % (shown(files[0]), shown(files[-1]), len(files))
