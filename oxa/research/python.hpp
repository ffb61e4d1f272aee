#pragma once

// The native road's Python mechanics: attribute names, the client's declared fields, the road's
// exception, values to and from Python.

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "research/value.hpp"

namespace oxa::research {

namespace py = pybind11;

// What the road hands the module before a run (brindle_tools.replay.native.road.native_module):
// the exception that sends a run to the exact engine, and the client's fields that the loop
// reads and writes ({class name: (field, ...)}, road.CLIENT_FIELDS).
void setup(py::object unsupported, py::dict client_fields);

// An attribute name as an interned str, made once per literal: the loop reads and writes
// attributes on every event. For the names of the road's own objects (the driver, the batches,
// the engine); the client's objects' fields go through field().
py::handle name(const char* text);

// The name of a field of the client's objects, given as "Class.field" by the Python class that
// holds it ("Account.high"), made once per literal; one that road.CLIENT_FIELDS does not
// declare raises RuntimeError, so that list is all the loop touches.
py::handle field(const char* path);

// The road's exception, as setup() was handed it: the run needs the exact engine.
py::handle unsupported_type();
[[noreturn]] void unsupported(const std::string& why);

// None as nothing, anything else as a Value (Other where it is not native).
std::optional<Value> optional_value(py::handle object);
py::object python_value(const std::optional<Value>& value);
double as_double(py::handle object);

}  // namespace oxa::research
