"""The database that cfg/oxa.ini names: its settings, read strictly (the engine falls back to
built-in test settings where a key is missing; a tool had better say so), and the tables the
engine uses.

    brindle-db create [--host DIR] [--instruments FILE]

creates t_Instrument, t_factor and T_SimNow_AutoTrade where they are missing and, with
--instruments, puts the instruments of an instrument file into t_Instrument (replacing
rows of the same InstrumentID).
"""
import argparse
import configparser
import sys
from contextlib import contextmanager
from pathlib import Path

from ..common.errors import UsageError, config_error_text, shown
from ..common.places import DATA, SAMPLES
from .host import Host
from ..feed.inputs import read_instruments

INI = Path("cfg") / "oxa.ini"
SCHEMA = DATA / "sql" / "schema.sql"
TABLES = ("t_Instrument", "t_factor", "T_SimNow_AutoTrade")
JOURNAL = "T_SimNow_AutoTrade"
KEYS = ("OXA_DB_SERVER", "OXA_DB_PORT", "OXA_DB_USER", "OXA_DB_PWD", "OXA_DB_NAME")


def settings(ini=INI):
    """{host, port, user, password, database} from section CLOUD of the INI file."""
    parser = configparser.ConfigParser()
    try:
        if not parser.read(ini, encoding="utf-8"):
            raise UsageError("%s: no such file; the database settings are in its section [CLOUD]" % shown(ini))
        values = [parser.get("CLOUD", key) for key in KEYS]
        port = int(values[1])
    except configparser.Error as error:
        raise UsageError("%s: %s" % (shown(ini), config_error_text(error).splitlines()[0])) from None
    except ValueError:
        raise UsageError("%s: [CLOUD] OXA_DB_PORT %r is not a port number" % (shown(ini), values[1])) from None
    return {"host": values[0], "port": port, "user": values[2], "password": values[3], "database": values[4]}


def describe(config):
    return "%s@%s:%d/%s" % (config["user"], config["host"], config["port"], config["database"])


@contextmanager
def connect(config):
    """A connection to the configured database; a server error stops the command."""
    import pymysql

    try:
        connection = pymysql.connect(charset="utf8mb4", connect_timeout=10, **config)
    except pymysql.Error as error:
        raise UsageError("cannot connect to the database %s: %s" % (describe(config), error)) from None
    try:
        yield connection
    except pymysql.Error as error:
        raise UsageError("database %s: %s" % (describe(config), error)) from None
    finally:
        connection.close()


def missing_tables(connection):
    with connection.cursor() as cursor:
        cursor.execute("select table_name from information_schema.tables where table_schema = database()")
        present = {name for (name,) in cursor.fetchall()}
    return [t for t in TABLES if t not in present]


def journal_rows(connection):
    with connection.cursor() as cursor:
        cursor.execute("select count(*) from " + JOURNAL)
        return cursor.fetchone()[0]


def schema_statements():
    lines = [line for line in SCHEMA.read_text(encoding="utf-8").splitlines() if not line.lstrip().startswith("--")]
    return [statement.strip() for statement in "\n".join(lines).split(";") if statement.strip()]


def create_tables(connection):
    with connection.cursor() as cursor:
        for statement in schema_statements():
            cursor.execute(statement)
    connection.commit()


def store_instruments(connection, instruments):
    """instruments: {InstrumentID: (line, fields)}; fields in the record's order."""
    with connection.cursor() as cursor:
        for _, fields in instruments.values():
            cursor.execute("delete from t_Instrument where InstrumentID = %s", (fields["InstrumentID"],))
            cursor.execute("insert into t_Instrument (%s) values (%s)" % (
                ",".join(fields), ",".join(["%s"] * len(fields))), tuple(fields.values()))
    connection.commit()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="brindle-db", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    create = commands.add_parser("create", help="create the tables, optionally with instruments")
    create.add_argument("--host", help="host working directory whose cfg/oxa.ini names the database "
                                       "(default: the current directory if it is one, else the sample host)")
    create.add_argument("--instruments", help="instrument file to put into t_Instrument (for example %s)"
                                              % shown(SAMPLES / "instruments.csv"))
    args = parser.parse_args(argv)
    try:
        instruments_file = Path(args.instruments).resolve() if args.instruments else None
        host = Host(args.host)
        host.enter()
        config = settings()
        instruments = None
        if instruments_file:
            instruments = read_instruments(instruments_file, host.records().InstrumentField)
        with connect(config) as connection:
            absent = missing_tables(connection)
            create_tables(connection)
            if instruments:
                store_instruments(connection, instruments)
    except UsageError as error:
        print("%s: %s" % ("brindle-db", error), file=sys.stderr)
        return 2
    print("%s: %s" % (describe(config), "created " + ", ".join(absent) if absent else "all tables present"))
    if instruments:
        print("%s: %d instrument%s stored in t_Instrument" % (
            describe(config), len(instruments), "" if len(instruments) == 1 else "s"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
