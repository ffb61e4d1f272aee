// The native tick loop of the research road. It replays the ticks of column batches as the
// replay's client does, for the ticks on which nothing but the statistics and the strategy's
// conditions happen: no new instrument, trading day or chart minute, no resting order, no
// decision. Every other tick, and each decision, is handed to the client's own Python code,
// with the client's objects brought up to date first and read back after; so the exchange, the
// account and the outputs are the client's, and only the quiet ticks run here.
#include <cmath>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "research/arrow_column.hpp"
#include "research/evaluator.hpp"
#include "research/register.hpp"
#include "research/statistics.hpp"

namespace oxa::research {
namespace {

constexpr double seconds_per_day = 86400, evening = 18 * 3600;
constexpr std::int64_t progress_step = 1024;

// Python's float floor division and modulo, as the interpreter computes them.
double floor_divide(double x, double y) {
    double mod = std::fmod(x, y);
    double div = (x - mod) / y;
    if (mod != 0 && ((y < 0) != (mod < 0))) div -= 1.0;
    if (div == 0) return std::copysign(0.0, x / y);
    double floored = std::floor(div);
    return div - floored > 0.5 ? floored + 1.0 : floored;
}

double modulo(double x, double y) {
    double mod = std::fmod(x, y);
    if (mod != 0) return (y < 0) != (mod < 0) ? mod + y : mod;
    return std::copysign(0.0, y);
}

// An attribute name as an interned str, made once per literal: the loop reads and writes
// the client's attributes on every event.
py::handle name(const char* text) {
    static std::unordered_map<const char*, PyObject*> made;
    PyObject*& made_name = made[text];
    if (made_name == nullptr) {
        made_name = PyUnicode_InternFromString(text);  // kept for the life of the process
        if (made_name == nullptr) throw py::error_already_set();
    }
    return made_name;
}

// The road's exception for a run that needs the exact engine.
py::object unsupported_type() { return py::module_::import("brindle_tools.native").attr(name("Unsupported")); }

[[noreturn]] void unsupported(const std::string& why) {
    PyErr_SetObject(unsupported_type().ptr(), py::str(why).ptr());
    throw py::error_already_set();
}

std::optional<Value> optional_value(py::handle object) {
    if (object.is_none()) return std::nullopt;
    return from_python(object.ptr());
}

py::object python_value(const std::optional<Value>& value) {
    if (!value) return py::none();
    return py::reinterpret_steal<py::object>(to_python(*value));
}

double as_double(py::handle object) { return py::cast<double>(object); }

// A strategy text: its native program, or what Python evaluates and the names it reads.
struct Expression {
    py::object program;  // a Program, or None
    const Program* native = nullptr;
    py::object code;  // the compiled code, or the text when it does not compile
    std::vector<std::pair<py::object, int>> names;  // (name, slot) of the names it reads
};

struct Action {
    py::object name, volume;
    Expression condition, price;
};

// One batch of ticks as the reader made it, with the columns the loop reads.
struct Batch {
    py::object source, file;
    ArrowColumn keys, days, lines, instruments, bad;
    bool has_bad = false;
    std::int64_t size = 0;
    int layout = 0;  // batches of one file have the same columns
    std::vector<std::pair<int, ArrowColumn>> numbers;  // (slot, column)
    std::vector<std::pair<int, int>> others;  // (slot, position among the row's values)
    int quote[6];  // LastPrice, Volume, BidPrice1, BidVolume1, AskPrice1, AskVolume1 among numbers

