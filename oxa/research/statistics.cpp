#include "research/statistics.hpp"

namespace oxa::research {
namespace {

constexpr double absent_price = 1.79e308;  // the feed's marker for "none" starts here

// slots[at] += amount
bool add_to(Value* slots, int at, Value amount) {
    std::optional<Value> sum = add(slots[at], amount);
    if (!sum) return false;
    slots[at] = *sum;
    return true;
}

// The quote, or the integer 0 where the feed marks it absent.
std::optional<Value> present(Value quote) {
    std::optional<bool> absent = compare(quote, Value::real(absent_price), Py_GE);
    if (!absent) return std::nullopt;
    return *absent ? Value::integer(0) : quote;
}

bool fold_side(Value* slots, int price_at, int volume_at, int sum_at, int order_sum_at, Value price, Value volume) {
    std::optional<Value> kept_price = present(price), kept_volume = present(volume);
    if (!kept_price || !kept_volume) return false;
    slots[price_at] = *kept_price;
    slots[volume_at] = *kept_volume;
    return add_to(slots, sum_at, *kept_volume) && add_to(slots, order_sum_at, *kept_volume);
}

}  // namespace

StatisticSlots statistic_slots_of(const py::dict& slot_of) {
    auto slot = [&](const char* key) { return py::cast<int>(slot_of[key]); };
    return {slot("LastPrice"),          slot("Volume"),
            slot("LastPrice_Cur_Up"),   slot("LastPrice_Cur_Keep"),
            slot("LastPrice_Cur_Down"), slot("LastPrice_Acc_Up"),
            slot("LastPrice_Acc_Keep"), slot("LastPrice_Acc_Down"),
            slot("order_acc_up"),       slot("order_acc_keep"),
            slot("order_acc_down"),     slot("vol_diff"),
            slot("order_TradeVolume"),  slot("BidPrice1"),
            slot("BidVolume1"),         slot("BidVolume"),
            slot("order_BidVolume"),    slot("AskPrice1"),
            slot("AskVolume1"),         slot("AskVolume"),
            slot("order_AskVolume")};
}

bool fold_quote(Value* slots, const StatisticSlots& at, const Quote& tick) {
    const Value one = Value::integer(1), zero = Value::integer(0);
    std::optional<bool> rose = compare(tick.last, slots[at.last_price], Py_GT);
    if (!rose) return false;
    std::optional<bool> kept = *rose ? false : compare(slots[at.last_price], tick.last, Py_EQ);
    if (!kept) return false;
    if (*rose) {
        if (!add_to(slots, at.cur_up, one) || !add_to(slots, at.acc_up, one) || !add_to(slots, at.order_up, one)) {
            return false;
        }
        slots[at.cur_keep] = slots[at.cur_down] = zero;
    } else if (*kept) {
        if (!add_to(slots, at.cur_keep, one) || !add_to(slots, at.acc_keep, one) ||
            !add_to(slots, at.order_keep, one)) {
            return false;
        }
        slots[at.cur_down] = slots[at.cur_up] = zero;
    } else {
        if (!add_to(slots, at.cur_down, one) || !add_to(slots, at.acc_down, one) ||
            !add_to(slots, at.order_down, one)) {
            return false;
        }
        slots[at.cur_keep] = slots[at.cur_up] = zero;
    }
    std::optional<Value> traded = subtract(tick.volume, slots[at.volume]);
    if (!traded) return false;
    slots[at.vol_diff] = *traded;
    return add_to(slots, at.order_trade_volume, *traded) &&
           fold_side(slots, at.bid_price, at.bid_volume, at.bid_sum, at.order_bid_sum, tick.bid, tick.bid_volume) &&
           fold_side(slots, at.ask_price, at.ask_volume, at.ask_sum, at.order_ask_sum, tick.ask, tick.ask_volume);
}

}  // namespace oxa::research
