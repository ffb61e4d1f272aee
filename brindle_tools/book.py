"""The replaying client's own books: its orders, and per instrument the position and profit
that the fills make."""
from array import array
from dataclasses import dataclass, field

ACTIONS = ("buy_open", "sell_open", "buy_close", "sell_close")
# Broker codes: order direction (buy, sell), offset flag (open, close), position direction.
DIRECTION = {"buy_open": "0", "sell_open": "1", "buy_close": "0", "sell_close": "1"}
OFFSET = {"buy_open": "0", "sell_open": "0", "buy_close": "1", "sell_close": "1"}
LONG, SHORT = "2", "3"
# The position an action opens or closes: a buy closes a short, a sell closes a long.
SIDE = {"buy_open": LONG, "sell_close": LONG, "sell_open": SHORT, "buy_close": SHORT}
# Order states as the engine's simulated fills and the client's cancellations set them.
FILLED, CANCELLED = "0", "5"


@dataclass
class Order:
    ref: int
    line: int  # tick file line of the decision
    placed: object  # replay time of the decision (datetime)
    action: str
    price: object
    volume: int
    request: dict  # the request dictionary as the engine stores it; SimNow marks fills in it
    state: str = "open"  # open, filled, cancelled


@dataclass
class Side:
    """One direction of a position, valued at its average opening price."""

    sign: int  # +1 long, -1 short: the profit of a price rise
    volume: int = 0
    average: float = 0.0
    opened: int = 0
    closed: int = 0
    realised: float = 0.0


class Instrument:
    def __init__(self, fields):
        self.id = fields["InstrumentID"]
        self.exchange = fields["ExchangeID"]
        self.multiple = fields["VolumeMultiple"]
        self.sides = {LONG: Side(+1), SHORT: Side(-1)}
        self.open_orders = []
        self.ticks = 0
        self.volume = None  # cumulative volume of the previous tick
        self.last_price = None
        self.prices = array("d")  # last price per tick, for the chart
        self.times = array("d")  # seconds since the first tick, for the chart
        self.fills = []  # (tick index, price, action), for the chart

    def traded(self, volume):
        """The volume traded since the previous tick; nothing is known before the first."""
        previous, self.volume = self.volume, volume
        return 0 if previous is None else max(volume - previous, 0)

    def closable(self, action):
        """What a close action may still close: the position less the close orders already
        working on it."""
        working = sum(o.volume for o in self.open_orders if o.action == action)
        return self.sides[SIDE[action]].volume - working

    def fill(self, order, price):
        side = self.sides[SIDE[order.action]]
        if OFFSET[order.action] == "0":
            side.average = (side.average * side.volume + price * order.volume) / (side.volume + order.volume)
            side.volume += order.volume
            side.opened += order.volume
        else:
            side.realised += side.sign * (price - side.average) * order.volume * self.multiple
            side.volume -= order.volume
            side.closed += order.volume
            if side.volume == 0:
                side.average = 0.0
        order.state = "filled"
        self.open_orders.remove(order)
        self.fills.append((self.ticks - 1, price, order.action))
        return side

    @property
    def realised(self):
        return sum(side.realised for side in self.sides.values())

    @property
    def open_profit(self):
        if self.last_price is None:
            return 0.0
        return sum(side.sign * (self.last_price - side.average) * side.volume * self.multiple
                   for side in self.sides.values() if side.volume)


@dataclass
class Totals:
    ticks: int = 0
    decisions: dict = field(default_factory=lambda: dict.fromkeys(ACTIONS, 0))
    placed: int = 0
    filled: int = 0
    cancelled: int = 0
    nothing_to_close: int = 0
    skipped: dict = field(default_factory=dict)  # ticks of instruments without a strategy
