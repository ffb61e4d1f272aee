"""The replaying client: what a trading client does with oxa.Brindle, tick by tick.

On each tick of an instrument that the investor has a strategy for, the client first lets the
exchange fill its resting orders (exchange.py), and its broker (broker.py) books the fills
into the account and tells the engine what changed (order notifications, positions); then it
hands the tick to the engine (push_md2trade) and has the broker send an order request
(push_ReqOrderInsert) for each decision an exchange would take. An order thus fills from the
next tick on, never at a price printed before it was placed. What the replay finds is
collected in a results object (results.py) for the report.

A trading day ends with its resting orders (they are day orders) and, by default, the client
stays running: positions are carried into the next day as yesterday's. With restart_daily it
starts each trading day as a restarted client would: a fresh engine, told the instruments,
the parameters and the positions carried.
"""
import datetime
import functools
import numbers
import time as clock_time
from array import array
from pathlib import Path

from ..market import limits, sessions
from ..live import parameters
from ..market.account import DIRECTION, OFFSET, OPEN, Account, close_orders, fees_for, margin_ratios
from ..market.broker import OFFSET_NAMES, Broker
from ..market.exchange import Quotes, model, on_grid
from .results import Results
from ..common.errors import UsageError, shown
from ..common.places import SAMPLES
from ..feed.ticks import ABSENT, EVENING, PRODUCT

INSTRUMENT_TABLE = "Instrument"  # the name under which the client hands instrument records to the engine
EPOCH = datetime.datetime(1970, 1, 1)
PROGRESS_STEP = 1024


def day_limits(tick):
    """(lowest, highest) price of the tick's day, or None where the tick does not say."""
    upper, lower = tick.get("UpperLimitPrice"), tick.get("LowerLimitPrice")
    if isinstance(upper, float) and isinstance(lower, float) and 0 < lower <= upper < ABSENT:
        return lower, upper
    return None


def refused(price, limits):
    """Why an exchange would refuse a limit price within the day's limits, or None."""
    if not 0 < price < ABSENT:  # NaN, infinities and whole numbers beyond a float's range among them
        return "not a price an exchange takes"
    if limits is not None and not limits[0] <= price <= limits[1]:
        return "outside the day's limits"
    return None


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


# Twin: Instrument in oxa/research/tick_loop.cpp, over the fields of road.CLIENT_FIELDS.
class Instrument:
    """The client's view of one instrument: its account holding, resting orders and what the
    chart shows of it."""

    def __init__(self, record, holding, session):
        self.record = record  # the instrument record object, told to every new engine
        self.session = session  # (product, close of its day session in seconds of the day, source)
        self.day_close = session[1]
        self.holding = holding
        self.id = holding.id
        self.exchange = holding.exchange
        self.open_orders = []
        self.ticks = 0
        self.engine_ticks = 0  # ticks the current engine has seen of it
        self.volume = None  # cumulative volume of the previous tick of the trading day
        self.dropped_from = None  # the volume before it went down, until it is back there
        self.market_volume = 0  # traded since the previous tick, summed over the replay
        self.filled_volume = 0  # lots of the client's fills
        self.quotes = Quotes()
        self.last_time = float("-inf")  # calendar time and row values of the previous tick
        self.last_values = None
        self.point = -1  # chart point of its last price
        self.points = array("l")
        self.prices = array("d")
        self.marks = []  # broker.Mark of every fill

    # Twin: Instrument::traded_since in oxa/research/tick_loop.cpp.
    def traded_since(self, volume):
        """The volume traded since the previous tick, from the cumulative volume; None when it
        went down (a feed's reset or a bad tick). After such a drop nothing counts as traded
        until the volume is back at the level before it, and then it counts from that level,
        however many ticks the dip lasts."""
        previous, self.volume = self.volume, volume
        if previous is None:
            return 0  # nothing is known before the first tick of the day
        if volume < previous:
            self.dropped_from = max(previous, self.dropped_from or 0)
            return None
        dropped = self.dropped_from
        if dropped is None:
            return volume - previous
        if volume < dropped:
            return 0  # still below the level before the drop: nothing is known to have traded
        self.dropped_from = None
        return volume - dropped


