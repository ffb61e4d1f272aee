// Walking containers the way a Python `for` statement does.
#pragma once

#include <utility>

#include "interop/python.hpp"

namespace oxa {

// `key, value = item`, with the interpreter's own errors for items that are not pairs.
std::pair<py::object, py::object> unpack_pair(py::handle item);

// `for item in iterable: body(item)`; every item is held while the body runs.
template <class Body>
void for_each(py::handle iterable, Body&& body) {
    py::object iterator = checked(PyObject_GetIter(iterable.ptr()));
    while (PyObject* next = PyIter_Next(iterator.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(next);
        body(item);
    }
    if (PyErr_Occurred()) throw_error();
}

// `for key, value in mapping.items(): body(key, value)`: the mapping's own items(), so dict
// subclasses and other mappings are walked as Python walks them.
template <class Body>
void for_each_item(py::handle mapping, Body&& body) {
    py::object items = call_method(mapping, names.items);
    for_each(items, [&](py::handle item) {
        auto [key, value] = unpack_pair(item);
        body(key, value);
    });
}

}  // namespace oxa
