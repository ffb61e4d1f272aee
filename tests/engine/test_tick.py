"""push_md2trade: the type gate, statistics and merge, the timed factor refresh, the settings
reload and the order decisions."""
import datetime

import pytest

T0 = datetime.datetime(2026, 3, 2, 9, 30, 0)
INVESTOR, INSTRUMENT = "00001", "rb2501"
ZERO = ("LastPrice", "Volume", "LastPrice_Cur_Up", "LastPrice_Acc_Up", "order_acc_up",
        "LastPrice_Cur_Keep", "LastPrice_Acc_Keep", "order_acc_keep", "LastPrice_Cur_Down",
        "LastPrice_Acc_Down", "order_acc_down", "order_TradeVolume", "BidVolume",
        "order_BidVolume", "AskVolume", "order_AskVolume")
# Conditions are attributes the tests set; prices follow the tick.
STRATEGY = {
    "buy_open_express": "bo", "buy_open_price": "LastPrice + 1", "buy_open_vol": 1,
    "sell_open_express": "so", "sell_open_price": "LastPrice - 1", "sell_open_vol": 2,
    "buy_close_express": "bc", "buy_close_price": "AskPrice1", "buy_close_vol": 3,
    "sell_close_express": "sc", "sell_close_price": "BidPrice1", "sell_close_vol": 4,
}
OPEN_ONLY = {key: value for key, value in STRATEGY.items() if "open" in key}
ALL_FOUR = [("buy_open", "SHFE", 3501, 1), ("sell_open", "SHFE", 3499, 2),
            ("buy_close", "SHFE", 3501, 3), ("sell_close", "SHFE", 3499, 4)]


class Clock(datetime.datetime):
    current = T0

    @classmethod
    def now(cls, tz=None):
        return cls.current


def settings_text(strategy, fresh=1, period=60):
    return "AI_Strategy = %r\nReal_Fresh_Factor = %r\nupdate_factor_period = %r\nInit_Factor_Zero = %r\n" % (
        {INVESTOR: {INSTRUMENT: strategy}}, fresh, period, ZERO)


def md(price=3500, volume=10):
    return {"LastPrice": price, "Volume": volume, "BidPrice1": price - 1, "BidVolume1": 1,
            "AskPrice1": price + 1, "AskVolume1": 1, "UpdateTime": "09:30:01"}


@pytest.fixture
def settings(settings_module):
    settings_module.write(settings_text(STRATEGY), clean=True)
    return settings_module


@pytest.fixture
def engine(brindle, log, settings, monkeypatch):
    monkeypatch.setattr(brindle, "datetime", Clock)
    Clock.current = T0
    engine = brindle.COXAAlgos()
    engine.push_InstrumentAttr(INSTRUMENT, {"ExchangeID": "SHFE", "bo": True, "so": 1, "bc": 1.0, "sc": True})
    engine.refreshes = []
    engine.updateFactor = lambda: engine.refreshes.append(Clock.current)
    log.clear()
    return engine


def test_all_four_decisions_in_order_after_statistics_and_merge(engine, log):
    engine.instrument_position_dict[INSTRUMENT] = [{"PosiDirection": "2"}]
    tick = md()
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, tick) == ALL_FOUR
    attributes = engine.get_InstrumentAttr(INSTRUMENT)
    assert tick["ExchangeID"] == "SHFE" and attributes["UpdateTime"] == "09:30:01"
    assert (attributes["LastPrice_Cur_Up"], attributes["vol_diff"]) == (1, 10)
    assert not log.records


@pytest.mark.parametrize("flag, fires", [(True, True), (1, True), (1.0, True), (False, False), (2, False),
                                         (2**64 + 1, False), ("yes", False), (0.5, False)])
def test_a_condition_fires_when_equal_to_true(engine, flag, fires):
    engine.set_InstrumentAttr(INSTRUMENT, "bo", flag)
    decisions = engine.push_md2trade(INVESTOR, INSTRUMENT, md())
    assert decisions == (ALL_FOUR[:2] if fires else ALL_FOUR[1:2])


def test_a_failing_price_suppresses_only_its_own_decision(engine, log, settings):
    settings.write(settings_text(dict(STRATEGY, buy_open_price="Missing")), reload=False)
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == ALL_FOUR[1:2]
    assert [(r.msg, r.exc_type) for r in log.records] == [("Calc_Express", NameError)]


def test_close_keys_are_read_only_with_a_position(engine, log, settings):
    settings.write(settings_text(OPEN_ONLY), reload=False)
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == ALL_FOUR[:2]
    engine.instrument_position_dict[INSTRUMENT] = []
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == ALL_FOUR[:2]
    assert not log.records
    engine.instrument_position_dict[INSTRUMENT].append({})
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == ALL_FOUR[:2]
    assert [(r.msg, r.exc_type) for r in log.records] == [("push_md2trade", KeyError)]


