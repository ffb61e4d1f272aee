"""The replay's options, defined once: the replay and the sweep both take them, so a run of
the sweep is the replay that the same options would give."""
import argparse
import json
from dataclasses import MISSING, asdict, dataclass, field, fields, replace
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from ..common.errors import UsageError, resolved, shown
from ..common.places import SAMPLES
from ..live import parameters
from ..market import account, limits, sessions
from ..feed.ticks import DAY_OPTION, PUBLIC_LAYOUT, PUBLIC_NAME, SKIP_OPTION, VENDOR_HEADERS, parse_day

# Options naming files, relative to where the command was started.
PATHS = ("instruments", "fees", "margin", "price_bands", "close_order", "sessions")
STRATEGY_FAILED = 3  # the exit status of a replay whose strategy failed while running


def time_of_day(text):
    seconds = sessions.clock_seconds(text)
    if seconds is None:
        raise argparse.ArgumentTypeError("%r is not a time of day HH:MM[:SS]" % text)
    return seconds


def non_negative(text):
    try:
        value = float(text)
    except ValueError:
        value = -1
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("%r is not a number of 0 or more" % text)
    return value


def positive(text):
    try:
        value = non_negative(text)
    except argparse.ArgumentTypeError:
        value = 0
    if not value > 0:
        raise argparse.ArgumentTypeError("%r is not a number above 0" % text)
    return value


def whole_number(text, least):
    try:
        value = int(text)
    except ValueError:
        value = None
    if value is None or value < least:
        raise argparse.ArgumentTypeError("%r is not a whole number of %d or more" % (text, least))
    return value


def positive_int(text):
    return whole_number(text, 1)


def count(text):
    return whole_number(text, 0)


def trading_day(text):
    if parse_day(text.strip()) is None:
        raise argparse.ArgumentTypeError("%r is not a date YYYYMMDD" % text)
    return text.strip()


NUMBER_CHECKS = (non_negative, positive, positive_int, count)


def day_list(text):
    """--days: trading days YYYYMMDD, comma-separated."""
    return tuple(trading_day(day) for day in text.split(","))


def instrument_patterns(text):
    """--select: instrument IDs or patterns, comma-separated."""
    found = tuple(p.strip() for p in text.split(",") if p.strip())
    if not found:
        raise argparse.ArgumentTypeError("%r names no instrument (e.g. 'rb*,hc2501')" % text)
    return found


def column_names(text):
    """--columns: the names, comma-separated, or the public layout's name."""
    if text.strip() == PUBLIC_NAME:
        return PUBLIC_LAYOUT
    return tuple(c.strip() for c in text.split(","))


def assignment(item):
    """NAME=VALUE of a --set option, or a notebook's (name, value), as (name, value): a value
    given as a value is kept as it is."""
    try:
        if isinstance(item, str):
            return parameters.parse_assignment(item)
        name, value = item
        parameters.parse_assignment("%s=0" % name)
        return name, value
    except UsageError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def limit(item):
    """NAME=VALUE of a --limit option, or a notebook's (name, number), as (name, number)."""
    return limits.assignment(item if isinstance(item, str) else "%s=%s" % tuple(item))


def option(default=None, help="", flag=None, group=None, factory=None, **argparse_options):
    """A field of ReplayOptions and how its command line option reads it: `type` turns the
    command line's text into the field's value (a notebook's text is read the same way)."""
    metadata = dict(argparse_options, help=help, flag=flag, group=group)
    if factory is not None:
        return field(default_factory=factory, metadata=metadata)
    return field(default=default, metadata=metadata)