class Client:
    def __init__(self, args, settings, records, brindle, outputs, catalogue, fee_schedule, database=None,
                 margins=None):
        self.args = args
        self.settings = settings
        self.records = records
        self.brindle = brindle
        self.outputs = outputs
        self.catalogue = catalogue  # {InstrumentID: (line, fields)}, None with the database
        self.fee_schedule = fee_schedule
        self.margins = margins  # {InstrumentID or ProductID: {side: ratio}} over the instruments' own
        self.investor = args.investor
        self.strategies = settings.AI_Strategy[self.investor]
        self.account = Account(args.capital, args.funds == "marked", close_orders(args.close_order))
        self.results = results = Results(self.investor, self.account, database)
        self.totals, self.instruments, self.series = results.totals, results.instruments, results.series
        if catalogue is not None and catalogue.assumed:
            results.layouts.append((shown(args.instruments), catalogue.assumed))
        self.fills = model(args.fills, self.investor, None)
        results.fill_model = self.fills.name
        self.clock = Clock()
        self.broker = Broker(records, self.investor, self.account, self.totals, outputs.fills,
                             args.fills == "exchange", args.slippage, self.clock)
        self.engine = None
        self.withheld = results.withheld = limits.Withheld(args.limits)
        self.time = None
        self.trading_day = None
        self.day_first_tick = self.day_first_fill = 0
        self.file = None
        self.line = None
        # {ProductID: (close, source)}; None: --day-close closes every product
        self.day_closes = None if args.day_close is not None else sessions.day_closes(args.sessions)
        self.progress = None
        self.evaluating = None  # (InstrumentID, strategy text or None) that the engine is evaluating

    # --- the engine ------------------------------------------------------------------------

    def start_engine(self):
        if self.engine is not None:
            self.withheld.collect(self.engine)
        self.engine = self.broker.engine = engine = self.brindle.COXAAlgos()
        self.withheld.apply(engine)
        engine.Calc_Express = self.naming(engine.Calc_Express)
        # The database is written only when asked for: simulated trades go to the journal.
        engine.upload = 1 if self.args.db else 0
        self.fills = model(self.args.fills, self.investor, self.timed(engine.SimNow) if self.args.db else engine.SimNow)
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
        self.broker.realised_before = {(instrument.id, direction): side.realised
                                       for instrument in self.instruments.values()
                                       for direction, side in instrument.holding.sides.items()}
        for instrument in self.instruments.values():
            self.tell_instrument(instrument)
            self.broker.report_positions(instrument, held_only=False)

    def tell_instrument(self, instrument):
        self.engine.push_OnRspQryInstrument(INSTRUMENT_TABLE, instrument.record)
        parameters.push(self.engine, instrument.id, self.args.parameters)
        instrument.engine_ticks = 0

    def query_instrument(self, instrument_id):
        """The instrument record from the database (None when the database cannot answer)."""
        request = self.records.QryInstrumentField(InstrumentID=instrument_id.encode("gb18030"))
        try:
            answer = self.timed(self.engine.ReqQryInstrument)(request, self.broker.next_ref)
        except Exception as error:  # the server's errors reach the caller as they are
            self.totals.unavailable[instrument_id] = [0, "no instrument record: the database failed (%s: %s)"
                                                     % (type(error).__name__, error)]
            self.database_failure("querying instrument %s: %s" % (instrument_id, error))
            return None
        if not answer:
            self.fail("instrument %s is not in t_Instrument of %s" % (instrument_id, self.results.database))
        return answer[0], "t_Instrument"

    def naming(self, calculate):
        """The engine's Calc_Express, telling the client which text it evaluates (a failure is
        logged without it)."""

        def named(instrument_id, text, *rest):
            self.evaluating = instrument_id, text
            return calculate(instrument_id, text, *rest)

        return named

    def strategy_failed(self, message, error):
        """The engine logged a strategy's failure: counted by the key that failed (the message
        logged where no text was being evaluated) and instrument."""
        instrument_id, text = self.evaluating
        keys = [key for key, value in self.strategies.get(instrument_id, {}).items()
                if message == "Calc_Express" and value == text and key.endswith(("_express", "_price"))]
        key = "/".join(keys) or message
        found = self.results.strategy_errors.get((key, instrument_id))
        if found is None:
            self.results.strategy_errors[(key, instrument_id)] = [1, error, self.where()]
        else:
            found[0] += 1

    def where(self):
        return "%s %s %d" % (self.file.name, self.file.unit, self.line)

    def timed(self, function):
        """function, with the time it takes counted as time waited on the database."""

        def call(*args):
            started = clock_time.perf_counter()
            try:
                return function(*args)
            finally:
                self.results.database_seconds += clock_time.perf_counter() - started

        return call

    def database_failure(self, text):
        failures = self.results.database_failures
        if len(failures) < 5:
            failures.append(text)

    @functools.cached_property
    def instruments_shown(self):
        """The instrument file as messages name it (worked out once: a market adds hundreds)."""
        return shown(self.args.instruments)

    def add_instrument(self, instrument_id):
        if self.args.db:
            answer = self.query_instrument(instrument_id)
            if answer is None:
                return None
            record, source = answer
        else:
            found = self.catalogue.get(instrument_id)
            if found is None:
                default = Path(self.args.instruments) == SAMPLES / "instruments.csv"
                self.fail("instrument %s is not in %s%s" % (
                    instrument_id, self.instruments_shown,
                    ", the sample instrument file: name your broker's instrument list with --instruments FILE"
                    if default else ""))
            record = self.records.InstrumentField(**found[1])
            source = "%s line %d" % (self.instruments_shown, found[0])
        fields = record.to_dict()
        multiple = fields.get("VolumeMultiple")
        if isinstance(multiple, bool) or not isinstance(multiple, numbers.Real) or not multiple > 0:
            self.fail("instrument %s (%s) has VolumeMultiple %r: the profit needs the contract size"
                      % (instrument_id, source, multiple))
        holding = self.account.add(fields, fees_for(self.fee_schedule, instrument_id, fields.get("ProductID")),
                                   margin_ratios(self.margins, fields))
        instrument = self.instruments[instrument_id] = Instrument(record, holding, self.session_of(fields))
        self.tell_instrument(instrument)
        return instrument

    def session_of(self, fields):
        """(product, close, source) of an instrument's day session."""
        if self.day_closes is None:
            return sessions.EVERY_PRODUCT, self.args.day_close, "--day-close"
        letters = PRODUCT.match(fields["InstrumentID"])
        return sessions.day_close_of(self.day_closes, fields.get("ProductID"), letters and letters.group(0))

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
                    self.broker.report_positions(instrument)
        for instrument in self.instruments.values():
            instrument.volume = instrument.dropped_from = None  # the day's volume counts from 0
        self.trading_day = self.broker.trading_day = day
        self.results.trading_days.append(day)
        self.series.new_day(day)

    def end_day(self):
        """The trading day is over: its resting orders expire (day orders)."""
        for instrument in self.instruments.values():
            self.broker.expire(instrument)
        self.close_day()

    def close_day(self):
        totals = self.totals
        self.account.close_day(self.trading_day, totals.ticks - self.day_first_tick, totals.fills - self.day_first_fill)
        self.day_first_tick, self.day_first_fill = totals.ticks, totals.fills

    def finish(self):
        """After the last tick: the last day's figures and the chart's last point."""
        if self.engine is not None:
            self.withheld.collect(self.engine)
        if self.trading_day is not None:
            self.series.close_point(self.account)
            self.close_day()
            self.trading_day = None

    # --- one tick --------------------------------------------------------------------------

    def run(self, source, progress):
        self.progress = progress
        tick = self.tick
        for time, day, tick_file, line, fields, values in source:
            tick(time, day, tick_file, line, fields, values)

    def engine_step(self, instrument, tick):
        """The engine's decisions on the tick (the research road puts its own step here)."""
        return self.engine.push_md2trade(self.investor, instrument.id, tick)

    # Twin: TickLoop::tick in oxa/research/tick_loop.cpp (the native road's quiet ticks).
    def tick(self, time, day, tick_file, line, tick, values):
        """One tick, as the client handles it."""
        self.file, self.line, self.time = tick_file, line, time
        totals = self.totals
        instrument_id = tick["InstrumentID"]
        instrument = self.instruments.get(instrument_id)
        if instrument is None:
            instrument = self.first_tick_of(instrument_id, time, day)
            if instrument is None:
                return
        if time <= instrument.last_time and (time < instrument.last_time or values == instrument.last_values):
            # A recorder's glitch: reported, never traded on.
            self.skip(totals.went_back if time < instrument.last_time else totals.repeated)
            return
        instrument.last_time, instrument.last_values = time, values
        if day != self.trading_day:
            self.begin_day(day)
        if time > self.clock.seconds:  # the client's clock never goes back
            self.clock.seconds = time
        series, account = self.series, self.account
        minute = time // 60
        if minute != series.minute:
            series.new_point(minute, account)
        totals.ticks += 1
        instrument.ticks += 1
        if not totals.ticks % PROGRESS_STEP:
            self.progress.update(PROGRESS_STEP)
        holding = instrument.holding
        holding.last_price = last_price = tick["LastPrice"]
        if instrument.point != series.point:  # twin: Instrument::start_point, write_points (tick_loop.cpp)
            instrument.point = series.point
            instrument.points.append(series.point)
            instrument.prices.append(last_price)
        else:
            instrument.prices[-1] = last_price
        traded = instrument.traded_since(tick["Volume"])
        if traded is None:
            self.skip(totals.volume_resets)
            traded = 0
        instrument.market_volume += traded
        instrument.quotes.see(tick, traded)
        closed = instrument.day_close <= time % 86400 < EVENING
        if instrument.open_orders:
            broker = self.broker
            broker.cancel_stale(instrument, self.args.cancel_after)
            if instrument.open_orders and not closed:
                fills = self.fills.match(instrument.open_orders, tick, traded, instrument.quotes)
                if fills:
                    broker.book(instrument, tick, fills, time, line, tick_file.name)
        if holding.lots or holding.value:
            account.mark(holding)
        self.evaluating = instrument_id, None
        decisions = self.engine_step(instrument, tick)
        instrument.engine_ticks += 1
        if decisions:
            self.decide_all(instrument, tick, decisions, closed)

    def decide_all(self, instrument, tick, decisions, closed):
        held = "market closed" if closed else "warm-up" if instrument.engine_ticks <= self.args.warm_up else None
        for decision in decisions:
            self.decide(instrument, tick, decision, held)

    def skip(self, kept):
        kept[0] += 1
        if kept[1] is None:
            kept[1] = self.where()

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

    # Twin: DecisionDesk in oxa/research/decision_desk.cpp (a decision held back, or a close with
    # nothing to close, settled by the native loop).
    def decide(self, instrument, tick, decision, held):
        action, exchange, price, volume = decision
        self.totals.decisions[action] += 1
        # (A float, the usual price, passes without the slower check of the abstract type.)
        if type(price) is not float and (isinstance(price, bool) or not isinstance(price, numbers.Real)):
            self.fail("%s gave %r, not a price" % (self.entry(instrument, action + "_price"), price))
        if isinstance(volume, bool) or not isinstance(volume, int) or volume < 1:
            self.fail("%s is %r, not an order volume" % (self.entry(instrument, action + "_vol"), volume))
        row = [self.line, tick["UpdateTime"], instrument.id, action, exchange, price, volume]
        tail = [1 if instrument.engine_ticks == 1 else 0, self.trading_day, self.file.name]
        if held:
            self.totals.not_sent += 1
            self.outputs.decisions.write(row + ["", held + ", not sent", ""] + tail)
            return
        limit, limits = price, day_limits(tick)
        reason = refused(price, limits)
        if reason is None:
            limit = on_grid(price, instrument.holding.price_tick, DIRECTION[action] == "0")
            reason = refused(limit, limits)
        if reason:
            self.skip(self.totals.refused.setdefault(reason, [0, None]))
            self.outputs.decisions.write(row + ["", "price %r: %s, not sent" % (limit, reason), ""] + tail)
            return
        if OFFSET[action] == OPEN:
            reason = self.broker.funds_refusal(instrument, action, limit, volume)
            if reason:
                self.skip(self.totals.funds_refused)
                self.outputs.decisions.write(row + ["", "refused by the broker: %s" % reason, limit] + tail)
                return
        # As a broker would refuse it, the client sends no close order beyond its position.
        orders = self.broker.send(instrument, tick, action, exchange, limit, volume,
                                  self.strategies[instrument.id][action + "_express"])
        if not orders:
            self.totals.nothing_to_close += 1
            self.outputs.decisions.write(row + ["", "nothing to close", ""] + tail)
            return
        parts = [(o.offset, o.volume) for o in orders]
        sent = sum(lots for _, lots in parts)
        notes = [] if sent == volume else ["volume cut to %d to close" % sent]
        if len(parts) > 1:
            notes.append("split: " + ", ".join("%d %s" % (lots, OFFSET_NAMES[flag]) for flag, lots in parts))
        self.outputs.decisions.write(row + [" ".join(str(o.ref) for o in orders), "; ".join(notes), limit] + tail)

    def entry(self, instrument, key):
        return "%s of %s/%s" % (key, self.investor, instrument.id)
