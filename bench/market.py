"""A whole market per run: microseconds per tick of the exact and the native replay on the
sample days and against the number of interleaved instruments, from tick files and from a tick
store (brindle-ingest); peak resident memory against the days replayed; the ingest's speed; a sweep point's processor
time from a store.

    python3 bench/market.py [--instruments 2,10,50,200] [--days 1,5,20] [--rounds N] [--quick] [--curve-only]
                            [--density T]

The markets are the sample generator's (brindle-sample --instruments N --days D: rb2501,
hc2501 and made-up instruments trading as rb2501, the market's ticks about those of the two
whatever N; for the curve at a market's density, each instrument's about T a day), replayed
by the sample host with every instrument given rb2501's strategy. A figure is the processor
time of the replay's tick loop (its execute(), reading included) per tick, the median over
the rounds; memory is the replay process's peak resident set (its rusage at exit). Every line
prints its ratio to the exact road of the same market.
"""
import argparse
import json
import os
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO))
from brindle_tools.feed.sample import market_host  # noqa: E402

ENV = dict(os.environ, PYTHONPATH=str(REPO))


# A replay that prints the processor time of its tick loop (run.execute) last.
TIMED_REPLAY = """import sys, time
from brindle_tools.replay import run
untimed, spent = run.execute, []
def execute(*args):
    started = time.process_time()
    try:
        return untimed(*args)
    finally:
        spent.append(time.process_time() - started)
run.execute = execute
from brindle_tools.commands.replay import main
status = main(sys.argv[1:])
print(spent[0])
sys.exit(status)
"""


def run_measured(name, *args, cwd):
    """(stdout, peak resident MiB) of a tool run whose failure stops the bench."""
    command = [sys.executable, *(["-c", TIMED_REPLAY] if name == "replay" else ["-m", "brindle_tools", name]),
               *map(str, args)]
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        process = subprocess.Popen(command, cwd=cwd, env=ENV, stdout=out, stderr=err)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        # A sweep's driver aborts now and then at its exit with its outputs written ("terminate
        # called without an active exception"; main's too, not explained yet): its figures stand.
        aborted_at_exit = name == "sweep" and process.returncode == -signal.SIGABRT and "written" in out.read()
        out.seek(0)
        if process.returncode != 0 and not aborted_at_exit:
            sys.exit("bench/market.py: %s failed:\n%s" % (" ".join(map(str, args)), err.read()))
        return out.read(), usage.ru_maxrss / 1024


def per_tick(place, ticks, host, instruments, engine, rounds, *extra):
    """(median µs per tick of the tick loop, peak MiB, ticks)."""
    figures, peaks = [], []
    for number in range(rounds):
        out = place / ("out-%s-%d" % (engine, number))
        printed, peak = run_measured("replay", *ticks, "--host", host, "--instruments", instruments, "--engine",
                                     engine, "--no-chart", "--out", out, *extra, cwd=place)
        summary = json.loads((out / "summary.json").read_text())
        figures.append(float(printed.split()[-1]) / summary["ticks"] * 1e6)
        peaks.append(peak)
    return statistics.median(figures), max(peaks), summary["ticks"]


def market(place, count, days, per_instrument=None):
    """(host, instrument file, tick file, store, ingest MB/s) of a generated market."""
    place.mkdir(parents=True, exist_ok=True)
    host, instruments = market_host(place, count)
    ticks = place / "market.csv"
    density = ("--ticks-per-instrument", per_instrument) if per_instrument else ()
    run_measured("sample", "--instruments", count, "--days", days, *density, ticks, cwd=place)
    printed, _ = run_measured("ingest", ticks, "--store", place / "store", "--host", host, "--instruments",
                              instruments, cwd=place)
    speed = float(printed.split("(")[-1].split(" MB/s")[0])
    return host, instruments, ticks, place / "store", speed


def sample_days(root, rounds):
    """The three sample days of `make demo`, from the tick file and from its store."""
    place = root / "sample"
    place.mkdir()
    ticks = place / "days.csv"
    run_measured("sample", "--days", 3, ticks, cwd=place)
    host, instruments = REPO / "host", REPO / "samples" / "instruments.csv"
    fees = ("--fees", REPO / "samples" / "fees.csv")
    printed, _ = run_measured("ingest", ticks, "--store", place / "store", cwd=place)
    print("the sample days (rb2501 and hc2501, three trading days); %s" % printed.split(": ", 1)[1].strip())
    exact = None
    for engine in ("exact", "native"):
        for source in (ticks, place / "store"):
            figure, peak, total = per_tick(place, [source], host, instruments, engine, rounds, *fees)
            exact = exact or figure
            print("  %-6s from %-9s %6.2f µs per tick (%d ticks), %.3f of the exact road from the file; %4.0f MiB"
                  % (engine, "the store" if source.name == "store" else "the file", figure, total, figure / exact,
                     peak))
    print()


