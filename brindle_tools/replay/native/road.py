"""The research road (--engine native): the replay's ticks through a native tick loop and a
native evaluator of the strategy texts, with the same decisions, fills and figures as the
engine a host loads.

During a backtest the strategy does not change, so its texts are compiled once per run and
the settings module is executed once per trading day, not on every tick. The loop (the
extension _road beside this module, built from oxa/research/) runs the quiet ticks itself and
hands every other tick, and each decision, to the client's own code (client.py), so the
exchange, the account and the outputs are the same code as with the exact engine.

What the native road does not do, the exact engine does: a run with factors from the
database, the engine's own fill model or pre-trade risk limits, a strategy that reads the
statistics' books, or a strategy table that changes during the run is replayed with the
exact engine, and the run says so. A text outside what the native evaluator computes is
evaluated by Python on a namespace made for it, and the run says which texts.
"""
import collections
import copy
import importlib
import types

from ...live import check
from ...feed.ticks import ABSENT, RowTick
from ...market.account import CLOSE, DIRECTION, LONG, OFFSET, SIDE

BOOKS = frozenset(("trade_book", "bid_order_book", "ask_order_book", "__builtins__"))
QUOTE = ("LastPrice", "Volume", "BidPrice1", "BidVolume1", "AskPrice1", "AskVolume1")
LIMITS = ("UpperLimitPrice", "LowerLimitPrice")
OPENS = ("buy_open", "sell_open")
CLOSES = ("buy_close", "sell_close")


# The client's fields that the native loop reads and writes, by the class that holds them: the
# module is handed this and touches no other (oxa/research/python.hpp, field()). A field here
# has a twin in C++ that must change with it (docs/architecture.md).
CLIENT_FIELDS = {
    "Client": ("account", "clock", "engine", "file", "instruments", "line", "series", "time", "totals",
               "trading_day"),  # replay/client.py
    "Clock": ("seconds",),  # replay/client.py
    "Instrument": ("day_close", "dropped_from", "engine_ticks", "holding", "last_time", "market_volume",
                   "open_orders", "point", "points", "prices", "quotes", "ticks", "volume"),  # replay/client.py
    "Quotes": ("ask", "ask_taken", "bid", "bid_taken"),  # market/exchange.py
    "Order": ("buy", "placed", "price", "resting"),  # market/exchange.py
    "Totals": ("decisions", "not_sent", "nothing_to_close", "skipped", "ticks"),  # replay/results.py
    "Series": ("minute", "new_point", "point"),  # replay/results.py
    "Account": ("capital", "deepest", "drawdown", "drawdown_percent", "fees", "gross", "high", "low", "open_value",
                "peak"),  # market/account.py
    "Holding": ("last_price", "lots", "multiple", "price_tick", "sides", "value"),  # market/account.py
    "Side": ("average", "sign", "today", "yesterday"),  # market/account.py
}


class Unsupported(Exception):
    """The run needs the exact engine; the message says why."""


def native_module():
    """The native road's extension, handed the road's exception and the client's fields.
    Imported here: the exact road runs without it."""
    from . import _road

    _road.setup(Unsupported, CLIENT_FIELDS)
    return _road


def refusal(args):
    """Why the run cannot take the native road from the start, or None."""
    if args.db:
        return "factors from the database need the exact engine"
    if args.fills == "engine":
        return "the engine's own fill model needs the exact engine"
    return None