@dataclass
class ReplayOptions:
    """Every option of a replay but its tick files and its outputs: the command lines are
    parsed into it and the notebook functions take it, or its fields as keywords."""

    instruments: Optional[Path] = option(
        SAMPLES / "instruments.csv", group="source", type=Path,
        help="instrument file: CSV of the instrument record's fields with a header line, or the broker's own "
             "list as delivered (no header, the fields in the record's order, GB18030 or UTF-8; repeated rows read "
             "once; the fields after ShortMarginRatio may be left out) (default: the sample %s)"
             % shown(SAMPLES / "instruments.csv"))
    db: bool = option(False, group="source", action="store_true",
                      help="use the database of cfg/oxa.ini: instruments from t_Instrument, factors from "
                           "t_factor, simulated trades journalled to T_SimNow_AutoTrade (with --fills engine)")
    investor: Optional[str] = option(None, help="investor whose strategies decide (default: the only one)")
    host: Optional[Path] = option(None, type=Path, help="host working directory (default: the current directory "
                                                        "if it is one, else the sample host)")
    fills: str = option("exchange", choices=("exchange", "engine"),
                        help="fill model: exchange (default): at the quote or at the limit when the market trades "
                             "through it, volume capped by the tick; engine: the engine's own simulated fill "
                             "(SimNow) at the last price, journalled")
    engine: str = option("exact", choices=("exact", "native"),
                         help="exact (default): every tick through the engine a host loads; native: the research "
                              "road, a native tick loop and strategy evaluator with the same outputs, many times "
                              "faster (runs it cannot take use the exact engine, and say so)")
    fees: Optional[Path] = option(None, type=Path,
                                  help="fee file: CSV with InstrumentID or ProductID, then open_per_lot, open_rate, "
                                       "close_per_lot, close_rate, close_today_per_lot, close_today_rate (e.g. %s; "
                                       "default: no fees)" % shown(SAMPLES / "fees.csv"))
    slippage: float = option(0.0, type=non_negative, metavar="TICKS",
                             help="price ticks every fill loses (default: %(default)g)")
    capital: float = option(account.DEFAULT_CAPITAL, type=float,
                            help="capital that returns and drawdown percent are measured on, and the account's "
                                 "funds (default: %s)" % "{:,.0f}".format(account.DEFAULT_CAPITAL))
    margin: Optional[Path] = option(None, type=Path, metavar="FILE",
                                    help="margin ratios over the instruments' own: CSV with InstrumentID or "
                                         "ProductID, then LongMarginRatio, ShortMarginRatio or MarginRatio (both "
                                         "sides)")
    funds: str = option("marked", choices=("marked", "realised"),
                        help="funds available for an opening order: capital + realised profit - fees - margin held "
                             "- margin and fees of resting orders, plus (marked, the default) or without (realised) "
                             "the open profit of the positions at their last price; the broker refuses an order "
                             "beyond them")
    allow_strategy_errors: bool = option(
        False, action="store_true",
        help="a strategy that fails while running (an expression that raises) does not fail the replay: exit "
             "status 0, and a sweep ranks the run; default: the summary's first lines name each failing key, the "
             "exit status is %d and a sweep marks the run failed" % STRATEGY_FAILED)
    cancel_after: float = option(60.0, type=non_negative, metavar="SECONDS",
                                 help="cancel a resting order after this many seconds of market time; 0: never "
                                      "(default: %(default)g); orders left at the end of a trading day expire")
    warm_up: int = option(0, type=count, metavar="N",
                          help="the first N ticks of each instrument update the statistics, their decisions are "
                               "not sent (default: %(default)s)")
    restart_daily: bool = option(False, action="store_true",
                                 help="start each trading day with a fresh engine, as a restarted client (positions "
                                      "carried); default: one engine for the whole replay, as a client left running")
    day_close: Optional[int] = option(
        None, type=time_of_day, metavar="HH:MM:SS",
        help="close of the day session of every product: ticks from then until the evening are snapshots after the "
             "close, not traded on (default: each product's close, from the shipped table and --sessions)")
    sessions: Optional[str] = option(
        None, metavar="FILE",
        help="close of the day session by product over the shipped table (docs/backtest.md; treasury futures close "
             "at 15:15, the others at 15:00): a CSV of ProductID,day_close[,source], ProductID * for every other")
    columns: Optional[Tuple[str, ...]] = option(
        None, type=column_names,
        help="column names of the tick files (CSV or Parquet), comma-separated (the broker's field names, in the "
             "file's order; over a header line the file has), or %s for %s; vendors' usual Chinese headers are read "
             "as the broker's names without it: %s" % (PUBLIC_NAME, ",".join(PUBLIC_LAYOUT), ", ".join(
                 "%s=%s" % item for item in VENDOR_HEADERS.items())))
    from_day: Optional[str] = option(
        None, flag="--from", type=trading_day, metavar="YYYYMMDD",
        help="first trading day replayed of a tick store (brindle-ingest makes one; default: its first)")
    to_day: Optional[str] = option(
        None, flag="--to", type=trading_day, metavar="YYYYMMDD",
        help="last trading day replayed of a tick store (default: its last)")
    select: Optional[Tuple[str, ...]] = option(
        None, type=instrument_patterns, metavar="ID,PATTERN,...",
        help="instruments replayed of a tick store: IDs or patterns, comma-separated, e.g. 'rb*,hc2501' "
             "(default: all it holds)")
    trading_day: Optional[str] = option(
        None, flag=DAY_OPTION, type=trading_day, metavar="YYYYMMDD",
        help="trading day of tick files without a TradingDay or ActionDay column (default: a date in the file "
             "name; a file with no date at all is refused)")
    days: Optional[Tuple[str, ...]] = option(
        None, type=day_list, metavar="YYYYMMDD,...",
        help="replay only these trading days of the tick files (default: every day they hold)")
    skip_bad_ticks: bool = option(
        False, flag=SKIP_OPTION, action="store_true",
        help="skip ticks with impossible prices or volumes (not finite, negative, no last price, outside the day's "
             "limits, a quote outside the day's limits or its product's price band, a crossed book, an empty value), "
             "counted in the summary; default: such a tick stops the replay with its file and line")
    close_order: Optional[str] = option(
        None, metavar="FILE",
        help="how a close takes today's and yesterday's lots on each exchange, over the shipped table "
             "(docs/backtest.md): a CSV of ExchangeID,close_order[,source], close_order one of named, today-first, "
             "yesterday-first, fifo")
    price_bands: Optional[str] = option(
        None, metavar="FILE",
        help="daily price bands by product over the shipped table (docs/backtest.md): a CSV of "
             "ProductID,band[,source], band a share of the previous settlement; a best bid or ask further from the "
             "last price than the band allows is impossible where the ticks give no UpperLimitPrice/LowerLimitPrice")
    instrument: Optional[str] = option(
        None, help="instrument of tick files without an InstrumentID column (default: taken from the start of the "
                   "file name, as rb2501 from rb2501_20241105.csv)")
    limits: List[Tuple[str, float]] = option(
        factory=list, flag="--limit", action="append", type=limit, metavar="NAME=VALUE",
        help="pre-trade limit over the [RISK] section of the host's cfg/oxa.ini, e.g. max_position=4 or "
             "max_orders_per_second.rb2501=2 (repeatable); the summary counts the decisions each limit withheld")
    set: Dict[str, Any] = option(
        factory=dict, action="append", type=assignment, metavar="NAME=VALUE",
        help="strategy parameter that the expressions read, over the settings module's Strategy_Parameters "
             "(repeatable)")

    def checked(self):
        """These options as a replay takes them: each text read as its command line option reads
        it (a refusal is a ValueError with the option's message), paths made absolute, so that a
        run that changes the working directory still finds them. Parameter values given as
        values are kept exactly."""
        values = read_fields(self)
        if values["days"] is not None and not isinstance(values["days"], tuple):
            values["days"] = day_list(",".join(values["days"]))
        for name in PATHS + ("host",):
            if values[name] is not None:
                try:
                    values[name] = resolved(values[name], "--" + name.replace("_", "-"))
                except UsageError as error:
                    raise ValueError(str(error)) from None
        if values["day_close"] is not None and values["sessions"] is not None:
            raise ValueError("--day-close and --sessions: one close for every product, or a close by product")
        if values["select"] is not None and not isinstance(values["select"], tuple):
            values["select"] = instrument_patterns(",".join(values["select"]))
        if values["from_day"] and values["to_day"] and values["from_day"] > values["to_day"]:
            raise ValueError("--from %s is after --to %s" % (values["from_day"], values["to_day"]))
        if values["db"] and self.instruments != ReplayOptions.instruments:
            raise ValueError("--instruments and --db: the instruments come from one of them")
        return replace(self, **values)


