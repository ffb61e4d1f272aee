// COXAAlgos construction: the state tables, the counters and the switches from cfg/oxa.ini.
#pragma once

#include "interop/python.hpp"

namespace oxa::engine {

py::object init(py::handle self);
py::object Inc_RequestID(py::handle self);

}  // namespace oxa::engine
