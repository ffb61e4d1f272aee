// The native tick loop of the research road. It replays the ticks of column batches as the
// replay's client does, for the ticks on which little more than the statistics and the
// strategy's conditions happen: no new instrument or trading day, no resting order that fills or
// goes stale, no decision but those that place no order (decision_desk.hpp). Every other tick,
// and each other decision, is handed to the client's own Python code, with the client's objects
// brought up to date first and read back after; so the exchange, the account and the outputs are
// the client's, and only the quiet ticks run here.
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "research/account_figures.hpp"
#include "research/column_batch.hpp"
#include "research/decision_desk.hpp"
#include "research/register.hpp"
#include "research/strategy_step.hpp"

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

bool is_true(std::optional<bool> answer) {
    if (!answer) unsupported("a cumulative volume that is not a number");
    return *answer;
}

Value need(std::optional<Value> value, const char* what) {
    if (!value) unsupported(std::string(what) + " is beyond what the native road computes");
    return *value;
}

// Twin: Instrument in brindle_tools/replay/client.py, over the fields of road.CLIENT_FIELDS; the
// loop keeps its figures while it runs, and its attributes and strategy.
struct Instrument {
    enum class State { Unknown, Active, Passive } state = State::Unknown;  // Passive: no strategy
    py::object view, holding;
    StrategyStep strategy;
    std::int64_t ticks = 0, engine_ticks = 0, skipped = 0, point = -1;
    double last_time = -INFINITY;
    double day_close = 0;  // seconds of the day from which its day session is over
    std::optional<double> price_tick;  // its holding's; none where it is not a number
    std::optional<Value> volume, dropped_from, last_price;
    Value market_volume = Value::integer(0);
    bool open_orders = false, quote_taken = false, touched = false;
    std::size_t touched_at = 0;  // its place in TickLoop::touched_ while touched
    HoldingFigures figures;
    // Chart points not yet in the client's arrays (array("l") and array("d")), and the last
    // price of the point before each.
    std::vector<long> new_points;
    std::vector<double> closed_prices;

    void write() {
        write_points();
        view.attr(field("Instrument.ticks")) = ticks;
        view.attr(field("Instrument.engine_ticks")) = engine_ticks;
        view.attr(field("Instrument.last_time")) = last_time;
        view.attr(field("Instrument.volume")) = python_value(volume);
        view.attr(field("Instrument.dropped_from")) = python_value(dropped_from);
        view.attr(field("Instrument.market_volume")) = python_value(market_volume);
        py::object prices = view.attr(field("Instrument.prices"));
        prices[py::int_(-1)] = python_value(last_price);
        holding.attr(field("Holding.last_price")) = python_value(last_price);
        holding.attr(field("Holding.value")) = figures.value;
    }

    void read() {
        ticks = py::cast<std::int64_t>(view.attr(field("Instrument.ticks")));
        engine_ticks = py::cast<std::int64_t>(view.attr(field("Instrument.engine_ticks")));
        last_time = as_double(view.attr(field("Instrument.last_time")));
        volume = optional_value(view.attr(field("Instrument.volume")));
        dropped_from = optional_value(view.attr(field("Instrument.dropped_from")));
        market_volume = from_python(view.attr(field("Instrument.market_volume")).ptr());
        point = py::cast<std::int64_t>(view.attr(field("Instrument.point")));
        open_orders = py::len(view.attr(field("Instrument.open_orders"))) > 0;
        // A taken quote is shown every tick (see_quotes); untaken, its state is the current quote
        // whatever the loop skipped.
        py::object quotes = view.attr(field("Instrument.quotes"));
        quote_taken = py::cast<bool>(py::bool_(quotes.attr(field("Quotes.ask_taken")))) ||
                      py::cast<bool>(py::bool_(quotes.attr(field("Quotes.bid_taken"))));
        last_price = optional_value(holding.attr(field("Holding.last_price")));
        figures.read(holding);
        for (const std::optional<Value>* kept : {&volume, &dropped_from}) {
            if (*kept && (*kept)->kind == Value::Kind::Other) unsupported("a cumulative volume that is not a number");
        }
    }

