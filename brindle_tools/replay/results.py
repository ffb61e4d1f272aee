"""What a replay found, collected as it goes: the counts, the account, each instrument's
view, the trading days, the database's share, and the chart's series. The report and the
chart take these, not the client."""
from array import array


class Totals:
    def __init__(self):
        self.ticks = 0
        self.decisions = dict.fromkeys(("buy_open", "sell_open", "buy_close", "sell_close"), 0)
        self.placed = self.filled = self.fills = self.cancelled = self.expired = 0
        self.nothing_to_close = self.not_sent = 0
        self.skipped = {}  # instrument -> ticks skipped: no strategy for it
        self.went_back = [0, None]  # ticks earlier than their instrument's previous one: count, first
        self.repeated = [0, None]  # exact repeats of their instrument's previous tick: count, first
        self.unavailable = {}  # instrument -> [ticks skipped, reason]: no instrument record
        self.volume_resets = [0, None]  # ticks whose cumulative volume went down: count, first
        self.refused = {}  # reason -> [decisions an exchange would refuse, not sent; first]
        self.funds_refused = [0, None]  # opening orders the broker refused for their funds: count, first


class Series:
    """The chart's series: one point per minute of market time in which ticks arrived, with
    the equity at its end, its lowest and highest, its deepest drawdown and the margin held
    at its end."""

    def __init__(self):
        self.minute = None
        self.point = -1  # the current point
        self.minutes = array("d")
        self.equity = array("d")
        self.low, self.high, self.drawdown, self.margin = array("d"), array("d"), array("d"), array("d")
        self.day_starts = []  # (first point, trading day)

    def new_point(self, minute, account):
        self.close_point(account)
        self.minute = minute
        self.point = len(self.minutes)
        self.minutes.append(minute)
        self.equity.append(account.equity)

    def close_point(self, account):
        """The point of the minute that ends: its last equity, its extremes (the margin's
        share of the equity among them)."""
        account.follow_margin()
        if self.equity:
            self.equity[-1] = account.equity
            low, high, deepest = account.take_extremes()
            self.low.append(low)
            self.high.append(high)
            self.drawdown.append(-deepest)
            self.margin.append(account.margin)

    def new_day(self, day):
        self.day_starts.append((len(self.minutes), day))


class Results:
    def __init__(self, investor, account, database=None):
        self.investor = investor
        self.account = account
        self.totals = Totals()
        self.instruments = {}  # InstrumentID -> the client's view of it (client.Instrument)
        self.trading_days = []
        self.series = Series()
        self.fill_model = None  # the name of the fill model
        self.database = database  # description of the database with --db
        self.database_seconds = 0.0
        self.database_failures = []  # what failed on the database, first few
        self.withheld = None  # the pre-trade limits applied and what they withheld (limits.Withheld)
        self.engine = "exact"  # the road the ticks took, as the summary names it
        self.layouts = []  # (file, layout) of the input files read without a header line
        # (strategy key or logged message, InstrumentID) -> [errors, first error, where it was first]
        self.strategy_errors = {}

    def strategy_failures(self):
        """One line per failing key and instrument: its count, where it first failed and why."""
        return ["%s of %s: %s error%s, first at %s: %s" % (key, instrument, "{:,}".format(count), "s" * (count > 1),
                                                           where, error)
                for (key, instrument), (count, error, where) in self.strategy_errors.items()]
