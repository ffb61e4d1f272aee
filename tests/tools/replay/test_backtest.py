"""The replay as a backtest: the exchange's fills, fees and figures computed by hand, trading
days and night sessions, real tick file formats, the database dying mid-replay, and the
engine's own fill model giving what it always gave."""
import csv
import hashlib
import io
import json
import math
import os
import subprocess
import sys
import threading
from types import SimpleNamespace

import pyarrow.parquet as pq
import pytest

from harness import roads
from harness.host import edit_ini
from harness.paths import REPO, SAMPLE_HOST, TEST_DATA
from brindle_tools.market import account, broker, exchange
from brindle_tools.replay import client, report
from brindle_tools.common.errors import UsageError
from brindle_tools.feed.inputs import field_types
from brindle_tools.feed.ticks import PUBLIC_LAYOUT, TickSource
from oxa import py_ApiStructure

TYPES = field_types(py_ApiStructure.DepthMarketDataField)
DAY = ["--trading-day", "20241105"]
INSTRUMENTS = (REPO / "samples" / "instruments.csv").read_text(encoding="utf-8")
ZERO = ("LastPrice Volume LastPrice_Cur_Up LastPrice_Acc_Up order_acc_up LastPrice_Cur_Keep LastPrice_Acc_Keep "
        "order_acc_keep LastPrice_Cur_Down LastPrice_Acc_Down order_acc_down order_TradeVolume BidVolume "
        "order_BidVolume AskVolume order_AskVolume vol_diff order_price").split()


def strategy(buy_open, sell_close, sell_close_price="BidPrice1", extra="", buy_volume=5):
    never = {"express": "False", "price": "BidPrice1", "vol": 1}
    table = {"buy_open_express": buy_open, "buy_open_price": "AskPrice1", "buy_open_vol": buy_volume,
             "sell_close_express": sell_close, "sell_close_price": sell_close_price, "sell_close_vol": 5}
    for action in ("sell_open", "buy_close"):
        table.update({"%s_%s" % (action, k): v for k, v in never.items()})
    return "AI_Strategy = %r\nReal_Fresh_Factor = 0\nupdate_factor_period = 60\nInit_Factor_Zero = %r\n%s" % (
        {"00001": {"rb2501": table}}, tuple(ZERO), extra)


def replay(run_python, *args, files, prelude=""):
    """A replay with the exact engine; one without injected faults is run on the native road
    as well, with the same outputs."""

    def code(argv):
        # The small tick files of the tests have no dates: their trading day is named.
        return prelude + "import sys\nfrom brindle_tools.commands.replay import main\nsys.exit(main(%r))" % (list(argv) + DAY,)

    files = {"instruments.csv": INSTRUMENTS, **files}
    proc = run_python(code(args), files=files)
    return proc if prelude else roads.compared(code, args, proc, files)


def rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def order(action, price, volume, ref=1):
    return exchange.Order(ref, action, price, volume, 0.0, {})


def tick(last, bid, bid_volume, ask, ask_volume):
    return {"LastPrice": last, "BidPrice1": bid, "BidVolume1": bid_volume, "AskPrice1": ask, "AskVolume1": ask_volume}


# --- the exchange's fills ------------------------------------------------------------------


@pytest.mark.parametrize("orders, market, traded, expected", [
    # Marketable: at the ask (better than the limit), at most the ask's volume, shared in order.
    ([("buy_open", 102.0, 3), ("buy_open", 101.0, 4)], (100, 99, 5, 101, 5), 0,
     [(1, 3, 101, "ask"), (2, 2, 101, "ask")]),
    # Resting: the market trades through the limit: at the limit, at most the volume traded.
    ([("buy_open", 100.0, 5)], (99, 98, 5, 101, 5), 3, [(1, 3, 100.0, "traded through")]),
    # Trading at the limit is not trading through it: the queue ahead is unknown.
    ([("buy_open", 100.0, 5)], (100, 99, 5, 101, 5), 3, []),
    ([("sell_close", 100.0, 2)], (101, 100, 1, 102, 5), 0, [(1, 1, 100, "bid")]),
    ([("sell_close", 100.0, 2)], (101, 99, 9, 102, 5), 4, [(1, 2, 100.0, "traded through")]),
    # No ask at all (the largest double): no fill at it.
    ([("buy_open", 102.0, 3)], (100, 99, 5, 1.7976931348623157e308, 5), 0, []),
])
def test_exchange_fills_at_the_quote_or_through_the_limit_capped_by_the_tick(orders, market, traded, expected):
    resting = [order(a, p, v, ref=n) for n, (a, p, v) in enumerate(orders, 1)]
    quotes = exchange.Quotes()
    quotes.see(tick(*market), traded)
    fills = exchange.ExchangeFills().match(resting, tick(*market), traded, quotes)
    assert [(o.ref, volume, price, how) for o, volume, price, how in fills] == expected


def test_a_taken_quote_stays_taken_and_a_resting_order_fills_at_its_limit():
    model, quotes = exchange.ExchangeFills(), exchange.Quotes()
    first, second = order("buy_open", 101.0, 3, ref=1), order("buy_open", 101.0, 3, ref=2)

    def match(orders, market, traded=0):
        quotes.see(tick(*market), traded)
        fills = model.match(orders, tick(*market), traded, quotes)
        for o, volume, _, _ in fills:
            o.filled += volume
        return [(o.ref, v, p, how) for o, v, p, how in fills]

    # Marketable on its first tick: takes the one lot offered, at the ask's price.
    assert match([first], (100, 99, 5, 100, 1)) == [(1, 1, 100, "ask")]
    # The same quote with nothing traded in between is the lot already taken.
    assert match([first], (100, 99, 5, 100, 1)) == []
    # A new quote: the resting order is met at its own limit, the new order takes the ask.
    assert match([first, second], (100, 99, 5, 100, 3)) == [(1, 2, 101.0, "resting"), (2, 1, 100, "ask")]
    # Volume traded renews the quote.
    assert match([second], (100, 99, 5, 100, 3), traded=2) == [(2, 2, 101.0, "resting")]


def test_a_taken_quote_is_released_between_orders_on_ticks_without_one(run_python):
    # The first order takes the one lot offered; the quote changes and volume trades while no
    # order rests, so the second order finds the same quote untaken.
    ticks = ("InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
             "rb2501,09:00:00,100,10,99,5,100,1\n"
             "rb2501,09:00:01,100,10,99,5,100,1\n"
             "rb2501,09:00:02,100,15,99,5,100,2\n"
             "rb2501,09:00:03,100,15,99,5,100,1\n"
             "rb2501,09:00:04,100,15,99,5,100,1\n")
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--no-chart", files={
        "ticks.csv": ticks,
        "cfg/oxa_can_change_env.py": strategy("UpdateTime in ('09:00:00', '09:00:03')", "False", buy_volume=1)})
    assert proc.returncode == 0, proc.stderr
    assert [(f["OrderRef"], f["Line"], f["Trade_Price"], f["Volume"], f["Liquidity"])
            for f in rows(proc.where / "replay-out" / "fills.csv")] == [
        ("1", "3", "100.0", "1", "ask"), ("2", "6", "100.0", "1", "ask")]


