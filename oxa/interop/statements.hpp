// Python statements the algorithms are written with: `for x in iterable`,
// `for k, v in mapping.items()` and `with manager as value`, with the interpreter's
// lookups, order of calls and error messages.
#pragma once

#include <utility>

#include "interop/except.hpp"

namespace oxa {

// for item in iterable: body(item)
template <class Body>
void for_each(py::handle iterable, Body&& body) {
    py::object iterator = checked(PyObject_GetIter(iterable.ptr()));
    while (PyObject* next = PyIter_Next(iterator.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(next);
        body(item);
    }
    if (PyErr_Occurred()) throw_error();
}

// `first, second = item`: UNPACK_SEQUENCE's semantics and messages.
void unpack_pair(py::handle item, py::object& first, py::object& second);

// for k, v in mapping.items(): body(k, v) -- the mapping's own items(), so subclasses and
// other mappings behave as in Python, and a dict changing size raises RuntimeError.
template <class Body>
void for_items(py::handle mapping, Body&& body) {
    py::object items = call_method(mapping, names.items);
    for_each(items, [&](py::handle item) {
        py::object key, value;
        unpack_pair(item, key, value);
        body(key, value);
    });
}

// Looks `name` up on the type of `manager` and binds it, as the `with` statement does;
// null (no error set) when the type has no such attribute.
py::object special_method(py::handle manager, PyObject* name);

// with manager as value: body(value). __exit__ receives the body's exception (which is
// the handled exception while it runs) and may suppress it; otherwise it is re-raised.
template <class Body>
void with_block(py::handle manager, Body&& body) {
    py::object enter = special_method(manager, names.__enter__);
    if (!enter) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager.ptr())->tp_name);
        throw_error();
    }
    py::object exit = special_method(manager, names.__exit__);
    if (!exit) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(manager.ptr())->tp_name);
        throw_error();
    }
    py::object value = call(enter, {});
    try {
        body(value);
    } catch (py::error_already_set& error) {
        bool suppress;
        {
            HandledException handled(error);
            py::object traceback = error.trace() ? error.trace() : py::none();
            py::object result = call(exit, {error.type().ptr(), error.value().ptr(), traceback.ptr()});
            int truth = PyObject_IsTrue(result.ptr());
            if (truth < 0) throw_error();
            suppress = truth != 0;
        }
        if (!suppress) throw;
        return;
    }
    call(exit, {Py_None, Py_None, Py_None});
}

}  // namespace oxa
