"""Speed of the engine's operations against the least Python work each one must do.

For every scenario the table gives the median processor time per operation (this
process's, so that other work on a shared machine weighs less) over several repetitions,
the FLOOR measured in the same run, and their ratio. The floor is the work an operation
cannot avoid by its definition, written in Python:
- a tick: executing the settings module's code object in its own dictionary (what
  re-executing it must at least do), one dict.update of the tick, and evaluating the same
  pre-compiled expressions the engine evaluated on that tick (every condition, and the
  price of each condition that held) in a dictionary holding what the engine's attribute
  dictionary held at that moment;
- the others: their dictionary reads and writes (and, where the operation is a search, the
  comparisons of that search) without the arithmetic, calls and logging around them.
The first two rows are the sample session (python3 -m brindle_tools sample): the replay end to
end, through its command line, against the bare push_md2trade loop over the same ticks;
then that loop, with the engine set up as the replay sets it up, against its floor.
After the table come a breakdown of the first scenario, the tick through importlib.reload
(the engine's road before its fast road, and what a literal Python engine pays), the
opt-in reload_on_change, and with --memory the growth of resident memory over that many
ticks.

    python3 bench/bench.py [--repeat N] [--ticks N] [--memory TICKS]
"""
import argparse
import contextlib
import gc
import importlib
import io
import json
import logging
import os
import runpy
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
INVESTOR = "00001"
PRICES = [3500 + step for step in range(-20, 21)]  # a bounded set of price levels

# The sample host's strategy for its first instrument, the one the scenarios trade.
SAMPLE_SETTINGS = runpy.run_path(str(REPO / "host" / "cfg" / "oxa_can_change_env.py"))
STRATEGY = SAMPLE_SETTINGS["AI_Strategy"][INVESTOR]["rb2501"]
OPEN_ACTIONS = ("buy_open", "sell_open")
CLOSE_ACTIONS = ("buy_close", "sell_close")


def settings_source(instruments):
    return "AI_Strategy = %r\nReal_Fresh_Factor = 0\nupdate_factor_period = 60\nInit_Factor_Zero = %r\n" % (
        {INVESTOR: {instrument: STRATEGY for instrument in instruments}},
        tuple(SAMPLE_SETTINGS["Init_Factor_Zero"]),
    )


def instrument_ids(count):
    return ["rb%04d" % (2501 + n) for n in range(count)]


class Host:
    """A copy of the sample host in a temporary directory, with the module imported."""

    def __init__(self, instruments):
        self.root = Path(tempfile.mkdtemp(prefix="oxa-bench-"))
        shutil.copytree(REPO / "host", self.root, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("__pycache__"))
        (self.root / "cfg" / "oxa_can_change_env.py").write_text(settings_source(instruments))
        os.chdir(self.root)
        sys.path[:0] = [str(self.root), str(REPO)]
        self.brindle = importlib.import_module("oxa.Brindle")
        self.records = importlib.import_module("oxa.py_ApiStructure")
        self.settings = importlib.import_module("cfg.oxa_can_change_env")
        env = importlib.import_module("cfg.oxa_env")
        env.logger = logging.getLogger("oxa.bench")
        env.logger.disabled = True

    def close(self):
        os.chdir(REPO)
        shutil.rmtree(self.root, ignore_errors=True)

    def use_settings(self, instruments):
        """Rewrites the settings module; its time moves on so that no cached bytecode of
        the previous text is taken for it."""
        path = Path(self.settings.__file__)
        previous = path.stat().st_mtime_ns
        path.write_text(settings_source(instruments))
        stamp = max(time.time_ns(), previous + 2_000_000_000)
        os.utime(path, ns=(stamp, stamp))
        importlib.reload(self.settings)

    def engine(self, instruments, position=False):
        engine = self.brindle.COXAAlgos()
        for instrument in instruments:
            record = self.records.InstrumentField(InstrumentID=instrument, ExchangeID="SHFE", PriceTick=1,
                                                  VolumeMultiple=10)
            engine.push_OnRspQryInstrument("Instrument", record)
            # The strategy's parameters, as the replay hands them over before the first tick.
            engine.push_InstrumentAttr(instrument, dict(SAMPLE_SETTINGS["Strategy_Parameters"]))
            if position:
                engine.push_OnRspQryInvestorPosition(
                    "InvestorPosition",
                    self.records.InvestorPositionField(InstrumentID=instrument, PosiDirection="2", Position=1))
        return engine


