"""The twin pair of the strategy texts: the native road's evaluator (compiler.py and Program in
oxa/research/evaluator.cpp) against Python's eval, as COXAAlgos.Calc_Express evaluates them:
the same value of the same type, or NeedsPython, which it must give wherever Python raises."""
import math
from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

from brindle_tools.replay.native.compiler import compile_text
from brindle_tools.replay.native import _road
from harness.roads import same

NAMES = ("a", "b", "c", "d")
GAVE_UP = "gave up"


def compiled(text, names):
    operations, reason = compile_text(text, lambda name: names.index(name) if name in names else None)
    assert reason is None, (text, reason)
    return _road.Program(operations)


def native(text, **values):
    try:
        return compiled(text, list(values)).evaluate(list(values.values()))
    except _road.NeedsPython:
        return GAVE_UP



# ---- drawn texts over drawn values --------------------------------------------------------

def chain(parts):
    first, links = parts
    return "(%s%s)" % (first, "".join(" %s %s" % link for link in links))


def texts(leaves):
    def grow(inner):
        return st.one_of(
            st.tuples(inner, st.sampled_from("+-*/"), inner).map("(%s %s %s)".__mod__),
            st.tuples(st.sampled_from(["-", "+", "not "]), inner).map("(%s%s)".__mod__),
            st.tuples(inner, st.lists(st.tuples(st.sampled_from(["<", "<=", ">", ">=", "==", "!="]), inner),
                                      min_size=1, max_size=3)).map(chain),
            st.tuples(st.sampled_from([" and ", " or "]), st.lists(inner, min_size=2, max_size=3))
            .map(lambda t: "(%s)" % t[0].join(t[1])),
            inner.map("abs(%s)".__mod__),
            st.tuples(st.sampled_from(["min", "max"]), st.lists(inner, min_size=2, max_size=3))
            .map(lambda t: "%s(%s)" % (t[0], ", ".join(t[1]))),
        )
    return st.recursive(leaves, grow, max_leaves=10)


CONSTANTS = ["0", "1", "2", "3", "0.0", "-0.0", "0.5", "2.5", "True", "False", "1e308", "9007199254740993"]
LEAVES = st.sampled_from(NAMES) | st.sampled_from(CONSTANTS)
ORDINARY = st.one_of(
    st.integers(-1000, 1000), st.booleans(), st.sampled_from([0, 1, 0.0, -0.0, 1.0, 0.5]),
    st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False),
)
EDGE_POOL = [0, 1, -1, 3, True, False, 0.0, -0.0, 0.5, 1.0, 2**63 - 1, -(2**63), 2.0**63, math.nan, -math.nan,
             math.inf, -math.inf, 1e308, -1e308, 5e-324, None, 2**70]  # None and 2**70 are not native


def near_edges(base):
    """Ints and floats a few units from +-base, where ints and floats part ways."""
    return st.builds(lambda sign, delta, as_float: (float if as_float else int)(sign * (base + delta)),
                     st.sampled_from([1, -1]), st.integers(-3, 3), st.booleans())


EDGE_BASES = st.sampled_from([2**53, 3 * 2**52, 2**62, 2**63, 2**64])


@st.composite
def edge_namespaces(draw):
    """Half the values near one drawn edge, so that they meet in one operation often; the
    others from the pool, or anything."""
    values = st.one_of(near_edges(draw(EDGE_BASES)),
                       st.one_of(st.sampled_from(EDGE_POOL), ORDINARY, st.integers(-(2**63), 2**63 - 1), st.floats()))
    return {name: draw(values) for name in NAMES}


def agreement(text, namespace):
    """Checks the native value against Python's; says how the case went."""
    try:
        expected = eval(text, dict(namespace))
    except (ZeroDivisionError, TypeError, OverflowError):
        assert native(text, **namespace) is GAVE_UP, (text, namespace)
        return "Python raised"
    got = native(text, **namespace)
    assert got is GAVE_UP or same(got, expected), (text, namespace, got, expected)
    return GAVE_UP if got is GAVE_UP else "answered"


def run_cases(namespaces, examples):
    counts = Counter()

    @settings(max_examples=examples)
    @given(texts(LEAVES), namespaces)
    def compare_with_python(text, namespace):
        counts[agreement(text, namespace)] += 1

    compare_with_python()
    return counts


def test_drawn_texts_over_edge_values_give_python_s_value_or_give_up():
    counts = run_cases(edge_namespaces(), 500)
    assert counts["answered"] > counts[GAVE_UP]


@given(st.sampled_from(["+", "-", "*", "/", "<", "<=", "==", "!=", ">", ">="]), st.sampled_from(["min", "max"]),
       EDGE_BASES.flatmap(lambda base: st.tuples(near_edges(base), near_edges(base))))
def test_one_operation_on_two_values_near_an_edge(operator, chooser, values):
    a, b = values
    agreement("a %s b" % operator, {"a": a, "b": b})
    agreement("%s(a, b)" % chooser, {"a": a, "b": b})


def test_drawn_texts_over_ordinary_values_rarely_give_up():
    counts = run_cases(st.fixed_dictionaries({name: ORDINARY for name in NAMES}), 400)
    assert counts[GAVE_UP] <= 0.03 * (counts["answered"] + counts[GAVE_UP]), counts


# ---- corners ------------------------------------------------------------------------------

