"""The client's broker: it places and cancels the client's limit orders, books their fills
into the account, and tells the engine what a broker tells a client (order notifications,
positions). A close order names the lots it closes where the exchange requires it (its close
order is named: SHFE and INE): close-yesterday for yesterday's lots and close-today for
today's, split in two when a close needs both; elsewhere a plain close, whose lots the
exchange's own rule chooses (account.py). An opening order beyond the funds available is
refused; one that is placed holds its margin and fee until it fills or goes (account.py).
"""
from collections import namedtuple

from .account import CLOSE, CLOSE_TODAY, CLOSE_YESTERDAY, DIRECTION, LONG, NAMED, OFFSET, OPEN, SHORT, SIDE
from .exchange import CANCELLED, FILLED, PARTLY_FILLED, QUEUEING, Order

# Names under which the client hands records to the engine (trace file and table names).
ORDER_TABLE, POSITION_TABLE, NOTICE_TABLE = "InputOrder", "InvestorPosition", "Order"
OFFSET_NAMES = {CLOSE_YESTERDAY: "close-yesterday", CLOSE_TODAY: "close-today"}
# A fill as the charts and the report draw it: its chart point, price, action, calendar time,
# lots, fee and the instrument's net position after it (long lots less short ones).
Mark = namedtuple("Mark", "point price action time volume fee position")


def close_parts(instrument, action, volume):
    """[(offset flag, volume)] of the close orders that close volume, as the exchange takes
    them, less what close orders already working will close."""
    side = instrument.holding.sides[SIDE[action]]
    working = {}
    for order in instrument.open_orders:
        if order.action == action:
            working[order.offset] = working.get(order.offset, 0) + order.left
    if instrument.holding.close_order == NAMED:
        yesterday = max(min(volume, side.yesterday - working.get(CLOSE_YESTERDAY, 0)), 0)
        today = max(min(volume - yesterday, side.today - working.get(CLOSE_TODAY, 0)), 0)
        return [(flag, lots) for flag, lots in ((CLOSE_YESTERDAY, yesterday), (CLOSE_TODAY, today)) if lots]
    left = min(volume, side.volume - sum(working.values()))
    return [(CLOSE, left)] if left > 0 else []


