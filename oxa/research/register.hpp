#pragma once

#include <pybind11/pybind11.h>

namespace oxa::research {

namespace py = pybind11;

void register_evaluator(py::module_& m);
// twins: the submodule of the parity tests' entry points.
void register_tick_loop(py::module_& m, py::module_& twins);
void register_twins(py::module_& twins);
void register_columns(py::module_& m);
void register_decision_desk(py::module_& twins);

}  // namespace oxa::research