    Value number(std::size_t at, std::int64_t row) const {
        const ArrowColumn& column = numbers[at].second;
        return column.type() == ArrowColumn::Type::Float64 ? Value::real(column.real(row))
                                                            : Value::integer(column.whole(row));
    }
};

struct Instrument {
    enum class State { Unknown, Active, Passive } state = State::Unknown;
    py::object id, view, holding;  // the client's Instrument and its account holding
    // The strategy and the instrument's attributes, as slots of the run's names.
    std::vector<Action> opens, closes;
    std::vector<Value> slots;
    std::vector<py::object> objects;  // where a slot holds no native value: its object, if any
    std::vector<int> positions;  // ... or its position among the last row's values (-1: none)
    py::object exchange, engine;  // the engine the slots were read from
    bool has_position = false;
    // The client's bookkeeping, while the loop keeps it.
    std::int64_t ticks = 0, engine_ticks = 0, skipped = 0;
    double last_time = -INFINITY;
    std::shared_ptr<Batch> last_batch;
    std::int64_t last_row = -1;
    std::optional<Value> volume, dropped_from, last_price;
    Value market_volume = Value::integer(0);
    std::int64_t point = -1;
    bool open_orders = false, touched = false;
    // The holding, for its valuation at the last price.
    std::int64_t lots = 0;
    double value = 0, multiple = 0, long_average = 0, short_average = 0;
    double long_volume = 0, short_volume = 0;
};

struct Stream {
    py::object batches;  // iterator of prepared batches
    std::shared_ptr<Batch> batch;
    std::int64_t row = 0;
};

class TickLoop {
public:
    TickLoop(py::object driver, py::object client, py::object progress, py::dict statistic_slots,
             std::size_t slot_count, double day_close)
        : driver_(std::move(driver)), client_(std::move(client)), progress_(std::move(progress)),
          slot_count_(slot_count), day_close_(day_close) {
        auto slot = [&](const char* name) { return py::cast<int>(statistic_slots[name]); };
        at_ = {slot("LastPrice"),         slot("Volume"),           slot("LastPrice_Cur_Up"),
               slot("LastPrice_Cur_Keep"), slot("LastPrice_Cur_Down"), slot("LastPrice_Acc_Up"),
               slot("LastPrice_Acc_Keep"), slot("LastPrice_Acc_Down"), slot("order_acc_up"),
               slot("order_acc_keep"),     slot("order_acc_down"),   slot("vol_diff"),
               slot("order_TradeVolume"),  slot("BidPrice1"),        slot("BidVolume1"),
               slot("BidVolume"),          slot("order_BidVolume"),  slot("AskPrice1"),
               slot("AskVolume1"),         slot("AskVolume"),        slot("order_AskVolume")};
        totals_ = client_.attr(name("totals"));
        series_ = client_.attr(name("series"));
        account_ = client_.attr(name("account"));
        clock_ = client_.attr(name("clock"));
    }

    void set_strategy(std::size_t index, py::object id, py::list opens, py::list closes) {
        Instrument& instrument = at(index);
        instrument.id = std::move(id);
        instrument.opens = actions(opens);
        instrument.closes = actions(closes);
    }

    void run(py::list streams) {
        std::vector<Stream> heads;
        for (py::handle batches : streams) {
            Stream stream{py::iter(batches), nullptr, 0};
            if (advance(stream)) heads.push_back(std::move(stream));
        }
        sync_in();
        try {
            while (!heads.empty()) {
                // The earliest tick; on equal times the file named first, as the reader merges.
                std::size_t next = 0;
                for (std::size_t i = 1; i < heads.size(); ++i) {
                    if (heads[i].batch->keys.real(heads[i].row) < heads[next].batch->keys.real(heads[next].row)) {
                        next = i;
                    }
                }
                Stream& stream = heads[next];
                current_ = stream.batch;
                row_ = stream.row;
                tick();
                if (++stream.row == stream.batch->size && !advance(stream)) heads.erase(heads.begin() + next);
            }
        } catch (...) {
            sync_out();
            throw;
        }
        sync_out();
    }

    // The engine's step for the tick that the client's own code is handling.
    py::object evaluate_current() {
        engine_ = client_.attr(name("engine"));
        Instrument& instrument = at(current_->instruments.whole(row_));
        instrument.has_position = has_position(instrument);
        py::object decisions = evaluate(instrument);
        return decisions.is_none() ? py::list() : decisions;
    }

private:
    Instrument& at(std::size_t index) {
        if (index >= instruments_.size()) instruments_.resize(index + 1);
        return instruments_[index];
    }

    std::vector<Action> actions(py::list list) {
        std::vector<Action> made;
        for (py::handle item : list) {
            py::tuple action = py::reinterpret_borrow<py::tuple>(item);
            made.push_back({action[0], action[3], expression(action[1]), expression(action[2])});
        }
        return made;
    }

