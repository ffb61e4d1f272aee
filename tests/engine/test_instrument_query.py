"""ReqQryInstrument: an instrument record answered from t_Instrument on the real database."""
import pytest

FIELDS = (
    "InstrumentID", "ExchangeID", "InstrumentName", "ExchangeInstID", "ProductID", "ProductClass",
    "DeliveryYear", "DeliveryMonth", "MaxMarketOrderVolume", "MinMarketOrderVolume",
    "MaxLimitOrderVolume", "MinLimitOrderVolume", "VolumeMultiple", "PriceTick", "CreateDate",
    "OpenDate", "ExpireDate", "StartDelivDate", "EndDelivDate", "InstLifePhase", "IsTrading",
    "PositionType", "PositionDateType", "LongMarginRatio", "ShortMarginRatio",
    "MaxMarginSideAlgorithm", "UnderlyingInstrID", "StrikePrice", "OptionsType",
    "UnderlyingMultiple", "CombinationType",
)
NUMBERS = {"DeliveryYear", "DeliveryMonth", "MaxMarketOrderVolume", "MinMarketOrderVolume",
           "MaxLimitOrderVolume", "MinLimitOrderVolume", "VolumeMultiple", "IsTrading"}
DECIMALS = {"PriceTick", "LongMarginRatio", "ShortMarginRatio", "StrikePrice", "UnderlyingMultiple"}
CHINESE_ID = "螺纹2501"


def column_type(name):
    return "INT" if name in NUMBERS else "DECIMAL(12,4)" if name in DECIMALS else "VARCHAR(64)"


def row_values(instrument_id, n):
    return [instrument_id] + [n if f in NUMBERS or f in DECIMALS else "%s-%d" % (f, n) for f in FIELDS[1:]]


@pytest.fixture
def db(db_ini):
    columns = ", ".join("%s %s" % (f, column_type(f)) for f in FIELDS)
    # Column 0 is a surrogate key; a column after the 31 fields is ignored.
    db_ini.execute("CREATE TABLE t_Instrument (id INT AUTO_INCREMENT PRIMARY KEY, %s, Remark VARCHAR(8))"
                   % columns)
    insert = "INSERT INTO t_Instrument (%s) VALUES (%s)" % (", ".join(FIELDS), ", ".join(["%s"] * 31))
    for n, instrument_id in enumerate(("rb2501", "hc2501", CHINESE_ID, "a'b\\c"), start=1):
        db_ini.execute(insert, row_values(instrument_id, n))
    return db_ini


@pytest.fixture
def engine(brindle, db, log):
    return brindle.COXAAlgos()


def query(brindle, engine, instrument_id, req_id=0):
    request = brindle.py_ApiStructure.QryInstrumentField(InstrumentID=instrument_id)
    return engine.ReqQryInstrument(request, req_id)


def test_row_becomes_an_instrument_record(brindle, engine, db):
    [stored] = db.execute("SELECT * FROM t_Instrument WHERE InstrumentID = 'hc2501'")
    result = query(brindle, engine, b"hc2501", req_id=99)
    assert type(result) is list and len(result) == 1
    record = result[0]
    assert type(record) is brindle.py_ApiStructure.InstrumentField
    # Columns 1 to 31, values as the driver returns them (Decimal stays Decimal).
    assert record.to_dict() == dict(zip(FIELDS, stored[1:32]))
    assert record.InstrumentID == "hc2501" and record.ExchangeID == "ExchangeID-2"
    assert type(record.PriceTick).__name__ == "Decimal"
    assert query(brindle, engine, b"hc2501", req_id=None) == result


def test_decoding_and_no_match(brindle, engine):
    assert query(brindle, engine, CHINESE_ID.encode("gb18030"))[0].InstrumentID == CHINESE_ID
    assert query(brindle, engine, b"rb\xff2501")[0].InstrumentID == "rb2501"  # invalid byte dropped
    assert query(brindle, engine, b"zz9999") == []


def test_quotes_and_backslashes_stay_inside_the_literal(brindle, engine, log):
    [record] = query(brindle, engine, "a'b\\c".encode())
    assert record.InstrumentID == "a'b\\c"
    # Unescaped, these would match every row or break the statement.
    for hostile in (b"x' OR '1'='1", b"x\\' OR 1=1 -- ", b"\\", b"'", b"\x00\n\r\x1a\""):
        assert query(brindle, engine, hostile) == []
    assert log.at("error") == []


def test_a_server_without_backslash_escapes_gets_quotes_doubled(brindle, engine, db, log):
    [[mode]] = db.execute("SELECT @@GLOBAL.sql_mode")
    db._root_execute(("SET GLOBAL sql_mode = 'NO_BACKSLASH_ESCAPES'", None))
    try:
        assert query(brindle, engine, b"zz9999\\' or 1=1 -- ") == []
        assert [r.InstrumentID for r in query(brindle, engine, "a'b\\c".encode())] == ["a'b\\c"]
    finally:
        db._root_execute(("SET GLOBAL sql_mode = %s", (mode,)))
    assert log.at("error") == []


def test_query_text(brindle, engine):
    queries = []
    engine.ExecuteQuery = lambda sql: queries.append(sql) or ()
    query(brindle, engine, b"rb2501")
    query(brindle, engine, b"it's")
    assert queries == ["select * from t_Instrument t where t.InstrumentID='rb2501' limit 1",
                       "select * from t_Instrument t where t.InstrumentID='it\\'s' limit 1"]


def test_failures(brindle, engine, monkeypatch):
    with pytest.raises(AttributeError, match="'str' object has no attribute 'decode'"):
        query(brindle, engine, "rb2501")
    engine.ExecuteQuery = lambda sql: ((1, "rb2501"),)
    with pytest.raises(IndexError):
        query(brindle, engine, b"rb2501")
    monkeypatch.delattr(brindle, "py_ApiStructure")
    with pytest.raises(NameError, match="py_ApiStructure"):
        engine.ReqQryInstrument(type("Q", (), {"InstrumentID": b"rb2501"})(), 0)
