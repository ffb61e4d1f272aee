"""Strategy parameters: named values that a strategy's expressions read like any attribute.

The settings module may give defaults in `Strategy_Parameters = {"open_ticks": 3, ...}`; the
command line overrides or adds one with `--set NAME=VALUE`. Before an instrument's first tick
the client pushes them into the instrument's attribute dictionary (`push_InstrumentAttr`),
where factors from the database land too, so `LastPrice_Cur_Up >= open_ticks` reads them.
"""
import ast
import numbers

from . import check
from ..common.errors import UsageError

SETTING = "Strategy_Parameters"
NO_DEFAULT = object()  # a parameter that the settings module gives no default


def kind(value):
    """What a strategy can do with a value: compare it as a number, as text, as a truth."""
    if isinstance(value, bool):
        return "true or false"
    if isinstance(value, numbers.Real):
        return "a number"
    if isinstance(value, (str, bytes)):
        return "text"
    return None if value is None else type(value).__name__


def check_kind(name, value, default, given):
    """Refuse a value of another kind than the parameter's default (3 against '3', 2.5
    against True): the strategy's expressions would fail on every tick."""
    if default is NO_DEFAULT or default is None or kind(value) == kind(default):
        return
    raise UsageError("%s: %r is %s, and %s's default %r is %s" % (
        given, value, kind(value) or "None", name, default, kind(default)))


def parse_value(text):
    """A Python literal (3, 2.5, 'a', True, None) where the text is one, else the text."""
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
        return text


def parse_assignment(text):
    name, sep, value = text.partition("=")
    name = name.strip()
    if not sep or not name.isidentifier():
        raise UsageError("--set %s: write NAME=VALUE, NAME a Python name (e.g. --set open_ticks=3)" % text)
    return name, parse_value(value.strip())


def defaults(settings, settings_shown):
    table = getattr(settings, SETTING, {})
    if not isinstance(table, dict) or not all(isinstance(k, str) and k.isidentifier() for k in table):
        raise UsageError("%s: %s must be a dictionary of parameter names and values"
                         % (settings_shown, SETTING))
    return dict(table)


def names_read(strategies):
    """Every name that an expression or price of these strategies reads."""
    names = set()
    for strategy in strategies.values():
        if isinstance(strategy, dict):
            for key, text in strategy.items():
                if isinstance(key, str) and key.endswith(("_express", "_price")):
                    names.update(check.check_expression(text)[1])
    return names


def resolve(settings, settings_shown, investor, chosen):
    """The parameters of a replay: the settings module's defaults with the chosen values
    ({name: value}) over them. A name that no expression of the investor's strategies reads
    is refused: a typo would otherwise vary nothing."""
    values = defaults(settings, settings_shown)
    for name, value in chosen.items():
        check_kind(name, value, values.get(name, NO_DEFAULT), "--set %s=%r" % (name, value))
    unread = sorted(set(chosen) - names_read(settings.AI_Strategy[investor]))
    if unread:
        raise UsageError("parameter%s %s: no expression of investor %s's strategies in %s reads %s"
                         % ("s" if len(unread) > 1 else "", ", ".join(unread), investor, settings_shown,
                            "them" if len(unread) > 1 else "it"))
    values.update(chosen)
    return values


def push(engine, instrument_id, values):
    if values:
        engine.push_InstrumentAttr(instrument_id, dict(values))
