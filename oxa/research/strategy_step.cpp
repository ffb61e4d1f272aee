#include "research/strategy_step.hpp"

namespace oxa::research {
namespace {

Expression expression(py::handle spec) {
    py::tuple parts = py::reinterpret_borrow<py::tuple>(spec);
    Expression made{parts[0], nullptr, parts[1], {}};
    if (!made.program.is_none()) made.native = &py::cast<const Program&>(made.program);
    for (py::handle pair : py::reinterpret_borrow<py::list>(parts[2])) {
        made.names.emplace_back(py::reinterpret_borrow<py::object>(pair[py::int_(0)]),
                                py::cast<int>(pair[py::int_(1)]));
    }
    return made;
}

std::vector<Action> actions(py::list list) {
    std::vector<Action> made;
    for (py::handle item : list) {
        py::tuple action = py::reinterpret_borrow<py::tuple>(item);
        made.push_back({action[0], action[3], expression(action[1]), expression(action[2])});
    }
    return made;
}

std::string text(py::handle object) { return py::str(object).cast<std::string>(); }

}  // namespace

void StrategyStep::set_strategy(py::object id, py::list opens, py::list closes) {
    id_ = std::move(id);
    opens_ = actions(opens);
    closes_ = actions(closes);
}

void StrategyStep::bind(const py::object& engine, const py::list& names, const StatisticSlots& at) {
    if (engine_.is(engine)) return;
    py::dict attributes = engine.attr(name("get_InstrumentAttr"))(id_);
    std::size_t count = py::len(names);
    slots_.assign(count, Value::other());
    objects_.assign(count, py::object());
    positions_.assign(count, -1);
    for (std::size_t slot = 0; slot < count; ++slot) {
        PyObject* value = PyDict_GetItemWithError(attributes.ptr(), names[slot].ptr());
        if (value == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        slots_[slot] = from_python(value);
        if (slots_[slot].kind == Value::Kind::Other) objects_[slot] = py::reinterpret_borrow<py::object>(value);
    }
    // The statistics read these before they write them (the tick's own fields come first).
    for (int slot : {at.last_price, at.volume, at.cur_up, at.cur_keep, at.cur_down, at.acc_up, at.acc_keep,
                     at.acc_down, at.order_up, at.order_keep, at.order_down, at.order_trade_volume, at.bid_sum,
                     at.order_bid_sum, at.ask_sum, at.order_ask_sum}) {
        if (slots_[slot].kind == Value::Kind::Other) {
            unsupported("the attribute " + text(names[slot]) + " of " + text(id_) + " is not a number before the "
                        "first tick");
        }
    }
    PyObject* exchange = PyDict_GetItemWithError(attributes.ptr(), name("ExchangeID").ptr());
    if (exchange == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        unsupported("the instrument " + text(id_) + " has no ExchangeID");
    }
    exchange_ = py::reinterpret_borrow<py::object>(exchange);
    engine_ = engine;
}

py::object StrategyStep::step(const std::shared_ptr<ColumnBatch>& batch, std::int64_t row, const StatisticSlots& at,
                              py::handle driver) {
    Quote quote{};
    Value* fields[] = {&quote.last, &quote.volume, &quote.bid, &quote.bid_volume, &quote.ask, &quote.ask_volume};
    for (int i = 0; i < 6; ++i) *fields[i] = batch->number(batch->quote[i], row);
    if (!fold_quote(slots_.data(), at, quote)) {
        unsupported("a statistic of " + text(id_) + " is not a number the native road computes");
    }
    merge(batch, row);
    py::object decisions = py::none();  // a list once a decision is taken
    try {
        for (const Action& action : opens_) decide(action, decisions, driver);
        if (has_position) {
            for (const Action& action : closes_) decide(action, decisions, driver);
        }
    } catch (py::error_already_set& failure) {
        if (!failure.matches(PyExc_Exception) || failure.matches(unsupported_type())) throw;
        driver.attr(name("tick_failed"))(failure.value());
    }
    return decisions;
}

// The tick's fields over the attributes, as dict.update puts them.
void StrategyStep::merge(const std::shared_ptr<ColumnBatch>& batch, std::int64_t row) {
    if (last_batch && last_batch->layout != batch->layout) {
        // Fields of another file's columns stay as its last row left them.
        for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
            if (positions_[slot] < 0) continue;
            objects_[slot] = slot_object(slot);
            positions_[slot] = -1;
        }
    }
    for (std::size_t i = 0; i < batch->numbers.size(); ++i) {
        int slot = batch->numbers[i].first;
        slots_[slot] = batch->number(i, row);
        positions_[slot] = -1;
    }
    for (const auto& [slot, position] : batch->others) {
        slots_[slot] = Value::other();
        objects_[slot] = py::object();
        positions_[slot] = position;
    }
    last_batch = batch;
    last_row = row;
}

void StrategyStep::decide(const Action& action, py::object& decisions, py::handle driver) {
    if (!fires(action.condition, driver)) return;
    std::optional<py::object> price = value_of(action.price, driver);
    if (!price) return;
    if (decisions.is_none()) decisions = py::list();
    py::reinterpret_borrow<py::list>(decisions).append(py::make_tuple(action.name, exchange_, *price, action.volume));
}

// Whether the condition fires: evaluated, and equal to True.
bool StrategyStep::fires(const Expression& condition, py::handle driver) {
    if (condition.native != nullptr) {
        if (std::optional<Value> value = condition.native->run(slots_.data())) {
            if (std::optional<bool> equal = compare(*value, Value::boolean(true), Py_EQ)) return *equal;
        }
    }
    std::optional<py::object> value = value_of(condition, driver);
    if (!value) return false;
    int equal = PyObject_RichCompareBool(value->ptr(), Py_True, Py_EQ);
    if (equal < 0) throw py::error_already_set();
    return equal != 0;
}

// The text's value; none where evaluating it failed (Python has logged why).
std::optional<py::object> StrategyStep::value_of(const Expression& expression, py::handle driver) {
    if (expression.native != nullptr) {
        if (std::optional<Value> value = expression.native->run(slots_.data())) {
            return py::reinterpret_steal<py::object>(to_python(*value));
        }
    }
    py::dict names;
    for (const auto& [key, slot] : expression.names) {
        py::object value = slot_object(slot);
        if (value) names[key] = value;
    }
    py::tuple answer = driver.attr(name("python_value"))(expression.code, names);
    if (py::cast<int>(answer[0]) != 0) return std::nullopt;
    return py::reinterpret_borrow<py::object>(answer[1]);
}

// A slot's value as the attribute dictionary holds it; null where the name is not there.
py::object StrategyStep::slot_object(std::size_t slot) const {
    if (slots_[slot].kind != Value::Kind::Other) return python_value(slots_[slot]);
    if (positions_[slot] >= 0) return last_batch->value(last_row, positions_[slot]);
    return objects_[slot];
}

}  // namespace oxa::research
