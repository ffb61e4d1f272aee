from ..replay.run import main  # noqa: F401
