// Classes made the way a `class` statement makes them: type(name, (object,), namespace),
// so they have metaclass `type`, an instance __dict__, and can be subclassed.
#pragma once

#include <initializer_list>

#include "interop/python.hpp"

namespace oxa {

// A new class `name` of module oxa.Brindle whose namespace holds `methods` under their
// __name__, in the given order.
py::object make_class(const char* name, std::initializer_list<py::object> methods);

// Binds each function in the module's dictionary under its __name__, in the given order.
void add_functions(std::initializer_list<py::object> functions);

}  // namespace oxa