def test_a_volume_dip_counts_from_the_level_before_it_until_volume_passes_it():
    instrument = client.Instrument(None, SimpleNamespace(id="x", exchange="X"), ("*", 54000, "a test"))
    assert [instrument.traded_since(v) for v in (100, 50, 60, 110, 115)] == [0, None, 0, 10, 5]


@pytest.mark.parametrize("price, grid, buy, expected", [
    (3521.7, 1.0, True, 3521.0), (3521.2, 1.0, False, 3522.0), (3521.0, 1.0, True, 3521.0),
    (2924.6, 0.2, True, 2924.6), (2924.5, 0.2, True, 2924.4), (2924.5, 0.2, False, 2924.6),
    (0.1 + 0.2, 0.1, False, 0.3), (99.3, 0, True, 99.3),
])
def test_limit_prices_go_on_the_grid_never_worse_than_asked(price, grid, buy, expected):
    assert exchange.on_grid(price, grid, buy) == expected


def test_fees_profit_and_figures_by_hand():
    fees = account.Fees({"open": 1.0, "close": 0.5, "close_today": 2.0}, {"open": 0.0, "close": 0.0,
                                                                          "close_today": 0.0001})
    book = account.Account(100_000.0)
    rb = book.add({"InstrumentID": "rb", "ExchangeID": "X", "VolumeMultiple": 10, "PriceTick": 1.0}, fees)
    book.fill(rb, "buy_open", 2, 100.0, 0.0)  # fee 2 x 1.0
    rb.last_price = 95.0
    book.mark(rb)  # open -100: equity -102
    book.fill(rb, "sell_close", 1, 110.0, 60.0)  # today's lot: +100, fee 2.0 + 0.0001 x 1100 = 2.11;
    # the other lot stays valued at 95: -50
    book.close_day("20241107", 10, 2)
    book.new_day()
    book.fill(rb, "sell_close", 1, 90.0, 180.0)  # yesterday's lot: -100, fee 0.5
    book.close_day("20241108", 10, 1)
    assert (book.gross, round(book.fees, 6), round(book.equity, 6)) == (0.0, 4.61, -4.61)
    assert [(d["trading_day"], round(d["net"], 6), round(d["fees"], 6)) for d in book.days] == [
        ("20241107", 45.89, 4.11), ("20241108", -50.5, 0.5)]
    # One round trip, flat to flat: 0 gross - 4.61 fees, held 180 s.
    assert [(trip.profit, trip.seconds) for trip in book.trips] == [(pytest.approx(-4.61), 180.0)]
    assert book.figures() == {"round_trips": 1, "win_rate": 0.0, "profit_factor": 0.0,
                              "average_holding_seconds": 180.0}
    # The equity's peak was 0 at the start; its low -102 after the mark.
    assert (book.drawdown, round(book.drawdown_percent, 6)) == (102.0, 0.102)
    returns = [45.89 / 100_000, -50.5 / 100_000]
    mean = sum(returns) / 2
    deviation = (sum((r - mean) ** 2 for r in returns)) ** 0.5
    assert book.sharpe() == pytest.approx(mean / deviation * 252 ** 0.5)
    single = account.Account(1.0)
    single.close_day("20241107", 1, 0)
    assert single.sharpe() is None


def test_replay_fills_partly_with_fees_and_warm_up(run_python):
    ticks = ("InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
             "rb2501,09:00:00,100,10,99,5,101,5\n"
             "rb2501,09:00:01,101,12,100,5,101,5\n"
             "rb2501,09:00:02,101,15,100,4,101,2\n"
             "rb2501,09:00:03,100,20,99,3,102,4\n"
             "rb2501,09:00:04,100,21,99,3,101,3\n"
             "rb2501,09:00:05,100,23,100,1,101,1\n"
             "rb2501,09:00:06,100,25,99,2,100,2\n"
             "rb2501,09:00:07,101,26,100,6,101,3\n")
    fees = "ProductID,open_per_lot,close_per_lot,close_today_per_lot,close_today_rate\nrb,1,0.5,0,0.0001\n"
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--fees", "fees.csv",
                  "--warm-up", "1", "--no-chart", files={
                      "ticks.csv": ticks, "fees.csv": fees,
                      "cfg/oxa_can_change_env.py": strategy("UpdateTime in ('09:00:00', '09:00:01')",
                                                            "UpdateTime == '09:00:04'", "BidPrice1 + 0.3")})
    assert proc.returncode == 0, proc.stderr
    out = proc.where / "replay-out"
    assert [(d["Line"], d["Action"], d["Price"], d["OrderRef"], d["Note"], d["OrderPrice"], d["FirstTick"])
            for d in rows(out / "decisions.csv")] == [
        ("2", "buy_open", "101.0", "", "warm-up, not sent", "", "1"),
        ("3", "buy_open", "101.0", "1", "", "101.0", "0"),
        # 99.3 is off the grid: a sell's price goes up to it, 100.
        ("6", "sell_close", "99.3", "2", "", "100.0", "0")]
    assert [(f["OrderRef"], f["Line"], f["Trade_Price"], f["Volume"], f["Position"], f["Liquidity"], f["Fee"])
            for f in rows(out / "fills.csv")] == [
        ("1", "4", "101.0", "2", "2", "ask", "2.0"),
        ("1", "5", "101.0", "3", "5", "traded through", "3.0"),
        # At the bid, one lot; the next tick trades at the limit, not through it; then the bid
        # comes to the resting order: four at its limit.
        ("2", "7", "100.0", "1", "4", "bid", "0.1"),
        ("2", "9", "100.0", "4", "0", "resting", "0.4")]
    summary = json.loads((out / "summary.json").read_text())
    assert summary["fill_model"] == "exchange"
    assert summary["profit"] == {"gross": -50.0, "fees": pytest.approx(5.5), "net": pytest.approx(-55.5)}
    assert summary["orders"] == {"placed": 2, "filled": 2, "cancelled": 0, "expired": 0, "open": 0}
    assert (summary["round_trips"], summary["win_rate"], summary["sharpe"]) == (1, 0.0, None)
    assert "profit        gross -50.00 - fees 5.50 = net -55.50" in proc.stdout


