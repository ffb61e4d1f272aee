// The `with` statement: the interpreter's lookups, order of calls and error messages.
#pragma once

#include "interop/except.hpp"

namespace oxa {

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
