// COXAAlgos construction: the state tables, the counters and the switches from cfg/oxa.ini.
#pragma once

#include "interop/python.hpp"

namespace oxa::engine {

py::object init(py::handle self);
py::object Inc_RequestID(py::handle self);

// self.<name> == 1: a switch read from the configuration is on exactly when it equals 1.
bool switch_on(py::handle self, PyObject* name);

// self.<name>, or null when the engine has no such attribute: the opt-in settings, which an
// engine without them does not have at all.
py::object optional_attribute(py::handle self, PyObject* name);

// An opt-in switch: self.<name> exists and equals 1.
bool optional_switch_on(py::handle self, PyObject* name);

}  // namespace oxa::engine
