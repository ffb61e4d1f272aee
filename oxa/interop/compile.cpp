#include "interop/compile.hpp"

namespace oxa {
namespace {

// The filters list the warnings machinery consults: warnings.filters while that module is
// loaded (and has one), else the one of _warnings. Null, with no error set, when neither
// can be had.
PyObject* warning_filters() {
    PyObject* module = PyImport_GetModule(names.warnings);
    PyObject* filters = module ? PyObject_GetAttr(module, names.filters) : nullptr;
    Py_XDECREF(module);
    if (!filters) {
        PyErr_Clear();
        module = PyImport_ImportModule("_warnings");
        filters = module ? PyObject_GetAttr(module, names.filters) : nullptr;
        Py_XDECREF(module);
    }
    if (!filters) PyErr_Clear();
    return filters;
}

}  // namespace

py::object compile_for_reuse(const char* source, PyObject* filename, int start, PyCompilerFlags flags) {
    static PyObject* error_filter =
        Py_BuildValue("(OOOOi)", names.error, Py_None, PyExc_Warning, Py_None, 0);
    PyObject* filters = warning_filters();
    if (!error_filter || !filters || !PyList_Check(filters) || PyList_Insert(filters, 0, error_filter) < 0) {
        PyErr_Clear();
        Py_XDECREF(filters);
        return py::none();
    }
    int collector_was_on = PyGC_Disable();
    PyObject* code = Py_CompileStringObject(source, filename, start, &flags, -1);
    if (collector_was_on) PyGC_Enable();
    PyErr_Clear();
    for (Py_ssize_t i = PyList_GET_SIZE(filters) - 1; i >= 0; --i) {
        if (PyList_GET_ITEM(filters, i) != error_filter) continue;
        PySequence_DelItem(filters, i);
        break;
    }
    Py_DECREF(filters);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        Py_CLEAR(code);
    }
    return code ? py::reinterpret_steal<py::object>(code) : py::none();
}

}  // namespace oxa
