"""SimNow: limit orders filled against a market price, marked traded, traced, and journalled
to T_SimNow_AutoTrade on the real database."""
import pytest

STATEMENT = (
    "\n"
    + " " * 20
    + "INSERT INTO T_SimNow_AutoTrade(InvestorID,InstrumentID,Express,Direction,CombOffsetFlag,"
    "Order_Time,Order_Price,Order_MDPrice,Trade_Price,Trade_Volume)\n"
    + " " * 44
    + "VALUES(%s        ,%s          ,%s     ,%s       ,%s            ,%s        ,%s         ,%s  "
    "         ,%s         ,%s)\n"
    + " " * 20
)

JOURNAL = """
CREATE TABLE T_SimNow_AutoTrade (
    id INT AUTO_INCREMENT PRIMARY KEY,
    InvestorID VARCHAR(16), InstrumentID VARCHAR(32), Express VARCHAR(255), Direction CHAR(1),
    CombOffsetFlag VARCHAR(4), Order_Time VARCHAR(32), Order_Price DOUBLE, Order_MDPrice DOUBLE,
    Trade_Price DOUBLE, Trade_Volume INT)
"""

COLUMNS = ("InvestorID, InstrumentID, Express, Direction, CombOffsetFlag, Order_Time, Order_Price, "
           "Order_MDPrice, Trade_Price, Trade_Volume")


@pytest.fixture
def engine(brindle, workdir, log):
    workdir.set_ini({"CLOUD": {"upload": 1, "debug": 0}})
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 0}}, which="root")
    engine = brindle.COXAAlgos()
    log.clear()
    return engine


@pytest.fixture
def db_engine(db_ini, brindle, workdir, log):
    db_ini.execute(JOURNAL)
    workdir.set_ini({"CLOUD": {"upload": 1, "debug": 0}})
    workdir.set_ini({"PYTHON_SWITCH": {"debug": 1, "detail": 0}}, which="root")
    engine = brindle.COXAAlgos()
    log.clear()
    return engine


def journal(db):
    return db.execute("SELECT %s FROM T_SimNow_AutoTrade ORDER BY id" % COLUMNS)


def request(engine, records, direction, price, status="3", instrument="rb2501", **fields):
    values = dict(InstrumentID=instrument, Direction=direction, LimitPrice=price, OrderStatus=status,
                  Express="x > 1", CombOffsetFlag="0", OrderTime="09:01:02", MD_Last_Price=3499.0)
    values.update(fields)
    engine.push_ReqOrderInsert("InputOrder", records.InputOrderField(**values))


def statuses(engine, instrument="rb2501"):
    return [o["OrderStatus"] for o in engine.instrument_req_order_dict[instrument]]


def test_fills_are_marked_traced_and_journalled(db_engine, db_ini, brindle, workdir):
    records = brindle.py_ApiStructure
    request(db_engine, records, "0", 3500.0, Express="buy me")  # buy at the price: fills
    request(db_engine, records, "0", 3499.0)  # buy below the price: rests
    request(db_engine, records, "1", 3500.0, status="", OrderTime="09:03:04")  # sell at the price: fills
    request(db_engine, records, "1", 3501.0)  # sell above the price: rests
    request(db_engine, records, "2", 3500.0)  # no such direction
    assert db_engine.SimNow("00001", "rb2501", 3500.0, 2) is None
    assert statuses(db_engine) == ["0", "3", "0", "3", "3"]
    assert journal(db_ini) == (
        ("00001", "rb2501", "buy me", "0", "0", "09:01:02", 3500.0, 3499.0, 3500.0, 2),
        ("00001", "rb2501", "x > 1", "1", "0", "09:03:04", 3500.0, 3499.0, 3500.0, 2),
    )
    assert workdir.read_log("py2c_SimNow.log") == (
        "1:rb2501.buyPrice:=3500.0\n1:rb2501.TradePrice:=3500.0\n"
        "1:rb2501.sellPrice:=3500.0\n1:rb2501.TradePrice:=3500.0\n")
    # A fill is permanent: the same price again fills nothing.
    db_engine.SimNow("00001", "rb2501", 3500.0, 1)
    assert len(journal(db_ini)) == 2
    # A price that now reaches the resting orders fills them.
    db_engine.SimNow("00001", "rb2501", 3499.0, 1)
    db_engine.SimNow("00001", "rb2501", 3501.0, 1)
    assert statuses(db_engine) == ["0", "0", "0", "0", "3"]
    assert [row[6:] for row in journal(db_ini)[2:]] == [(3499.0, 3499.0, 3499.0, 1), (3501.0, 3499.0, 3501.0, 1)]


