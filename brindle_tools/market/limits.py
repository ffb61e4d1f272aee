"""Pre-trade limits in a backtest. The engine applies the limits of the [RISK] section of the
host's cfg/oxa.ini itself, as it does live; `--limit NAME=VALUE` sets one over them for a
replay (NAME as in the section: max_position, max_position.rb2501, ...). What the engine
withheld is counted per limit and instrument across the engines of a replay."""
import argparse
import configparser

LIMITS = ("max_position", "max_order_volume", "max_orders_per_second", "max_orders_per_minute",
          "max_resting_orders", "max_daily_loss")


def assignment(text):
    """NAME=VALUE of a --limit option, as (name, number)."""
    name, _, value = text.partition("=")
    name = name.strip().lower()
    if name.partition(".")[0] not in LIMITS:
        raise argparse.ArgumentTypeError("%r names no limit: one of %s, optionally .INSTRUMENT or .INVESTOR"
                                         % (name, ", ".join(LIMITS)))
    try:
        number = int(value)
    except ValueError:
        try:
            number = float(value)
        except ValueError:
            number = -1
    if not 0 <= number < float("inf"):
        raise argparse.ArgumentTypeError("%r is no limit of 0 or more" % text)
    return name, number


def host_limits(ini_path):
    """The [RISK] entries of a host's cfg/oxa.ini, as text; empty without the section."""
    config = configparser.ConfigParser()
    config.read(ini_path, encoding="utf-8")
    return dict(config.items("RISK")) if config.has_section("RISK") else {}


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
