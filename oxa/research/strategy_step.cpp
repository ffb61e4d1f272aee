#include "research/strategy_step.hpp"

#include <algorithm>
#include <cmath>

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

// record.get(key), as the engine reads a record (an exact dict directly).
py::object field(py::handle record, const char* key) {
    if (!PyDict_CheckExact(record.ptr())) return record.attr("get")(name(key));
    PyObject* value = PyDict_GetItemWithError(record.ptr(), name(key).ptr());
    if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return value ? py::reinterpret_borrow<py::object>(value) : py::none();
}

bool is_text(py::handle value, const char* expected) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), expected) == 0;
}

double number(py::handle value) { return value.is_none() ? 0.0 : as_double(value); }

// The engine's clock during a replay, as it reads it: datetime.now() of the client's Clock is
// 1970-01-01 + timedelta(seconds=clock), whose microseconds round half to even.
double engine_clock(double clock) {
    double whole = std::floor(clock), micro = std::nearbyint((clock - whole) * 1e6);
    if (micro >= 1e6) return whole + 1;
    return whole + micro * 1e-6;
}

std::optional<strategy::Sessions> sessions_of(py::handle list) {
    if (list.is_none()) return std::nullopt;
    strategy::Sessions sessions;
    for (py::handle pair : list) sessions.emplace_back(py::cast<long>(pair[py::int_(0)]), py::cast<long>(pair[py::int_(1)]));
    return sessions;
}

}  // namespace

NameSlots::NameSlots(py::handle spec) {
    py::dict given = py::reinterpret_borrow<py::dict>(spec);
    for (py::handle slot : given["trading"]) trading.push_back(py::cast<int>(slot));
    day_seconds = py::cast<int>(given["day_seconds"]);
    session_left = py::cast<int>(given["session_left"]);
    update_time = py::cast<int>(given["update_time"]);
    trading_day = py::cast<int>(given["trading_day"]);
    multiple = py::cast<int>(given["multiple"]);
    for (py::handle item : given["indicators"]) {
        py::tuple parts = py::reinterpret_borrow<py::tuple>(item);
        strategy::RollingSpec spec{static_cast<strategy::RollingSpec::Kind>(py::cast<int>(parts[2])),
                                   static_cast<strategy::RollingSpec::Unit>(py::cast<int>(parts[3])),
                                   py::cast<double>(parts[4])};
        day_windows = day_windows || spec.unit == strategy::RollingSpec::Unit::Day;
        indicators.push_back({py::cast<int>(parts[0]), py::cast<int>(parts[1]), spec});
    }
    sessions = given["sessions"];
}

void StrategyStep::set_strategy(py::object id, py::list opens, py::list closes) {
    id_ = std::move(id);
    opens_ = actions(opens);
    closes_ = actions(closes);
}

void StrategyStep::bind(const py::object& engine, const py::list& names, const StatisticSlots& at,
                        const NameSlots* name_slots) {
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
    // A new engine starts the names' state afresh, as the engine keeps it.
    name_slots_ = name_slots;
    if (name_slots_ == nullptr) return;
    if (!py::hasattr(engine, "strategy_names")) unsupported("the engine has the strategy names off, the road on");
    opened_at_.reset();
    clock_day_.reset();
    trading_day_ = py::object();
    indicators_.clear();
    for (const NameSlots::Indicator& indicator : name_slots_->indicators) indicators_.emplace_back(indicator.spec);
    const py::object& table = name_slots_->sessions;
    sessions_.reset();
    if (py::isinstance<py::dict>(table)) {
        for (py::object key : {id_, field(attributes, "ProductID")}) {
            if (key.is_none()) continue;
            py::object found = table.attr("get")(key);
            if (!found.is_none()) {
                sessions_ = sessions_of(found);
                break;
            }
        }
    } else {
        sessions_ = sessions_of(table);
    }
}

// The twin of holding_of in oxa/strategy/strategy_names.cpp.
void StrategyStep::read_holding(const py::object& engine, bool names_on) {
    py::object positions = engine.attr("get_Position")(id_);
    has_position = !positions.is_none() && py::len(positions) > 0;
    if (!names_on) return;
    holding_ = strategy::Holding();
    if (!positions.is_none()) {
        for (py::handle record : positions) {
            if (!PyDict_Check(record.ptr())) continue;
            py::object direction = field(record, "PosiDirection");
            int side = is_text(direction, "2") ? 0 : is_text(direction, "3") ? 1 : -1;
            if (side < 0) continue;
            holding_.lots[side] += number(field(record, "Position"));
            holding_.today[side] += number(field(record, "TodayPosition"));
            py::object cost = field(record, "OpenCost");
            holding_.cost[side] += number(cost.is_none() ? field(record, "PositionCost") : cost);
        }
    }
    py::object orders = engine.attr("get_Order_list")(id_);
    if (orders.is_none()) return;
    for (py::handle order : orders) {
        if (!PyDict_Check(order.ptr())) continue;
        py::object status = field(order, "OrderStatus");
        if (!is_text(status, "1") && !is_text(status, "3")) continue;
        py::object direction = field(order, "Direction");
        int side = is_text(direction, "0") ? 0 : is_text(direction, "1") ? 1 : -1;
        if (side >= 0) holding_.resting[side] += number(field(order, "VolumeTotal"));
    }
}

