#pragma once

#include <pybind11/pybind11.h>

namespace oxa::research {

namespace py = pybind11;

void register_evaluator(py::module_& m);
void register_tick_loop(py::module_& m);

}  // namespace oxa::research
