"""The native road: a C++ tick loop and strategy evaluator with the exact replay's outputs."""
from .road import Road, Unsupported, refusal  # noqa: F401
