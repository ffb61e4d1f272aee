#include "strategy/strategy_names.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/construction.hpp"
#include "interop/iteration.hpp"
#include "strategy/record_values.hpp"
#include "strategy/rolling.hpp"
#include "strategy/trading_figures.hpp"

namespace oxa::strategy {
namespace {

constexpr const char* capsule_name = "oxa.strategy_names";

std::string utf8(py::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw_error();
    return std::string(data, static_cast<std::size_t>(size));
}

std::string repr_text(py::handle value) { return utf8(checked(PyObject_Repr(value.ptr()))); }

// time_of_day of a str; -1 for anything else.
long time_of_day(py::handle value, bool more_allowed) {
    return PyUnicode_Check(value.ptr()) ? strategy::time_of_day(utf8(value), more_allowed) : -1;
}

// --- declarations ------------------------------------------------------------------------

struct Declared {
    py::object name, field;  // field: the attribute it reads
    RollingSpec spec;
};

// "N ticks", "N s" or "day"; false when it is none of them.
bool parse_window(py::handle value, RollingSpec& spec) {
    if (!PyUnicode_Check(value.ptr())) return false;
    std::string text = utf8(value);
    std::size_t first = text.find_first_not_of(' '), last = text.find_last_not_of(' ');
    if (first == std::string::npos) return false;
    text = text.substr(first, last - first + 1);
    if (text == "day") {
        spec.unit = RollingSpec::Unit::Day;
        return true;
    }
    std::size_t gap = text.find(' ');
    if (gap == std::string::npos) return false;
    std::string number = text.substr(0, gap), unit = text.substr(text.find_first_not_of(' ', gap));
    bool whole = true;
    int dots = 0;
    for (char c : number) {
        if (c == '.') {
            ++dots;
            whole = false;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    if (number.empty() || dots > 1 || number.front() == '.' || number.back() == '.') return false;
    spec.length = std::strtod(number.c_str(), nullptr);
    if (!(spec.length > 0) || !std::isfinite(spec.length)) return false;
    if (unit == "tick" || unit == "ticks") {
        spec.unit = RollingSpec::Unit::Ticks;
        return whole;
    }
    if (unit == "s" || unit == "sec" || unit == "second" || unit == "seconds") {
        spec.unit = RollingSpec::Unit::Seconds;
        return true;
    }
    return false;
}

// A name the engine writes itself (the statistics, the tick's quote, the trading state).
bool reserved(py::handle name) {
    static PyObject* const own[] = {
        names.UpdateTime, names.ExchangeID, names.bid_order_book, names.ask_order_book, names.trade_book,
        names.__builtins__, names.vol_diff, names.BidPrice1, names.BidVolume1, names.AskPrice1, names.AskVolume1,
        names.BidVolume, names.AskVolume, names.LastPrice_Cur_Up, names.LastPrice_Acc_Up, names.LastPrice_Cur_Keep,
        names.LastPrice_Acc_Keep, names.LastPrice_Cur_Down, names.LastPrice_Acc_Down, names.order_acc_up,
        names.order_acc_keep, names.order_acc_down, names.order_TradeVolume, names.order_BidVolume,
        names.order_AskVolume, names.LastPrice, names.Volume, names.day_seconds, names.session_left};
    for (PyObject* key : own) {
        if (PyUnicode_Compare(name.ptr(), key) == 0) return true;
    }
    for (const char* key : trading_names) {
        if (PyUnicode_CompareWithASCIIString(name.ptr(), key) == 0) return true;
    }
    return false;
}

// Why the declaration cannot be computed; empty when it can, and then `declared` holds it.
std::string parse_declaration(py::handle name, py::handle declaration, Declared& declared) {
    using Kind = RollingSpec::Kind;
    if (!PyUnicode_Check(name.ptr()) || PyUnicode_IsIdentifier(name.ptr()) != 1) return "its name is not a Python name";
    if (reserved(name)) return "its name is one the engine writes itself";
    if (!(PyTuple_Check(declaration.ptr()) || PyList_Check(declaration.ptr())) || PySequence_Size(declaration.ptr()) != 3) {
        return "it is not (statistic, field, window)";
    }
    py::object kind = getitem(declaration, integer(0)), field = getitem(declaration, integer(1));
    py::object window = getitem(declaration, integer(2));
    static const std::pair<const char*, Kind> kinds[] = {{"mean", Kind::Mean}, {"max", Kind::Max}, {"min", Kind::Min},
                                                         {"sum", Kind::Sum},   {"ema", Kind::Ema}, {"vwap", Kind::Vwap}};
    bool known = false;
    for (const auto& [text, value] : kinds) {
        if (is_text(kind, text)) {
            declared.spec.kind = value;
            known = true;
        }
    }
    if (!known) return "the statistic is none of mean, max, min, sum, ema, vwap";
    if (field.is_none() && declared.spec.kind == Kind::Vwap) {
        field = py::reinterpret_borrow<py::object>(names.LastPrice);
    } else if (!PyUnicode_Check(field.ptr()) || PyUnicode_IsIdentifier(field.ptr()) != 1) {
        return "the field is not a name (None only for vwap, which then weights LastPrice)";
    }
    if (!parse_window(window, declared.spec)) return "the window is none of 'N ticks', 'N s', 'day'";
    if (declared.spec.kind == Kind::Ema && declared.spec.unit != RollingSpec::Unit::Ticks) {
        return "ema needs a window of N ticks";
    }
    declared.name = py::reinterpret_borrow<py::object>(name);
    declared.field = field;
    return {};
}

// --- sessions ----------------------------------------------------------------------------

bool parse_sessions(py::handle list, Sessions& sessions) {
    if (!(PyTuple_Check(list.ptr()) || PyList_Check(list.ptr()))) return false;
    bool sound = true;
    for_each(list, [&](py::handle pair) {
        if (!sound || !(PyTuple_Check(pair.ptr()) || PyList_Check(pair.ptr())) || PySequence_Size(pair.ptr()) != 2) {
            sound = false;
            return;
        }
        long start = time_of_day(getitem(pair, integer(0)), false), end = time_of_day(getitem(pair, integer(1)), false);
        sound = start >= 0 && end >= 0 && start != end;
        sessions.emplace_back(start, end);
    });
    return sound;
}

// --- the engine's state --------------------------------------------------------------------

struct Kept {
    std::optional<double> opened_at;  // clock seconds of the first tick that saw a position
    py::object trading_day;           // the last tick's TradingDay
    std::optional<double> clock_day;  // ... or, without one, its day by the clock
    std::vector<Rolling> indicators;
    std::size_t generation = 0;       // of the declarations the indicators were made for
};

struct State {
    py::object declarations, sessions_seen;
    bool declarations_read = false, sessions_read = false, sessions_usable = false;
    std::vector<Declared> declared;
    std::size_t generation = 0;
    Sessions all_sessions;
    py::dict sessions_by_key;  // instrument or product -> index into keyed_sessions
    std::vector<Sessions> keyed_sessions;
    std::unordered_map<std::string, Kept> instruments;

    void read_indicators(py::object found) {
        if (declarations_read && (found.ptr() == declarations.ptr() ||
                                  (found && declarations && equals(found, declarations)))) {
            return;
        }
        declarations_read = true;
        declarations = found;
        declared.clear();
        ++generation;
        if (!found || found.is_none()) return;
        if (!PyDict_Check(found.ptr())) {
            log(names.error, checked(PyUnicode_FromFormat(
                                 "strategy names: Indicators is a %s, not a dictionary of indicators; none is computed",
                                 Py_TYPE(found.ptr())->tp_name)));
            return;
        }
        for_each_item(found, [&](py::handle name, py::handle declaration) {
            Declared made;
            std::string why = parse_declaration(name, declaration, made);
            if (why.empty()) {
                declared.push_back(std::move(made));
            } else {
                log(names.error, checked(PyUnicode_FromFormat("strategy names: indicator %s is refused: %s",
                                                              repr_text(name).c_str(), why.c_str())));
            }
        });
    }

    void read_sessions(py::object found) {
        if (sessions_read && (found.ptr() == sessions_seen.ptr() || (found && sessions_seen && equals(found, sessions_seen)))) {
            return;
        }
        sessions_read = true;
        sessions_seen = found;
        all_sessions.clear();
        keyed_sessions.clear();
        sessions_by_key = py::dict();
        sessions_usable = false;
        if (!found || found.is_none()) return;
        bool sound = true;
        if (PyDict_Check(found.ptr())) {
            for_each_item(found, [&](py::handle key, py::handle list) {
                Sessions parsed;
                sound = sound && parse_sessions(list, parsed);
                setitem(sessions_by_key, key, integer(static_cast<long>(keyed_sessions.size())));
                keyed_sessions.push_back(std::move(parsed));
            });
        } else {
            sound = parse_sessions(found, all_sessions);
        }
        sessions_usable = sound;
        if (!sound) {
            all_sessions.clear();
            keyed_sessions.clear();
            sessions_by_key = py::dict();
            log(names.error, text("strategy names: Sessions is refused: it is not a list of (start, end) times "
                                  "\"HH:MM\" or \"HH:MM:SS\", or a dictionary of such lists by instrument or product; "
                                  "session_left is not set"));
        }
    }

    // The sessions of an instrument; null when the table has none for it.
    const Sessions* sessions_of(py::handle instrument, py::handle attributes) {
        if (!sessions_usable) return nullptr;
        if (!PyDict_Check(sessions_seen.ptr())) return &all_sessions;
        for (py::object key : {py::reinterpret_borrow<py::object>(instrument), get(attributes, names.ProductID)}) {
            if (key.is_none()) continue;
            py::object index = get(sessions_by_key, key);
            if (!index.is_none()) return &keyed_sessions[py::cast<std::size_t>(index)];
        }
        return nullptr;
    }
};

// The engine's state in its attribute `strategy_names_state`, made when it has none; the
// caller holds the capsule while it uses the state, as host code may replace the attribute.
py::object state_capsule(py::handle self) {
    py::object capsule = engine::optional_attribute(self, names.strategy_names_state);
    if (!capsule || !PyCapsule_IsValid(capsule.ptr(), capsule_name)) {
        capsule = checked(PyCapsule_New(new State, capsule_name, [](PyObject* made) {
            delete static_cast<State*>(PyCapsule_GetPointer(made, capsule_name));
        }));
        setattr(self, names.strategy_names_state, capsule);
    }
    return capsule;
}

State& state_in(const py::object& capsule) {
    return *static_cast<State*>(PyCapsule_GetPointer(capsule.ptr(), capsule_name));
}

void read_declarations(State& state) {
    py::object settings = global(names.myDEnv);
    state.read_indicators(engine::optional_attribute(settings, names.Indicators));
    state.read_sessions(engine::optional_attribute(settings, names.Sessions));
}

// --- one tick ------------------------------------------------------------------------------

// The trading-state names, interned once.
PyObject* const* trading_keys() {
    static PyObject** keys = [] {
        auto** made = new PyObject*[trading_name_count];
        for (int i = 0; i < trading_name_count; ++i) {
            made[i] = PyUnicode_InternFromString(trading_names[i]);
            if (!made[i]) throw_error();
        }
        return made;
    }();
    return keys;
}

py::object number(const Figure& figure) {
    return checked(figure.whole ? PyLong_FromDouble(figure.value) : PyFloat_FromDouble(figure.value));
}

// What the instrument's position and order records tell.
Holding holding_of(py::handle self, py::handle instrument) {
    Holding holding;
    py::object positions = call_method(self, names.get_Position, {instrument.ptr()});
    if (!positions.is_none()) {
        for_each(positions, [&](py::handle record) {
            if (!PyDict_Check(record.ptr())) return;
            py::object direction = get(record, names.PosiDirection);
            int side = is_text(direction, "2") ? 0 : is_text(direction, "3") ? 1 : -1;
            if (side < 0) return;
            holding.lots[side] += as_double(get(record, names.Position));
            holding.today[side] += as_double(get(record, names.TodayPosition));
            py::object cost = get(record, names.OpenCost);
            holding.cost[side] += as_double(cost.is_none() ? get(record, names.PositionCost) : cost);
        });
    }
    py::object orders = call_method(self, names.get_Order_list, {instrument.ptr()});
    if (!orders.is_none()) {
        for_each(orders, [&](py::handle order) {
            if (!PyDict_Check(order.ptr())) return;
            py::object status = get(order, names.OrderStatus);
            if (!is_text(status, "1") && !is_text(status, "3")) return;  // partly traded or untraded, queueing
            py::object direction = get(order, names.Direction);
            int side = is_text(direction, "0") ? 0 : is_text(direction, "1") ? 1 : -1;
            if (side >= 0) holding.resting[side] += as_double(get(order, names.VolumeTotal));
        });
    }
    return holding;
}

void write_trading_state(py::handle self, py::handle instrument, py::handle attributes, Kept& kept,
                         std::optional<double> now, State& state) {
    Holding holding = holding_of(self, instrument);
    double multiple = as_double(get(attributes, names.VolumeMultiple));
    double last = as_double(get(attributes, names.LastPrice));
    std::vector<Figure> figures = trading_figures(holding, multiple, last, kept.opened_at, now);
    for (int i = 0; i < trading_name_count; ++i) setitem(attributes, py::handle(trading_keys()[i]), number(figures[i]));
    long time = time_of_day(get(attributes, names.UpdateTime), true);
    if (time < 0) return;
    setitem(attributes, py::handle(names.day_seconds), integer(day_seconds(time)));
    if (const Sessions* sessions = state.sessions_of(instrument, attributes)) {
        setitem(attributes, py::handle(names.session_left), integer(session_left(*sessions, time)));
    }
}

// Whether the tick begins a new trading day for the instrument: its TradingDay changed, or,
// without one, the clock passed 18:00.
bool new_trading_day(py::handle attributes, Kept& kept, std::optional<double> now) {
    py::object day = get(attributes, names.TradingDay);
    if (!day.is_none()) {
        bool changed = kept.trading_day && !equals(day, kept.trading_day);
        kept.trading_day = day;
        return changed;
    }
    if (!now) return false;
    double by_clock = clock_day(*now);
    bool changed = kept.clock_day && *kept.clock_day != by_clock;
    kept.clock_day = by_clock;
    return changed;
}

void write_indicators(py::handle attributes, Kept& kept, std::optional<double> now, const State& state) {
    bool new_day = new_trading_day(attributes, kept, now);
    if (kept.generation != state.generation) {
        kept.indicators.clear();
        for (const Declared& declared : state.declared) kept.indicators.emplace_back(declared.spec);
        kept.generation = state.generation;
    }
    if (state.declared.empty()) return;
    std::vector<Declared> declared = state.declared;  // the lookups below may run host code
    double weight = std::max(as_double(get(attributes, names.vol_diff)), 0.0);
    for (std::size_t i = 0; i < declared.size() && i < kept.indicators.size(); ++i) {
        py::object value = get(attributes, declared[i].field);
        // A field that is no number, or the feed's marker for none, leaves the tick out.
        if (!(PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()))) continue;
        double x = as_double(value);
        if (!(std::fabs(x) < absent_price)) continue;
        double result = kept.indicators[i].add(x, weight, now ? *now : 0.0, new_day);
        setitem(attributes, declared[i].name, checked(PyFloat_FromDouble(result)));
    }
}

}  // namespace

void start_strategy_names(py::handle self) { read_declarations(state_in(state_capsule(self))); }

void update_strategy_names(py::handle self, py::handle instrument, py::handle attributes) {
    py::object capsule = state_capsule(self);
    State& state = state_in(capsule);
    read_declarations(state);
    Kept& kept = state.instruments[utf8(instrument)];
    std::optional<double> now = clock_seconds();
    write_trading_state(self, instrument, attributes, kept, now, state);
    write_indicators(attributes, kept, now, state);
}

}  // namespace oxa::strategy