@pytest.mark.parametrize("text, values, expected", [
    # bool is an int in arithmetic; int op float is float, the int rounded half to even
    ("a + a", {"a": True}, 2),
    ("-a", {"a": True}, -1),
    ("+a", {"a": True}, 1),
    ("abs(a)", {"a": True}, 1),
    ("a + 0.0", {"a": 2**53 + 1}, 2.0**53),
    ("a * 10", {"a": 1e308}, math.inf),
    # comparisons between int and float are exact
    ("a > 9007199254740992.0", {"a": 2**53 + 1}, True),
    ("a == 9007199254740992.0", {"a": 2**53 + 1}, False),
    ("a < 9223372036854775808.0", {"a": 2**63 - 1}, True),
    ("a != a", {"a": math.nan}, True),
    ("a >= a", {"a": math.nan}, False),
    # true division
    ("7 / 2", {}, 3.5),
    ("a / 4", {"a": True}, 0.25),
    ("0 / a", {"a": -5}, -0.0),
    # chains stop at the first false link and give False; (a < b) is an int in arithmetic
    ("1 < a < 3", {"a": 2}, True),
    ("3 < a < 1", {"a": 2}, False),
    ("1 < a > 3 == 3", {"a": 2}, False),
    ("(1 < a) + 1", {"a": 2}, 2),
    # and/or give an operand, the one not needed is not read
    ("0 or 2.5", {}, 2.5),
    ("3 and 0", {}, 0),
    ("a and b", {"a": 0.0, "b": None}, 0.0),
    ("a or b", {"a": -1, "b": None}, -1),
    ("not a", {"a": math.nan}, False),
    # min keeps the first of equal values, max too; NaN follows from `item < current`
    ("min(1, 1.0)", {}, 1),
    ("max(1.0, 1)", {}, 1.0),
    ("min(a, 1)", {"a": math.nan}, math.nan),
    ("min(1, a)", {"a": math.nan}, 1),
    ("max(0.0, -0.0, a)", {"a": False}, 0.0),
])
def test_python_exact_corners(text, values, expected):
    assert same(native(text, **values), expected)
    assert same(eval(text, dict(values)), expected)


@pytest.mark.parametrize("text, values", [
    ("a / 0", {"a": 1}), ("a / 0.0", {"a": 1.5}), ("a / b", {"a": 1, "b": False}),
    ("-a", {"a": -(2**63)}), ("abs(a)", {"a": -(2**63)}), ("a + 1", {"a": 2**63 - 1}),
    ("a * a", {"a": 2**32}), ("a / 3", {"a": 2**53 + 1}), ("a == 1", {"a": None}),
    ("a + 1", {"a": 2**64}),
])
def test_what_only_python_can_answer_gives_up(text, values):
    assert native(text, **values) is GAVE_UP


@pytest.mark.parametrize("text, reason", [
    ("a // 2", "uses //"),
    ("a ** 2", "uses **"),
    ("a is b", "uses is"),
    ("a in b", "uses in"),
    ("trade_book", "names trade_book"),
    ("a.real", "uses an attribute"),
    ("a[0]", "uses a subscript"),
    ("round(a)", "calls round"),
    ("abs(a, b)", "calls abs with 2 arguments"),
    ("min(a)", "calls min with 1 arguments"),
    ("max(a, b, key=b)", "calls max with keywords or *"),
    ("'x'", "uses a constant of type str"),
    ("a == None", "uses a constant of type NoneType"),
    ("18446744073709551616", "uses a number beyond 64 bits"),
    ("a if b else 0", "uses if ... else"),
    (b"a", "not a text but bytes"),
    (None, "not a text but NoneType"),
])
def test_texts_outside_the_forms_are_refused_with_a_reason(text, reason):
    assert compile_text(text, {"a": 0, "b": 1}.get) == (None, reason)


def test_refusals_of_texts_python_cannot_read_or_that_shadow_builtins():
    slots = {"a": 0, "abs": 1}.get
    assert compile_text("abs(a)", slots) == (None, "calls abs")
    assert compile_text("a +", slots)[1].startswith("not a Python expression: ")
    assert compile_text("a\0", slots)[1].startswith("not a Python expression: ")
    assert compile_text("(" * 1000 + "a" + ")" * 1000, slots)[0] is None
    # eval skips leading blanks and tabs, so the compiler does too
    assert compiled(" \ta + 1", ["a"]).evaluate([1]) == 2


@pytest.mark.parametrize("operations", [
    [], [("add",)], [("load", 0), ("load", 1)], [("load", -1)], [("constant", "x")],
    [("load", 0), ("jump_if_true_or_pop", 0), ("load", 1)],
    [("load", 0), ("jump_if_true_or_pop", 2), ("load", 1)],
    [("load", 0), ("load", 1), ("compare", 6)], [("min", 1)], [(99,)], [("load",)], ["load"],
])
def test_malformed_programs_are_refused(operations):
    codes = [tuple(_road.opcodes.get(part, part) for part in op) if type(op) is tuple else op
             for op in operations]
    with pytest.raises(ValueError):
        _road.Program(codes)


def test_evaluate_needs_a_value_for_every_slot_read():
    with pytest.raises(ValueError, match="reads 3 values, 2 given"):
        compiled("a + c", ["a", "b", "c"]).evaluate([1, 2])
