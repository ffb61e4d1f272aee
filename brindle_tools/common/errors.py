"""The one error a command shows its operator, and paths as the operator reads them."""
import configparser
import errno
import re
from pathlib import Path

# An INI key named like a password: no message shows its value.
# Twin: secret_key in oxa/strategy/risk_limits.cpp.
SECRET_KEY = re.compile("pass|pwd|secret|token", re.I)

# Where the command was started; paths are shown relative to it, also after a host is entered.
START_DIR = Path.cwd()


class UsageError(Exception):
    """Stops a command with one message for the operator (exit status 2)."""


def shown(path):
    """A path as the operator should read it: relative to the directory the command was
    started in when it lies below it."""
    path = Path(path)
    try:
        return str(path.resolve().relative_to(START_DIR))
    except (ValueError, RuntimeError, OSError):  # not below it, or a path that cannot be resolved
        return str(path)


def resolved(path, named):
    """The absolute path with its links followed; a loop of links or a name the system cannot
    take is a UsageError naming the path as `named` (its option) and why."""
    try:
        return Path(path).resolve()
    except RuntimeError:  # a loop of symbolic links, as Python 3.11 and 3.12 report it
        reason = "symbolic links in a loop"
    except OSError as error:
        reason = "symbolic links in a loop" if error.errno == errno.ELOOP else error.strerror or str(error)
    raise UsageError("%s%s: %s" % (named + " " if named else "", short(path), reason))


def short(path, most=160):
    """A path as shown, its middle left out when it is longer than `most` characters."""
    text = shown(path)
    return text if len(text) <= most else "%s...%s" % (text[:most // 2], text[-most // 2 + 3:])


def config_error_text(error):
    """An INI file's error as text that quotes none of its values. An interpolation error
    quotes the raw value and a parsing error the malformed lines, either of which may hold
    a password: of those only the option and section, or the line numbers, are named."""
    if isinstance(error, configparser.InterpolationError):
        return "%s: bad interpolation in option %r in section %r (the value is not shown)" % (
            type(error).__name__, error.option, error.section)
    if isinstance(error, configparser.ParsingError):
        lines = [error.lineno] if hasattr(error, "lineno") else [lineno for lineno, _ in error.errors]
        return "%s: %r, line %s (the text is not shown)" % (
            type(error).__name__, error.source, ", ".join(str(lineno) for lineno in lines))
    return str(error)
