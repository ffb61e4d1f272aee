"""Send again the statements that the engine's SQL2DB gave up on.

    python3 tools/resend_dead_letters.py FILE [--ini cfg/oxa.ini]

FILE is a dead-letter file the engine wrote (normally log/sql_dead_letters.jsonl in the
client's working directory): one JSON line per statement, {"at": ..., "sql": ..., "rows": ...}.
Each line is sent with one executemany and committed on its own. The database settings come
from section CLOUD of the INI file, with the same keys and the same all-or-nothing fallback as
the engine's connectDB, and the character set utf8mb4.

What was sent leaves the file; what failed, and any line that cannot be read, is put back with
its reason printed. The run may be stopped at any point without a line lost or sent twice:

- One run per file at a time: FILE.lock is held (flock) for the whole run.
- FILE is renamed aside to FILE.resending-TOKEN, so that the engine's new lines go to a fresh
  FILE; an engine that opened FILE just before writes into the aside file, which is read a
  last time once no one else has it open.
- Each line is committed in one transaction with a row (TOKEN, line number) of the table
  t_dead_letters_resent, created on first use: the row exists exactly when the line's
  statement was committed, a commit cut off in the middle included.
- At the end the lines not sent are written to FILE.returning-TOKEN, the aside file is
  removed, and those lines are added to FILE.
- A run first finishes what a stopped run left: it adds returning files to FILE (making sure
  not to add one twice), and takes aside files over, skipping the lines their rows name.
- SIGTERM or SIGINT: the line being sent is finished, the rest put back; a second one stops
  at once (the next run carries on).
- A line the engine's SQL journal gave up names its journal and line number; committing it
  also moves that journal's mark in t_sql_journal_sent past the line, so that the journal
  never sends it again itself.

Exit status: 0 when everything was sent, 1 when lines were kept, 2 on a usage error, 3 when
another run is working on FILE.
"""
import argparse
import collections
import configparser
import datetime
import decimal
import fcntl
import json
import os
import re
import secrets
import signal
import sys
import threading
import time

import pymysql

from ..common.errors import config_error_text


SENT_TABLE = "t_dead_letters_resent"
# The engine's SQL journal's marks: the last line of each journal that is done with.
JOURNAL_TABLE = "t_sql_journal_sent"
_NO_SUCH_TABLE = 1146
WRITER_WAIT = 5.0  # seconds to wait for a writer of an aside file to close it


class NoSuchFile(Exception):
    """Neither the file nor anything a stopped run left beside it exists."""


class Busy(Exception):
    """Another run holds the file's lock."""


class Unavailable(Exception):
    """No connection, or no table to record what was sent."""


class TooLarge(Exception):
    """A statement larger than the server accepts in one packet."""


FALLBACK = {
    "host": "127.0.0.1",
    "user": "sim_test",
    "password": "MockRun@1999",
    "database": "sim_test",
    "port": 3306,
}


def connection_settings(ini_path="cfg/oxa.ini"):
    """Keyword arguments for pymysql.connect, read as the engine's connectDB reads them."""
    try:
        config = configparser.ConfigParser()
        config.read(ini_path, encoding="utf-8")
        config.get("CLOUD", "OXA_DB_TYPE")  # must be present, its value is not used
        settings = {
            "host": config.get("CLOUD", "OXA_DB_SERVER"),
            "user": config.get("CLOUD", "OXA_DB_USER"),
            "password": config.get("CLOUD", "OXA_DB_PWD"),
            "database": config.get("CLOUD", "OXA_DB_NAME"),
            "port": int(config.get("CLOUD", "OXA_DB_PORT")),
        }
    except Exception as exc:
        print("get db config: %s; using the built-in settings" % config_error_text(exc), file=sys.stderr)
        settings = dict(FALLBACK)
    # utf8mb4: characters outside the Basic Multilingual Plane reach the server too.
    settings["charset"] = "utf8mb4"
    return settings


def _timedelta(parts):
    days, seconds, microseconds = parts
    return datetime.timedelta(days=days, seconds=seconds, microseconds=microseconds)


_TAGS = {
    "float": float,
    "decimal": decimal.Decimal,
    "bytes": bytes.fromhex,
    "bytearray": bytearray.fromhex,
    "datetime": datetime.datetime.fromisoformat,
    "date": datetime.date.fromisoformat,
    "time": datetime.time.fromisoformat,
    "timedelta": _timedelta,
    "tuple": lambda items: tuple(decode(item) for item in items),
    "set": lambda items: {decode(item) for item in items},
    "frozenset": lambda items: frozenset(decode(item) for item in items),
    "dict": lambda pairs: {decode(key): decode(value) for key, value in pairs},
}


