// Evaluation of strategy expressions against an instrument's attribute dictionary.
#pragma once

#include "interop/python.hpp"

namespace oxa::strategy {

py::object Calc_Express(py::handle self, py::handle instrument, py::handle strExpress,
                        py::handle i_otherFactor);

}  // namespace oxa::strategy
