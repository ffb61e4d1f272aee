// A rolling indicator over one instrument's ticks, in constant amortised time per tick: the
// mean, maximum, minimum or sum of a field, its exponential average, or the average price
// weighted by the volume traded (VWAP), over the last N ticks, the last N seconds or the
// trading day. Plain C++: the caller reads the tick's numbers and the clock.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace oxa::strategy {

struct RollingSpec {
    enum class Kind { Mean, Max, Min, Sum, Ema, Vwap } kind = Kind::Mean;
    enum class Unit { Ticks, Seconds, Day } unit = Unit::Ticks;
    double length = 0;  // ticks or seconds
};

// A running sum that adds and takes away without drifting (Neumaier's compensation).
class CompensatedSum {
public:
    void add(double x);
    double value() const { return sum_ + compensation_; }
    void clear() { sum_ = compensation_ = 0; }

private:
    double sum_ = 0, compensation_ = 0;
};

class Rolling {
public:
    explicit Rolling(RollingSpec spec) : spec_(spec) {}

    // Takes a tick: its value x, the volume it traded (VWAP's weight), its time in seconds
    // and whether it starts a new trading day. Gives the indicator's value.
    double add(double x, double weight, double time, bool new_day);

private:
    struct Entry {
        std::int64_t sequence;
        double time, x, weight;
    };
    bool expired(const Entry& entry, double time) const;
    void clear();

    RollingSpec spec_;
    std::int64_t sequence_ = 0;
    std::deque<Entry> window_;   // the ticks in the window (sums, means, VWAP)
    std::deque<Entry> extremes_;  // candidates for the maximum or minimum, in tick order
    CompensatedSum sum_, weights_;
    std::optional<double> ema_;
};

}  // namespace oxa::strategy
