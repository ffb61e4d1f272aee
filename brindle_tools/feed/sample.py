"""The sample session: one day session of two steel futures on the Shanghai exchange's
price grid, ticks every half second at most, written the same for a given seed on every
machine (the generator draws only uniform numbers from a seeded generator).

    brindle-sample [FILE] [--seed N]      (default FILE: samples/ticks.csv)
    brindle-sample --days N FILE          N trading days from Thursday 2024-11-07 on,
                                                    each a night session from 21:00 to 01:00 of
                                                    the evening before (Friday's for Monday) and
                                                    the day session
    brindle-sample --instruments N ...    rb2501, hc2501 and N - 2 made-up instruments
                                                    (aa2501, ab2501, ...), interleaved; the
                                                    market's ticks stay about those of the two
    brindle-sample --ticks-per-instrument T ...
                                                    instruments of T ticks a trading day on
                                                    average, so that the market's grow with
                                                    its instruments (a real market's day: 6,500)
"""
import argparse
import csv
import datetime
import itertools
import math
import os
import random
import shutil
import string
import sys
from pathlib import Path

from ..common.errors import shown
from ..common.places import INSTALLED, SAMPLE_HOST, SAMPLES

TRADING_DAY = "20241105"
SESSIONS = (("09:00:00", "10:15:00"), ("10:30:00", "11:30:00"), ("13:30:00", "15:00:00"))
NIGHT = (("21:00:00", "24:00:00"), ("00:00:00", "01:00:00"))
FIRST_OF_DAYS = datetime.date(2024, 11, 7)
DEFAULT_SEED = 20241105
MOST_INSTRUMENTS = 2 + 26 * 26 - 2  # rb2501, hc2501 and the made-up IDs of two letters
COLUMNS = ("TradingDay", "InstrumentID", "ExchangeID", "LastPrice", "PreSettlementPrice", "OpenPrice",
           "HighestPrice", "LowestPrice", "Volume", "Turnover", "OpenInterest", "UpperLimitPrice",
           "LowerLimitPrice", "UpdateTime", "UpdateMillisec", "BidPrice1", "BidVolume1", "AskPrice1",
           "AskVolume1", "AveragePrice", "ActionDay")


class Contract:
    """One instrument's market: a book one or two ticks wide that moves a tick at a time,
    trades at its bid or its ask, and a cumulative volume."""

    def __init__(self, rng, instrument, settlement, multiple, activity, opening_volume, open_interest):
        self.rng = rng
        self.instrument = instrument
        self.settlement = float(settlement)
        self.multiple = multiple
        self.activity = activity  # chance of a tick in a half second
        self.bid = settlement - 2
        self.spread = 1
        self.last = float(self.bid + 1)
        self.open = self.high = self.low = self.last
        self.volume = opening_volume
        self.turnover = opening_volume * self.last * multiple
        self.open_interest = open_interest
        self.drift = 0.0
        # Exchange price limits: 7% around the previous settlement, on the grid.
        self.upper = float(math.floor(settlement * 1.07))
        self.lower = float(math.ceil(settlement * 0.93))

    def exponential(self, mean):
        return int(-mean * math.log(1.0 - self.rng.random()))

    def step(self):
        """Advance the market by one tick; False when nothing was published."""
        rng = self.rng
        if rng.random() >= self.activity:
            return False
        if rng.random() < 0.002:  # the trend changes now and then
            self.drift = (rng.random() - 0.5) * 0.04
        traded = 0 if rng.random() < 0.15 else 1 + self.exponential(24)
        move = rng.random()
        # The book stays within the day's price limits, as an exchange keeps it.
        if traded and move < 0.09 + self.drift and self.bid + 2 < self.upper:
            self.bid += 1
        elif traded and move > 0.91 + self.drift and self.bid > self.lower:
            self.bid -= 1
        self.spread = 2 if rng.random() < 0.06 else 1
        if traded:
            buyer = rng.random() < 0.5 + self.drift * 4
            self.last = float(self.bid + self.spread if buyer else self.bid)
            self.high, self.low = max(self.high, self.last), min(self.low, self.last)
            self.volume += traded
            self.turnover += traded * self.last * self.multiple
            self.open_interest += int((rng.random() - 0.5) * traded)
        return True

    def row(self, time, millisecond, trading_day=TRADING_DAY, action_day=TRADING_DAY):
        return (trading_day, self.instrument, "SHFE", self.last, self.settlement, self.open, self.high, self.low,
                self.volume, self.turnover, float(self.open_interest), self.upper, self.lower, time, millisecond,
                float(self.bid), 1 + self.exponential(160), float(self.bid + self.spread), 1 + self.exponential(160),
                round(self.turnover / self.volume, 2), action_day)

    def new_day(self, opening_volume):
        """A trading day begins: the last price settles, the volume counts from the opening again."""
        self.settlement = self.last
        self.open = self.high = self.low = self.last
        self.volume = opening_volume
        self.turnover = opening_volume * self.last * self.multiple
        self.upper = float(math.floor(self.settlement * 1.07))
        self.lower = float(math.ceil(self.settlement * 0.93))


