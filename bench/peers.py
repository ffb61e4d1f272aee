"""Backtesting libraries that traders use, driven with the sample strategy's rule for rb2501
over the same ticks, for bench/native.py.

Each library is installed, at a pinned version, into a virtual environment of its own under
build/peers/ (never into the interpreter that runs the benchmark), and each runs in a worker
process of that environment's interpreter. The rule, on every tick, as the sample host's
settings state it for rb2501 (open_ticks 3, close_ticks 2):
- open long after open_ticks rising last prices in a row with traded volume (and an ask),
  open short after open_ticks falling ones with traded volume (and a bid);
- while long, close after close_ticks falling last prices (and a bid); while short, after
  close_ticks rising ones (and an ask); one lot per order.
Each library gets the ticks as the bars it takes (every price the last price; the volume the
lots traded since the previous tick; the best bid and ask beside them). What is measured is
its whole run over the prepared data: building the run, its event loop (or its vectorised
simulation) and the figures it ends with; not importing it, nor preparing the data.

This module imports nothing outside the standard library at the top: the same file runs in
the benchmark's interpreter and in the peers' environments.
"""
import csv
import datetime
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
ENVIRONMENT = REPO / "build" / "peers"
OPEN_TICKS, CLOSE_TICKS = 3, 2  # the sample host's Strategy_Parameters
INSTRUMENT = "rb2501"
# The libraries they need are pinned too, so that a later run measures the same code (peer B
# predates pandas 3, peer C needs it).
PANDAS_2 = ("numpy==2.4.6", "pandas==2.3.3")


class Peer:
    def __init__(self, label, package, version, kind, requirements):
        self.label, self.package, self.version, self.kind = label, package, version, kind
        self.requirements = ("%s==%s" % (package, version),) + requirements

    @property
    def name(self):
        return "%s==%s" % (self.package, self.version)

    @property
    def python(self):
        return ENVIRONMENT / self.package / "bin" / "python"


PEERS = (
    Peer("A", "backtrader", "1.9.78.123", "pure Python, event loop per bar", PANDAS_2),
    Peer("B", "backtesting", "0.6.6", "Python event loop per bar over NumPy arrays", PANDAS_2),
    Peer("C", "vectorbt", "1.2.0", "vectorised NumPy signals, Numba simulation",
         ("numpy==2.4.6", "pandas==3.1.2", "numba==0.68.1")),
)


def installed(peer):
    """Install the peer's pinned packages into its environment when they are not there; gives
    None, or why the peer cannot be measured."""
    if peer.python.exists():
        check = subprocess.run([str(peer.python), "-c", "import importlib.metadata as m, sys; "
                                "sys.exit(any(m.version(r.split('==')[0]) != r.split('==')[1] for r in sys.argv[1:]))"]
                               + list(peer.requirements), capture_output=True)
        if check.returncode == 0:
            return None
    else:
        made = subprocess.run([sys.executable, "-m", "venv", str(peer.python.parent.parent)], capture_output=True,
                              text=True)
        if made.returncode:
            return "no virtual environment: %s" % last_line(made.stderr)
    print("installing %s into %s ..." % (" ".join(peer.requirements), peer.python.parent.parent), file=sys.stderr)
    done = subprocess.run([str(peer.python), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                           "--timeout", "30", "--retries", "1"] + list(peer.requirements),
                          capture_output=True, text=True)
    if done.returncode:
        return "pip could not install it (is the package index reachable?): %s" % last_line(done.stderr)
    return None


def last_line(text):
    lines = [line for line in text.splitlines() if line.strip() and not line.startswith("WARNING: Location")]
    errors = [line for line in lines if line.startswith("ERROR")]
    return (errors or lines or ["no message"])[-1].strip()


def write_ticks(sample, path):
    """The instrument's ticks of a sample file as the peers read them: calendar time, last
    price, lots traded since the previous tick (0 after the volume went down, at a new
    trading day), best bid, best ask. Gives the number of ticks."""
    count = 0
    previous = None
    with open(sample, newline="") as source, open(path, "w", newline="") as target:
        out = csv.writer(target)
        out.writerow(("time", "last", "traded", "bid", "ask"))
        for row in csv.DictReader(source):
            if row["InstrumentID"] != INSTRUMENT:
                continue
            volume = int(row["Volume"])
            traded = 0 if previous is None or volume < previous else volume - previous
            previous = volume
            when = datetime.datetime.strptime(row["ActionDay"] + row["UpdateTime"], "%Y%m%d%H:%M:%S") \
                + datetime.timedelta(milliseconds=int(row["UpdateMillisec"]))
            out.writerow((when.strftime("%Y-%m-%d %H:%M:%S.%f"), row["LastPrice"], traded, row["BidPrice1"],
                          row["AskPrice1"]))
            count += 1
    return count


