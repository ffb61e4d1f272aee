"""The one error a command shows its operator, and paths as the operator reads them."""
from pathlib import Path

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
    except ValueError:
        return str(path)
