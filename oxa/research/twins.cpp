// The native twins of the client's and the engine's bookkeeping, driven alone from Python:
// the parity tests give both sides the same drawn inputs (tests/tools/replay/test_twins.py).
#include <vector>

#include "research/account_figures.hpp"
#include "research/register.hpp"
#include "research/statistics.hpp"

namespace oxa::research {
namespace {

// The holding valued at price and the drawdown followed, written back as the loop writes it.
void mark(py::handle account, py::handle holding, double price) {
    HoldingFigures holding_figures;
    holding_figures.read(holding);
    AccountFigures account_figures;
    account_figures.read(account);
    account_figures.mark(holding_figures, price);
    account_figures.write(account);
    holding.attr(field("Holding.value")) = holding_figures.value;
}

// The tick's statistics folded into factor, a dict of the engine's attribute names (a slot
// each, and one for each of the tick's names it lacks); False where only Python gives the
// result (factor then unchanged).
bool fold(py::dict factor, py::dict tick) {
    py::list names(factor.attr("keys")());
    for (auto item : tick) {
        if (!factor.contains(item.first)) names.append(item.first);
    }
    py::dict slot_of;
    std::vector<Value> slots;
    for (std::size_t slot = 0; slot < names.size(); ++slot) {
        slot_of[names[slot]] = slot;
        slots.push_back(factor.contains(names[slot]) ? from_python(factor[names[slot]].ptr()) : Value::other());
    }
    Quote quote{};
    Value* fields[] = {&quote.last, &quote.volume, &quote.bid, &quote.bid_volume, &quote.ask, &quote.ask_volume};
    const char* keys[] = {"LastPrice", "Volume", "BidPrice1", "BidVolume1", "AskPrice1", "AskVolume1"};
    for (int i = 0; i < 6; ++i) *fields[i] = from_python(tick[name(keys[i])].ptr());
    if (!fold_quote(slots.data(), statistic_slots_of(slot_of), quote)) return false;
    for (std::size_t slot = 0; slot < names.size(); ++slot) {
        if (slots[slot].kind != Value::Kind::Other) factor[names[slot]] = python_value(slots[slot]);
    }
    return true;
}

}  // namespace

void register_twins(py::module_& twins) {
    twins.def("mark", &mark, py::arg("account"), py::arg("holding"), py::arg("price"),
              "AccountFigures::mark: Account.mark of the holding at price.");
    twins.def("fold_quote", &fold, py::arg("factor"), py::arg("tick"),
              "fold_quote: COXAAlgos.statMD on factor, but its books; False where only Python gives the result.");
}

}  // namespace oxa::research