class Runs:
    """The rule's running counts of rising and falling last prices (a flat tick ends both)."""

    def __init__(self):
        self.up = self.down = 0
        self.previous = 0.0

    def update(self, price):
        if price > self.previous:
            self.up, self.down = self.up + 1, 0
        elif price < self.previous:
            self.up, self.down = 0, self.down + 1
        else:
            self.up = self.down = 0
        self.previous = price

    def orders(self, price, traded, bid, ask, held):
        """The sample rule on one bar: the one-lot orders it places, "buy" or "sell"."""
        self.update(price)
        made = []
        if self.up >= OPEN_TICKS and traded > 0 and ask > 0:
            made.append("buy")
        if self.down >= OPEN_TICKS and traded > 0 and bid > 0:
            made.append("sell")
        if held > 0 and self.down >= CLOSE_TICKS and bid > 0:
            made.append("sell")
        elif held < 0 and self.up >= CLOSE_TICKS and ask > 0:
            made.append("buy")
        return made


def frame(path):
    import pandas

    data = pandas.read_csv(path, parse_dates=["time"], index_col="time")
    bars = pandas.DataFrame({"Open": data["last"], "High": data["last"], "Low": data["last"], "Close": data["last"],
                             "Volume": data["traded"].astype(float), "Bid": data["bid"], "Ask": data["ask"]},
                            index=data.index)
    return bars


def backtrader_run(bars):
    import backtrader

    # Its fastest pandas feed (rows by itertuples, not looked up one by one); the fields are
    # the positions in a row, the index first.
    class Feed(backtrader.feeds.PandasDirectData):
        lines = ("bid", "ask")
        params = (("openinterest", -1), ("bid", 6), ("ask", 7))

    class Rule(backtrader.Strategy):
        def __init__(self):
            self.runs = Runs()

        def next(self):
            # An order placed here fills on a later bar: the position is the same before it.
            data = self.data
            for side in self.runs.orders(data.close[0], data.volume[0], data.bid[0], data.ask[0], self.position.size):
                getattr(self, side)(size=1)

    def run():
        # Its leanest set-up: no observers, no analysers.
        cerebro = backtrader.Cerebro(stdstats=False)
        cerebro.adddata(Feed(dataname=bars))
        cerebro.addstrategy(Rule)
        cerebro.broker.setcash(1e9)
        cerebro.run()
        return cerebro.broker.getvalue()

    return run


def backtesting_run(bars):
    import backtesting

    class Rule(backtesting.Strategy):
        def init(self):
            self.runs = Runs()

        def next(self):
            data = self.data
            for side in self.runs.orders(data.Close[-1], data.Volume[-1], data.Bid[-1], data.Ask[-1],
                                         self.position.size):
                getattr(self, side)(size=1)

    def run():
        return backtesting.Backtest(bars, Rule, cash=1e9, finalize_trades=True).run()["Equity Final [$]"]

    return run


def vectorbt_run(bars):
    import numpy
    import vectorbt

    def run_lengths(mask):
        """For every tick, how many ticks in a row up to it the mask holds."""
        index = numpy.arange(len(mask))
        return index - numpy.maximum.accumulate(numpy.where(mask, -1, index))

    def run():
        price = bars["Close"].to_numpy()
        before = numpy.concatenate(([0.0], price[:-1]))
        up, down = run_lengths(price > before), run_lengths(price < before)
        traded, bid, ask = bars["Volume"].to_numpy() > 0, bars["Bid"].to_numpy() > 0, bars["Ask"].to_numpy() > 0
        portfolio = vectorbt.Portfolio.from_signals(
            bars["Close"], entries=(up >= OPEN_TICKS) & traded & ask, exits=(down >= CLOSE_TICKS) & bid,
            short_entries=(down >= OPEN_TICKS) & traded & bid, short_exits=(up >= CLOSE_TICKS) & ask,
            size=1, init_cash=1e9, accumulate=True, freq="500ms")
        return portfolio.total_profit()

    return run


DRIVERS = {"backtrader": backtrader_run, "backtesting": backtesting_run, "vectorbt": vectorbt_run}


def prepare(package, path):
    """The measured run of a peer over the ticks of path: a function giving its figures."""
    import warnings

    warnings.simplefilter("ignore")  # the libraries' notes on the data are not the benchmark's
    bars = frame(path)
    drive = DRIVERS[package](bars)
    count = len(bars)

    def measured(clock):
        started = clock()
        drive()
        return {"run": clock() - started, "ticks": count}

    return measured

