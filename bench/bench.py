"""Speed of the engine's operations against the least Python work each one must do.

For every scenario the table gives the median time per operation over several
repetitions, the FLOOR measured in the same run, and their ratio. The floor is the work an
operation cannot avoid by its definition: for a tick, executing the settings module's code
object in its own dictionary (what re-executing it must at least do), evaluating the same
pre-compiled expressions in the attribute dictionary and one dict.update of the tick; for
the others, their dictionary operations alone.

    python3 bench/bench.py [--repeat N] [--memory TICKS]
"""
import argparse
import gc
import importlib
import logging
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
INVESTOR = "00001"
PRICES = [3500 + step for step in range(-20, 21)]  # a bounded set of price levels

STRATEGY = {
    "buy_open_express": "LastPrice_Cur_Up >= 3 and vol_diff > 0 and AskPrice1 > 0",
    "buy_open_price": "AskPrice1",
    "buy_open_vol": 1,
    "sell_open_express": "LastPrice_Cur_Down >= 3 and vol_diff > 0 and BidPrice1 > 0",
    "sell_open_price": "BidPrice1",
    "sell_open_vol": 1,
    "buy_close_express": "LastPrice_Cur_Up >= 2 and AskPrice1 > 0",
    "buy_close_price": "AskPrice1 + PriceTick",
    "buy_close_vol": 1,
    "sell_close_express": "LastPrice_Cur_Down >= 2 and BidPrice1 > 0",
    "sell_close_price": "BidPrice1 - PriceTick",
    "sell_close_vol": 1,
}
CONDITIONS = ("buy_open_express", "sell_open_express")
CLOSE_CONDITIONS = ("buy_close_express", "sell_close_express")


def settings_source(instruments):
    zero = (
        "LastPrice Volume LastPrice_Cur_Up LastPrice_Acc_Up order_acc_up LastPrice_Cur_Keep "
        "LastPrice_Acc_Keep order_acc_keep LastPrice_Cur_Down LastPrice_Acc_Down order_acc_down "
        "order_TradeVolume BidVolume order_BidVolume AskVolume order_AskVolume vol_diff order_price"
    ).split()
    return "AI_Strategy = %r\nReal_Fresh_Factor = 0\nupdate_factor_period = 60\nInit_Factor_Zero = %r\n" % (
        {INVESTOR: {instrument: STRATEGY for instrument in instruments}},
        tuple(zero),
    )


def instrument_ids(count):
    return ["rb%04d" % (2501 + n) for n in range(count)]


class Host:
    """A copy of the sample host in a temporary directory, with the module imported."""

    def __init__(self, instruments):
        self.root = Path(tempfile.mkdtemp(prefix="oxa-bench-"))
        shutil.copytree(REPO / "host", self.root, dirs_exist_ok=True)
        (self.root / "cfg" / "oxa_can_change_env.py").write_text(settings_source(instruments))
        os.chdir(self.root)
        sys.path[:0] = [str(self.root), str(REPO)]
        self.brindle = importlib.import_module("oxa.Brindle")
        self.records = importlib.import_module("oxa.py_ApiStructure")
        self.settings = importlib.import_module("cfg.oxa_can_change_env")
        env = importlib.import_module("cfg.oxa_env")
        env.logger = logging.getLogger("oxa.bench")
        env.logger.disabled = True

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
            if position:
                engine.push_OnRspQryInvestorPosition(
                    "InvestorPosition",
                    self.records.InvestorPositionField(InstrumentID=instrument, PosiDirection="2", Position=1))
        return engine

    def settings_code(self):
        path = self.settings.__file__
        return compile(Path(path).read_text(), path, "exec")


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


def median_per_op(run, operations, repeat):
    samples = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        run()
        samples.append((time.perf_counter() - start) / operations)
    return statistics.median(samples)


def tick_scenario(host, instruments, position, count, repeat):
    host.use_settings(instruments)
    engine = host.engine(instruments, position)
    stream = ticks(instruments, count)
    fresh = [[(i, dict(t)) for i, t in stream] for _ in range(repeat + 1)]
    batches = iter(fresh)

    def engine_run():
        push = engine.push_md2trade
        for instrument, tick in next(batches):
            push(INVESTOR, instrument, tick)

    engine_run()  # warm-up
    measured = median_per_op(engine_run, count, repeat)

    code = host.settings_code()
    namespace = vars(host.settings)
    expressions = [compile(STRATEGY[key], "<string>", "eval")
                   for key in CONDITIONS + (CLOSE_CONDITIONS if position else ())]
    attrs = {i: dict(engine.instrument_attr_dict[i]) for i in instruments}
    floor_ticks = [[(i, dict(t)) for i, t in stream] for _ in range(repeat + 1)]
    floor_batches = iter(floor_ticks)

    def floor_run():
        for instrument, tick in next(floor_batches):
            exec(code, namespace)
            a = attrs[instrument]
            a.update(tick)
            for expression in expressions:
                eval(expression, a)

    floor_run()
    floor = median_per_op(floor_run, count, repeat)
    return measured, floor