class Broker:
    def __init__(self, records, investor, account, totals, fills_out, notify_orders, slippage, clock):
        self.records = records
        self.investor = investor
        self.account = account
        self.totals = totals
        self.fills_out = fills_out  # fills.csv
        self.notify_orders = notify_orders  # the exchange fill model: the engine hears of every order
        self.slippage = slippage  # price ticks every fill loses
        self.clock = clock
        self.engine = None  # the client's engine, set when it starts one
        self.trading_day = None
        self.next_ref = 1
        # (instrument, direction) -> profit realised before the engine started: a restarted
        # client's broker reports the profit realised since (that day's)
        self.realised_before = {}

    def funds_refusal(self, instrument, action, price, volume):
        """Why the broker refuses an opening order for its funds, or None."""
        need = instrument.holding.funds_per_lot(action, price) * volume
        available = self.account.available()
        if need <= available:
            return None
        return "beyond the funds available: margin and fee %s, available %s" % (
            "{:,.2f}".format(need), "{:,.2f}".format(available + 0.0))

    def send(self, instrument, tick, action, exchange, price, volume, express):
        """The orders of a decision: one, or for a close the parts the exchange requires
        (none when nothing is left to close)."""
        parts = close_parts(instrument, action, volume) if OFFSET[action] == CLOSE else [(OFFSET[action], volume)]
        return [self.place(instrument, tick, action, exchange, price, lots, flag, express) for flag, lots in parts]

    def place(self, instrument, tick, action, exchange, price, volume, offset, express):
        ref = self.next_ref
        self.next_ref += 1
        record = self.records.InputOrderField(
            InvestorID=self.investor, InstrumentID=instrument.id, ExchangeID=exchange, OrderRef=str(ref),
            UserID=self.investor, OrderPriceType="2", Direction=DIRECTION[action], CombOffsetFlag=offset,
            CombHedgeFlag="1", LimitPrice=price, VolumeTotalOriginal=volume, TimeCondition="3",
            VolumeCondition="1", MinVolume=1, RequestID=ref, OrderStatus="3", Express=express,
            OrderTime=tick["UpdateTime"], MD_Last_Price=tick["LastPrice"])
        self.engine.push_ReqOrderInsert(ORDER_TABLE, record)
        # The engine keeps the request's dictionary itself; its simulated fills mark it there.
        request = self.engine.get_ReqOrderList(instrument.id)[-1]
        order = Order(ref, action, price, volume, self.clock.seconds, request, offset)
        if offset == OPEN:
            order.held = instrument.holding.funds_per_lot(action, price)
            self.account.hold(order.held * volume)
        instrument.open_orders.append(order)
        self.totals.placed += 1
        if self.notify_orders:
            self.notify(instrument, order, QUEUEING)
        return order

    # Twin: Instrument::order_stale in oxa/research/tick_loop.cpp, whether an order is stale.
    def cancel_stale(self, instrument, after):
        """Cancel the orders that rested after seconds or more (0: never)."""
        if not after:
            return
        now = self.clock.seconds
        for order in [o for o in instrument.open_orders if now - o.placed >= after]:
            self.cancel(instrument, order)
            instrument.open_orders.remove(order)
            self.totals.cancelled += 1

    def expire(self, instrument):
        """The day is over: the instrument's resting orders (day orders) expire."""
        for order in instrument.open_orders:
            self.cancel(instrument, order)
            self.totals.expired += 1
        instrument.open_orders.clear()

    def cancel(self, instrument, order):
        if order.held:
            self.account.release(order.held * order.left, True)
        if self.notify_orders:
            self.notify(instrument, order, CANCELLED)
        else:
            order.request["OrderStatus"] = CANCELLED  # SimNow never fills a cancelled request

    def book(self, instrument, tick, fills, time, line, file_name):
        """Book the fills of a tick, tell the engine, write them to fills.csv."""
        changed = set()
        account, holding = self.account, instrument.holding
        slippage = self.slippage * holding.price_tick
        for order, volume, price, how in fills:
            if slippage:
                price = price + slippage if order.buy else price - slippage
            side, fee = account.fill(holding, order.action, volume, price, time, order.offset)
            order.filled += volume
            if order.held:
                account.release(order.held * volume, not order.left)
            instrument.filled_volume += volume
            if not order.left:
                instrument.open_orders.remove(order)
                self.totals.filled += 1
            self.totals.fills += 1
            changed.add(SIDE[order.action])
            if self.notify_orders:
                self.notify(instrument, order, FILLED if not order.left else PARTLY_FILLED)
            request = order.request
            self.fills_out.write((
                self.investor, instrument.id, request["Express"], request["Direction"], request["CombOffsetFlag"],
                request["OrderTime"], request["LimitPrice"], request["MD_Last_Price"], price, volume, order.ref,
                order.action, volume, line, tick["UpdateTime"], side.volume, fee, how, self.trading_day, file_name))
            instrument.marks.append(Mark(instrument.point, price, order.action, time, volume, fee,
                                         holding.sides[LONG].volume - holding.sides[SHORT].volume))
        for direction in sorted(changed):
            self.report_position(instrument, direction)

    def notify(self, instrument, order, status):
        """The order notification a broker sends the client, forwarded to the engine."""
        record = self.records.OrderField(
            InvestorID=self.investor, InstrumentID=instrument.id, OrderRef=str(order.ref), UserID=self.investor,
            OrderPriceType="2", Direction=DIRECTION[order.action], CombOffsetFlag=order.offset,
            CombHedgeFlag="1", LimitPrice=order.price, VolumeTotalOriginal=order.volume, TimeCondition="3",
            VolumeCondition="1", MinVolume=1, RequestID=order.ref, ExchangeID=instrument.exchange,
            TradingDay=self.trading_day, OrderSysID=str(order.ref), OrderSubmitStatus="3", OrderStatus=status,
            VolumeTraded=order.filled, VolumeTotal=order.left, InsertTime=order.request.get("OrderTime", ""),
            UpdateTime=order.request.get("OrderTime", ""))
        self.engine.push_OnRtnOrder(NOTICE_TABLE, record)

    def report_position(self, instrument, direction):
        holding = instrument.holding
        side = holding.sides[direction]
        cost = side.average * side.volume * holding.multiple
        realised = side.realised - self.realised_before.get((instrument.id, direction), 0.0)
        record = self.records.InvestorPositionField(
            InvestorID=self.investor, InstrumentID=instrument.id, ExchangeID=instrument.exchange,
            PosiDirection=direction, HedgeFlag="1", PositionDate="1", YdPosition=side.yesterday,
            Position=side.volume, TodayPosition=side.today, OpenVolume=side.opened, CloseVolume=side.closed,
            PositionCost=cost, OpenCost=cost, CloseProfit=realised, TradingDay=self.trading_day or "")
        self.engine.push_OnRspQryInvestorPosition(POSITION_TABLE, record)

    def report_positions(self, instrument, held_only=True):
        """Every side of the instrument's position that is held (or was traded, with held_only
        False), as a broker answers a position query."""
        for direction, side in instrument.holding.sides.items():
            if side.volume or (not held_only and side.opened):
                self.report_position(instrument, direction)