def read_fields(options):
    """{field: value} of an options dataclass, each text read by its command line option's
    type, each number checked by it, and the choices checked; a refusal is a ValueError with
    the option's message."""
    values = {}
    for spec in fields(options):
        value, read = getattr(options, spec.name), spec.metadata.get("type")
        try:
            if spec.metadata.get("action") == "append" and read is not None:
                items = value.items() if isinstance(value, dict) else value
                value = [read(item) for item in items]
                if spec.default_factory is dict:
                    value = dict(value)
            elif isinstance(value, str) and read not in (None, str, Path):
                value = read(value)
            elif read in NUMBER_CHECKS and value is not None:
                value = read(str(value))
        except argparse.ArgumentTypeError as error:
            message = str(error)
            raise ValueError(message if message.startswith(flag_of(spec)) else "%s: %s" % (flag_of(spec), message)) \
                from None
        choices = spec.metadata.get("choices")
        if choices and value not in choices:
            raise ValueError("%s: %r is not one of %s" % (flag_of(spec), value, ", ".join(choices)))
        values[spec.name] = value
    return values


def flag_of(spec):
    return spec.metadata.get("flag") or "--" + spec.name.replace("_", "-")


def add_arguments(parser, options_type):
    """The command line options of an options dataclass's fields; fields of one `group` are
    mutually exclusive."""
    groups = {}
    for spec in fields(options_type):
        meta = {k: v for k, v in spec.metadata.items() if k not in ("flag", "group")}
        if spec.default is not MISSING:
            meta["default"] = spec.default
        group = spec.metadata.get("group")
        if group and group not in groups:
            groups[group] = parser.add_mutually_exclusive_group()
        (groups[group] if group else parser).add_argument(flag_of(spec), dest=spec.name, **meta)