    // Twin: the chart's point in Client.tick (brindle_tools/replay/client.py). The
    // instrument's first tick in the chart's point: the previous point keeps the last
    // price it had, the new one starts with this tick's. The points of numbers wait here for
    // the client's arrays (write): at many instruments most ticks start a point.
    void start_point(std::int64_t series_point, Value price) {
        point = series_point;
        if (last_price && detail::native(*last_price) && detail::native(price)) {
            closed_prices.push_back(detail::real_of(*last_price));
            new_points.push_back(series_point);
            return;
        }
        write_points();
        py::object prices = view.attr(field("Instrument.prices"));
        prices[py::int_(-1)] = python_value(last_price);
        view.attr(field("Instrument.point")) = point;
        view.attr(field("Instrument.points")).attr(name("append"))(point);
        prices.attr(name("append"))(python_value(price));
    }

    // The client's arrays take the points started since: points.append(point) and
    // prices.append(its first price) for each, prices[-1] then the last price of its point.
    void write_points() {
        if (new_points.empty()) return;
        py::object prices = view.attr(field("Instrument.prices"));
        prices[py::int_(-1)] = closed_prices.front();
        closed_prices.push_back(0);  // the current point's: the caller sets prices[-1]
        view.attr(field("Instrument.point")) = point;
        view.attr(field("Instrument.points"))
            .attr(name("frombytes"))(py::bytes(reinterpret_cast<const char*>(new_points.data()),
                                               new_points.size() * sizeof(long)));
        prices.attr(name("frombytes"))(py::bytes(reinterpret_cast<const char*>(closed_prices.data() + 1),
                                                 new_points.size() * sizeof(double)));
        new_points.clear();
        closed_prices.clear();
    }

    // Twin: Quotes.see in brindle_tools/market/exchange.py, while a quote is taken: a changed
    // quote, or any volume traded, releases what a fill took.
    void see_quotes(const ColumnBatch& batch, std::int64_t row, const Value& traded) {
        py::object quotes = view.attr(field("Instrument.quotes"));
        bool any_traded = *truth(traded);  // a number: traded_since gives none other
        struct Side {
            int price, volume;
            const char *quote, *taken;
        };
        quote_taken = false;
        for (const Side& side : {Side{batch.quote[4], batch.quote[5], "Quotes.ask", "Quotes.ask_taken"},
                                 Side{batch.quote[2], batch.quote[3], "Quotes.bid", "Quotes.bid_taken"}}) {
            py::tuple now = py::make_tuple(python_value(batch.number(side.price, row)),
                                           python_value(batch.number(side.volume, row)));
            // `traded or quote != self.ask`: the quote is compared only where nothing traded.
            int changed =
                any_traded ? 1 : PyObject_RichCompareBool(now.ptr(), quotes.attr(field(side.quote)).ptr(), Py_NE);
            if (changed < 0) throw py::error_already_set();
            if (changed) {
                quotes.attr(field(side.quote)) = now;
                quotes.attr(field(side.taken)) = 0;
            } else {
                quote_taken = quote_taken || py::bool_(quotes.attr(field(side.taken)));
            }
        }
    }

    // Twin: Instrument.traded_since in brindle_tools/replay/client.py, but for a volume that
    // went down, which the client's code handles. Below the level before a drop nothing counts.
    Value traded_since(Value now) {
        Value traded = traded_at(now);
        if (volume && dropped_from && !is_true(compare(now, *dropped_from, Py_LT))) dropped_from.reset();
        volume = now;
        return traded;
    }

    // What traded_since(now) gives, the instrument left as it is.
    Value traded_at(const Value& now) const {
        if (volume && !dropped_from) return need(subtract(now, *volume), "the traded volume");
        if (volume && !is_true(compare(now, *dropped_from, Py_LT))) {
            return need(subtract(now, *dropped_from), "the traded volume");
        }
        return Value::integer(0);
    }

    // Twin: Broker.cancel_stale in brindle_tools/market/broker.py, asked only whether an order
    // rested `after` seconds or more by the clock `now`.
    bool order_stale(double now, double after) const {
        for (py::handle order : view.attr(field("Instrument.open_orders"))) {
            py::object placed = order.attr(field("Order.placed"));
            if (!PyFloat_CheckExact(placed.ptr()) || !(now - PyFloat_AS_DOUBLE(placed.ptr()) < after)) return true;
        }
        return false;
    }

