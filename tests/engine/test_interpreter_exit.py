"""The host's interpreter exits while a daemon thread is inside an engine call. The
interpreter ends such a thread as soon as it asks for the interpreter lock again, which
unwinds the engine's frames in the middle of the teardown: the process must still exit 0,
as the same work written in Python does."""
import pytest

from harness.host import SAMPLE_HOST

# The settings module signals the host and then keeps the tick busy for good, so that the
# thread is inside push_md2trade, switching in and out of the interpreter lock, when the
# main thread returns.
SPINNING_SETTINGS = (SAMPLE_HOST / "cfg" / "oxa_can_change_env.py").read_text(encoding="utf-8") + """
import sys as _sys
_host = _sys.modules["__main__"]
if getattr(_host, "inside", None) is not None and _host.busy == "tick":
    _host.inside.set()
    while True:
        pass
"""

HOST = """if True:
    import sys, threading
    import oxa.Brindle, oxa.py_ApiStructure as records
    busy = sys.argv[1]
    inside = threading.Event()
    engine = oxa.Brindle.COXAAlgos()
    engine.push_OnRspQryInstrument("Instrument", records.InstrumentField(
        InstrumentID="rb2501", ExchangeID="SHFE", PriceTick=1.0, VolumeMultiple=10))

    def order(price):
        return records.InputOrderField(InvestorID="00001", InstrumentID="rb2501", ExchangeID="SHFE",
                                       Direction="0", LimitPrice=price, OrderStatus="3", Express="x",
                                       CombOffsetFlag="0", OrderTime="09:00:00", MD_Last_Price=3500.0)

    def tick():
        engine.push_md2trade("00001", "rb2501", {"InstrumentID": "rb2501", "LastPrice": 3500.0, "Volume": 1,
                                                 "BidPrice1": 3499.0, "BidVolume1": 5, "AskPrice1": 3501.0,
                                                 "AskVolume1": 7, "UpdateTime": "09:00:00"})

    def simulate():
        # Each call walks the resting orders and fills (and traces) the new one.
        for _ in range(1000):
            engine.push_ReqOrderInsert("InputOrder", order(3400.0))
        while True:
            engine.push_ReqOrderInsert("InputOrder", order(3700.0))
            engine.SimNow("00001", "rb2501", 3600.0, 1)
            inside.set()

    threading.Thread(target=tick if busy == "tick" else simulate, daemon=True).start()
    if not inside.wait(30):
        sys.exit("the thread never got inside the engine")
"""


@pytest.mark.parametrize("busy", ["tick", "SimNow"])
def test_exit_with_a_thread_inside_the_engine(run_python, busy):
    for _ in range(3):
        files = {"cfg/oxa_can_change_env.py": SPINNING_SETTINGS}
        done = run_python("import sys; sys.argv[1:] = [%r]\n" % busy + HOST, files, timeout=60)
        assert done.returncode == 0, done.stderr[-2000:]
        assert "Traceback" not in done.stderr
