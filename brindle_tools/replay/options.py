"""The replay's options, defined once: the replay and the sweep both take them, so a run of
the sweep is the replay that the same options would give."""
import argparse
import json
from pathlib import Path

from ..market import account, limits
from ..common.errors import shown
from ..common.places import SAMPLES
from ..feed.ticks import DAY_OPTION, PUBLIC_LAYOUT, PUBLIC_NAME, SKIP_OPTION, parse_day

PATHS = ("instruments", "fees", "margin")  # options naming files, relative to where the command was started


def time_of_day(text):
    parts = text.split(":")
    try:
        if len(parts) not in (2, 3):
            raise ValueError
        hours, minutes, seconds = (int(p) for p in parts + ["0"] * (3 - len(parts)))
        if not (0 <= hours < 24 and 0 <= minutes < 60 and 0 <= seconds < 60):
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a time of day HH:MM[:SS]" % text) from None
    return hours * 3600 + minutes * 60 + seconds


def non_negative(text):
    try:
        value = float(text)
    except ValueError:
        value = -1
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("%r is not a number of 0 or more" % text)
    return value


def positive(text):
    value = non_negative(text)
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


def add_replay_options(parser):
    """Every option of a replay but its tick files and its outputs."""
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--instruments", default=str(SAMPLES / "instruments.csv"),
                        help="instrument file: CSV of the instrument record's 31 fields (default: %s)"
                             % shown(SAMPLES / "instruments.csv"))
    source.add_argument("--db", action="store_true",
                        help="use the database of cfg/oxa.ini: instruments from t_Instrument, factors from "
                             "t_factor, simulated trades journalled to T_SimNow_AutoTrade (with --fills engine)")
    parser.add_argument("--investor", help="investor whose strategies decide (default: the only one)")
    parser.add_argument("--host", help="host working directory (default: the current directory if it is one, "
                                       "else the sample host)")
    parser.add_argument("--fills", choices=("exchange", "engine"), default="exchange",
                        help="fill model: exchange (default): at the quote or at the limit when the market trades "
                             "through it, volume capped by the tick; engine: the engine's own simulated fill "
                             "(SimNow) at the last price, journalled")
    parser.add_argument("--engine", choices=("exact", "native"), default="exact",
                        help="exact (default): every tick through the engine a host loads; native: the research "
                             "road, a native tick loop and strategy evaluator with the same outputs, many times "
                             "faster (runs it cannot take use the exact engine, and say so)")
    parser.add_argument("--fees", help="fee file: CSV with InstrumentID or ProductID, then open_per_lot, open_rate, "
                                       "close_per_lot, close_rate, close_today_per_lot, close_today_rate (e.g. %s; "
                                       "default: no fees)" % shown(SAMPLES / "fees.csv"))
    parser.add_argument("--slippage", type=non_negative, default=0.0, metavar="TICKS",
                        help="price ticks every fill loses (default: %(default)g)")
    parser.add_argument("--capital", type=float, default=account.DEFAULT_CAPITAL,
                        help="capital that returns and drawdown percent are measured on, and the account's funds "
                             "(default: %s)" % "{:,.0f}".format(account.DEFAULT_CAPITAL))
    parser.add_argument("--margin", metavar="FILE",
                        help="margin ratios over the instruments' own: CSV with InstrumentID or ProductID, then "
                             "LongMarginRatio, ShortMarginRatio or MarginRatio (both sides)")
    parser.add_argument("--funds", choices=("marked", "realised"), default="marked",
                        help="funds available for an opening order: capital + realised profit - fees - margin held "
                             "- margin and fees of resting orders, plus (marked, the default) or without (realised) "
                             "the open profit of the positions at their last price; the broker refuses an order "
                             "beyond them")
    parser.add_argument("--cancel-after", type=non_negative, default=60.0, metavar="SECONDS",
                        help="cancel a resting order after this many seconds of market time; 0: never "
                             "(default: %(default)g); orders left at the end of a trading day expire")
    parser.add_argument("--warm-up", type=int, default=0, metavar="N",
                        help="the first N ticks of each instrument update the statistics, their decisions are "
                             "not sent (default: %(default)s)")
    parser.add_argument("--restart-daily", action="store_true",
                        help="start each trading day with a fresh engine, as a restarted client (positions "
                             "carried); default: one engine for the whole replay, as a client left running")
    parser.add_argument("--day-close", type=time_of_day, default=time_of_day("15:00:00"), metavar="HH:MM:SS",
                        help="close of the day session: ticks from then until the evening are snapshots after "
                             "the close, not traded on (default: 15:00:00)")
    parser.add_argument("--columns", help="column names of the tick files, comma-separated (the broker's field "
                                          "names, in the file's order; over a header line the file has), or %s "
                                          "for %s" % (PUBLIC_NAME, ",".join(PUBLIC_LAYOUT)))
    parser.add_argument(DAY_OPTION, type=trading_day, metavar="YYYYMMDD",
                        help="trading day of tick files without a TradingDay or ActionDay column (default: a date "
                             "in the file name; a file with no date at all is refused)")
    parser.add_argument(SKIP_OPTION, action="store_true",
                        help="skip ticks with impossible prices or volumes (not finite, negative, no last price, "
                             "outside the day's limits, a quote far from the last price), counted in the summary; "
                             "default: such a tick stops the replay with its file and line")
    parser.add_argument("--instrument", help="instrument of tick files without an InstrumentID column (default: "
                                             "taken from the start of the file name, as rb2501 from "
                                             "rb2501_20241105.csv)")
    parser.add_argument("--limit", action="append", default=[], type=limits.assignment, metavar="NAME=VALUE",
                        dest="limits", help="pre-trade limit over the [RISK] section of the host's cfg/oxa.ini, "
                                            "e.g. max_position=4 or max_orders_per_second.rb2501=2 (repeatable); "
                                            "the summary counts the decisions each limit withheld")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE", dest="assignments",
                        help="strategy parameter that the expressions read, over the settings module's "
                             "Strategy_Parameters (repeatable)")


def complete(parser, args):
    """The checks that one option alone cannot make, and the options' final forms."""
    if args.warm_up < 0:
        parser.error("argument --warm-up: %d is not a number of ticks" % args.warm_up)
    for name in PATHS:
        if getattr(args, name):
            setattr(args, name, Path(getattr(args, name)).resolve())
    if args.columns:
        names = PUBLIC_LAYOUT if args.columns.strip() == PUBLIC_NAME else \
            tuple(c.strip() for c in args.columns.split(","))
        args.columns = names


def replay_options(args):
    """The replay options among args, as a namespace of their own."""
    parser = argparse.ArgumentParser(add_help=False)
    add_replay_options(parser)
    return argparse.Namespace(**{name: getattr(args, name) for name in vars(parser.parse_args([]))})


def plain(namespace):
    """Options as JSON holds them (paths as text, tuples as lists)."""
    return json.loads(json.dumps(vars(namespace), default=str, sort_keys=True))