    // Twin: ExchangeFills.match in brindle_tools/market/exchange.py, asked only whether the tick
    // fills a resting order, with no quote taken; false marks the orders resting, as match does.
    bool fills_any(const ColumnBatch& batch, std::int64_t row, const Value& traded, double absent) const {
        auto number = [&](int at) { return batch.number(batch.quote[at], row); };
        Value last = number(0), bid = number(2), ask = number(4);
        auto shown = [&](const Value& price, const Value& volume) {  // exchange.shown(...) > 0
            Value zero = Value::integer(0), none = Value::real(absent);
            return is_true(compare(zero, price, Py_LT)) && is_true(compare(price, none, Py_LT)) &&
                   is_true(compare(zero, volume, Py_LT)) && is_true(compare(volume, none, Py_LT));
        };
        bool ask_shown = shown(ask, number(5)), bid_shown = shown(bid, number(3));
        std::optional<bool> any_traded = truth(traded);
        if (!any_traded) return true;
        py::list orders = view.attr(field("Instrument.open_orders"));
        for (py::handle order : orders) {
            Value price = from_python(order.attr(field("Order.price")).ptr());
            bool buy = py::bool_(order.attr(field("Order.buy")));
            std::optional<bool> quoted = compare(buy ? ask : bid, price, buy ? Py_LE : Py_GE);
            std::optional<bool> through = compare(last, price, buy ? Py_LT : Py_GT);
            if (!quoted || !through) return true;
            if (((buy ? ask_shown : bid_shown) && *quoted) || (*any_traded && *through)) return true;
        }
        for (py::handle order : orders) order.attr(field("Order.resting")) = py::bool_(true);
        return false;
    }
};

struct Stream {
    py::object batches;  // iterator of prepared batches
    std::shared_ptr<ColumnBatch> batch;
    std::int64_t row = 0;
};

// A stream's next tick, as the streams are merged: the earliest first; on equal times the file
// ranked first, then its earlier line, then the stream given first (as the reader merges).
struct Next {
    double time;
    std::int64_t rank, line;
    std::size_t stream;
};

Next next_of(const Stream& stream, std::size_t index) {
    const ColumnBatch& batch = *stream.batch;
    return Next{batch.keys.real(stream.row), batch.rank, batch.lines.whole(stream.row), index};
}

// The heap's order: whether x comes after y.
bool later(const Next& x, const Next& y) {
    if (x.time != y.time) return x.time > y.time;
    if (x.rank != y.rank) return x.rank > y.rank;
    return x.line != y.line ? x.line > y.line : x.stream > y.stream;
}

class TickLoop {
public:
    TickLoop(py::object driver, py::object client, py::object progress, py::dict statistic_slots,
             py::object name_slots)
        : driver_(std::move(driver)), client_(std::move(client)), progress_(std::move(progress)),
          slot_names_(driver_.attr(name("slot_names"))), desk_(driver_.attr(name("desk"))()),
          cancel_after_(py::cast<double>(driver_.attr(name("cancel_after")))) {
        if (!name_slots.is_none()) name_slots_.emplace(name_slots);
        at_ = statistic_slots_of(statistic_slots);
        totals_ = client_.attr(field("Client.totals"));
        series_ = client_.attr(field("Client.series"));
        account_ = client_.attr(field("Client.account"));
        clock_ = client_.attr(field("Client.clock"));
    }

    void set_strategy(std::size_t index, py::object id, py::list opens, py::list closes) {
        at(index).strategy.set_strategy(std::move(id), std::move(opens), std::move(closes));
    }

