"""A whole market's files, day by day: replays of three trading days of N generated
instruments, one tick file per instrument and trading day as recorders deliver them
(NAME_YYYYMMDD.csv), under a limit of 1024 open files; per road the time, the time per tick
and the peak resident memory.

    python3 bench/day_files.py [--counts 5,25,100,429] [--days 3] [--engines exact,native]

The ticks are brindle-sample's market of N instruments (feed/sample.py: rb2501, hc2501 and
quieter ones), made once per count into a temporary directory; every instrument trades
rb2501's strategy of the sample host. Each replay is a process of its own: its peak memory is
that process's, and a replay that fails (too many open files) is shown with its last line.
"""
import argparse
import csv
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO))
from brindle_tools.feed import sample  # noqa: E402  (the checkout's, not an installed one)

OPEN_FILES = 1024
SEED = 20241105
# A command of brindle_tools, then its peak resident memory (KiB) on standard error.
MEASURED = """import resource, runpy, sys
sys.argv = ["brindle_tools"] + sys.argv[1:]
try:
    runpy.run_module("brindle_tools", run_name="__main__", alter_sys=True)
finally:
    print("peak", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)
"""


def split_by_day(ticks, directory):
    """The rows of the sample file, one file per instrument and trading day; their number. The
    days come in order, so a day's files are closed when the next day begins."""
    directory.mkdir()
    writers, count, day = {}, 0, None
    with open(ticks, newline="", encoding="utf-8") as source:
        reader = csv.reader(source)
        header = next(reader)
        at_instrument, at_day = header.index("InstrumentID"), header.index("TradingDay")
        try:
            for row in reader:
                if row[at_day] != day:
                    for output, _ in writers.values():
                        output.close()
                    writers, day = {}, row[at_day]
                if row[at_instrument] not in writers:
                    output = open(directory / ("%s_%s.csv" % (row[at_instrument], day)), "w", newline="",
                                  encoding="utf-8")
                    writers[row[at_instrument]] = output, csv.writer(output, lineterminator="\n")
                    writers[row[at_instrument]][1].writerow(header)
                writers[row[at_instrument]][1].writerow(row)
                count += 1
        finally:
            for output, _ in writers.values():
                output.close()
    return count


def market(place, count, days):
    """(tick directory, instrument file, host directory, ticks) of count instruments."""
    place.mkdir()
    sample.write(place / "all.csv", SEED, days, count)
    ticks = split_by_day(place / "all.csv", place / "ticks")
    (place / "all.csv").unlink()
    host, instruments = sample.market_host(place, count)
    return place / "ticks", instruments, host, ticks


def limited():
    resource.setrlimit(resource.RLIMIT_NOFILE, (OPEN_FILES, OPEN_FILES))


def replay(ticks, instruments, host, engine, out):
    """(seconds, peak resident MiB, None or the failure's last line) of one replay."""
    started = time.perf_counter()
    run = subprocess.run([sys.executable, "-c", MEASURED, "replay", str(ticks), "--instruments", str(instruments),
                          "--host", str(host), "--engine", engine, "--no-chart", "--out", str(out)],
                         cwd=REPO, capture_output=True, text=True, preexec_fn=limited)
    seconds = time.perf_counter() - started
    lines = run.stderr.strip().splitlines()
    peak = next((int(line.split()[1]) / 1024 for line in reversed(lines) if line.startswith("peak ")), float("nan"))
    failure = None
    if run.returncode != 0:
        failure = next((line for line in reversed(lines) if not line.startswith("peak ")), "exit %d" % run.returncode)
    return seconds, peak, failure


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--counts", default="5,25,100,429", help="numbers of instruments (default: %(default)s)")
    parser.add_argument("--days", type=int, default=3, help="trading days (default: %(default)s)")
    parser.add_argument("--engines", default="exact,native", help="roads to time (default: %(default)s)")
    args = parser.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    engines = args.engines.split(",")
    print("%d trading days, one file per instrument and day, at most %d open files" % (args.days, OPEN_FILES))
    print("%11s %6s %10s %-7s %9s %9s %9s  %s" % ("instruments", "files", "ticks", "road", "seconds", "us/tick",
                                                  "peak MiB", "failure"))
    with tempfile.TemporaryDirectory(prefix="day-files-") as temporary:
        for count in counts:
            place = Path(temporary) / str(count)
            ticks, instruments, host, rows = market(place, count, args.days)
            files = sum(1 for _ in ticks.iterdir())
            for engine in engines:
                seconds, peak, failure = replay(ticks, instruments, host, engine, place / ("out-" + engine))
                print("%11d %6d %10s %-7s %9.1f %9.2f %9.0f  %s" % (
                    count, files, "{:,}".format(rows), engine, seconds, seconds / rows * 1e6, peak, failure or ""),
                    flush=True)
            shutil.rmtree(place)
    return 0


if __name__ == "__main__":
    sys.exit(main())
