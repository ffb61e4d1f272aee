#include "strategy/tick.hpp"

#include <datetime.h>

#include <utility>

#include "engine/construction.hpp"
#include "interop/except.hpp"
#include "interop/iteration.hpp"
#include "strategy/risk_limits.hpp"
#include "strategy/settings_reload.hpp"
#include "strategy/strategy_names.hpp"

namespace oxa::strategy {
namespace {

using Pair = std::pair<py::object, py::object>;

// self.Calc_Express(instrument, strategy[key]) as (status, value).
Pair calculate(py::handle self, py::handle instrument, py::handle strategy, PyObject* key) {
    py::object expression = getitem(strategy, py::handle(key));
    return unpack_pair(call_method(self, names.Calc_Express, {instrument.ptr(), expression.ptr()}));
}

struct Action {
    PyObject* name;
    PyObject* condition;
    PyObject* price;
    PyObject* volume;
};

// `value == target`, target being 0 or True (`number` its value): an int or a bool, the
// usual status and flag, equals it exactly when its value does; anything else compares as
// Python compares it.
bool equals_number(py::handle value, long number, PyObject* target) {
    if (PyLong_CheckExact(value.ptr()) || PyBool_Check(value.ptr())) {
        int overflow = 0;
        long held = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
        return !overflow && held == number;
    }
    return equals(value, target);
}

// One action: its condition fires on status 0 and a flag equal to True; then its price is
// evaluated, and a decision is appended when that succeeds as well.
void decide(py::handle self, py::handle instrument, py::handle strategy, py::handle exchange,
            const Action& action, py::list& decisions) {
    py::object zero = integer(0);
    auto [status, flag] = calculate(self, instrument, strategy, action.condition);
    if (!equals_number(status, 0, zero.ptr()) || !equals_number(flag, 1, Py_True)) return;
    auto [price_status, price] = calculate(self, instrument, strategy, action.price);
    if (!equals_number(price_status, 0, zero.ptr())) return;
    py::object volume = getitem(strategy, py::handle(action.volume));
    py::object decision = checked(PyTuple_Pack(4, action.name, exchange.ptr(), price.ptr(), volume.ptr()));
    if (PyList_Append(decisions.ptr(), decision.ptr()) < 0) throw_error();
}

// The datetime C interface, imported on first use.
void import_datetime() {
    if (PyDateTimeAPI) return;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw_error();
}

// `datetime.now()` of the tick, asked for on first use when `datetime` is the standard class
// (whose now() does nothing but read the clock), at once for any other clock, as a host's
// clock may count or log its calls.
class TickTime {
public:
    TickTime() : clock_(global(names.datetime)) {
        import_datetime();
        if (clock_.ptr() != reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType)) get();
    }
    const py::object& get() {
        if (!now_) now_ = call_method(clock_, names.now);
        return now_;
    }

private:
    py::object clock_, now_;
};

// Whether the factors are due for a refresh at the tick's time: refreshing is on and more
// whole seconds than the period have passed since the last refresh, days included; a clock
// that went back makes the difference negative, and that refreshes too.
bool refresh_due(py::handle self, TickTime& time) {
    static PyObject* seconds_per_day = PyLong_FromLong(86400);
    if (!seconds_per_day) throw_error();
    py::object one = integer(1);
    if (!equals(getattr(global(names.myDEnv), names.Real_Fresh_Factor), one)) return false;
    py::handle now = time.get();
    py::object last = getattr(self, names.update_factor_date);
    py::object difference = subtract(now, last);
    py::object elapsed;
    if (PyDelta_CheckExact(difference.ptr())) {
        // A plain timedelta: its fields read directly, without the attribute lookups.
        elapsed = checked(PyLong_FromLongLong(PyDateTime_DELTA_GET_DAYS(difference.ptr()) * 86400LL +
                                              PyDateTime_DELTA_GET_SECONDS(difference.ptr())));
    } else {
        py::object days = getattr(difference, names.days);
        py::object seconds = getattr(difference, names.seconds);
        elapsed = add(checked(PyNumber_Multiply(days.ptr(), seconds_per_day)), seconds);
    }
    py::object period = getattr(global(names.myDEnv), names.update_factor_period);
    return compare(elapsed, period, Py_GT) || compare(elapsed, integer(0), Py_LT);
}

}  // namespace

