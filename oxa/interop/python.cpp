#include "interop/python.hpp"

#include <vector>

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

py::object get(py::handle mapping, py::handle key) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, names.get, {key.ptr()});
    PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw_error();
    return py::none();
}

py::object pop_item(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    int found = PyDict_Pop(dict, key, &value);
    if (found < 0) throw_error();
    if (found == 0) {
        PyErr_SetObject(PyExc_KeyError, key);
        throw_error();
    }
    return py::reinterpret_steal<py::object>(value);
}

py::object call(py::handle callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    size_t positional = args.size() - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return checked(PyObject_Vectorcall(callable.ptr(), args.begin(), positional, kwnames));
}

py::object call_method(py::handle object, PyObject* name, std::initializer_list<PyObject*> args,
                       PyObject* kwnames) {
    // The object itself in front of the arguments: the interpreter's own method call, which
    // looks the name up as `object.name` does and passes an unbound function the object.
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
    size_t keywords = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return checked(PyObject_VectorcallMethod(name, stack, args.size() + 1 - keywords, kwnames));
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
    return true;
}

}  // namespace oxa
