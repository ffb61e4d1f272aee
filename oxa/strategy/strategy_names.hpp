// Trading state and rolling indicators as names an expression reads, opt-in with
// [PYTHON_SWITCH] strategy_names = 1 in cfg/oxa.ini (the engine then has the attribute
// `strategy_names` = 1, and keeps what the names need in `strategy_names_state`). On each
// tick, before the strategy is evaluated, the instrument's attribute dictionary gets:
//   position, long_lots, short_lots        net lots (long - short) and each side's lots
//   long_today, long_yd, short_today, short_yd   each side's today's and yesterday's lots
//   long_price, short_price, entry_price   average open price of each side, and of the
//                                          side held net (0 when flat)
//   open_profit                            profit of the lots held at the last price
//   resting_buy, resting_sell              lots of the resting orders on each side
//   held_seconds                           whole seconds since the first tick that saw a
//                                          position (0 when flat)
//   day_seconds                            the tick's seconds since 18:00, where a trading
//                                          day begins (from UpdateTime)
//   session_left                           seconds to the end of the tick's session, when
//                                          the settings module has a `Sessions` table
// from the position and order records the host has pushed, and the value of each rolling
// indicator that the settings module declares in `Indicators` (name -> (statistic, field,
// window)). A declaration the engine cannot compute is logged with its name and why, at
// construction and whenever the declarations change, and left out.
#pragma once

#include "interop/python.hpp"

namespace oxa::strategy {

// At construction, for an engine whose switch is on: the state, and the declarations checked.
void start_strategy_names(py::handle self);

// The names of the instrument's tick (its fields already merged into `attributes`).
void update_strategy_names(py::handle self, py::handle instrument, py::handle attributes);

}  // namespace oxa::strategy
