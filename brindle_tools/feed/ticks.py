"""Recorded ticks: the files a replay reads, in time order, as the tick dictionaries a client
hands to the engine.

Files: CSV (with a header line, or without one: `--columns` names the layout, and the common
public layout UpdateTime,Bid,BidVol,Ask,AskVol,Last,Volume,OpenInterest is recognised by
itself), UTF-8 with or without a byte-order mark or GB18030, LF or CRLF; or Parquet, whose
columns `--columns` renames as a CSV header's. Vendors' usual Chinese headers (VENDOR_HEADERS)
are read as the broker's field names. Files are read in batches of columns (pyarrow), so a
file of any length takes bounded memory.

Values take the type that the host's tick record gives the field (text, whole number,
number); a column the record does not know becomes a whole number, a number or text, value
by value. UpdateTime is HH:MM:SS, optionally with a fraction (09:30:49.900): the fraction
becomes UpdateMillisec and UpdateTime keeps HH:MM:SS, as the broker's record has them. Some
recorders write whole milliseconds unpadded (09:30:49.5 for 5 ms): a file whose short
fractions go back in time as decimals, more than as whole milliseconds, is read so.

Time: each tick gets its calendar time and its trading day. A night session (from 18:00 to
06:00) belongs to the next trading day. The calendar day is ActionDay when the file has it,
except on an evening tick whose ActionDay equals its TradingDay (some exchanges write the
trading day there); otherwise an evening tick happened on the weekday before its trading
day, and a tick after midnight on the day after that evening. A file without TradingDay
takes the trading day from ActionDay by the same rule; one without either from the trading
day given (--trading-day) or else a date YYYYMMDD in its name; a file with none of them is
refused rather than given a made-up day. The instrument of a file without InstrumentID is the
ID its name begins with (rb2501, an option's m1801-C-2600 or SR801C5500, or the longest ID of
the instrument list).
Ticks of several files are merged in time order; files whose paths differ only in their date
are read one after the other (lanes), so that a market's files of several days are not all
open at once. Pipes and other streams are copied to a temporary file first: the layout is
found from the first lines and the ticks read after.

Impossible values: an empty value where a number belongs, a fraction where a whole number
belongs, a price or volume that is not finite or is negative, a tick without a
last price (absent, 0) or with a last price outside the day's limits, a best bid or ask
outside the day's limits (UpperLimitPrice, LowerLimitPrice) where the tick gives them, and
elsewhere further from the last price than its product's daily price band allows (BANDS), a
crossed or locked book (bid at or above ask). A few price ticks are never too far, and an
option is judged by its limits and its book only. Such a tick is refused with its file and line,
or, with skip_bad, skipped and counted by reason. A price at the feed's marker for "absent"
(the largest double) is an absent quote, not a bad one.
"""
import bisect
import codecs
import collections
import copy
import csv
import datetime
import glob
import heapq
import itertools
import os
import re
import shutil
import stat
import tempfile
import weakref
from operator import attrgetter
from pathlib import Path

from ..common.errors import UsageError, shown
from .inputs import column_problem, not_converted, over_shipped, read_price_bands, to_int, to_number

PUBLIC_LAYOUT = ("UpdateTime", "BidPrice1", "BidVolume1", "AskPrice1", "AskVolume1", "LastPrice", "Volume",
                 "OpenInterest")
PUBLIC_NAME = "public"
# The usual Chinese headers of vendors' tick files, as the broker's field names. Volume is the
# day's cumulative volume, as the broker sends it.
VENDOR_HEADERS = {
    "交易日": "TradingDay", "业务日期": "ActionDay", "合约代码": "InstrumentID", "交易所代码": "ExchangeID",
    "合约在交易所的代码": "ExchangeInstID", "最新价": "LastPrice", "上次结算价": "PreSettlementPrice",
    "昨结算": "PreSettlementPrice", "昨收盘": "PreClosePrice", "昨持仓量": "PreOpenInterest",
    "今开盘": "OpenPrice", "最高价": "HighestPrice", "最低价": "LowestPrice", "数量": "Volume", "成交量": "Volume",
    "成交金额": "Turnover", "成交额": "Turnover", "持仓量": "OpenInterest", "今收盘": "ClosePrice",
    "本次结算价": "SettlementPrice", "涨停板价": "UpperLimitPrice", "跌停板价": "LowerLimitPrice",
    "最后修改时间": "UpdateTime", "最后修改毫秒": "UpdateMillisec", "申买价一": "BidPrice1", "申买量一": "BidVolume1",
    "申卖价一": "AskPrice1", "申卖量一": "AskVolume1", "当日均价": "AveragePrice",
}
# Column names of the public layout, of other dumps and of vendors for the broker's field names.
ALIASES = {"Bid": "BidPrice1", "BidVol": "BidVolume1", "Ask": "AskPrice1", "AskVol": "AskVolume1",
           "Last": "LastPrice", **VENDOR_HEADERS}
REQUIRED = ("UpdateTime", "LastPrice", "Volume", "BidPrice1", "BidVolume1", "AskPrice1", "AskVolume1")
SUFFIXES = (".csv", ".txt", ".parquet")
TEXT_COLUMNS = ("UpdateTime", "TradingDay", "ActionDay", "InstrumentID")
KINDS = {str: str, to_int: int, float: float}
TIME_PATTERN = r"^([01]\d|2[0-3]):[0-5]\d:[0-5]\d(\.\d{1,6})?$"
TIME = re.compile(TIME_PATTERN)
# How a file's fractions of a second read: 21:12:36.5 is 500 ms as a decimal, 5 ms as whole
# milliseconds (some recorders do not pad them).
DECIMAL, WHOLE = "decimals", "whole milliseconds"
NUMBER = re.compile(r"^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$")
# A futures ID (rb2501) or an option's, with its side and strike (m1801-C-2600, SR801C5500).
INSTRUMENT_IN_NAME = re.compile(r"^([A-Za-z]{1,2}\d{3,4}(?:-?[CP]-?\d+)?)(?![0-9])")
OPTION = re.compile(r"^[A-Za-z]{1,2}\d{3,4}-?[CP]-?\d+$")
BLANK_LINE = re.compile(rb"\n\r?\n")  # one pass finds both line ends
DATE_IN_NAME = re.compile(r"(?<![0-9])(20\d{6})(?![0-9])")
EVENING, MORNING = 18 * 3600, 6 * 3600  # a night session runs from EVENING to MORNING
DAY = 86400
EPOCH = datetime.date(1970, 1, 1)
SNIFF = 1 << 16
LONGEST_LINE = 1 << 26  # the longest header line read (64 MiB)
BLOCK = 1 << 20
PARQUET_BATCH = 1 << 16  # rows read at a time
ABSENT = 1.79e308  # a price at or above this is the feed's marker for "none"
FAR = 0.5  # a last price further than this share from a sane book's middle is impossible
NEAR_TICKS = 10  # ... and a price this many price ticks from another never is
# The usual daily limit of each product, as a share of the previous settlement; a user's file
# (--price-bands) goes over it row by row.
BANDS = Path(__file__).with_name("price_bands.csv")
PRODUCT = re.compile(r"[A-Za-z]+")
WHOLE_LIMIT = 2.0 ** 63  # whole numbers are 64-bit in the broker's record
EXACT_LIMIT = 2.0 ** 53  # ... but a tick file's numbers are read as doubles, exact below this
SKIP_OPTION = "--skip-bad-ticks"
DAY_OPTION = "--trading-day"


