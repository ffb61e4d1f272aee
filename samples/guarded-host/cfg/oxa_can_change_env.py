"""A guarded strategy: the sample host's settings module rewritten with the names that
[PYTHON_SWITCH] strategy_names = 1 (cfg/oxa.ini) gives an expression, as docs/strategy-names.md
lists them. Replay it with

    brindle-replay samples/days.csv --host samples/guarded-host --out guarded-out
"""

AI_Strategy = {
    "00001": {
        "rb2501": {
            # Open one lot long while flat with no order resting, after open_ticks rising ticks
            # above the 20-tick mean, unless the session ends within five minutes.
            "buy_open_express": "position == 0 and resting_buy == 0 and LastPrice_Cur_Up >= open_ticks"
                                " and LastPrice > ma_fast and session_left > 300 and AskPrice1 > 0",
            "buy_open_price": "AskPrice1",
            "buy_open_vol": 1,
            "sell_open_express": "False",
            "sell_open_price": "BidPrice1",
            "sell_open_vol": 1,
            "buy_close_express": "False",
            "buy_close_price": "AskPrice1",
            "buy_close_vol": 1,
            # Sell out at the stop, stop_ticks below the entry price, or after ten minutes held.
            "sell_close_express": "long_lots > 0 and resting_sell == 0 and BidPrice1 > 0"
                                  " and (LastPrice <= entry_price - stop_ticks * PriceTick or held_seconds >= 600)",
            "sell_close_price": "BidPrice1",
            "sell_close_vol": 1,
        },
    },
}

Strategy_Parameters = {
    "open_ticks": 3,  # rising ticks in a row before opening
    "stop_ticks": 5,  # price ticks below the entry price at which the stop sells
}

# Rolling indicators: name -> (statistic, field, window); each is an attribute like LastPrice.
Indicators = {
    "ma_fast": ("mean", "LastPrice", "20 ticks"),
    "hi_5m": ("max", "LastPrice", "300 s"),
    "vwap": ("vwap", None, "day"),
}

# The trading sessions (start, end), for session_left; the night session runs over midnight.
Sessions = [("21:00", "01:00"), ("09:00", "10:15"), ("10:30", "11:30"), ("13:30", "15:00")]

Real_Fresh_Factor = 0
update_factor_period = 60

Init_Factor_Zero = (
    "LastPrice", "Volume", "LastPrice_Cur_Up", "LastPrice_Acc_Up", "order_acc_up", "LastPrice_Cur_Keep",
    "LastPrice_Acc_Keep", "order_acc_keep", "LastPrice_Cur_Down", "LastPrice_Acc_Down", "order_acc_down",
    "order_TradeVolume", "BidVolume", "order_BidVolume", "AskVolume", "order_AskVolume", "vol_diff",
)
