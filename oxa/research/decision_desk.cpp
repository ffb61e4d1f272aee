#include "research/decision_desk.hpp"

#include <algorithm>
#include <cmath>

#include "research/register.hpp"

namespace oxa::research {

std::optional<double> on_grid(double price, double tick, bool buy) {
    if (tick <= 0) return price;
    if (std::isnan(tick)) return std::nullopt;
    double steps = price / tick;
    if (!std::isfinite(steps)) return std::nullopt;
    double nearest = std::nearbyint(steps);  // round(): to the even one of two
    if (std::fabs(steps - nearest) <= 1e-9 * std::max(1.0, std::fabs(steps))) {
        steps = nearest;
    } else {
        steps = buy ? std::floor(steps) : std::ceil(steps);
    }
    // Python's round, floor and ceil give ints, which have no negative zero.
    steps += 0.0;
    double limit = steps * tick;
    if (!std::isfinite(limit)) return limit;
    // round(limit, 10): Python rounds through the shortest decimal digits, as these two do.
    char* digits = PyOS_double_to_string(limit, 'f', 10, 0, nullptr);
    if (digits == nullptr) throw py::error_already_set();
    double rounded = PyOS_string_to_double(digits, nullptr, nullptr);
    PyMem_Free(digits);
    if (rounded == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return rounded;
}

DecisionDesk::DecisionDesk(py::handle desk) {
    write_ = desk.attr(name("write"));
    totals_ = desk.attr(name("totals"));
    decisions_ = totals_.attr(field("Totals.decisions"));
    warm_up_ = py::cast<std::int64_t>(desk.attr(name("warm_up")));
    absent_ = py::cast<double>(desk.attr(name("absent")));
    for (auto item : py::dict(desk.attr(name("actions")))) {
        py::tuple kind = py::reinterpret_borrow<py::tuple>(item.second);
        actions_[item.first] = kinds_.size();
        kinds_.push_back(ActionKind{py::cast<bool>(kind[0]), py::cast<bool>(kind[1]), py::cast<bool>(kind[2])});
    }
    empty_ = py::str("");
    market_closed_ = py::str("market closed, not sent");
    warm_up_text_ = py::str("warm-up, not sent");
    nothing_to_close_ = py::str("nothing to close");
}

bool DecisionDesk::settle(py::handle decision, const DecisionPlace& place) {
    const char* counter = nullptr;
    py::handle why;
    if (!settle_one(decision, place, counter, why)) return false;
    py::handle action = PyTuple_GET_ITEM(decision.ptr(), 0);
    decisions_[action] = py::int_(py::cast<std::int64_t>(decisions_[action]) + 1);
    py::handle count_field = field(counter);
    totals_.attr(count_field) = py::int_(py::cast<std::int64_t>(totals_.attr(count_field)) + 1);
    write(decision, place, why);
    return true;
}

// Twin: Client.decide in brindle_tools/replay/client.py, up to where a decision is held back or
// finds nothing to close; false wherever it goes on (or fails) in the client's code.
bool DecisionDesk::settle_one(py::handle decision, const DecisionPlace& place, const char*& counter,
                              py::handle& why) {
    if (!PyTuple_CheckExact(decision.ptr()) || PyTuple_GET_SIZE(decision.ptr()) != 4) return false;
    PyObject* action = PyTuple_GET_ITEM(decision.ptr(), 0);
    PyObject* price_object = PyTuple_GET_ITEM(decision.ptr(), 2);
    PyObject* volume = PyTuple_GET_ITEM(decision.ptr(), 3);
    if (!PyUnicode_CheckExact(action) || !PyFloat_CheckExact(price_object) || !PyLong_CheckExact(volume)) return false;
    int overflow = 0;
    if (PyLong_AsLongLongAndOverflow(volume, &overflow) < 1 || overflow != 0) return false;
    PyObject* known = PyDict_GetItemWithError(actions_.ptr(), action);
    if (known == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    const ActionKind& kind = kinds_[PyLong_AsSize_t(known)];
    if (place.batch.update_time < 0) return false;
    if (place.closed || place.engine_ticks <= warm_up_) {
        counter = "Totals.not_sent";
        why = place.closed ? market_closed_ : warm_up_text_;
        return true;
    }
    // The day's limits (client.day_limits): both prices, of the float type, in order.
    std::optional<std::pair<double, double>> limits;
    double limit_prices[2] = {0, 0};
    bool both = true;
    for (int i = 0; i < 2; ++i) {
        int at = place.batch.limits[i];
        if (at == -2) return false;
        if (at == -1 || place.batch.numbers[at].second.type() != ArrowColumn::Type::Float64) {
            both = false;
        } else {
            limit_prices[i] = place.batch.numbers[at].second.real(place.row);
        }
    }
    double upper = limit_prices[0], lower = limit_prices[1];
    if (both && 0 < lower && lower <= upper && upper < absent_) limits.emplace(lower, upper);
    auto taken = [&](double price) {  // client.refused found no reason
        return 0 < price && price < absent_ && (!limits || (limits->first <= price && price <= limits->second));
    };
    if (!taken(PyFloat_AS_DOUBLE(price_object)) || !place.price_tick) return false;
    std::optional<double> limit = on_grid(PyFloat_AS_DOUBLE(price_object), *place.price_tick, kind.buy);
    if (!limit || !taken(*limit) || !kind.close) return false;
    // broker.close_parts: nothing to close where the side has no lots, whatever orders work.
    if (kind.long_side ? place.holding.long_held : place.holding.short_held) return false;
    counter = "Totals.nothing_to_close";
    why = nothing_to_close_;
    return true;
}

void DecisionDesk::write(py::handle decision, const DecisionPlace& place, py::handle why) {
    const ColumnBatch& batch = place.batch;
    py::list row(13);
    row[0] = py::int_(batch.lines.whole(place.row));
    row[1] = batch.value(place.row, batch.update_time);
    row[2] = place.instrument_id;
    for (int i = 0; i < 4; ++i) row[3 + i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(decision.ptr(), i));
    row[7] = empty_;
    row[8] = why;
    row[9] = empty_;
    row[10] = py::int_(place.engine_ticks == 1 ? 1 : 0);
    row[11] = place.trading_day;
    row[12] = batch.file.attr(name("name"));
    write_(row);
}

namespace {

py::object on_grid_twin(double price, double tick, bool buy) {
    std::optional<double> limit = on_grid(price, tick, buy);
    return limit ? py::object(py::float_(*limit)) : py::object(py::none());
}

}  // namespace

void register_decision_desk(py::module_& twins) {
    twins.def("on_grid", &on_grid_twin, py::arg("price"), py::arg("tick"), py::arg("buy"),
              "on_grid natively: the price on the grid of tick; None where Python raises.");
}

}  // namespace oxa::research
