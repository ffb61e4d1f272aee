// MathFunction: a label bound to a callable that is looked up at each call.
#pragma once

#include "interop/python.hpp"

namespace oxa::strategy {

py::object math_function_init(py::handle self, py::handle name, py::handle operator_);
py::object math_function_call(py::handle self, py::handle operands);

}  // namespace oxa::strategy
