"""The twin pairs of the two roads (docs/architecture.md), each driven on both sides with the
same drawn inputs, so that a side changed without its twin fails here, not only in a whole
replay: the fields the native loop shares with the client, the traded volume, the valuation
and drawdown, the price grid, a batch's text fields, and the market statistics. (The strategy texts' pair is in
tools/replay/test_native_evaluator.py; the tick and the strategy step are compared in whole drawn
replays, system/test_native_road.py.)"""
import ast
import copy
import inspect
import math
import re
from types import SimpleNamespace

import pytest
from hypothesis import example, given, strategies as st

from brindle_tools.feed.ticks import Batch
from brindle_tools.market import account, exchange
from brindle_tools.replay import client, results
from brindle_tools.replay.native import road
from harness.paths import REPO
from harness.roads import same

ABSENT = 1.7976931348623157e308  # the feed's mark of an absent quote
HOLDERS = {"Client": client.Client, "Clock": client.Clock, "Instrument": client.Instrument,
           "Totals": results.Totals, "Series": results.Series, "Account": account.Account,
           "Holding": account.Holding, "Side": account.Side, "Quotes": exchange.Quotes,
           "Order": exchange.Order}



def assert_same(python, native, what):
    assert same(python, native), "%s: Python %r, native %r" % (what, python, native)


# --- the client's fields: road.CLIENT_FIELDS ------------------------------------------------

def fields_of(cls):
    """What an object of the class holds: the attributes its code sets on self, its functions
    and its slots."""
    tree = ast.parse(inspect.getsource(cls).lstrip())
    held = {node.attr for node in ast.walk(tree) if isinstance(node, ast.Attribute)
            and isinstance(node.ctx, ast.Store) and isinstance(node.value, ast.Name) and node.value.id == "self"}
    return held | {name for name, _ in inspect.getmembers(cls, inspect.isfunction)} | set(getattr(cls, "__slots__", ()))


def test_the_loop_touches_the_declared_client_fields_and_the_client_objects_hold_them():
    declared = {(holder, name) for holder, names in road.CLIENT_FIELDS.items() for name in names}
    sources = sorted((REPO / "oxa" / "research").glob("*.[ch]pp"))
    code = "".join(re.sub(r"//.*", "", source.read_text("utf-8")) for source in sources)  # comments aside
    used = set(re.findall(r'"([A-Z]\w*)\.(\w+)"', code))
    assert used == declared, "used, not declared: %s; declared, not used: %s" % (
        sorted(used - declared), sorted(declared - used))
    for holder, names in road.CLIENT_FIELDS.items():
        assert set(names) <= fields_of(HOLDERS[holder]), holder


def test_the_module_uses_the_fields_and_the_exception_that_the_road_hands_it(native_road):
    class Refused(Exception):
        pass

    fields = dict(road.CLIENT_FIELDS, Account=tuple(n for n in road.CLIENT_FIELDS["Account"] if n != "high"))
    try:
        native_road.setup(Refused, fields)
        holding = account.Holding({"InstrumentID": "x", "ExchangeID": "X", "VolumeMultiple": 1}, account.Fees())
        with pytest.raises(RuntimeError, match=r"Account\.high, which .*CLIENT_FIELDS does not declare"):
            native_road.twins.mark(account.Account(1.0), holding, 1.0)
        with pytest.raises(Refused, match="the traded volume is beyond"):
            native_road.twins.traded_since(1, None, "2")
    finally:
        road.native_module()


# --- Instrument.traded_since (client.py) and Instrument::traded_since (tick_loop.cpp) ---------

volumes = st.one_of(st.integers(0, 2**62), st.integers(0, 30), st.floats(0, 30), st.sampled_from([math.nan, 1e300]))


@given(st.lists(volumes, min_size=1, max_size=10))
def test_traded_volume_twins(native_road, ticks):
    instrument = client.Instrument(None, SimpleNamespace(id="x", exchange="X"), ("*", 54000, "a test"))
    for volume in ticks:
        before = instrument.volume, instrument.dropped_from
        traded = instrument.traded_since(volume)
        if before[0] is not None and volume < before[0]:
            continue  # a volume that went down: the loop hands the tick to the client's code
        native = native_road.twins.traded_since(*before, volume)
        for what, python, theirs in zip(("traded", "volume", "dropped_from"),
                                        (traded, instrument.volume, instrument.dropped_from), native):
            assert_same(python, theirs, what)


# --- Account.mark (account.py) and AccountFigures::mark (account_figures.cpp) -------------------

money = st.floats(-1e7, 1e7, allow_nan=False)
FIGURES = [name for name in road.CLIENT_FIELDS["Account"] if name != "capital"]  # every figure the loop keeps
prices = st.one_of(st.integers(1, 10**6), st.floats(0.5, 1e6))
side_states = st.tuples(st.integers(0, 20), st.integers(0, 20), st.floats(1, 1e6))  # today, yesterday, average


