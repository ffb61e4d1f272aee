#include "research/account_figures.hpp"

namespace oxa::research {

void HoldingFigures::read(py::handle holding) {
    lots = py::cast<std::int64_t>(holding.attr(field("Holding.lots")));
    value = as_double(holding.attr(field("Holding.value")));
    multiple = as_double(holding.attr(field("Holding.multiple")));
    py::dict sides = holding.attr(field("Holding.sides"));
    for (auto item : sides) {
        py::handle side = item.second;
        double today = as_double(side.attr(field("Side.today")));
        double yesterday = as_double(side.attr(field("Side.yesterday")));
        double average = as_double(side.attr(field("Side.average")));
        bool long_side = py::cast<int>(side.attr(field("Side.sign"))) > 0;
        (long_side ? long_volume : short_volume) = today + yesterday;
        (long_side ? long_held : short_held) = today != 0 || yesterday != 0;
        (long_side ? long_average : short_average) = average;
    }
}

void AccountFigures::read(py::handle account) {
    double* figures[] = {&gross, &fees, &open_value, &high, &low, &peak, &deepest, &drawdown, &drawdown_percent,
                         &capital};
    const char* names[] = {"Account.gross", "Account.fees", "Account.open_value", "Account.high", "Account.low",
                           "Account.peak", "Account.deepest", "Account.drawdown", "Account.drawdown_percent",
                           "Account.capital"};
    for (std::size_t i = 0; i < std::size(figures); ++i) *figures[i] = as_double(account.attr(field(names[i])));
}

void AccountFigures::write(py::handle account) const {
    const double figures[] = {open_value, high, low, peak, deepest, drawdown, drawdown_percent};
    const char* names[] = {"Account.open_value", "Account.high", "Account.low", "Account.peak",
                           "Account.deepest", "Account.drawdown", "Account.drawdown_percent"};
    for (std::size_t i = 0; i < std::size(figures); ++i) account.attr(field(names[i])) = figures[i];
}

void AccountFigures::mark(HoldingFigures& holding, double price) {
    double value = ((price - holding.long_average) * holding.long_volume -
                    (price - holding.short_average) * holding.short_volume) *
                   holding.multiple;
    open_value += value - holding.value;
    holding.value = value;
    double equity = gross - fees + open_value;
    if (equity > high) {
        high = equity;
    } else if (equity < low) {
        low = equity;
    }
    if (equity > peak) {
        peak = equity;
    } else if (peak - equity > deepest) {
        deepest = peak - equity;
        if (deepest > drawdown) {
            drawdown = deepest;
            if (capital + peak == 0) unsupported("a drawdown against a capital of nothing");
            drawdown_percent = 100.0 * drawdown / (capital + peak);
        }
    }
}

}  // namespace oxa::research
