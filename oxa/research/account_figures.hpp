#pragma once

// The account's figures that a tick moves (brindle_tools.market.account): a holding valued at its last
// price, and the equity's extremes and drawdown, with the account's own floating-point steps.

#include "research/python.hpp"

namespace oxa::research {

// What the valuation of a holding reads (Holding in brindle_tools/market/account.py).
struct HoldingFigures {
    std::int64_t lots = 0;
    double value = 0, multiple = 0, long_average = 0, short_average = 0, long_volume = 0, short_volume = 0;
    bool long_held = false, short_held = false;  // lots of today or yesterday on the side

    void read(py::handle holding);
    bool held() const { return lots != 0 || value != 0; }
};

struct AccountFigures {
    double gross = 0, fees = 0, open_value = 0, high = 0, low = 0, peak = 0, deepest = 0, drawdown = 0;
    double drawdown_percent = 0, capital = 0;

    void read(py::handle account);
    void write(py::handle account) const;  // what mark() changes
    // Twin: Account.mark and Holding.open_profit in brindle_tools/market/account.py: the
    // holding valued at price, the drawdown followed.
    void mark(HoldingFigures& holding, double price);
};

}  // namespace oxa::research
