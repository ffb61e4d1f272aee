"""Processor time per tick of the native research road (--engine native) against the exact
replay, the bare engine and backtesting libraries that traders use; a one-day sweep point
with warm workers; where the native replay's time goes.

    python3 bench/native.py [--quick] [--rounds N] [--peers] [--no-sweep] [--no-profile]

The ticks are the sample days that `make demo` replays (three trading days of rb2501 and
hc2501, each with its night session), made once into a temporary directory; --quick takes
the one-day sample session and three rounds. Every road runs in a worker process of its own,
set up and warmed by one run first; then each round has every worker run once in turn (so
that a busy moment of a shared machine weighs on all of them alike), and a figure is the
median over the rounds of the worker's processor time (time.process_time) per tick:
 a. the exact replay's tick loop: the replay's execute() (reading, the client, the engine and
    the outputs written on the way); beside it the whole replay, less the interpreter's start
    and the imports (the host's modules, the instruments and fees read, the outputs closed);
 b. the bare engine: push_md2trade alone over the same ticks, set up as the replay sets it up;
 c. the native replay (--engine native), whole, reading included, when this checkout has it;
 d. with --peers: the libraries of bench/peers.py over the rb2501 ticks alone (each
    installed at a pinned version into build/peers/ when missing; skipped, with the reason,
    when that fails).
"""
import argparse
import cProfile
import gc
import io
import json
import os
import pstats
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path.insert(0, str(BENCH))
import peers  # noqa: E402  (beside this file)

GOAL = 1.5e-6  # processor seconds per tick for the whole native replay
# A sweep of one point (its start and a worker's first run), and of the sample grid: the
# difference is what the grid's other points cost in a warm worker (a point's cost varies with
# its parameters: the more decisions, the more ticks the native loop hands back to Python).
SWEEP_GRIDS = (["open_ticks=3"], ["open_ticks=2..5", "close_ticks=1..4"])
# Where a function of the profile belongs: the first category one of whose marks is in its
# file name or its name (C functions have no file).
CATEGORIES = (
    ("reading (tick files, Arrow batches)", ("brindle_tools/ticks.py", "brindle_tools/inputs.py", "pyarrow", "numpy")),
    ("native road (the C++ loop's own time shows in its caller)", ("brindle_tools/native", "_research")),
    ("the settings module and the host's records", ("/cfg/oxa_", "py_ApiStructure")),
    ("the collector's pass before the loop", ("gc.collect",)),
    ("outputs (decision and fill rows, chart series)", ("brindle_tools/report.py", "brindle_tools/results.py",
                                                        "writerow", "_io.")),
    ("client: exchange, broker, account (and push_md2trade it calls)", ("brindle_tools/",)),
)
# The figures of each kind of worker: (what the row adds to the worker's label, key).
ROWS = {
    "exact": ((": whole, reading included", "whole"), (": tick loop (execute)", "loop")),
    "native": ((": whole, reading included", "whole"), (": tick loop (execute)", "loop")),
    "bare": ((": push_md2trade alone", "loop"),),
    "reading": ((", tick by tick (the exact road)", "loop"), (", in batches (the native road)", "batches")),
    "command": ((" as a command (its start and imports)", "process"),),
    "peer": ((", rb2501 only", "run"),),
}

# What the table's ratios are to: the first of these that was measured.
REFERENCES = (("native replay", "native", "whole"), ("exact tick loop", "exact", "loop"))


class Unavailable(Exception):
    """A road that this checkout or machine cannot run; the message says why."""


# --- the workers' side ------------------------------------------------------------------------

def host_copy(place, name):
    host = place / ("host-%s-%d" % (name, os.getpid()))
    shutil.copytree(REPO / "host", host, ignore=shutil.ignore_patterns("__pycache__", "log"))
    return host


def replay_argv(place, engine, name):
    """The sample replay's command line (without the command), on an engine."""
    return [str(place / "days.csv"), "--fees", str(REPO / "samples" / "fees.csv"),
            "--host", str(host_copy(place, name)), "--no-chart", "--out", str(place / ("out-" + name))] + \
        (["--engine", engine] if engine != "exact" else [])


