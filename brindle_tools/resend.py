"""Send again the statements that the engine's SQL2DB gave up on.

    python3 tools/resend_dead_letters.py FILE [--ini cfg/oxa.ini]

FILE is a dead-letter file the engine wrote (normally log/sql_dead_letters.jsonl in the
client's working directory): one JSON line per statement, {"at": ..., "sql": ..., "rows": ...}.
Each line is sent with one executemany and committed on its own. The database settings come
from section CLOUD of the INI file, with the same keys and the same all-or-nothing fallback as
the engine's connectDB.

What was sent leaves the file; what failed (and any line that cannot be read) stays in it. The
file is taken aside while this runs, so lines the engine appends meanwhile are not lost.
Exit status: 0 when everything was sent, 1 when lines were kept, 2 on a usage error.
"""
import argparse
import configparser
import datetime
import decimal
import json
import os
import sys

import pymysql

FALLBACK = {
    "host": "127.0.0.1",
    "user": "sim_test",
    "password": "MockRun@1999",
    "database": "sim_test",
    "port": 3306,
}


def _without_values(exc):
    """The error as text. An interpolation error quotes the raw value and a parsing error
    the malformed lines, either of which may hold the password: of those only the option
    and section, or the line numbers, are named."""
    if isinstance(exc, configparser.InterpolationError):
        return "%s: bad interpolation in option %r in section %r (the value is not shown)" % (
            type(exc).__name__, exc.option, exc.section)
    if isinstance(exc, configparser.ParsingError):
        lines = [exc.lineno] if hasattr(exc, "lineno") else [lineno for lineno, _ in exc.errors]
        return "%s: %r, line %s (the text is not shown)" % (
            type(exc).__name__, exc.source, ", ".join(str(lineno) for lineno in lines))
    return exc


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
        print("get db config: %s; using the built-in settings" % _without_values(exc), file=sys.stderr)
        settings = dict(FALLBACK)
    settings["charset"] = "utf8"
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
    """(statement, rows) of one line of the file."""
    letter = json.loads(line)
    return decode(letter["sql"]), decode(letter["rows"])


def _close_quietly(connection):
    try:
        connection.close()
    except Exception:
        pass


def resend_lines(lines, settings, sent, report=print):
    """Sends each line, adding the index of every line sent to the set `sent`."""
    connection = None
    try:
        for index, line in enumerate(lines):
            if not line.strip():
                continue
            try:
                sql, rows = read_letter(line)
            except Exception as exc:
                report("line %d kept: cannot be read: %s" % (index + 1, exc))
                continue
            try:
                if connection is None:
                    connection = pymysql.connect(**settings)
            except Exception as exc:
                report("line %d and the rest kept: cannot connect: %s" % (index + 1, exc))
                return
            try:
                with connection.cursor() as cursor:
                    cursor.executemany(sql, rows)
                connection.commit()
                sent.add(index)
            except Exception as exc:
                report("line %d kept: %s" % (index + 1, exc))
                # A fresh connection for the next line: this one may be in any state now.
                _close_quietly(connection)
                connection = None
    finally:
        if connection is not None:
            _close_quietly(connection)


def _read_lines(path):
    with open(path, encoding="utf-8", newline="\n") as file:
        return [line if line.endswith("\n") else line + "\n" for line in file]


def resend_file(path, settings, report=print):
    """Resends the file at path; returns (sent, kept) counts. Whatever happens, every line
    that was not sent is back in the file afterwards."""
    aside = "%s.resending-%d" % (path, os.getpid())
    os.rename(path, aside)
    lines = _read_lines(aside)
    sent = set()
    try:
        resend_lines(lines, settings, sent, report)
    finally:
        kept = [line for index, line in enumerate(lines) if line.strip() and index not in sent]
        # A write of the engine that opened the file just before it was taken aside lands there.
        late = _read_lines(aside)[len(lines):]
        if kept or late:
            with open(path, "a", encoding="utf-8", newline="\n") as file:
                file.writelines(kept + late)
        os.remove(aside)
    return len(sent), len(kept)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Send again the statements SQL2DB gave up on.")
    parser.add_argument("file", help="the dead-letter file, e.g. log/sql_dead_letters.jsonl")
    parser.add_argument("--ini", default="cfg/oxa.ini", help="INI file with the database settings")
    args = parser.parse_args(argv)
    if not os.path.isfile(args.file):
        print("no such file: %s" % args.file, file=sys.stderr)
        return 2
    sent, kept = resend_file(args.file, connection_settings(args.ini))
    print("sent %d, kept %d" % (sent, kept))
    return 1 if kept else 0


if __name__ == "__main__":
    sys.exit(main())
