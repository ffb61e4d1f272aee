"""The replaying client's account: per instrument the position that the fills make, its fees
and profit, and over the whole run the equity, its drawdown and the figures a trader judges
a strategy by.

Closing rule, by exchange (CLOSE_ORDERS, a table shipped with the tools that a file can go
over): named (a close names its lots, close-today or close-yesterday; the client splits a
close that needs both), or a plain close whose lots the exchange chooses: today-first,
yesterday-first, or fifo (first opened first closed: yesterday's lots were all opened before
today's). The part taken from today's position pays the close-today fee. Profit is valued
against the average opening price of the position (gross); fees are kept apart, and net =
gross - fees.

Funds, as a broker keeps them: a position holds margin, its price x multiple x lots x the
instrument's margin ratio for its side: at the fill price when opened, revalued at the day's
last price at each day's settlement; a close releases its share. A resting opening order
holds its margin at its limit price and its opening fee until it fills or goes. The funds
available for a new order are the capital plus realised profit, minus fees, margin held and
funds held by resting orders, plus the open profit of the positions at their last price
(brokers differ there: with open_profit_funds False open profit and loss do not count).
"""
import functools
import math
from collections import namedtuple
from pathlib import Path

from ..common.errors import UsageError, shown
from ..feed.inputs import CsvFile, over_shipped, read_rules

ACTIONS = ("buy_open", "sell_open", "buy_close", "sell_close")
# Broker codes: order direction (buy, sell), offset flag (open, close), position direction.
DIRECTION = {"buy_open": "0", "sell_open": "1", "buy_close": "0", "sell_close": "1"}
OFFSET = {"buy_open": "0", "sell_open": "0", "buy_close": "1", "sell_close": "1"}
# Offset flags: open; a close: plain, today's lots, yesterday's lots.
OPEN, CLOSE, CLOSE_TODAY, CLOSE_YESTERDAY = "0", "1", "3", "4"
# How a close takes the lots of each exchange (ExchangeID * for the others), with the source of each rule.
CLOSE_ORDERS = Path(__file__).with_name("close_order.csv")
NAMED, TODAY_FIRST, YESTERDAY_FIRST, FIFO = "named", "today-first", "yesterday-first", "fifo"
CLOSE_RULES = (NAMED, TODAY_FIRST, YESTERDAY_FIRST, FIFO)
# A round trip, flat to flat on one side: its net profit, seconds held, and for the report
# its instrument, side ("long" or "short") and calendar times of entry and exit.
Trip = namedtuple("Trip", "profit seconds instrument side entry exit")
LONG, SHORT = "2", "3"
# The position an action opens or closes: a buy closes a short, a sell closes a long.
SIDE = {"buy_open": LONG, "sell_close": LONG, "sell_open": SHORT, "buy_close": SHORT}
DEFAULT_CAPITAL = 1_000_000.0
TRADING_DAYS_PER_YEAR = 252
FEE_KINDS = ("open", "close", "close_today")


class Fees:
    """Fees of one instrument: per lot and per turnover (a rate of price x volume x
    multiple), for opening, closing and closing today's position."""

    def __init__(self, per_lot=None, rate=None, source=None):
        self.per_lot = dict.fromkeys(FEE_KINDS, 0.0) if per_lot is None else per_lot
        self.rate = dict.fromkeys(FEE_KINDS, 0.0) if rate is None else rate
        self.source = source  # where they came from, None when none were given

    def fee(self, kind, price, volume, multiple):
        return self.per_lot[kind] * volume + self.rate[kind] * price * volume * multiple

    def as_dict(self):
        return {"per_lot": self.per_lot, "rate": self.rate, "source": self.source}


FEE_COLUMNS = tuple("%s_%s" % (kind, part) for kind in FEE_KINDS for part in ("per_lot", "rate"))


def keyed_file(path, kind, columns):
    """A CSV file of kind whose first column is InstrumentID or ProductID and whose other
    columns are among columns."""
    table = CsvFile(path, kind)
    key = table.header[0]
    if key not in ("InstrumentID", "ProductID"):
        table.fail(1, "the first column is InstrumentID or ProductID, not %s" % key)
    unknown = [c for c in table.header[1:] if c not in columns]
    if unknown:
        table.fail(1, "unknown column %s: the %s columns are %s" % (unknown[0], kind, ", ".join(columns)))
    return table


