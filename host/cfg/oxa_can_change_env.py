"""Strategy settings that may be changed while the client runs.

The engine re-executes this module on every market-data tick, so an edit takes effect on
the next tick. Keep it to plain assignments: no imports of heavy modules, no I/O, nothing
that changes other state. (A name removed from this file stays defined until the client
restarts: re-executing a module does not delete its old names.)
"""

# Investor ID -> instrument ID -> strategy of that investor for that instrument.
# The *_express entries are conditions and the *_price entries prices, both written as
# Python expressions over the instrument's attributes: tick fields (LastPrice, Volume,
# BidPrice1, AskPrice1, ...), instrument fields (PriceTick, VolumeMultiple, ...), running
# statistics (LastPrice_Cur_Up, LastPrice_Acc_Down, vol_diff, order_TradeVolume, ...) and
# factors from the database. A condition fires when it evaluates to True; the price is
# evaluated only then. The *_vol entries are order volumes, used as they are.
# The close conditions are looked at only while the instrument has a position.
AI_Strategy = {
    "00001": {
        "rb2501": {
            # Open long after open_ticks rising ticks with trading, at the best ask.
            "buy_open_express": "LastPrice_Cur_Up >= open_ticks and vol_diff > 0 and AskPrice1 > 0",
            "buy_open_price": "AskPrice1",
            "buy_open_vol": 1,
            # Open short after open_ticks falling ticks with trading, at the best bid.
            "sell_open_express": "LastPrice_Cur_Down >= open_ticks and vol_diff > 0 and BidPrice1 > 0",
            "sell_open_price": "BidPrice1",
            "sell_open_vol": 1,
            # Buy back a short after close_ticks rising ticks, one tick above the best ask.
            "buy_close_express": "LastPrice_Cur_Up >= close_ticks and AskPrice1 > 0",
            "buy_close_price": "AskPrice1 + PriceTick",
            "buy_close_vol": 1,
            # Sell out a long after close_ticks falling ticks, one tick below the best bid.
            "sell_close_express": "LastPrice_Cur_Down >= close_ticks and BidPrice1 > 0",
            "sell_close_price": "BidPrice1 - PriceTick",
            "sell_close_vol": 1,
        },
        "hc2501": {
            # Open after open_ticks rising (falling) ticks that traded 20 lots or more, at the last
            # price, two lots at a time.
            "buy_open_express": "LastPrice_Cur_Up >= open_ticks and vol_diff >= 20",
            "buy_open_price": "LastPrice",
            "buy_open_vol": 2,
            "sell_open_express": "LastPrice_Cur_Down >= open_ticks and vol_diff >= 20",
            "sell_open_price": "LastPrice",
            "sell_open_vol": 2,
            # Close after close_ticks ticks against the position, one tick through the last price.
            "buy_close_express": "LastPrice_Cur_Up >= close_ticks",
            "buy_close_price": "LastPrice + PriceTick",
            "buy_close_vol": 2,
            "sell_close_express": "LastPrice_Cur_Down >= close_ticks",
            "sell_close_price": "LastPrice - PriceTick",
            "sell_close_vol": 2,
        },
    },
}

# Values the expressions above read by name, like factors: the replay puts them into each
# instrument's attributes before its first tick (`--set NAME=VALUE` overrides one), so a
# parameter sweep varies them without editing the strategies.
Strategy_Parameters = {
    "open_ticks": 3,  # rising (falling) ticks in a row before opening
    "close_ticks": 2,  # ticks against the position before closing
}

# 1: refresh the factors from the database's t_factor table while ticks arrive;
# any other value: never refresh.
Real_Fresh_Factor = 1

# Seconds between two factor refreshes (a refresh happens on the first tick after more
# than this many seconds).
update_factor_period = 60

# Attributes that every new instrument starts with, set to 0. The market statistics read
# each of these before they first write it, so none may be left out.
Init_Factor_Zero = (
    "LastPrice",
    "Volume",
    "LastPrice_Cur_Up",
    "LastPrice_Acc_Up",
    "order_acc_up",
    "LastPrice_Cur_Keep",
    "LastPrice_Acc_Keep",
    "order_acc_keep",
    "LastPrice_Cur_Down",
    "LastPrice_Acc_Down",
    "order_acc_down",
    "order_TradeVolume",
    "BidVolume",
    "order_BidVolume",
    "AskVolume",
    "order_AskVolume",
    "vol_diff",
    "order_price",
)
