#pragma once

// The engine's step on a tick, natively: an instrument's attribute dictionary kept as slots of
// the run's names, the tick's statistics folded into them and its fields merged, and the
// strategy's conditions and prices evaluated, buy-open, sell-open, then with a position the
// closes. A text the native evaluator cannot compute is evaluated by Python (the driver's
// python_value) on a namespace of the names it reads.

#include <memory>
#include <utility>
#include <vector>

#include "research/column_batch.hpp"
#include "research/evaluator.hpp"
#include "research/statistics.hpp"
#include "strategy/rolling.hpp"
#include "strategy/trading_figures.hpp"

namespace oxa::research {

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

// Where the trading-state names and indicators of an engine with [PYTHON_SWITCH]
// strategy_names = 1 live among the slots (-1: the run has no such name), as
// brindle_tools.replay.native.road.Road.name_slots gives them.
struct NameSlots {
    explicit NameSlots(py::handle spec);

    std::vector<int> trading;  // of strategy::trading_names, in that order
    int day_seconds, session_left, update_time, trading_day, multiple;
    struct Indicator {
        int slot, field;
        strategy::RollingSpec spec;
    };
    std::vector<Indicator> indicators;
    bool day_windows = false;  // an indicator over the trading day
    py::object sessions;       // None, [(start, end)] or {instrument or product: [(start, end)]}
};

// Twin: COXAAlgos.push_md2trade in oxa/strategy/tick.cpp.
class StrategyStep {
public:
    // opens, closes: [(action, condition, price, volume)], each text as
    // brindle_tools.replay.native.road.Road.expression gives it.
    void set_strategy(py::object id, py::list opens, py::list closes);

    // The slots from the instrument's attribute dictionary in this engine, once per engine (a
    // restarted client has a new one); names: the run's names, by slot; name_slots: where the
    // trading-state names and indicators go, null when the switch is off.
    void bind(const py::object& engine, const py::list& names, const StatisticSlots& at,
              const NameSlots* name_slots);

    // What the engine's position and order records tell of the holding (has_position too).
    void read_holding(const py::object& engine, bool names_on);

    // The decisions of the tick at row of batch: a list, or None when there is none. clock:
    // the client's clock, in seconds.
    py::object step(const std::shared_ptr<ColumnBatch>& batch, std::int64_t row, const StatisticSlots& at,
                    py::handle driver, double clock);

    const py::object& id() const { return id_; }
    bool has_position = false;  // as the engine's positions have it
    // The tick last merged into the attributes.
    std::shared_ptr<ColumnBatch> last_batch;
    std::int64_t last_row = -1;

private:
    void merge(const std::shared_ptr<ColumnBatch>& batch, std::int64_t row);
    void decide(const Action& action, py::object& decisions, py::handle driver);
    bool fires(const Expression& condition, py::handle driver);
    std::optional<py::object> value_of(const Expression& expression, py::handle driver);
    py::object slot_object(std::size_t slot) const;
    double number_in(int slot) const;
    void write_names(const StatisticSlots& at, double clock);

    // The names' state, as the engine keeps it (oxa/strategy/strategy_names.cpp).
    const NameSlots* name_slots_ = nullptr;
    strategy::Holding holding_;
    std::optional<double> opened_at_, clock_day_;
    py::object trading_day_;
    std::vector<strategy::Rolling> indicators_;
    std::optional<strategy::Sessions> sessions_;

    py::object id_, exchange_, engine_;
    std::vector<Action> opens_, closes_;
    std::vector<Value> slots_;
    std::vector<py::object> objects_;  // where a slot holds no native value: its object, if any
    std::vector<int> positions_;  // ... or its position among the last row's values (-1: none)
};

}  // namespace oxa::research
