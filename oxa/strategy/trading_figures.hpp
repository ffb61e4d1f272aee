// What the trading-state names say, from what the records tell of an instrument's holding:
// plain C++, shared by the engine (strategy_names.cpp) and the research road, so that both
// give the same numbers.
#pragma once

#include <cctype>
#include <cmath>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace oxa::strategy {

constexpr double absent_price = 1.79e308;  // at or above: the feed's marker for no price
constexpr long trading_day_start = 18 * 3600, seconds_per_day = 86400;

// Sides: 0 long, 1 short; resting: 0 buy, 1 sell.
struct Holding {
    double lots[2] = {0, 0}, today[2] = {0, 0}, cost[2] = {0, 0}, resting[2] = {0, 0};
};

// The names, in this order; whole: an int, else a float.
constexpr int trading_name_count = 14;
constexpr const char* trading_names[trading_name_count] = {
    "position",    "long_lots",  "short_lots",  "long_today",  "long_yd",     "short_today",  "short_yd",
    "long_price",  "short_price", "entry_price", "open_profit", "resting_buy", "resting_sell", "held_seconds"};

struct Figure {
    double value;
    bool whole;
};

// The values of trading_names. opened_at: the clock of the first tick that saw the position
// held, kept by the caller and brought up to date here.
inline std::vector<Figure> trading_figures(const Holding& h, double multiple, double last,
                                           std::optional<double>& opened_at, std::optional<double> now) {
    double price[2], profit = 0;
    for (int i = 0; i < 2; ++i) {
        price[i] = h.lots[i] > 0 && multiple > 0 ? h.cost[i] / (h.lots[i] * multiple) : 0.0;
        if (h.lots[i] > 0 && std::fabs(last) < absent_price) {
            profit += (i == 0 ? last - price[i] : price[i] - last) * h.lots[i] * multiple;
        }
    }
    double net = h.lots[0] - h.lots[1];
    bool held = h.lots[0] + h.lots[1] > 0;
    if (!held) opened_at.reset();
    if (held && !opened_at && now) opened_at = now;
    double held_seconds = held && now && opened_at ? std::floor(*now - *opened_at) : 0;
    return {{net, true},
            {h.lots[0], true},
            {h.lots[1], true},
            {h.today[0], true},
            {h.lots[0] - h.today[0], true},
            {h.today[1], true},
            {h.lots[1] - h.today[1], true},
            {price[0], false},
            {price[1], false},
            {net > 0 ? price[0] : net < 0 ? price[1] : 0.0, false},
            {profit, false},
            {h.resting[0], true},
            {h.resting[1], true},
            {held_seconds, true}};
}

// Seconds of "HH:MM" or "HH:MM:SS" (with more after the seconds where allowed: a tick's
// UpdateTime); -1 otherwise.
inline long time_of_day(std::string_view text, bool more_allowed) {
    auto two = [&](std::size_t at, int top) -> long {
        if (text.size() < at + 2 || !std::isdigit(static_cast<unsigned char>(text[at])) ||
            !std::isdigit(static_cast<unsigned char>(text[at + 1]))) {
            return -1;
        }
        long number = (text[at] - '0') * 10 + (text[at + 1] - '0');
        return number <= top ? number : -1;
    };
    long hours = two(0, 24), minutes = text.size() > 2 && text[2] == ':' ? two(3, 59) : -1;
    if (hours < 0 || minutes < 0) return -1;
    long seconds = 0;
    std::size_t end = 5;
    if (text.size() > 5 && text[5] == ':') {
        seconds = two(6, 59);
        if (seconds < 0) return -1;
        end = 8;
    }
    if (text.size() > end && !more_allowed) return -1;
    long total = hours * 3600 + minutes * 60 + seconds;
    return total <= seconds_per_day ? total : -1;
}

// Seconds since 18:00, where a trading day begins.
inline long day_seconds(long time_of_day) {
    return ((time_of_day - trading_day_start) % seconds_per_day + seconds_per_day) % seconds_per_day;
}

// The trading day of a clock time, counted from 18:00 (for a tick without TradingDay).
inline double clock_day(double now) {
    return std::floor((now + (seconds_per_day - trading_day_start)) / seconds_per_day);
}

using Sessions = std::vector<std::pair<long, long>>;  // (start, end) seconds of the day

// Seconds from `now` to the end of the session it is in; 0 outside every session. A session
// whose end is before its start runs over midnight.
inline long session_left(const Sessions& sessions, long now) {
    for (auto [start, end] : sessions) {
        bool inside = start < end ? start <= now && now <= end : now >= start || now <= end;
        if (inside) return ((end - now) % seconds_per_day + seconds_per_day) % seconds_per_day;
    }
    return 0;
}

}  // namespace oxa::strategy
