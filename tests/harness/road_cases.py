"""Drawn replays on both roads, in one process: strategy texts from the native evaluator's
forms (and some beyond them), reading the trading state and indicators too, over tick streams
with absent prices, volume resets, repeated and equal times and night sessions across
midnight. Run in a host directory:
`python3 -c "from harness.road_cases import main; main(EXAMPLES)"`."""
import contextlib
import importlib
import io
import json
import random
import re
import sys
from pathlib import Path

from hypothesis import HealthCheck, Phase, given, settings, strategies as st

from brindle_tools.feed import ticks

from . import roads
from .host import edit_ini

ABSENT = "1.7976931348623157e+308"
HEADER = ("TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1,"
          "UpperLimitPrice,LowerLimitPrice,OpenInterest\n")
# (trading day, first second of the calendar day of its session, session length in seconds):
# a night session from 22:59 across midnight, the next morning, the next trading day's night.
SESSIONS = (("20241107", 22 * 3600 + 3540, 120), ("20241107", 9 * 3600, 100), ("20241108", 21 * 3600, 80))
NAMES = ("LastPrice", "AskPrice1", "BidPrice1", "vol_diff", "Volume", "BidVolume1", "AskVolume1",
         "LastPrice_Cur_Up", "LastPrice_Cur_Down", "LastPrice_Cur_Keep", "LastPrice_Acc_Up", "order_TradeVolume",
         "BidVolume", "PriceTick", "VolumeMultiple", "open_ticks", "ratio",
         # the trading state and indicators of the host's strategy_names switch
         "position", "long_lots", "entry_price", "open_profit", "resting_buy", "resting_sell", "held_seconds", "day_seconds",
         "session_left", "ma", "hi", "lo", "vw", "em", "sm")
INDICATORS = {"ma": ("mean", "LastPrice", "5 ticks"), "hi": ("max", "AskPrice1", "30 s"), "lo": ("min", "BidPrice1", "day"),
              "vw": ("vwap", None, "60 s"), "em": ("ema", "LastPrice", "4 ticks"), "sm": ("sum", "vol_diff", "day")}
SESSION_TABLE = [("22:59", "00:30"), ("09:00", "09:01")]
# Texts that the native evaluator leaves to Python, one of them failing on some ticks.
BEYOND = ("LastPrice // 1 > 0", "UpdateTime >= '09:02:00'", "vol_diff % 2 == 1", "2 ** LastPrice_Cur_Up > 4",
          "1 / vol_diff > 0.2", "LastPrice_Cur_Up in (2, 3)")

numbers = st.one_of(st.integers(-3, 5), st.sampled_from([0.5, 2.0, -1.5, 1e308, 0.1]))
names = st.sampled_from(NAMES)
atoms = st.one_of(names, numbers.map(repr))


def combined(children):
    return st.one_of(
        st.tuples(children, st.sampled_from(["+", "-", "*", "/"]), children).map(lambda t: "(%s %s %s)" % t),
        st.tuples(st.sampled_from(["-", "not "]), children).map(lambda t: "(%s%s)" % t),
        st.tuples(st.sampled_from(["abs", "min", "max"]), st.lists(children, min_size=1, max_size=3)).map(
            lambda t: "%s(%s)" % (t[0], ", ".join(t[1][:1] if t[0] == "abs" else t[1] * (2 if len(t[1]) == 1 else 1)))),
        st.tuples(children, st.sampled_from(["and", "or"]), children).map(lambda t: "(%s %s %s)" % t))


expressions = st.recursive(atoms, combined, max_leaves=6)
comparisons = st.tuples(expressions, st.sampled_from(["<", "<=", ">", ">=", "==", "!="]), expressions,
                        st.sampled_from(["", " < 1e9", " != 7"])).map(lambda t: "%s %s %s%s" % t)
conditions = st.one_of(
    st.tuples(st.sampled_from(["LastPrice_Cur_Up", "LastPrice_Cur_Down", "LastPrice_Cur_Keep"]),
              st.integers(0, 3)).map(lambda t: "%s >= %d" % t),
    comparisons, expressions, st.sampled_from(BEYOND), st.sampled_from(["True", "1", "2", "1.0"]))
prices = st.one_of(
    st.sampled_from(["AskPrice1", "BidPrice1", "LastPrice", "(AskPrice1 + BidPrice1) / 2", "min(AskPrice1, LastPrice)",
                     "max(BidPrice1, LastPrice - PriceTick)", "LastPrice // 1"]),
    st.tuples(st.sampled_from(["AskPrice1", "BidPrice1", "LastPrice"]), st.sampled_from(["+", "-"]),
              st.integers(0, 3)).map(lambda t: "%s %s %d * PriceTick" % t))


def without_names(strategy):
    """The strategy for an engine with the switch off: its names read a tick column instead."""
    switch_names = re.compile(r"\b(%s)\b" % "|".join(NAMES[NAMES.index("position"):]))
    return {key: switch_names.sub("OpenInterest", value) if isinstance(value, str) else value
            for key, value in strategy.items()}


@st.composite
def strategies(draw):
    table = {}
    for action in ("buy_open", "sell_open", "buy_close", "sell_close"):
        table.update({action + "_express": draw(conditions), action + "_price": draw(prices),
                      action + "_vol": draw(st.integers(1, 3))})
    return table