def price_bands(path=None):
    """{ProductID: band}: the shipped table, with the rows of the file at path over it."""
    return over_shipped(read_price_bands(BANDS), path, read_price_bands)


def checked(column):
    """Whether a column holds prices or amounts, whose values must be finite and not negative."""
    return bool(column.endswith("Price") or re.fullmatch(r"(Bid|Ask)(Price|Volume)\d", column) or
                column in ("Volume", "OpenInterest", "PreOpenInterest", "Turnover"))


def unreadable(name, error):
    return UsageError("cannot read the tick file %s: %s" % (name, error.strerror))


def expand(arguments):
    """The tick files named by the command line: files, directories (their CSV, TXT and
    Parquet files) and glob patterns."""
    paths = []
    for argument in map(str, arguments):
        path = Path(argument)
        if glob.has_magic(argument) and not path.exists():
            found = sorted(Path(p) for p in glob.glob(argument) if Path(p).is_file())
            if not found:
                raise UsageError("%s: no file matches" % argument)
            paths.extend(found)
        elif path.is_dir():
            found = sorted(p for p in path.iterdir() if p.is_file() and p.suffix.lower() in SUFFIXES)
            if not found:
                raise UsageError("%s/: no tick files (%s) in it" % (shown(path), ", ".join(SUFFIXES)))
            paths.extend(found)
        elif path.exists():
            paths.append(path)  # a file, or a pipe or other stream
        else:
            raise UsageError("cannot read the tick file %s: no such file" % shown(path))
    unique = list(dict.fromkeys(p.resolve() if p.is_file() else p for p in paths))
    return unique


def spooled(path, name):
    """A regular file with what the stream at path holds, removed when no longer needed."""
    handle, copy = tempfile.mkstemp(prefix=".ticks-", suffix=path.suffix)
    try:
        with open(path, "rb") as stream, os.fdopen(handle, "wb") as out:
            shutil.copyfileobj(stream, out, BLOCK)
    except OSError as error:
        os.unlink(copy)
        raise unreadable(name, error) from None
    return Path(copy)


def texts(array):
    """The Python strings of a text column; a value repeated in the column is one object."""
    import numpy as np

    encoded = array.dictionary_encode()
    words = np.array(encoded.dictionary.to_pylist(), dtype=object)
    return words[encoded.indices.to_numpy()].tolist()


def whole_seconds(times):
    """Seconds of the day of UpdateTime texts that are all HH:MM:SS without a fraction, read
    from the column's bytes at once; None when any is not (the slower reading then finds it)."""
    import numpy as np

    offsets = np.frombuffer(times.buffers()[1], np.int32)[times.offset:times.offset + len(times) + 1]
    if len(times) == 0 or not (np.diff(offsets) == 8).all():
        return None
    text = np.frombuffer(times.buffers()[2], np.uint8)[offsets[0]:offsets[-1]].reshape(-1, 8)
    digits = text[:, [0, 1, 3, 4, 6, 7]].astype(np.int64) - ord("0")
    if not ((digits >= 0) & (digits <= 9)).all() or not ((text[:, 2] == ord(":")) & (text[:, 5] == ord(":"))).all():
        return None
    hours, minutes, seconds = digits[:, 0] * 10 + digits[:, 1], digits[:, 2] * 10 + digits[:, 3], \
        digits[:, 4] * 10 + digits[:, 5]
    if (hours > 23).any() or (minutes > 59).any() or (seconds > 59).any():
        return None
    return (hours * 3600 + minutes * 60 + seconds).astype(np.float64)


def millisecond_values(digits, whole):
    """Milliseconds of the fraction digits of UpdateTime texts ("" for none): as whole
    milliseconds (5 of "5") or as a decimal fraction (500 of "5")."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if not whole:
        digits = pc.utf8_rpad(pc.utf8_slice_codeunits(digits, 0, 3), 3, "0")
    return pc.if_else(pc.equal(digits, ""), "0", digits).cast(pa.int32())


def times_going_back(times, instruments, carry):
    """(going back as decimals, going back as whole milliseconds) between the rows of a batch
    of UpdateTime texts, each row against the previous one of the same second and instrument
    (carry: the previous batch's last row, or None); None when a fraction has more than three
    digits, which only decimals can be."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    if carry is not None:
        times = pa.concat_arrays([carry[0], times])
        instruments = None if instruments is None else pa.concat_arrays([carry[1], instruments])
    digits = pc.utf8_slice_codeunits(times, 9, 16)
    if pc.any(pc.greater(pc.utf8_length(digits), 3)).as_py():
        return None
    second = np.array(pc.utf8_slice_codeunits(times, 0, 8).to_pylist(), object)
    same = second[1:] == second[:-1]
    if instruments is not None:
        names = np.array(instruments.to_pylist(), object)
        same &= names[1:] == names[:-1]
    counts = []
    for whole in (False, True):
        millis = millisecond_values(digits, whole).to_numpy(zero_copy_only=False)
        counts.append(int((same & (millis[1:] < millis[:-1])).sum()))
    return tuple(counts)


def instrument_in_name(name, listed=None):
    """The instrument ID at the start of a file name, or None: the longest of the ID read by
    its form and of the listed IDs that end where a word of the name ends."""
    match = INSTRUMENT_IN_NAME.match(name)
    found = [match.group(1)] if match else []
    if listed:
        found += [name[:end] for end in range(1, len(name) + 1)
                  if (end == len(name) or not name[end].isalnum()) and name[:end] in listed]
    return max(found, key=len, default=None)


def weekday(days):
    """Monday 0 of a day counted from 1970-01-01 (a Thursday)."""
    return (days + 3) % 7


def calendar_text(key):
    """YYYY-MM-DD HH:MM:SS of a calendar time in seconds since 1970."""
    return (datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=int(key))).strftime("%Y-%m-%d %H:%M:%S")


def day_text(days):
    return (EPOCH + datetime.timedelta(days=int(days))).strftime("%Y%m%d")


def day_in(name):
    """The date (YYYYMMDD) that a file's or folder's name holds, None for none."""
    match = DATE_IN_NAME.search(name)
    return match.group(1) if match and parse_day(match.group(1)) is not None else None


def parse_day(text):
    """Days since 1970-01-01 of a YYYYMMDD text, or None."""
    if len(text) != 8 or not text.isdigit():
        return None
    try:
        return (datetime.date(int(text[:4]), int(text[4:6]), int(text[6:])) - EPOCH).days
    except ValueError:
        return None


