// brindle_tools.replay.native._road: the native road of the replay and the sweep, a private
// extension of the tools' package. Never loaded by a host: the engine a host loads is oxa.Brindle.
#include <pybind11/pybind11.h>

#include "research/python.hpp"
#include "research/register.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_road, m) {
    m.def("setup", &oxa::research::setup, py::arg("unsupported"), py::arg("client_fields"),
          "The road's exception and the client's fields the loop may touch ({class name: (field, ...)}).");
    py::module_ twins = m.def_submodule("twins", "The native twins alone, for the parity tests.");
    oxa::research::register_columns(m);
    oxa::research::register_evaluator(m);
    oxa::research::register_tick_loop(m, twins);
    oxa::research::register_twins(twins);
    oxa::research::register_decision_desk(twins);
}
