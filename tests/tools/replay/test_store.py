"""The tick store (brindle-ingest): replays of a store against replays of its tick files, the
choice of days and instruments, damaged store files, the ingest's refusals; and the
per-instrument file and summary of a whole market."""
import csv
import json
import subprocess

import pytest

from brindle_tools.common.errors import UsageError
from brindle_tools.feed import store as tick_store
from brindle_tools.feed.store import StoreSource
from harness import roads
from harness.paths import REPO, SAMPLE_HOST, TOOL_ENV, tool

# What names the ticks read, and how fast: all that may differ between a store and its files.
READ = ("ticks_file", "tick_files", "seconds", "ticks_per_second")


def run(name, *args, cwd):
    return subprocess.run(tool(name) + [str(a) for a in args], cwd=cwd, env=TOOL_ENV, capture_output=True,
                          text=True)


def replay(ticks, out, *options):
    proc = run("replay", ticks, "--host", SAMPLE_HOST, "--fees", REPO / "samples" / "fees.csv", "--out", out,
               "--no-chart", *options, cwd=out.parent)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def outputs(out):
    found = {name: roads.SPEED.sub(b"", (out / name).read_bytes())
             for name in ("decisions.csv", "fills.csv", "engine.log", "instruments.csv")}
    summary = json.loads((out / "summary.json").read_text())
    found["summary"] = {key: value for key, value in summary.items() if key not in READ}
    return found


def rows(path):
    with open(path, newline="") as given:
        return list(csv.DictReader(given))


@pytest.mark.parametrize("split", [False, True], ids=["one file", "a file per instrument"])
def test_a_store_replays_as_its_tick_files_byte_for_byte_on_both_roads(tmp_path, split):
    days = tmp_path / "days.csv"
    run("sample", "--days", 2, days, cwd=tmp_path)
    ticks = [days]
    if split:  # two files whose ticks share their times: the earlier file goes first
        table = rows(days)
        ticks = [tmp_path / ("%s.csv" % i) for i in ("hc2501", "rb2501")]
        for path in ticks:
            with open(path, "w", newline="") as out:
                writer = csv.DictWriter(out, list(table[0]), lineterminator="\n")
                writer.writeheader()
                writer.writerows(r for r in table if r["InstrumentID"] == path.stem)
    proc = run("ingest", *ticks, "--store", tmp_path / "store", cwd=tmp_path)
    assert proc.returncode == 0 and "4 store files" in proc.stdout, proc.stderr
    replay_args = [t.name for t in ticks]
    expected = None
    for source, engine in ((replay_args, "exact"), (["store"], "exact"), (["store"], "native")):
        out = tmp_path / ("%s-%s" % (source[0], engine))
        subprocess.run(tool("replay") + source + ["--host", str(SAMPLE_HOST), "--fees",
                                                  str(REPO / "samples" / "fees.csv"), "--out", str(out),
                                                  "--no-chart", "--engine", engine],
                       cwd=tmp_path, env=TOOL_ENV, check=True, capture_output=True)
        found = outputs(out)
        if expected is None:
            expected = found
            assert found["summary"]["fills"] > 100
        for name, text in expected.items():
            assert found[name] == text, "%s of %s on the %s road differs from the tick files'" % (name, source, engine)
    # instruments.csv adds up to the summary.
    summary, table = expected["summary"], rows(out / "instruments.csv")
    assert sum(int(r["Ticks"]) for r in table) == summary["ticks"]
    assert sum(int(r["Fills"]) for r in table) == summary["fills"]
    assert sum(float(r["Fees"]) for r in table) == pytest.approx(summary["fees_paid"])
    assert sum(float(r["Net"]) for r in table) == pytest.approx(summary["profit"]["net"])


TICKS = "TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n" + "".join(
    "%s,%s,09:00:0%d,100,%d,99,5,101,5\n" % (day, instrument, second, second + 1)
    for day in ("20241107", "20241108", "20241111") for second in range(3) for instrument in ("rb2501", "hc2501",
                                                                                              "rb2505"))


