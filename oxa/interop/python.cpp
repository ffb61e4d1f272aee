#include "interop/python.hpp"

#include <vector>

#include "interop/function.hpp"
#include "interop/thread_exit.hpp"

namespace oxa {

ImportedBuiltins builtins;

namespace {
PyObject* the_module_dict = nullptr;  // strong reference, kept for the process
PyObject* the_module_name = nullptr;
PyObject* exc_info_keyword = nullptr;
}  // namespace

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

void bind_module(PyObject* module) {
    Py_XSETREF(the_module_dict, Py_NewRef(PyModule_GetDict(module)));
    Py_XSETREF(the_module_name, PyModule_GetNameObject(module));
}

PyObject* module_dict() { return the_module_dict; }
PyObject* module_name() { return the_module_name; }

py::object global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(the_module_dict, name);
    if (!value) {
        if (PyErr_Occurred()) throw_error();
        value = PyDict_GetItemWithError(builtins.dict, name);
        if (!value) {
            if (PyErr_Occurred()) throw_error();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            // Python's NameError carries the missing name, as the interpreter sets it.
            PyObject *type, *error, *traceback;
            PyErr_Fetch(&type, &error, &traceback);
            PyErr_NormalizeException(&type, &error, &traceback);
            if (error) PyObject_SetAttrString(error, "name", name);
            PyErr_Restore(type, error, traceback);
            throw_error();
        }
    }
    return py::reinterpret_borrow<py::object>(value);
}

namespace {

// Calls `method`, found by _PyObject_GetMethod on stack[0], with stack[1..count) after it:
// an unbound function gets stack[0] as its first argument, anything else is called as it
// was found. A function of this module's own receives its arguments directly.
py::object call_found(PyObject* method, bool unbound, PyObject** stack, size_t count, PyObject* kwnames) {
    size_t keywords = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    if (!unbound) {
        return checked(PyObject_Vectorcall(method, stack + 1, (count - 1 - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           kwnames));
    }
    py::object result;
    if (!kwnames && call_body(method, stack, count, result)) return result;
    return checked(PyObject_Vectorcall(method, stack, count - keywords, kwnames));
}

// `dict.get` itself, the method every dict subclass that does not override it shares.
PyObject* dict_get = nullptr;

}  // namespace

py::object get(py::handle mapping, py::handle key) {
    PyObject* found = nullptr;
    bool unbound = false;
    if (!PyDict_CheckExact(mapping.ptr())) {
        unbound = _PyObject_GetMethod(mapping.ptr(), names.get, &found) == 1;
        if (!found) throw_error();
    }
    py::object method = py::reinterpret_steal<py::object>(found);
    // A dict, or a subclass still using dict.get (OrderedDict does): the same lookup
    // without the method call.
    if (!found || (unbound && found == dict_get && PyDict_Check(mapping.ptr()))) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw_error();
        return py::none();
    }
    PyObject* stack[] = {mapping.ptr(), key.ptr()};
    return call_found(found, unbound, stack, 2, nullptr);
}

py::object call(py::handle callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    size_t positional = args.size() - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return checked(PyObject_Vectorcall(callable.ptr(), args.begin(), positional, kwnames));
}

py::object call_method(py::handle object, PyObject* name, std::initializer_list<PyObject*> args,
                       PyObject* kwnames) {
    // The lookup the interpreter makes for `object.name(...)`: the type's function unless
    // the instance or a custom attribute lookup supplies something else.
    PyObject* found = nullptr;
    bool unbound = _PyObject_GetMethod(object.ptr(), name, &found) == 1;
    if (!found) throw_error();
    py::object method = py::reinterpret_steal<py::object>(found);
    // Room for the object itself in front of the arguments.
    PyObject* small[8];
    std::vector<PyObject*> large;
    PyObject** stack = small;
    if (args.size() + 1 > 8) {
        large.resize(args.size() + 1);
        stack = large.data();
    }
    stack[0] = object.ptr();
    size_t i = 1;
    for (PyObject* arg : args) stack[i++] = arg;
    return call_found(found, unbound, stack, args.size() + 1, kwnames);
}

PyObject* keyword_names(std::initializer_list<PyObject*> keywords) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(keywords.size()));
    if (!tuple) throw_error();
    Py_ssize_t i = 0;
    for (PyObject* keyword : keywords) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(keyword));
    return tuple;
}

void append(py::object& text, py::handle piece) {
    if (!PyUnicode_CheckExact(text.ptr()) || !PyUnicode_CheckExact(piece.ptr())) {
        text = add(text, piece);
        return;
    }
    PyObject* joined = text.release().ptr();
    PyUnicode_Append(&joined, piece.ptr());  // on failure: null, the text released
    text = checked(joined);
}

void print(py::handle value) { call(builtins.print, {value.ptr()}); }

bool equals(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }

bool compare(py::handle a, py::handle b, int op) {
    py::object result = checked(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw_error();
    return truth != 0;
}

namespace {
py::object logger() { return getattr(global(names.myEnv), names.logger); }
}  // namespace

void log(PyObject* level, py::handle text) { call_method(logger(), level, {text.ptr()}); }

void log_error(py::handle text) {
    call_method(logger(), names.error, {text.ptr(), Py_True}, exc_info_keyword);
}

void log_error(const char* text) { log_error(checked(PyUnicode_FromString(text))); }

bool init_python_layer() {
    if (builtins.dict) return true;  // an import tried again after a failed one
    if (!thread_exit_ready()) {
        PyErr_SetString(PyExc_ImportError, "the C++ runtime's exception handling was not found");
        return false;
    }
    if (!intern_names()) return false;
    if (!(exc_info_keyword = PyTuple_Pack(1, names.exc_info))) return false;
    PyObject* namespace_ = PyEval_GetBuiltins();  // borrowed
    if (!namespace_) return false;
    struct {
        PyObject** slot;
        const char* name;
    } wanted[] = {{&builtins.print, "print"}, {&builtins.open, "open"}, {&builtins.eval, "eval"},
                  {&builtins.range, "range"}, {&builtins.object, "object"}};
    for (auto& entry : wanted) {
        PyObject* value = PyDict_GetItemString(namespace_, entry.name);
        if (!value) {
            PyErr_Format(PyExc_ImportError, "builtin '%s' not found", entry.name);
            return false;
        }
        *entry.slot = Py_NewRef(value);
    }
    builtins.dict = Py_NewRef(namespace_);
    dict_get = PyDict_GetItemWithError(PyDict_Type.tp_dict, names.get);  // the type lives forever
    return dict_get != nullptr;
}

}  // namespace oxa