def test_a_strategy_without_a_position_guard_is_refused_once_its_funds_are_used(run_python, tmp_path):
    # rb1801 of the broker's own list: 10 per lot, margin ratio 0.11 both sides; a fee of 5 a lot.
    ticks = ("InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
             "rb1801,09:00:00,3900,10,3899,5,3901,5\n"
             "rb1801,09:00:01,3901,12,3900,5,3901,5\n"
             "rb1801,09:00:02,3901,14,3900,5,3901,5\n"
             "rb1801,09:00:03,3950,16,3949,5,3951,5\n")
    proc = replay(run_python, "ticks.csv", "--instruments", "broker.csv", "--fees", "fees.csv", "--capital", "50000",
                  "--no-chart", files={
                      "ticks.csv": ticks, "fees.csv": "ProductID,open_per_lot\nrb,5\n",
                      "broker.csv": (TEST_DATA / "broker-instruments-20171113.csv").read_bytes(),
                      "cfg/oxa_can_change_env.py": strategy("True", "False").replace("rb2501", "rb1801")})
    assert proc.returncode == 0, proc.stderr
    out = proc.where / "replay-out"
    # An order of 5 at 3901 holds 3901 x 10 x 0.11 x 5 = 21,455.50 of margin and 25 of fees:
    # 21,480.50. Two filled at 3901 hold 42,911.00 and paid 50: 50,000 - 50 - 42,911 = 7,039.00
    # is left; at 3950 the open profit adds (3950 - 3901) x 10 x 10 = 4,900, and the third
    # order needs 3951 x 10 x 0.11 x 5 + 25 = 21,755.50.
    assert [(d["Line"], d["OrderRef"], d["Note"]) for d in rows(out / "decisions.csv")] == [
        ("2", "1", ""), ("3", "2", ""),
        ("4", "", "refused by the broker: beyond the funds available: margin and fee 21,480.50, available 7,039.00"),
        ("5", "", "refused by the broker: beyond the funds available: margin and fee 21,755.50, available "
                  "11,939.00")]
    assert len(rows(out / "fills.csv")) == 2
    summary = json.loads((out / "summary.json").read_text())
    # Settled at the day's last price: 10 x 3950 x 10 x 0.11 = 43,450; the highest share of the
    # capital plus the equity was after the second fill, 42,911 / 49,950.
    assert summary["funds"] == {"open_profit_counts": True, "margin_file": None, "margin": pytest.approx(43450.0),
                                "peak_margin": pytest.approx(43450.0),
                                "peak_margin_share": pytest.approx(42911 / 49950),
                                "refused": {"count": 2, "first": "ticks.csv line 4"}}
    assert summary["per_day"][0]["margin"] == pytest.approx(43450.0)
    assert "2 opening decisions refused by the broker: beyond the funds available (first: ticks.csv line 4)" \
        in proc.stdout
    assert "  layout        broker.csv: no header line: read as the broker's instrument list" in proc.stdout
    # Left out of the funds, open profit no longer helps; a margin file sets a product's ratios.
    (tmp_path / "margins.csv").write_text("ProductID,MarginRatio\nrb,0.2\n")
    book = account.Account(50000.0, open_profit_funds=False)
    ratios = account.margin_ratios(account.read_margins(tmp_path / "margins.csv"),
                                   {"InstrumentID": "rb1801", "ProductID": "rb", "LongMarginRatio": 0.11})
    holding = book.add({"InstrumentID": "rb1801", "ExchangeID": "SHFE", "VolumeMultiple": 10}, account.Fees(), ratios)
    book.fill(holding, "sell_open", 2, 4000.0, 0.0)
    holding.last_price = 3000.0
    book.mark(holding)
    assert (book.margin, book.available(), book.open_value) == (16000.0, 34000.0, 20000.0)


def test_a_close_of_today_s_and_yesterday_s_lots_follows_each_exchange_s_close_order(tmp_path):
    # 1 lot of yesterday's, 2 of today's; closing 2: close-today costs 10 a lot, a close 1.
    fees = account.Fees({"open": 0.0, "close": 1.0, "close_today": 10.0})
    (tmp_path / "close.csv").write_text("ExchangeID,close_order\nDCE,today-first\n")
    shipped = {"SHFE": ("named", 11.0), "INE": ("named", 11.0), "CFFEX": ("today-first", 20.0),
               "DCE": ("fifo", 11.0), "CZCE": ("fifo", 11.0), "GFEX": ("fifo", 11.0),
               "other": ("yesterday-first", 11.0)}
    for table, expected in ((None, shipped), (account.close_orders(tmp_path / "close.csv"),
                                              dict(shipped, DCE=("today-first", 20.0)))):
        for exchange, (rule, fee) in expected.items():
            book = account.Account(1e6, close_orders=table)
            held = book.add({"InstrumentID": "x", "ExchangeID": exchange, "VolumeMultiple": 1}, fees)
            book.fill(held, "buy_open", 1, 100.0, 0.0)
            book.new_day()
            book.fill(held, "buy_open", 2, 100.0, 1.0)
            parts = broker.close_parts(SimpleNamespace(holding=held, open_orders=[]), "sell_close", 2)
            paid = sum(book.fill(held, "sell_close", lots, 100.0, 2.0, flag)[1] for flag, lots in parts)
            assert (held.close_order, len(parts), paid) == (rule, 2 if rule == "named" else 1, fee), exchange
    with pytest.raises(UsageError, match="close.csv line 2: close_order 'newest': one of named, today-first"):
        (tmp_path / "close.csv").write_text("ExchangeID,close_order\nDCE,newest\n")
        account.close_orders(tmp_path / "close.csv")


def test_the_chart_keeps_each_minute_extremes_and_breaks():
    book, fees = account.Account(1e6), account.Fees({"open": 0.0, "close": 1.0, "close_today": 10.0})
    held = book.add({"InstrumentID": "x", "ExchangeID": "DCE", "VolumeMultiple": 1}, fees)
    book.fill(held, "buy_open", 1, 100.0, 0.0)
    book.new_day()
    book.fill(held, "buy_open", 1, 100.0, 1.0)
    book.fill(held, "sell_close", 1, 100.0, 2.0)
    book.take_extremes()
    for price in (150.0, 60.0, 110.0):  # one lot held: the equity goes to +49, -41, +9 within a minute
        held.last_price = price
        book.mark(held)
    assert book.take_extremes() == (-41.0, 49.0, 90.0) and book.drawdown == 90.0
    # Hours without ticks break the chart's line.
    xs, ys = report.broken([0, 1, 2], [5.0, 6.0, 7.0], minutes=[600.0, 601.0, 900.0])
    assert (xs[:2], ys[3:]) == ([0, 1], [7.0]) and math.isnan(xs[2]) and math.isnan(ys[2])