def decode(value):
    """A value of a dead-letter line as it was before the engine wrote it."""
    if isinstance(value, list):
        return [decode(item) for item in value]
    if isinstance(value, dict):
        if len(value) != 1:
            raise ValueError("not a tagged value: %r" % (value,))
        ((tag, payload),) = value.items()
        if tag not in _TAGS:
            raise ValueError("unknown tag %r" % (tag,))
        return _TAGS[tag](payload)
    return value


def read_letter(line):
    """(statement, rows) of one line of the file, given as bytes or text; ValueError
    saying why when the line cannot be read."""
    return read_letter_of_journal(line)[:2]


def read_letter_of_journal(line):
    """As read_letter, with (journal, line number) third for a line the SQL journal gave up,
    else None."""
    letter = _parse(line)
    journal, number = letter.get("journal"), letter.get("line")
    try:
        sql, rows = decode(letter["sql"]), decode(letter["rows"])
    except (TypeError, ValueError) as exc:
        raise ValueError("a value cannot be decoded: %s" % exc) from None
    return sql, rows, (journal, number) if isinstance(journal, str) and type(number) is int else None


def _parse(line):
    if isinstance(line, bytes):
        try:
            line = line.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise ValueError("not UTF-8: %s" % exc) from None
    try:
        letter = json.loads(line)
    except json.JSONDecodeError as exc:
        raise ValueError("not JSON: %s" % exc) from None
    if not isinstance(letter, dict) or "sql" not in letter or "rows" not in letter:
        raise ValueError("not a dead letter: no \"sql\" and \"rows\"")
    return letter


# --- the database ---------------------------------------------------------------------------


class Sender:
    """One connection, opened when a line needs it and dropped after a failure. A line's
    statement is committed together with its row in SENT_TABLE."""

    def __init__(self, settings):
        self.settings = settings
        self.connection = None
        self.packet_limit = None
        self.table_ready = False
        self.journal_table_ready = False

    def open(self):
        if self.connection is not None:
            return
        try:
            connection = pymysql.connect(**self.settings)
        except Exception as exc:
            raise Unavailable("cannot connect: %s" % exc) from None
        try:
            with connection.cursor() as cursor:
                cursor.execute("SELECT @@max_allowed_packet")
                (self.packet_limit,) = cursor.fetchone()
                if not self.table_ready:
                    self._ensure_table(cursor)
        except BaseException:
            _close_quietly(connection)
            raise
        self.connection = connection

    def _ensure_table(self, cursor):
        try:
            cursor.execute("SELECT 1 FROM %s LIMIT 0" % SENT_TABLE)
        except pymysql.err.ProgrammingError as exc:
            if exc.args[0] != _NO_SUCH_TABLE:
                raise
            try:
                cursor.execute("CREATE TABLE IF NOT EXISTS %s (batch VARCHAR(40) NOT NULL, line INT NOT NULL,"
                               " PRIMARY KEY (batch, line)) ENGINE=InnoDB" % SENT_TABLE)
            except pymysql.MySQLError as exc:
                raise Unavailable("cannot create the table %s that records what was sent: %s"
                                  % (SENT_TABLE, exc)) from None
        self.table_ready = True

    def sent_lines(self, batch):
        """The numbers of the lines of batch committed so far."""
        self.open()
        try:
            with self.connection.cursor() as cursor:
                cursor.execute("SELECT line FROM %s WHERE batch=%%s" % SENT_TABLE, (batch,))
                lines = {line for (line,) in cursor.fetchall()}
            self.connection.commit()
        except BaseException:
            self.close()
            raise
        return lines

    def check_size(self, line, sql, rows):
        """Raises TooLarge for a row whose statement the server would refuse; the server
        would only drop the connection ("server has gone away")."""
        # No statement of a row is more than twice as long as the line that holds it.
        if 2 * len(line) + 1024 < self.packet_limit:
            return
        with self.connection.cursor() as cursor:
            encoding = self.connection.encoding
            size = max((len(cursor.mogrify(sql, row).encode(encoding)) + 1 for row in rows), default=0)
        if size > self.packet_limit:
            raise TooLarge("too large for the server: a statement of %d bytes, its max_allowed_packet is %d"
                           % (size, self.packet_limit))

    def stage(self, batch, number, sql, rows, journal=None):
        """Executes the statement and the line's row, uncommitted; for a line the SQL journal
        gave up, (journal, line number), also moves that journal's mark past it."""
        try:
            with self.connection.cursor() as cursor:
                if journal and not self.journal_table_ready:
                    # As the engine creates it; before the statement, as it commits by itself.
                    cursor.execute("CREATE TABLE IF NOT EXISTS %s (journal CHAR(32) NOT NULL PRIMARY KEY,"
                                   " line BIGINT NOT NULL)" % JOURNAL_TABLE)
                    self.journal_table_ready = True
                # Rows batched into one INSERT stay within a packet too.
                cursor.max_stmt_length = min(cursor.max_stmt_length, self.packet_limit - 1)
                cursor.executemany(sql, rows)
                cursor.execute("INSERT INTO %s(batch,line)VALUES(%%s,%%s)" % SENT_TABLE, (batch, number))
                if journal:
                    cursor.execute("INSERT INTO %s(journal,line)VALUES(%%s,%%s) ON DUPLICATE KEY UPDATE"
                                   " line=GREATEST(line,VALUES(line))" % JOURNAL_TABLE, journal)
        except BaseException:
            self.close()  # the server rolls back what a closed connection had not committed
            raise

    def commit(self):
        try:
            self.connection.commit()
        except BaseException:
            self.close()
            raise

    def forget(self, batch):
        """Removes the rows of a finished batch, if connected; rows left behind name a batch
        that never comes back and do no harm."""
        if self.connection is None:
            return
        try:
            with self.connection.cursor() as cursor:
                cursor.execute("DELETE FROM %s WHERE batch=%%s" % SENT_TABLE, (batch,))
            self.connection.commit()
        except Exception:
            self.close()

    def close(self):
        if self.connection is not None:
            _close_quietly(self.connection)
            self.connection = None