@given(st.fixed_dictionaries({name: money for name in FIGURES}),
       st.sampled_from([1e6, 1.0, 5e4]), side_states, side_states, st.sampled_from([1, 10, 0.5]), money,
       st.lists(prices, min_size=1, max_size=6))
def test_valuation_and_drawdown_twins(native_road, figures, capital, long, short, multiple, value, marks):
    python = account.Account(capital)
    vars(python).update(figures)
    holding = account.Holding({"InstrumentID": "x", "ExchangeID": "X", "VolumeMultiple": multiple}, account.Fees())
    for side, (today, yesterday, average) in zip((holding.sides[account.LONG], holding.sides[account.SHORT]),
                                                 (long, short)):
        side.today, side.yesterday, side.average = today, yesterday, average
    holding.lots, holding.value = long[0] + long[1] + short[0] + short[1], value
    native, native_holding = copy.deepcopy((python, holding))
    for price in marks:
        holding.last_price = price
        try:
            python.mark(holding)
        except ZeroDivisionError:  # a drawdown against a capital of nothing: the exact engine's
            with pytest.raises(road.Unsupported):
                native_road.twins.mark(native, native_holding, price)
            return
        native_road.twins.mark(native, native_holding, price)
        assert_same(holding.value, native_holding.value, "holding value")
        for name in FIGURES:
            assert_same(getattr(python, name), getattr(native, name), name)


# --- on_grid (exchange.py) and on_grid (decision_desk.cpp) -------------------------------------

grid_ticks = st.sampled_from([0.2, 0.5, 1, 5.0, 0.01, 0.001, 0.0, -1.0, 1e-300, math.nan])
near_grid = st.builds(lambda steps, tick, noise: steps * tick + noise, st.integers(0, 10**7),
                      st.sampled_from([0.2, 0.5, 0.01, 0.001]), st.sampled_from([0.0, 1e-12, -1e-12, 1e-7, 0.5]))


@given(st.one_of(st.floats(0, 1.79e308), near_grid), grid_ticks, st.booleans())
@example(-1e-12, 0.2, False)  # a negative zero on the grid, which Python's ints do not have
@example(-0.1, 0.2, False)
def test_price_grid_twins(native_road, price, tick, buy):
    try:
        python = exchange.on_grid(price, tick, buy)
    except (ValueError, OverflowError):
        python = None  # the loop leaves such a decision to the client's code
    assert_same(python, native_road.twins.on_grid(price, tick, buy), "on_grid(%r, %r, %r)" % (price, tick, buy))


# --- a text field of a batch's row: Batch._reader (feed/ticks.py) and TextColumn ------------------

def test_text_column_twins(native_road):
    import pyarrow as pa

    words = ["09:00:00", "", "夜盘", "21:00:00.500", "09:00:00"]
    for array in (pa.array(words), pa.array(words, pa.large_string())):
        part = array.slice(1, 4)  # a store's batch is a slice of its file's
        batch = SimpleNamespace(columns=[("UpdateTime", str, part)], constants=[])
        python = Batch._reader(batch, 0)
        native = native_road.TextColumn(part)
        assert [native(row) for row in range(4)] == [python(row) for row in range(4)] == words[1:]
        with pytest.raises(IndexError):
            native(4)
    for other in (pa.array(["a", None]), pa.array([1.0])):
        with pytest.raises(TypeError):
            native_road.TextColumn(other)


# --- COXAAlgos.statMD (oxa/strategy/statistics.cpp) and fold_quote (oxa/research/statistics.cpp) --

quotes = st.one_of(st.integers(-5, 5), st.floats(-3, 3), st.integers(2**62, 2**63 - 1),
                   st.sampled_from([ABSENT, 1.79e308, math.inf, -math.inf, math.nan, 2**63, True]))
ticks = st.fixed_dictionaries({name: quotes for name in road.QUOTE})


@given(st.lists(ticks, min_size=1, max_size=8))
def test_market_statistics_twins(brindle, log, native_road, drawn):
    engine = brindle.COXAAlgos()
    exact = engine.InitFactor()
    native = copy.deepcopy(exact)
    for tick in drawn:
        folded = native_road.twins.fold_quote(native, tick)
        engine.statMD(exact, tick)
        if not folded:
            return  # only Python gives this result: the native road hands the run to the exact engine
        for name, value in exact.items():
            if not name.endswith("_book"):
                assert_same(value, native[name], name)
        exact.update(tick)  # the tick merged, as push_md2trade and StrategyStep::merge do
        native.update(tick)
