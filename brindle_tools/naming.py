"""How a tool names itself and the other tools to the operator: by the installed command
(`brindle-sweep`) when it was started as one, else by the checkout's form
(`python3 -m replay.sweep`)."""
import os
import sys

# tool: (installed command, checkout form, what its messages start with in a checkout)
COMMANDS = {
    "replay": ("brindle-replay", "python3 -m replay", "replay"),
    "check": ("brindle-check", "python3 -m replay.check", "replay.check"),
    "db": ("brindle-db", "python3 -m replay.db", "replay.db"),
    "sample": ("brindle-sample", "python3 -m replay.sample", "replay.sample"),
    "resend": ("brindle-resend", "python3 -m replay.resend", "replay.resend"),
    "sweep": ("brindle-sweep", "python3 -m replay.sweep", "sweep"),
}


def installed():
    """Whether this process was started as one of the installed commands."""
    return os.path.basename(sys.argv[0]).startswith("brindle-")


def command(tool):
    """The command line that starts `tool`, as the operator would type it here."""
    return COMMANDS[tool][0 if installed() else 1]


def prefix(tool):
    """What the tool's own messages start with: its command's name (`brindle-db`), or in a
    checkout its short name (`replay.db`)."""
    return COMMANDS[tool][0 if installed() else 2]
