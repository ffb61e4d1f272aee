// Factor maintenance: dynamic factors from table t_factor, the order-window reset, and the
// text form of an instrument's attribute dictionary.
#pragma once

#include "interop/python.hpp"

namespace oxa::strategy {

py::object updateFactor(py::handle self);
py::object restOrderFactor(py::handle self, py::handle instrument);
py::object Factor2String(py::handle self, py::handle instrument);

}  // namespace oxa::strategy