def read_fees(path):
    """{InstrumentID or ProductID: Fees} from a CSV file whose first column is InstrumentID or
    ProductID and whose other columns are among open_per_lot, open_rate, close_per_lot,
    close_rate, close_today_per_lot, close_today_rate (absent: 0; close-today absent: as
    close)."""
    table = keyed_file(path, "fee", FEE_COLUMNS)
    converters = [str] + [float] * (len(table.header) - 1)
    schedule = {}
    for line, values in table.rows(converters):
        given = dict(zip(table.header[1:], values[1:]))
        if any(v < 0 or not math.isfinite(v) for v in given.values()):
            table.fail(line, "fees are numbers of 0 or more")
        per_lot, rate = {}, {}
        for kind in FEE_KINDS:
            fallback = "close" if kind == "close_today" else None
            for part, target in (("per_lot", per_lot), ("rate", rate)):
                name = "%s_%s" % (kind, part)
                if name not in given and fallback:
                    name = "%s_%s" % (fallback, part)
                target[kind] = given.get(name, 0.0)
        schedule[values[0]] = Fees(per_lot, rate, "%s line %d" % (shown(path), line))
    return schedule


def fees_for(schedule, instrument_id, product_id):
    if schedule is None:
        return Fees()
    found = schedule.get(instrument_id) or schedule.get(product_id)
    return found if found is not None else Fees(source="none in the fee file")


MARGIN_COLUMNS = {"LongMarginRatio": (LONG,), "ShortMarginRatio": (SHORT,), "MarginRatio": (LONG, SHORT)}


def read_margins(path):
    """{InstrumentID or ProductID: {side: margin ratio}} from a CSV file whose first column is
    InstrumentID or ProductID and whose other columns are among LongMarginRatio,
    ShortMarginRatio and MarginRatio (both sides, under a side's own); a side not given keeps
    the instrument's."""
    table = keyed_file(path, "margin", MARGIN_COLUMNS)
    schedule = {}
    for line, values in table.rows([str] + [float] * (len(table.header) - 1)):
        if any(not 0 <= v < math.inf for v in values[1:]):
            table.fail(line, "margin ratios are numbers of 0 or more")
        given = sorted(zip(table.header[1:], values[1:]), key=lambda item: item[0] != "MarginRatio")
        schedule[values[0]] = {side: ratio for column, ratio in given for side in MARGIN_COLUMNS[column]}
    return schedule


def close_order_rule(text):
    if text not in CLOSE_RULES:
        raise ValueError("one of %s" % ", ".join(CLOSE_RULES))
    return text


def read_close_orders(path):
    """{ExchangeID: (rule, source)} of a CSV file with the columns ExchangeID, close_order and
    optionally source."""
    return read_rules(path, "close order", "ExchangeID", "close_order", close_order_rule)


@functools.lru_cache(maxsize=None)
def shipped_close_orders():
    return read_close_orders(CLOSE_ORDERS)


def close_orders(path=None):
    """{ExchangeID: (rule, source)}: the shipped table, with the rows of the file at path over it."""
    return over_shipped(shipped_close_orders(), path, read_close_orders)


def margin_ratios(schedule, fields):
    """{side: margin ratio} of an instrument: its record's, or the margin file's over them."""
    ratios = {LONG: fields.get("LongMarginRatio") or 0.0, SHORT: fields.get("ShortMarginRatio") or 0.0}
    if schedule:
        ratios.update(schedule.get(fields.get("ProductID"), {}))
        ratios.update(schedule.get(fields["InstrumentID"], {}))
    return ratios


class Side:
    """One direction of a position, valued at its average opening price."""

    __slots__ = ("sign", "today", "yesterday", "average", "opened", "closed", "realised", "trip_start",
                 "trip_profit", "margin_ratio", "margin")

    def __init__(self, sign, margin_ratio=0.0):
        self.sign = sign  # +1 long, -1 short: the profit of a price rise
        self.today = self.yesterday = self.opened = self.closed = 0
        self.average = self.realised = self.trip_profit = 0.0
        self.trip_start = None
        self.margin_ratio = margin_ratio
        self.margin = 0.0  # held for its lots

    @property
    def volume(self):
        return self.today + self.yesterday


class Holding:
    """What the account holds of one instrument, and what trading it cost and made."""

    def __init__(self, fields, fees, margin_ratio=None, close_order=YESTERDAY_FIRST):
        self.id = fields["InstrumentID"]
        self.exchange = fields["ExchangeID"]
        self.close_order = close_order  # how a close takes its lots (CLOSE_ORDERS)
        self.multiple = fields["VolumeMultiple"]
        self.price_tick = fields.get("PriceTick") or 0.0
        self.fees = fees
        ratio = margin_ratio or margin_ratios(None, fields)
        self.sides = {LONG: Side(+1, ratio[LONG]), SHORT: Side(-1, ratio[SHORT])}
        self.last_price = None
        self.value = 0.0  # open profit at the last price
        self.lots = 0  # held, long and short
        self.fees_paid = 0.0
        self.turnover = 0.0

    @property
    def realised(self):
        return self.sides[LONG].realised + self.sides[SHORT].realised

    def funds_per_lot(self, action, price):
        """What one lot of an opening order holds while it rests: its margin at price and its
        opening fee."""
        return price * self.multiple * self.sides[SIDE[action]].margin_ratio + \
            self.fees.fee("open", price, 1, self.multiple)

    # Twin: AccountFigures::mark in oxa/research/account_figures.cpp.
    def open_profit(self):
        price = self.last_price
        if price is None:
            return 0.0
        long, short = self.sides[LONG], self.sides[SHORT]
        return ((price - long.average) * (long.today + long.yesterday)
                - (price - short.average) * (short.today + short.yesterday)) * self.multiple


