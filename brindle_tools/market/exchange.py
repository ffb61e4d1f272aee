"""The simulated exchange: the client's resting limit orders and how a tick fills them.

Two fill models:
- exchange (the default): an order reaches the market on the tick after its decision. A buy
  marketable there (the best ask at or below its limit) takes the ask, at the ask's price;
  what is left rests on the book, and a resting buy fills at its own limit when the ask comes
  down to it (the seller meets it at its price). When the market trades below its limit
  (through it), it fills at its limit for at most the volume traded since the previous tick.
  A sell likewise with the best bid and trades above its limit. Liquidity is spent: orders
  share a tick's quotes and traded volume in the order they were placed, and what fills took
  of a quote stays taken on the next ticks while the quote is unchanged and nothing trades.
  What is not filled keeps resting, so fills may be partial.
- engine: the engine's own simulated fill (SimNow) with the last price and the volume traded
  since the previous tick: a whole order fills at the last price once that price reaches its
  limit. Its fills are journalled by the engine.

Limit prices are put on the instrument's price grid as a broker accepts them: a buy's price
rounds down and a sell's up (never a worse price than the strategy asked for).
"""
import math

from .account import DIRECTION, OFFSET
from ..feed.ticks import ABSENT

# Order states as a broker reports them.
FILLED, PARTLY_FILLED, QUEUEING, CANCELLED = "0", "1", "3", "5"


class Order:
    __slots__ = ("ref", "action", "offset", "buy", "price", "volume", "filled", "placed", "request", "resting",
                 "held")

    def __init__(self, ref, action, price, volume, placed, request, offset=None):
        self.ref = ref
        self.action = action
        self.offset = OFFSET[action] if offset is None else offset  # the broker's offset flag
        self.buy = DIRECTION[action] == "0"
        self.price = price
        self.volume = volume
        self.filled = 0
        self.placed = placed  # calendar time of the decision, in seconds
        self.request = request  # the request dictionary as the engine keeps it
        self.resting = False  # on the book since a tick that did not fill it completely
        self.held = 0.0  # funds each lot left holds (margin and fee of an opening order)

    @property
    def left(self):
        return self.volume - self.filled


# Twin: on_grid in oxa/research/decision_desk.cpp.
def on_grid(price, tick, buy):
    """The price on the grid of tick: a buy rounds down, a sell up; a price already on the
    grid (within floating-point noise) stays."""
    if not tick or tick <= 0:
        return price
    steps = price / tick
    nearest = round(steps)
    if abs(steps - nearest) <= 1e-9 * max(1.0, abs(steps)):
        steps = nearest
    else:
        steps = math.floor(steps) if buy else math.ceil(steps)
    return float(round(steps * tick, 10))


class Quotes:
    """What the client's fills took of an instrument's best bid and ask: taken stays taken
    while the quote is unchanged and nothing trades. The client shows it every tick of the
    instrument, resting orders or not, so a quote taken once is released by whatever happens
    before the next order comes."""

    __slots__ = ("ask", "ask_taken", "bid", "bid_taken")

    def __init__(self):
        self.ask = self.bid = None  # (price, volume) of the previous tick
        self.ask_taken = self.bid_taken = 0

    # Twin: Instrument::see_quotes in oxa/research/tick_loop.cpp, while a quote is taken.
    def see(self, tick, traded):
        """The tick's quotes: a changed quote, or any volume traded, releases what was taken."""
        ask_quote, bid_quote = (tick["AskPrice1"], tick["AskVolume1"]), (tick["BidPrice1"], tick["BidVolume1"])
        if traded or ask_quote != self.ask:
            self.ask, self.ask_taken = ask_quote, 0
        if traded or bid_quote != self.bid:
            self.bid, self.bid_taken = bid_quote, 0


def shown(price, volume):
    """The volume a quote offers; 0 when the feed gives none."""
    return volume if 0 < price < ABSENT and 0 < volume < ABSENT else 0


class ExchangeFills:
    name = "exchange"

    # Twin: Instrument::fills_any in oxa/research/tick_loop.cpp, whether any order fills.
    def match(self, orders, tick, traded, quotes):
        """[(order, volume, price, how)] of the resting orders that this tick fills; quotes
        has seen the tick (Quotes.see)."""
        ask, bid, last = tick["AskPrice1"], tick["BidPrice1"], tick["LastPrice"]
        ask_left = shown(ask, tick["AskVolume1"]) - quotes.ask_taken
        bid_left = shown(bid, tick["BidVolume1"]) - quotes.bid_taken
        traded_left = traded
        fills = []
        for order in orders:
            if order.buy:
                if ask_left > 0 and ask <= order.price:
                    volume = min(order.left, ask_left)
                    ask_left -= volume
                    quotes.ask_taken += volume
                    fills.append((order, volume, order.price, "resting") if order.resting else
                                 (order, volume, ask, "ask"))
                elif traded_left and last < order.price:
                    volume = min(order.left, traded_left)
                    traded_left -= volume
                    fills.append((order, volume, order.price, "traded through"))
            elif bid_left > 0 and bid >= order.price:
                volume = min(order.left, bid_left)
                bid_left -= volume
                quotes.bid_taken += volume
                fills.append((order, volume, order.price, "resting") if order.resting else
                             (order, volume, bid, "bid"))
            elif traded_left and last > order.price:
                volume = min(order.left, traded_left)
                traded_left -= volume
                fills.append((order, volume, order.price, "traded through"))
            order.resting = True
        return fills


class EngineFills:
    name = "engine"

    def __init__(self, investor, simulate):
        self.investor = investor
        self.simulate = simulate  # the engine's SimNow

    def match(self, orders, tick, traded, quotes):
        if traded < 1:
            return ()
        self.simulate(self.investor, tick["InstrumentID"], tick["LastPrice"], traded)
        price = tick["LastPrice"]
        return [(o, o.left, price, "engine") for o in orders if o.request.get("OrderStatus") == FILLED]


def model(name, investor, simulate):
    """The fill model called name; simulate is the engine's SimNow (for the engine model)."""
    return ExchangeFills() if name == "exchange" else EngineFills(investor, simulate)
