"""Strategy check: loads the host's settings module and reports, for every investor and
instrument of its strategy table, each expression that does not compile, each of the twelve
keys that is missing, each volume that is no order volume and each name that no attribute
dictionary will hold when the expressions run.

    brindle-check [--host DIR] [--ticks FILE] [--db] [--investor ID] [--limit NAME=VALUE]...
    brindle-check --names [--host DIR] [--ticks FILE] [--db]

With pre-trade limits (the [RISK] section of the host's cfg/oxa.ini, or --limit), it also
replays the sample session (or --session FILE) and reports each strategy that hits a limit.

Exit status 0 when all is well, 1 when something is wrong, 2 when the check itself cannot
run (the settings module does not load, the database cannot be read).
"""
import argparse
import ast
import builtins
import configparser
import difflib
import json
import os
import re
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

from . import db
from ..market import limits
from ..feed import sample
from ..common.errors import UsageError, shown
from .host import Host
from ..feed.ticks import TickFile

STRATEGY_KEYS = tuple("%s_%s_%s" % (side, offset, part)
                      for side, offset in (("buy", "open"), ("sell", "open"), ("buy", "close"), ("sell", "close"))
                      for part in ("express", "price", "vol"))
# What every attribute dictionary holds besides the instrument record, the tick and the
# host's zero counters: the keys the engine itself sets up and the statistics it keeps.
ENGINE_KEYS = frozenset((
    "UpdateTime", "ExchangeID", "bid_order_book", "ask_order_book", "trade_book", "__builtins__",
    "vol_diff", "BidPrice1", "BidVolume1", "AskPrice1", "AskVolume1", "BidVolume", "AskVolume",
    "LastPrice_Cur_Up", "LastPrice_Acc_Up", "LastPrice_Cur_Keep", "LastPrice_Acc_Keep",
    "LastPrice_Cur_Down", "LastPrice_Acc_Down", "order_acc_up", "order_acc_keep", "order_acc_down",
    "order_TradeVolume", "order_BidVolume", "order_AskVolume",
))
# Keys the statistics read before they first write them: a new instrument has them only
# when the host's Init_Factor_Zero names them.
ZERO_COUNTERS = (
    "LastPrice", "Volume", "LastPrice_Cur_Up", "LastPrice_Acc_Up", "order_acc_up", "LastPrice_Cur_Keep",
    "LastPrice_Acc_Keep", "order_acc_keep", "LastPrice_Cur_Down", "LastPrice_Acc_Down", "order_acc_down",
    "order_TradeVolume", "BidVolume", "order_BidVolume", "AskVolume", "order_AskVolume",
)
GLOBAL_INSTRUMENT = "all"  # t_factor rows for it go to the global dictionary, not to an instrument
# The trading state an engine with the switch on keeps in each attribute dictionary (the
# engine's oxa/strategy/trading_figures.hpp names the first fourteen); session_left only
# with a Sessions table.
TRADING_STATE = ("position", "long_lots", "short_lots", "long_today", "long_yd", "short_today", "short_yd",
                 "long_price", "short_price", "entry_price", "open_profit", "resting_buy", "resting_sell",
                 "held_seconds", "day_seconds", "session_left")
SWITCH = "[PYTHON_SWITCH] strategy_names = 1 in cfg/oxa.ini"
STATISTICS = ("mean", "max", "min", "sum", "ema", "vwap")
WINDOW = re.compile(r" *(?:(day)|(\d+(?:\.\d+)?) +(ticks?|s|sec|seconds?)) *")
TIME_OF_DAY = re.compile(r"([01]\d|2[0-4]):([0-5]\d)(?::([0-5]\d))?")


@dataclass(frozen=True)
class Finding:
    key: str
    problem: str
    investor: str = None
    instrument: str = None
    file: str = None  # where the problem is, when not in the settings module

    def text(self, file):
        where = " / ".join(str(p) for p in (self.investor, self.instrument, self.key) if p)
        return "%s: %s: %s" % (self.file or file, where, self.problem)