def shortened(text, most=300):
    """A text shown in a message, its end left out beyond `most` characters."""
    return text if len(text) <= most else "%s... (%d characters)" % (text[:most], len(text))


class TickFile:
    """One tick file: its layout, found from its first lines, and its ticks in batches."""

    def __init__(self, path, number, types, columns=None, instrument=None, trading_day=None, threads=True,
                 listed=None):
        self.path = Path(path)
        self.file_name = self.path.name  # a stream's own name, not its copy's
        self.threads = threads  # whether the CSV reader may convert on threads of its own
        self.number = number  # position among the replayed files
        self.name = shown(path)
        self.types = types
        try:
            regular = stat.S_ISREG(os.stat(self.path).st_mode)
        except OSError as error:
            raise unreadable(self.name, error) from None
        self.spooled = not regular
        if not regular:
            self.path = spooled(self.path, self.name)
            weakref.finalize(self, os.unlink, str(self.path))
        self.parquet = self.path.suffix.lower() == ".parquet"
        self.constants = {}  # columns that the file name or the command line give
        self.header_found = None  # the names of a CSV header line or of Parquet's columns
        self.assumed = None  # the layout read from a file without a header line
        self.no_ticks = None  # why a file with columns holds no tick (a replay refuses it)
        if self.parquet:
            self._parquet_layout(columns)
        else:
            self._csv_layout(columns)
        self._complete(instrument, trading_day, listed)

    # --- layout ----------------------------------------------------------------------------

    def fail(self, line, text):
        raise UsageError("%s%s: %s" % (self.name, "" if line is None else " %s %d" % (self.unit, line), text))

    def _csv_layout(self, columns):
        self.unit = "line"
        try:
            with open(self.path, "rb") as raw:
                head = raw.read(SNIFF)
                if b"\n" not in head:  # a header line longer than the sniff: all of it
                    head += raw.readline(LONGEST_LINE)
        except OSError as error:
            raise unreadable(self.name, error) from None
        if not head.strip():
            self.fail(None, "empty file; a line of column names (or --columns) and ticks are expected")
        if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
            self.fail(1, "UTF-16 text: save the file as UTF-8 or GB18030")
        self.encoding = self._sniff_encoding(head)
        text = head.decode(self.encoding, errors="replace")
        if text.startswith("\ufeff"):
            text = text[1:]
        if not text.strip():
            self.fail(None, "no ticks, only a byte-order mark; a line of column names (or --columns) and ticks "
                            "are expected")
        first = next(csv.reader([text.splitlines()[0]]), [])
        names = [name.strip() for name in first]
        self.header = not any(TIME.match(value) or NUMBER.match(value) for value in names)
        self.header_found = names if self.header else None
        if self.header and len(head) < SNIFF and not "".join(text.splitlines()[1:]).strip():
            self.no_ticks = "no ticks, only a line of column names; ticks are expected after it"
        if self.header:
            self.first_line = 2
            # --columns names the columns of a header line that does not use the broker's names.
            self.columns = [ALIASES.get(name, name) for name in (columns or names)]
            if columns and len(self.columns) != len(names):
                self.fail(1, "%d columns in the header line, --columns names %d: name every column"
                          % (len(names), len(self.columns)))
        else:
            self.first_line = 1
            if columns:
                self.columns = [ALIASES.get(name, name) for name in columns]
                self.assumed = "no header line: read as --columns %s" % ",".join(self.columns)
            elif len(names) == len(PUBLIC_LAYOUT) and TIME.match(names[0]):
                self.columns = list(PUBLIC_LAYOUT)
                self.assumed = "no header line: read as the public layout %s (--columns %s)" % (
                    ",".join(PUBLIC_LAYOUT), PUBLIC_NAME)
            else:
                self.fail(1, "no column names: name the %d columns with --columns NAME,NAME,... (the broker's "
                             "field names; --columns %s for %s)" % (len(names), PUBLIC_NAME,
                                                                     ",".join(PUBLIC_LAYOUT)))
            if len(self.columns) != len(names):
                self.fail(1, "%d fields, --columns names %d: name every column" % (len(names), len(self.columns)))
        problem = column_problem(self.columns)
        if problem:
            self.fail(1, problem)

    def _sniff_encoding(self, head):
        decoder = codecs.getincrementaldecoder("utf-8")()
        try:
            decoder.decode(head, final=False)
            return "utf-8"
        except UnicodeDecodeError as error:
            utf8_error = error
        decoder = codecs.getincrementaldecoder("gb18030")()
        try:
            decoder.decode(head, final=False)
            return "gb18030"
        except UnicodeDecodeError:
            line = head[:utf8_error.start].count(b"\n") + 1
            self.fail(line, "neither UTF-8 nor GB18030 text (byte 0x%02x): save the file as UTF-8"
                      % head[utf8_error.start])

    def _parquet_layout(self, columns):
        import pyarrow.parquet as pq

        self.unit = "row"
        self.first_line = 1
        self.header = True
        try:
            self.parquet_file = pq.ParquetFile(self.path)
        except Exception as error:  # pyarrow raises several kinds for a file that is not Parquet
            raise UsageError("%s: not a Parquet file: %s" % (self.name, error)) from None
        self.header_found = names = self.parquet_file.schema_arrow.names
        if self.parquet_file.metadata.num_rows == 0:
            self.no_ticks = "no ticks: the columns %s hold no row" % shortened(",".join(names))
        # --columns names the columns of a file that does not use the broker's names, as for CSV.
        self.columns = [ALIASES.get(name, name) for name in (columns or names)]
        if columns and len(self.columns) != len(names):
            self.fail(None, "%d columns (%s), --columns names %d: name every column"
                      % (len(names), ",".join(names), len(self.columns)))
        problem = column_problem(self.columns)
        if problem:
            self.fail(None, "%s among the columns %s" % (problem, ",".join(names)))

    def _complete(self, instrument, trading_day, listed):
        """Instrument and date from the command line or the file name where the file has none;
        the required columns."""
        stem = self.file_name
        if instrument:
            self.constants["InstrumentID"] = instrument
            if "InstrumentID" in self.columns:
                self.fail(None, "--instrument is for files without an InstrumentID column")
        elif "InstrumentID" not in self.columns:
            found = instrument_in_name(stem, listed)
            if not found:
                self.fail(None, "no InstrumentID column and no instrument at the start of the file name: "
                                "give it with --instrument ID")
            self.constants["InstrumentID"] = found
        missing = [c for c in REQUIRED if c not in self.columns]
        if missing:
            text = "missing column%s %s" % ("s" if len(missing) > 1 else "", ", ".join(missing))
            if self.header_found:
                text += " in the %s %s: name its columns with --columns NAME,NAME,... (the broker's field names, " \
                        "in the file's order)" % ("columns" if self.parquet else "header line",
                                                   shortened(",".join(self.header_found)))
            self.fail(1 if not self.parquet else None, text)
        self.name_day = day_in(stem)
        # The date that chains the file with its instrument's others (TickSource.lanes): its
        # name's, else its nearest folder's, a recorder's folder of the day (20241107/rb2501.csv).
        folder_days = (day_in(folder.name) for folder in Path(self.name).parents)
        self.series_day = self.name_day or next((day for day in folder_days if day), None)
        if "TradingDay" not in self.columns and "ActionDay" not in self.columns:
            if trading_day:
                self.constants["TradingDay"] = trading_day
            elif self.name_day:
                self.constants["TradingDay"] = self.name_day
        self.names = self.columns + list(self.constants)
        self.has_millis = "UpdateMillisec" in self.columns
        self.fractions = None  # DECIMAL or WHOLE once a fraction of a second was read
        self.short_fractions = None  # (DECIMAL or WHOLE, times going back read the other way) of short ones

    def fraction_convention(self):
        """(DECIMAL or WHOLE, times going back read so) of the file's fractions of a second:
        whole milliseconds when, read as decimals, more times go back within a second than
        read as whole milliseconds. Reads the file's times once."""
        import pyarrow as pa

        wanted = ["UpdateTime"] + (["InstrumentID"] if "InstrumentID" in self.columns else [])
        if self.parquet:
            names = [self.header_found[self.columns.index(c)] for c in wanted]
            batches = self.parquet_file.iter_batches(batch_size=PARQUET_BATCH, columns=names)
        else:
            import pyarrow.csv as pacsv

            convert = pacsv.ConvertOptions(column_types=dict.fromkeys(wanted, pa.string()), include_columns=wanted)
            batches = pacsv.open_csv(self.path, read_options=self._csv_read_options(), convert_options=convert)
        totals, carry = [0, 0], None
        try:
            for batch in batches:
                if not batch.num_rows:
                    continue
                columns = [batch.column(i).cast(pa.string()) for i in range(len(wanted))]
                counts = times_going_back(columns[0], columns[1] if len(columns) > 1 else None, carry)
                if counts is None:
                    return DECIMAL, 0
                totals = [a + b for a, b in zip(totals, counts)]
                carry = (columns[0][-1:], columns[1][-1:] if len(columns) > 1 else None)
        except (pa.ArrowException, OSError, UnicodeDecodeError):
            return DECIMAL, 0  # the reading proper names what is wrong with the file
        return (WHOLE, totals[0]) if totals[0] > totals[1] else (DECIMAL, totals[1])

    # --- reading ---------------------------------------------------------------------------

    def arrow_types(self):
        import pyarrow as pa

        kinds = {}
        for column in self.columns:
            kind = self.types.get(column)
            if column in TEXT_COLUMNS or kind is str or kind is None:
                kinds[column] = pa.string()
            else:
                kinds[column] = pa.float64()  # whole numbers too: "12.0" is one
        return kinds

    def batches(self):
        """pyarrow record batches of the file's columns, typed by arrow_types()."""
        import pyarrow as pa

        kinds = self.arrow_types()
        if self.parquet:
            for batch in self._parquet_batches():
                arrays = []
                for column, array in zip(self.columns, batch.columns):
                    try:
                        # A whole number beyond a double's exact range is an impossible tick, named by its row.
                        arrays.append(array.cast(kinds[column], safe=not pa.types.is_integer(array.type)))
                    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                        self.fail(None, "column %s of type %s: expected %s (the columns: %s)"
                                  % (column, array.type, kinds[column], ",".join(self.header_found)))
                yield pa.RecordBatch.from_arrays(arrays, names=self.columns)
            return
        import pyarrow.csv as pacsv

        # Only an empty field is no value: "nan" is a number, refused as Parquet's NaN is.
        convert = pacsv.ConvertOptions(column_types=kinds, null_values=[""], strings_can_be_null=False,
                                       quoted_strings_can_be_null=False)
        try:
            reader = pacsv.open_csv(self.path, read_options=self._csv_read_options(), convert_options=convert)
            while True:
                try:
                    batch = reader.read_next_batch()
                except StopIteration:
                    return
                yield batch
        except (pa.ArrowInvalid, UnicodeDecodeError) as error:
            self.locate_problem(str(error))

    def _csv_read_options(self):
        """How the file's CSV lines are read: after the header, by the file's column names."""
        import pyarrow.csv as pacsv

        return pacsv.ReadOptions(column_names=self.columns, skip_rows=self.first_line - 1, block_size=BLOCK,
                                 encoding=self.encoding, use_threads=self.threads)

    def _parquet_batches(self):
        """The file's record batches; a damaged page refuses the file from the row it begins."""
        import pyarrow as pa

        batches, row = self.parquet_file.iter_batches(batch_size=PARQUET_BATCH), 1
        while True:
            try:
                batch = next(batches)
            except StopIteration:
                return
            except (OSError, pa.ArrowException) as error:
                self.fail(row, "a damaged Parquet page, in the %s rows from here: %s"
                          % ("{:,}".format(PARQUET_BATCH), str(error).splitlines()[0]))
            yield batch
            row += batch.num_rows

    def locate_problem(self, reason):
        """The line that the fast reader refused, found by reading the file line by line."""
        width = len(self.columns)
        with open(self.path, newline="", encoding=self.encoding + ("-sig" if self.encoding == "utf-8" else "")) as f:
            reader = csv.reader(f)
            try:
                for row in reader:
                    if reader.line_num < self.first_line or not row:
                        continue
                    if len(row) != width:
                        self.fail(reader.line_num, "%d fields, %s %d" % (
                            len(row), "the header has" if self.header else "the layout has", width))
                    for column, text in zip(self.columns, row):
                        kind = self.types.get(column)
                        if column in TEXT_COLUMNS or kind in (str, None):
                            continue
                        convert = to_int if kind is int else float
                        try:
                            convert(text)
                        except ValueError:
                            self.fail(reader.line_num, not_converted(column, text, convert))
            except UnicodeDecodeError as error:
                self.fail(reader.line_num + 1, "not %s text (%s): save the file as UTF-8" % (self.encoding, error.reason))
            except csv.Error as error:
                self.fail(reader.line_num, str(error))
        raise UsageError("%s: %s" % (self.name, reason.splitlines()[0]))

    def blank_rows(self):
        """Row indexes before which a blank line stands (blank lines are not rows); usually
        none, found by one pass over the bytes."""
        if self.parquet:
            return []
        with open(self.path, "rb") as raw:
            carry = b""
            for data in iter(lambda: raw.read(BLOCK), b""):
                chunk = carry + data
                if BLANK_LINE.search(chunk) or (not carry and chunk.startswith((b"\n", b"\r\n"))):
                    break
                carry = chunk[-2:]
            else:
                return []
            raw.seek(0)
            blanks, rows = [], 0
            for number, line in enumerate(raw, 1):
                if number < self.first_line:
                    continue
                if line.strip(b"\r\n") == b"":
                    blanks.append(rows)
                else:
                    rows += 1
            return blanks

    def line_of(self, row, blanks):
        return row + self.first_line + bisect.bisect_right(blanks, row)

    def count_rows(self):
        """Lines after the header: an upper bound of the ticks, for the progress bar."""
        if self.parquet:
            return self.parquet_file.metadata.num_rows
        count, last = 0, b"\n"
        with open(self.path, "rb") as raw:
            for chunk in iter(lambda: raw.read(BLOCK), b""):
                count += chunk.count(b"\n")
                last = chunk[-1:]
        return max(count + (last != b"\n") - (self.first_line - 1), 0)