def half_seconds(sessions=SESSIONS):
    """(UpdateTime, UpdateMillisec) of every half second of the sessions."""
    for start, end in sessions:
        first, last = (int(t[0:2]) * 3600 + int(t[3:5]) * 60 + int(t[6:8]) for t in (start, end))  # 24:00: midnight
        for second in range(first, last):
            text = "%02d:%02d:%02d" % (second // 3600, second // 60 % 60, second % 60)
            yield text, 0
            yield text, 500


def instrument_ids(count):
    """rb2501, hc2501, then made-up IDs of two letters (aa2501, ab2501, ...)."""
    made_up = ("%s%s2501" % (a, b) for a in string.ascii_lowercase for b in string.ascii_lowercase)
    return ["rb2501", "hc2501", *itertools.islice((i for i in made_up if i not in ("rb2501", "hc2501")), count - 2)]


# The activity of rb2501 and hc2501, whose mean the others' alternating share.
MEAN_ACTIVITY = (0.8 + 0.55) / 2


def market(rng, count=2, per_instrument=None, half_second_count=None):
    """The contracts of a market of count instruments: rb2501 and hc2501 as in the sample, the
    others alike; the activity spread among them, so that the market's ticks stay about those
    of the two, or each about per_instrument ticks in the half_second_count of a day."""
    scale = 2 / count if per_instrument is None else per_instrument / (MEAN_ACTIVITY * half_second_count)
    contracts = [Contract(rng, "rb2501", 3521, 10, 0.8 * scale, 18604, 1843210),
                 Contract(rng, "hc2501", 3677, 10, 0.55 * scale, 6120, 1021345)]
    for number, instrument in enumerate(instrument_ids(count)[2:]):
        contracts.append(Contract(rng, instrument, 3000 + 37 * number, 10, (0.8 if number % 2 else 0.55) * scale,
                                  6000 + 101 * number, 1000000 + 1009 * number))
    return contracts


def day_half_seconds(days):
    """The half seconds of a trading day, with its night session or without."""
    return sum(1 for _ in half_seconds(SESSIONS + (NIGHT if days is not None else ())))


def session(seed, count=2, per_instrument=None):
    rng = random.Random(seed)
    contracts = market(rng, count, per_instrument, day_half_seconds(None))
    for time, millisecond in half_seconds():
        for contract in contracts:
            if contract.step():
                yield contract.row(time, millisecond)


def trading_days(count):
    """(trading day, evening before it) of count weekdays from FIRST_OF_DAYS on."""
    day, previous = FIRST_OF_DAYS, FIRST_OF_DAYS - datetime.timedelta(days=1)
    for _ in range(count):
        yield day, previous
        previous = day
        day += datetime.timedelta(days=3 if day.weekday() == 4 else 1)


def days_session(seed, count, instruments=2, per_instrument=None):
    """Night and day sessions of count trading days; ActionDay is the calendar day."""
    rng = random.Random(seed)
    contracts = market(rng, instruments, per_instrument, day_half_seconds(count))
    for number, (day, evening) in enumerate(trading_days(count)):
        trading_day = day.strftime("%Y%m%d")
        if number:
            for contract in contracts:
                contract.new_day(1 + contract.exponential(400))
        for sessions, action_day in ((NIGHT[:1], evening), (NIGHT[1:], evening + datetime.timedelta(days=1)),
                                     (SESSIONS, day)):
            action = action_day.strftime("%Y%m%d")
            for time, millisecond in half_seconds(sessions):
                for contract in contracts:
                    if contract.step():
                        yield contract.row(time, millisecond, trading_day, action)


def write(path, seed, days=None, instruments=2, per_instrument=None):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(".%s.partial" % path.name)
    with open(partial, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(COLUMNS)
        count = 0
        rows = (session(seed, instruments, per_instrument) if days is None
                else days_session(seed, days, instruments, per_instrument))
        for row in rows:
            writer.writerow(row)
            count += 1
    os.replace(partial, path)
    return count


def market_host(directory, count):
    """A copy of the sample host whose investor trades each of count instruments with rb2501's
    strategy, and the instrument file of them (directory/instruments.csv, rb2501's record with
    each ID); gives (host, instrument file)."""
    directory = Path(directory)
    host = directory / "host"
    shutil.copytree(SAMPLE_HOST, host, ignore=shutil.ignore_patterns("log", "__pycache__"))
    ids = instrument_ids(count)
    settings = host / "cfg" / "oxa_can_change_env.py"
    settings.write_text(settings.read_text(encoding="utf-8") + "\n# The made-up instruments trade as rb2501.\n"
                        "for _id in %r:\n"
                        "    AI_Strategy['00001'].setdefault(_id, dict(AI_Strategy['00001']['rb2501']))\n"
                        % (ids,), encoding="utf-8")
    with open(SAMPLES / "instruments.csv", newline="", encoding="utf-8") as given:
        rows = list(csv.DictReader(given))
    model = next(row for row in rows if row["InstrumentID"] == "rb2501")
    instruments = directory / "instruments.csv"
    with open(instruments, "w", newline="", encoding="utf-8") as out:
        writer = csv.DictWriter(out, list(model), lineterminator="\n")
        writer.writeheader()
        for instrument_id in ids:
            writer.writerow(dict(model, InstrumentID=instrument_id, ExchangeInstID=instrument_id,
                                 InstrumentName=instrument_id, ProductID=instrument_id[:2]))
    return host, instruments


def main(argv=None):
    parser = argparse.ArgumentParser(prog="brindle-sample", description=__doc__.split("\n\n")[0])
    # Installed, the package's own directory is no place for a user's file.
    default = "ticks.csv" if INSTALLED else str(SAMPLES / "ticks.csv")
    parser.add_argument("file", nargs="?", default=default, help="tick file to write (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED, help="seed of the generator (default %(default)s)")
    parser.add_argument("--days", type=int, help="trading days with night sessions instead of the one day session")
    parser.add_argument("--instruments", type=int, default=2,
                        help="instruments of the market, 2 or more (default: rb2501 and hc2501)")
    parser.add_argument("--ticks-per-instrument", type=int, metavar="T",
                        help="T ticks a trading day of an instrument on average (default: the market's ticks "
                             "about those of rb2501 and hc2501 alone)")
    args = parser.parse_args(argv)
    if args.days is not None and args.days < 1:
        parser.error("argument --days: %d is not a number of days" % args.days)
    if not 2 <= args.instruments <= MOST_INSTRUMENTS:
        parser.error("argument --instruments: %d is not from 2 to %d" % (args.instruments, MOST_INSTRUMENTS))
    most = int(day_half_seconds(args.days) * MEAN_ACTIVITY / 0.8)  # rb2501 then ticks every half second
    if args.ticks_per_instrument is not None and not 1 <= args.ticks_per_instrument <= most:
        parser.error("argument --ticks-per-instrument: %d is not from 1 to %d" % (args.ticks_per_instrument, most))
    count = write(args.file, args.seed, args.days, args.instruments, args.ticks_per_instrument)
    names = "rb2501 and hc2501" if args.instruments == 2 else "%d instruments" % args.instruments
    if args.days is None:
        print("%s: %d ticks of %s, trading day %s" % (shown(args.file), count, names, TRADING_DAY))
    else:
        days = [d.strftime("%Y%m%d") for d, _ in trading_days(args.days)]
        print("%s: %d ticks of %s, trading days %s, each with its night session"
              % (shown(args.file), count, names, ", ".join(days)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
