#include "strategy/rolling.hpp"

#include <cmath>

namespace oxa::strategy {

void CompensatedSum::add(double x) {
    double total = sum_ + x;
    compensation_ += std::fabs(sum_) >= std::fabs(x) ? (sum_ - total) + x : (x - total) + sum_;
    sum_ = total;
}

bool Rolling::expired(const Entry& entry, double time) const {
    switch (spec_.unit) {
        case RollingSpec::Unit::Ticks: return static_cast<double>(sequence_ - entry.sequence) >= spec_.length;
        case RollingSpec::Unit::Seconds: return entry.time <= time - spec_.length;
        case RollingSpec::Unit::Day: return false;
    }
    return false;
}

void Rolling::clear() {
    window_.clear();
    extremes_.clear();
    sum_.clear();
    weights_.clear();
}

double Rolling::add(double x, double weight, double time, bool new_day) {
    using Kind = RollingSpec::Kind;
    ++sequence_;
    if (spec_.kind == Kind::Ema) {
        double alpha = 2 / (spec_.length + 1);
        ema_ = ema_ ? *ema_ + alpha * (x - *ema_) : x;
        return *ema_;
    }
    if (new_day && spec_.unit == RollingSpec::Unit::Day) clear();
    Entry entry{sequence_, time, x, weight};
    if (spec_.kind == Kind::Max || spec_.kind == Kind::Min) {
        bool is_max = spec_.kind == Kind::Max;
        while (!extremes_.empty() && (is_max ? extremes_.back().x <= x : extremes_.back().x >= x)) extremes_.pop_back();
        extremes_.push_back(entry);
        while (expired(extremes_.front(), time)) extremes_.pop_front();
        return extremes_.front().x;
    }
    // Sums: a day's window only grows, so it keeps no entries.
    bool kept = spec_.unit != RollingSpec::Unit::Day;
    auto take = [&](const Entry& e, double sign) {
        if (spec_.kind == Kind::Vwap) {
            sum_.add(sign * e.x * e.weight);
            weights_.add(sign * e.weight);
        } else {
            sum_.add(sign * e.x);
            weights_.add(sign);
        }
    };
    take(entry, 1);
    if (kept) {
        window_.push_back(entry);
        while (expired(window_.front(), time)) {
            take(window_.front(), -1);
            window_.pop_front();
        }
    }
    switch (spec_.kind) {
        case Kind::Sum: return sum_.value();
        case Kind::Mean: return sum_.value() / weights_.value();
        default: return weights_.value() > 0 ? sum_.value() / weights_.value() : x;  // VWAP; nothing traded: the price
    }
}

}  // namespace oxa::strategy
