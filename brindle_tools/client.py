"""The replaying client: what a trading client does with oxa.Brindle, tick by tick.

On each tick of an instrument that the investor has a strategy for, the client first lets the
exchange fill its resting orders (exchange.py), books the fills into its account and tells
the engine what changed (order notifications, positions); then it hands the tick to the
engine (push_md2trade) and sends an order request (push_ReqOrderInsert) for each decision.
An order thus fills from the next tick on, never at a price printed before it was placed.

A trading day ends with its resting orders (they are day orders) and, by default, the client
stays running: positions are carried into the next day as yesterday's. With restart_daily it
starts each trading day as a restarted client would: a fresh engine, told the instruments,
the parameters and the positions carried.
"""
import datetime
import math
import numbers
import time as clock_time
from array import array

from . import limits, parameters
from .account import DIRECTION, OFFSET, SIDE, Account, fees_for
from .exchange import CANCELLED, FILLED, PARTLY_FILLED, QUEUEING, Order, model, on_grid
from .host import UsageError, shown
from .ticks import EVENING

# Names under which the client hands records to the engine (trace file and table names).
INSTRUMENT_TABLE, ORDER_TABLE, POSITION_TABLE, NOTICE_TABLE = "Instrument", "InputOrder", "InvestorPosition", "Order"
EPOCH = datetime.datetime(1970, 1, 1)
PROGRESS_STEP = 1024


class Clock:
    """The engine's `datetime` during a replay: now() is the calendar time of the tick being
    replayed, so the factor refresh period runs in market time."""

    def __init__(self):
        self.seconds = None
        self.made_at = self.made = None

    def now(self):
        if self.seconds != self.made_at:
            self.made_at, self.made = self.seconds, EPOCH + datetime.timedelta(seconds=self.seconds)
        return self.made


class Instrument:
    """The client's view of one instrument: its account holding, resting orders and what the
    chart shows of it."""

    def __init__(self, record, holding):
        self.record = record  # the instrument record object, told to every new engine
        self.holding = holding
        self.id = holding.id
        self.exchange = holding.exchange
        self.open_orders = []
        self.ticks = 0
        self.engine_ticks = 0  # ticks the current engine has seen of it
        self.volume = None  # cumulative volume of the previous tick
        self.last_time = float("-inf")  # calendar time and row values of the previous tick
        self.last_values = None
        self.point = -1  # chart point of its last price
        self.points = array("l")
        self.prices = array("d")
        self.marks = []  # (chart point, price, action) of every fill

    def closable(self, action):
        """What a close action may still close: the position less the close orders working."""
        working = sum(o.left for o in self.open_orders if o.action == action)
        return self.holding.sides[SIDE[action]].volume - working


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


