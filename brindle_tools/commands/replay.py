"""brindle-replay: replay recorded ticks through oxa.Brindle as a trading client would feed
them live, with an exchange that fills its orders, an account that books fees and profit, and
the figures a trader judges a strategy by.

    brindle-replay TICKS... [--instruments FILE | --db] [--fills exchange|engine] [--fees FILE]
                   [--out DIR] [--set NAME=VALUE]... (--help lists them all)

Exit status: 0 done; 1 done, but the database failed during the replay (the summary says
what, and where the rows it refused were kept) or the outputs could not be written (a full
or read-only disk: the printed summary is what is kept); 2 the replay could not run (one
message says why); 3 done, but the strategy failed while running (an expression raised: the
summary's first lines name each failing key and instrument; --allow-strategy-errors accepts
it); 130 interrupted.
"""
import argparse
import sys

from ..common.errors import UsageError
from ..replay import run
from ..replay.options import STRATEGY_FAILED, add_replay_options, complete, replay_options


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="brindle-replay", description=__doc__.split("\n\n")[0])
    parser.add_argument("ticks", nargs="+", metavar="TICKS",
                        help="tick files (CSV or Parquet), directories of them or glob patterns; replayed "
                             "together in time order")
    add_replay_options(parser)
    parser.add_argument("--out", default="replay-out", help="directory for the outputs (default: %(default)s)")
    parser.add_argument("--no-chart", action="store_true", help="draw neither chart.png nor report.html")
    args = parser.parse_args(argv)
    complete(parser, args)
    return args


def main(argv=None):
    args = parse_arguments(argv)
    try:
        summary = run.replay(args.ticks, replay_options(args), out=args.out, chart=not args.no_chart)
    except UsageError as error:
        print("brindle-replay: %s" % error, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("brindle-replay: interrupted; no files written", file=sys.stderr)
        return 130
    print(summary.text())
    if summary.not_written is not None:
        # A full or read-only disk: the summary printed above is what the replay keeps.
        print("brindle-replay: %s; no files written, the summary above is kept" % run.unwritten(args, summary),
              file=sys.stderr)
        return 1
    if summary.chart_failed is not None:
        print("brindle-replay: %s; the other outputs are written" % summary.chart_failed, file=sys.stderr)
        return 1
    if summary.stopped:
        print("brindle-replay: stopped at %s" % summary.stopped, file=sys.stderr)
        return 1
    if summary.interrupted is not None:
        return 130
    if args.db and summary.database_failed:
        return 1
    if summary.strategy_failed:
        print("brindle-replay: %s" % summary.strategy_failed, file=sys.stderr)
        return STRATEGY_FAILED
    return 0


if __name__ == "__main__":
    sys.exit(main())
