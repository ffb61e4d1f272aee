"""`python3 -m replay ...` from a checkout: the replay tools live in `brindle_tools`; this
name only forwards to them (`replay.check`, `replay.db`, `replay.sweep`, ... included)."""
import brindle_tools

__path__ = brindle_tools.__path__