def test_a_missing_key_returns_the_decisions_so_far(engine, log, settings):
    settings.write(settings_text({k: v for k, v in STRATEGY.items() if k != "sell_open_express"}), reload=False)
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == ALL_FOUR[:1]
    assert [(r.msg, r.exc_info, r.exc_type) for r in log.records] == [("push_md2trade", True, KeyError)]


@pytest.mark.parametrize(
    "elapsed, refreshed",
    [(datetime.timedelta(seconds=61), True), (datetime.timedelta(seconds=60.9), False),
     (datetime.timedelta(seconds=60), False), (datetime.timedelta(days=1, seconds=30), True),
     (datetime.timedelta(seconds=-1), True)],
)
def test_refresh_timing(engine, elapsed, refreshed):
    Clock.current = T0 + elapsed
    engine.push_md2trade(INVESTOR, INSTRUMENT, md())
    assert engine.refreshes == ([Clock.current] if refreshed else [])
    assert engine.update_factor_date == (Clock.current if refreshed else T0)


def test_no_refresh_when_switched_off_and_a_failed_refresh_is_retried(engine, log, settings):
    settings.write(settings_text(STRATEGY, fresh=0))
    Clock.current = T0 + datetime.timedelta(seconds=61)
    engine.push_md2trade(INVESTOR, INSTRUMENT, md())
    assert engine.refreshes == [] and not log.records
    settings.write(settings_text(STRATEGY, fresh=True))

    def failing():
        raise RuntimeError("database gone")

    engine.updateFactor = failing
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == []
    assert engine.update_factor_date == T0
    assert [(r.msg, r.exc_type) for r in log.records] == [("push_md2trade", RuntimeError)]
    engine.updateFactor = lambda: engine.refreshes.append("retried")
    engine.push_md2trade(INVESTOR, INSTRUMENT, md())
    assert engine.refreshes == ["retried"] and engine.update_factor_date == Clock.current


@pytest.mark.parametrize("broken, error", [("update_factor_period = '60'\n", TypeError),
                                           ("del Real_Fresh_Factor\n", AttributeError)])
def test_a_settings_file_that_breaks_the_refresh_check_can_be_mended(engine, log, settings, broken, error):
    settings.write(settings_text(OPEN_ONLY) + broken)
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == []
    # The module is executed even though the check failed; its own error is not the one
    # logged.
    settings.write(settings_text(OPEN_ONLY) + broken + "1 / 0\n", reload=False)
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == []
    settings.write(settings_text(OPEN_ONLY), reload=False)
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == []  # checked before the mended text ran
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md()) == ALL_FOUR[:2]
    assert [(r.msg, r.exc_type, r.exc_value.__context__) for r in log.records] == [("push_md2trade", error, None)] * 3


def test_a_host_clock_is_asked_on_every_tick_even_without_refreshing(brindle, engine, settings, monkeypatch):
    asked = []

    class HostClock:
        @staticmethod
        def now():
            asked.append(1)
            return T0

    monkeypatch.setattr(brindle, "datetime", HostClock)
    settings.write(settings_text(STRATEGY, fresh=0))
    engine.push_md2trade(INVESTOR, INSTRUMENT, md())
    engine.push_md2trade(INVESTOR, INSTRUMENT, md())
    assert asked == [1, 1]


def test_settings_are_reloaded_through_the_module_global_on_every_tick(brindle, engine, settings, monkeypatch):
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md())[0] == ("buy_open", "SHFE", 3501, 1)
    settings.write(settings_text(dict(STRATEGY, buy_open_vol=9)), reload=False)
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, md())[0] == ("buy_open", "SHFE", 3501, 9)
    reloaded = []
    monkeypatch.setattr(brindle, "reload", reloaded.append)
    engine.push_md2trade(INVESTOR, INSTRUMENT, md())
    engine.push_md2trade(INVESTOR, INSTRUMENT, md())
    assert reloaded == [settings.module] * 2


def test_ticks_that_stop_early(engine, log):
    tick = md()
    assert engine.push_md2trade(INVESTOR, INSTRUMENT.encode(), tick) == []
    assert engine.push_md2trade(INVESTOR, INSTRUMENT, list(tick.items())) == []
    assert "ExchangeID" not in tick and not log.records
    assert engine.push_md2trade(INVESTOR, "unknown", tick) == []
    assert [(r.msg, r.exc_type) for r in log.records] == [("push_md2trade", TypeError)]
    log.clear()
    Clock.current = T0 + datetime.timedelta(seconds=61)
    assert engine.push_md2trade("00002", INSTRUMENT, tick) == []
    assert log.pairs() == [("warning", "There is no strategy for(00002.rb2501)")]
    # statistics, merge and the due refresh happened before the lookup
    assert engine.get_InstrumentAttr(INSTRUMENT)["LastPrice"] == 3500 and engine.refreshes
