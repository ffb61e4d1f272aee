"""brindle-ingest: read tick files once, as a replay reads them, into a tick store that replays
and sweeps then read by day and instrument without parsing them again.

    brindle-ingest TICKS... --store DIR [--skip-bad-ticks] [--columns ...] [--host DIR]
    brindle-replay DIR --from 20241101 --to 20241130 --select 'rb*,hc2501'

Exit status: 0 every file stored; 1 some files were refused (each named, with the reason, and
listed in DIR/refusals.csv; the others are stored); 2 nothing could be stored (one message
says why).
"""
import argparse
import sys
import time
from pathlib import Path

from ..common.errors import UsageError, resolved, shown
from ..common.places import SAMPLES
from ..feed.inputs import field_types, read_instruments
from ..feed.store import REFUSALS, ingest
from ..feed.ticks import DAY_OPTION, SKIP_OPTION, price_bands
from ..live.host import Host
from ..replay.options import column_names, trading_day
from ..replay.run import kept_place


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="brindle-ingest", description=__doc__.split("\n\n")[0])
    parser.add_argument("ticks", nargs="+", metavar="TICKS",
                        help="tick files (CSV or Parquet, in any layout the replay reads), directories of them or "
                             "glob patterns")
    parser.add_argument("--store", required=True, type=Path,
                        help="the store's directory (made when new; a day and instrument stored again is replaced)")
    parser.add_argument("--host", type=Path, help="host working directory whose tick record types the values "
                                                  "(default: as brindle-replay's)")
    parser.add_argument("--columns", type=column_names, help="column names of the tick files, as brindle-replay's")
    parser.add_argument("--instrument", help="instrument of tick files without an InstrumentID column")
    parser.add_argument(DAY_OPTION, dest="trading_day", type=trading_day, metavar="YYYYMMDD",
                        help="trading day of tick files without a TradingDay or ActionDay column")
    parser.add_argument(SKIP_OPTION, dest="skip_bad_ticks", action="store_true",
                        help="leave out ticks with impossible values, each listed in %s; default: such a tick "
                             "refuses its file" % REFUSALS)
    parser.add_argument("--price-bands", metavar="FILE", help="daily price bands by product, as brindle-replay's")
    parser.add_argument("--instruments", type=Path, default=SAMPLES / "instruments.csv",
                        help="instrument file, as brindle-replay's: the IDs that file names begin with, and the "
                             "price ticks that impossible quotes are judged in (default: the sample %s)"
                        % shown(SAMPLES / "instruments.csv"))
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_arguments(argv)
    started = time.perf_counter()
    try:
        # Paths as the user wrote them, from here: entering the host changes the working directory.
        ticks = [str(resolved(t, "")) for t in args.ticks]
        store = resolved(args.store, "--store")
        instruments = resolved(args.instruments, "--instruments")
        bands = price_bands(args.price_bands and resolved(args.price_bands, "--price-bands"))
        with kept_place():
            host = Host(args.host)
            host.enter()
            records = host.records()
            catalogue = read_instruments(instruments, records.InstrumentField)
            done = ingest(ticks, store, field_types(records.DepthMarketDataField), args.columns, args.instrument,
                          args.trading_day, args.skip_bad_ticks, bands, catalogue)
    except UsageError as error:
        print("brindle-ingest: %s" % error, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("brindle-ingest: interrupted; the store files written before stay whole", file=sys.stderr)
        return 130
    seconds = time.perf_counter() - started
    print("brindle-ingest: %d tick file%s, %s ticks into %s/: %d store files (%.1f MB/s)" % (
        done.files, "s" * (done.files != 1), "{:,}".format(done.ticks), shown(store), len(done.written),
        done.bytes / 1e6 / max(seconds, 1e-9)))
    if done.refused_ticks:
        print("brindle-ingest: %s impossible ticks left out, listed in %s"
              % ("{:,}".format(done.refused_ticks), shown(store / REFUSALS)))
    for name, why in done.refused_files:
        print("brindle-ingest: refused %s" % why if why.startswith(name) else "brindle-ingest: refused %s: %s"
              % (name, why), file=sys.stderr)
    return 1 if done.refused_files else 0


if __name__ == "__main__":
    sys.exit(main())