class KnownNames:
    """The names an expression of an instrument's strategy can read."""

    def __init__(self, names, factors=None, names_on=False, taken=()):
        self.attributes = list(names)
        self.taken = set(taken)  # the names besides the indicators
        self.names = set(names) | set(dir(builtins))
        factors = factors or {}
        self.factors = {k: v for k, v in factors.items() if k != GLOBAL_INSTRUMENT}
        self.global_factors = factors.get(GLOBAL_INSTRUMENT, set())
        self.names_on = names_on

    def problem(self, instrument, name):
        if name in self.names or name in self.factors.get(instrument, ()):
            return None
        if name in self.global_factors:
            return ("name %r is only a factor of all instruments (t_factor rows for %r go to the global "
                    "dictionary, which expressions do not see)" % (name, GLOBAL_INSTRUMENT))
        text = "name %r: no attribute dictionary holds it" % name
        if name in TRADING_STATE and not self.names_on:
            return text + " (a trading-state name: %s turns them on)" % SWITCH
        if name == "session_left":
            return text + " (session_left needs a Sessions table in the settings module)"
        closest = difflib.get_close_matches(name, [*self.attributes, *self.factors.get(instrument, ())], 1)
        if not closest and not self.names_on:
            closest = difflib.get_close_matches(name, TRADING_STATE, 1)
        return text + ("; did you mean %r?" % closest[0] if closest else "")


def names_switch(directory="."):
    """Whether the host's cfg/oxa.ini turns the trading-state names and indicators on, as the
    engine reads the switch: a whole number equal to 1."""
    config = configparser.ConfigParser()
    try:
        config.read(Path(directory) / "cfg" / "oxa.ini", encoding="utf-8")
        return int(config.get("PYTHON_SWITCH", "strategy_names")) == 1
    except (configparser.Error, ValueError, UnicodeDecodeError):
        return False


def indicator_problem(name, declaration):
    """Why the engine cannot compute an Indicators entry, or None (the engine's twin:
    parse_declaration in oxa/strategy/strategy_names.cpp, with the same texts)."""
    if not isinstance(name, str) or not name.isidentifier():
        return "its name is not a Python name"
    if name in ENGINE_KEYS or name in ("LastPrice", "Volume") or name in TRADING_STATE:
        return "its name is one the engine writes itself"
    if not isinstance(declaration, (tuple, list)) or len(declaration) != 3:
        return "it is not (statistic, field, window)"
    kind, field, window = declaration
    if kind not in STATISTICS or not isinstance(kind, str):
        return "the statistic is none of %s" % ", ".join(STATISTICS)
    if not (field is None and kind == "vwap") and not (isinstance(field, str) and field.isidentifier()):
        return "the field is not a name (None only for vwap, which then weights LastPrice)"
    matched = WINDOW.fullmatch(window) if isinstance(window, str) else None
    if not matched or (matched.group(3) or "").startswith("tick") and "." in matched.group(2):
        return "the window is none of 'N ticks', 'N s', 'day'"
    if not matched.group(1) and not float(matched.group(2)) > 0:
        return "the window is none of 'N ticks', 'N s', 'day'"
    if kind == "ema" and not (matched.group(3) or "").startswith("tick"):
        return "ema needs a window of N ticks"
    return None


def indicators(settings):
    """{name: declaration} of the settings module's Indicators that the engine computes."""
    table = getattr(settings, "Indicators", None)
    if not isinstance(table, dict):
        return {}
    return {name: spec for name, spec in table.items() if indicator_problem(name, spec) is None}


def sessions_problem(table):
    """Why the engine cannot use a Sessions table, or None (the engine's twin: parse_sessions
    in oxa/strategy/strategy_names.cpp)."""

    def sound(sessions):
        return isinstance(sessions, (tuple, list)) and all(
            isinstance(pair, (tuple, list)) and len(pair) == 2 and all(
                isinstance(t, str) and TIME_OF_DAY.fullmatch(t) and seconds_of_day(t) <= 86400 for t in pair)
            and seconds_of_day(pair[0]) != seconds_of_day(pair[1]) for pair in sessions)

    if table is None or (all(map(sound, table.values())) if isinstance(table, dict) else sound(table)):
        return None
    return ('it is not a list of (start, end) times "HH:MM" or "HH:MM:SS", or a dictionary of such lists by '
            'instrument or product')