def _close_quietly(connection):
    try:
        connection.close()
    except Exception:
        pass


# --- the files --------------------------------------------------------------------------------


class Files:
    """The dead-letter file and the files a run keeps beside it."""

    def __init__(self, path):
        self.path = path
        directory, base = os.path.split(os.path.abspath(path))
        self.directory = directory
        self._leftover = re.compile(re.escape(base) + r"\.(resending|returning)-([0-9]+(?:-[0-9a-f]+)?)"
                                    r"(\.partial|\.at-[0-9]+)?")

    def aside(self, batch):
        return "%s.resending-%s" % (self.path, batch)

    def returning(self, batch):
        return "%s.returning-%s" % (self.path, batch)

    def leftovers(self):
        """What stopped runs left: the returning files as (batch, path, state), state being
        None, "partial" or the offset recorded in the name, and the batches of the aside
        files, oldest first."""
        returning, asides = [], []
        with os.scandir(self.directory) as entries:
            for entry in entries:
                match = self._leftover.fullmatch(entry.name)
                if not match:
                    continue
                kind, batch, suffix = match.groups()
                if kind == "resending" and suffix is None:
                    asides.append((entry.stat().st_mtime_ns, batch))
                elif kind == "returning":
                    state = suffix and ("partial" if suffix == ".partial" else int(suffix[4:]))
                    returning.append((batch, os.path.join(os.path.dirname(self.path), entry.name), state))
        return returning, [batch for _, batch in sorted(asides)]

    def locked(self):
        return _Lock(self.path + ".lock")


class _Lock:
    """An exclusive flock on a lock file, removed when released."""

    def __init__(self, path):
        self.path = path
        self.fd = None

    def __enter__(self):
        while True:
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                holder = os.read(fd, 32).decode("ascii", "replace").strip()
                os.close(fd)
                raise Busy("another resend of %s is running%s; try again when it is done"
                           % (self.path[:-len(".lock")], " (pid %s)" % holder if holder else "")) from None
            # The run we waited for may have removed the file after we opened it.
            if _same_file_fd(fd, self.path):
                break
            os.close(fd)
        os.ftruncate(fd, 0)
        os.write(fd, b"%d\n" % os.getpid())
        self.fd = fd
        return self

    def __exit__(self, *exc):
        os.unlink(self.path)
        os.close(self.fd)
        return False


def _same_file_fd(fd, path):
    try:
        return os.path.samestat(os.fstat(fd), os.stat(path))
    except FileNotFoundError:
        return False


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _read_lines(path):
    """The lines of the file as bytes, each ending in a line feed: a last line cut off by a
    crash gets one."""
    with open(path, "rb") as file:
        parts = file.read().split(b"\n")
    lines = [part + b"\n" for part in parts[:-1]]
    if parts[-1]:
        lines.append(parts[-1] + b"\n")
    return lines