def test_replay_sends_the_offsets_a_broker_takes_and_refuses_what_an_exchange_would(run_python):
    ticks = ("TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
             "20241105,rb2501,09:00:00,100,10,99,50,100,50\n"
             "20241105,rb2501,09:00:01,100,12,99,50,100,50\n"
             "20241106,rb2501,09:00:00,101,5,100,50,101,50\n"
             "20241106,rb2501,09:00:01,101,8,100,50,101,50\n"
             # The volume goes down: nothing traded; back above 8, one lot traded.
             "20241106,rb2501,09:00:02,100,3,100,50,101,50\n"
             "20241106,rb2501,09:00:03,100,9,99,50,1.7976931348623157e+308,0\n")
    settings = strategy("UpdateTime in ('09:00:00', '09:00:03')",
                        "UpdateTime == '09:00:01' and TradingDay == '20241106'").replace(
        "'sell_close_vol': 5", "'sell_close_vol': 8")
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--fees", "fees.csv", "--no-chart",
                  files={"ticks.csv": ticks, "cfg/oxa_can_change_env.py": settings,
                         "fees.csv": "ProductID,open_per_lot,close_per_lot,close_today_per_lot\nrb,1,0.5,3\n"})
    assert proc.returncode == 0, proc.stderr
    out = proc.where / "replay-out"
    assert [(f["OrderRef"], f["Line"], f["CombOffsetFlag"], f["Trade_Price"], f["Trade_Volume"], f["Liquidity"],
             f["Fee"]) for f in rows(out / "fills.csv")] == [
        ("1", "3", "0", "100.0", "5", "ask", "5.0"), ("2", "5", "0", "101.0", "5", "ask", "5.0"),
        # Five of yesterday's lots and three of today's: two orders, each with its fee.
        ("3", "6", "4", "100.0", "5", "bid", "2.5"), ("4", "6", "3", "100.0", "3", "bid", "9.0")]
    notes = [(d["Line"], d["OrderRef"], d["Note"]) for d in rows(out / "decisions.csv")]
    assert notes[2:] == [("5", "3 4", "split: 5 close-yesterday, 3 close-today"),
                         ("7", "", "price 1.7976931348623157e+308: not a price an exchange takes, not sent")]
    summary = json.loads((out / "summary.json").read_text())
    assert summary["volume_resets"] == {"count": 1, "first": "ticks.csv line 6"}
    assert summary["decisions_refused"] == {"not a price an exchange takes": {"count": 1, "first": "ticks.csv line 7"}}
    assert (summary["instruments"]["rb2501"]["market_volume"], summary["instruments"]["rb2501"]["filled_volume"]) == (
        6, 18)
    assert "filled 18 of the 6 lots the market traded (300.00%); WARNING: above 5%" in proc.stdout


def thin_day(seed=7):
    """A thin market's trading day in the headerless public layout, with its night session
    across midnight: one- and two-lot quotes, most ticks without a trade."""
    import random

    rng = random.Random(seed)
    lines, bid, volume = [], 3500, 100
    for start, end in ((22 * 3600 + 3590, 24 * 3600 + 10), (9 * 3600, 9 * 3600 + 120)):
        for second in range(start, end):
            traded = rng.choice((0, 0, 0, 1, 2))
            bid += rng.choice((-1, 0, 0, 1)) if traded else 0
            volume += traded
            lines.append("%02d:%02d:%02d.%03d,%d,%d,%d,%d,%d,%d,%d" % (
                second // 3600 % 24, second // 60 % 60, second % 60, rng.choice((0, 500)), bid, rng.choice((1, 2)),
                bid + 1, rng.choice((1, 2)), bid + rng.choice((0, 1)), volume, 5000))
    return "\n".join(lines) + "\n"


def test_a_thin_day_never_fills_more_than_the_quotes_shown_and_the_volume_traded(run_python):
    ticks = thin_day()
    proc = replay(run_python, "rb2501_20241105.csv", "--no-chart", files={
        "rb2501_20241105.csv": ticks,
        "cfg/oxa_can_change_env.py": strategy("True", "True").replace("'sell_close_vol': 5", "'sell_close_vol': 9")})
    assert proc.returncode == 0, proc.stderr
    out = proc.where / "replay-out"
    filled = {}
    for fill in rows(out / "fills.csv"):
        filled[int(fill["Line"])] = filled.get(int(fill["Line"]), 0) + int(fill["Volume"])
    # A quote counts once while it stands unchanged with nothing traded.
    previous = first = None
    offered = 0
    for line, text in enumerate(ticks.splitlines(), 1):
        bid, bid_volume, ask, ask_volume, _, volume, _ = (float(v) for v in text.split(",")[1:])
        traded = volume - previous[4] if previous else 0
        assert filled.get(line, 0) <= bid_volume + ask_volume + traded, line
        offered += traded
        if traded or previous is None or (bid, bid_volume) != previous[:2]:
            offered += bid_volume
        if traded or previous is None or (ask, ask_volume) != previous[2:4]:
            offered += ask_volume
        assert sum(v for at, v in filled.items() if at <= line) <= offered, line
        previous, first = (bid, bid_volume, ask, ask_volume, volume), first or volume
    summary = json.loads((out / "summary.json").read_text())
    assert summary["trading_days"] == ["20241105"] and summary["fills"] > 20
    rb = summary["instruments"]["rb2501"]
    assert (rb["filled_volume"], rb["market_volume"]) == (sum(filled.values()), previous[4] - first)


@pytest.mark.parametrize("fault, status, message", [
    ("report.open = lambda *args, **kwargs: Disk()", 1,
     "brindle-replay: cannot write the outputs in replay-out: No space left on device; no files written, the summary above "
     "is kept"),
    ("run.tempfile.mkdtemp = lambda *args, **kwargs: Disk().write('')", 2,
     "brindle-replay: cannot write in the output directory replay-out: No space left on device"),
])
def test_outputs_on_a_full_disk_get_one_message(run_python, fault, status, message):
    prelude = ("import errno\nfrom brindle_tools.replay import report, run\n\n\nclass Disk:\n"
               "    def write(self, data):\n        raise OSError(errno.ENOSPC, 'No space left on device')\n\n"
               "    def close(self):\n        pass\n\n\n%s\n" % fault)
    proc = replay(run_python, "ticks.csv", "--no-chart", prelude=prelude, files={"ticks.csv": BASE})
    assert (proc.returncode, proc.stderr.strip().splitlines()[-1]) == (status, message), proc.stderr
    assert "Traceback" not in proc.stderr and not (proc.where / "replay-out").exists()
    assert ("profit        gross" in proc.stdout) == (status == 1)


def test_texts_that_raise_are_logged_alike_on_both_roads(run_python):
    # [1][...] is Python's to evaluate on the native road; roads.compared holds the logs equal.
    proc = replay(run_python, "ticks.csv", "--allow-strategy-errors", "--no-chart", files={
        "ticks.csv": BASE, "cfg/oxa_can_change_env.py": strategy("[1][int(LastPrice)]", "False")})
    assert proc.returncode == 0, proc.stderr
    log = (proc.where / "replay-out" / "engine.log").read_text()
    assert log.count('  File "<string>", line 1, in <module>\nIndexError') == 2 and "File \"/" not in log