def ticks(instruments, count):
    volume = 0
    out = []
    for n in range(count):
        price = PRICES[(n * 7 + n // 3) % len(PRICES)]
        volume += 1 + n % 5
        out.append((instruments[n % len(instruments)], {
            "InstrumentID": instruments[n % len(instruments)], "UpdateTime": "09:00:00",
            "LastPrice": float(price), "Volume": volume, "BidPrice1": float(price - 1), "BidVolume1": 5,
            "AskPrice1": float(price + 1), "AskVolume1": 7,
        }))
    return out


def settings_code(module):
    """The code object the source loader makes of the settings module."""
    return compile(Path(module.__file__).read_bytes(), module.__file__, "exec", dont_inherit=True)


def medians(runs, operations, repeat):
    """The median time per operation of each run. The runs take turns in every repetition,
    so that a busy moment of the machine weighs on all of them alike."""
    samples = [[] for _ in runs]
    for _ in range(repeat):
        for run, taken in zip(runs, samples):
            gc.collect()
            start = time.process_time()
            run()
            taken.append((time.process_time() - start) / operations)
    return [statistics.median(taken) for taken in samples]


class TickLoop:
    """push_md2trade over a stream of (instrument, tick, time) through one engine, with fresh
    tick dictionaries for each run (the engine adds ExchangeID to them), and its floor.
    clock: the replay's clock (the engine's datetime) whose `seconds` each tick sets, or None."""

    def __init__(self, engine, stream, strategies, actions, settings, repeat, clock=None):
        self.engine, self.stream, self.repeat, self.clock = engine, stream, repeat, clock
        self.strategies, self.actions, self.settings = strategies, actions, settings
        # The warm-up run, recording the attribute dictionary each tick's expressions saw.
        self.seen = []
        for instrument, tick, when in self.batch():
            if clock:
                clock.seconds = when
            engine.push_md2trade(INVESTOR, instrument, tick)
            self.seen.append(dict(engine.instrument_attr_dict[instrument]))

    def batch(self):
        return [(instrument, dict(tick), when) for instrument, tick, when in self.stream]

    def engine_run(self):
        batches = iter([self.batch() for _ in range(self.repeat)])
        push, clock = self.engine.push_md2trade, self.clock

        def run():
            for instrument, tick, when in next(batches):
                if clock:
                    clock.seconds = when
                push(INVESTOR, instrument, tick)

        return run

    def floor_run(self):
        code = settings_code(self.settings)
        namespace = vars(self.settings)
        expressions = {instrument: [(compile(strategy[action + "_express"], "<string>", "eval"),
                                     compile(strategy[action + "_price"], "<string>", "eval"))
                                    for action in self.actions]
                       for instrument, strategy in self.strategies.items()}
        merged = {instrument: dict(self.engine.instrument_attr_dict[instrument]) for instrument in self.strategies}
        batches = iter([list(zip(self.batch(), self.seen)) for _ in range(self.repeat + 1)])

        def run():
            for (instrument, tick, _), attributes in next(batches):
                exec(code, namespace)
                merged[instrument].update(tick)
                for condition, price in expressions[instrument]:
                    if eval(condition, attributes):
                        eval(price, attributes)

        run()  # warm-up
        return run

    def measure(self):
        """The engine's and the floor's time per tick."""
        return medians([self.engine_run(), self.floor_run()], len(self.stream), self.repeat)


class TickScenario(TickLoop):
    """Generated ticks of the sample strategy's first instrument over `instruments`."""

    def __init__(self, host, instruments, position, count, repeat):
        host.use_settings(instruments)
        stream = [(instrument, tick, None) for instrument, tick in ticks(instruments, count)]
        actions = OPEN_ACTIONS + (CLOSE_ACTIONS if position else ())
        super().__init__(host.engine(instruments, position), stream, {i: STRATEGY for i in instruments}, actions,
                         host.settings, repeat)


def tick_rows(host, args):
    rows = []
    for name, count, position in (("1 tick, 1 instrument, no position", 1, False),
                                  ("1 tick, 1 instrument, with a position", 1, True),
                                  ("1 tick, 50 instruments interleaved", 50, False)):
        scenario = TickScenario(host, instrument_ids(count), position, args.ticks, args.repeat)
        rows.append((name,) + tuple(scenario.measure()))
    return rows


def first_scenario_details(host, args):
    """What a tick of the first scenario spends beyond its floor, the road through
    importlib.reload, and the opt-in switch."""
    brindle = host.brindle
    scenario = TickScenario(host, instrument_ids(1), False, args.ticks, args.repeat)
    engine = scenario.engine

    def variant(setup, undo):
        run = scenario.engine_run()

        def configured():
            setup()
            try:
                run()
            finally:
                undo()

        return configured

    on_change = variant(lambda: setattr(engine, "reload_on_change", 1), lambda: delattr(engine, "reload_on_change"))
    # A reload that does nothing.
    no_reload = variant(lambda: setattr(brindle, "reload", id), lambda: setattr(brindle, "reload", importlib.reload))
    code = settings_code(host.settings)
    namespace = vars(host.settings)
    executions = range(args.ticks)

    def execute():
        for _ in executions:
            exec(code, namespace)

    default, changed_only, without_reload, exec_only, floor = medians(
        [scenario.engine_run(), on_change, no_reload, execute, scenario.floor_run()], args.ticks, args.repeat)
    # Every tick through the import machinery, as before the fast road (fewer ticks: slow).
    brindle.reload = lambda module: importlib.reload(module)
    slow_count = max(args.ticks // 20, 100)
    slow, slow_floor = TickScenario(host, instrument_ids(1), False, slow_count, args.repeat).measure()
    brindle.reload = importlib.reload
    return [
        "scenario 1 in parts: tick without any settings reload %.2f us; checking the settings file "
        "(stat and import-state checks) %.2f us; executing the module (exec alone %.2f us) %.2f us"
        % (without_reload * 1e6, (changed_only - without_reload) * 1e6, exec_only * 1e6,
           (default - changed_only) * 1e6),
        "scenario 1 through importlib.reload on every tick: %.2f us (%.1fx the floor)" % (slow * 1e6, slow / slow_floor),
        "scenario 1 with reload_on_change = 1 (opt-in, settings file unchanged): %.2f us (%.2fx the floor)"
        % (changed_only * 1e6, changed_only / floor),
    ]


def ingestion_rows(host, repeat):
    records = host.records
    notifications = [records.OrderField(InstrumentID="rb2501", ExchangeID="SHFE", OrderSysID="%08d" % (n % 2000),
                                        OrderStatus="3", LimitPrice=3500.0) for n in range(20000)]
    requests = [records.InputOrderField(InstrumentID="rb2501", ExchangeID="SHFE", Direction="0",
                                        LimitPrice=3500.0, OrderStatus="3") for n in range(20000)]

    def orders_run():
        push = host.engine([]).push_OnRtnOrder
        for record in notifications:
            push("Order", record)

    def orders_floor():
        # push_Order: the record's dictionary, the status test, the instrument's list, and
        # the walk over the whole list comparing OrderSysID, then ExchangeID.
        table = {}
        for record in notifications:
            order = record.to_dict()
            if order["OrderStatus"] == "a":
                continue
            stored = table.get(order["InstrumentID"])
            if stored is None:
                table[order["InstrumentID"]] = [order]
                continue
            found = False
            for entry in stored:
                if entry["OrderSysID"] == order["OrderSysID"] and entry["ExchangeID"] == order["ExchangeID"]:
                    found = True
                    entry.update(order)
            if not found:
                stored.append(order)

    def requests_run():
        push = host.engine([]).push_ReqOrderInsert
        for record in requests:
            push("InputOrder", record)

    def requests_floor():
        table = {}
        for record in requests:
            order = record.to_dict()
            stored = table.get(order["InstrumentID"])
            if stored is None:
                table[order["InstrumentID"]] = [order]
            else:
                stored.append(order)

    return [
        ("order notifications (2,000 orders)",) + tuple(medians([orders_run, orders_floor], len(notifications), repeat)),
        ("order requests",) + tuple(medians([requests_run, requests_floor], len(requests), repeat)),
    ]


def simnow_row(host, repeat):
    engine = host.engine(["rb2501"])
    for n in range(1000):
        engine.push_ReqOrderInsert("InputOrder", host.records.InputOrderField(
            InstrumentID="rb2501", Direction="0" if n % 2 else "1", LimitPrice=3000.0 + n % 7, OrderStatus="3"))
    # Every order rests: the buys are limited below the price, the sells far above it.
    for order in engine.get_ReqOrderList("rb2501"):
        if order["Direction"] == "1":
            order["LimitPrice"] = 9999.0
    table = engine.instrument_req_order_dict
    calls = 1000

    def run():
        for _ in range(calls):
            engine.SimNow(INVESTOR, "rb2501", 3500.0, 1)

    def floor():
        # The orders' reads and comparisons up to the test that fails.
        price = 3500.0
        for _ in range(calls):
            for order in table.get("rb2501"):
                if order["Direction"] == "0":
                    if price <= order["LimitPrice"]:
                        raise AssertionError("a resting order would fill")
                elif order["Direction"] == "1":
                    if price >= order["LimitPrice"]:
                        raise AssertionError("a resting order would fill")

    return ("SimNow over 1,000 resting orders",) + tuple(medians([run, floor], calls, repeat))


def statmd_row(host, repeat):
    engine = host.engine(["rb2501"])
    factor = engine.instrument_attr_dict["rb2501"]
    stream = [t for _, t in ticks(["rb2501"], 50000)]

    def run():
        stat = engine.statMD
        for tick in stream:
            stat(factor, tick)

    def floor():
        # statMD's dictionary reads and writes, in its order, without the comparisons and
        # the arithmetic: each write stores a value read (into a copy, to leave the
        # engine's dictionary as it is; the books keep their entries).
        shadow = dict(factor)
        for tick in stream:
            previous = factor["LastPrice"]
            price = tick["LastPrice"]
            shadow["LastPrice_Cur_Up"] = factor["LastPrice_Cur_Up"]
            shadow["LastPrice_Acc_Up"] = factor["LastPrice_Acc_Up"]
            shadow["order_acc_up"] = factor["order_acc_up"]
            shadow["LastPrice_Cur_Keep"] = previous
            shadow["LastPrice_Cur_Down"] = previous
            volume = tick["Volume"]
            shadow["vol_diff"] = factor["Volume"]
            shadow["order_TradeVolume"] = factor["order_TradeVolume"]
            shadow["vol_diff"] = factor["vol_diff"]
            book = factor["trade_book"]
            book[price] = book[price]
            volume = factor["vol_diff"]
            shadow["trade_book"] = book
            for price_key, volume_key, sum_key, order_sum_key, book_key in QUOTE_KEYS:
                price = tick[price_key]
                shadow[price_key] = price
                volume = tick[volume_key]
                shadow[volume_key] = volume
                shadow[sum_key] = factor[sum_key]
                shadow[order_sum_key] = factor[order_sum_key]
                book = factor[book_key]
                book[price] = book[price]
                shadow[book_key] = book

    return ("statMD",) + tuple(medians([run, floor], len(stream), repeat))


QUOTE_KEYS = (("BidPrice1", "BidVolume1", "BidVolume", "order_BidVolume", "bid_order_book"),
              ("AskPrice1", "AskVolume1", "AskVolume", "order_AskVolume", "ask_order_book"))


def calc_rows(host, repeat):
    engine = host.engine(["rb2501"])
    for _, tick in ticks(["rb2501"], 3):
        engine.push_md2trade(INVESTOR, "rb2501", tick)
    attrs = engine.instrument_attr_dict["rb2501"]
    one = STRATEGY["buy_open_express"]
    many = ["LastPrice + %d > AskPrice1" % n for n in range(100)]
    compiled_one = compile(one, "<string>", "eval")
    compiled_many = [compile(text, "<string>", "eval") for text in many]
    calls = 100000

    def run_one():
        calc = engine.Calc_Express
        for _ in range(calls):
            calc("rb2501", one)

    def floor_one():
        for _ in range(calls):
            eval(compiled_one, attrs)

    def run_many():
        calc = engine.Calc_Express
        for n in range(calls):
            calc("rb2501", many[n % 100])

    def floor_many():
        for n in range(calls):
            eval(compiled_many[n % 100], attrs)

    return [
        ("Calc_Express, one repeated text",) + tuple(medians([run_one, floor_one], calls, repeat)),
        ("Calc_Express, 100 distinct texts",) + tuple(medians([run_many, floor_many], calls, repeat)),
    ]


def read_sample(path, records):
    """The sample session's ticks as (instrument, tick, calendar seconds), read as the replay
    reads them."""
    from brindle_tools.feed.inputs import field_types
    from brindle_tools.feed.ticks import TickSource

    return [(tick["InstrumentID"], tick, seconds)
            for seconds, _, _, _, tick, _ in TickSource([str(path)], field_types(records.DepthMarketDataField))]


def replay_loop(sample, repeat):
    """The bare push_md2trade loop over the ticks of a sample file, with the engine set up as
    the replay sets it up (its clock, every instrument with a strategy, a position reported
    in each, no database). The host's modules must have been imported by a replay before."""
    from brindle_tools.replay.client import Clock
    from brindle_tools.feed.inputs import read_instruments

    brindle = importlib.import_module("oxa.Brindle")
    records = importlib.import_module("oxa.py_ApiStructure")
    settings = importlib.import_module("cfg.oxa_can_change_env")
    env = importlib.import_module("cfg.oxa_env")
    env.logger = logging.getLogger("oxa.bench")
    env.logger.disabled = True
    stream = read_sample(sample, records)
    strategies = settings.AI_Strategy[INVESTOR]
    engine = brindle.COXAAlgos()
    engine.upload = 0
    engine.updateFactor = lambda: None
    catalogue = read_instruments(REPO / "samples" / "instruments.csv", records.InstrumentField)
    for instrument, (_, fields) in catalogue.items():
        if instrument in strategies:
            engine.push_OnRspQryInstrument("Instrument", records.InstrumentField(**fields))
            engine.push_InstrumentAttr(instrument, dict(settings.Strategy_Parameters))
            engine.push_OnRspQryInvestorPosition("InvestorPosition", records.InvestorPositionField(
                InstrumentID=instrument, PosiDirection="2", Position=1))
    clock = Clock()
    brindle.datetime = clock
    return TickLoop(engine, stream, strategies, OPEN_ACTIONS + CLOSE_ACTIONS, settings, repeat, clock)


def sample_session(args):
    """The sample replay end to end (its command line, in this process, without the chart),
    the bare push_md2trade loop over the same ticks with the engine set up as the replay sets
    it up (its clock, both instruments, a position reported in each) and the loop's floor.
    Run in a process of its own: the replay imports the sample host's settings module."""
    sys.path.insert(0, str(REPO))
    from brindle_tools.commands.replay import main as replay_main

    work = Path(tempfile.mkdtemp(prefix="oxa-bench-sample-"))
    try:
        sample = work / "ticks.csv"
        subprocess.run([sys.executable, "-m", "brindle_tools", "sample", str(sample)], cwd=REPO, check=True,
                       stdout=subprocess.DEVNULL)
        replay_argv = [str(sample), "--no-chart", "--out", str(work / "out")]

        def replay():
            with contextlib.redirect_stdout(io.StringIO()):
                if replay_main(replay_argv) != 0:
                    raise RuntimeError("the sample replay failed")

        replay()  # imports the host's modules, as the replay does
        loop = replay_loop(sample, args.repeat)
        stream = loop.stream
        replayed, bare, floor = medians([replay, loop.engine_run(), loop.floor_run()], len(stream), args.repeat)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return {"rows": [("sample replay, end to end (vs the bare loop)", replayed, bare),
                     ("sample: push_md2trade as the replay sets it up", bare, floor)],
            "lines": ["sample replay: %d ticks in %.3f s, %.0f ticks/s; the bare push_md2trade loop %.0f ticks/s, "
                      "its floor %.0f ticks/s" % (len(stream), replayed * len(stream), 1 / replayed, 1 / bare,
                                                 1 / floor)]}


def sample_session_in_child(args):
    command = [sys.executable, __file__, "--sample-session", "--repeat", str(args.repeat)]
    done = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout.splitlines()[-1])


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def memory_line(host, count):
    instruments = ["rb2501"]
    host.use_settings(instruments)
    engine = host.engine(instruments, position=True)
    stream = ticks(instruments, 10000)
    push = engine.push_md2trade
    warm = 100_000
    for n in range(warm):
        instrument, tick = stream[n % len(stream)]
        push(INVESTOR, instrument, dict(tick))
    gc.collect()
    before = rss_kib()
    for n in range(count):
        instrument, tick = stream[n % len(stream)]
        push(INVESTOR, instrument, dict(tick))
    gc.collect()
    after = rss_kib()
    return ("memory: %d ticks after %d warm-up ticks: resident %d KiB -> %d KiB (%+d KiB)"
            % (count, warm, before, after, after - before))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--ticks", type=int, default=10000)
    parser.add_argument("--memory", type=int, default=0, metavar="TICKS",
                        help="also run TICKS ticks and report the growth of resident memory")
    parser.add_argument("--sample-session", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.sample_session:
        print(json.dumps(sample_session(args)))
        return
    sample = sample_session_in_child(args)
    host = Host(instrument_ids(1))
    try:
        rows = [tuple(row) for row in sample["rows"]] + tick_rows(host, args)
        rows += ingestion_rows(host, args.repeat)
        rows.append(simnow_row(host, args.repeat))
        rows.append(statmd_row(host, args.repeat))
        rows += calc_rows(host, args.repeat)
        details = first_scenario_details(host, args)
        memory = memory_line(host, args.memory) if args.memory else None
    finally:
        host.close()
    print("bytecode cache %s (PYTHONDONTWRITEBYTECODE %s), median of %d repetitions"
          % ("off" if sys.dont_write_bytecode else "on", "set" if sys.dont_write_bytecode else "unset",
             args.repeat))
    print("%-42s %13s %13s %8s" % ("scenario", "engine", "floor", "ratio"))
    for name, measured, floor in rows:
        print("%-42s %10.2f us %10.2f us %7.2fx" % (name, measured * 1e6, floor * 1e6, measured / floor))
    for line in sample["lines"] + details:
        print(line)
    if memory:
        print(memory)


if __name__ == "__main__":
    main()
