"""The command lines: each parses its options, calls the library and prints. Installed as
brindle-replay, brindle-sweep, brindle-ingest, brindle-check, brindle-db, brindle-sample and brindle-resend;
`python3 -m brindle_tools COMMAND ...` runs the same ones."""
import importlib

# command name -> module:function
COMMANDS = {
    "replay": "brindle_tools.commands.replay:main",
    "sweep": "brindle_tools.commands.sweep:main",
    "ingest": "brindle_tools.commands.ingest:main",
    "check": "brindle_tools.live.check:main",
    "db": "brindle_tools.live.db:main",
    "sample": "brindle_tools.feed.sample:main",
    "resend": "brindle_tools.live.resend:main",
}


def entry(name):
    module, function = COMMANDS[name].split(":")
    return getattr(importlib.import_module(module), function)