def test_a_chart_that_fails_fails_the_replay_and_no_earlier_chart_stays(run_python):
    prelude = ("from brindle_tools.replay import report\n\n\ndef chart(*args):\n"
               "    raise OSError(28, 'No space left on device')\n\n\nreport.chart = chart\n")
    proc = replay(run_python, "ticks.csv", prelude=prelude,
                  files={"ticks.csv": BASE, "replay-out/chart.png": "an earlier run's chart"})
    assert (proc.returncode, proc.stderr.strip().splitlines()[-1]) == (
        1, "brindle-replay: no chart.png: OSError: [Errno 28] No space left on device; the other outputs are written")
    assert sorted(p.name for p in (proc.where / "replay-out").iterdir()) == [
        "decisions.csv", "engine.log", "fills.csv", "instruments.csv", "report.html", "summary.json"]


# --- trading days and sessions -------------------------------------------------------------


def test_night_sessions_belong_to_the_next_trading_day_and_the_clock_runs_on(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text(
        "TradingDay,ActionDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
        "20241108,20241108,rb2501,14:59:59,100,1,99,1,101,1\n"
        # Friday's night session trades for Monday; its ActionDay is the trading day here,
        # as some exchanges write it: the rule puts it on Friday evening.
        "20241111,20241111,rb2501,21:00:00,100,2,99,1,101,1\n"
        "20241111,,rb2501,23:59:59.500,100,3,99,1,101,1\n"
        "20241111,,rb2501,00:00:00.500,100,4,99,1,101,1\n"
        "20241111,20241111,rb2501,09:00:00,100,6,99,1,101,1\n")
    ticks = list(TickSource([path], TYPES))
    friday = (20035 * 86400)  # 2024-11-08
    assert [(time - friday, day, t["UpdateTime"], t.get("UpdateMillisec")) for time, day, _, _, t, _ in ticks] == [
        (14 * 3600 + 3599, "20241108", "14:59:59", 0), (21 * 3600, "20241111", "21:00:00", 0),
        (23 * 3600 + 3599.5, "20241111", "23:59:59", 500), (86400 + 0.5, "20241111", "00:00:00", 500),
        (3 * 86400 + 9 * 3600, "20241111", "09:00:00", 0)]


@pytest.mark.parametrize("limit, message", [
    ("max_position.=3", "'max_position.' names no limit"),
    ("max_position=\uff11\uff10", "is no limit of 0 or more"),
    ("max_position.rb2051=1", "--limit max_position.rb2051: rb2051 is neither the investor 00001 nor an instrument of "
                              "instruments.csv"),
])
def test_a_limit_that_would_limit_nothing_is_refused(run_python, limit, message):
    proc = run_python("import sys\nfrom brindle_tools.commands.replay import main\nsys.exit(main(%r))"
                      % ["ticks.csv", "--instruments", "instruments.csv", "--limit", limit],
                      files={"ticks.csv": "TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
                                          "20241107,rb2501,09:00:00,100,1,99,5,101,5\n", "instruments.csv": INSTRUMENTS})
    assert proc.returncode == 2 and message in proc.stderr, proc.stderr


@pytest.mark.parametrize("restart", [[], ["--restart-daily"]])
def test_two_days_across_midnight_cancel_carry_and_close(run_python, restart):
    header = "TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
    ticks = header + (
        "20241107,rb2501,14:58:00,100,10,99,5,101,5\n"
        "20241107,rb2501,14:58:01,101,12,100,5,101,5\n"  # the buy of 14:58:00 fills at 101
        "20241107,rb2501,15:00:00,101,13,100,5,101,5\n"  # after the close: decisions not sent
        "20241107,rb2501,15:00:00,101,13,100,5,101,5\n"  # an exact repeat: skipped
        "20241107,rb2501,14:59:00,101,13,100,5,101,5\n"  # back in time: skipped
        "20241108,rb2501,21:00:00,101,1,100,5,101,5\n"
        "20241108,rb2501,23:59:58,101,2,100,5,101,5\n"  # a far buy rests...
        "20241108,rb2501,00:00:02,101,3,100,5,101,5\n"  # ... and is cancelled 4 s later
        "20241108,rb2501,09:00:00,103,9,102,5,103,5\n")  # yesterday's long is sold at 102
    # A fresh engine each day (restart) is told the position carried: its close still fires.
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--cancel-after", "3", "--no-chart",
                  *restart, files={"ticks.csv": ticks, "cfg/oxa_can_change_env.py": strategy(
                      "UpdateTime in ('14:58:00', '15:00:00', '23:59:58')", "UpdateTime == '09:00:00'",
                      extra="AI_Strategy['00001']['rb2501']['buy_open_price'] = "
                            "'AskPrice1 if UpdateTime < \"16\" else AskPrice1 - 10'\n"
                            "AI_Strategy['00001']['rb2501']['buy_open_vol'] = 1\n")})
    assert proc.returncode == 0, proc.stderr
    out = proc.where / "replay-out"
    notes = [(d["Line"], d["Action"], d["Note"], d["TradingDay"]) for d in rows(out / "decisions.csv")]
    assert notes == [("2", "buy_open", "", "20241107"), ("4", "buy_open", "market closed, not sent", "20241107"),
                     ("8", "buy_open", "", "20241108"), ("10", "sell_close", "volume cut to 1 to close", "20241108")]
    summary = json.loads((out / "summary.json").read_text())
    assert summary["trading_days"] == ["20241107", "20241108"]
    assert (summary["ticks_repeated"], summary["ticks_back_in_time"]) == (
        {"count": 1, "first": "ticks.csv line 5"}, {"count": 1, "first": "ticks.csv line 6"})
    assert summary["orders"] == {"placed": 3, "filled": 1, "cancelled": 1, "expired": 0, "open": 1}
    # Yesterday's long of one lot bought at 101 is still held (its sell rests), valued at 103.
    assert summary["instruments"]["rb2501"]["long"] == {"volume": 1, "average_price": 101.0}
    assert [(d["trading_day"], d["net"]) for d in summary["per_day"]] == [("20241107", 0.0), ("20241108", 20.0)]


