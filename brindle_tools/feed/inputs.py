"""The replay's small input files (instrument records, fees, margins): CSV files, UTF-8 (with
or without a byte-order mark) or GB18030, whose header names the columns; the broker's own
instrument list comes without one. A value becomes the type that the host's record class
gives the field (text stays text, numbers become numbers); a column the record class does
not know becomes a number when it reads as one. Anything malformed stops the replay with the
file, the line and, where it helps, the column. Tick files are read by ticks.py."""
import csv
import io
import itertools

from ..common.errors import UsageError, shown


def to_int(text):
    try:
        return int(text)
    except ValueError:
        number = float(text)  # "12.0" is a whole number too
        if not number.is_integer():
            raise
        return int(number)


def to_number(text):
    """A column of unknown type: a whole number, else a number, else the text."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return text


CONVERTERS = {str: str, int: to_int, float: float, bytes: str.encode}


def column_problem(columns):
    """What is wrong with a file's column names (an empty or a repeated one), or None."""
    seen = set()
    for column in columns:
        if not column:
            return "an empty column name"
        if column in seen:
            return "column %s appears twice" % column
        seen.add(column)
    return None


def not_converted(column, text, convert):
    """The message for a value that convert (to_int or float) refused."""
    return "column %s: %r is not a %s" % (column, text, "whole number" if convert is to_int else "number")


def field_types(record_class):
    """{field: converter} from the defaults of a host record class."""
    return {name: CONVERTERS.get(type(value), to_number) for name, value in record_class().to_dict().items()}


class CsvFile:
    """A CSV file with a header line, or without one when headerless(first row) gives the
    columns; rows come with their line numbers."""

    def __init__(self, path, kind, headerless=None):
        self.path = path
        self.name = shown(path)
        self.kind = kind  # what the file holds, for messages
        try:
            with open(path, "rb") as raw:
                data = raw.read()
        except OSError as error:
            raise UsageError("cannot read the %s file %s: %s" % (kind, self.name, error.strerror)) from None
        try:
            text = data.decode("utf-8-sig")  # Excel writes a byte-order mark
        except UnicodeDecodeError:
            try:
                text = data.decode("gb18030")  # as a broker's Chinese names are delivered
            except UnicodeDecodeError as error:
                raise UsageError("%s line %d: neither UTF-8 nor GB18030 text: save the file as UTF-8"
                                 % (self.name, data[:error.start].count(b"\n") + 1)) from None
        self.reader = csv.reader(io.StringIO(text, newline=""))
        try:
            first = [column.strip() for column in next(self.reader)]
        except StopIteration:
            raise UsageError("%s: empty file; a header line with the column names comes first" % self.name) from None
        except csv.Error as error:
            raise UsageError("%s line 1: %s" % (self.name, error)) from None
        columns = headerless(first) if headerless else None
        self.first_row = first if columns else None  # a headerless file's first row is data
        self.header = columns or first
        problem = column_problem(self.header)
        if problem:
            raise UsageError("%s line 1: %s" % (self.name, problem))

    def require(self, columns):
        missing = [c for c in columns if c not in self.header]
        if missing:
            raise UsageError("%s line 1: missing column%s %s" % (
                self.name, "s" if len(missing) > 1 else "", ", ".join(missing)))

    def fail(self, line, text):
        raise UsageError("%s line %d: %s" % (self.name, line, text))

    def rows(self, converters, least=None):
        """(line number, list of converted values) for every non-empty line; with least, a
        row may end after that many fields (the rest take their defaults)."""
        width = len(self.header)
        reader = self.reader
        pairs = list(zip(converters, self.header))
        lines = itertools.chain([(1, self.first_row)] if self.first_row else [],
                                ((reader.line_num, row) for row in reader))
        try:
            for line, row in lines:
                if not row:
                    continue
                if not (least or width) <= len(row) <= width:
                    self.fail(line, "%d fields, %s" % (len(row), "the header has %d" % width if least is None else
                                                       "the layout has %d to %d" % (least, width)))
                try:
                    yield line, [convert(text) for convert, text in zip(converters, row)]
                except ValueError:
                    for (convert, column), text in zip(pairs, row):
                        try:
                            convert(text)
                        except ValueError:
                            self.fail(line, not_converted(column, text, convert))
        except csv.Error as error:
            self.fail(reader.line_num, str(error))