def seconds_of_day(text):
    hours, minutes, seconds = TIME_OF_DAY.fullmatch(text).groups()
    return int(hours) * 3600 + int(minutes) * 60 + int(seconds or 0)


def record_fields(records, class_name):
    record_class = getattr(records, class_name, None)
    return list(record_class().to_dict()) if record_class is not None else []


def known_names(settings, records, tick_columns=None, factors=None, parameters=(), names_on=False):
    """tick_columns: the columns of the tick file to be replayed; by default every field of
    the host's tick record. factors: {InstrumentID: factor names} of t_factor. parameters:
    names given on the command line besides the settings module's Strategy_Parameters.
    names_on: the host's switch of the trading-state names and indicators."""
    if tick_columns is None:
        tick_columns = record_fields(records, "DepthMarketDataField")
    groups = name_groups(settings, records, tick_columns, parameters, names_on)
    return KnownNames([n for _, names in groups for n in names], factors, names_on,
                      [n for group, names in groups if group != "indicators" for n in names])


def name_groups(settings, records, tick_columns, parameters=(), names_on=False):
    """[(group, names)] of the keys an instrument's attribute dictionary can hold (factors
    aside), each once, in a fixed order: the instrument record's fields, the tick's columns,
    the engine's statistics, the host's other zero counters, the trading state and the
    indicators (with the switch on), and the strategy parameters."""
    zero = getattr(settings, "Init_Factor_Zero", ())
    zero = [n for n in zero if isinstance(n, str)] if _iterable(zero) else []
    table = getattr(settings, "Strategy_Parameters", {})
    parameters = [*parameters, *(table if isinstance(table, dict) else ())]
    state = [n for n in TRADING_STATE if n != "session_left" or getattr(settings, "Sessions", None) is not None]
    groups = [("instrument", record_fields(records, "InstrumentField")), ("tick", tick_columns),
              ("statistics", sorted(ENGINE_KEYS - {"__builtins__"}) + ["__builtins__"]), ("zeroed", zero),
              ("trading state", state if names_on else []),
              ("indicators", list(indicators(settings)) if names_on else []),
              ("parameters", parameters)]
    seen = set()
    kept = []
    for group, names in groups:
        names = [n for n in dict.fromkeys(names) if isinstance(n, str) and n not in seen]
        seen.update(names)
        kept.append((group, names))
    return kept


def attribute_names(settings, records, tick_columns, parameters=(), names_on=False):
    """The keys an instrument's attribute dictionary can hold (factors aside), each once, in
    the order of name_groups."""
    return [name for _, names in name_groups(settings, records, tick_columns, parameters, names_on) for name in names]


def _iterable(value):
    try:
        iter(value)
    except TypeError:
        return False
    return not isinstance(value, (str, bytes))


def free_names(tree):
    """Names an expression reads that it does not bind itself (in a comprehension or lambda)."""
    loaded, bound = set(), set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Name):
            (loaded if isinstance(node.ctx, ast.Load) else bound).add(node.id)
        elif isinstance(node, ast.arg):
            bound.add(node.arg)
    return loaded - bound


def check_expression(text):
    """(problem, free names) of an expression entry."""
    if not isinstance(text, str):
        return "%r is a %s, not an expression text" % (text, type(text).__name__), ()
    try:
        tree = ast.parse(text, mode="eval")
        compile(tree, "<expression>", "eval")
    except SyntaxError as error:
        where = "at column %d" % error.offset if 0 < (error.offset or 0) <= len(text) else "at the end"
        return "syntax error %s: %s" % (where, error.msg), ()
    except ValueError as error:  # a NUL character
        return "syntax error: %s" % error, ()
    return None, sorted(free_names(tree))


