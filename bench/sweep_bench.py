"""What a sweep costs per run: runs per second and processor time per point (the sweep's
process and every replay process it started, so that other work on a shared machine
weighs less), on the sample session (a one-day file) and on a file of two ticks (what a
run costs whatever its size), for warm workers against a process per run.

    python3 bench/sweep_bench.py [--workers N] [--grid NAME=VALUES]... [--baseline CHECKOUT]

--baseline: also measure the sweep of another checkout (with its module built), e.g. an
older commit unpacked with `git archive`, whose runs were each a process of their own.
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def measure(checkout, ticks, grid, workers, extra, place):
    """(runs, seconds, processor seconds) of one sweep."""
    out = Path(tempfile.mkdtemp(dir=place))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    command = [sys.executable, "-m", "brindle_tools", "sweep", str(ticks), "--workers", str(workers), "--out", str(out / "o")]
    for item in grid:
        command += ["--grid", item]
    subprocess.run(command + extra, cwd=place, env=dict(os.environ, PYTHONPATH=str(checkout)), check=True,
                   stdout=subprocess.DEVNULL)
    seconds = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    runs = sum(1 for _ in open(out / "o" / "runs.csv")) - 1
    return runs, seconds, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--grid", action="append", default=None)
    parser.add_argument("--baseline", help="another checkout whose sweep to measure too")
    args = parser.parse_args()
    grid = args.grid or ["open_ticks=2..5", "close_ticks=1..4"]
    place = Path(tempfile.mkdtemp(prefix="sweep-bench-"))
    day = place / "day.csv"
    subprocess.run([sys.executable, "-m", "brindle_tools", "sample", str(day)], env=dict(os.environ, PYTHONPATH=str(REPO)),
                   check=True, stdout=subprocess.DEVNULL)
    two = place / "two.csv"
    two.write_text("".join(open(day).readlines()[:3]))
    setups = [("warm workers", REPO, []), ("a process per run", REPO, ["--runs-per-process", "1"])]
    if args.baseline:
        setups.append(("baseline %s" % args.baseline, Path(args.baseline).resolve(), []))
    print("%d workers, grid %s" % (args.workers, " x ".join(grid)))
    print("%-34s %-10s %6s %9s %10s %12s" % ("", "ticks", "runs", "runs/s", "cpu/run", "vs first"))
    for name, ticks in (("one day (sample session)", day), ("two ticks", two)):
        first = None
        for setup, checkout, extra in setups:
            runs, seconds, cpu = measure(checkout, ticks, grid, args.workers, extra, place)
            first = first or cpu / runs
            print("%-34s %-10s %6d %9.2f %9.3fs %11.2fx" % (setup, name.split()[0] + " " + name.split()[1], runs,
                                                            runs / seconds, cpu / runs, cpu / runs / first))


if __name__ == "__main__":
    main()
