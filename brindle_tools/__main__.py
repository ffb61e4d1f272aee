"""python3 -m brindle_tools COMMAND ...: the brindle-COMMAND command, where .venv/bin is not
on PATH."""
import sys

from .commands import COMMANDS, entry

if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
    sys.exit("usage: python3 -m brindle_tools {%s} ...  (the same as brindle-replay, brindle-sweep, ...)"
             % ",".join(COMMANDS))
sys.argv[0:2] = ["brindle-" + sys.argv[1]]
sys.exit(entry(sys.argv[0][len("brindle-"):])())
