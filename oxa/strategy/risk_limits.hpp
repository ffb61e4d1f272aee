// Pre-trade limits, opt-in with a [RISK] section in cfg/oxa.ini. Each key is a limit, for
// every instrument, or for one investor or instrument when the key carries its ID after a
// dot (max_position.rb2501 = 4); the most specific one applies. Values are numbers of 0 or
// more:
//   max_position           lots an instrument's position may reach on one side, counting
//                          the lots held, the open orders resting and those decided before
//   max_order_volume       lots of one order
//   max_orders_per_second  orders decided for an instrument within any second (and
//   max_orders_per_minute  minute) of the engine's clock
//   max_resting_orders     orders of an instrument resting at once, counting this one
//   max_daily_loss         the day's realised loss plus the loss of the open positions at
//                          their last price, over every instrument of the engine; from it
//                          on only closes go out (reduce-only). The day is the ticks'
//                          TradingDay: when it changes, what was realised and open until
//                          then is the new day's starting point (`risk_day_start`); the
//                          first day starts from 0, as a broker reports that day's profit
// A value may carry an inline comment (`max_position = 10  ; per side`). A key with a dot
// names an ID after it; a value is a plain ASCII number.
// push_md2trade withholds a decision that would break a limit from the list it returns and
// logs a warning naming the limit, once per limit and instrument per minute. The engine
// keeps what it needs in its own attributes: `risk_limits` (the limits, which a host may
// replace), `risk_withheld` ((limit, instrument) -> decisions withheld), `risk_sent`
// (instrument -> times of the decisions returned in the last minute), `risk_logged`, and
// `risk_positions` (instrument -> (direction, date, hedge) -> record): every position record,
// since the engine's own position list keeps one per direction and a side may be split into
// today's and yesterday's lots.
#pragma once

#include "interop/python.hpp"

namespace oxa::strategy {

// At construction: the engine gets `risk_limits` when its settings have a [RISK] section;
// an entry that is no limit or no number is logged and left out.
void read_risk_limits(py::handle self);

// Each tick, before it is handled: a new TradingDay starts the day's loss from what is
// realised and open at that moment. Without `risk_limits` nothing happens.
void note_trading_day(py::handle self, py::handle tick);

// Each position record the host reports, kept by direction, date and hedge.
void note_position(py::handle self, py::handle record);

// Takes the decisions that break a limit out of `decisions`. Without `risk_limits` nothing
// happens. Should the check itself fail, it is logged and only the closes are kept.
void apply_risk_limits(py::handle self, py::handle investor, py::handle instrument, py::list& decisions);

}  // namespace oxa::strategy
