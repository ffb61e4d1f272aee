// The market-data tick handler: statistics, merge, factor refresh, settings reload and the
// strategy's order decisions.
#pragma once

#include "interop/python.hpp"

namespace oxa::strategy {

py::object push_md2trade(py::handle self, py::handle i_InvestorID, py::handle i_InstrumentID,
                         py::handle dict_new_md);

}  // namespace oxa::strategy