def add_replay_options(parser):
    """Every option of a replay but its tick files and its outputs."""
    add_arguments(parser, ReplayOptions)


def fields_of(options_type, args):
    """{field: value} of an options dataclass among a command line's args (an append option
    given no time: the field's default)."""
    values = {}
    for spec in fields(options_type):
        value = getattr(args, spec.name)
        values[spec.name] = spec.default_factory() if value is None and spec.default is MISSING else value
    return values


def given_fields(options_type, options, given):
    """options (default: options_type()) with the fields given as keywords over them; an
    unknown keyword is a TypeError, as for any function."""
    names = {spec.name for spec in fields(options_type)}
    unknown = sorted(set(given) - names)
    if unknown:
        raise TypeError("unexpected keyword argument%s %s" % ("s" * (len(unknown) > 1), ", ".join(unknown)))
    return replace(options or options_type(), **given)


def complete(parser, args):
    """The checks that one option alone cannot make, and the options' final forms: the
    replay options among args checked as ReplayOptions."""
    try:
        options = replay_options(args).checked()
    except ValueError as error:
        parser.error(str(error))
    for name, value in vars(options).items():
        setattr(args, name, value)


def replay_options(args):
    """The replay options among args (a command line's namespace) as ReplayOptions."""
    return ReplayOptions(**fields_of(ReplayOptions, args))


def plain(options):
    """Options as JSON holds them (paths as text, tuples as lists)."""
    return json.loads(json.dumps(asdict(options), default=str, sort_keys=True))
