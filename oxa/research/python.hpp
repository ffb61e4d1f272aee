#pragma once

// The research road's Python mechanics: attribute names, the road's exception, values to
// and from Python.

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "research/value.hpp"

namespace oxa::research {

namespace py = pybind11;

// An attribute name as an interned str, made once per literal: the loop reads and writes
// the client's attributes on every event.
py::handle name(const char* text);

// The road's exception (brindle_tools.replay.native.road.Unsupported): the run needs the exact engine.
py::object unsupported_type();
[[noreturn]] void unsupported(const std::string& why);

// None as nothing, anything else as a Value (Other where it is not native).
std::optional<Value> optional_value(py::handle object);
py::object python_value(const std::optional<Value>& value);
double as_double(py::handle object);

}  // namespace oxa::research