def replay_road(place, engine):
    """The sample replay on an engine, measured: a function giving the processor seconds of its
    execute() and of the whole replay, its ticks and the road its summary names."""
    sys.path.insert(0, str(REPO))
    from brindle_tools.commands.replay import parse_arguments
    from brindle_tools.replay import run
    from brindle_tools.replay.options import replay_options

    argv = replay_argv(place, engine, "%s-%d" % (engine, os.getpid()))
    try:
        parse_arguments(argv)
    except SystemExit:
        raise Unavailable("this checkout's replay has no --engine %s" % engine) from None
    spent = []
    execute = run.execute

    def timed_execute(*arguments):
        started = time.process_time()
        try:
            return execute(*arguments)
        finally:
            spent.append(time.process_time() - started)

    run.execute = timed_execute

    def measured():
        args = parse_arguments(argv)
        started = time.process_time()
        summary = run.replay(args.ticks, replay_options(args), out=args.out, chart=not args.no_chart)
        whole = time.process_time() - started
        failure = summary.stopped or summary.not_written or summary.interrupted
        if failure:
            raise RuntimeError("the sample replay failed: %s" % failure)
        road = getattr(summary.results, "engine", "exact")
        return {"loop": spent[-1], "whole": whole, "ticks": summary.results.totals.ticks, "road": road}

    first = measured()  # imports the host's modules, as the first replay of a process does
    if engine != "exact" and not first["road"].startswith(engine):
        raise Unavailable("the replay took another road: %s" % first["road"])
    return measured


def bare_road(place):
    """push_md2trade alone over the sample's ticks, as bench/bench.py sets it up."""
    replay_road(place, "exact")  # the host's modules imported by a replay, as the engine needs them
    import bench as engine_bench

    loop = engine_bench.replay_loop(place / "days.csv", 1)

    def measured():
        run = loop.engine_run()  # fresh tick dictionaries, made before the clock starts
        started = time.process_time()
        run()
        return {"loop": time.process_time() - started, "ticks": len(loop.stream)}

    return measured


def reading_road(place):
    """The sample's ticks read alone: tick by tick (the exact replay's reader) and, where the
    reader has them, in column batches (the native road's)."""
    sys.path[:0] = [str(REPO / "host"), str(REPO)]
    from brindle_tools.feed.inputs import field_types
    from brindle_tools.feed.ticks import TickSource
    from oxa.py_ApiStructure import DepthMarketDataField

    converters = field_types(DepthMarketDataField)

    def measured():
        source = TickSource([str(place / "days.csv")], converters)
        started = time.process_time()
        figures = {"ticks": sum(1 for _ in source), "loop": time.process_time() - started}
        if hasattr(source, "batches"):
            source = TickSource([str(place / "days.csv")], converters)
            started = time.process_time()
            for tick_file in source.files:
                for _ in source.batches(tick_file):
                    pass
            figures["batches"] = time.process_time() - started
        return figures

    measured()
    return measured


def peer_road(place, package):
    run = peers.prepare(package, place / "peer-ticks.csv")
    run(time.process_time)  # the warm-up: a library's compilation on first use among it
    return lambda: run(time.process_time)


def prepare(kind, place):
    if kind == "bare":
        return bare_road(place)
    if kind == "reading":
        return reading_road(place)
    if kind.startswith("peer:"):
        return peer_road(place, kind[len("peer:"):])
    return replay_road(place, kind)


def profiled(measured):
    """One measured run under cProfile: its own time by category, in seconds."""
    profile = cProfile.Profile()
    profile.enable()
    measured()
    profile.disable()
    spent = {name: 0.0 for name, _ in CATEGORIES}
    spent["other"] = 0.0
    for (filename, _, function), row in pstats.Stats(profile, stream=io.StringIO()).stats.items():
        where = "%s:%s" % (filename, function)
        category = next((name for name, marks in CATEGORIES if any(mark in where for mark in marks)), "other")
        spent[category] += row[2]  # the function's own time
    return spent