def ingestion_scenario(host, repeat):
    records = host.records
    notifications = [records.OrderField(InstrumentID="rb2501", ExchangeID="SHFE", OrderSysID="%08d" % (n % 2000),
                                        OrderStatus="3", LimitPrice=3500.0) for n in range(20000)]
    requests = [records.InputOrderField(InstrumentID="rb2501", ExchangeID="SHFE", Direction="0",
                                        LimitPrice=3500.0, OrderStatus="3") for n in range(20000)]
    results = {}

    def orders_run():
        engine = host.engine([])
        for record in notifications:
            engine.push_OnRtnOrder("Order", record)

    def orders_floor():
        stored = {}
        for record in notifications:
            d = record.to_dict()
            existing = stored.get(d["OrderSysID"])
            if existing is None:
                stored[d["OrderSysID"]] = d
            else:
                existing.update(d)

    def requests_run():
        engine = host.engine([])
        for record in requests:
            engine.push_ReqOrderInsert("InputOrder", record)

    def requests_floor():
        stored = []
        for record in requests:
            stored.append(record.to_dict())

    results["order notifications (2,000 orders)"] = (median_per_op(orders_run, len(notifications), repeat),
                                                      median_per_op(orders_floor, len(notifications), repeat))
    results["order requests"] = (median_per_op(requests_run, len(requests), repeat),
                                 median_per_op(requests_floor, len(requests), repeat))
    return results


def simnow_scenario(host, repeat):
    engine = host.engine(["rb2501"])
    for n in range(1000):
        engine.push_ReqOrderInsert("InputOrder", host.records.InputOrderField(
            InstrumentID="rb2501", Direction="0" if n % 2 else "1", LimitPrice=3000.0 + n % 7, OrderStatus="3"))
    orders = engine.get_ReqOrderList("rb2501")
    calls = 200

    def run():
        for _ in range(calls):
            engine.SimNow(INVESTOR, "rb2501", 3500.0, 1)

    def floor():
        for _ in range(calls):
            for order in orders:
                order["Direction"], order["LimitPrice"], order["OrderStatus"]

    # Every order rests: the buys are limited below the price, the sells far above it.
    for order in orders:
        if order["Direction"] == "1":
            order["LimitPrice"] = 9999.0
    return median_per_op(run, calls, repeat), median_per_op(floor, calls, repeat)


def statmd_scenario(host, repeat):
    engine = host.engine(["rb2501"])
    factor = engine.instrument_attr_dict["rb2501"]
    stream = [t for _, t in ticks(["rb2501"], 20000)]
    reads = ("LastPrice", "Volume", "LastPrice_Cur_Up", "LastPrice_Acc_Up", "order_acc_up", "order_TradeVolume",
             "BidVolume", "order_BidVolume", "AskVolume", "order_AskVolume", "trade_book", "bid_order_book",
             "ask_order_book")

    def run():
        stat = engine.statMD
        for tick in stream:
            stat(factor, tick)

    def floor():
        for tick in stream:
            for key in reads:
                factor[key]
            factor.update(tick)

    return median_per_op(run, len(stream), repeat), median_per_op(floor, len(stream), repeat)


def calc_scenario(host, repeat):
    engine = host.engine(["rb2501"])
    for _, tick in ticks(["rb2501"], 3):
        engine.push_md2trade(INVESTOR, "rb2501", tick)
    attrs = engine.instrument_attr_dict["rb2501"]
    one = STRATEGY["buy_open_express"]
    many = ["LastPrice + %d > AskPrice1" % n for n in range(100)]
    compiled_one = compile(one, "<string>", "eval")
    compiled_many = [compile(text, "<string>", "eval") for text in many]
    calls = 20000
    results = {}

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

    results["Calc_Express, one repeated text"] = (median_per_op(run_one, calls, repeat),
                                                  median_per_op(floor_one, calls, repeat))
    results["Calc_Express, 100 distinct texts"] = (median_per_op(run_many, calls, repeat),
                                                   median_per_op(floor_many, calls, repeat))
    return results


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def memory_run(host, count):
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
    print("memory: %d ticks after %d warm-up ticks: resident %d KiB -> %d KiB (%+d KiB)"
          % (count, warm, before, after, after - before))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--ticks", type=int, default=5000)
    parser.add_argument("--memory", type=int, default=0, metavar="TICKS",
                        help="also run TICKS ticks and report the growth of resident memory")
    args = parser.parse_args()
    host = Host(instrument_ids(1))
    bytecode = "off" if sys.dont_write_bytecode else "on"
    rows = []
    one, fifty = instrument_ids(1), instrument_ids(50)
    rows.append(("1 tick, 1 instrument, no position",) + tick_scenario(host, one, False, args.ticks, args.repeat))
    rows.append(("1 tick, 1 instrument, with a position",) + tick_scenario(host, one, True, args.ticks, args.repeat))
    rows.append(("1 tick, 50 instruments interleaved",) + tick_scenario(host, fifty, False, args.ticks, args.repeat))
    rows += [(name,) + figures for name, figures in ingestion_scenario(host, args.repeat).items()]
    rows.append(("SimNow over 1,000 resting orders",) + simnow_scenario(host, args.repeat))
    rows.append(("statMD",) + statmd_scenario(host, args.repeat))
    rows += [(name,) + figures for name, figures in calc_scenario(host, args.repeat).items()]
    print("bytecode cache %s (PYTHONDONTWRITEBYTECODE %s), median of %d repetitions"
          % (bytecode, "set" if sys.dont_write_bytecode else "unset", args.repeat))
    print("%-42s %12s %12s %8s" % ("scenario", "engine", "floor", "ratio"))
    for name, measured, floor in rows:
        print("%-42s %10.2f us %10.2f us %7.2fx" % (name, measured * 1e6, floor * 1e6, measured / floor))
    if args.memory:
        memory_run(host, args.memory)


if __name__ == "__main__":
    main()
