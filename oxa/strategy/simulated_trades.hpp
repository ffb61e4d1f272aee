// Simulated fills of the engine's recorded limit orders against a market price, traced and
// journalled to T_SimNow_AutoTrade.
#pragma once

#include "interop/python.hpp"

namespace oxa::strategy {

py::object SimNow(py::handle self, py::handle InvestorID, py::handle InstrumentID, py::handle LastPrice,
                  py::handle Volume);

}  // namespace oxa::strategy