// Twin: StrategyStep::step in oxa/research/strategy_step.cpp, and Road.tick_failed for its handler.
py::object push_md2trade(py::handle self, py::handle i_InvestorID, py::handle i_InstrumentID,
                         py::handle dict_new_md) {
    py::list decisions;
    note_trading_day(self, dict_new_md);
    try_except(
        [&] {
            if (!PyUnicode_Check(i_InvestorID.ptr()) || !PyUnicode_Check(i_InstrumentID.ptr()) ||
                !PyDict_Check(dict_new_md.ptr())) {
                return;
            }
            py::object attributes = call_method(self, names.get_InstrumentAttr, {i_InstrumentID.ptr()});
            py::object exchange = getitem(attributes, py::handle(names.ExchangeID));
            call_method(self, names.statMD, {attributes.ptr(), dict_new_md.ptr()});
            setitem(dict_new_md, py::handle(names.ExchangeID), exchange);
            call_method(attributes, names.update, {dict_new_md.ptr()});

            auto reload = [&] {
                // Re-executed only when its source changed: the engine's opt-in `reload_on_change` equals 1.
                bool only_when_changed = engine::optional_switch_on(self, names.reload_on_change);
                py::object reload = global(names.reload);
                py::object settings = global(names.myDEnv);
                reload_settings(reload, settings, only_when_changed);
            };
            try {
                TickTime time;
                if (refresh_due(self, time)) {
                    call_method(self, names.updateFactor);
                    setattr(self, names.update_factor_date, time.get());
                }
            } catch (py::error_already_set& failure) {
                if (!failure.matches(PyExc_Exception)) throw;
                // The settings module is executed all the same, so that a file that broke the
                // check can be mended; an error of that execution does not replace this one.
                {
                    HandledException handled(failure);
                    try_except(reload, [](const py::error_already_set&) {});
                }
                throw;
            }
            reload();
            if (engine::optional_switch_on(self, names.strategy_names)) {
                update_strategy_names(self, i_InstrumentID, attributes);
            }

            py::object strategy;
            try_except(
                [&] {
                    py::object table = getattr(global(names.myDEnv), names.AI_Strategy);
                    strategy = getitem(getitem(table, i_InvestorID), i_InstrumentID);
                },
                [&](const py::error_already_set&) {
                    py::object message = add(names.no_strategy_for, i_InvestorID);
                    message = add(add(add(message, names.dot), i_InstrumentID), names.closing_parenthesis);
                    log(names.warning, message);
                });
            if (!strategy) return;

            decide(self, i_InstrumentID, strategy, exchange,
                   {names.buy_open, names.buy_open_express, names.buy_open_price, names.buy_open_vol}, decisions);
            decide(self, i_InstrumentID, strategy, exchange,
                   {names.sell_open, names.sell_open_express, names.sell_open_price, names.sell_open_vol},
                   decisions);
            py::object positions = call_method(self, names.get_Position, {i_InstrumentID.ptr()});
            if (positions.is_none()) return;
            Py_ssize_t held = PyObject_Length(positions.ptr());
            if (held < 0) throw_error();
            if (held == 0) return;
            decide(self, i_InstrumentID, strategy, exchange,
                   {names.buy_close, names.buy_close_express, names.buy_close_price, names.buy_close_vol},
                   decisions);
            decide(self, i_InstrumentID, strategy, exchange,
                   {names.sell_close, names.sell_close_express, names.sell_close_price, names.sell_close_vol},
                   decisions);
        },
        [&](const py::error_already_set&) { log_error(py::handle(names.push_md2trade)); });
    apply_risk_limits(self, i_InvestorID, i_InstrumentID, decisions);
    return decisions;
}

}  // namespace oxa::strategy
