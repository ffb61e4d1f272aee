#include "strategy/math_function.hpp"

namespace oxa::strategy {

py::object math_function_init(py::handle self, py::handle name, py::handle operator_) {
    setattr(self, names.name, name);
    setattr(self, names.operator_, operator_);
    return py::none();
}

py::object math_function_call(py::handle self, py::handle operands) {
    return checked(PyObject_Call(getattr(self, names.operator_).ptr(), operands.ptr(), nullptr));
}

}  // namespace oxa::strategy
