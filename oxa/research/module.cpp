// oxa._research: the native research road of the replay and the sweep. Never loaded by a
// host: the engine a host loads is oxa.Brindle.
#include <pybind11/pybind11.h>

#include "research/register.hpp"

PYBIND11_MODULE(_research, m) {
    oxa::research::register_evaluator(m);
    oxa::research::register_tick_loop(m);
}
