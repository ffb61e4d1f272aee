"""Pre-trade limits in a backtest. The engine applies the limits of the [RISK] section of the
host's cfg/oxa.ini itself, as it does live; `--limit NAME=VALUE` sets one over them for a
replay (NAME as in the section: max_position, max_position.rb2501, ...). What the engine
withheld is counted per limit and instrument across the engines of a replay."""
import argparse
import configparser
import math
import re

from ..common.errors import SECRET_KEY, UsageError, config_error_text, shown

LIMITS = ("max_position", "max_order_volume", "max_orders_per_second", "max_orders_per_minute",
          "max_resting_orders", "max_daily_loss")
INLINE_COMMENT = re.compile(r"(?:^|[ \t])[;#]")  # a comment after a value, as the section's example writes it


def is_key(name):
    """A limit's name, alone or with an ID after one dot."""
    limit, dot, after = name.partition(".")
    return limit in LIMITS and bool(after) == bool(dot)


# Twin: limit_value in oxa/strategy/risk_limits.cpp (the engine's reading of [RISK]).
def number(text):
    """The value of a limit (an inline comment after it allowed): an int, else a float, of 0
    or more written in plain ASCII digits; None for anything else."""
    comment = INLINE_COMMENT.search(text)
    text = text[:comment.start()] if comment else text
    if not text.isascii() or "_" in text:
        return None
    try:
        value = int(text)
    except ValueError:
        try:
            value = float(text)
        except ValueError:
            return None
    return value if 0 <= value and math.isfinite(value) else None


def assignment(text):
    """NAME=VALUE of a --limit option, as (name, number)."""
    name, _, value = text.partition("=")
    name = name.strip().lower()
    if not is_key(name):
        raise argparse.ArgumentTypeError("%r names no limit: one of %s, optionally .INSTRUMENT or .INVESTOR"
                                         % (name, ", ".join(LIMITS)))
    limit = number(value)
    if limit is None:
        raise argparse.ArgumentTypeError("%r is no limit of 0 or more" % text)
    return name, limit


def unknown_ids(names, known):
    """The --limit names whose instrument or investor is none of `known` (lower case)."""
    return [name for name in names if name.partition(".")[2] not in {"", *known}]


def host_limits(ini_path):
    """The [RISK] section of a host's cfg/oxa.ini, as the engine reads it: ({key: number},
    [entries the engine leaves out, as "key = value"]); empty without the section."""
    config = configparser.ConfigParser()
    try:
        config.read(ini_path, encoding="utf-8")
        entries = config.items("RISK") if config.has_section("RISK") else []
    except configparser.Error as error:
        raise UsageError("%s: %s" % (shown(ini_path), config_error_text(error))) from None
    found, refused = {}, []
    for key, text in entries:
        value = number(text)
        if is_key(key) and value is not None:
            found[key] = value
        else:
            refused.append("%s = %s" % (key, "(not shown)" if SECRET_KEY.search(key) else text))
    return found, refused


class Withheld:
    """The limits the replay's engines applied and the decisions they withheld."""

    def __init__(self, overrides):
        self.overrides = dict(overrides)
        self.limits = {}
        self.counts = {}  # (limit, instrument) -> decisions withheld

    def apply(self, engine):
        """The --limit values over the engine's own limits."""
        if self.overrides:
            engine.risk_limits = {**(getattr(engine, "risk_limits", None) or {}), **self.overrides}

    def collect(self, engine):
        """What an engine withheld, once it is done with."""
        self.limits.update(getattr(engine, "risk_limits", None) or {})
        for key, count in (getattr(engine, "risk_withheld", None) or {}).items():
            self.counts[key] = self.counts.get(key, 0) + count

    def per_limit(self):
        """{limit: {instrument: decisions withheld}}"""
        table = {}
        for (limit, instrument), count in sorted(self.counts.items()):
            table.setdefault(limit, {})[instrument] = count
        return table

    def text(self):
        """The summary's lines: (label, text), none without limits."""
        if not self.limits:
            return []
        limits = ", ".join("%s %s" % item for item in sorted(self.limits.items()))
        withheld = "; ".join("%s %s (%s)" % (limit, "{:,}".format(sum(by.values())),
                                             ", ".join("%s %s" % (i, "{:,}".format(n)) for i, n in by.items()))
                             for limit, by in self.per_limit().items())
        return [("limits", limits), ("withheld", withheld or "none")]
