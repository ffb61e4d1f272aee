#include "strategy/risk_limits.hpp"

#include <cmath>
#include <ctime>
#include <optional>

#include "engine/construction.hpp"
#include "interop/except.hpp"
#include "interop/iteration.hpp"
#include "shell/config_errors.hpp"
#include "strategy/record_values.hpp"

namespace oxa::strategy {
namespace {

constexpr double absent_price = 1e300;  // feeds write the largest double for no price

PyObject* const* limit_names() {
    static PyObject* const* all = new PyObject* const[6]{names.max_position, names.max_order_volume,
                                                          names.max_orders_per_second, names.max_orders_per_minute,
                                                          names.max_resting_orders, names.max_daily_loss};
    return all;
}

// The value without an inline comment: a ';' or '#' at the start or after a space or tab
// ends it, as the section's own example writes them.
py::object without_comment(py::handle text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
        Py_UCS4 before = i ? PyUnicode_READ_CHAR(text.ptr(), i - 1) : ' ';
        if ((c == ';' || c == '#') && (before == ' ' || before == '\t')) {
            return checked(PyUnicode_Substring(text.ptr(), 0, i));
        }
    }
    return py::reinterpret_borrow<py::object>(text);
}

// int(text), else float(text), of a plain ASCII number (no other script's digits, no
// underscores); null when it is neither or below 0.
// Twin: number in brindle_tools/market/limits.py (the replay's and the check's reading).
py::object limit_value(py::handle entry) {
    if (!PyUnicode_Check(entry.ptr())) return {};
    py::object text = without_comment(entry);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (!PyUnicode_IS_ASCII(text.ptr()) || PyUnicode_FindChar(text.ptr(), '_', 0, length, 1) != -1) return {};
    PyObject* number = PyLong_FromUnicodeObject(text.ptr(), 10);
    if (!number) {
        PyErr_Clear();
        number = PyFloat_FromString(text.ptr());
    }
    if (!number) {
        PyErr_Clear();
        return {};
    }
    py::object value = py::reinterpret_steal<py::object>(number);
    if (PyFloat_Check(number) && !(PyFloat_AS_DOUBLE(number) >= 0 && std::isfinite(PyFloat_AS_DOUBLE(number)))) return {};
    if (compare(value, integer(0), Py_LT)) return {};
    return value;
}

// A key named like a password: its value is never shown.
// Twin: SECRET_KEY in brindle_tools/common/errors.py.
bool secret_key(py::handle key) {
    py::object lowered = call_method(key, names.lower);  // as the twin's pattern ignores case
    for (const char* part : {"pass", "pwd", "secret", "token"}) {
        Py_ssize_t at = PyUnicode_Find(lowered.ptr(), text(part).ptr(), 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) throw_error();
        if (at >= 0) return true;
    }
    return false;
}

// A limit's name, alone or with an ID after one dot.
bool is_limit(py::handle key) {
    py::object parts = call_method(key, names.partition, {names.dot});
    py::object name = getitem(parts, integer(0)), dot = getitem(parts, integer(1)), id = getitem(parts, integer(2));
    if (PyObject_IsTrue(dot.ptr()) > 0 && PyUnicode_GET_LENGTH(id.ptr()) == 0) return false;
    for (int i = 0; i < 6; ++i) {
        if (equals(name, limit_names()[i])) return true;
    }
    return false;
}

// The engine attribute `name`, a dictionary made when it has none.
py::object own_dict(py::handle self, PyObject* name) {
    py::object table = engine::optional_attribute(self, name);
    if (!table) {
        table = py::dict();
        setattr(self, name, table);
    }
    return table;
}

// The position records kept of every instrument (risk_positions), or null.
py::object kept_positions(py::handle self) { return engine::optional_attribute(self, names.risk_positions); }

// Every position record of an instrument the host reported (kept: kept_positions), or
// `listed` (the engine's own list, one record per direction) when none was kept.
py::object position_records(const py::object& kept, py::handle instrument, py::handle listed) {
    py::object by_key = kept ? get(kept, instrument) : py::none();
    if (!by_key.is_none()) return call_method(by_key, names.values);
    return py::reinterpret_borrow<py::object>(listed);
}

template <class Visit>
void for_each_record(py::handle records, Visit&& visit) {
    if (records.is_none()) return;
    for_each(records, [&](py::handle record) {
        if (PyDict_Check(record.ptr())) visit(record);
    });
}

// The realised profit plus the open positions' at their last price, all instruments.
double total_profit(py::handle self) {
    double total = 0;
    py::object attributes = getattr(self, names.instrument_attr_dict), kept = kept_positions(self);
    for_each_item(getattr(self, names.instrument_position_dict), [&](py::handle instrument, py::handle listed) {
        py::object attribute = get(attributes, instrument);
        double price = 0, multiple = 0;
        if (!attribute.is_none()) {
            price = as_double(get(attribute, names.LastPrice));
            multiple = as_double(get(attribute, names.VolumeMultiple));
        }
        for_each_record(position_records(kept, instrument, listed), [&](py::handle record) {
            total += as_double(get(record, names.CloseProfit));
            double lots = as_double(get(record, names.Position));
            if (lots == 0 || !(std::fabs(price) < absent_price)) return;
            double value = price * lots * multiple, cost = as_double(get(record, names.PositionCost));
            py::object direction = get(record, names.PosiDirection);
            if (is_text(direction, "2")) total += value - cost;
            if (is_text(direction, "3")) total += cost - value;
        });
    });
    return total;
}

// What one tick's decisions are checked against, read when first needed.
class Book {
public:
    Book(py::handle self, py::handle investor, py::handle instrument)
        : self_(self), instrument_(instrument),
          keys_{call_method(instrument, names.lower), call_method(investor, names.lower)} {}

