"""A stand-in for the pymysql module, bound as oxa.Brindle.pymysql, to see the calls the
engine makes and to inject failures. The happy path is tested against the real server."""
import types


class FakeDatabaseError(Exception):
    pass


class FakeCursor:
    def __init__(self, db):
        self.db = db

    def execute(self, sql):
        self.db.event("execute", sql)
        self.db.maybe_fail("execute")
        return len(self.db.rows)

    def executemany(self, sql, rows):
        self.db.event("executemany", sql, rows)
        self.db.maybe_fail("executemany")
        return len(rows)

    def fetchall(self):
        self.db.event("fetchall")
        self.db.maybe_fail("fetchall")
        return self.db.rows

    def close(self):
        self.db.event("cursor.close")
        self.db.maybe_fail("cursor.close")


class FakeConnection:
    def __init__(self, db):
        self.db = db

    def cursor(self):
        self.db.event("cursor")
        self.db.maybe_fail("cursor")
        return self.db.cursor_class(self.db)

    def commit(self):
        self.db.event("commit")
        self.db.maybe_fail("commit")

    def close(self):
        self.db.event("close")
        self.db.maybe_fail("close")


class FakePyMySQL(types.ModuleType):
    """connects: the keyword arguments of each Connect call, in the order given.
    events: every call on connections and cursors, in order.
    failures: {operation: number of calls that fail, or None for all}."""

    def __init__(self, rows=((1,),)):
        super().__init__("pymysql")
        self.cursors = types.SimpleNamespace(Cursor=FakeCursor)
        self.cursor_class = FakeCursor
        self.rows = rows
        self.connects = []
        self.events = []
        self.failures = {}

    def Connect(self, *args, **kwargs):
        assert not args, "Connect takes keyword arguments only"
        self.connects.append(list(kwargs.items()))
        self.event("Connect")
        self.maybe_fail("Connect")
        return FakeConnection(self)

    def fail(self, operation, times=None):
        self.failures[operation] = times

    def event(self, name, *args):
        self.events.append((name,) + args if args else name)

    def maybe_fail(self, operation):
        if operation not in self.failures:
            return
        left = self.failures[operation]
        if left is not None:
            if left == 0:
                return
            self.failures[operation] = left - 1
        raise FakeDatabaseError("%s failed" % operation)

    def names(self):
        """The events without their arguments."""
        return [e if isinstance(e, str) else e[0] for e in self.events]