def check_strategy(investor, instrument, strategy, names):
    if not isinstance(strategy, dict):
        return [Finding("", "the strategy is a %s, not a dictionary of the twelve keys" % type(strategy).__name__,
                        investor, instrument)]
    findings = []
    for key in STRATEGY_KEYS:
        if key not in strategy:
            findings.append(Finding(key, "missing", investor, instrument))
            continue
        value = strategy[key]
        if key.endswith("_vol"):
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                findings.append(Finding(key, "%r is no order volume (a whole number of lots, 1 or more)" % (value,),
                                        investor, instrument))
            continue
        problem, used = check_expression(value)
        if problem:
            findings.append(Finding(key, problem, investor, instrument))
        for name in used:
            problem = names.problem(instrument, name)
            if problem:
                findings.append(Finding(key, problem, investor, instrument))
    for key in strategy:
        if key not in STRATEGY_KEYS:
            findings.append(Finding(str(key), "unknown key: the engine never reads it", investor, instrument))
    return findings


def check_settings(settings, names, investors=None):
    """Findings for the module-level settings and the strategies of the given investors
    (all when None)."""
    findings = []
    for attribute in ("Real_Fresh_Factor", "update_factor_period", "Init_Factor_Zero", "AI_Strategy"):
        if not hasattr(settings, attribute):
            findings.append(Finding(attribute, "missing: the engine reads it on every tick"))
    findings += declaration_findings(settings, names)
    zero = getattr(settings, "Init_Factor_Zero", None)
    if zero is not None:
        if not _iterable(zero):
            findings.append(Finding("Init_Factor_Zero", "%r is not a sequence of names" % (zero,)))
        else:
            absent = [n for n in ZERO_COUNTERS if n not in set(zero)]
            if absent:
                findings.append(Finding("Init_Factor_Zero", "lacks %s: the statistics of a new instrument read "
                                        "these keys before they write them" % ", ".join(absent)))
    table = getattr(settings, "AI_Strategy", {})
    if not isinstance(table, dict):
        return findings + [Finding("AI_Strategy", "a %s, not a dictionary of investors" % type(table).__name__)]
    for investor in (table if investors is None else investors):
        if investor not in table:
            findings.append(Finding("AI_Strategy", "no strategies for investor %s" % investor))
            continue
        instruments = table[investor]
        if not isinstance(instruments, dict):
            findings.append(Finding("", "a %s, not a dictionary of instruments" % type(instruments).__name__,
                                    investor))
            continue
        for instrument, strategy in instruments.items():
            findings.extend(check_strategy(investor, instrument, strategy, names))
    return findings


def declaration_findings(settings, names):
    """Findings for the settings module's Indicators and Sessions."""
    findings = []
    problem = sessions_problem(getattr(settings, "Sessions", None))
    if problem:
        findings.append(Finding("Sessions", problem + ": session_left is not set"))
    table = getattr(settings, "Indicators", None)
    if table is None:
        return findings
    if not isinstance(table, dict):
        return findings + [Finding("Indicators", "a %s, not a dictionary of indicators" % type(table).__name__)]
    if not names.names_on:
        return findings + [Finding("Indicators", "declared, but the engine computes none: %s turns them on" % SWITCH)]
    for name, declaration in table.items():
        problem = indicator_problem(name, declaration)
        if problem is None and name in names.taken:
            problem = "its name is already an attribute name"
        if problem is None and declaration[1] is not None and names.problem(None, declaration[1]):
            problem = "its field %s" % names.problem(None, declaration[1])
        if problem:
            findings.append(Finding("Indicators", "%r cannot be computed: %s" % (name, problem)))
    return findings


def factor_names(connection):
    """{InstrumentID: factor names} of the t_factor rows a new engine will read."""
    factors = {}
    with connection.cursor() as cursor:
        # A new engine reads the rows whose id is above 1.
        cursor.execute("select distinct InstrumentID, factor_name from t_factor where id > 1")
        for instrument, name in cursor.fetchall():
            factors.setdefault(instrument, set()).add(name)
    return factors