def test_without_upload_nothing_reaches_the_database(db_engine, db_ini, brindle, workdir):
    db_engine.upload = 0
    request(db_engine, brindle.py_ApiStructure, "0", 3500.0)
    db_engine.SimNow("00001", "rb2501", 3400.0, 1)
    assert statuses(db_engine) == ["0"]
    assert workdir.read_log("py2c_SimNow.log") == "1:rb2501.buyPrice:=3500.0\n1:rb2501.TradePrice:=3400.0\n"
    assert journal(db_ini) == ()


def journalled(fake_pymysql):
    return [event[2] for event in fake_pymysql.events if event[0] == "executemany"]


def test_statement_and_row(engine, brindle, fake_pymysql):
    request(engine, brindle.py_ApiStructure, "1", 10, MD_Last_Price=9.5)
    engine.SimNow("inv", "rb2501", 11, 3)
    [(name, sql, data)] = [e for e in fake_pymysql.events if e[0] == "executemany"]
    assert len(sql) == 353 and sql == STATEMENT
    assert data == [("inv", "rb2501", "x > 1", "1", "0", "09:01:02", 10, 9.5, 11, 3)]
    assert type(data) is list and type(data[0]) is tuple


@pytest.mark.parametrize("status, fills", [("0", False), ("5", False), ("3", True), ("a", True), (0, True)])
def test_only_active_orders_fill(engine, brindle, fake_pymysql, status, fills):
    request(engine, brindle.py_ApiStructure, "0", 10, status=status)
    engine.SimNow("inv", "rb2501", 10, 1)
    assert len(journalled(fake_pymysql)) == (1 if fills else 0)
    assert statuses(engine) == ["0" if fills else status]


def test_entry_check(engine, brindle, log):
    request(engine, brindle.py_ApiStructure, "0", 10)
    engine.instrument_req_order_dict = None  # reading it now would be logged as a failure
    for args in (("inv", "rb2501", 10, 0), (None, "rb2501", 10, None), ("inv", None, 10, 1),
                 ("inv", "rb2501", None, 1)):
        assert engine.SimNow(*args) is None
    assert log.records == []
    with pytest.raises(TypeError, match="'<' not supported"):
        engine.SimNow("inv", "rb2501", 10, None)
    engine.instrument_req_order_dict = {}
    assert engine.SimNow("inv", "rb2501", 10, 1) is None  # no orders for the instrument
    assert log.records == []


def test_an_order_missing_a_key_ends_the_call(engine, brindle, log, fake_pymysql):
    records = brindle.py_ApiStructure
    request(engine, records, "0", 10)
    request(engine, records, "0", 10)
    request(engine, records, "0", 10)
    del engine.instrument_req_order_dict["rb2501"][1]["Express"]  # read only for the journal
    engine.SimNow("inv", "rb2501", 10, 1)
    # The first is journalled; the second is marked but not journalled; the third is not examined.
    assert len(journalled(fake_pymysql)) == 1 and statuses(engine) == ["0", "0", "3"]
    [error] = log.records
    assert (error.level, error.msg, error.exc_info, error.exc_type) == ("error", "__cinit__", True, KeyError)


class CountingPrice(float):
    """A price whose comparisons are counted: Python code runs for each one."""
    compared = 0

    def __le__(self, other):
        CountingPrice.compared += 1
        return float(self) <= other

    __ge__ = __le__


def test_settled_requests_are_looked_at_again_once_the_host_changes_them(engine, brindle, fake_pymysql):
    records = brindle.py_ApiStructure
    for price in (10, 20, 30):
        request(engine, records, "0", price)
    engine.SimNow("inv", "rb2501", 5, 1)
    engine.SimNow("inv", "rb2501", 5, 1)  # each is settled now, and known to be
    assert len(journalled(fake_pymysql)) == 3
    orders = engine.get_ReqOrderList("rb2501")
    orders[1]["OrderStatus"] = "3"  # reopened in place
    engine.SimNow("inv", "rb2501", 5, 1)
    assert [row[6] for [row] in journalled(fake_pymysql)] == [10, 20, 30, 20]
    orders.insert(0, dict(orders[2], OrderStatus="3", LimitPrice=40))  # everything moves one place
    orders[2]["LimitPrice"] = 1  # settled, changed where no fill can follow
    orders[3]["OrderStatus"] = "3"
    engine.SimNow("inv", "rb2501", 5, 1)
    assert [row[6] for [row] in journalled(fake_pymysql)][4:] == [40, 30]
    assert statuses(engine) == ["0"] * 4
    # A price that runs Python code when compared is compared with every buy or sell request.
    CountingPrice.compared = 0
    engine.SimNow("inv", "rb2501", CountingPrice(5), 1)
    assert CountingPrice.compared == 4