    // The limit that applies, or null.
    py::object limit(py::handle limits, PyObject* name) {
        for (const py::object& id : keys_) {
            py::object key = checked(PyUnicode_FromFormat("%U.%U", name, id.ptr()));
            py::object value = get(limits, key);
            if (!value.is_none()) return value;
        }
        py::object value = get(limits, name);
        return value.is_none() ? py::object() : value;
    }

    // Lots held on a side ("2" long, "3" short), in every record of it, and resting open orders' lots on it.
    double exposure(bool buy) {
        read_orders();
        double lots = buy ? resting_buy_ : resting_sell_;
        py::object listed = call_method(self_, names.get_Position, {instrument_.ptr()});
        for_each_record(position_records(kept_positions(self_), instrument_, listed), [&](py::handle record) {
            if (is_text(get(record, names.PosiDirection), buy ? "2" : "3")) lots += as_double(get(record, names.Position));
        });
        return lots;
    }

    double resting() {
        read_orders();
        return resting_count_;
    }

    // The day's profit: the total less what it was when the day began.
    double profit() {
        if (!profit_) {
            py::object start = engine::optional_attribute(self_, names.risk_day_start);
            profit_ = total_profit(self_) - (start ? as_double(start) : 0);
        }
        return *profit_;
    }

private:
    // Orders resting: queueing, untraded or partly traded.
    void read_orders() {
        if (orders_read_) return;
        orders_read_ = true;
        for_each_record(call_method(self_, names.get_Order_list, {instrument_.ptr()}), [&](py::handle order) {
            py::object status = get(order, names.OrderStatus);
            if (!is_text(status, "1") && !is_text(status, "3")) return;
            ++resting_count_;
            py::object offset = get(order, names.CombOffsetFlag);
            if (!PyUnicode_Check(offset.ptr()) || PyUnicode_GET_LENGTH(offset.ptr()) == 0 ||
                PyUnicode_READ_CHAR(offset.ptr(), 0) != '0') {
                return;
            }
            double left = as_double(get(order, names.VolumeTotal));
            py::object direction = get(order, names.Direction);
            if (is_text(direction, "0")) resting_buy_ += left;
            if (is_text(direction, "1")) resting_sell_ += left;
        });
    }

    py::handle self_, instrument_;
    py::object keys_[2];
    bool orders_read_ = false;
    double resting_count_ = 0, resting_buy_ = 0, resting_sell_ = 0;
    std::optional<double> profit_;
};

struct Breach {
    PyObject* limit;
    py::object value;
    const char* measure;
    py::object amount;
};

py::object number(double value) { return checked(PyFloat_FromDouble(value)); }

class Gate {
public:
    Gate(py::handle self, py::handle investor, py::handle instrument, py::handle limits)
        : self_(self), investor_(investor), instrument_(instrument), limits_(limits), book_(self, investor, instrument) {}