    void run(py::list streams) {
        std::vector<Stream> heads;
        for (py::handle batches : streams) {
            Stream stream{py::iter(batches), nullptr, 0};
            if (advance(stream)) heads.push_back(std::move(stream));
        }
        // A heap of the streams' next ticks, the earliest first: the cost of a tick does not grow
        // with them. Each entry holds its tick's keys, so comparing two reads no column.
        std::vector<Next> order;
        for (std::size_t i = 0; i < heads.size(); ++i) order.push_back(next_of(heads[i], i));
        std::make_heap(order.begin(), order.end(), later);
        sync_in(nullptr);
        try {
            while (!order.empty()) {
                std::pop_heap(order.begin(), order.end(), later);
                Next& next = order.back();
                Stream& stream = heads[next.stream];
                // The stream goes on while its next tick comes before the other streams' first.
                for (;;) {
                    if (current_ != stream.batch) current_ = stream.batch;
                    row_ = stream.row;
                    tick();
                    if (++stream.row == stream.batch->size && !advance(stream)) {
                        stream = Stream{};  // a finished stream holds no batch to the end of the run
                        order.pop_back();
                        break;
                    }
                    next = next_of(stream, next.stream);
                    if (order.size() > 1 && later(next, order.front())) {
                        std::push_heap(order.begin(), order.end(), later);
                        break;
                    }
                }
            }
        } catch (...) {
            sync_out();
            throw;
        }
        sync_out();
    }

    // (file, line, InstrumentID) of the tick being replayed, for a strategy's failure.
    py::tuple where() const {
        return py::make_tuple(current_->file, current_->lines.whole(row_),
                              instruments_.at(current_->instruments.whole(row_)).strategy.id());
    }

    // The engine's step for the tick that the client's own code is handling.
    py::object evaluate_current() {
        engine_ = client_.attr(field("Client.engine"));
        StrategyStep& strategy = at(current_->instruments.whole(row_)).strategy;
        strategy.read_holding(engine_, name_slots_.has_value());
        py::object decisions = evaluate(strategy, as_double(clock_.attr(field("Clock.seconds"))));
        return decisions.is_none() ? py::list() : decisions;
    }

private:
    Instrument& at(std::size_t index) {
        if (index >= instruments_.size()) instruments_.resize(index + 1);
        return instruments_[index];
    }

    // The instrument has figures the client's objects have not yet.
    void touch(Instrument& instrument, std::int64_t index) {
        moved_ = true;
        if (instrument.touched) return;
        instrument.touched = true;
        instrument.touched_at = touched_.size();
        touched_.push_back(static_cast<std::size_t>(index));
    }

    bool advance(Stream& stream) {
        for (;;) {
            py::object next = py::reinterpret_steal<py::object>(PyIter_Next(stream.batches.ptr()));
            if (!next) {
                if (PyErr_Occurred()) throw py::error_already_set();
                return false;
            }
            stream.batch = read_batch(next);
            stream.row = 0;
            if (stream.batch->size) return true;
        }
    }

    // --- one tick -------------------------------------------------------------------------

