// Running market statistics of an instrument, folded in from each tick.
#pragma once

#include "interop/python.hpp"

namespace oxa::strategy {

py::object statMD(py::handle self, py::handle factor, py::handle pMD);

}  // namespace oxa::strategy