class TickSource:
    """The ticks of all files in time order: (calendar time in seconds, trading day YYYYMMDD,
    file, line, tick dictionary, the row's values)."""

    def __init__(self, arguments, converters, columns=None, instrument=None, trading_day=None, skip_bad=False,
                 days=None, threads=True, bands=None, instruments=None):
        """converters: {field: converter} of the host's tick record (inputs.field_types);
        skip_bad: count and skip ticks with impossible values instead of refusing the file;
        bands: {ProductID: daily price band} (price_bands(); the shipped table by default);
        days: the trading days (YYYYMMDD) to read of the files, or None for all; threads:
        whether CSV files may be read on the reader's own threads; instruments: the instrument
        list (inputs.read_instruments), for the IDs in file names and the price ticks."""
        prepare_reading()
        import pyarrow.csv  # noqa: F401

        types = {name: KINDS.get(convert) for name, convert in converters.items()}
        paths = expand(arguments)
        self.files = [TickFile(p, n, types, columns, instrument, trading_day, threads, instruments)
                      for n, p in enumerate(paths)]
        for tick_file in self.files:
            if tick_file.no_ticks:
                tick_file.fail(None, tick_file.no_ticks)
            if "TradingDay" not in tick_file.names and "ActionDay" not in tick_file.names:
                tick_file.fail(None, "no TradingDay column and no date YYYYMMDD in the file name: name the trading "
                                     "day with %s YYYYMMDD, or rename the file (as rb2501_20241105.csv)" % DAY_OPTION)
        self.names = list(dict.fromkeys(name for f in self.files for name in f.names))
        self.assumed = [(f.name, f.assumed) for f in self.files if f.assumed]  # layouts of headerless files
        self.skip_bad = skip_bad
        self.bands = price_bands() if bands is None else bands
        self.price_ticks = {} if instruments is None else {
            key: fields["PriceTick"] for key, (_, fields) in instruments.items()
            if isinstance(fields.get("PriceTick"), float) and 0 < fields["PriceTick"] < ABSENT}
        # what the checks of a tick depend on, for the batches a warm worker keeps
        self.checks = (skip_bad, tuple(sorted(self.bands.items())), tuple(sorted(self.price_ticks.items())))
        self.days = frozenset(days) if days else None
        self.bad = {}  # reason -> [ticks skipped, file and line of the first]
        self.bad_of = {}  # InstrumentID -> ticks skipped as impossible
        # how short fractions of a second were read -> [files, the first, times going back the other way]
        self.fractions = {}
        self.misdated = [0, None]  # files whose name's date is none of their ticks' trading days: count, first

    @property
    def shown(self):
        return self.files[0].name if len(self.files) == 1 else "%s and %d more" % (self.files[0].name,
                                                                                  len(self.files) - 1)

    def count_rows(self):
        return sum(f.count_rows() for f in self.files)

    def __iter__(self):
        """(calendar time, trading day, file, line, tick, row values) of every tick."""
        streams = [self._lane_ticks(lane) for lane in self.lanes()]
        # Equal times go to the file named first, as in the native loop's merge.
        return streams[0] if len(streams) == 1 else heapq.merge(*streams, key=lambda tick: (tick[0], tick[2].number))

    @staticmethod
    def _lane_ticks(lane):
        for batch in lane:
            yield from batch.ticks()

    def lanes(self):
        """The batches of the files, in lanes merged by time: the files whose paths differ only
        in their date (rb2501_20241107.csv, rb2501_20241108.csv; 20241107/rb2501.csv,
        20241108/rb2501.csv) in one lane, by date; a file without a date in its name or its
        folders' in a lane of its own. A lane opens its next file once it is through the one
        before, so that a market's files of several days are not all open, nor hold batches, at
        once. Ties of time go to the file named first."""
        series = {}
        for tick_file in self.files:
            # (The path's: rb2501_20241107.csv of a folder of day sessions and of one of nights are two series.)
            key = DATE_IN_NAME.sub("", tick_file.name) if tick_file.series_day else tick_file.number
            series.setdefault(key, []).append(tick_file)
        return [self._lane_batches(sorted(files, key=attrgetter("series_day"))) for files in series.values()]

    def _lane_batches(self, files):
        """The batches of files read one after the other; a file whose ticks begin before the
        end of the file before it refuses the replay (merged by time, their ticks would have
        gone back)."""
        latest = before = None  # the lane's latest time so far, and its file
        for tick_file in files:
            first = True
            for batch in self.batches(tick_file):
                keys = batch.keys if batch.bad is None else batch.keys[~batch.bad]
                if keys.size and first and latest is not None and keys[0] < latest:
                    folded = tick_file.constants.get("TradingDay") not in (None, tick_file.name_day)
                    raise UsageError(
                        "%s: its ticks begin on %s, before the end of %s: files of one instrument are read one after "
                        "the other, by the date in their names (or their folders'); name each file for the first "
                        "trading day of its ticks%s" % (tick_file.name, calendar_text(keys[0]), before.name,
                                     ", and leave --trading-day out: it puts files of several dates on one day"
                                     if folded else ""))
                if keys.size:
                    first = False
                    latest = keys.max() if latest is None else max(latest, keys.max())
                    before = tick_file
                yield batch

    def batches(self, tick_file, count=True):
        """The file's ticks as Batch objects, checked, in file order, the rows of other trading
        days than the chosen ones left out; count False: the rows skipped are not counted again
        (a second reading, for the report)."""
        days = set()
        for batch in self._all_batches(tick_file):
            days.update(batch.day_texts)
            if self.days is not None:
                batch = batch.restricted(self.days)
            if count:
                self._count_skipped(tick_file, batch.skipped)
            yield batch
        if count and days and tick_file.name_day is not None and tick_file.name_day not in days:
            # Files of several dates may so fold into one trading day: said, not guessed at.
            self.misdated[0] += 1
            if self.misdated[1] is None:
                self.misdated[1] = "%s, named for %s, holds ticks of trading day %s" % (
                    tick_file.name, tick_file.name_day, ", ".join(sorted(days)))

    def _all_batches(self, tick_file):
        """The file's batches (from the batches kept of an unchanged file when a warm worker
        keeps them)."""
        key = KEPT.key(tick_file, self.checks) if KEPT is not None else None
        found = KEPT.get(key) if key is not None else None
        if found is None:
            kept = [] if key is not None else None
            for batch in self._read_batches(tick_file):
                if kept is not None:
                    kept.append(batch)
                yield batch
            if kept is not None:
                KEPT.put(key, kept, tick_file.short_fractions)
            return
        kept, tick_file.short_fractions = found
        if tick_file.short_fractions is not None:
            self._count_fractions(tick_file)
        for batch in kept:
            batch.file = tick_file
            yield batch

    def _count_skipped(self, tick_file, skipped):
        for reason, line, instrument_id in skipped:
            kept = self.bad.setdefault(reason, [0, "%s %s %d" % (tick_file.name, tick_file.unit, line)])
            kept[0] += 1
            self.bad_of[instrument_id] = self.bad_of.get(instrument_id, 0) + 1

    def _read_batches(self, tick_file):
        import numpy as np
        import pyarrow as pa
        import pyarrow.compute as pc

        blanks = tick_file.blank_rows()
        at_time = tick_file.columns.index("UpdateTime")
        row = 0
        for batch in tick_file.batches():
            size = batch.num_rows
            if not size:
                continue
            columns = []  # (name, kind, pyarrow array)
            refused = []  # (rows, column, what is wrong) of values refused here, skipped with skip_bad
            for column, array in zip(tick_file.columns, batch.columns):
                kind = tick_file.types.get(column)
                if array.null_count:
                    if not self.skip_bad:
                        index = pc.index(array.is_null(), True).as_py()
                        tick_file.fail(tick_file.line_of(row + index, blanks),
                                       "column %s: an empty value where a number belongs; correct the line, or "
                                       "skip such ticks with %s" % (column, SKIP_OPTION))
                    refused.append((array.is_null().to_numpy(zero_copy_only=False), column, "empty"))
                    # The rows are skipped; their values need only be of the column's type.
                    array = pc.fill_null(array.cast(pa.float64()) if pa.types.is_null(array.type) else array,
                                         "" if pa.types.is_string(array.type) else 0)
                if column in TEXT_COLUMNS or kind is str:
                    kind = str
                elif kind is int:
                    # Values from EXACT_LIMIT on are impossible ticks (_impossible names them).
                    whole = array.cast(pa.int64(), safe=False)
                    exact = pc.or_(pc.equal(whole.cast(pa.float64(), safe=False), array),
                                   pc.greater_equal(pc.abs(array), EXACT_LIMIT))
                    if not self.skip_bad and not pc.all(exact).as_py():
                        index = pc.index(exact, False).as_py()
                        tick_file.fail(tick_file.line_of(row + index, blanks),
                                       not_converted(column, array[index].as_py(), to_int))
                    refused.append((~exact.to_numpy(zero_copy_only=False), column, "not a whole number"))
                    array = whole
                elif kind is not float:
                    kind = None
                columns.append((column, kind, array))
            times = batch.column(at_time)
            seconds, millis = whole_seconds(times), None
            if seconds is None:
                seconds, millis = self._time_of_day(tick_file, times, row, blanks)
            if millis is not None:
                # 09:30:49.900: the fraction becomes UpdateMillisec, as the broker's record has it.
                columns[at_time] = ("UpdateTime", str, pc.utf8_slice_codeunits(times, 0, 8))
                if tick_file.has_millis:
                    at_millis = tick_file.columns.index("UpdateMillisec")
                    columns[at_millis] = ("UpdateMillisec", int, millis.cast(pa.int64()))
                else:
                    columns.append(("UpdateMillisec", int, millis.cast(pa.int64())))
                seconds = seconds + millis.to_numpy() / 1000.0
            elif tick_file.has_millis:
                _, kind, array = columns[tick_file.columns.index("UpdateMillisec")]
                given = array.to_numpy() if kind is int else np.asarray(Batch.column_values(kind, array), np.float64)
                seconds = seconds + given / 1000.0
            calendar, trading = self._days(tick_file, batch, seconds, row, blanks)
            keys = calendar * DAY + seconds
            labels, inverse = np.unique(trading, return_inverse=True)
            if blanks:
                lines = np.array([tick_file.line_of(r, blanks) for r in range(row, row + size)], np.int64)
            else:
                lines = np.arange(row + tick_file.first_line, row + tick_file.first_line + size, dtype=np.int64)
            bad, skipped = self._impossible(tick_file, batch, lines, refused)
            yield Batch(tick_file, columns, keys, [day_text(d) for d in labels.tolist()], inverse, lines, bad, skipped)
            row += size

    def _time_of_day(self, tick_file, times, row, blanks):
        """(seconds of the day, milliseconds of the times' fractions or None when no time has
        one) of the UpdateTime texts; a text that is no time of day refuses the file. Fractions
        of one or two digits are read by the file's convention (fraction_convention)."""
        import numpy as np
        import pyarrow as pa
        import pyarrow.compute as pc

        well_formed = pc.match_substring_regex(times, TIME_PATTERN)
        if not pc.all(well_formed).as_py():
            index = pc.index(well_formed, False).as_py()
            tick_file.fail(tick_file.line_of(row + index, blanks), "column UpdateTime: %r is not a time of day "
                                                                  "HH:MM:SS (or HH:MM:SS.fff)" % times[index].as_py())
        hms = [pc.utf8_slice_codeunits(times, start, start + 2).cast(pa.int32()).to_numpy().astype(np.float64)
               for start in (0, 3, 6)]
        seconds = hms[0] * 3600 + hms[1] * 60 + hms[2]
        digits = pc.utf8_slice_codeunits(times, 9, 16)
        if not pc.any(pc.not_equal(digits, "")).as_py():
            return seconds, None
        if tick_file.fractions is None and pc.any(pc.less(pc.utf8_length(digits), 3)).as_py():
            self._choose_fractions(tick_file)
        return seconds, millisecond_values(digits, tick_file.fractions == WHOLE)

    def _choose_fractions(self, tick_file):
        """Fixes how the file's short fractions read, once."""
        tick_file.short_fractions = tick_file.fraction_convention()
        tick_file.fractions = tick_file.short_fractions[0]
        self._count_fractions(tick_file)

    def _count_fractions(self, tick_file):
        convention, backwards = tick_file.short_fractions
        kept = self.fractions.setdefault(convention, [0, tick_file.name, 0])
        kept[0] += 1
        kept[2] += backwards

    def _impossible(self, tick_file, batch, lines, refused):
        """The rows of a batch with impossible values (None when there is none), and the
        (reason, line) of each; the first one refuses the file unless skip_bad. refused: the
        (rows, column, what is wrong) found while converting (the file refused already unless
        skip_bad)."""
        import numpy as np

        size = batch.num_rows
        numbers = {column: array for column, array in zip(tick_file.columns, batch.columns)
                   if column not in TEXT_COLUMNS and array.type == "double"}
        arrays = {column: array.to_numpy(zero_copy_only=False) for column, array in numbers.items()
                  if checked(column)}
        wholes = {column: arrays.get(column, array.to_numpy(zero_copy_only=False))
                  for column, array in numbers.items() if tick_file.types.get(column) is int}
        checks = list(refused)  # (rows, column, what is wrong)
        with np.errstate(invalid="ignore", over="ignore"):
            for column, values in arrays.items():
                checks.append((~np.isfinite(values), column, "not finite"))
                checks.append((values < 0, column, "negative"))
            for column, values in wholes.items():
                checks.append((np.abs(values) >= WHOLE_LIMIT, column, "beyond the 64 bits of a whole number"))
                checks.append((np.abs(values) >= EXACT_LIMIT, column,
                               "2**53 or more, where a whole number read from a tick file loses its last digits"))
            last = arrays["LastPrice"]
            checks.append((~((last > 0) & (last < ABSENT)), "LastPrice", "not a last price (absent or 0)"))
            bid, ask = arrays["BidPrice1"], arrays["AskPrice1"]
            middle = (bid + ask) / 2
            band, price_tick, option, (ids, at_id) = self._products_of(tick_file, batch)
            # A few price ticks are a normal distance whatever the price: bid 0.5, ask 1 and
            # last 0.5 on a 0.5 tick is a cheap option's quote.
            near = NEAR_TICKS * price_tick
            far = np.maximum(FAR * middle, near)
            # A last price far from a sane book is the bad value, not the book. An option's price
            # moves by its underlying's, not by a share of its own: only its limits judge it.
            book = (bid > 0) & (ask < ABSENT) & (np.abs(ask - bid) <= far) & ~option
            checks.append((book & (np.abs(last - middle) > far), "LastPrice",
                           "further than half the best bid and ask from them"))
            upper, lower = arrays.get("UpperLimitPrice"), arrays.get("LowerLimitPrice")
            limited = np.zeros(size, bool)
            if upper is not None and lower is not None:
                limited = (lower > 0) & (lower <= upper) & (upper < ABSENT)
                checks.append((limited & ((last > upper) | (last < lower)), "LastPrice",
                               "outside the day's limits LowerLimitPrice..UpperLimitPrice"))
            # Without the day's limits: a quote and the last price both lie within the band either
            # side of the previous settlement, so they are at most 2 band / (1 - band) of the
            # last price apart.
            reach = np.where(option, np.inf, np.maximum(last * 2 * band / (1 - band), near))
            quotes = (("BidPrice1", bid), ("AskPrice1", ask))
            given = {column: (quote > 0) & (quote < ABSENT) for column, quote in quotes}
            for column, quote in quotes:
                if upper is not None and lower is not None:
                    checks.append((given[column] & limited & ((quote > upper) | (quote < lower)), column,
                                   "outside the day's limits LowerLimitPrice..UpperLimitPrice"))
                checks.append((given[column] & ~limited & (np.abs(quote - last) > reach), column,
                               "further from the last price than its product's daily price band allows"))
            checks.append((given["BidPrice1"] & given["AskPrice1"] & (bid >= ask), "BidPrice1",
                           "at or above AskPrice1 (a crossed or locked book)"))
        bad = np.zeros(size, bool)
        for rows, _, _ in checks:
            bad |= rows
        if not bad.any():
            return None, []
        skipped = []
        for index in np.flatnonzero(bad).tolist():
            line = int(lines[index])
            column, what = next((c, w) for rows, c, w in checks if rows[index])
            if not self.skip_bad:
                value = arrays[column][index].item() if column in arrays else wholes[column][index].item()
                # A whole number beyond 2**53 was read as the nearest double: its last digits are unknown.
                if column in wholes and EXACT_LIMIT <= abs(value) < 1e21:
                    value = "about {:.17g}".format(value)
                else:
                    value = repr(value)
                tick_file.fail(line, "column %s: %s is %s; correct the line, or skip such ticks with %s"
                               % (column, value, what, SKIP_OPTION))
            skipped.append(("%s %s" % (column, what), line, ids[at_id[index]]))
        return bad, skipped

    def _products_of(self, tick_file, batch):
        """Per row: the daily price band of its product (the leading letters of its
        InstrumentID), its price tick (0 when the instrument list does not give it) and
        whether it is an option; and (the InstrumentIDs, the index of each row's)."""
        import numpy as np

        if "InstrumentID" in tick_file.columns:
            encoded = batch.column(tick_file.columns.index("InstrumentID")).cast("string").dictionary_encode()
            ids, indices = encoded.dictionary.to_pylist(), encoded.indices.to_numpy()
        else:
            ids, indices = [tick_file.constants.get("InstrumentID", "")], np.zeros(batch.num_rows, np.int64)
        default = self.bands["*"]
        bands, ticks, options = np.empty(len(ids), np.float64), np.zeros(len(ids), np.float64), np.zeros(len(ids), bool)
        for index, instrument_id in enumerate(ids):
            product = PRODUCT.match(instrument_id or "")
            bands[index] = self.bands.get(product.group(0), default) if product else default
            ticks[index] = self.price_ticks.get(instrument_id, 0.0)
            options[index] = bool(OPTION.match(instrument_id or ""))
        return bands[indices], ticks[indices], options[indices], (ids, indices)

    def _days(self, tick_file, batch, seconds, row, blanks):
        """(calendar day, trading day) per row, as numbers of days since 1970-01-01."""
        import numpy as np

        evening = seconds >= EVENING
        morning = seconds < MORNING
        trading = self._date_column(tick_file, batch, "TradingDay", row, blanks)
        action = self._date_column(tick_file, batch, "ActionDay", row, blanks)
        if trading is not None:
            before = np.where(weekday(trading) == 0, trading - 3, np.where(weekday(trading) == 6, trading - 2,
                                                                            trading - 1))
            ruled = np.where(evening, before, np.where(morning, before + 1, trading))
            if action is not None:
                usable = (action >= 0) & ~(evening & (action == trading))
                calendar = np.where(usable, action, ruled)
            else:
                calendar = ruled
            return calendar, trading
        # Without TradingDay a file has ActionDay: files with neither are refused when opened.
        day = weekday(action)
        after = np.where(day == 4, action + 3, np.where(day == 5, action + 2, action + 1))
        monday_of_weekend = np.where(day == 5, action + 2, np.where(day == 6, action + 1, action))
        trading = np.where(evening, after, np.where(morning, monday_of_weekend, action))
        return action, trading

    @staticmethod
    def _date_column(tick_file, batch, column, row, blanks):
        import numpy as np

        if column in tick_file.columns:
            encoded = batch.column(tick_file.columns.index(column)).dictionary_encode()
            texts, indices = encoded.dictionary.to_pylist(), encoded.indices.to_numpy()
        elif column in tick_file.constants:
            texts, indices = [tick_file.constants[column]], np.zeros(batch.num_rows, np.int64)
        else:
            return None
        days = np.empty(len(texts), np.int64)
        for number, text in enumerate(texts):
            day = parse_day(text.strip())
            if day is None:
                if column == "ActionDay" and not text.strip():
                    day = -1  # no ActionDay on this tick: the rule decides
                else:
                    index = int(np.argmax(indices == number))
                    tick_file.fail(tick_file.line_of(row + index, blanks),
                                   "column %s: %r is not a date YYYYMMDD" % (column, text))
            days[number] = day
        return days[indices]


