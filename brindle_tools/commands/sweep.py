"""brindle-sweep: the replay over a grid of strategy parameters, each point replayed over all
its trading days as one account, on warm workers on this machine's cores or on a Ray cluster;
with --train/--test a walk-forward validation instead.

    brindle-sweep TICKS... --grid open_ticks=2,3,4 --grid close_ticks=1..3
        [--per-day] [--train N --test M] [--sample N [--seed S]] [--rank FIGURE] [--heatmap P1,P2]
        [--out DIR] [--resume] [--workers N | --ray ADDRESS|auto [--ship]] [any replay option]

Exit status: 0 every run ended well; 1 a run failed (or a walk-forward window had no point to
choose); 2 the sweep could not run (one message says why); 130 interrupted.
"""
import argparse
import sys

from ..common.errors import UsageError, short
from ..replay.options import add_arguments, add_replay_options, complete, fields_of, replay_options
from ..research.sweep import SweepOptions, sweep, walk_forward


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="brindle-sweep", description=__doc__.split("\n\n")[0])
    parser.add_argument("ticks", nargs="+", help="tick files, or directories of them")
    add_arguments(parser, SweepOptions)
    parser.add_argument("--out", default="sweep-out", help="output directory (default %(default)s)")
    add_replay_options(parser)
    args = parser.parse_args(argv)
    complete(parser, args)
    try:
        args.settings = SweepOptions(**fields_of(SweepOptions, args)).checked()
    except ValueError as error:
        parser.error(str(error))
    return args


def main(argv=None):
    args = parse_arguments(argv)
    settings = args.settings
    try:
        if settings.train is not None:
            result = walk_forward(args.ticks, settings.grid, settings.train, settings.test, replay_options(args),
                                  settings, out=args.out)
        else:
            result = sweep(args.ticks, settings.grid, replay_options(args), settings, out=args.out)
    except UsageError as error:
        print("brindle-sweep: %s" % error, file=sys.stderr)
        return 2
    except OSError as error:  # the outputs cannot be written: a full or read-only disk
        print("brindle-sweep: %s%s" % (short(error.filename) + ": " if error.filename else "", error.strerror or error),
              file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    print(result.text())
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
