"""A small trading session for the fault, re-entrancy and memory tests: a host loop that
feeds ticks to one engine, places the engine's decisions as order requests and lets the
engine's simulation fill them, journalling each fill to T_SimNow_AutoTrade."""
import importlib

from .paths import REPO

INVESTOR = "00001"  # the sample host's strategy table has rb2501 and hc2501 for this investor
SCHEMA = REPO / "sql" / "schema.sql"


def schema_statements():
    """The CREATE TABLE statements of the engine's tables."""
    text = "\n".join(line for line in SCHEMA.read_text(encoding="utf-8").splitlines()
                     if not line.lstrip().startswith("--"))
    return [statement.strip() for statement in text.split(";") if statement.strip()]


def create_tables(server):
    for statement in schema_statements():
        server.execute(statement)


def ticks(count, instrument="rb2501", start=3500.0):
    """Runs of six rising and six falling prices, so that the sample strategies open both
    ways and every resting order is reached again within a few ticks."""
    steps = (1,) * 6 + (-1,) * 6
    price, volume = start, 0
    for n in range(count):
        price += steps[n % len(steps)]
        volume += 1 + n % 3
        yield {"InstrumentID": instrument, "LastPrice": price, "Volume": volume,
               "BidPrice1": price - 1, "BidVolume1": 5, "AskPrice1": price + 1, "AskVolume1": 7,
               "UpdateTime": "09:%02d:%02d" % (n // 60 % 60, n % 60)}


def push_parameters(engine, instrument):
    """The sample strategy's parameters, handed over before the first tick as the replay does."""
    settings = importlib.import_module("cfg.oxa_can_change_env")
    engine.push_InstrumentAttr(instrument, dict(settings.Strategy_Parameters))


class Session:
    """One engine driven as a trading client drives it."""

    def __init__(self, brindle, engine, instruments=("rb2501",)):
        self.brindle = brindle
        self.engine = engine
        self.records = importlib.import_module("oxa.py_ApiStructure")
        self.decisions = 0
        for instrument in instruments:
            engine.push_OnRspQryInstrument("Instrument", self.records.InstrumentField(
                InstrumentID=instrument, ExchangeID="SHFE", PriceTick=1.0, VolumeMultiple=10))
            push_parameters(engine, instrument)

    def tick(self, tick):
        """One tick: decide, place the decisions, simulate fills at the tick's price."""
        instrument = tick["InstrumentID"]
        decisions = self.engine.push_md2trade(INVESTOR, instrument, dict(tick))
        for action, exchange, price, volume in decisions:
            self.decisions += 1
            self.engine.push_ReqOrderInsert("InputOrder", self.records.InputOrderField(
                InvestorID=INVESTOR, InstrumentID=instrument, ExchangeID=exchange,
                Direction="0" if action.startswith("buy") else "1", LimitPrice=price, VolumeTotalOriginal=volume,
                OrderStatus="3", Express=action, CombOffsetFlag="0" if action.endswith("open") else "1",
                OrderTime=tick["UpdateTime"], MD_Last_Price=tick["LastPrice"]))
        self.engine.SimNow(INVESTOR, instrument, tick["LastPrice"], 1)
        return decisions

    def run(self, ticks):
        for tick in ticks:
            self.tick(tick)

    def filled(self, instrument="rb2501"):
        """The order requests the simulation has filled."""
        return [order for order in self.engine.get_ReqOrderList(instrument) or () if order["OrderStatus"] == "0"]