def test_the_host_s_limits_and_those_of_the_command_line_withhold_decisions_across_engines(run_python):
    header = "TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
    ticks = header + "".join("20241107,rb2501,14:58:0%d,100,%d,99,5,101,5\n" % (n, 10 + n) for n in range(4)) + (
        "20241108,rb2501,09:00:00,100,1,99,5,101,5\n20241108,rb2501,09:00:01,100,2,99,5,101,5\n")
    ini = edit_ini((SAMPLE_HOST / "cfg" / "oxa.ini").read_text(), {"RISK": {"max_position": 5}})
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--restart-daily", "--no-chart",
                  "--limit", "max_position=6", files={"ticks.csv": ticks, "cfg/oxa.ini": ini,
                                                      "cfg/oxa_can_change_env.py": strategy("True", "False")})
    assert proc.returncode == 0, proc.stderr
    summary = json.loads((proc.where / "replay-out" / "summary.json").read_text())
    # The first buy of 5 fills on the next tick; each buy after it would hold 10 lots.
    assert (summary["risk_limits"], summary["withheld"]) == ({"max_position": 6}, {"max_position": {"rb2501": 5}})
    assert "  withheld      max_position 5 (rb2501 5)\n" in proc.stdout


@pytest.mark.parametrize("restart", [[], ["--restart-daily"]], ids=["one engine", "restarted daily"])
def test_the_day_s_loss_limit_starts_again_on_the_next_trading_day(run_python, restart):
    header = "TradingDay,InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n"
    ticks = header + "".join("%s,rb2501,%s:0%d,100,%d,99,5,101,5\n" % (day, at, n, 10 + n)
                             for day, at in (("20241107", "14:58"), ("20241108", "09:00")) for n in range(4))
    proc = replay(run_python, "ticks.csv", "--instruments", "instruments.csv", "--no-chart",
                  "--limit", "max_daily_loss=50", *restart,
                  files={"ticks.csv": ticks, "cfg/oxa_can_change_env.py": strategy("True", "True")})
    assert proc.returncode == 0, proc.stderr
    # Bought at 101 and sold at 99 on the first day, a loss of 100: the next day opens again.
    opened = [d["TradingDay"] for d in rows(proc.where / "replay-out" / "decisions.csv") if d["Action"] == "buy_open"]
    assert "20241108" in opened, opened



# --- tick file formats ---------------------------------------------------------------------

BASE = ("TradingDay,InstrumentID,UpdateTime,UpdateMillisec,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,"
        "AskVolume1,OpenInterest\n"
        "20241107,rb2501,09:30:49,900,3521,10,3520,3,3522,4,100\n"
        "20241107,rb2501,09:30:50,0,3522,12,3521,1,3522,2,101\n")
PUBLIC = "09:30:49.900,3520,3,3522,4,3521,10,100\n09:30:50,3521,1,3522,2,3522,12,101\n"


def parquet(tmp_path, text=BASE):
    import pyarrow.csv

    table = pyarrow.csv.read_csv(io.BytesIO(text.encode()), convert_options=pyarrow.csv.ConvertOptions(
        column_types={"TradingDay": "string", "UpdateTime": "string"}, null_values=[""]))
    import pyarrow.parquet

    pyarrow.parquet.write_table(table, tmp_path / "rb2501.parquet")
    return tmp_path / "rb2501.parquet"


@pytest.mark.parametrize("name, content, kwargs", [
    ("bom-crlf.csv", b"\xef\xbb\xbf" + BASE.replace("\n", "\r\n").encode(), {}),
    ("gb.csv", BASE.replace("OpenInterest\n", "OpenInterest,Name\n").replace("100\n", "100,螺纹\n")
     .replace("101\n", "101,螺纹\n").encode("gb18030"), {}),
    ("blank-lines.csv", BASE.replace("\n2024", "\n\n2024").encode(), {}),
    ("rb2501_20241107.csv", PUBLIC.encode(), {}),
    ("ticks_20241107.txt", PUBLIC.encode(), {"columns": PUBLIC_LAYOUT, "instrument": "rb2501"}),
    ("rb2501.parquet", BASE, {}),
    # A header in other words: --columns names its columns, for Parquet too.
    ("rb2501_20241107.txt", ("时间,买价,买量,卖价,卖量,最新价,成交量,持仓量\n" + PUBLIC).encode("gb18030"),
     {"columns": PUBLIC_LAYOUT}),
    ("rb2501.parquet", BASE.replace("Price1,", "Px1,"), {"columns": BASE.split("\n")[0].split(",")}),
    # A vendor's usual Chinese headers are the broker's names.
    ("vendor.csv", BASE.replace(BASE.split("\n")[0], "交易日,合约代码,最后修改时间,最后修改毫秒,最新价,数量,申买价一,"
                                "申买量一,申卖价一,申卖量一,持仓量").encode("gb18030"), {}),
])
def test_real_file_formats_give_the_same_ticks(tmp_path, name, content, kwargs):
    (tmp_path / "base.csv").write_text(BASE)
    expected = [(time, day, {k: t[k] for k in ("InstrumentID", "UpdateTime", "UpdateMillisec", "LastPrice", "Volume",
                                               "BidVolume1", "AskPrice1")})
                for time, day, _, _, t, _ in TickSource([tmp_path / "base.csv"], TYPES)]
    path = parquet(tmp_path, content) if name.endswith(".parquet") else tmp_path / name
    if not name.endswith(".parquet"):
        path.write_bytes(content)
    got = [(time, day, {k: t[k] for k in expected[0][2]})
           for time, day, _, _, t, _ in TickSource([path], TYPES, **kwargs)]
    assert got == expected
    assert [type(v) for v in got[0][2].values()] == [str, str, int, float, int, int, float]