# The fields after ShortMarginRatio (the margin side algorithm and the option fields): a
# broker's list of futures may leave them out.
FUTURES_FIELDS = "ShortMarginRatio"


def read_rules(path, kind, key, column, value):
    """{key: (value, source)} of a table of rules by key (ExchangeID, ProductID; * for every
    other) with the columns key, column and optionally source; value(text) gives a rule's value,
    or raises ValueError saying what it should be. A row without a source names its file and line."""
    columns = (key, column, "source")
    table = CsvFile(path, kind)
    table.require(columns[:2])
    unknown = [c for c in table.header if c not in columns]
    if unknown:
        table.fail(1, "unknown column %s: the columns are %s" % (unknown[0], ", ".join(columns)))
    rules = {}
    for line, values in table.rows([str] * len(table.header)):
        row = dict(zip(table.header, (v.strip() for v in values)))
        try:
            rules[row[key]] = (value(row[column]), row.get("source") or "%s line %d" % (shown(path), line))
        except ValueError as error:
            table.fail(line, "%s %r: %s" % (column, row[column], error))
    return rules


def over_shipped(shipped, path, read):
    """The shipped table's rules, with those of the file at path (None: none) read over them."""
    rules = dict(shipped)
    if path is not None:
        rules.update(read(path))
    return rules


def read_price_bands(path):
    """{ProductID: band} of a CSV file with the columns ProductID, band (a share of the
    previous settlement) and optionally source; the ProductID * is every product not listed."""
    table = CsvFile(path, "price band")
    table.require(("ProductID", "band"))
    unknown = [c for c in table.header if c not in ("ProductID", "band", "source")]
    if unknown:
        table.fail(1, "unknown column %s: the columns are ProductID, band, source" % unknown[0])
    converters = [float if c == "band" else str for c in table.header]
    at_product, at_band = table.header.index("ProductID"), table.header.index("band")
    bands = {}
    for line, values in table.rows(converters):
        if not 0 < values[at_band] < 1:
            table.fail(line, "band %r: a band is a share of the previous settlement, above 0 and below 1"
                       % values[at_band])
        bands[values[at_product].strip()] = values[at_band]
    return bands


class Instruments(dict):
    """{InstrumentID: (line, fields)}, with the layout assumed for a file without a header
    line (None when it had one)."""

    assumed = None


def read_instruments(path, record_class):
    """The instruments of a file holding the fields of the host's instrument record: with a
    header line naming them, or, as a broker delivers its list, without one, the fields in
    the record's order. The fields after ShortMarginRatio may be left out (they take the
    record's defaults); a row repeated exactly is read once."""
    defaults = record_class().to_dict()
    types = field_types(record_class)
    order = list(types)
    least = order.index(FUTURES_FIELDS) + 1
    table = CsvFile(path, "instrument", lambda first: None if types.keys() & first else order)
    headerless = table.first_row is not None
    unknown = [c for c in table.header if c not in types]
    if unknown:
        table.fail(1, "unknown column%s %s: the columns are the instrument record's %d fields"
                   % ("s" if len(unknown) > 1 else "", ", ".join(unknown), len(types)))
    table.require(order[:least])
    instruments = Instruments()
    if headerless:
        instruments.assumed = "no header line: read as the broker's instrument list, the instrument record's " \
                              "fields in order (%s, ..., %s, then optionally %s)" % (
                                  order[0], FUTURES_FIELDS, ", ".join(order[least:]))
    id_at = table.header.index("InstrumentID")
    for line, values in table.rows([types[c] for c in table.header], least if headerless else None):
        key, fields = values[id_at], {**defaults, **dict(zip(table.header, values))}
        if key in instruments and instruments[key][1] != fields:
            table.fail(line, "instrument %s is listed twice, with other fields than on line %d"
                       % (key, instruments[key][0]))
        instruments.setdefault(key, (line, fields))
    return instruments
