from ..research.sweep import main  # noqa: F401