    // Twin: Client.tick in brindle_tools/replay/client.py, for a quiet tick.
    void tick() {
        const ColumnBatch& batch = *current_;
        if (batch.has_bad && batch.bad.whole(row_)) return;
        std::int64_t index = batch.instruments.whole(row_);
        Instrument& instrument = at(index);
        if (instrument.state == Instrument::State::Passive) {
            ++instrument.skipped;
            touch(instrument, index);
            return;
        }
        double time = batch.keys.real(row_);
        double minute = minute_of(time);
        double in_day = in_day_of(time);
        bool closed = instrument.day_close <= in_day && in_day < evening;
        Value volume = batch.number(batch.quote[1], row_);
        bool handed_over = instrument.state == Instrument::State::Unknown || time < instrument.last_time ||
                           (time == instrument.last_time && same_numbers(instrument.strategy)) ||
                           batch.days.whole(row_) != trading_day_ || !series_minute_ ||
                           (instrument.volume && is_true(compare(volume, *instrument.volume, Py_LT))) ||
                           (instrument.open_orders && orders_move(instrument, volume, closed, time));
        if (handed_over) {
            hand_over(instrument, time);
            return;
        }
        // What the client does on a tick, but the events above.
        instrument.last_time = time;
        touch(instrument, index);
        if (!clock_seconds_ || time > *clock_seconds_) clock_seconds_ = time;
        if (minute != *series_minute_) start_minute(minute);
        ++instrument.ticks;
        if (++totals_ticks_ % progress_step == 0) {
            progress_.attr(name("update"))(progress_step);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        Value last_price = batch.number(batch.quote[0], row_);
        if (instrument.point != series_point_) instrument.start_point(series_point_, last_price);
        instrument.last_price = last_price;
        Value traded = instrument.traded_since(volume);
        instrument.market_volume = need(add(instrument.market_volume, traded), "the market volume");
        if (instrument.quote_taken) instrument.see_quotes(batch, row_, traded);
        if (instrument.figures.held()) {
            account_figures_.mark(instrument.figures, last_price.kind == Value::Kind::Float
                                                          ? last_price.f
                                                          : static_cast<double>(last_price.i));
        }
        py::object decisions = evaluate(instrument.strategy, *clock_seconds_);
        ++instrument.engine_ticks;
        if (!decisions.is_none()) decide(instrument, py::reinterpret_borrow<py::list>(decisions), closed);
    }

    // The desk settles the decisions it can; the client's code takes the others, in their order.
    void decide(Instrument& instrument, const py::list& decisions, bool closed) {
        const ColumnBatch& batch = *current_;
        DecisionPlace place{batch, row_, instrument.strategy.id(), trading_day_object_, instrument.figures,
                            instrument.price_tick, instrument.engine_ticks, closed};
        bool sent = false;
        for (py::handle decision : decisions) {
            if (desk_.settle(decision, place)) continue;
            if (!sent) {
                // Sending orders reads where the tick is, the clock, how many ticks the engine
                // has seen and the account's equity (the broker's funds check), and changes only
                // the resting orders of the loop's figures.
                set_place();
                account_figures_.write(account_);
                instrument.view.attr(field("Instrument.engine_ticks")) = instrument.engine_ticks;
                sent = true;
            }
            py::list one;
            one.append(decision);
            driver_.attr(name("decide"))(instrument.view, batch.source, row_, one, closed);
        }
        if (!sent) return;
        instrument.open_orders = py::len(instrument.view.attr(field("Instrument.open_orders"))) > 0;
        // The engine's orders changed: the strategy's names read them on the ticks the loop keeps.
        instrument.strategy.read_holding(engine_, name_slots_.has_value());
    }

    // Whether the instrument's resting orders need the client's code on this tick: one is
    // cancelled as stale, fills, or meets a quote still taken (marked resting where none does).
    bool orders_move(const Instrument& instrument, const Value& volume, bool closed, double time) {
        if (instrument.quote_taken) return true;
        double now = clock_seconds_ && *clock_seconds_ >= time ? *clock_seconds_ : time;  // the client's clock
        if (cancel_after_ != 0 && instrument.order_stale(now, cancel_after_)) return true;
        return !closed && instrument.fills_any(*current_, row_, instrument.traded_at(volume), desk_.absent());
    }

    // time // 60 and time % 86400 as Python computes them; within the minute or day of the last
    // tick, where the division is exact, without dividing.
    double minute_of(double time) {
        if (!(minute_start_ <= time && time < minute_start_ + 60)) {
            minute_ = floor_divide(time, 60);
            minute_start_ = time >= 0 && time < 0x1p52 ? minute_ * 60 : NAN;
        }
        return minute_;
    }

    double in_day_of(double time) {
        if (day_start_ <= time && time < day_start_ + seconds_per_day) return time - day_start_;
        double in_day = modulo(time, seconds_per_day);
        day_start_ = time >= 0 && time < 0x1p52 ? time - in_day : NAN;
        return in_day;
    }

    py::object evaluate(StrategyStep& strategy, double clock) {
        strategy.bind(engine_, slot_names_, at_, name_slots_ ? &*name_slots_ : nullptr);
        return strategy.step(current_, row_, at_, driver_, clock);
    }

    // Whether the row's numbers equal those of the instrument's previous tick (then only the
    // client's code can tell whether the row repeats it).
    bool same_numbers(const StrategyStep& strategy) const {
        const ColumnBatch& batch = *current_;
        const ColumnBatch* last = strategy.last_batch.get();
        if (last == nullptr || last->layout != batch.layout) return true;
        for (std::size_t i = 0; i < batch.numbers.size(); ++i) {
            std::optional<bool> equal = compare(batch.number(i, row_), last->number(i, strategy.last_row), Py_EQ);
            if (!equal || !*equal) return false;
        }
        return true;
    }

    // The client's own code handles the tick.
    void hand_over(Instrument& instrument, double time) {
        // The client's code reads the figures of the tick's instrument only, but on a new
        // trading day, when it closes the day for all.
        sync_out(current_->days.whole(row_) == trading_day_ ? &instrument : nullptr);
        const StrategyStep& strategy = instrument.strategy;
        bool same_time = time == instrument.last_time && strategy.last_batch;
        py::object last_values =
            same_time ? strategy.last_batch->source.attr(name("row"))(strategy.last_row) : py::none();
        driver_.attr(name("full"))(current_->source, row_, last_values);
        if (instrument.state == Instrument::State::Unknown) adopt(instrument);
        sync_in(&instrument);
    }

    // An instrument the client has now seen: traded, or skipped.
    void adopt(Instrument& instrument) {
        const py::object& id = instrument.strategy.id();
        py::object view = client_.attr(field("Client.instruments")).attr(name("get"))(id);
        if (!view.is_none()) {
            instrument.state = Instrument::State::Active;
            instrument.view = view;
            instrument.holding = view.attr(field("Instrument.holding"));
            instrument.day_close = as_double(view.attr(field("Instrument.day_close")));
            // A price tick the desk takes: a float, or an int a float holds (one beyond fails in
            // on_grid's division, which the client's code then meets).
            py::object price_tick = instrument.holding.attr(field("Holding.price_tick"));
            if (PyFloat_Check(price_tick.ptr())) {
                instrument.price_tick = PyFloat_AS_DOUBLE(price_tick.ptr());
            } else if (PyLong_Check(price_tick.ptr()) && !PyBool_Check(price_tick.ptr())) {
                double tick = PyLong_AsDouble(price_tick.ptr());
                if (tick == -1.0 && PyErr_Occurred()) {
                    PyErr_Clear();
                } else {
                    instrument.price_tick = tick;
                }
            }
        } else if (totals_.attr(field("Totals.skipped")).contains(id)) {
            instrument.state = Instrument::State::Passive;
        }
    }

    // --- the client's objects -------------------------------------------------------------

    // The chart's point of a new minute (Series.new_point), ending the last one with the
    // account's figures as the loop has them.
    void start_minute(double minute) {
        account_figures_.write(account_);
        series_.attr(field("Series.new_point"))(minute, account_);
        account_figures_.read(account_);  // the extremes start again
        series_minute_ = minute;
        series_point_ = py::cast<std::int64_t>(series_.attr(field("Series.point")));
    }

    // The client's place in the ticks: the tick the loop is on, and its clock.
    void set_place() {
        if (clock_seconds_) clock_.attr(field("Clock.seconds")) = *clock_seconds_;
        client_.attr(field("Client.file")) = current_->file;
        client_.attr(field("Client.line")) = current_->lines.whole(row_);
        client_.attr(field("Client.time")) = current_->keys.real(row_);
    }

    // The client's objects take what the loop kept since the client last ran: the totals, the
    // place and the account, and the figures of every instrument the loop touched, or of
    // `only` (the others' wait for a later sync).
    void sync_out(Instrument* only = nullptr) {
        if (!moved_) return;
        totals_.attr(field("Totals.ticks")) = totals_ticks_;
        set_place();
        account_figures_.write(account_);
        if (only != nullptr) {
            if (only->touched) {
                std::size_t last = touched_.back();
                touched_[only->touched_at] = last;
                instruments_[last].touched_at = only->touched_at;
                touched_.pop_back();
                write_back(*only);
            }
            moved_ = !touched_.empty();
            return;
        }
        moved_ = false;
        for (std::size_t index : touched_) write_back(instruments_[index]);
        touched_.clear();
    }

    void write_back(Instrument& instrument) {
        instrument.touched = false;
        if (instrument.state != Instrument::State::Passive) {
            instrument.write();
            return;
        }
        py::object skipped = totals_.attr(field("Totals.skipped"));
        const py::object& id = instrument.strategy.id();
        skipped[id] = py::int_(py::cast<std::int64_t>(skipped[id]) + instrument.skipped);
        instrument.skipped = 0;
    }

    // ... and the loop takes what the client's code left: the client's figures, and the
    // instruments it may have changed. A tick changes its own instrument only, but for a new
    // trading day (orders expire, volumes restart, positions roll) or a new engine, which
    // change them all.
    void sync_in(Instrument* handled) {
        totals_ticks_ = py::cast<std::int64_t>(totals_.attr(field("Totals.ticks")));
        py::object seconds = clock_.attr(field("Clock.seconds"));
        clock_seconds_ = seconds.is_none() ? std::nullopt : std::optional<double>(as_double(seconds));
        py::object minute = series_.attr(field("Series.minute"));
        series_minute_ = minute.is_none() ? std::nullopt : std::optional<double>(as_double(minute));
        series_point_ = py::cast<std::int64_t>(series_.attr(field("Series.point")));
        trading_day_object_ = client_.attr(field("Client.trading_day"));
        std::int64_t day_before = trading_day_;
        trading_day_ = py::cast<std::int64_t>(driver_.attr(name("day_code"))(trading_day_object_));
        account_figures_.read(account_);
        py::object engine = client_.attr(field("Client.engine"));
        bool all = handled == nullptr || trading_day_ != day_before || !engine.is(engine_);
        engine_ = engine;
        if (!all) {
            if (handled->state == Instrument::State::Active) read_instrument(*handled);
            return;
        }
        for (Instrument& instrument : instruments_) {
            if (instrument.state == Instrument::State::Active) read_instrument(instrument);
        }
    }

    void read_instrument(Instrument& instrument) {
        instrument.read();
        if (engine_.is_none()) {
            instrument.strategy.has_position = false;
        } else {
            instrument.strategy.read_holding(engine_, name_slots_.has_value());
        }
    }

    py::object driver_, client_, progress_, totals_, series_, account_, clock_;
    py::object engine_;  // the client's engine, as the client last left it
    py::list slot_names_;  // the run's names, by slot
    std::optional<NameSlots> name_slots_;  // with the engine's strategy names on
    StatisticSlots at_{};
    DecisionDesk desk_;
    double cancel_after_;  // seconds after which a resting order is cancelled (0: never)
    std::vector<Instrument> instruments_;
    std::vector<std::size_t> touched_;  // instruments with figures for the client's objects
    std::shared_ptr<ColumnBatch> current_;
    std::int64_t row_ = 0;
    bool moved_ = false;  // quiet ticks since the client last ran
    // The client's figures while the loop keeps them.
    std::int64_t totals_ticks_ = 0, series_point_ = -1, trading_day_ = -1;
    py::object trading_day_object_;  // the client's trading day, trading_day_ its code
    double minute_ = 0, minute_start_ = NAN, day_start_ = NAN;  // of the last tick (minute_of, in_day_of)
    std::optional<double> clock_seconds_, series_minute_;
    AccountFigures account_figures_;
};

}  // namespace