@st.composite
def ticks(draw):
    """A tick file of two instruments over the sessions (drawn from one seed: a stream is
    too long to be drawn value by value)."""
    rng = random.Random(draw(st.integers(0, 2 ** 32)))
    lines = []  # (session, time of day, line)
    for instrument, price in (("rb2501", 3500), ("hc2501", 3300)):
        volume = 100
        limited = rng.random() < 0.7  # else the feed gives no limits
        for session, (day, start, length) in enumerate(SESSIONS):
            second = start + rng.randint(0, 30)
            while second < start + length:
                event = rng.choice(["", "", "", "", "", "", "absent bid", "absent ask", "reset", "same time", "repeat"])
                if event == "repeat" and lines:
                    lines.append(lines[-1][:2] + (lines[-1][2],))
                    continue
                price += rng.randint(-2, 2)
                volume = volume // 3 if event == "reset" else volume + rng.choice([0, 0, 1, 4])
                bid = ABSENT if event == "absent bid" else price - 1
                ask = ABSENT if event == "absent ask" else price + 1
                # The morning's times are whole seconds, written without a fraction.
                steps = [1, 1, 3] if session == 1 else [0.5, 1, 1, 3]
                second += 0 if event == "same time" else rng.choice(steps)
                clock = second % 86400
                fraction = ".%03d" % ((clock % 1) * 1000) if session != 1 else ""
                lines.append((session, second, "%s,%s,%02d:%02d:%02d%s,%d,%d,%s,%d,%s,%d,%s,%d\n" % (
                    day, instrument, clock // 3600, clock // 60 % 60, clock % 60, fraction, price, volume, bid,
                    rng.randint(1, 5), ask, rng.randint(1, 5), limits(rng, price, limited), rng.randint(1, 9))))
    # Both instruments in time order, but for the odd tick out of place (a recorder's glitch).
    lines.sort(key=lambda entry: entry[:2])
    if rng.random() < 0.5:
        moved = lines.pop(rng.randrange(len(lines)))
        lines.insert(rng.randrange(len(lines)), moved)
    return HEADER + "".join(line for _, _, line in lines)


def limits(rng, price, limited):
    """The tick's UpperLimitPrice,LowerLimitPrice: at the quotes or a little beyond them (prices
    a decision takes fall outside them at times), or absent."""
    if not limited:
        return "%s,%s" % (ABSENT, ABSENT)
    beyond = rng.choice([0, 1, 5])
    return "%.1f,%.1f" % (price + 1 + beyond, price - 1 - beyond)


def replay(argv):
    from brindle_tools.commands.replay import main

    printed = io.StringIO()
    with contextlib.redirect_stdout(printed), contextlib.redirect_stderr(printed):
        status = main(argv)
    return status, printed.getvalue()


def main(examples):
    sys.dont_write_bytecode = True
    host = Path.cwd()
    # Batches of some 60 ticks: the roads meet batch ends, and batches with and without the
    # milliseconds that a time's fraction gives.
    ticks.BLOCK = 1 << 12
    ini = host / "cfg" / "oxa.ini"
    ini_text = ini.read_text(encoding="utf-8")

    # The chart's series (each instrument's points and prices), not its picture.
    from brindle_tools.replay import report, webpage

    charted = []
    report.chart = lambda results, path: charted.append(repr(
        [(i.id, i.points.tolist(), i.prices.tolist()) for i in results.instruments.values()]))
    webpage.write = lambda summary, path: None

    @settings(max_examples=examples, deadline=None, derandomize=True, database=None,
              suppress_health_check=list(HealthCheck), print_blob=False,
              phases=[Phase.explicit, Phase.reuse, Phase.generate])
    @given(rb=strategies(), hc=strategies(), ratio=numbers, tick_file=ticks(),
           options=st.sampled_from([[], ["--restart-daily"], ["--warm-up", "3"], ["--cancel-after", "1"]]),
           names_on=st.booleans())
    def same_on_both_roads(rb, hc, ratio, tick_file, options, names_on):
        ini.write_text(edit_ini(ini_text, {"PYTHON_SWITCH": {"strategy_names": int(names_on)}}), encoding="utf-8")
        declared = "Indicators = %r\nSessions = %r\n" % (INDICATORS, SESSION_TABLE)
        if not names_on:
            rb, hc, declared = without_names(rb), without_names(hc), ""
        (host / "cfg" / "oxa_can_change_env.py").write_text(roads.settings_module(
            {"rb2501": rb, "hc2501": hc}, "Strategy_Parameters = {'open_ticks': 2, 'ratio': %r}\n%s" % (ratio, declared)),
            encoding="utf-8")
        module = sys.modules.get("cfg.oxa_can_change_env")
        if module is not None:
            for name in ("Indicators", "Sessions"):  # a reload keeps the names the text no longer sets
                vars(module).pop(name, None)
            importlib.reload(module)
        (host / "ticks.csv").write_text(tick_file, encoding="utf-8")
        common = ["ticks.csv", "--instruments", "instruments.csv", *options]
        exact = replay(common + ["--out", "exact"])
        native = replay(common + ["--out", "native", "--engine", "native"])
        assert exact[0] == native[0], (exact, native)
        assert "cannot replay this" not in native[1], native[1]
        if exact[0] == 0:
            roads.assert_same(host / "exact", host / "native")
            assert charted[-2] == charted[-1], charted[-2:]
            traded.append(json.loads((host / "exact" / "summary.json").read_text())["fills"] > 0)

    traded = []
    same_on_both_roads()
    print("%d drawn replays the same on both roads, %d of them with fills" % (len(traded), sum(traded)))