def limit_findings(host, investors, overrides, session=None):
    """The strategies that hit a pre-trade limit when the session is replayed (the sample
    session by default) with the host's limits and `overrides` over them."""
    ini = host.directory / "cfg" / "oxa.ini"
    found, refused = limits.host_limits(ini)
    findings = [Finding("[RISK]", "%s is not a limit of 0 or more: the engine leaves it out" % entry, file=shown(ini))
                for entry in refused]
    if not (found or overrides):
        return findings
    named = "the session %s" % shown(session) if session else "the sample session"
    with tempfile.TemporaryDirectory(prefix="check-limits-") as scratch:
        if session is None:
            session = Path(scratch) / "ticks.csv"
            sample.write(str(session), sample.DEFAULT_SEED, None)
        for investor in investors:
            out = Path(scratch) / "out"
            command = [sys.executable, "-m", "brindle_tools", "replay", str(session), "--host", str(host.directory),
                       "--investor", investor, "--out", str(out), "--no-chart"]
            command += ["--limit=%s=%s" % item for item in overrides]
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
            done = subprocess.run(command, capture_output=True, text=True, env=env)
            if done.returncode == 2:
                raise UsageError("%s cannot be replayed: %s" % (named, done.stderr.strip()))
            withheld = json.loads((out / "summary.json").read_text(encoding="utf-8"))["withheld"]
            for limit, by_instrument in withheld.items():
                for instrument, count in by_instrument.items():
                    findings.append(Finding(limit, "hits the limit: %d decision%s withheld on %s" % (
                        count, "" if count == 1 else "s", named), investor, instrument))
    return findings


def print_names(settings, records, tick_columns, factors, names_on):
    """The names an expression can read, one a line under its group's heading."""
    if tick_columns is None:
        tick_columns = record_fields(records, "DepthMarketDataField")
    groups = name_groups(settings, records, tick_columns, names_on=names_on)
    every_factor = sorted(set().union(*factors.values())) if factors else []
    for group, names in [*groups, ("factors", every_factor)]:
        note = ""
        if group in ("trading state", "indicators") and not names_on:
            note = " (off: %s turns them on)" % SWITCH
        elif group == "factors" and factors is None:
            note = " (those of t_factor: --db lists them)"
        print("%s:%s" % (group, note))
        for name in names:
            print("  " + name)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="brindle-check", description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", help="host working directory (default: the current directory if it is one, "
                                       "else the sample host)")
    parser.add_argument("--ticks", help="tick file to be replayed (CSV or Parquet): its columns are the tick fields")
    parser.add_argument("--db", action="store_true", help="the factors of t_factor in the database of cfg/oxa.ini "
                                                          "are names too")
    parser.add_argument("--investor", action="append", help="check only this investor (repeatable)")
    parser.add_argument("--limit", action="append", default=[], type=limits.assignment, metavar="NAME=VALUE",
                        dest="limits", help="pre-trade limit over the host's [RISK] section (repeatable)")
    parser.add_argument("--session", help="tick file replayed to find the limits hit (default: the sample session)")
    parser.add_argument("--names", action="store_true", help="list the names an expression can read, by group "
                                                             "(docs/strategy-names.md says what each means)")
    args = parser.parse_args(argv)
    try:
        session = str(Path(args.session).resolve()) if args.session else None  # before entering the host
        tick_columns = None
        if args.ticks:
            tick_columns = TickFile(args.ticks, 0, {}).names
        host = Host(args.host)
        host.enter()
        settings = host.load_settings()
        records = host.records()
        factors = None
        if args.db:
            with db.connect(db.settings()) as connection:
                factors = factor_names(connection)
        names_on = names_switch()
        if args.names:
            print_names(settings, records, tick_columns, factors, names_on)
            return 0
        findings = check_settings(settings, known_names(settings, records, tick_columns, factors, names_on=names_on),
                                  args.investor)
        if not findings:
            table = getattr(settings, "AI_Strategy", None)
            investors = args.investor or list(table if isinstance(table, dict) else {})
            findings = limit_findings(host, investors, args.limits, session)
    except UsageError as error:
        print("%s: %s" % ("brindle-check", error), file=sys.stderr)
        return 2
    for finding in findings:
        print(finding.text(host.settings_shown))
    table = getattr(settings, "AI_Strategy", None)
    table = table if isinstance(table, dict) else {}
    strategies = sum(len(table[i]) for i in (args.investor or table) if isinstance(table.get(i), dict))
    if findings:
        print("%d problem%s in %s" % (len(findings), "" if len(findings) == 1 else "s", host.settings_shown))
        return 1
    print("%s: %d strateg%s checked, no problems" % (host.settings_shown, strategies,
                                                    "y" if strategies == 1 else "ies"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