class KeptBatches:
    """The batches of tick files, kept between the replays of a warm worker: a sweep replays the
    same files point after point. A file is read again when it changed (its size or its time
    of change); files that came through a pipe are not kept. The oldest go first beyond the
    limit (bytes of the batches' arrays)."""

    def __init__(self, limit):
        self.limit = limit
        self.files = collections.OrderedDict()  # key -> (batches, bytes)
        self.size = 0

    @staticmethod
    def key(tick_file, checks):
        if tick_file.spooled:
            return None
        status = os.stat(tick_file.path)
        return (str(tick_file.path), status.st_size, status.st_mtime_ns, tuple(tick_file.columns),
                tuple(sorted(tick_file.types.items(), key=str)), tuple(tick_file.constants.items()), checks)

    def get(self, key):
        """(batches, how the file's short fractions of a second read) of a file kept, or None."""
        found = self.files.get(key)
        if found is None:
            return None
        self.files.move_to_end(key)
        return found[0], found[2]

    def put(self, key, batches, short_fractions):
        size = sum(batch.nbytes() for batch in batches)
        if size > self.limit:
            return
        self.files[key] = (batches, size, short_fractions)
        self.size += size
        while self.size > self.limit:
            _, (_, dropped, _) = self.files.popitem(last=False)
            self.size -= dropped