def test_a_store_is_read_by_days_and_instruments_and_refuses_a_damaged_file(tmp_path):
    (tmp_path / "ticks.csv").write_text(TICKS)
    assert run("ingest", "ticks.csv", "--store", "store", cwd=tmp_path).returncode == 0
    store = tmp_path / "store"

    def read(*args):
        return sorted({(day, tick["InstrumentID"]) for _, day, _, _, tick, _ in StoreSource(store, *args)})

    assert read("20241108", None, None, ("rb*",)) == [(d, i) for d in ("20241108", "20241111")
                                                       for i in ("rb2501", "rb2505")]
    assert read(None, "20241107", None, ("hc2501", "rb2505")) == [("20241107", "hc2501"), ("20241107", "rb2505")]
    assert read(None, None, ("20241111",), None) == [("20241111", i) for i in ("hc2501", "rb2501", "rb2505")]
    with pytest.raises(UsageError, match="holds no ticks from 20241112 of ag"):
        StoreSource(store, "20241112", None, None, ("ag*",))
    damaged = store / "20241108" / "hc2501.arrow"
    damaged.write_bytes(damaged.read_bytes()[:-40])
    with pytest.raises(UsageError, match="20241108/hc2501.arrow: a damaged store file"):
        list(StoreSource(store, None, None, None, ("hc*",)))
    with pytest.raises(UsageError, match="20241108/hc2501.arrow: a damaged store file"):
        [list(lane) for lane in StoreSource(store).lanes()]
    # A list of tick files that cannot be read.
    listless = store / "20241107" / "rb2505.arrow"
    tick_store.write_table(listless, tick_store.read_table(listless).replace_schema_metadata({tick_store.META: b"["}))
    with pytest.raises(UsageError, match="20241107/rb2505.arrow: a damaged store file .its list of tick files"):
        list(StoreSource(store, None, "20241107", None, ("rb2505",)))
    # Options of a store given to tick files, and of tick files given to a store, are refused, not ignored.
    proc = run("replay", "ticks.csv", "--from", "20241108", "--no-chart", cwd=tmp_path)
    assert proc.returncode == 2 and "choose the days and instruments of a tick store" in proc.stderr
    proc = run("replay", "store", "--columns", "public", "--no-chart", cwd=tmp_path)
    assert proc.returncode == 2 and "--columns describes tick files, and store is a tick store" in proc.stderr
    (tmp_path / "bands.csv").write_text("ProductID,band\nrb,0.1\n")
    proc = run("replay", "store", "--price-bands", "bands.csv", "--no-chart", cwd=tmp_path)
    assert proc.returncode == 2 and "give it to brindle-ingest" in proc.stderr