@pytest.mark.parametrize("content, kwargs, message", [
    (b"09:30:49,3520,3,3522,4\n", {}, "line 1: no column names: name the 5 columns with --columns"),
    (b"09:30:49,3520,3,3522,4\n", {"columns": ("UpdateTime", "LastPrice")}, "line 1: 5 fields, --columns names 2"),
    (b"\xff\xfeT\x00", {}, "line 1: UTF-16 text: save the file as UTF-8 or GB18030"),
    (BASE.encode() + b"20241107,rb2501,09:30:51,0,35\x80\xff,1,1,1,1,1,1\n", {}, "line 4: neither UTF-8 nor GB18030"),
    (BASE.replace(",3522,12,", ",,12,").encode(), {}, "line 3: column LastPrice: an empty value where a number "
                                                     "belongs"),
    (BASE.replace("20241107,rb2501,09:30:50", "2024-11-07,rb2501,09:30:50").encode(), {},
     "line 3: column TradingDay: '2024-11-07' is not a date YYYYMMDD"),
    (BASE.replace(",3522,12,", ",3522,12.5,").encode(), {}, "line 3: column Volume: 12.5 is not a whole number"),
    (BASE.replace(",3522,12,", ",3522,x,").encode(), {}, "line 3: column Volume: 'x' is not a whole number"),
    (BASE.replace(",UpdateTime,", ",Time,").encode(), {}, "line 1: missing column UpdateTime in the header line "
                                                         "TradingDay,InstrumentID,Time,"),
    ("时间,最新价\n09:30:49,3521\n".encode("gb18030"), {}, "line 1: missing columns UpdateTime, Volume, "
     "BidPrice1, BidVolume1, AskPrice1, AskVolume1 in the header line 时间,最新价: name its columns with --columns"),
    (b"\xef\xbb\xbf", {}, ": no ticks, only a byte-order mark"),
    (BASE.split("\n")[0].encode() + b"\n\n", {}, ": no ticks, only a line of column names"),
    (PUBLIC.encode(), {}, ": no TradingDay column and no date YYYYMMDD in the file name: name the trading day with "
                         "--trading-day YYYYMMDD, or rename the file"),
    (BASE.replace(",3522,12,", ",3522,99999999999999999999,").encode(), {},
     "line 3: column Volume: about 1e+20 is beyond the 64 bits of a whole number"),
    (BASE.replace(",3522,12,", ",3522,1152921504606846977,").encode(), {},
     "line 3: column Volume: about 1.152921504606847e+18 is 2**53 or more, where a whole number read from a tick file "
     "loses its last digits; correct the line, or skip such ticks with --skip-bad-ticks"),
    # Impossible prices and volumes; the feed's marker of an absent quote is no such price.
    (BASE.replace(",3522,2,", ",inf,2,").encode(), {}, "line 3: column AskPrice1: inf is not finite; correct the "
                                                      "line, or skip such ticks with --skip-bad-ticks"),
    # Quotes no exchange would show: beyond the product's daily band (rb: 10%), a bid 30% above
    # the last price, a crossed book, a bid outside the day's limits the tick gives.
    (BASE.replace(",3521,1,", ",1e300,1,").encode(), {}, "line 3: column BidPrice1: 1e+300 is further from the last "
                                                        "price than its product's daily price band allows"),
    (BASE.replace(",3521,1,", ",4578.6,1,").encode(), {}, "line 3: column BidPrice1: 4578.6 is further from the "
                                                         "last price than its product's daily price band allows"),
    (BASE.replace(",3521,1,", ",3523,1,").encode(), {}, "line 3: column BidPrice1: 3523.0 is at or above AskPrice1 "
                                                       "(a crossed or locked book)"),
    (BASE.replace("OpenInterest\n", "OpenInterest,UpperLimitPrice,LowerLimitPrice\n")
     .replace(",100\n", ",100,3600,3400\n").replace(",101\n", ",101,3600,3400\n").replace(",3522,2,", ",3650,2,")
     .encode(), {},
     "line 3: column AskPrice1: 3650.0 is outside the day's limits LowerLimitPrice..UpperLimitPrice"),
    (BASE.replace(",3521,1,", ",3521,-1,").encode(), {}, "line 3: column BidVolume1: -1.0 is negative"),
    (BASE.replace(",3522,12,", ",3.522e+300,12,").encode(), {}, "line 3: column LastPrice: 3.522e+300 is further "
                                                               "than half the best bid and ask from them"),
    (BASE.replace(",3522,12,", ",1.7976931348623157e+308,12,").encode(), {},
     "line 3: column LastPrice: 1.7976931348623157e+308 is not a last price (absent or 0)"),
    (BASE.replace(",3522,2,", ",3522,1.7976931348623157e+308,").encode(), {},
     "line 3: column AskVolume1: 1.7976931348623157e+308 is beyond the 64 bits of a whole number"),
])
def test_bad_tick_files_are_refused_with_file_line_and_fix(tmp_path, content, kwargs, message):
    path = tmp_path / "rb2501_bad.csv"
    path.write_bytes(content)
    with pytest.raises(UsageError) as refused:
        list(TickSource([path], TYPES, **kwargs))
    where = "rb2501_bad.csv" + ("" if message.startswith(":") else " ")
    assert where + message in str(refused.value), str(refused.value)


def test_a_header_line_longer_than_the_first_read_is_read_whole(tmp_path):
    path = tmp_path / "rb2501_wide.csv"
    path.write_text("%s\n%s\n" % (",".join("c%d" % i for i in range(10 ** 5)), ",".join(["1"] * 10 ** 5)))
    with pytest.raises(UsageError) as refused:
        TickSource([path], TYPES)
    assert "rb2501_wide.csv line 1: missing columns UpdateTime, " in str(refused.value)
    assert str(refused.value).endswith(",c7... (688889 characters): name its columns with --columns NAME,NAME,... "
                                       "(the broker's field names, in the file's order)")


def test_parquet_refusals_show_the_columns_found(tmp_path):
    with pytest.raises(UsageError, match=r"rb2501.parquet: no ticks: the columns TradingDay,.* hold no row"):
        TickSource([parquet(tmp_path, BASE.split("\n")[0] + "\n")], TYPES)
    path = parquet(tmp_path, BASE.replace("AskVolume1", "AskVol1").replace("Volume,", "Vol,"))
    with pytest.raises(UsageError, match=r"rb2501.parquet: missing columns Volume, AskVolume1 in the columns "
                                         r"TradingDay,InstrumentID,UpdateTime,UpdateMillisec,LastPrice,Vol,.*,AskVol1,"):
        TickSource([path], TYPES)
    with pytest.raises(UsageError, match="11 columns .*, --columns names 2: name every column"):
        TickSource([path], TYPES, columns=("UpdateTime", "LastPrice"))


@pytest.mark.parametrize("out, message", [
    ("decisions.csv", "--out decisions.csv is the input decisions.csv: the outputs need a directory of their own"),
    (".", "--out . holds the input decisions.csv: "),
    ("mine", "--out mine holds notes.txt, which no brindle command wrote: name a new or empty directory"),
    ("instruments.csv/x", "cannot create the output directory instruments.csv/x: Not a directory"),
    ("loop/x", "--out loop/x: symbolic links in a loop"),
    ("x/" * 2100, ": File name too long"),
])
def test_an_out_that_would_overwrite_files_or_cannot_be_made_is_refused_in_one_line(run_python, out, message):
    proc = replay(run_python, "decisions.csv", "--out", out, files={"decisions.csv": BASE, "mine/notes.txt": "mine"},
                  prelude="import os\nos.symlink('loop', 'loop')\n")
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1 and message in proc.stderr, proc.stderr
    assert (proc.where / "decisions.csv").read_text() == BASE and (proc.where / "mine" / "notes.txt").exists()


