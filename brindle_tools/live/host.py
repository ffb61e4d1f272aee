"""The host working directory that the replay and the check run in, set up the way a
trading client sets itself up: its directory is the working directory (the engine reads
cfg/oxa.ini and oxa.ini there) and the first entry of the module search path (for the
cfg package and oxa/py_ApiStructure.py), with the repository after it for the in-place
built oxa/Brindle."""
import contextlib
import ctypes
import importlib
import io
import os
import sys
import tarfile
import threading
import traceback
from pathlib import Path

from ..common.errors import UsageError, shown
from ..common.places import REPO, SAMPLE_HOST

SETTINGS_MODULE = "cfg.oxa_can_change_env"
SETTINGS_FILE = Path("cfg") / "oxa_can_change_env.py"
HAS_DATA_FILTER = hasattr(tarfile, "data_filter")  # since 3.11.4


def unpack_host(archive_bytes, directory):
    """Unpacks a host directory sent as tar bytes into `directory`. Only plain files and
    directories are taken, and none may land outside `directory` (an absolute name, `..`, a
    link): such a member stops the unpacking with tarfile's error, as the "data" filter does on
    the interpreters that have it."""
    directory = Path(directory)
    with tarfile.open(fileobj=io.BytesIO(archive_bytes)) as archive:
        if HAS_DATA_FILTER:
            archive.extractall(directory, filter="data")
            return
        root = directory.resolve()
        members = archive.getmembers()
        for member in members:
            target = (root / member.name).resolve()
            if not (member.isfile() or member.isdir()):
                raise tarfile.TarError("%r is not a plain file or directory" % member.name)
            if target != root and root not in target.parents:
                raise tarfile.TarError("%r would be extracted outside %s" % (member.name, directory))
            member.mode &= 0o755  # no set-user or set-group bits, nothing writable by others
        archive.extractall(directory, members=members)


SETTINGS_SECONDS = 10  # a settings module loads in well under a second; one still running then loops


class TimeLimit(BaseException):
    """Raised in a thread that ran past its time limit (a BaseException, so that the code it
    interrupts does not take it for its own error)."""


@contextlib.contextmanager
def time_limit(seconds):
    """Interrupts the Python code of the block with TimeLimit after `seconds`. Code waiting in
    C (a sleep, a read) is interrupted once it returns to Python."""
    thread, lock = threading.get_ident(), threading.Lock()
    state = {"done": False, "fired": False}

    def interrupt():
        with lock:
            if not state["done"]:
                state["fired"] = True
                ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(thread), ctypes.py_object(TimeLimit))

    timer = threading.Timer(seconds, interrupt)
    timer.daemon = True
    timer.start()
    raised = False
    try:
        yield
    except TimeLimit:
        raised = True
        raise
    finally:
        timer.cancel()
        with lock:
            state["done"] = True
        if state["fired"] and not raised:
            # Sent but perhaps not yet raised: withdrawn, and raised here instead.
            ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(thread), None)
            raise TimeLimit()


class Host:
    def __init__(self, directory=None):
        """directory: the host working directory; by default the current directory when it
        holds a settings module, otherwise the sample host."""
        if directory is None:
            directory = Path.cwd() if (Path.cwd() / SETTINGS_FILE).is_file() else SAMPLE_HOST
        self.directory = Path(directory).resolve()
        self.settings_path = self.directory / SETTINGS_FILE
        if not self.settings_path.is_file():
            raise UsageError("%s is not a host directory: it has no %s" % (shown(self.directory), SETTINGS_FILE))
        self.settings_shown = shown(self.settings_path)

    def enter(self):
        """Make the host directory the working directory and put it first on the module
        search path. Paths the operator gave must be resolved before this."""
        os.chdir(self.directory)
        for entry in (str(REPO), str(self.directory)):
            if entry in sys.path:
                sys.path.remove(entry)
            sys.path.insert(0, entry)

    def load_settings(self):
        """Import the settings module; a module that does not compile, raises (SystemExit
        and KeyboardInterrupt too) or runs longer than SETTINGS_SECONDS stops the command
        with the file and line."""
        try:
            with time_limit(SETTINGS_SECONDS):
                return importlib.import_module(SETTINGS_MODULE)
        except SyntaxError as error:
            if error.filename and Path(error.filename).resolve() == self.settings_path:
                raise UsageError("%s line %s: %s" % (self.settings_shown, error.lineno, error.msg)) from None
            raise UsageError(self._failure(error)) from None
        except TimeLimit as error:
            raise UsageError("%s: did not finish loading within %d seconds (a loop?)"
                             % (self._where(error), SETTINGS_SECONDS)) from None
        except BaseException as error:  # a module that exits is refused like one that raises
            raise UsageError(self._failure(error)) from None

    def _where(self, error):
        """The settings module's line an exception came from, if it did."""
        frames = [f for f in traceback.extract_tb(error.__traceback__)
                  if f.filename and Path(f.filename).resolve() == self.settings_path]
        return "%s line %d" % (self.settings_shown, frames[-1].lineno) if frames else self.settings_shown

    def _failure(self, error):
        return ": ".join([self._where(error), type(error).__name__] + ([str(error)] if str(error) else []))

    def records(self):
        """The host's broker record classes, oxa.py_ApiStructure."""
        try:
            return importlib.import_module("oxa.py_ApiStructure")
        except Exception as error:
            raise UsageError("cannot import the host's record classes oxa.py_ApiStructure from %s: %s: %s"
                             % (shown(self.directory), type(error).__name__, error)) from None

    def engine_module(self):
        """oxa.Brindle, imported as a client imports it (after the settings module, so that a
        broken one has been reported with its line already)."""
        try:
            return importlib.import_module("oxa.Brindle")
        except ModuleNotFoundError as error:
            if error.name in ("oxa", "oxa.Brindle"):
                raise UsageError("the engine module oxa.Brindle is not built: run `make build` in %s"
                                 % shown(REPO)) from None
            raise UsageError("importing oxa.Brindle needs the Python module %s: run `make deps`"
                             % error.name) from None
        except Exception as error:
            raise UsageError("importing oxa.Brindle failed: %s: %s" % (type(error).__name__, error)) from None