def instrument_curve(root, counts, rounds):
    print("µs per tick of the tick loop against the instruments of the market (one trading day)")
    print("%6s %8s %10s %10s %10s %10s  %s" % ("instr.", "ticks", "exact csv", "exact store", "native csv",
                                               "native store", "native store / exact csv; ingest"))
    base = None
    for count in counts:
        host, instruments, ticks, store, speed = market(root / ("n%d" % count), count, 1)
        place = ticks.parent
        exact, _, total = per_tick(place, [ticks], host, instruments, "exact", rounds)
        exact_store, _, _ = per_tick(place, [store], host, instruments, "exact", rounds)
        native, _, _ = per_tick(place, [ticks], host, instruments, "native", rounds)
        native_store, _, _ = per_tick(place, [store], host, instruments, "native", rounds)
        base = base or (exact, native_store)
        print("%6d %8d %10.2f %10.2f %10.2f %10.2f  %.3f; exact x%.2f, native store x%.2f of 2 instruments; "
              "ingest %.1f MB/s" % (count, total, exact, exact_store, native, native_store, native_store / exact,
                                    exact / base[0], native_store / base[1], speed))


def density_curve(root, counts, rounds, per_instrument):
    """The curve at a real market's density: each instrument about as many ticks a day whatever
    their number, so that what an instrument costs once a day weighs as it does in a real market;
    the exact road is measured once, from the store."""
    print("\nµs per tick of the tick loop, each instrument about %d ticks a day (a real market's day: 2.8 "
          "million ticks of 429 instruments)" % per_instrument)
    print("%6s %9s %12s %10s %12s  %s" % ("instr.", "ticks", "exact store", "native csv", "native store",
                                          "native store / exact; x of 2 instruments"))
    base = None
    for count in counts:
        host, instruments, ticks, store, _ = market(root / ("density%d" % count), count, 1, per_instrument)
        place = ticks.parent
        exact, _, total = per_tick(place, [store], host, instruments, "exact", 1)
        native, _, _ = per_tick(place, [ticks], host, instruments, "native", rounds)
        native_store, _, _ = per_tick(place, [store], host, instruments, "native", rounds)
        base = base or native_store
        print("%6d %9d %12.2f %10.2f %12.2f  %.3f; x%.2f" % (count, total, exact, native, native_store,
                                                           native_store / exact, native_store / base))


def memory_curve(root, days_list, count, rounds):
    print("\npeak resident memory (MiB) of a replay from the store against its days (%d instruments)" % count)
    print("%5s %9s %12s %12s %10s" % ("days", "ticks", "exact MiB", "native MiB", "native/exact µs"))
    for days in days_list:
        host, instruments, _, store, _ = market(root / ("d%d" % days), count, days)
        place = store.parent
        exact, exact_peak, total = per_tick(place, [store], host, instruments, "exact", 1)
        native, native_peak, _ = per_tick(place, [store], host, instruments, "native", rounds)
        print("%5d %9d %12.0f %12.0f %10.3f" % (days, total, exact_peak, native_peak, native / exact))


def sweep_points(root, rounds):
    """Processor time of a sweep point from a store, on the native road in one warm worker: a
    sweep of 5 points against one of 1 point (the start and the worker's first run), the
    difference shared among the 4 others; one trading day, and a generated week."""
    place = root / "sweeps"
    place.mkdir()
    ticks = place / "week.csv"
    run_measured("sample", "--days", 5, ticks, cwd=place)
    run_measured("ingest", ticks, "--store", place / "store", cwd=place)
    print("\nprocessor time of a sweep point from the store (native road, one warm worker)")
    for label, days in (("one day", ("--to", "20241107")), ("a week (5 days)", ())):
        costs = {}
        for grid in ("open_ticks=3", "open_ticks=2..6"):
            figures = []
            for number in range(rounds):
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                run_measured("sweep", place / "store", "--grid", grid, "--workers", 1, "--engine", "native",
                             "--out", place / ("out-%d-%s-%d" % (len(days), grid, number)), *days, cwd=place)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                figures.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
            costs[grid] = statistics.median(figures)
        print("  %-16s %.3f s a point (a sweep of one point: %.2f s)" % (
            label, (costs["open_ticks=2..6"] - costs["open_ticks=3"]) / 4, costs["open_ticks=3"]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--instruments", default="2,10,50,200")
    parser.add_argument("--days", default="1,5,20")
    parser.add_argument("--memory-instruments", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="2 and 10 instruments, 1 and 2 days, one round")
    parser.add_argument("--curve-only", action="store_true", help="only the cost against the number of instruments")
    parser.add_argument("--density", type=int, default=6500, metavar="T",
                        help="ticks a day of an instrument in the curve at a market's density (0: no such curve)")
    args = parser.parse_args(argv)
    if args.quick:
        args.instruments, args.days, args.rounds, args.memory_instruments = "2,10", "1,2", 1, 10
    with tempfile.TemporaryDirectory(prefix="bench-market-") as root:
        if not args.curve_only:
            sample_days(Path(root), args.rounds)
        counts = [int(n) for n in args.instruments.split(",")]
        instrument_curve(Path(root), counts, args.rounds)
        if args.density:
            density_curve(Path(root), counts, args.rounds, args.density)
        if not args.curve_only:
            memory_curve(Path(root), [int(d) for d in args.days.split(",")], args.memory_instruments, args.rounds)
            sweep_points(Path(root), args.rounds)


if __name__ == "__main__":
    main()
