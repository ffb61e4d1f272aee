#include "interop/iteration.hpp"

namespace oxa {

std::pair<py::object, py::object> unpack_pair(py::handle item) {
    PyObject* raw = item.ptr();
    if (PyTuple_CheckExact(raw) && PyTuple_GET_SIZE(raw) == 2) {
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(raw, 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(raw, 1))};
    }
    PyObject* iterator = PyObject_GetIter(raw);
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(raw)->tp_iter && !PySequence_Check(raw)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(raw)->tp_name);
        }
        throw_error();
    }
    py::object owned_iterator = py::reinterpret_steal<py::object>(iterator);
    py::object values[2];
    for (int got = 0; got < 2; ++got) {
        PyObject* next = PyIter_Next(iterator);
        if (!next) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
            }
            throw_error();
        }
        values[got] = py::reinterpret_steal<py::object>(next);
    }
    PyObject* extra = PyIter_Next(iterator);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw_error();
    }
    if (PyErr_Occurred()) throw_error();
    return {std::move(values[0]), std::move(values[1])};
}

}  // namespace oxa