    static Expression expression(py::handle spec) {
        py::tuple parts = py::reinterpret_borrow<py::tuple>(spec);
        Expression made{parts[0], nullptr, parts[1], {}};
        if (!made.program.is_none()) made.native = &py::cast<const Program&>(made.program);
        for (py::handle pair : py::reinterpret_borrow<py::list>(parts[2])) {
            made.names.emplace_back(py::reinterpret_borrow<py::object>(pair[py::int_(0)]),
                                    py::cast<int>(pair[py::int_(1)]));
        }
        return made;
    }

    bool advance(Stream& stream) {
        for (;;) {
            py::object next = py::reinterpret_steal<py::object>(PyIter_Next(stream.batches.ptr()));
            if (!next) {
                if (PyErr_Occurred()) throw py::error_already_set();
                return false;
            }
            stream.batch = prepare(next);
            stream.row = 0;
            if (stream.batch->size) return true;
        }
    }

    static std::shared_ptr<Batch> prepare(py::handle prepared) {
        auto batch = std::make_shared<Batch>();
        batch->source = prepared.attr(name("batch"));
        batch->file = batch->source.attr(name("file"));
        batch->keys = ArrowColumn(prepared.attr(name("keys")));
        batch->days = ArrowColumn(prepared.attr(name("days")));
        batch->lines = ArrowColumn(prepared.attr(name("lines")));
        batch->instruments = ArrowColumn(prepared.attr(name("instruments")));
        py::object bad = prepared.attr(name("bad"));
        batch->has_bad = !bad.is_none();
        if (batch->has_bad) batch->bad = ArrowColumn(bad);
        batch->size = batch->keys.size();
        batch->layout = py::cast<int>(prepared.attr(name("layout")));
        for (py::handle pair : prepared.attr(name("numbers"))) {
            batch->numbers.emplace_back(py::cast<int>(pair[py::int_(0)]), ArrowColumn(pair[py::int_(1)]));
        }
        for (py::handle pair : prepared.attr(name("others"))) {
            batch->others.emplace_back(py::cast<int>(pair[py::int_(0)]), py::cast<int>(pair[py::int_(1)]));
        }
        py::list quote = prepared.attr(name("quote"));
        for (int i = 0; i < 6; ++i) batch->quote[i] = py::cast<int>(quote[i]);
        return batch;
    }

    // --- one tick -------------------------------------------------------------------------