def test_bad_ticks_are_skipped_and_counted_alike_in_csv_and_parquet(tmp_path):
    no_ask = "20241107,rb2501,09:30:51,0,3522,13,3521,1,1.7976931348623157e+308,0,1\n"
    # Every value the reader refuses is skipped: empty, not a whole number, beyond 64 bits.
    more = ["20241107,rb2501,09:30:52,0,,14,3521,1,3522,1,1\n",
            "20241107,rb2501,09:30:53,0,3522,14.5,3521,1,3522,1,1\n",
            "20241107,rb2501,09:30:54,0,3522,15,3521,1,3522,1.7976931348623157e+308,1\n"]
    text = BASE.replace(",3522,12,", ",nan,12,") + no_ask + "".join(more)
    (tmp_path / "rb2501.csv").write_text(text)
    for path, unit in ((tmp_path / "rb2501.csv", "line"), (parquet(tmp_path, text), "row")):
        source = TickSource([path], TYPES, skip_bad=True)
        first = 2 if unit == "line" else 1
        assert [line for _, _, _, line, _, _ in source] == [first, first + 2]
        assert source.bad == {reason: [1, "%s %s %d" % (path, unit, first + at)] for reason, at in (
            ("LastPrice not finite", 1), ("LastPrice empty", 3), ("Volume not a whole number", 4),
            ("AskVolume1 beyond the 64 bits of a whole number", 5))}


def test_a_damaged_parquet_page_is_refused_with_its_rows(tmp_path):
    path = parquet(tmp_path)
    data = bytearray(path.read_bytes())
    column = pq.ParquetFile(path).metadata.row_group(0).column(4)
    data[column.data_page_offset:column.data_page_offset + 16] = b"\xff" * 16
    path.write_bytes(data)
    with pytest.raises(UsageError, match="rb2501.parquet row 1: a damaged Parquet page, in the 65,536 rows from here"):
        list(TickSource([path], TYPES))


@pytest.mark.parametrize("content, first_line", [(BASE, 2), (PUBLIC, 1)])
def test_ticks_are_read_from_a_pipe_under_its_own_name(tmp_path, content, first_line):
    # The public layout has no InstrumentID or TradingDay: the pipe's name gives them.
    pipe = tmp_path / "rb2501_20241107.csv"
    os.mkfifo(pipe)
    writer = threading.Thread(target=pipe.write_text, args=(content,))
    writer.start()
    ticks = list(TickSource([pipe], TYPES))
    writer.join()
    assert [(day, line, tick["InstrumentID"], tick["Volume"]) for _, day, _, line, tick, _ in ticks] == [
        ("20241107", first_line, "rb2501", 10), ("20241107", first_line + 1, "rb2501", 12)]


# --- the engine's fill model, as it always was --------------------------------------------


def test_sample_replay_with_the_engine_fills_is_unchanged(tmp_path):
    ticks = tmp_path / "ticks.csv"
    subprocess.run([sys.executable, "-m", "brindle_tools", "sample", str(ticks)], cwd=REPO, check=True, capture_output=True)
    proc = subprocess.run([sys.executable, "-m", "brindle_tools", "replay", str(ticks), "--host", str(SAMPLE_HOST), "--out",
                           str(tmp_path / "out"), "--fills", "engine", "--no-chart"], cwd=REPO, capture_output=True,
                          text=True)
    assert proc.returncode == 0, proc.stderr
    for name, width, digest in (
            ("decisions", 9, "27faa67582a064afeb780474dcf5ab2ce4cbb8e0f65d5af58807725e3a5b8a85"),
            # Trade_Volume is the lots filled and SHFE closes name today's lots (close-today, 3).
            ("fills", 16, "31d8a64a8a6919974b17d9423e731d71822103b208e19751f4aecf4af06b049c")):
        with open(tmp_path / "out" / ("%s.csv" % name), newline="", encoding="utf-8") as f:
            text = "\n".join(",".join(r[:width]) for r in csv.reader(f))
        assert hashlib.sha256(text.encode()).hexdigest() == digest, name
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary["orders"] == {"placed": 124, "filled": 124, "cancelled": 0, "expired": 0, "open": 0}
    assert summary["decisions"] == {"buy_open": 39, "sell_open": 23, "buy_close": 693, "sell_close": 624}
    assert (summary["close_decisions_without_position"], summary["realised_profit"]) == (1255, 270.0)
    assert [summary["instruments"][i]["realised_profit"] for i in ("rb2501", "hc2501")] == [210.0, 60.0]


# --- the database dying mid-replay ----------------------------------------------------------


def test_database_killed_mid_replay_keeps_outputs_and_names_the_dead_letters(run_python, mariadb):
    mariadb.ensure_running()
    mariadb.reset()
    ini = edit_ini((SAMPLE_HOST / "cfg" / "oxa.ini").read_text(encoding="utf-8"), {"CLOUD": mariadb.ini_values()})
    files = {"cfg/oxa.ini": ini}
    code = "import sys\nfrom brindle_tools.live.db import main\nsys.exit(main(['create', '--instruments', %r]))"
    created = run_python(code % str(REPO / "samples" / "instruments.csv"), files=files)
    assert created.returncode == 0, created.stderr
    port = mariadb.ini_values()["OXA_DB_PORT"]
    # The settings module kills the server on the fourth tick and waits until it is gone.
    killer = ('\nimport os, socket, time\n_runs = globals().get("_runs", 0) + 1\n'
              'if _runs == 5:\n    os.kill(%d, 9)\n    for _ in range(500):\n        try:\n'
              '            socket.create_connection(("127.0.0.1", %s), 0.1).close()\n'
              '            time.sleep(0.01)\n        except OSError:\n            break\n'
              'AI_Strategy["00001"]["hc2501"] = AI_Strategy["00001"]["rb2501"]\n') % (mariadb.pid, port)
    ticks = ("InstrumentID,UpdateTime,LastPrice,Volume,BidPrice1,BidVolume1,AskPrice1,AskVolume1\n" +
             "".join("rb2501,09:00:%02d,%d,%d,99,5,101,5\n" % (n, 100 + n % 2, 10 + n) for n in range(10)) +
             "hc2501,09:00:10,100,1,99,5,101,5\n")
    try:
        proc = replay(run_python, "ticks.csv", "--db", "--fills", "engine", files={
            **files, "ticks.csv": ticks,
            "cfg/oxa_can_change_env.py": strategy("True", "True", "BidPrice1", extra=killer)})
    finally:
        mariadb.ensure_running()
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert "Traceback" not in proc.stderr + proc.stdout
    out = proc.where / "replay-out"
    fills = rows(out / "fills.csv")
    summary = json.loads((out / "summary.json").read_text())
    journalled = mariadb.execute("select count(*) from T_SimNow_AutoTrade")[0][0]
    kept = summary["database"]["dead_letter_rows"]
    assert kept > 0 and journalled + kept == len(fills) == summary["fills"]
    assert summary["unavailable_instruments"]["hc2501"]["ticks"] == 1
    assert "dead letters  %d row" % kept in proc.stdout and "log/sql_dead_letters.jsonl" in proc.stdout
    assert summary["journal_rows"] is None and "waited on it" in proc.stdout


def test_help_lists_every_option(capsys):
    from brindle_tools.commands import replay

    with pytest.raises(SystemExit) as done:
        replay.parse_arguments(["--help"])
    assert done.value.code == 0
    assert "--fills {exchange,engine}" in capsys.readouterr().out
