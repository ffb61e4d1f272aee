#include "interop/with.hpp"

namespace oxa {

py::object special_method(py::handle manager, PyObject* name) {
    PyObject* attribute = type_lookup(Py_TYPE(manager.ptr()), name);  // borrowed
    if (!attribute) return py::object();
    py::object held = py::reinterpret_borrow<py::object>(attribute);
    descrgetfunc bind = Py_TYPE(attribute)->tp_descr_get;
    if (!bind) return held;
    return checked(bind(attribute, manager.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()))));
}

}  // namespace oxa
