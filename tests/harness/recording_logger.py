"""A stand-in for the host logger that records every call the engine makes on it."""
import sys
import traceback
from dataclasses import dataclass
from typing import Any, Optional

LEVELS = ("debug", "info", "warning", "error")


@dataclass
class LogCall:
    level: str  # "debug", "info", "warning" or "error"
    msg: Any  # the first argument, as passed
    args: tuple  # further positional arguments (%-style arguments of the message)
    exc_info: Any  # the exc_info keyword, as passed (None when not given)
    exc_type: Optional[type]  # sys.exc_info() at the moment of the call
    exc_value: Optional[BaseException]
    traceback: Optional[str]  # formatted traceback when exc_info asked for one, else None
    kwargs: dict  # the other keywords a logger accepts: stack_info, stacklevel, extra

    @property
    def message(self):
        """The message as a logger would render it."""
        msg = str(self.msg)
        return msg % self.args if self.args else msg


def _format_exc_info(exc_info):
    """Traceback text for an exc_info keyword, following logging's rules."""
    if not exc_info:
        return None
    if isinstance(exc_info, BaseException):
        return "".join(traceback.format_exception(type(exc_info), exc_info, exc_info.__traceback__))
    if isinstance(exc_info, tuple):
        return "".join(traceback.format_exception(*exc_info))
    return traceback.format_exc()


class RecordingLogger:
    """Accepts exactly the calls logging.Logger accepts for debug/info/warning/error."""

    def __init__(self):
        self.records = []

    def _record(self, level, msg, args, exc_info, stack_info, stacklevel, extra):
        exc_type, exc_value, _ = sys.exc_info()
        self.records.append(
            LogCall(
                level=level,
                msg=msg,
                args=args,
                exc_info=exc_info,
                exc_type=exc_type,
                exc_value=exc_value,
                traceback=_format_exc_info(exc_info),
                kwargs={"stack_info": stack_info, "stacklevel": stacklevel, "extra": extra},
            )
        )

    def debug(self, msg, *args, exc_info=None, stack_info=False, stacklevel=1, extra=None):
        self._record("debug", msg, args, exc_info, stack_info, stacklevel, extra)

    def info(self, msg, *args, exc_info=None, stack_info=False, stacklevel=1, extra=None):
        self._record("info", msg, args, exc_info, stack_info, stacklevel, extra)

    def warning(self, msg, *args, exc_info=None, stack_info=False, stacklevel=1, extra=None):
        self._record("warning", msg, args, exc_info, stack_info, stacklevel, extra)

    def error(self, msg, *args, exc_info=None, stack_info=False, stacklevel=1, extra=None):
        self._record("error", msg, args, exc_info, stack_info, stacklevel, extra)

    # --- reading back ---------------------------------------------------------------------

    def at(self, level):
        """The calls made at one level."""
        if level not in LEVELS:
            raise ValueError("unknown level %r" % (level,))
        return [r for r in self.records if r.level == level]

    def messages(self, level=None):
        """Rendered messages, of one level or of all."""
        records = self.records if level is None else self.at(level)
        return [r.message for r in records]

    def pairs(self):
        """(level, message) of every call, in order."""
        return [(r.level, r.message) for r in self.records]

    def clear(self):
        self.records.clear()

    def __len__(self):
        return len(self.records)

    def __repr__(self):
        lines = ["%s: %s%s" % (r.level, r.message, " [%s]" % r.exc_type.__name__ if r.exc_type else "")
                 for r in self.records]
        return "RecordingLogger(%s)" % ("\n  " + "\n  ".join(lines) if lines else "")