class Road:
    """One replay on the research road."""

    def __init__(self, client, source, settings, records):
        self.client = client
        self.settings = settings
        from . import compiler

        self.module = native_module()
        self.compile_text = compiler.compile_text
        # UpdateMillisec: the reader makes it from a time with a fraction.
        self.names_on = check.names_switch()
        names = check.attribute_names(settings, records, [*source.names, "UpdateMillisec"], client.args.parameters,
                                      self.names_on)
        self.slot_names = [name for name in names if name not in BOOKS]
        self.slot_of = {name: slot for slot, name in enumerate(self.slot_names)}.get
        self.declarations = self.declared(settings)
        self.strategies = copy.deepcopy(client.strategies)
        self.compiled = {}  # InstrumentID -> (opens, closes)
        # text -> (Program or None, why not): instruments of one strategy share its programs,
        # which then stay in the processor's caches from one instrument's tick to the next's.
        self.programs = {}
        self.python_texts = []  # (where, why) of each text Python evaluates
        self.texts_of = {}  # id(what Python evaluates) -> (InstrumentID, text), for a failure
        self.texts = 0
        read = set()  # the names the strategy's texts read
        for instrument_id, strategy in client.strategies.items():
            self.compiled[instrument_id] = tuple(
                [self.action(instrument_id, strategy, action, read) for action in actions] for actions in (OPENS, CLOSES))
        # The tick's numbers that are merged into the slots: those the texts, the statistics and
        # the loop read (all of them with the strategy names on, whose indicators read fields too).
        self.merged = None if self.names_on else {
            self.slot_of(name) for name in (read | set(QUOTE) | set(LIMITS) | check.ENGINE_KEYS | set(check.ZERO_COUNTERS))}
        self.cancel_after = client.args.cancel_after  # resting orders cancelled after seconds (0: never)
        self.instrument_codes = {}
        self.day_codes = {}
        self.layouts = {}  # (the names of a batch's fields, their kinds) -> layout_of's answer

    # --- the strategy ----------------------------------------------------------------------

    def action(self, instrument_id, strategy, action, read):
        return (action, self.expression(instrument_id, action + "_express", strategy[action + "_express"], read),
                self.expression(instrument_id, action + "_price", strategy[action + "_price"], read),
                strategy[action + "_vol"])

    def expression(self, instrument_id, key, text, read):
        """(program or None, what Python evaluates, [(name, slot)] of the names it reads); the
        names go into read."""
        self.texts += 1
        _, free = check.check_expression(text)
        books = sorted(set(free) & BOOKS)
        if books:
            raise Unsupported("%s of %s reads %s" % (key, instrument_id, ", ".join(books)))
        if text not in self.programs:
            ops, reason = self.compile_text(text, self.slot_of)
            self.programs[text] = (self.module.Program(ops) if ops is not None else None, reason)
        program, reason = self.programs[text]
        if program is None:
            self.python_texts.append(("%s of %s" % (key, instrument_id), reason))
        try:
            code = compile(text, "<string>", "eval")
        except (SyntaxError, TypeError, ValueError):
            code = text  # evaluated as given, it fails as it does in the engine
        names = [(name, self.slot_of(name)) for name in sorted(free) if self.slot_of(name) is not None]
        read.update(name for name, _ in names)
        self.texts_of[id(code)] = (instrument_id, text)
        return program, code, names

    def describe(self):
        """What the run tells the operator about the road it took."""
        native = self.texts - len(self.python_texts)
        text = "native: %d of %d strategy texts compiled" % (native, self.texts)
        if self.python_texts:
            text += "; Python evaluates %s" % "; ".join("%s (%s)" % item for item in self.python_texts)
        return text

    @staticmethod
    def declared(settings):
        return getattr(settings, "Indicators", None), getattr(settings, "Sessions", None)

    def name_slots(self):
        """Where the trading-state names and indicators go (the loop's NameSlots), None with the
        switch off."""
        if not self.names_on:
            return None
        def slot(name):
            return -1 if self.slot_of(name) is None else self.slot_of(name)

        def parsed(pairs):
            return [tuple(check.seconds_of_day(t) for t in pair) for pair in pairs]

        indicators = []
        for name, (kind, field, window) in check.indicators(self.settings).items():
            if self.slot_of(field or "LastPrice") is None:
                raise Unsupported("the indicator %s reads %s, which is no attribute of the run" % (name, field))
            matched = check.WINDOW.fullmatch(window)
            unit = 2 if matched.group(1) else 0 if matched.group(3).startswith("tick") else 1
            indicators.append((slot(name), self.slot_of(field or "LastPrice"), check.STATISTICS.index(kind), unit,
                               0.0 if unit == 2 else float(matched.group(2))))
        sessions = self.declared(self.settings)[1]
        if sessions is not None and check.sessions_problem(sessions) is None:
            sessions = ({key: parsed(pairs) for key, pairs in sessions.items()} if isinstance(sessions, dict)
                        else parsed(sessions))
        else:
            sessions = None
        return {"trading": [slot(name) for name in check.TRADING_STATE[:14]], "day_seconds": slot("day_seconds"),
                "session_left": slot("session_left"), "update_time": slot("UpdateTime"),
                "trading_day": slot("TradingDay"), "multiple": slot("VolumeMultiple"), "indicators": indicators,
                "sessions": sessions}

    # --- the run ---------------------------------------------------------------------------

    def run(self, source, progress):
        client = self.client
        client.progress = progress
        client.engine_step = lambda instrument, tick: self.loop.evaluate_current()
        statistics = {name: self.slot_of(name) for name in check.ENGINE_KEYS | set(check.ZERO_COUNTERS)
                      if name not in BOOKS}
        self.loop = self.module.TickLoop(self, client, progress, statistics, self.name_slots())
        self.loop.run([self.prepared(lane) for lane in source.lanes()])

    def prepared(self, batches):
        """The batches with what the loop reads of them."""
        import numpy as np
        import pyarrow as pa

        for batch in batches:
            layout, numbers, others, quote, update_time, limits = self.layout_of(batch)
            day_codes = np.array([self.code_of(self.day_codes, day) for day in batch.day_texts], np.int64)
            yield Prepared(batch, pa.array(batch.keys), pa.array(day_codes[batch.day_index]), pa.array(batch.lines),
                           self.instruments_of(batch), None if batch.bad is None else pa.array(batch.bad.view(np.uint8)),
                           layout, [(slot, batch.columns[position][2]) for slot, position in numbers], others, quote,
                           batch.file.number, self.text_columns(batch), update_time, limits)

    def layout_of(self, batch):
        """(the layout's code, (slot, position) of the numbers merged into the slots, (slot,
        position) of its other fields, where the quote's fields are among the numbers,
        UpdateTime's position (-1: none), where the day's limit prices are among the numbers) of
        a batch's fields, worked out once for all the batches that have them."""
        kinds = tuple(kind for _, kind, _ in batch.columns)
        key = (tuple(batch.names), kinds)
        layout = self.layouts.get(key)
        if layout is not None:
            return layout
        numbers, others = [], []
        for position, name in enumerate(batch.names):
            slot = self.slot_of(name)
            if slot is None:
                continue
            if position < len(kinds) and kinds[position] in (int, float):
                if self.merged is None or slot in self.merged:
                    numbers.append((slot, position))
            else:
                others.append((slot, position))
        slots = [slot for slot, _ in numbers]
        try:
            quote = [slots.index(self.slot_of(name)) for name in QUOTE]
        except ValueError:
            raise Unsupported("%s: a column of %s is not numbers" % (batch.file.name, ", ".join(QUOTE))) from None
        layout = self.layouts[key] = (len(self.layouts), numbers, others, quote,
                                      batch.positions.get("UpdateTime", -1),
                                      tuple(self.number_index(batch, slots, name) for name in LIMITS))
        return layout

    def text_columns(self, batch):
        """[(position, TextColumn)] of the batch's text columns, which its rows then read natively
        (a Python string made only for the row read)."""
        import pyarrow as pa

        texts = []
        for position, (_, kind, array) in enumerate(batch.columns):
            if kind is str and (pa.types.is_string(array.type) or pa.types.is_large_string(array.type)) \
                    and not array.null_count:
                texts.append((position, self.module.TextColumn(array)))
                batch.read_with(position, texts[-1][1])
        return texts

    def number_index(self, batch, slots, field):
        """Where the field is among the batch's numbers: -1 where the batch has no such field, -2
        where it is not among them."""
        if field not in batch.positions:
            return -1
        slot = self.slot_of(field)
        return slots.index(slot) if slot in slots else -2

    def instruments_of(self, batch):
        import numpy as np
        import pyarrow as pa

        instrument = batch.instrument or dict(batch.constants).get("InstrumentID")
        if instrument is not None:
            return pa.array(np.full(batch.size, self.instrument_code(instrument), np.int64))
        array = next(array for name, _, array in batch.columns if name == "InstrumentID")
        encoded = array.dictionary_encode()
        codes = np.array([self.instrument_code(word) for word in encoded.dictionary.to_pylist()], np.int64)
        return pa.array(codes[encoded.indices.to_numpy()])

    @staticmethod
    def code_of(codes, key):
        code = codes.get(key)
        if code is None:
            code = codes[key] = len(codes)
        return code

    def instrument_code(self, instrument_id):
        known = instrument_id in self.instrument_codes
        code = self.code_of(self.instrument_codes, instrument_id)
        if not known:
            opens, closes = self.compiled.get(instrument_id, ([], []))
            self.loop.set_strategy(code, instrument_id, opens, closes)
        return code

    # --- what the loop asks of the client --------------------------------------------------

    def day_code(self, day):
        return -1 if day is None else self.code_of(self.day_codes, day)

    def full(self, batch, row, last_values):
        """The tick, handled by the client's code (last_values: those of the instrument's
        previous tick, when its time is the same)."""
        client = self.client
        values, tick = batch.row(row), RowTick(batch, row)
        instrument = client.instruments.get(tick["InstrumentID"])
        if last_values is not None and instrument is not None:
            instrument.last_values = last_values
        day_before, engine_before = client.trading_day, client.engine
        client.tick(float(batch.keys[row]), batch.day_texts[batch.day_index[row]], batch.file,
                    int(batch.lines[row]), tick, values)
        if client.engine is not engine_before and getattr(client.engine, "risk_limits", None):
            raise Unsupported("pre-trade risk limits are applied by the exact engine")
        if day_before is not None and client.trading_day != day_before:
            self.new_day()

    def new_day(self):
        """The settings module, executed for the new trading day: its strategies must be the
        ones compiled."""
        try:
            settings = importlib.reload(self.settings)
            same = settings.AI_Strategy[self.client.investor] == self.strategies
            declared = self.declared(settings) == self.declarations
        except Exception:  # a module that fails, or a table that cannot be read, has changed
            same = declared = False
        if not same:
            raise Unsupported("the strategy table changed on trading day %s" % self.client.trading_day)
        if not declared:
            raise Unsupported("the Indicators or Sessions changed on trading day %s" % self.client.trading_day)

    def desk(self):
        """What the loop needs to settle decisions as Client.decide does (its DecisionDesk): the
        row writer of decisions.csv, the totals, the warm-up, the feed's "none" price and, by
        action, whether it closes, whether it closes long lots and whether it buys."""
        client = self.client
        return types.SimpleNamespace(
            write=client.outputs.decisions.write, totals=client.totals, warm_up=client.args.warm_up, absent=ABSENT,
            actions={action: (OFFSET[action] == CLOSE, SIDE[action] == LONG, DIRECTION[action] == "0")
                     for action in OFFSET})

    def decide(self, instrument, batch, row, decisions, closed):
        self.client.decide_all(instrument, RowTick(batch, row), decisions, closed)

    # Twin: COXAAlgos.Calc_Express in oxa/strategy/expression.cpp (its value and its log).
    def python_value(self, code, names):
        """(0, value) of a text that Python evaluates, or (-1, 0) logged as the engine logs it."""
        try:
            return 0, eval(code, names)
        except Exception as error:
            error.__traceback__ = error.__traceback__.tb_next  # the text's frames, as the engine logs them
            self.failing(self.texts_of[id(code)])
            importlib.import_module("cfg.oxa_env").logger.error("Calc_Express", exc_info=True)
            return -1, 0

    # Twin: push_md2trade's handler in oxa/strategy/tick.cpp.
    def tick_failed(self, error):
        """Logs a tick's failure as the engine does: from its handler, where the logger sees
        the exception being handled."""
        self.failing(None)
        try:
            raise error
        except Exception:
            error.__traceback__ = error.__traceback__.tb_next  # not this frame: the engine's log has none
            importlib.import_module("cfg.oxa_env").logger.error("push_md2trade", exc_info=True)

    def failing(self, evaluating):
        """The client told where the strategy fails: the tick, and (InstrumentID, text) of what
        was being evaluated (None: the tick's instrument, no text)."""
        client = self.client
        client.file, client.line, instrument_id = self.loop.where()
        client.evaluating = evaluating or (instrument_id, None)


# A batch as the loop reads it: the reader's Batch, its columns for the loop (pyarrow arrays),
# the layout's code, (slot, array) of its numbers, (slot, position) of its other fields, where
# the quote's fields are among the numbers, its file's rank in the merge of equal times,
# (position, TextColumn) of its text columns, UpdateTime's position (-1: none) and where the
# day's limit prices are among the numbers (Road.number_index).
Prepared = collections.namedtuple(
    "Prepared", "batch keys days lines instruments bad layout numbers others quote rank texts update_time limits")