def sampled(measured, place):
    """One measured run sampled by perf into place/perf.data (perf attached to this process
    for that run alone); its figures, or why perf could not sample."""
    if not shutil.which("perf"):
        return {"unavailable": "no perf on this machine"}
    data = place / "perf.data"
    recorder = subprocess.Popen(["perf", "record", "-F", "4999", "-o", str(data), "-p", str(os.getpid())],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    time.sleep(1)  # perf attaches
    figures = measured()
    recorder.send_signal(signal.SIGINT)  # perf writes its samples and ends
    _, errors = recorder.communicate()
    return figures if data.exists() else {"unavailable": "perf failed: %s" % errors.strip()[-200:]}


def serve(kind, place):
    """A worker: set up, then one measured run per line read: "run", "profile" (under
    cProfile) or "perf" (sampled by perf)."""
    channel = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # what the replay and the libraries print

    def say(message):
        channel.write(json.dumps(message) + "\n")

    try:
        measured = prepare(kind, place)
    except Unavailable as reason:
        say({"unavailable": str(reason)})
        return
    except Exception as error:  # a road that fails is reported, and the others still run
        traceback.print_exc()
        say({"unavailable": "failed: %s: %s" % (type(error).__name__, error)})
        return
    say({"ready": os.getpid()})
    commands = {"run": measured, "profile": lambda: profiled(measured), "perf": lambda: sampled(measured, place)}
    for command in sys.stdin:
        gc.collect()
        say(commands[command.strip()]())


# --- the measuring side -----------------------------------------------------------------------

class Worker:
    def __init__(self, label, kind, place, python=sys.executable):
        self.label, self.kind = label, kind
        self.log = place / ("worker-%s.log" % kind.replace(":", "-"))
        self.process = subprocess.Popen([str(python), str(Path(__file__).resolve()), "--worker", kind, str(place)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=open(self.log, "w"),
                                        text=True, cwd=place)
        self.runs = []
        first = self.receive()
        self.unavailable = first.get("unavailable")
        self.pid = first.get("ready")

    def receive(self):
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("worker %s ended: see %s" % (self.kind, self.log))
        return json.loads(line)

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.receive()

    def close(self):
        self.process.stdin.close()
        self.process.wait()


class Command:
    """The native replay as an operator starts it: a process of its own, measured by its
    processor time (the interpreter's start and the imports included)."""

    kind = "command"
    unavailable = None

    def __init__(self, label, place, ticks):
        self.label, self.ticks, self.runs = label, ticks, []
        self.argv = [sys.executable, "-m", "brindle_tools", "replay"] + replay_argv(place, "native", "command")

    def ask(self, command):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(self.argv, cwd=REPO, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        return {"process": after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, "ticks": self.ticks}

    def close(self):
        pass


def median_per_tick(runs, key):
    return statistics.median(run[key] / run["ticks"] for run in runs)


def spread(runs, key):
    values = [run[key] / run["ticks"] * 1e6 for run in runs]
    return "%.2f-%.2f" % (min(values), max(values))


def make_sample(place, days):
    """The sample file of `days` trading days (1: the one-day sample session)."""
    path = place / ("days.csv" if days > 1 else "day.csv")
    command = [sys.executable, "-m", "brindle_tools", "sample", str(path)] + (["--days", str(days)] if days > 1 else [])
    subprocess.run(command, cwd=REPO, check=True, stdout=subprocess.DEVNULL)
    return path


def sample_ticks(place):
    with open(place / "days.csv") as sample:
        return sum(1 for _ in sample) - 1  # the header line


def start_workers(place, with_peers):
    native = Worker("c. native replay", "native", place)
    workers = [Worker("a. exact replay", "exact", place), Worker("b. bare engine", "bare", place),
               Worker("   reading alone", "reading", place), native]
    if not native.unavailable:
        workers.append(Command("   native replay", place, sample_ticks(place)))
    notes = []  # (label, what to say of it) after the table
    if with_peers:
        peers.write_ticks(place / "days.csv", place / "peer-ticks.csv")
        for peer in peers.PEERS:
            label = "d. peer %s (%s)" % (peer.label, peer.name)
            reason = peers.installed(peer)
            if reason:
                notes.append((label, "skipped: " + reason))
            else:
                notes.append((label, peer.kind))
                workers.append(Worker(label, "peer:" + peer.package, place, peer.python))
    return workers, notes


def perf_lines(worker, place):
    """One measured run of the worker sampled by perf: the shares of the shared objects and of
    the hottest functions."""
    answer = worker.ask("perf")
    if "unavailable" in answer:
        return ["not sampled by perf: " + answer["unavailable"]]
    lines = []
    for keys, count, title in (("dso", 6, "by shared object"), ("dso,sym", 12, "its hottest functions")):
        shown = subprocess.run(["perf", "report", "-i", str(place / "perf.data"), "--sort", keys, "--stdio", "-q"],
                               capture_output=True, text=True)
        shares = [" ".join(line.split())[:110] for line in shown.stdout.splitlines() if line.strip()[:1].isdigit()]
        if shares:
            lines += ["the same replay sampled by perf, %s:" % title] + ["  " + line for line in shares[:count]]
    return lines


def sweep_available(engine):
    usage = subprocess.run([sys.executable, "-m", "brindle_tools", "sweep", "--help"], cwd=REPO, capture_output=True, text=True)
    return engine == "exact" or "--engine" in usage.stdout


def sweep_lines(place, rounds):
    """Processor time of a one-day sweep point in a warm worker, exact and native (sweeps of
    one point and of the 16 of the sample grid, with one worker), and per point of the 16 with
    the sweep's start shared among them: medians of interleaved rounds."""
    import sweep_bench

    day = make_sample(place, 1)
    engines = [engine for engine in ("exact", "native") if sweep_available(engine)]
    points = {engine: [] for engine in engines}  # (warm, with the start) per round
    for _ in range(rounds):
        for engine in engines:
            extra = ["--engine", engine] if engine != "exact" else []
            (one, _, one_cpu), (many, _, many_cpu) = (
                sweep_bench.measure(REPO, day, grid, 1, extra, place) for grid in SWEEP_GRIDS)
            points[engine].append(((many_cpu - one_cpu) / (many - one), many_cpu / many))
    lines = ["sweep of the one-day sample, %s, one worker, median of %d rounds:" % (" x ".join(SWEEP_GRIDS[1]), rounds)]
    for engine in ("exact", "native"):
        if engine not in points:
            lines.append("  %-6s not available (this checkout's sweep has no --engine)" % engine)
            continue
        warm, started = (statistics.median(values) for values in zip(*points[engine]))
        lines.append("  %-6s %.3f s per point in a warm worker (%s); %.3f s per point with the sweep's start"
                     % (engine, warm, ", ".join("%.3f" % value for value, _ in points[engine]), started))
    return lines


def report(workers, notes, rounds, ticks_line):
    measured = {w.kind: w.runs for w in workers if w.runs}
    reference = next(((name, kind, key) for name, kind, key in REFERENCES if kind in measured), None)
    base = median_per_tick(measured[reference[1]], reference[2]) if reference else None
    print(ticks_line)
    print("processor time per tick, median of %d interleaved rounds (range over the rounds)" % rounds)
    print("%-58s %9s %13s %9s" % ("road", "us/tick", "range", "vs " + reference[0] if reference else ""))
    for worker in workers:
        if worker.unavailable:
            print("%-58s %s" % (worker.label, "not available: " + worker.unavailable))
            continue
        for number, (suffix, key) in enumerate(ROWS.get(worker.kind, ROWS["peer"])):
            if key in worker.runs[0]:
                value = median_per_tick(worker.runs, key)
                print("%-58s %9.2f %13s %9s" % ((worker.label if not number else "   " + worker.label[3:]) + suffix,
                                                value * 1e6, spread(worker.runs, key),
                                                "%.2fx" % (value / base) if base else ""))
    for label, note in notes:
        print("%-34s %s" % (label, note))
    if "native" in measured:
        print("the native replay took: %s" % measured["native"][-1]["road"])
        value = median_per_tick(measured["native"], "whole")
        verdict = "met" if value <= GOAL else \
            "missed by %.2f us (%.1fx the goal)" % ((value - GOAL) * 1e6, value / GOAL)
        print("goal: the whole native replay at %.1f us per tick or less: %s" % (GOAL * 1e6, verdict))
    if {"exact", "bare", "reading"} <= measured.keys():
        loop, engine, reading = (median_per_tick(measured[kind], "loop") for kind in ("exact", "bare", "reading"))
        print("exact tick loop in parts: reading %.2f us, push_md2trade %.2f us, the client's own work (exchange, "
              "account, outputs) %.2f us" % (reading * 1e6, engine * 1e6, (loop - engine - reading) * 1e6))
    if "native" in measured and "batches" in measured.get("reading", [{}])[0]:
        loop, reading = median_per_tick(measured["native"], "loop"), median_per_tick(measured["reading"], "batches")
        print("native tick loop in parts: reading in batches %.2f us, the rest (the native loop, the client's code "
              "on the ticks handed back, outputs) %.2f us" % (reading * 1e6, (loop - reading) * 1e6))
        for worker in workers:
            if worker.kind.startswith("peer:") and worker.runs:
                times = median_per_tick(worker.runs, "run") / base
                print("%s: %.3gx the native replay's time per tick" % (worker.label[3:], times))


def profile_lines(workers, place):
    """Where the time of one replay goes: by category under cProfile, by shared object under
    perf, for the native replay (the exact one when there is no native)."""
    worker = next((w for w in workers if w.kind == "native" and w.runs),
                  next(w for w in workers if w.kind == "exact"))
    if worker.unavailable:
        return []
    spent = worker.ask("profile")
    total = sum(spent.values()) or 1.0
    lines = ["where the time of the %s goes (cProfile, own time; its overhead swells the Python parts):"
             % worker.label[3:]]
    lines += ["  %5.1f%%  %s" % (100 * seconds / total, name)
              for name, seconds in sorted(spent.items(), key=lambda item: -item[1]) if seconds]
    return lines + perf_lines(worker, place)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the one-day sample session, 3 rounds")
    parser.add_argument("--rounds", type=int, help="interleaved rounds (default: 5; 3 with --quick)")
    parser.add_argument("--peers", action="store_true", help="also measure the peer libraries (installed into "
                                                             "build/peers/ when missing)")
    parser.add_argument("--no-sweep", action="store_true", help="skip the sweep points")
    parser.add_argument("--no-profile", action="store_true", help="skip where the time goes")
    parser.add_argument("--worker", nargs=2, metavar=("KIND", "PLACE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        serve(args.worker[0], Path(args.worker[1]))
        return
    rounds = args.rounds or (3 if args.quick else 5)
    place = Path(tempfile.mkdtemp(prefix="oxa-native-bench-"))
    workers = []
    try:
        sample = make_sample(place, 1 if args.quick else 3)
        if sample.name != "days.csv":
            shutil.copy(sample, place / "days.csv")
        workers, notes = start_workers(place, args.peers)
        ready = [w for w in workers if not w.unavailable]
        for _ in range(rounds):
            for worker in ready:
                worker.runs.append(worker.ask("run"))
        ticks = sample_ticks(place)
        report(workers, notes, rounds, "sample: %s, %s ticks of rb2501 and hc2501" % (
            "one trading day" if args.quick else "three trading days with their night sessions",
            "{:,}".format(ticks)))
        lines = [] if args.no_profile else profile_lines(workers, place)
        for worker in workers:
            worker.close()
        workers = []
        lines += [] if args.no_sweep else sweep_lines(place, 1 if args.quick else 3)
        for line in lines:
            print(line)
    finally:
        for worker in workers:
            worker.process.kill()
        shutil.rmtree(place, ignore_errors=True)


if __name__ == "__main__":
    main()
