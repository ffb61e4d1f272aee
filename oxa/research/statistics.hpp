#pragma once

// The market statistics of a tick, kept in an instrument's slots with the engine's formulas
// and Python's integer and floating-point results.

#include "research/python.hpp"

namespace oxa::research {

// Where each statistic lives among an instrument's slots.
struct StatisticSlots {
    int last_price, volume;
    int cur_up, cur_keep, cur_down, acc_up, acc_keep, acc_down, order_up, order_keep, order_down;
    int vol_diff, order_trade_volume;
    int bid_price, bid_volume, bid_sum, order_bid_sum;
    int ask_price, ask_volume, ask_sum, order_ask_sum;
};

// The slots of the engine's statistics, from {attribute name: slot}.
StatisticSlots statistic_slots_of(const py::dict& slot_of);

// The fields of a tick that the statistics read.
struct Quote {
    Value last, volume, bid, bid_volume, ask, ask_volume;
};

// Twin: COXAAlgos.statMD in oxa/strategy/statistics.cpp, but its books.
// Folds the tick into the slots; false where only Python could give the result (a value that
// is not a native number, or an integer beyond 64 bits), the slots then partly written.
bool fold_quote(Value* slots, const StatisticSlots& at, const Quote& tick);

}  // namespace oxa::research