def _sync_directory(path):
    fd = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _wait_for_writers(path):
    """Waits until nobody else has the file open, for WRITER_WAIT seconds at most: an engine
    that opened the dead-letter file just before it was taken aside writes into the aside
    file. A write lease is granted only while no one else has the file open."""
    fd = os.open(path, os.O_RDONLY)
    try:
        deadline = time.monotonic() + WRITER_WAIT
        while True:
            try:
                fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
            except BlockingIOError:
                if time.monotonic() > deadline:
                    return
                time.sleep(0.01)
                continue
            except OSError:
                return  # no leases here: not the file's owner, or a file system without them
            fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
            return
    finally:
        os.close(fd)


def _write_durably(path, data):
    partial = path + ".partial"
    with open(partial, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())
    os.rename(partial, path)


def _append(path, data):
    """Adds data to the file at path on a line of its own, in one write."""
    fd = os.open(path, os.O_RDWR | os.O_APPEND | os.O_CREAT, 0o666)
    try:
        size = os.fstat(fd).st_size
        if size and os.pread(fd, 1, size - 1) != b"\n":
            data = b"\n" + data
        while data:
            data = data[os.write(fd, data):]
        os.fsync(fd)
    finally:
        os.close(fd)


def _give_back(files, kept_path, appended_at=None):
    """Adds the lines of kept_path to the dead-letter file, then removes kept_path; finishes
    that for a run stopped in the middle without adding the lines twice."""
    if appended_at is None:
        if _same_file(kept_path, files.path):  # linked, then stopped
            os.unlink(kept_path)
            return
        try:
            os.link(kept_path, files.path)  # no dead-letter file: the kept lines become it
        except OSError:
            # Where the file ends now is recorded in the name: the lines are added after it.
            appended_at = os.path.getsize(files.path) if os.path.exists(files.path) else 0
            marked = "%s.at-%d" % (kept_path, appended_at)
            os.rename(kept_path, marked)
            kept_path = marked
        else:
            os.unlink(kept_path)
            return
    with open(kept_path, "rb") as file:
        kept = file.read()
    try:
        with open(files.path, "rb") as file:
            file.seek(appended_at)
            added = kept in file.read()
    except FileNotFoundError:
        added = False
    if not added:
        _append(files.path, kept)
    os.unlink(kept_path)


# --- a run ------------------------------------------------------------------------------------


def _count_letters(path, done=()):
    return sum(1 for number, line in enumerate(_read_lines(path)) if line.strip() and number not in done)


class _Batch:
    """The lines of one aside file: sends them, then puts back what was not sent."""

    def __init__(self, files, batch, sender, stop, report):
        self.files, self.batch, self.sender, self.stop, self.report = files, batch, sender, stop, report
        self.aside = files.aside(batch)
        self.done = set()  # numbers of the lines committed, by this run or a stopped one
        self.sent = 0  # by this run
        self.sent_earlier = 0  # by the stopped run whose aside file this run took over
        self.halted = False  # the rest of the lines are kept: no connection, or asked to stop
        self.committing = None  # the number of the line whose commit is under way

    def run(self, taken_over):
        """(sent, kept). Every line not committed is back in the dead-letter file afterwards,
        unless a commit was cut off and cannot be checked: then the aside file stays for the
        next run, which can."""
        if taken_over:
            try:
                self.done = self.sender.sent_lines(self.batch)
            except Exception as exc:
                self.report("%s stays aside: cannot find out which of its lines a stopped run sent: %s"
                            % (self.aside, exc))
                self.halted = True
                return 0, _count_letters(self.aside)
            self.sent_earlier = len(self.done)
            self.report("%s taken over from a stopped run (%d lines sent already)" % (self.aside, self.sent_earlier))
            if "-" not in self.batch:
                self.report("it was left by an earlier version of this tool, which recorded nothing of what it "
                            "sent: every line of it is sent again")
        try:
            position = 0
            while True:
                lines = _read_lines(self.aside)  # again: the engine may have written into it
                if len(lines) == position:
                    break
                for number in range(position, len(lines)):
                    self._send(number, lines[number])
                position = len(lines)
        except BaseException as exc:
            if self.committing is None:
                self._finish()
                raise
            self.report("%s stays aside: the commit of line %d was cut off (%s); the next run finds out "
                        "whether it happened" % (self.aside, self.committing + 1, str(exc) or type(exc).__name__))
            self.halted = True
            if not isinstance(exc, Exception):
                raise
            return self.sent, _count_letters(self.aside, self.done)
        return self.sent, self._finish()

    def _send(self, number, line):
        if number in self.done or not line.strip() or self.halted:
            return
        if self.stop.is_set():
            self.report("stopping: line %d and the rest put back" % (number + 1))
            self.halted = True
            return
        try:
            sql, rows, journal = read_letter_of_journal(line)
        except ValueError as exc:
            self.report("line %d kept: cannot be read: %s" % (number + 1, exc))
            return
        try:
            self.sender.open()
        except Exception as exc:
            self.report("line %d and the rest kept: %s" % (number + 1, exc))
            self.halted = True
            return
        try:
            self.sender.check_size(line, sql, rows)
            self.sender.stage(self.batch, number, sql, rows, journal)
        except Exception as exc:
            self.report("line %d kept: %s" % (number + 1, exc))
            return
        self.committing = number
        try:
            self.sender.commit()
        except Exception as exc:
            # The server may have committed before its answer was lost: the line's row says.
            if number not in self.sender.sent_lines(self.batch):
                self.committing = None
                self.report("line %d kept: %s" % (number + 1, exc))
                return
        self.committing = None
        self.done.add(number)
        self.sent += 1

    def _finish(self):
        """Puts the lines not committed back into the dead-letter file; their number."""
        _wait_for_writers(self.aside)
        kept = [line for number, line in enumerate(_read_lines(self.aside)) if number not in self.done and line.strip()]
        returning = self.files.returning(self.batch)
        if kept:
            _write_durably(returning, b"".join(kept))
        os.unlink(self.aside)
        _sync_directory(self.aside)
        if self.done:
            self.sender.forget(self.batch)
        if kept:
            _give_back(self.files, returning)
        return len(kept)