    // The limit the decision would break, given the decisions let through before it.
    std::optional<Breach> check(py::handle decision) {
        py::object action = getitem(decision, integer(0));
        py::object volume = getitem(decision, integer(3));
        bool opening = equals(action, names.buy_open) || equals(action, names.sell_open);
        bool buy = equals(action, names.buy_open) || equals(action, names.buy_close);
        if (py::object cap = book_.limit(limits_, names.max_order_volume); cap && compare(volume, cap, Py_GT)) {
            return Breach{names.max_order_volume, cap, "volume", volume};
        }
        if (py::object cap = book_.limit(limits_, names.max_daily_loss); opening && cap) {
            double loss = -book_.profit();
            if (compare(number(loss), cap, Py_GE)) return Breach{names.max_daily_loss, cap, "loss", number(loss)};
        }
        if (py::object cap = book_.limit(limits_, names.max_position); opening && cap) {
            double lots = book_.exposure(buy) + (buy ? opened_buy_ : opened_sell_) + as_double(volume);
            if (compare(number(lots), cap, Py_GT)) return Breach{names.max_position, cap, "position", number(lots)};
        }
        if (py::object cap = book_.limit(limits_, names.max_resting_orders); cap) {
            double resting = book_.resting() + let_through_ + 1;
            if (compare(number(resting), cap, Py_GT)) {
                return Breach{names.max_resting_orders, cap, "resting", number(resting)};
            }
        }
        for (auto [name, span] : {std::pair{names.max_orders_per_second, 1.0}, std::pair{names.max_orders_per_minute, 60.0}}) {
            py::object cap = book_.limit(limits_, name);
            if (!cap || !now()) continue;
            double orders = let_through_ + 1 + sent_since(*now() - span);
            if (compare(number(orders), cap, Py_GT)) return Breach{name, cap, "orders", number(orders)};
        }
        if (opening) (buy ? opened_buy_ : opened_sell_) += as_double(volume);
        ++let_through_;
        return std::nullopt;
    }

    void withhold(py::handle decision, const Breach& breach) {
        py::object key = checked(PyTuple_Pack(2, breach.limit, instrument_.ptr()));
        py::object withheld = own_dict(self_, names.risk_withheld);
        py::object count = get(withheld, key);
        setitem(withheld, key, add(count.is_none() ? integer(0) : count, integer(1)));
        py::object logged = own_dict(self_, names.risk_logged);
        double seconds = now() ? *now() : static_cast<double>(std::time(nullptr));
        py::object minute = integer(static_cast<long>(std::floor(seconds / 60)));
        if (equals(get(logged, key), minute)) return;
        setitem(logged, key, minute);
        log(names.warning, checked(PyUnicode_FromFormat("risk limit %U = %S withholds %S of %U for %U: %s %S",
                                                        breach.limit, breach.value.ptr(),
                                                        getitem(decision, integer(0)).ptr(), instrument_.ptr(),
                                                        investor_.ptr(), breach.measure, breach.amount.ptr())));
    }

    // The times of the decisions let through are kept for the rate limits: the last minute's.
    void remember(Py_ssize_t let_through) {
        bool counted = book_.limit(limits_, names.max_orders_per_second) ||
                       book_.limit(limits_, names.max_orders_per_minute);
        if (let_through == 0 || !counted) return;
        if (!now()) return;
        py::list kept;
        for_each(history(), [&](py::handle time) {
            if (as_double(time) > *now() - 60) kept.append(time);
        });
        for (Py_ssize_t i = 0; i < let_through; ++i) kept.append(number(*now()));
        setitem(own_dict(self_, names.risk_sent), instrument_, kept);
    }

private:
    const std::optional<double>& now() {
        if (!clock_read_) {
            clock_read_ = true;
            now_ = clock_seconds();
        }
        return now_;
    }

    py::object history() {
        py::object times = get(own_dict(self_, names.risk_sent), instrument_);
        return times.is_none() ? py::list() : times;
    }