def test_the_ingest_stores_good_files_and_lists_what_it_refused(tmp_path):
    (tmp_path / "good.csv").write_text(TICKS)
    crossed = TICKS.splitlines()
    crossed[5] = crossed[5].replace(",99,5,101,5", ",102,5,101,5")
    (tmp_path / "crossed.csv").write_text("\n".join(crossed) + "\n")
    proc = run("ingest", "good.csv", "crossed.csv", "--store", "store", cwd=tmp_path)
    assert proc.returncode == 1 and "refused crossed.csv line 6: column BidPrice1" in proc.stderr, proc.stderr
    assert [r["file"] for r in rows(tmp_path / "store" / "refusals.csv")] == ["crossed.csv"]
    assert sum(1 for _ in StoreSource(tmp_path / "store")) == 27
    proc = run("ingest", "crossed.csv", "--store", "skipped", "--skip-bad-ticks", cwd=tmp_path)
    assert proc.returncode == 0 and "1 impossible ticks left out" in proc.stdout, proc.stderr
    assert [(r["file"], r["line"]) for r in rows(tmp_path / "skipped" / "refusals.csv")] == [("crossed.csv", "6")]
    assert sum(1 for _ in StoreSource(tmp_path / "skipped")) == 26
    # Files named relative to where the command runs, not to the host it reads the record types of.
    (tmp_path / "mine.csv").write_bytes((REPO / "samples" / "instruments.csv").read_bytes())
    proc = run("ingest", "good.csv", "--store", "mine", "--instruments", "mine.csv", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr


def test_a_whole_market_summary_shows_totals_and_the_best_and_worst_instruments(tmp_path):
    from brindle_tools.feed.sample import market_host

    # Files of some 470 ticks each: the native road merges the instruments of the store in one lane.
    host, instruments = market_host(tmp_path, 160)
    run("sample", "--instruments", 160, "--days", 2, tmp_path / "market.csv", cwd=tmp_path)
    proc = run("replay", "market.csv", "--host", host, "--instruments", instruments, "--engine", "native",
               "--no-chart", "--out", "out", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    table = rows(tmp_path / "out" / "instruments.csv")
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert len(table) == 160 and sum(int(r["Ticks"]) for r in table) == summary["ticks"]
    lines = proc.stdout.splitlines()
    assert any(line.startswith("  instruments   160 traded: ") for line in lines) and "  position" not in proc.stdout
    nets = {r["InstrumentID"]: float(r["Net"]) for r in table}
    listed = [line[2:15].split()[-1] for line in lines if line[2:15].split()[-1:] and line[2:15].split()[-1] in nets]
    ranked = sorted(nets, key=lambda i: (-nets[i], i))
    assert listed == ranked[:5] + ranked[::-1][:5]
    assert any(line.startswith("  best  " + ranked[0]) for line in lines)
    assert run("ingest", "market.csv", "--store", "store", "--host", host, "--instruments", instruments,
               cwd=tmp_path).returncode == 0
    proc = run("replay", "store", "--host", host, "--instruments", instruments, "--engine", "native", "--no-chart",
               "--out", "from-store", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert outputs(tmp_path / "from-store") == outputs(tmp_path / "out")


def test_the_instruments_of_a_store_are_merged_in_the_order_of_their_times_ranks_and_lines(tmp_path, monkeypatch):
    # Three days of tick files whose times go back and repeat. A store of a.csv keeps each
    # instrument's ticks in the file's order; one of a.csv and b.csv sorts them by time at ingest
    # and leaves equal times to the files' ranks and lines.
    header = "TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
    instruments = ("rb2501", "hc2501", "ag2502", "cu2501")
    for name, seconds in (("a.csv", [0, 1, 1, 3, 2, 5, 5, 7, 9]), ("b.csv", [1, 1, 4, 0, 6, 8, 8, 9])):
        (tmp_path / name).write_text(header + "".join(
            "%s,%s,09:00:0%d,100,1,99,5,101,5\n" % (day, instrument, second)
            for day in ("20241107", "20241108", "20241111") for second in seconds
            for instrument in instruments[second % 3:]))
    # Files of fewer rows than FEW_ROWS share a lane; windows of at most WINDOW_ROWS rows are cut
    # inside a file and across the days, and streams are read a day ahead.
    monkeypatch.setattr(tick_store, "FEW_ROWS", 20)
    for ticks in (["a.csv"], ["a.csv", "b.csv"]):
        assert run("ingest", *ticks, "--store", "store%d" % len(ticks), cwd=tmp_path).returncode == 0
        place = tmp_path / ("store%d" % len(ticks))
        expected = [(key, tick_file.number, line, day, tick["InstrumentID"])
                    for key, day, tick_file, line, tick, _ in StoreSource(place)]
        for window in (3, 1 << 18):
            monkeypatch.setattr(tick_store, "WINDOW_ROWS", window)
            lanes = StoreSource(place).lanes()
            assert len(lanes) == 1
            assert [(key, tick_file.number, line, day, tick["InstrumentID"]) for batch in lanes[0]
                    for key, day, tick_file, line, tick, _ in batch.ticks()] == expected


def test_a_generated_market_holds_each_instrument_at_the_density_asked(tmp_path):
    from brindle_tools.feed import sample

    sample.write(tmp_path / "market.csv", 7, days=1, instruments=4, per_instrument=3000)
    with open(tmp_path / "market.csv", newline="") as ticks:
        counts = {}
        for row in csv.DictReader(ticks):
            counts[row["InstrumentID"]] = counts.get(row["InstrumentID"], 0) + 1
    # rb2501's activity and hc2501's alternate among the instruments, about the mean asked.
    assert len(counts) == 4 and 2850 < sum(counts.values()) / 4 < 3150, counts
    proc = run("sample", "--days", 1, "--ticks-per-instrument", 10**6, "big.csv", cwd=tmp_path)
    assert proc.returncode == 2 and "--ticks-per-instrument: 1000000 is not from 1 to " in proc.stderr