def _finish_giving_back(files, returning):
    for batch, kept_path, state in returning:
        if state == "partial":
            os.unlink(kept_path)  # written before its aside file was removed: that one is still there
            continue
        if os.path.exists(files.aside(batch)):
            os.unlink(files.aside(batch))  # the batch was finished but for this removal
        _give_back(files, kept_path, state)


Outcome = collections.namedtuple("Outcome", "sent kept sent_earlier")


def resend_file(path, settings, report=print, stop=None):
    """Resends the dead-letter file at path, after finishing what stopped runs left beside
    it; returns the Outcome: lines this run sent, lines kept, and lines of taken-over files
    that stopped runs had sent already. Raises NoSuchFile, or Busy while another run works on it.
    Setting the event stop ends the run after the line being sent."""
    files = Files(path)
    stop = stop or threading.Event()
    if not os.path.isdir(files.directory):
        raise NoSuchFile(path)
    with files.locked():
        returning, asides = files.leftovers()
        if not (returning or asides or os.path.isfile(path)):
            raise NoSuchFile(path)
        _finish_giving_back(files, returning)
        batches = [(batch, True) for batch in asides] + ([(None, False)] if os.path.isfile(path) else [])
        sender = Sender(settings)
        sent = kept = sent_earlier = 0
        halted = False
        try:
            for batch, taken_over in batches:
                if halted or stop.is_set():
                    kept += _count_letters(files.aside(batch) if batch else path)
                    continue
                if batch is None:
                    batch = "%d-%s" % (os.getpid(), secrets.token_hex(8))
                    os.rename(path, files.aside(batch))
                run = _Batch(files, batch, sender, stop, report)
                batch_sent, batch_kept = run.run(taken_over)
                sent, kept, halted = sent + batch_sent, kept + batch_kept, run.halted
                sent_earlier += run.sent_earlier
        finally:
            sender.close()
    return Outcome(sent, kept, sent_earlier)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="brindle-resend", description="Send again the statements SQL2DB gave up on.")
    parser.add_argument("file", help="the dead-letter file, e.g. log/sql_dead_letters.jsonl")
    parser.add_argument("--ini", default="cfg/oxa.ini", help="INI file with the database settings")
    args = parser.parse_args(argv)
    stop = threading.Event()

    def finish_the_line(signum, frame):
        # The line being sent is finished and the rest put back; a second signal acts at once.
        stop.set()
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)

    previous = {signum: signal.signal(signum, finish_the_line) for signum in (signal.SIGINT, signal.SIGTERM)}
    try:
        outcome = resend_file(args.file, connection_settings(args.ini), stop=stop)
    except NoSuchFile:
        print("no such file: %s" % args.file, file=sys.stderr)
        return 2
    except Busy as exc:
        print(exc, file=sys.stderr)
        return 3
    except OSError as exc:
        # As if stopped there: the next run finishes what this one left.
        print("stopped: %s; run again once that is mended" % exc, file=sys.stderr)
        return 1
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    summary = "sent %d, kept %d" % (outcome.sent, outcome.kept)
    if outcome.sent_earlier:
        summary += " (and %d sent by a stopped run before)" % outcome.sent_earlier
    print(summary)
    return 1 if outcome.kept else 0


if __name__ == "__main__":
    sys.exit(main())