class Client:
    def __init__(self, args, settings, records, brindle, outputs, catalogue, fee_schedule, database=None):
        self.args = args
        self.settings = settings
        self.records = records
        self.brindle = brindle
        self.outputs = outputs
        self.catalogue = catalogue  # {InstrumentID: (line, fields)}, None with the database
        self.fee_schedule = fee_schedule
        self.database = database  # description of the database with --db
        self.investor = args.investor
        self.strategies = settings.AI_Strategy[self.investor]
        self.account = Account(args.capital)
        self.totals = Totals()
        self.instruments = {}
        self.fills = model(args.fills, self)
        self.notify_orders = args.fills == "exchange"
        self.clock = Clock()
        self.engine = None
        self.withheld = limits.Withheld(args.limits)
        self.next_ref = 1
        self.time = None
        self.trading_day = None
        self.trading_days = []
        self.day_first_tick = self.day_fills = 0
        self.file = None
        self.line = None
        self.database_seconds = 0.0
        self.database_failures = []  # what failed on the database, first few
        # Chart: one point per minute of market time in which ticks arrived.
        self.minute = None
        self.point = -1  # the current chart point
        self.point_minutes = array("d")
        self.point_equity = array("d")
        self.day_points = []  # (first point, trading day)
        self.slippage = args.slippage
        self.day_close = args.day_close

    # --- the engine ------------------------------------------------------------------------

    def start_engine(self):
        if self.engine is not None:
            self.withheld.collect(self.engine)
        self.engine = engine = self.brindle.COXAAlgos()
        self.withheld.apply(engine)
        # The database is written only when asked for: simulated trades go to the journal.
        engine.upload = 1 if self.args.db else 0
        if self.args.db:
            engine.updateFactor = self.timed(engine.updateFactor)
            engine.updateFactor()  # the factors of the table from the first tick on
        else:
            # Without a database the factors stay as they are; the engine's periodic refresh
            # would try to reach the server.
            engine.updateFactor = lambda: None

    def restart_engine(self):
        """A fresh engine for the new trading day, told what a restarted client tells it."""
        self.start_engine()
        for instrument in self.instruments.values():
            self.tell_instrument(instrument)
            for direction, side in instrument.holding.sides.items():
                if side.volume or side.opened:
                    self.report_position(instrument, direction)

    def tell_instrument(self, instrument):
        self.engine.push_OnRspQryInstrument(INSTRUMENT_TABLE, instrument.record)
        parameters.push(self.engine, instrument.id, self.args.parameters)
        instrument.engine_ticks = 0

    def query_instrument(self, instrument_id):
        """The instrument record from the database (None when the database cannot answer)."""
        request = self.records.QryInstrumentField(InstrumentID=instrument_id.encode("gb18030"))
        try:
            answer = self.timed(self.engine.ReqQryInstrument)(request, self.next_ref)
        except Exception as error:  # the server's errors reach the caller as they are
            self.totals.unavailable[instrument_id] = [0, "no instrument record: the database failed (%s: %s)"
                                                     % (type(error).__name__, error)]
            self.database_failure("querying instrument %s: %s" % (instrument_id, error))
            return None
        if not answer:
            self.fail("instrument %s is not in t_Instrument of %s" % (instrument_id, self.database))
        return answer[0], "t_Instrument"

    def timed(self, function):
        """function, with the time it takes counted as time waited on the database."""

        def call(*args):
            started = clock_time.perf_counter()
            try:
                return function(*args)
            finally:
                self.database_seconds += clock_time.perf_counter() - started

        return call

    def database_failure(self, text):
        if len(self.database_failures) < 5:
            self.database_failures.append(text)

    def add_instrument(self, instrument_id):
        if self.args.db:
            answer = self.query_instrument(instrument_id)
            if answer is None:
                return None
            record, source = answer
        else:
            found = self.catalogue.get(instrument_id)
            if found is None:
                self.fail("instrument %s is not in %s" % (instrument_id, shown(self.args.instruments)))
            record = self.records.InstrumentField(**found[1])
            source = "%s line %d" % (shown(self.args.instruments), found[0])
        fields = record.to_dict()
        multiple = fields.get("VolumeMultiple")
        if isinstance(multiple, bool) or not isinstance(multiple, numbers.Real) or not multiple > 0:
            self.fail("instrument %s (%s) has VolumeMultiple %r: the profit needs the contract size"
                      % (instrument_id, source, multiple))
        holding = self.account.add(fields, fees_for(self.fee_schedule, instrument_id, fields.get("ProductID")))
        instrument = self.instruments[instrument_id] = Instrument(record, holding)
        self.tell_instrument(instrument)
        return instrument

    def fail(self, text):
        raise UsageError("%s %s %d: %s" % (self.file.name, self.file.unit, self.line, text))

    # --- the trading day -------------------------------------------------------------------

    def begin_day(self, day):
        if self.trading_day is not None:
            self.end_day()
            self.account.new_day()
            if self.args.restart_daily:
                self.restart_engine()
            else:
                for instrument in self.instruments.values():
                    for direction, side in instrument.holding.sides.items():
                        if side.volume:
                            self.report_position(instrument, direction)
        self.trading_day = day
        self.trading_days.append(day)
        self.day_points.append((len(self.point_minutes), day))

    def end_day(self):
        """The trading day is over: its resting orders expire (day orders)."""
        for instrument in self.instruments.values():
            for order in instrument.open_orders:
                self.cancel(instrument, order)
                self.totals.expired += 1
            instrument.open_orders.clear()
        self.account.close_day(self.trading_day, self.totals.ticks - self.day_first_tick, self.day_fills)
        self.day_first_tick, self.day_fills = self.totals.ticks, 0

    def finish(self):
        """After the last tick: the last day's figures and the chart's last point."""
        if self.engine is not None:
            self.withheld.collect(self.engine)
        if self.trading_day is not None:
            if self.point_equity:
                self.point_equity[-1] = self.account.equity
            self.account.close_day(self.trading_day, self.totals.ticks - self.day_first_tick, self.day_fills)
            self.trading_day = None

    # --- one tick --------------------------------------------------------------------------

    def run(self, source, progress):
        instruments = self.instruments
        totals = self.totals
        account = self.account
        warm_up = self.args.warm_up
        day_close = self.day_close
        for time, day, tick_file, line, tick, values in source:
            self.file, self.line, self.time = tick_file, line, time
            instrument_id = tick["InstrumentID"]
            instrument = instruments.get(instrument_id)
            if instrument is None:
                instrument = self.first_tick_of(instrument_id, time, day)
                if instrument is None:
                    continue
            if time <= instrument.last_time and (time < instrument.last_time or values == instrument.last_values):
                # A recorder's glitch: reported, never traded on.
                self.skip(totals.went_back if time < instrument.last_time else totals.repeated)
                continue
            instrument.last_time, instrument.last_values = time, values
            if day != self.trading_day:
                self.begin_day(day)
            if time > self.clock.seconds:  # the client's clock never goes back
                self.clock.seconds = time
            minute = time // 60
            if minute != self.minute:
                self.new_point(minute)
            totals.ticks += 1
            instrument.ticks += 1
            if not totals.ticks % PROGRESS_STEP:
                progress.update(PROGRESS_STEP)
            holding = instrument.holding
            holding.last_price = last_price = tick["LastPrice"]
            if instrument.point != self.point:
                instrument.point = self.point
                instrument.points.append(self.point)
                instrument.prices.append(last_price)
            else:
                instrument.prices[-1] = last_price
            # The volume traded since the previous tick; nothing is known before the first.
            volume, previous = tick["Volume"], instrument.volume
            instrument.volume = volume
            traded = volume - previous if previous is not None and volume > previous else 0
            closed = day_close <= time % 86400 < EVENING
            if instrument.open_orders:
                self.cancel_stale(instrument)
                if instrument.open_orders and not closed:
                    fills = self.fills.match(instrument.open_orders, tick, traded)
                    if fills:
                        self.book(instrument, tick, fills, traded)
            if holding.lots or holding.value:
                account.mark(holding)
            decisions = self.engine.push_md2trade(self.investor, instrument_id, tick)
            instrument.engine_ticks += 1
            if decisions:
                held = "market closed" if closed else "warm-up" if instrument.engine_ticks <= warm_up else None
                for decision in decisions:
                    self.decide(instrument, tick, decision, held)

    def skip(self, kept):
        kept[0] += 1
        if kept[1] is None:
            kept[1] = "%s %s %d" % (self.file.name, self.file.unit, self.line)

    def first_tick_of(self, instrument_id, time, day):
        """The instrument of a first tick, told to the engine; None when it is not traded."""
        if instrument_id not in self.strategies:
            self.totals.skipped[instrument_id] = self.totals.skipped.get(instrument_id, 0) + 1
            return None
        unavailable = self.totals.unavailable.get(instrument_id)
        if unavailable is not None:
            unavailable[0] += 1
            return None
        if self.engine is None:
            self.clock.seconds = time
            self.start_engine()
        instrument = self.add_instrument(instrument_id)
        if instrument is None:
            self.totals.unavailable[instrument_id][0] += 1
        return instrument

    def new_point(self, minute):
        if self.point_equity:
            self.point_equity[-1] = self.account.equity
        self.minute = minute
        self.point = len(self.point_minutes)
        self.point_minutes.append(minute)
        self.point_equity.append(self.account.equity)

    def cancel_stale(self, instrument):
        limit = self.args.cancel_after
        if not limit:
            return
        now = self.clock.seconds
        stale = [o for o in instrument.open_orders if now - o.placed >= limit]
        for order in stale:
            self.cancel(instrument, order)
            instrument.open_orders.remove(order)
            self.totals.cancelled += 1

    def cancel(self, instrument, order):
        if self.notify_orders:
            self.notify(instrument, order, CANCELLED)
        else:
            order.request["OrderStatus"] = CANCELLED  # SimNow never fills a cancelled request

    def book(self, instrument, tick, fills, traded):
        changed = set()
        account, holding = self.account, instrument.holding
        slippage = self.slippage * holding.price_tick
        engine_model = not self.notify_orders
        for order, volume, price, how in fills:
            if slippage:
                price = price + slippage if order.buy else price - slippage
            side, fee = account.fill(holding, order.action, volume, price, self.time)
            order.filled += volume
            if not order.left:
                instrument.open_orders.remove(order)
                self.totals.filled += 1
            self.totals.fills += 1
            self.day_fills += 1
            changed.add(SIDE[order.action])
            if self.notify_orders:
                self.notify(instrument, order, FILLED if not order.left else PARTLY_FILLED)
            request = order.request
            self.outputs.fills.write((
                self.investor, instrument.id, request["Express"], request["Direction"], request["CombOffsetFlag"],
                request["OrderTime"], request["LimitPrice"], request["MD_Last_Price"], price,
                traded if engine_model else volume, order.ref, order.action, volume, self.line, tick["UpdateTime"],
                side.volume, fee, how, self.trading_day, self.file.name))
            instrument.marks.append((instrument.point, price, order.action))
        for direction in sorted(changed):
            self.report_position(instrument, direction)

    def notify(self, instrument, order, status):
        """The order notification a broker sends the client, forwarded to the engine."""
        record = self.records.OrderField(
            InvestorID=self.investor, InstrumentID=instrument.id, OrderRef=str(order.ref), UserID=self.investor,
            OrderPriceType="2", Direction=DIRECTION[order.action], CombOffsetFlag=OFFSET[order.action],
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
        record = self.records.InvestorPositionField(
            InvestorID=self.investor, InstrumentID=instrument.id, ExchangeID=instrument.exchange,
            PosiDirection=direction, HedgeFlag="1", PositionDate="1", YdPosition=side.yesterday,
            Position=side.volume, TodayPosition=side.today, OpenVolume=side.opened, CloseVolume=side.closed,
            PositionCost=cost, OpenCost=cost, CloseProfit=side.realised, TradingDay=self.trading_day or "")
        self.engine.push_OnRspQryInvestorPosition(POSITION_TABLE, record)

    def decide(self, instrument, tick, decision, held):
        action, exchange, price, volume = decision
        self.totals.decisions[action] += 1
        if isinstance(price, bool) or not isinstance(price, numbers.Real) or not math.isfinite(price):
            self.fail("%s gave %r, not a price" % (self.entry(instrument, action + "_price"), price))
        if isinstance(volume, bool) or not isinstance(volume, int) or volume < 1:
            self.fail("%s is %r, not an order volume" % (self.entry(instrument, action + "_vol"), volume))
        row = [self.line, tick["UpdateTime"], instrument.id, action, exchange, price, volume]
        tail = [1 if instrument.engine_ticks == 1 else 0, self.trading_day, self.file.name]
        if held:
            self.totals.not_sent += 1
            self.outputs.decisions.write(row + ["", held + ", not sent", ""] + tail)
            return
        sent = volume
        if OFFSET[action] == "1":
            # As a broker would refuse it, the client sends no close order beyond its position.
            sent = min(volume, instrument.closable(action))
            if sent <= 0:
                self.totals.nothing_to_close += 1
                self.outputs.decisions.write(row + ["", "nothing to close", ""] + tail)
                return
        limit = on_grid(price, instrument.holding.price_tick, DIRECTION[action] == "0")
        order = self.place(instrument, tick, action, exchange, limit, sent)
        self.outputs.decisions.write(row + [order.ref, "" if sent == volume else "volume cut to %d to close" % sent,
                                            limit] + tail)

    def entry(self, instrument, key):
        return "%s of %s/%s" % (key, self.investor, instrument.id)

    def place(self, instrument, tick, action, exchange, price, volume):
        ref = self.next_ref
        self.next_ref += 1
        express = self.settings.AI_Strategy[self.investor][instrument.id][action + "_express"]
        record = self.records.InputOrderField(
            InvestorID=self.investor, InstrumentID=instrument.id, ExchangeID=exchange, OrderRef=str(ref),
            UserID=self.investor, OrderPriceType="2", Direction=DIRECTION[action], CombOffsetFlag=OFFSET[action],
            CombHedgeFlag="1", LimitPrice=price, VolumeTotalOriginal=volume, TimeCondition="3",
            VolumeCondition="1", MinVolume=1, RequestID=ref, OrderStatus="3", Express=express,
            OrderTime=tick["UpdateTime"], MD_Last_Price=tick["LastPrice"])
        self.engine.push_ReqOrderInsert(ORDER_TABLE, record)
        # The engine keeps the request's dictionary itself; its simulated fills mark it there.
        request = self.engine.get_ReqOrderList(instrument.id)[-1]
        order = Order(ref, action, price, volume, self.clock.seconds, request)
        instrument.open_orders.append(order)
        self.totals.placed += 1
        if self.notify_orders:
            self.notify(instrument, order, QUEUEING)
        return order

