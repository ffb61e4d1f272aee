"""The replay's small input files (instrument records, fees): CSV files whose header names
the columns. A value becomes the type that the host's record class gives the field (text
stays text, numbers become numbers); a column the record class does not know becomes a
number when it reads as one. Anything malformed stops the replay with the file, the line
and, where it helps, the column. Tick files are read by ticks.py."""
import csv

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
    """A CSV file with a header line; rows come with their line numbers."""

    def __init__(self, path, kind):
        self.path = path
        self.name = shown(path)
        self.kind = kind  # what the file holds, for messages
        try:
            self.file = open(path, newline="", encoding="utf-8-sig")  # Excel writes a byte-order mark
        except OSError as error:
            raise UsageError("cannot read the %s file %s: %s" % (kind, self.name, error.strerror)) from None
        self.reader = csv.reader(self.file)
        try:
            self.header = [column.strip() for column in next(self.reader)]
        except StopIteration:
            self.close()
            raise UsageError("%s: empty file; a header line with the column names comes first" % self.name) from None
        except (csv.Error, UnicodeDecodeError) as error:
            self.close()
            raise UsageError("%s line 1: %s" % (self.name, error)) from None
        problem = column_problem(self.header)
        if problem:
            self.close()
            raise UsageError("%s line 1: %s" % (self.name, problem))

    def require(self, columns):
        missing = [c for c in columns if c not in self.header]
        if missing:
            self.close()
            raise UsageError("%s line 1: missing column%s %s" % (
                self.name, "s" if len(missing) > 1 else "", ", ".join(missing)))

    def fail(self, line, text):
        self.close()
        raise UsageError("%s line %d: %s" % (self.name, line, text))

    def rows(self, converters):
        """(line number, list of converted values) for every non-empty line."""
        width = len(self.header)
        reader = self.reader
        pairs = list(zip(converters, self.header))
        try:
            for row in reader:
                if not row:
                    continue
                if len(row) != width:
                    self.fail(reader.line_num, "%d fields, the header has %d" % (len(row), width))
                try:
                    yield reader.line_num, [convert(text) for convert, text in zip(converters, row)]
                except ValueError:
                    for (convert, column), text in zip(pairs, row):
                        try:
                            convert(text)
                        except ValueError:
                            self.fail(reader.line_num, not_converted(column, text, convert))
        except (csv.Error, UnicodeDecodeError) as error:
            self.fail(reader.line_num, str(error))

    def close(self):
        self.file.close()


def read_instruments(path, record_class):
    """{InstrumentID: (line, fields)} from an instrument file holding exactly the fields of
    the host's instrument record."""
    types = field_types(record_class)
    table = CsvFile(path, "instrument")
    unknown = [c for c in table.header if c not in types]
    if unknown:
        table.fail(1, "unknown column%s %s: the columns are the instrument record's %d fields"
                   % ("s" if len(unknown) > 1 else "", ", ".join(unknown), len(types)))
    table.require(list(types))
    instruments = {}
    id_at = table.header.index("InstrumentID")
    try:
        for line, values in table.rows([types[c] for c in table.header]):
            key = values[id_at]
            if key in instruments:
                table.fail(line, "instrument %s is listed twice (first on line %d)" % (key, instruments[key][0]))
            instruments[key] = (line, dict(zip(table.header, values)))
    finally:
        table.close()
    return instruments