class Account:
    def __init__(self, capital, open_profit_funds=True, close_orders=None):
        self.capital = capital
        self.close_orders = shipped_close_orders() if close_orders is None else close_orders
        self.open_profit_funds = open_profit_funds  # whether open profit counts in the funds available
        self.margin = 0.0  # held by the positions
        self.margin_moved = True  # a side's margin or the holdings changed since the margin was summed
        self.places = {}  # InstrumentID -> its place among the holdings
        self.margined = {}  # place -> the holding, of the holdings a side of which holds margin
        self.frozen = 0.0  # held by resting opening orders: margin and fees
        self.resting_opens = 0
        self.peak_margin = self.peak_margin_share = 0.0  # ... the share: of the capital plus the equity
        self.holdings = {}
        self.gross = 0.0  # realised
        self.fees = 0.0
        self.open_value = 0.0
        self.turnover = 0.0
        self.peak = 0.0
        self.drawdown = 0.0  # the largest fall of the equity from its peak, in money
        self.drawdown_percent = 0.0  # ... and as a share of the capital plus the peak
        self.low = self.high = self.deepest = 0.0  # extremes of the equity and its fall since take_extremes()
        self.trips = []  # Trip of every round trip: flat, a position, flat
        self.day_start_equity = self.day_start_fees = 0.0
        self.days = []  # per trading day: dict

    @property
    def equity(self):
        """Profit so far, net of fees, open positions at their last price."""
        return self.gross - self.fees + self.open_value

    def add(self, fields, fees, margin_ratio=None):
        rule, _ = self.close_order_of(fields["ExchangeID"])
        holding = self.holdings[fields["InstrumentID"]] = Holding(fields, fees, margin_ratio, rule)
        self.margined.pop(self.places.setdefault(holding.id, len(self.places)), None)
        self.margin_moved = True
        return holding

    def close_order_of(self, exchange):
        """(rule, source) of how a close takes the lots on the exchange."""
        return self.close_orders.get(exchange) or self.close_orders["*"]

    def available(self):
        """The funds available for a new order."""
        funds = self.capital + self.gross - self.fees - self.margin - self.frozen
        return funds + self.open_value if self.open_profit_funds else funds

    def hold(self, amount):
        """Funds held by a resting opening order."""
        self.frozen += amount
        self.resting_opens += 1

    def release(self, amount, done):
        """Funds an opening order no longer holds (it filled, or went with done)."""
        self.frozen -= amount
        if done:
            self.resting_opens -= 1
            if not self.resting_opens:
                self.frozen = 0.0  # no rounding left behind

    def follow_margin(self):
        """The margin held, and its peaks. It is followed at every minute of the chart and on
        every fill, and a market holds many instruments that hold none: summed again only when
        it moved, over the holdings that hold margin, in the holdings' order. The sides that
        hold none add exact zeros, so the sum is that of all sides, to the last bit."""
        if self.margin_moved:
            self.margin = sum((side.margin for _, holding in sorted(self.margined.items())
                               for side in holding.sides.values()), 0.0 if self.holdings else 0)
            self.margin_moved = False
        margin = self.margin
        worth = self.capital + self.equity
        share = margin / worth if worth > 0 else math.inf if margin else 0.0
        if margin > self.peak_margin:
            self.peak_margin = margin
        if share > self.peak_margin_share:
            self.peak_margin_share = share

    def settle(self):
        """The day's settlement: margin revalued at each instrument's last price."""
        for holding in self.holdings.values():
            if holding.last_price is not None:
                for side in holding.sides.values():
                    side.margin = side.volume * holding.last_price * holding.multiple * side.margin_ratio
        self.margined = {self.places[holding.id]: holding for holding in self.holdings.values()
                         if any(side.margin for side in holding.sides.values())}
        self.margin_moved = True
        self.follow_margin()

    def fill(self, holding, action, volume, price, time, offset=None):
        """Book a fill of an order with the broker's offset flag (that of the action when
        None); returns (side, fee)."""
        side = holding.sides[SIDE[action]]
        multiple = holding.multiple
        if OFFSET[action] == OPEN:
            fee = holding.fees.fee("open", price, volume, multiple)
            if not side.volume:
                side.trip_start, side.trip_profit = time, 0.0
            side.average = (side.average * side.volume + price * volume) / (side.volume + volume)
            side.margin += price * volume * multiple * side.margin_ratio
            side.today += volume
            side.opened += volume
            holding.lots += volume
            side.trip_profit -= fee
        else:
            if offset == CLOSE_TODAY:
                fresh = volume
            elif offset == CLOSE_YESTERDAY:
                fresh = 0
            elif holding.close_order == TODAY_FIRST:
                fresh = min(volume, side.today)
            else:
                fresh = volume - min(volume, side.yesterday)
            old = volume - fresh
            fee = (holding.fees.fee("close", price, old, multiple) if old else 0.0) + \
                (holding.fees.fee("close_today", price, fresh, multiple) if fresh else 0.0)
            profit = side.sign * (price - side.average) * volume * multiple
            side.margin -= side.margin * volume / side.volume
            side.yesterday -= old
            side.today -= fresh
            side.closed += volume
            holding.lots -= volume
            side.realised += profit
            self.gross += profit
            side.trip_profit += profit - fee
            if not side.volume:
                side.average = side.margin = 0.0
                self.trips.append(Trip(side.trip_profit, time - side.trip_start, holding.id,
                                       "long" if side.sign > 0 else "short", side.trip_start, time))
                side.trip_start = None
        holding.fees_paid += fee
        self.fees += fee
        turnover = price * volume * multiple
        holding.turnover += turnover
        self.turnover += turnover
        self.mark(holding)
        if any(side.margin for side in holding.sides.values()):
            self.margined[self.places[holding.id]] = holding
        else:
            self.margined.pop(self.places[holding.id], None)
        self.margin_moved = True
        self.follow_margin()
        return side, fee

    # Twin: AccountFigures::mark in oxa/research/account_figures.cpp.
    def mark(self, holding):
        """Value the holding at its last price and follow the drawdown."""
        value = holding.open_profit()
        self.open_value += value - holding.value
        holding.value = value
        equity = self.gross - self.fees + self.open_value
        if equity > self.high:
            self.high = equity
        elif equity < self.low:
            self.low = equity
        if equity > self.peak:
            self.peak = equity
        elif self.peak - equity > self.deepest:
            self.deepest = self.peak - equity
            if self.deepest > self.drawdown:
                self.drawdown = self.deepest
                self.drawdown_percent = 100.0 * self.drawdown / (self.capital + self.peak)

    def take_extremes(self):
        """(lowest, highest equity, deepest drawdown) since the last call; they start again
        from the equity now."""
        taken = self.low, self.high, self.deepest
        equity = self.equity
        self.low = self.high = equity
        self.deepest = self.peak - equity
        return taken

    def new_day(self):
        """A trading day begins: today's positions become yesterday's."""
        for holding in self.holdings.values():
            for side in holding.sides.values():
                side.yesterday += side.today
                side.today = 0

    def close_day(self, trading_day, ticks, fills):
        """The day's profit: the change of the equity (open positions at their last price); the
        day's settlement."""
        self.settle()
        equity = self.equity
        net, fees = equity - self.day_start_equity, self.fees - self.day_start_fees
        self.days.append({"trading_day": trading_day, "net": net, "gross": net + fees, "fees": fees,
                          "equity": equity, "margin": self.margin, "ticks": ticks, "fills": fills})
        self.day_start_equity, self.day_start_fees = equity, self.fees

    # --- figures ---------------------------------------------------------------------------

    def sharpe(self):
        """Annualised Sharpe ratio of the daily net returns on the capital (no risk-free
        rate); None with fewer than two days or no variation."""
        returns = [day["net"] / self.capital for day in self.days]
        if len(returns) < 2:
            return None
        mean = sum(returns) / len(returns)
        variance = sum((r - mean) ** 2 for r in returns) / (len(returns) - 1)
        if variance <= 0:
            return None
        return mean / math.sqrt(variance) * math.sqrt(TRADING_DAYS_PER_YEAR)

    def figures(self):
        wins = [trip.profit for trip in self.trips if trip.profit > 0]
        losses = [trip.profit for trip in self.trips if trip.profit < 0]
        trips = len(self.trips)
        return {
            "round_trips": trips,
            "win_rate": len(wins) / trips if trips else None,
            "profit_factor": sum(wins) / -sum(losses) if losses else None,
            "average_holding_seconds": sum(trip.seconds for trip in self.trips) / trips if trips else None,
        }


def capital_of(value):
    if value is None:
        return DEFAULT_CAPITAL
    if not (value > 0 and math.isfinite(value)):
        raise UsageError("--capital %r: the capital is an amount of money above 0" % value)
    return value
