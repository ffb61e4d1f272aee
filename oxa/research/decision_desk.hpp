#pragma once

// The decisions that the loop settles itself: those the client holds back (the market closed, the
// warm-up) and closes with no lots to close. They place no order and change nothing but the
// counts and a row of decisions.csv, which are written here as the client writes them; any other
// decision goes to the client's own code.

#include <optional>
#include <vector>

#include "research/account_figures.hpp"
#include "research/column_batch.hpp"

namespace oxa::research {

// Twin: on_grid in brindle_tools/market/exchange.py; none where Python raises (a price tick that
// is not a number, steps beyond a float).
std::optional<double> on_grid(double price, double tick, bool buy);

// The tick the decisions are made on, as the loop has it.
struct DecisionPlace {
    const ColumnBatch& batch;
    std::int64_t row;
    const py::object& instrument_id;
    const py::object& trading_day;
    const HoldingFigures& holding;
    std::optional<double> price_tick;  // none: not a number the loop takes
    std::int64_t engine_ticks;
    bool closed;
};

class DecisionDesk {
public:
    // desk: the driver's Road.desk() (the client's row writer, totals, warm-up and actions).
    explicit DecisionDesk(py::handle desk);

    double absent() const { return absent_; }
    // Whether the desk settled the decision (its counts and its row written).
    bool settle(py::handle decision, const DecisionPlace& place);

private:
    struct ActionKind {
        bool close, long_side, buy;
    };
    // Whether the desk settles the decision, and then the count it adds to (a Totals field) and
    // the row's text.
    bool settle_one(py::handle decision, const DecisionPlace& place, const char*& counter, py::handle& why);
    void write(py::handle decision, const DecisionPlace& place, py::handle why);

    py::object write_, totals_, decisions_;  // CsvOut.write of decisions.csv, Totals, Totals.decisions
    std::int64_t warm_up_ = 0;
    double absent_ = 0;  // a price at or above it is the feed's "none"
    py::dict actions_;  // action -> its place in kinds_
    std::vector<ActionKind> kinds_;
    py::object empty_, market_closed_, warm_up_text_, nothing_to_close_;
};

}  // namespace oxa::research
