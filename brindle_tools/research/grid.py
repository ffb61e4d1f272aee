"""The grid of a sweep: each parameter's values, checked as the replay checks a --set value,
and the grid's points, enumerated as they are needed (a range stays a range)."""
import bisect
import itertools
import math
import random
import re
import sys

from ..live import parameters
from ..common.errors import UsageError

RANGE = re.compile(r"(-?\d+)\.\.(-?\d+)(?:/(\d+))?")
WHOLE_NUMBER = re.compile(r"-?\d+")
LIMIT = 100000  # points of the largest grid swept whole, and of the largest sample
WHOLE_LIMIT = 2 ** 63  # runs.parquet holds whole numbers in 64 bits
EXACT_OVERLAP = 1000000  # ranges compared value by value up to this many values


class Values:
    """The values of one parameter: single values and integer ranges in the order given,
    indexed without being listed."""

    def __init__(self):
        self.parts = []  # range, or a 1-tuple holding a single value
        self.ends = []  # cumulative sizes

    def __len__(self):
        return self.ends[-1] if self.ends else 0

    def __getitem__(self, index):
        part = bisect.bisect_right(self.ends, index)
        return self.parts[part][index - (self.ends[part - 1] if part else 0)]

    def __iter__(self):
        return itertools.chain.from_iterable(self.parts)

    def __repr__(self):
        return "Values(%r)" % (self.parts,)

    def add(self, part):
        self.parts.append(part)
        self.ends.append(len(self) + len(part))


