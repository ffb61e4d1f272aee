"""The directory a command writes its outputs into: never one that holds its inputs, nor one
with files the commands did not write, since outputs replace files of the same name."""
from pathlib import Path

from .errors import UsageError, short

# What a replay, a sweep and a walk-forward write into their output directories.
REPLAY = ("chart.png", "decisions.csv", "engine.log", "fills.csv", "instruments.csv", "report.html", "summary.json")
WRITTEN = frozenset(REPLAY + ("runs.csv", "runs.parquet", "ranking.csv", "heatmap.png", "sweep.json",
                              "walkforward.csv", "walkforward_equity.csv", "walkforward.png", "walkforward.json"))


def written_by_us(name):
    """An output, or a command's unfinished file or working directory (`.replay-...`, `.NAME.partial`)."""
    return name in WRITTEN or name.startswith(".replay-") or (name.startswith(".") and name.endswith(".partial"))


def input_files(args, options):
    """The files besides the ticks that a replay reads: those its file options (names) give."""
    return [path for path in (getattr(args, name, None) for name in options) if path]


def refuse_unsafe(out, inputs):
    """UsageError when `out` (absolute) is no directory, is or holds one of the input files
    (absolute), or holds anything that no command wrote."""
    for path in map(Path, inputs):
        if path == out or out in path.parents:
            raise UsageError("--out %s %s the input %s: the outputs need a directory of their own"
                             % (short(out), "is" if path == out else "holds", short(path)))
    try:
        if out.exists() and not out.is_dir():
            raise UsageError("--out %s is not a directory: name a directory for the outputs" % short(out))
        foreign = sorted(entry.name for entry in out.iterdir() if not written_by_us(entry.name)) if out.exists() else []
    except OSError as error:
        raise UsageError("--out %s: %s" % (short(out), error.strerror or error)) from None
    if foreign:
        raise UsageError("--out %s holds %s%s, which no brindle command wrote: name a new or empty directory"
                         % (short(out), foreign[0], " and %d more" % (len(foreign) - 1) if len(foreign) > 1 else ""))


def create(out):
    """Creates the output directory; True when it did not exist before."""
    try:
        existed = out.is_dir()
        out.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError("cannot create the output directory %s: %s" % (short(out), error.strerror or error)) from None
    return not existed
