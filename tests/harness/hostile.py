"""Hostile values for the bad-input and fault tests: objects whose protocols raise,
containers that lie about themselves, host records whose to_dict() misbehaves, and a
hypothesis strategy of arbitrary Python values built from them."""
import decimal

from hypothesis import strategies as st


class Boom(Exception):
    """What a hostile object raises."""


def _raiser(name):
    def method(self, *args, **kwargs):
        raise Boom("%s of a hostile object" % name)

    method.__name__ = name
    return method


def hostile(*protocols):
    """A class whose listed special methods raise Boom; it stays hashable unless
    __hash__ is one of them."""
    namespace = {name: _raiser(name) for name in protocols}
    if "__eq__" in protocols and "__hash__" not in protocols:
        namespace["__hash__"] = object.__hash__
    return type("Raises_" + "_".join(name.strip("_") for name in protocols), (), namespace)


COMPARISONS = ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__")
ARITHMETIC = ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__",
              "__rtruediv__", "__mod__", "__rmod__", "__index__", "__int__", "__float__")
CONTAINER = ("__len__", "__iter__", "__getitem__", "__setitem__", "__contains__")
TEXT = ("__str__", "__repr__", "__format__")

HOSTILE_CLASSES = (
    hostile(*COMPARISONS),
    hostile("__hash__"),
    hostile(*TEXT),
    hostile("__bool__"),
    hostile(*CONTAINER),
    hostile(*ARITHMETIC),
    hostile("__getattr__"),
    hostile(*COMPARISONS, "__hash__", *TEXT, "__bool__", *CONTAINER, *ARITHMETIC, "__getattr__"),
)


class FalseTruth:
    """Compares equal to everything, but the answer cannot be used as a truth value."""

    def __eq__(self, other):
        return hostile("__bool__")()

    __hash__ = object.__hash__


class BadLength:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length


class TextRaisingHash(str):
    def __hash__(self):
        raise Boom("__hash__ of a str subclass")


class TextRaisingEq(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise Boom("__eq__ of a str subclass")


class DictRaisingItems(dict):
    def items(self):
        raise Boom("items of a dict subclass")


class DictYieldingTriples(dict):
    def items(self):
        return [(key, value, None) for key, value in dict.items(self)]


class DictRaisingGet(dict):
    def get(self, *args):
        raise Boom("get of a dict subclass")

    def __getitem__(self, key):
        raise Boom("__getitem__ of a dict subclass")


class ListRaisingIter(list):
    def __iter__(self):
        raise Boom("__iter__ of a list subclass")


class Record:
    """A host record whose to_dict() returns `value` (a new shallow copy for a dict)."""

    def __init__(self, value):
        self.value = value

    def to_dict(self):
        return dict(self.value) if type(self.value) is dict else self.value

    def __repr__(self):
        return "Record(%r)" % (self.value,)


class RaisingRecord:
    def to_dict(self):
        raise Boom("to_dict")


def _special_factories():
    """Makers of instances that no generic strategy makes (made anew for each draw; the
    strategy shows the makers, since a hostile object cannot even show itself)."""
    return list(HOSTILE_CLASSES) + [
        FalseTruth, lambda: BadLength(-1), lambda: BadLength(2**100), lambda: TextRaisingHash("rb2501"),
        lambda: TextRaisingEq("rb2501"), lambda: DictRaisingItems(a=1), lambda: DictYieldingTriples(a=1),
        lambda: DictRaisingGet(a=1), lambda: ListRaisingIter([1]), RaisingRecord,
        lambda: Record({"InstrumentID": "rb2501"}), lambda: Record(None), lambda: float("nan"),
        lambda: decimal.Decimal("sNaN"), lambda: 2**63, lambda: -(2**63) - 1, lambda: 10**5000, lambda: "\ud800",
        lambda: b"\xff\xfe", object, lambda: type, lambda: len, lambda: ...,
    ]


special_values = st.sampled_from(_special_factories()).map(lambda make: make())


ANY_CHARACTER = st.characters(exclude_categories=())  # surrogates included

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.decimals(),
    st.text(ANY_CHARACTER, max_size=16),
    st.binary(max_size=16),
    st.binary(max_size=8).map(bytearray),
    st.datetimes(),
    st.dates(),
    st.times(),
    st.timedeltas(),
    special_values,
)

hashable_keys = st.one_of(st.text(ANY_CHARACTER, max_size=8), st.integers(), st.floats(), st.none(),
                          st.binary(max_size=4))

values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.dictionaries(hashable_keys, inner, max_size=4),
    ),
    max_leaves=10,
)


def records(fields):
    """Host records whose to_dict() gives a dictionary of `fields` with arbitrary values,
    any other value, or raises."""
    dictionaries = st.dictionaries(st.sampled_from(fields), values, max_size=len(fields))
    return st.one_of(dictionaries.map(Record), values.map(Record), st.just(RaisingRecord()))
