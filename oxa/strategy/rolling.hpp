// A rolling indicator over one instrument's ticks, in constant amortised time per tick: the
// mean, maximum, minimum or sum of a field, its exponential average, or the average price
// weighted by the volume traded (VWAP), over the last N ticks, the last N seconds or the
// trading day. Plain C++, shared by the engine and the research road: the caller reads the
// tick's numbers and the clock.
#pragma once

#include <cmath>
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
    void add(double x) {
        double total = sum_ + x;
        compensation_ += std::fabs(sum_) >= std::fabs(x) ? (sum_ - total) + x : (x - total) + sum_;
        sum_ = total;
    }
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
    double add(double x, double weight, double time, bool new_day) {
        using Kind = RollingSpec::Kind;
        ++sequence_;
        if (spec_.kind == Kind::Ema) {
            ema_ = ema_ ? *ema_ + 2 / (spec_.length + 1) * (x - *ema_) : x;
            return *ema_;
        }
        if (new_day && spec_.unit == RollingSpec::Unit::Day) clear();
        Entry entry{sequence_, time, x, weight};
        if (spec_.kind == Kind::Max || spec_.kind == Kind::Min) {
            bool is_max = spec_.kind == Kind::Max;
            while (!extremes_.empty() && (is_max ? extremes_.back().x <= x : extremes_.back().x >= x)) {
                extremes_.pop_back();
            }
            extremes_.push_back(entry);
            while (expired(extremes_.front(), time)) extremes_.pop_front();
            return extremes_.front().x;
        }
        take(entry, 1);
        if (spec_.unit != RollingSpec::Unit::Day) {  // a day's sums only grow: no entries kept
            window_.push_back(entry);
            while (expired(window_.front(), time)) {
                take(window_.front(), -1);
                window_.pop_front();
            }
        }
        switch (spec_.kind) {
            case Kind::Sum: return sum_.value();
            case Kind::Mean: return sum_.value() / weights_.value();
            default: return weights_.value() > 0 ? sum_.value() / weights_.value() : x;  // VWAP; none traded: x
        }
    }

private:
    struct Entry {
        std::int64_t sequence;
        double time, x, weight;
    };

    bool expired(const Entry& entry, double time) const {
        switch (spec_.unit) {
            case RollingSpec::Unit::Ticks: return static_cast<double>(sequence_ - entry.sequence) >= spec_.length;
            case RollingSpec::Unit::Seconds: return entry.time <= time - spec_.length;
            case RollingSpec::Unit::Day: return false;
        }
        return false;
    }

    // Sums and means count ticks; VWAP sums price x volume and volume.
    void take(const Entry& entry, double sign) {
        bool weighted = spec_.kind == RollingSpec::Kind::Vwap;
        sum_.add(sign * (weighted ? entry.x * entry.weight : entry.x));
        weights_.add(sign * (weighted ? entry.weight : 1.0));
    }

    void clear() {
        window_.clear();
        extremes_.clear();
        sum_.clear();
        weights_.clear();
    }

    RollingSpec spec_;
    std::int64_t sequence_ = 0;
    std::deque<Entry> window_;    // the ticks in the window (sums, means, VWAP)
    std::deque<Entry> extremes_;  // candidates for the maximum or minimum, in tick order
    CompensatedSum sum_, weights_;
    std::optional<double> ema_;
};

}  // namespace oxa::strategy