KEPT = None  # the KeptBatches of a warm worker (keep_batches), None elsewhere


def keep_batches(limit):
    """Keep the batches of the files replayed, up to limit bytes, for the next replays."""
    global KEPT
    KEPT = KeptBatches(limit)


def prepare_reading():
    """What reading ticks needs, loaded at a source's set-up (the tick loop is timed, not the
    set-up). The reader's array work is element by element: threads of the linear-algebra
    library would only spin beside it (a third of the research road's CPU time)."""
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    import numpy  # noqa: F401
    import numpy.ma  # noqa: F401  (pyarrow's first conversion of a numpy array loads it)
    import pyarrow.compute  # noqa: F401


class Batch:
    """A batch of one file's ticks: its columns as pyarrow arrays of the types that the tick
    record gives them (text, whole number, number; None: each value its own type), the file's
    constant columns after them, and each row's calendar time, trading day and line."""

    instrument = None  # the InstrumentID of all its rows, when its source knows it (a store file's)

    def __init__(self, tick_file, columns, keys, day_texts, day_index, lines, bad, skipped):
        self.file = tick_file
        self.columns = columns  # [(name, kind, pyarrow array)]
        self.constants = list(tick_file.constants.items())
        self.names = [name for name, _, _ in columns] + [name for name, _ in self.constants]
        self.keys = keys  # numpy float64: calendar time in seconds since 1970
        self.day_texts = day_texts  # trading days YYYYMMDD; day_index gives each row's
        self.day_index = day_index
        self.lines = lines  # numpy int64
        self.bad = bad  # numpy bool of the rows with impossible values (skipped), or None
        self.skipped = skipped  # (reason, line, InstrumentID) of each of those rows
        self.size = len(keys)
        self.positions = {name: position for position, name in enumerate(self.names)}
        self._readers = [None] * len(self.names)

    def restricted(self, days):
        """This batch with the rows of other trading days than `days` left out (skipped
        without a count), or itself when it holds no such row."""
        import numpy as np

        wanted = np.array([day in days for day in self.day_texts], bool)[self.day_index]
        if wanted.all():
            return self
        view = copy.copy(self)
        view.bad = ~wanted if self.bad is None else self.bad | ~wanted
        if self.skipped:
            view.skipped = [item for item, row in zip(self.skipped, np.flatnonzero(self.bad)) if wanted[row]]
        return view

    def days(self):
        """The trading days of the batch's rows kept."""
        rows = self.day_index if self.bad is None else self.day_index[~self.bad]
        return {self.day_texts[i] for i in set(rows.tolist())}

    def nbytes(self):
        return sum(array.nbytes for _, _, array in self.columns) + self.keys.nbytes + self.lines.nbytes + \
            self.day_index.nbytes

    @staticmethod
    def column_values(kind, array):
        """The Python values of a column, as the tick dictionary holds them."""
        if kind is str:
            return texts(array)
        if kind is None:
            return [to_number(text) for text in texts(array)]
        return array.to_numpy().tolist()

    def ticks(self):
        """(time, trading day, file, line, tick, row values) of the rows kept."""
        size = self.size
        values = [self.column_values(kind, array) for _, kind, array in self.columns]
        constants = (itertools.repeat(value, size) for _, value in self.constants)
        day_texts = self.day_texts
        days = [day_texts[i] for i in self.day_index.tolist()]
        rows = zip(self.keys.tolist(), days, self.lines.tolist(), zip(*values, *constants))
        if self.bad is not None:
            rows = itertools.compress(rows, ~self.bad)
        names, tick_file = self.names, self.file
        for key, day, line, fields in rows:
            yield key, day, tick_file, line, dict(zip(names, fields)), fields

    def row(self, index):
        """One row's values, as ticks() gives them, without converting the whole batch."""
        return RowValues(self, index)

    def value(self, index, position):
        """The value of one field of one row; a column is prepared for it once per batch."""
        read = self._readers[position]
        if read is None:
            read = self._readers[position] = self._reader(position)
        return read(index)

    def read_with(self, position, read):
        """Read the field at position with read(row) (a native reader of its column)."""
        self._readers[position] = read

    # Twin: ArrowColumn::text in oxa/research/arrow_column.cpp (TextColumn), for a text column.
    def _reader(self, position):
        if position >= len(self.columns):
            value = self.constants[position - len(self.columns)][1]
            return lambda index: value
        _, kind, array = self.columns[position]
        if kind is str or kind is None:
            encoded = array.dictionary_encode()
            words, indices = encoded.dictionary.to_pylist(), encoded.indices.to_numpy()
            if kind is None:
                words = [to_number(text) for text in words]
            return lambda index: words[indices[index]]
        return array.to_numpy().item


class RowTick(dict):
    """The tick dictionary of one row of a batch, its fields converted when first read: the
    research road hands the client's code ticks it mostly does not read."""

    def __init__(self, batch, index):
        super().__init__()
        self.batch, self.index = batch, index
        self.positions = batch.positions

    def __missing__(self, name):
        value = self[name] = self.batch.value(self.index, self.positions[name])
        return value

    def get(self, name, default=None):
        return self[name] if name in self.positions else default


class RowValues:
    """The values of one row of a batch, compared as the tuple of them (converted only then)."""

    __hash__ = None

    def __init__(self, batch, index):
        self.batch, self.index = batch, index

    def __iter__(self):
        return (self.batch.value(self.index, position) for position in range(len(self.batch.names)))

    def __eq__(self, other):
        return tuple(self) == tuple(other)
