#include "interop/statements.hpp"

namespace oxa {

void unpack_pair(py::handle item, py::object& first, py::object& second) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
        first = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0));
        second = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1));
        return;
    }
    PyObject* iterator = PyObject_GetIter(item.ptr());
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item.ptr())->tp_iter &&
            !PySequence_Check(item.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item.ptr())->tp_name);
        }
        throw_error();
    }
    py::object owned = py::reinterpret_steal<py::object>(iterator);
    py::object* slots[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        PyObject* next = PyIter_Next(iterator);
        if (!next) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            throw_error();
        }
        *slots[i] = py::reinterpret_steal<py::object>(next);
    }
    PyObject* extra = PyIter_Next(iterator);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw_error();
}

py::object special_method(py::handle manager, PyObject* name) {
    PyObject* attribute = _PyType_Lookup(Py_TYPE(manager.ptr()), name);  // borrowed
    if (!attribute) return py::object();
    py::object held = py::reinterpret_borrow<py::object>(attribute);
    descrgetfunc bind = Py_TYPE(attribute)->tp_descr_get;
    if (!bind) return held;
    return checked(bind(attribute, manager.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()))));
}

}  // namespace oxa
