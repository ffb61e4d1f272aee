"""The native road's extension, built from oxa/research/: the strategy texts' evaluator and the
tick loop, set up by road.native_module() before a run."""
from typing import Any

from . import road

# The opcodes by name, as compiler.py writes the operations (oxa/research/evaluator.hpp).
opcodes: dict[str, int]

def setup(unsupported: type[Exception], client_fields: dict[str, tuple[str, ...]]) -> None:
    """The road's exception and the client's fields the loop may touch (road.CLIENT_FIELDS)."""

class NeedsPython(Exception):
    """Only Python gives this text's exact value."""

class Program:
    """A strategy text compiled by compiler.py, run natively."""
    def __init__(self, operations: list[tuple[Any, ...]]) -> None: ...
    def evaluate(self, values: list[Any]) -> bool | int | float: ...
    @property
    def slots_needed(self) -> int: ...

class TextColumn:
    """A text column of pyarrow (string or large_string, no nulls), read a row at a time."""
    def __init__(self, array: Any) -> None: ...
    def __call__(self, row: int) -> str: ...

class TickLoop:
    """The quiet ticks of a replay, natively; every other tick through the driver (road.Road)."""
    def __init__(self, driver: road.Road, client: Any, progress: Any, statistic_slots: dict[str, int],
                 name_slots: Any) -> None: ...
    def set_strategy(self, index: int, id: str, opens: list[Any], closes: list[Any], /) -> None: ...
    def run(self, streams: list[Any], /) -> None: ...
    def evaluate_current(self) -> list[tuple[str, Any, Any, Any]]: ...
    def where(self) -> tuple[Any, int, str]:
        """(tick file, line, instrument) of the tick being handled."""

class _Twins:
    """The submodule twins: the native twins alone, for the parity tests (tests/tools/replay/test_twins.py)."""
    @staticmethod
    def traded_since(volume: Any, dropped_from: Any, now: Any) -> tuple[Any, Any, Any]: ...
    @staticmethod
    def mark(account: Any, holding: Any, price: float) -> None: ...
    @staticmethod
    def fold_quote(factor: dict[str, Any], tick: dict[str, Any]) -> bool: ...
    @staticmethod
    def on_grid(price: float, tick: float, buy: bool) -> float | None: ...

twins: _Twins