    double sent_since(double start) {
        double count = 0;
        for_each(history(), [&](py::handle time) {
            if (as_double(time) > start) ++count;
        });
        return count;
    }

    py::handle self_, investor_, instrument_, limits_;
    Book book_;
    bool clock_read_ = false;
    std::optional<double> now_;
    double opened_buy_ = 0, opened_sell_ = 0, let_through_ = 0;
};

}  // namespace

void read_risk_limits(py::handle self) {
    bool present = false;
    try_except([&] { present = PyObject_IsTrue(call_method(getattr(self, names.config), names.has_section,
                                                           {names.RISK}).ptr()) > 0; },
               [](const py::error_already_set&) {});
    if (!present) return;
    try_except(
        [&] {
            py::dict limits;
            for_each(call_method(getattr(self, names.config), names.items, {names.RISK}), [&](py::handle item) {
                py::object key = getitem(item, integer(0)), entry = getitem(item, integer(1));
                py::object value = limit_value(entry);
                if (!is_limit(key) || !value) {
                    py::object shown = secret_key(key) ? text("(not shown)") : py::reinterpret_borrow<py::object>(entry);
                    log(names.error, checked(PyUnicode_FromFormat(
                                         "risk limits: [RISK] %S = %S is not a limit of 0 or more; it is left out",
                                         key.ptr(), shown.ptr())));
                    return;
                }
                setitem(limits, key, value);
            });
            setattr(self, names.risk_limits, limits);
            setattr(self, names.risk_withheld, py::dict());
        },
        [](const py::error_already_set& error) {
            shell::hide_config_text(error);  // a bad interpolation would quote the value
            log_error("risk limits: [RISK] cannot be read");
        });
}

void note_trading_day(py::handle self, py::handle tick) {
    if (!PyDict_Check(tick.ptr()) || !engine::optional_attribute(self, names.risk_limits)) return;
    try_except_log(
        [&] {
            py::object day = get(tick, names.TradingDay);
            if (day.is_none()) return;
            py::object current = engine::optional_attribute(self, names.risk_day);
            if (current && equals(current, day)) return;
            if (current) setattr(self, names.risk_day_start, number(total_profit(self)));
            setattr(self, names.risk_day, day);
        },
        "risk limits: the trading day cannot be followed");
}

void note_position(py::handle self, py::handle record) {
    if (!PyDict_Check(record.ptr()) || !engine::optional_attribute(self, names.risk_limits)) return;
    try_except_log(
        [&] {
            py::object kept = own_dict(self, names.risk_positions);
            py::object instrument = get(record, names.InstrumentID);
            py::object by_key = get(kept, instrument);
            if (by_key.is_none()) {
                by_key = py::dict();
                setitem(kept, instrument, by_key);
            }
            py::object key = checked(PyTuple_Pack(3, get(record, names.PosiDirection).ptr(),
                                                  get(record, names.PositionDate).ptr(), get(record, names.HedgeFlag).ptr()));
            // A copy: the engine's own list keeps this very dict and updates it with the side's next record.
            setitem(by_key, key, checked(PyDict_Copy(record.ptr())));
        },
        "risk limits: the position record cannot be kept");
}

void apply_risk_limits(py::handle self, py::handle investor, py::handle instrument, py::list& decisions) {
    if (PyList_GET_SIZE(decisions.ptr()) == 0) return;
    py::object limits = engine::optional_attribute(self, names.risk_limits);
    if (!limits) return;
    py::list kept;
    try_except(
        [&] {
            Gate gate(self, investor, instrument, limits);
            for_each(decisions, [&](py::handle decision) {
                if (std::optional<Breach> breach = gate.check(decision)) {
                    gate.withhold(decision, *breach);
                } else {
                    kept.append(decision);
                }
            });
            gate.remember(PyList_GET_SIZE(kept.ptr()));
        },
        [&](const py::error_already_set&) {
            log_error("risk limits: the decisions could not be checked; only closes are returned");
            kept = py::list();
            for_each(decisions, [&](py::handle decision) {
                py::object action = getitem(decision, integer(0));
                if (equals(action, names.buy_close) || equals(action, names.sell_close)) kept.append(decision);
            });
        });
    decisions = std::move(kept);
}

}  // namespace oxa::strategy