    void tick() {
        const Batch& batch = *current_;
        if (batch.has_bad && batch.bad.whole(row_)) return;
        Instrument& instrument = at(batch.instruments.whole(row_));
        if (instrument.state == Instrument::State::Passive) {
            ++instrument.skipped;
            instrument.touched = moved_ = true;
            return;
        }
        double time = batch.keys.real(row_);
        double minute = floor_divide(time, 60);
        Value volume = batch.number(batch.quote[1], row_);
        bool handed_over = instrument.state == Instrument::State::Unknown || time < instrument.last_time ||
                           (time == instrument.last_time && same_numbers(instrument)) ||
                           batch.days.whole(row_) != trading_day_ || !series_minute_ ||
                           minute != *series_minute_ || instrument.point != series_point_ || instrument.open_orders ||
                           (instrument.volume && is_true(compare(volume, *instrument.volume, Py_LT)));
        if (handed_over) {
            hand_over(instrument, time);
            return;
        }
        // What the client does on a tick, but the events above.
        instrument.last_time = time;
        instrument.touched = true;
        moved_ = true;
        if (!clock_seconds_ || time > *clock_seconds_) clock_seconds_ = time;
        ++instrument.ticks;
        if (++totals_ticks_ % progress_step == 0) {
            progress_.attr(name("update"))(progress_step);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        Value last_price = batch.number(batch.quote[0], row_);
        instrument.last_price = last_price;
        Value traded = Value::integer(0);
        if (instrument.volume) {
            std::optional<Value> base = *instrument.volume;
            if (instrument.dropped_from && is_true(compare(volume, *instrument.dropped_from, Py_GE))) {
                base = instrument.dropped_from;
            }
            traded = need(subtract(volume, *base), "the traded volume");
        }
        instrument.volume = volume;
        instrument.dropped_from.reset();
        instrument.market_volume = need(add(instrument.market_volume, traded), "the market volume");
        double in_day = modulo(time, seconds_per_day);
        bool closed = day_close_ <= in_day && in_day < evening;
        if (instrument.lots != 0 || instrument.value != 0) mark(instrument);
        py::object decisions = evaluate(instrument);
        ++instrument.engine_ticks;
        if (!decisions.is_none()) {
            // Sending orders reads where the tick is, the clock and how many ticks the engine
            // has seen, and changes only the resting orders of the loop's figures.
            set_place();
            instrument.view.attr(name("engine_ticks")) = instrument.engine_ticks;
            driver_.attr(name("decide"))(instrument.view, batch.source, row_, decisions, closed);
            instrument.open_orders = py::len(instrument.view.attr(name("open_orders"))) > 0;
        }
    }

    // The client's place in the ticks: the tick the loop is on, and its clock.
    void set_place() {
        if (clock_seconds_) clock_.attr(name("seconds")) = *clock_seconds_;
        client_.attr(name("file")) = current_->file;
        client_.attr(name("line")) = current_->lines.whole(row_);
        client_.attr(name("time")) = current_->keys.real(row_);
    }

    static bool is_true(std::optional<bool> answer) {
        if (!answer) unsupported("a cumulative volume that is not a number");
        return *answer;
    }

    static Value need(std::optional<Value> value, const char* what) {
        if (!value) unsupported(std::string(what) + " is beyond what the native road computes");
        return *value;
    }

    // Whether the row's numbers equal those of the instrument's previous tick (then only the
    // client's code can tell whether the row repeats it).
    bool same_numbers(const Instrument& instrument) const {
        const Batch& batch = *current_;
        const Batch* last = instrument.last_batch.get();
        if (last == nullptr || last->layout != batch.layout) return true;
        for (std::size_t i = 0; i < batch.numbers.size(); ++i) {
            std::optional<bool> equal =
                compare(batch.number(i, row_), last->number(i, instrument.last_row), Py_EQ);
            if (!equal || !*equal) return false;
        }
        return true;
    }

    // The client's own code handles the tick.
    void hand_over(Instrument& instrument, double time) {
        sync_out();
        bool same_time = time == instrument.last_time && instrument.last_batch;
        py::object last_values = same_time ? instrument.last_batch->source.attr(name("row"))(instrument.last_row) : py::none();
        py::object admitted = driver_.attr(name("full"))(current_->source, row_, last_values);
        if (instrument.state == Instrument::State::Unknown) adopt(instrument);
        if (py::cast<bool>(admitted)) {
            instrument.last_batch = current_;
            instrument.last_row = row_;
        }
        sync_in();
    }

    // An instrument the client has now seen: traded, or skipped.
    void adopt(Instrument& instrument) {
        py::object view = client_.attr(name("instruments")).attr(name("get"))(instrument.id);
        if (!view.is_none()) {
            instrument.state = Instrument::State::Active;
            instrument.view = view;
            instrument.holding = view.attr(name("holding"));
        } else if (totals_.attr(name("skipped")).contains(instrument.id)) {
            instrument.state = Instrument::State::Passive;
        }
    }

    // Account.mark: the holding valued at its last price, the drawdown followed.
    void mark(Instrument& instrument) {
        double price = instrument.last_price->kind == Value::Kind::Float ? instrument.last_price->f
                                                                          : static_cast<double>(instrument.last_price->i);
        double value = ((price - instrument.long_average) * instrument.long_volume -
                        (price - instrument.short_average) * instrument.short_volume) *
                       instrument.multiple;
        open_value_ += value - instrument.value;
        instrument.value = value;
        double equity = gross_ - fees_ + open_value_;
        if (equity > high_) {
            high_ = equity;
        } else if (equity < low_) {
            low_ = equity;
        }
        if (equity > peak_) {
            peak_ = equity;
        } else if (peak_ - equity > deepest_) {
            deepest_ = peak_ - equity;
            if (deepest_ > drawdown_) {
                drawdown_ = deepest_;
                if (capital_ + peak_ == 0) unsupported("a drawdown against a capital of nothing");
                drawdown_percent_ = 100.0 * drawdown_ / (capital_ + peak_);
            }
        }
    }

    // --- the engine's step ----------------------------------------------------------------

    // The decisions of the tick: a list, or None when there is none.
    py::object evaluate(Instrument& instrument) {
        bind(instrument);
        const Batch& batch = *current_;
        Quote quote{};
        Value* fields[] = {&quote.last, &quote.volume, &quote.bid, &quote.bid_volume, &quote.ask, &quote.ask_volume};
        for (int i = 0; i < 6; ++i) *fields[i] = batch.number(batch.quote[i], row_);
        if (!fold_quote(instrument.slots.data(), at_, quote)) {
            unsupported("a statistic of " + py::str(instrument.id).cast<std::string>() +
                        " is not a number the native road computes");
        }
        for (std::size_t i = 0; i < batch.numbers.size(); ++i) {
            int slot = batch.numbers[i].first;
            instrument.slots[slot] = batch.number(i, row_);
            instrument.positions[slot] = -1;
        }
        for (const auto& [slot, position] : batch.others) {
            instrument.slots[slot] = Value::other();
            instrument.objects[slot] = py::object();
            instrument.positions[slot] = position;
        }
        instrument.last_batch = current_;
        instrument.last_row = row_;
        py::object decisions = py::none();  // a list once a decision is taken
        try {
            for (const Action& action : instrument.opens) decide(instrument, action, decisions);
            if (instrument.has_position) {
                for (const Action& action : instrument.closes) decide(instrument, action, decisions);
            }
        } catch (py::error_already_set& failure) {
            if (!failure.matches(PyExc_Exception) || failure.matches(unsupported_type())) throw;
            driver_.attr(name("tick_failed"))(failure.value());
        }
        return decisions;
    }

    void decide(Instrument& instrument, const Action& action, py::object& decisions) {
        if (!fires(instrument, action.condition)) return;
        std::optional<py::object> price = value_of(instrument, action.price);
        if (!price) return;
        if (decisions.is_none()) decisions = py::list();
        py::reinterpret_borrow<py::list>(decisions).append(
            py::make_tuple(action.name, instrument.exchange, *price, action.volume));
    }

    // Whether the condition fires: evaluated, and equal to True.
    bool fires(Instrument& instrument, const Expression& condition) {
        if (condition.native != nullptr) {
            if (std::optional<Value> value = condition.native->run(instrument.slots.data())) {
                if (std::optional<bool> equal = compare(*value, Value::boolean(true), Py_EQ)) return *equal;
            }
        }
        std::optional<py::object> value = value_of(instrument, condition);
        if (!value) return false;
        int equal = PyObject_RichCompareBool(value->ptr(), Py_True, Py_EQ);
        if (equal < 0) throw py::error_already_set();
        return equal != 0;
    }

    // The text's value; none where evaluating it failed (Python has logged why).
    std::optional<py::object> value_of(Instrument& instrument, const Expression& expression) {
        if (expression.native != nullptr) {
            if (std::optional<Value> value = expression.native->run(instrument.slots.data())) {
                return py::reinterpret_steal<py::object>(to_python(*value));
            }
        }
        py::dict names;
        for (const auto& [name, slot] : expression.names) {
            py::object value = slot_object(instrument, slot);
            if (value) names[name] = value;
        }
        py::tuple answer = driver_.attr(name("python_value"))(expression.code, names);
        if (py::cast<int>(answer[0]) != 0) return std::nullopt;
        return py::reinterpret_borrow<py::object>(answer[1]);
    }

    // A slot's value as the attribute dictionary holds it; null where the name is not there.
    py::object slot_object(const Instrument& instrument, int slot) {
        if (instrument.slots[slot].kind != Value::Kind::Other) return python_value(instrument.slots[slot]);
        if (instrument.positions[slot] >= 0) {
            return instrument.last_batch->source.attr(name("value"))(instrument.last_row, instrument.positions[slot]);
        }
        return instrument.objects[slot];
    }

    // The instrument's slots from its attribute dictionary in the client's engine, once per
    // engine (a restarted client has a new one).
    void bind(Instrument& instrument) {
        const py::object& engine = engine_;
        if (instrument.engine.is(engine)) return;
        py::dict attributes = engine.attr(name("get_InstrumentAttr"))(instrument.id);
        py::list names = driver_.attr(name("slot_names"));
        instrument.slots.assign(slot_count_, Value::other());
        instrument.objects.assign(slot_count_, py::object());
        instrument.positions.assign(slot_count_, -1);
        for (std::size_t slot = 0; slot < slot_count_; ++slot) {
            PyObject* value = PyDict_GetItemWithError(attributes.ptr(), names[slot].ptr());
            if (value == nullptr) {
                if (PyErr_Occurred()) throw py::error_already_set();
                continue;
            }
            instrument.slots[slot] = from_python(value);
            if (instrument.slots[slot].kind == Value::Kind::Other) {
                instrument.objects[slot] = py::reinterpret_borrow<py::object>(value);
            }
        }
        const int* statistics = &at_.last_price;
        for (std::size_t i = 0; i < sizeof(at_) / sizeof(int); ++i) {
            int slot = statistics[i];
            // The tick's own fields are written before they are read.
            if (slot == at_.bid_price || slot == at_.bid_volume || slot == at_.ask_price ||
                slot == at_.ask_volume || slot == at_.vol_diff) {
                continue;
            }
            if (instrument.slots[slot].kind == Value::Kind::Other) {
                unsupported("the attribute " + py::str(names[slot]).cast<std::string>() + " of " +
                            py::str(instrument.id).cast<std::string>() + " is not a number before the first tick");
            }
        }
        if (!attributes.contains("ExchangeID")) unsupported("an instrument without ExchangeID");
        instrument.exchange = attributes["ExchangeID"];
        instrument.engine = engine;
    }

    bool has_position(const Instrument& instrument) const {
        py::object positions = engine_.attr(name("get_Position"))(instrument.id);
        return !positions.is_none() && py::len(positions) > 0;
    }

    // --- the client's objects -------------------------------------------------------------

    // The client's objects take what the loop kept since the client last ran.
    void sync_out() {
        if (!moved_) return;
        moved_ = false;
        totals_.attr(name("ticks")) = totals_ticks_;
        set_place();
        account_.attr(name("open_value")) = open_value_;
        account_.attr(name("high")) = high_;
        account_.attr(name("low")) = low_;
        account_.attr(name("peak")) = peak_;
        account_.attr(name("deepest")) = deepest_;
        account_.attr(name("drawdown")) = drawdown_;
        account_.attr(name("drawdown_percent")) = drawdown_percent_;
        py::object skipped = totals_.attr(name("skipped"));
        for (Instrument& instrument : instruments_) {
            if (!instrument.touched) continue;
            instrument.touched = false;
            if (instrument.state == Instrument::State::Passive) {
                skipped[instrument.id] = py::int_(py::cast<std::int64_t>(skipped[instrument.id]) + instrument.skipped);
                instrument.skipped = 0;
                continue;
            }
            py::object view = instrument.view;
            view.attr(name("ticks")) = instrument.ticks;
            view.attr(name("engine_ticks")) = instrument.engine_ticks;
            view.attr(name("last_time")) = instrument.last_time;
            view.attr(name("volume")) = python_value(instrument.volume);
            view.attr(name("dropped_from")) = python_value(instrument.dropped_from);
            view.attr(name("market_volume")) = python_value(instrument.market_volume);
            py::object prices = view.attr(name("prices"));
            prices[py::int_(-1)] = python_value(instrument.last_price);
            instrument.holding.attr(name("last_price")) = python_value(instrument.last_price);
            instrument.holding.attr(name("value")) = instrument.value;
        }
    }

    // ... and the loop takes what the client's code left.
    void sync_in() {
        totals_ticks_ = py::cast<std::int64_t>(totals_.attr(name("ticks")));
        py::object seconds = clock_.attr(name("seconds"));
        clock_seconds_ = seconds.is_none() ? std::nullopt : std::optional<double>(as_double(seconds));
        py::object minute = series_.attr(name("minute"));
        series_minute_ = minute.is_none() ? std::nullopt : std::optional<double>(as_double(minute));
        series_point_ = py::cast<std::int64_t>(series_.attr(name("point")));
        trading_day_ = py::cast<std::int64_t>(driver_.attr(name("day_code"))(client_.attr(name("trading_day"))));
        gross_ = as_double(account_.attr(name("gross")));
        fees_ = as_double(account_.attr(name("fees")));
        open_value_ = as_double(account_.attr(name("open_value")));
        high_ = as_double(account_.attr(name("high")));
        low_ = as_double(account_.attr(name("low")));
        peak_ = as_double(account_.attr(name("peak")));
        deepest_ = as_double(account_.attr(name("deepest")));
        drawdown_ = as_double(account_.attr(name("drawdown")));
        drawdown_percent_ = as_double(account_.attr(name("drawdown_percent")));
        capital_ = as_double(account_.attr(name("capital")));
        engine_ = client_.attr(name("engine"));
        for (Instrument& instrument : instruments_) {
            if (instrument.state != Instrument::State::Active) continue;
            py::object view = instrument.view, holding = instrument.holding;
            instrument.ticks = py::cast<std::int64_t>(view.attr(name("ticks")));
            instrument.engine_ticks = py::cast<std::int64_t>(view.attr(name("engine_ticks")));
            instrument.last_time = as_double(view.attr(name("last_time")));
            instrument.volume = optional_value(view.attr(name("volume")));
            instrument.dropped_from = optional_value(view.attr(name("dropped_from")));
            instrument.market_volume = from_python(view.attr(name("market_volume")).ptr());
            instrument.point = py::cast<std::int64_t>(view.attr(name("point")));
            instrument.open_orders = py::len(view.attr(name("open_orders"))) > 0;
            instrument.last_price = optional_value(holding.attr(name("last_price")));
            instrument.lots = py::cast<std::int64_t>(holding.attr(name("lots")));
            instrument.value = as_double(holding.attr(name("value")));
            instrument.multiple = as_double(holding.attr(name("multiple")));
            py::dict sides = holding.attr(name("sides"));
            for (auto item : sides) {
                py::handle side = item.second;
                double volume = as_double(side.attr(name("today"))) + as_double(side.attr(name("yesterday")));
                double average = as_double(side.attr(name("average")));
                bool long_side = py::cast<int>(side.attr(name("sign"))) > 0;
                (long_side ? instrument.long_volume : instrument.short_volume) = volume;
                (long_side ? instrument.long_average : instrument.short_average) = average;
            }
            instrument.has_position = !engine_.is_none() && has_position(instrument);
            for (const std::optional<Value>* kept : {&instrument.volume, &instrument.dropped_from}) {
                if (*kept && (*kept)->kind == Value::Kind::Other) unsupported("a cumulative volume that is not a number");
            }
        }
    }

    py::object driver_, client_, progress_, totals_, series_, account_, clock_;
    py::object engine_;  // the client's engine, as the client last left it
    std::size_t slot_count_;
    double day_close_;
    StatisticSlots at_{};
    std::vector<Instrument> instruments_;
    std::shared_ptr<Batch> current_;
    std::int64_t row_ = 0;
    bool moved_ = false;  // quiet ticks since the client last ran
    // The client's and the account's figures while the loop keeps them.
    std::int64_t totals_ticks_ = 0, series_point_ = -1, trading_day_ = -1;
    std::optional<double> clock_seconds_, series_minute_;
    double gross_ = 0, fees_ = 0, open_value_ = 0, high_ = 0, low_ = 0, peak_ = 0, deepest_ = 0, drawdown_ = 0;
    double drawdown_percent_ = 0, capital_ = 0;
};

}  // namespace

void register_tick_loop(py::module_& m) {
    py::class_<TickLoop>(m, "TickLoop")
        .def(py::init<py::object, py::object, py::object, py::dict, std::size_t, double>(), py::arg("driver"),
             py::arg("client"), py::arg("progress"), py::arg("statistic_slots"), py::arg("slot_count"),
             py::arg("day_close"))
        .def("set_strategy", &TickLoop::set_strategy)
        .def("run", &TickLoop::run)
        .def("evaluate_current", &TickLoop::evaluate_current);
}

}  // namespace oxa::research