def shares_values(first, second):
    """Whether two integer ranges hold a common value."""
    low, high = max(first.start, second.start), min(first[-1], second[-1])
    if low > high:
        return False
    fewer = min((first, second), key=lambda r: (high - low) // r.step)
    other = second if fewer is first else first
    if (high - low) // fewer.step <= EXACT_OVERLAP:
        start = fewer.start + -(-(low - fewer.start) // fewer.step) * fewer.step
        return any(value in other for value in range(start, high + 1, fewer.step))
    return (other.start - fewer.start) % math.gcd(fewer.step, other.step) == 0


def same_text(value, ranges):
    """The range holding a value that is no integer but reads as one, or equals one."""
    text = str(value)
    for part in ranges:
        if (isinstance(value, (int, float)) and value in part) or \
                (WHOLE_NUMBER.fullmatch(text) and int(text) in part):
            return part
    return None


def part_text(part):
    if isinstance(part, range):
        last = part[-1]
        return "%d..%d" % (part.start, last) + ("/%d" % part.step if part.step != 1 else "")
    return repr(part[0])


def parse_values(name, text, default=parameters.NO_DEFAULT):
    """The values of one parameter: Python literals (a bare word is text) and integer ranges
    A..B or A..B/STEP, separated by commas. A value given again counts once; values that the
    strategy or runs.csv could not tell apart (3 and '3', 3 and 3.0), overlapping ranges, and
    values of another type than the parameter's default are refused."""
    given = "--grid %s=%s" % (name, text)
    values = Values()
    ranges, seen, by_text, by_value = [], set(), {}, {}
    for item in (part.strip() for part in text.split(",")):
        match = RANGE.fullmatch(item.replace(" ", ""))
        if match:
            first, last, step = int(match[1]), int(match[2]), int(match[3] or 1)
            if step == 0:
                raise UsageError("%s: the step of %s is 0" % (given, item))
            if last < first:
                raise UsageError("%s: the range %s is empty (a..b needs a <= b)" % (given, item))
            part = range(first, last + 1, step)
            refuse_unstorable(given, first, last)
            if (last - first) // step >= sys.maxsize:
                raise UsageError("%s: the range %s holds more values than a sweep can count" % (given, item))
            for earlier in ranges:
                if shares_values(earlier, part):
                    raise UsageError("%s: the ranges %s and %s share values" % (given, part_text(earlier), item))
            for value in by_text.values():
                if same_text(value, [part]) is not None:
                    raise UsageError("%s: %r and the range %s hold the same value" % (given, value, item))
            parameters.check_kind(name, first, default, given)
            ranges.append(part)
            values.add(part)
            continue
        if not item:
            raise UsageError("%s: an empty value; write NAME=V1,V2,... or NAME=A..B" % given)
        value = parameters.parse_value(item)
        if value is item and not item.isidentifier():
            raise UsageError("%s: %s is neither a Python literal, a word nor a range A..B[/STEP]" % (given, item))
        parameters.check_kind(name, value, default, given)
        refuse_unstorable(given, value)
        if (type(value), repr(value)) in seen or (type(value) is int and any(value in r for r in ranges)):
            continue
        clash = by_text.get(str(value))
        if clash is None:
            try:
                clash = by_value.get(value)
            except TypeError:  # a list or a dict
                clash = None
        if clash is None and same_text(value, ranges) is not None:
            clash = same_text(value, ranges)
        if clash is not None:
            raise UsageError("%s: %r and %s are alike to the strategy or in runs.csv: give one of them"
                             % (given, value, part_text(clash) if isinstance(clash, range) else repr(clash)))
        seen.add((type(value), repr(value)))
        by_text[str(value)] = value
        try:
            by_value[value] = value
        except TypeError:
            pass
        values.add((value,))
    return values


def refuse_unstorable(given, *values):
    """Values that runs.csv and runs.parquet cannot hold exactly are refused before any run."""
    for value in values:
        if isinstance(value, int) and not isinstance(value, bool) and not -WHOLE_LIMIT < value < WHOLE_LIMIT:
            raise UsageError("%s: %d is beyond the 64 bits of a whole number that the tables hold" % (given, value))
        if isinstance(value, float) and not math.isfinite(value):
            raise UsageError("%s: %r is not a finite number" % (given, value))


def parse_grid(items, reserved, defaults):
    """{name: Values} of the --grid options; reserved: the names of the table's columns."""
    grid = {}
    for text in items:
        name, sep, values = text.partition("=")
        name = name.strip()
        if not sep or not name.isidentifier():
            raise UsageError("--grid %s: write NAME=V1,V2,... or NAME=A..B[/STEP], NAME a Python name" % text)
        if name in grid:
            raise UsageError("--grid %s: parameter %s is given twice" % (text, name))
        if name in reserved:
            raise UsageError("--grid %s: %s is a column of the table; the strategy must call the parameter "
                             "otherwise" % (text, name))
        grid[name] = parse_values(name, values.strip(), defaults.get(name, parameters.NO_DEFAULT))
    if not grid:
        raise UsageError("an empty grid: give each parameter to vary with --grid NAME=V1,V2,...")
    return grid


def size(grid):
    return math.prod(len(values) for values in grid.values())


def check_size(grid, sample):
    total = size(grid)
    if sample is not None and sample > LIMIT:
        raise UsageError("--sample %d: a sweep runs at most %s points" % (sample, "{:,}".format(LIMIT)))
    if sample is None and total > LIMIT:
        raise UsageError("the grid has %s points, more than the %s a sweep runs: choose some with --sample N"
                         % ("{:,}".format(total), "{:,}".format(LIMIT)))


def grid_points(grid, sample, seed):
    """The chosen points as tuples of value indices, in grid order, one at a time: all of
    them, or a seeded random sample of `sample` of them."""
    sizes = [len(values) for values in grid.values()]
    total = math.prod(sizes)
    if sample is None or sample >= total:
        yield from itertools.product(*map(range, sizes))
        return
    for number in sorted(sampled(random.Random(seed), total, sample)):
        point = []
        for count in reversed(sizes):
            number, index = divmod(number, count)
            point.append(index)
        yield tuple(reversed(point))


def sampled(draw, total, count):
    """`count` distinct numbers below total, drawn at random (random.sample counts only up to
    sys.maxsize; above it, distinct draws are all but certain)."""
    if total <= sys.maxsize:
        return draw.sample(range(total), count)
    numbers = set()
    while len(numbers) < count:
        numbers.add(draw.randrange(total))
    return numbers


def point_values(grid, point):
    return {name: values[index] for (name, values), index in zip(grid.items(), point)}
