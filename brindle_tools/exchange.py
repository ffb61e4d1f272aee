"""The simulated exchange: the client's resting limit orders and how a tick fills them.

Two fill models:
- exchange (the default): an order rests from the tick after its decision. A buy fills when
  the best ask is at or below its limit, at that ask, for at most the ask's volume; when the
  market trades below its limit (trades through it), it fills at its limit for at most the
  volume traded since the previous tick. A sell likewise with the best bid and trades above
  its limit. Orders share a tick's volume in the order they were placed; what is not filled
  keeps resting, so fills may be partial.
- engine: the engine's own simulated fill (SimNow) with the last price and the volume traded
  since the previous tick: a whole order fills at the last price once that price reaches its
  limit. Its fills are journalled by the engine.

Limit prices are put on the instrument's price grid as a broker accepts them: a buy's price
rounds down and a sell's up (never a worse price than the strategy asked for).
"""
import math

from .account import DIRECTION

# Order states as a broker reports them.
FILLED, PARTLY_FILLED, QUEUEING, CANCELLED = "0", "1", "3", "5"
# Bid and ask prices or volumes at or above this are absent (as the engine's statistics treat them).
ABSENT = 1.79e308


class Order:
    __slots__ = ("ref", "action", "buy", "price", "volume", "filled", "placed", "request")

    def __init__(self, ref, action, price, volume, placed, request):
        self.ref = ref
        self.action = action
        self.buy = DIRECTION[action] == "0"
        self.price = price
        self.volume = volume
        self.filled = 0
        self.placed = placed  # calendar time of the decision, in seconds
        self.request = request  # the request dictionary as the engine keeps it

    @property
    def left(self):
        return self.volume - self.filled


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


class ExchangeFills:
    name = "exchange"

    def match(self, orders, tick, traded):
        """[(order, volume, price, how)] of the resting orders that this tick fills."""
        ask, bid, last = tick["AskPrice1"], tick["BidPrice1"], tick["LastPrice"]
        ask_left = tick["AskVolume1"] if 0 < ask < ABSENT and 0 < tick["AskVolume1"] < ABSENT else 0
        bid_left = tick["BidVolume1"] if 0 < bid < ABSENT and 0 < tick["BidVolume1"] < ABSENT else 0
        traded_left = traded
        fills = []
        for order in orders:
            if order.buy:
                if ask_left and ask <= order.price:
                    volume = min(order.left, ask_left)
                    ask_left -= volume
                    fills.append((order, volume, ask, "ask"))
                elif traded_left and last < order.price:
                    volume = min(order.left, traded_left)
                    traded_left -= volume
                    fills.append((order, volume, order.price, "traded through"))
            elif bid_left and bid >= order.price:
                volume = min(order.left, bid_left)
                bid_left -= volume
                fills.append((order, volume, bid, "bid"))
            elif traded_left and last > order.price:
                volume = min(order.left, traded_left)
                traded_left -= volume
                fills.append((order, volume, order.price, "traded through"))
        return fills


class EngineFills:
    name = "engine"

    def __init__(self, client):
        self.client = client

    def match(self, orders, tick, traded):
        if traded < 1:
            return ()
        client = self.client
        simulate = client.timed(client.engine.SimNow) if client.args.db else client.engine.SimNow
        simulate(client.investor, tick["InstrumentID"], tick["LastPrice"], traded)
        price = tick["LastPrice"]
        return [(o, o.left, price, "engine") for o in orders if o.request.get("OrderStatus") == FILLED]


def model(name, client):
    return ExchangeFills() if name == "exchange" else EngineFills(client)
