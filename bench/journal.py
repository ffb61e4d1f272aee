"""The opt-in SQL journal ([CLOUD] async_writes = 1) against the synchronous writes, on a
private MariaDB server: the cost of one SQL2DB statement, and a host's tick (push_md2trade
and one SQL2DB statement, as a simulated fill journals its row) while the server is frozen
with SIGSTOP. Wall-clock times of a host process of its own per road. Then, the server
frozen, the spread of single SQL2DB calls through the journal (p50, p99, p999, the slowest)
and the context switches of the calling thread, against a plain append of a line of the same
size to a file that another thread syncs every 10 ms.

    python3 bench/journal.py [--statements N] [--freeze SECONDS]
"""
import argparse
import json
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(REPO / "tests"), str(REPO)]
from harness.host import WorkDir  # noqa: E402
from harness.mariadb import MariaDBServer  # noqa: E402
from harness.paths import IMPORT_PATH, SAMPLE_HOST  # noqa: E402

# Answers each command line with seconds per operation: "write N" (SQL2DB alone), "tick N"
# (push_md2trade alone), "both N" (push_md2trade, then SQL2DB), "slowest N" (the longest of
# N ticks with their statement); "spread N" (SQL2DB) and "append N" (the plain append) answer
# with the seconds of each call and the calling thread's context switches, as JSON.
HOST = r"""
import json, logging, os, resource, sys, threading, time
import cfg.oxa_env
cfg.oxa_env.logger.setLevel(logging.CRITICAL)
import oxa.Brindle, oxa.py_ApiStructure as records
engine = oxa.Brindle.COXAAlgos()
engine.updateFactor = lambda: None
engine.push_OnRspQryInstrument("Instrument", records.InstrumentField(InstrumentID="rb2501", ExchangeID="SHFE",
                                                                     PriceTick=1.0, VolumeMultiple=10))
row = 0
def write():
    global row
    row += 1
    engine.SQL2DB("INSERT INTO t_rows(n)VALUES(%s)", [(row,)])
def tick():
    engine.push_md2trade("00001", "rb2501", {"LastPrice": 3500.0 + row % 7, "Volume": row, "BidPrice1": 3499.0,
                                             "BidVolume1": 5, "AskPrice1": 3501.0, "AskVolume1": 7,
                                             "UpdateTime": "09:00:00"})
def both():
    tick()
    write()
plain = os.open("log/plain.jsonl", os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
def syncing(stop):
    while not stop.wait(0.01):
        os.fdatasync(plain)
def append():
    os.write(plain, b'{"line": 1, "at": "2026-01-02T09:00:00", "sql": "INSERT INTO t_rows(n)VALUES(%s)", "rows": [{"tuple": [1]}]}\n')
def spread(call, count):
    times = []
    before = resource.getrusage(resource.RUSAGE_THREAD)
    for _ in range(count):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    after = resource.getrusage(resource.RUSAGE_THREAD)
    return json.dumps({"times": times, "voluntary": after.ru_nvcsw - before.ru_nvcsw,
                       "involuntary": after.ru_nivcsw - before.ru_nivcsw})
print("ready", flush=True)
for command in sys.stdin:
    what, count = command.split()
    if what == "spread":
        print(spread(write, int(count)), flush=True)
        continue
    if what == "append":  # with its syncing thread only meanwhile, as the journal has its own
        stop = threading.Event()
        threading.Thread(target=syncing, args=(stop,), daemon=True).start()
        print(spread(append, int(count)), flush=True)
        stop.set()
        continue
    times = []
    for _ in range(int(count)):
        started = time.perf_counter()
        {"write": write, "tick": tick, "both": both, "slowest": both}[what]()
        times.append(time.perf_counter() - started)
    print(max(times) if what == "slowest" else sum(times) / len(times), flush=True)
"""


class Host:
    def __init__(self, workdir):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SAMPLE_HOST)] + IMPORT_PATH))
        self.process = subprocess.Popen([sys.executable, "-c", HOST], cwd=workdir.path, env=env, text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.answer()

    def answer(self):
        return self.process.stdout.readline().strip()

    def ask(self, what, count, read=float):
        self.process.stdin.write("%s %d\n" % (what, count))
        self.process.stdin.flush()
        return read(self.answer())

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=600)


def us(seconds):
    return "%.1f us" % (seconds * 1e6)


def spread_row(label, answer):
    times = sorted(answer["times"])
    at = lambda share: times[min(len(times) - 1, int(share * len(times)))]  # noqa: E731
    return "%-22s %10s %10s %10s %10s %8d %8d" % (label, us(at(0.5)), us(at(0.99)), us(at(0.999)), us(times[-1]),
                                                 answer["voluntary"], answer["involuntary"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--statements", type=int, default=3000)
    parser.add_argument("--freeze", type=float, default=3.0)
    args = parser.parse_args()
    server = MariaDBServer.create()
    scratch = Path(tempfile.mkdtemp(prefix="bench-journal-"))
    try:
        figures = {}
        for road, asynchronous in (("synchronous", 0), ("journal", 1)):
            server.reset()
            server.execute("CREATE TABLE t_rows (n INT)")
            workdir = WorkDir.create(scratch / road)
            workdir.set_ini({"CLOUD": dict(server.ini_values(), upload=1, async_writes=asynchronous,
                                           async_drain_seconds=120)})
            host = Host(workdir)
            count = args.statements if asynchronous else args.statements // 10
            figures[road, "statement"] = statistics.median(host.ask("write", count) for _ in range(3))
            figures[road, "tick"] = statistics.median(host.ask("tick", count) for _ in range(3))
            figures[road, "tick and statement"] = statistics.median(host.ask("both", count) for _ in range(3))
            os.kill(server.pid, signal.SIGSTOP)
            try:
                host.process.stdin.write("slowest %d\n" % (50 if asynchronous else 1))
                host.process.stdin.flush()
                select.select([host.process.stdout], [], [], args.freeze)
                figures[road, "frozen"] = None
            finally:
                os.kill(server.pid, signal.SIGCONT)
            figures[road, "frozen"] = float(host.answer())
            if asynchronous:
                os.kill(server.pid, signal.SIGSTOP)
                try:
                    figures["spread"] = host.ask("spread", args.statements, json.loads)
                    figures["append"] = host.ask("append", args.statements, json.loads)
                finally:
                    os.kill(server.pid, signal.SIGCONT)
            host.close()
        print("%-34s %14s %14s" % ("per operation (wall clock)", "synchronous", "journal"))
        for what in ("statement", "tick", "tick and statement", "frozen"):
            label = "slowest tick, server frozen %gs" % args.freeze if what == "frozen" else what
            print("%-34s %14s %14s" % (label, us(figures["synchronous", what]), us(figures["journal", what])))
        print("journal / synchronous per statement: %.3f" % (figures["journal", "statement"] /
                                                            figures["synchronous", "statement"]))
        print()
        print("%d calls, server frozen (context switches of the calling thread)" % args.statements)
        print("%-22s %10s %10s %10s %10s %8s %8s" % ("", "p50", "p99", "p999", "slowest", "vol.", "invol."))
        print(spread_row("SQL2DB, journal", figures["spread"]))
        print(spread_row("plain append + sync", figures["append"]))
    finally:
        server.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