// Instrument::traded_since from a state of the instrument, for the parity test of the twins.
py::tuple traded_since(py::handle volume, py::handle dropped_from, py::handle now) {
    Instrument instrument;
    instrument.volume = optional_value(volume);
    instrument.dropped_from = optional_value(dropped_from);
    Value traded = instrument.traded_since(from_python(now.ptr()));
    return py::make_tuple(python_value(traded), python_value(instrument.volume), python_value(instrument.dropped_from));
}

void register_tick_loop(py::module_& m, py::module_& twins) {
    twins.def("traded_since", &traded_since, py::arg("volume"), py::arg("dropped_from"), py::arg("now"),
              "(traded, volume, dropped_from) after a tick of cumulative volume `now`; a volume that went "
              "down is the client's to handle.");
    py::class_<TickLoop>(m, "TickLoop")
        .def(py::init<py::object, py::object, py::object, py::dict, py::object>(), py::arg("driver"),
             py::arg("client"), py::arg("progress"), py::arg("statistic_slots"), py::arg("name_slots"))
        .def("set_strategy", &TickLoop::set_strategy)
        .def("run", &TickLoop::run)
        .def("evaluate_current", &TickLoop::evaluate_current)
        .def("where", &TickLoop::where);
}

}  // namespace oxa::research