py::object StrategyStep::step(const std::shared_ptr<ColumnBatch>& batch, std::int64_t row, const StatisticSlots& at,
                              py::handle driver, double clock) {
    Quote quote{};
    Value* fields[] = {&quote.last, &quote.volume, &quote.bid, &quote.bid_volume, &quote.ask, &quote.ask_volume};
    for (int i = 0; i < 6; ++i) *fields[i] = batch->number(batch->quote[i], row);
    if (!fold_quote(slots_.data(), at, quote)) {
        unsupported("a statistic of " + text(id_) + " is not a number the native road computes");
    }
    merge(batch, row);
    py::object decisions = py::none();  // a list once a decision is taken
    try {
        if (name_slots_ != nullptr) write_names(at, clock);
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
    if (last_batch != batch) last_batch = batch;  // no count of its users moved tick after tick
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

// The trading-state names and indicators of the tick, as the engine writes them
// (update_strategy_names in oxa/strategy/strategy_names.cpp).
void StrategyStep::write_names(const StatisticSlots& at, double clock) {
    const NameSlots& at_name = *name_slots_;
    auto set = [&](int slot, Value value) {
        if (slot < 0) return;
        slots_[slot] = value;
        objects_[slot] = py::object();
        positions_[slot] = -1;
    };
    double now = engine_clock(clock);
    std::vector<strategy::Figure> figures =
        strategy::trading_figures(holding_, number_in(at_name.multiple), number_in(at.last_price), opened_at_, now);
    for (int i = 0; i < strategy::trading_name_count; ++i) {
        const strategy::Figure& figure = figures[i];
        if (figure.whole && !(std::fabs(figure.value) < 9.2e18)) unsupported("a trading-state figure beyond 64 bits");
        set(at_name.trading[i], figure.whole ? Value::integer(static_cast<std::int64_t>(figure.value))
                                             : Value::real(figure.value));
    }
    py::object update_time = at_name.update_time >= 0 ? slot_object(at_name.update_time) : py::object();
    long time = update_time && PyUnicode_Check(update_time.ptr())
                    ? strategy::time_of_day(py::cast<std::string>(update_time), true)
                    : -1;
    if (time >= 0) {
        set(at_name.day_seconds, Value::integer(strategy::day_seconds(time)));
        if (sessions_) set(at_name.session_left, Value::integer(strategy::session_left(*sessions_, time)));
    }
    if (indicators_.empty()) return;
    bool new_day = false;
    if (at_name.day_windows) {
        py::object day = at_name.trading_day >= 0 ? slot_object(at_name.trading_day) : py::object();
        if (day && !day.is_none()) {
            new_day = trading_day_ && PyObject_RichCompareBool(day.ptr(), trading_day_.ptr(), Py_EQ) != 1;
            if (PyErr_Occurred()) throw py::error_already_set();
            trading_day_ = day;
        } else {
            double by_clock = strategy::clock_day(now);
            new_day = clock_day_ && *clock_day_ != by_clock;
            clock_day_ = by_clock;
        }
    }
    double weight = std::max(number_in(at.vol_diff), 0.0);
    for (std::size_t i = 0; i < indicators_.size(); ++i) {
        const NameSlots::Indicator& indicator = at_name.indicators[i];
        const Value& value = slots_[indicator.field];
        double x = 0;
        if (value.kind != Value::Kind::Other) {
            x = detail::real_of(value);
        } else {
            // A field that is no number leaves the tick out, as in the engine.
            py::object held = slot_object(indicator.field);
            if (!held || !(PyFloat_Check(held.ptr()) || PyLong_Check(held.ptr()))) continue;
            x = as_double(held);
        }
        if (!(std::fabs(x) < strategy::absent_price)) continue;
        set(indicator.slot, Value::real(indicators_[i].add(x, weight, now, new_day)));
    }
}

// A slot as the engine reads a number from the attributes: absent or None is 0.
double StrategyStep::number_in(int slot) const {
    if (slot < 0) return 0;
    if (slots_[slot].kind != Value::Kind::Other) return detail::real_of(slots_[slot]);
    py::object held = slot_object(slot);
    return held ? number(held) : 0.0;
}

// A slot's value as the attribute dictionary holds it; null where the name is not there.
py::object StrategyStep::slot_object(std::size_t slot) const {
    if (slots_[slot].kind != Value::Kind::Other) return python_value(slots_[slot]);
    if (positions_[slot] >= 0) return last_batch->value(last_row, positions_[slot]);
    return objects_[slot];
}

}  // namespace oxa::research
