// The Python mechanics every algorithm of the engine is written with: module globals read at
// the moment of use, calls through the vectorcall protocol, Python's own operators, and the
// host logger. Every failure is a Python exception carried as py::error_already_set.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

#include "interop/compat.hpp"
#include "interop/names.hpp"

namespace py = pybind11;

namespace oxa {

// Raises the pending Python error as a C++ exception.
[[noreturn]] inline void throw_error() { throw py::error_already_set(); }

// Takes ownership of a new reference returned by the C API; a null result means an error.
inline py::object checked(PyObject* result) {
    if (!result) throw_error();
    return py::reinterpret_steal<py::object>(result);
}

// Raises exception type `type` with `message`.
[[noreturn]] void raise(PyObject* type, const char* message);

// ---- module globals -------------------------------------------------------------------

// The builtins the module fetched once at import and uses for its whole lifetime.
struct ImportedBuiltins {
    PyObject* print = nullptr;
    PyObject* open = nullptr;
    PyObject* eval = nullptr;
    PyObject* range = nullptr;
    PyObject* object = nullptr;
    PyObject* dict = nullptr;  // the builtins namespace, for globals not in the module
};
extern ImportedBuiltins builtins;

// Binds the module whose dictionary holds the globals; called once at import.
void bind_module(PyObject* module);
PyObject* module_dict();
PyObject* module_name();

// The module global `name` as Python reads it at this moment: the module dictionary, then
// the builtins; NameError when neither has it.
py::object global(PyObject* name);

// ---- attributes, items and calls ------------------------------------------------------

inline py::object getattr(py::handle object, PyObject* name) {
    return checked(PyObject_GetAttr(object.ptr(), name));
}
inline void setattr(py::handle object, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(object.ptr(), name, value.ptr()) < 0) throw_error();
}
inline py::object getitem(py::handle mapping, py::handle key) {
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}
inline void setitem(py::handle mapping, py::handle key, py::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
}

// mapping.get(key): the mapping's own `get`, so subclasses and mappings behave as in
// Python; an exact dict is read directly (the same lookup without the method call).
py::object get(py::handle mapping, py::handle key);

// dict.pop(key) on an exact dict; KeyError when the key is missing.
py::object pop_item(PyObject* dict, PyObject* key);

// callable(*positional, **dict(zip(kwnames, keyword values))); the last len(kwnames)
// entries of `args` are the keyword values.
py::object call(py::handle callable, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr);

// object.name(*args): a method call through attribute lookup on the object, as Python's
// `self.X(...)`, so a replacement on the instance or in a subclass is what gets called.
py::object call_method(py::handle object, PyObject* name, std::initializer_list<PyObject*> args = {},
                       PyObject* kwnames = nullptr);

// A tuple of keyword names for `call`, made once by its caller and kept for the process.
PyObject* keyword_names(std::initializer_list<PyObject*> keywords);

// print(value) through the builtin fetched at import.
void print(py::handle value);

// ---- Python operators -----------------------------------------------------------------

// `a == b` used as a condition: rich comparison, then truth.
bool equals(py::handle a, py::handle b);
// `a <op> b` used as a condition, op being Py_LT, Py_LE, Py_GT, Py_GE, ...
bool compare(py::handle a, py::handle b, int op);
// `a + b`, Python's number/sequence protocol (text concatenation included).
inline py::object add(py::handle a, py::handle b) { return checked(PyNumber_Add(a.ptr(), b.ptr())); }
inline py::object subtract(py::handle a, py::handle b) {
    return checked(PyNumber_Subtract(a.ptr(), b.ptr()));
}
// text = text + piece, `text` being the caller's own running text: two exact strs join as the
// interpreter's `text += piece` joins them, in place while nothing else holds the text, so
// that a text built piece by piece costs time linear in its length; anything else takes
// Python's `+`.
void append(py::object& text, py::handle piece);
// str(value)
inline py::object str(py::handle value) { return checked(PyObject_Str(value.ptr())); }
inline py::object text(const char* value) { return checked(PyUnicode_FromString(value)); }
inline py::object integer(long value) { return checked(PyLong_FromLong(value)); }
inline py::object none() { return py::none(); }

// ---- the host logger ------------------------------------------------------------------

// myEnv.logger.<level>(text), with level one of names.info/debug/warning.
void log(PyObject* level, py::handle text);
// myEnv.logger.error(text, exc_info=True)
void log_error(py::handle text);
void log_error(const char* text);

// Makes the interned names, the keyword tuples and the builtins; called once at import.
bool init_python_layer();

}  // namespace oxa
