#include "strategy/expression.hpp"

#include <cstring>

#include "interop/except.hpp"

namespace oxa::strategy {
namespace {

// Expression text -> its code object, or None for a text that always goes through the
// builtin eval. Only exact str texts are keys, so equal keys mean equal source.
PyObject* compiled_texts = nullptr;
constexpr Py_ssize_t compiled_texts_limit = 4096;

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

// The UTF-8 source eval compiles from `text`: leading blanks and tabs skipped. Null, with
// no error set, for a text eval cannot take as source (it raises for such a text itself).
const char* eval_source(PyObject* text) {
    Py_ssize_t size = 0;
    const char* source = PyUnicode_AsUTF8AndSize(text, &size);
    if (!source) {
        PyErr_Clear();
        return nullptr;
    }
    if (std::strlen(source) != static_cast<size_t>(size)) return nullptr;
    while (*source == ' ' || *source == '\t') ++source;
    return source;
}

// The code object eval would compile from `text`, or None when the text must not be
// reused: it does not compile, or compiling it warns (eval repeats such a warning on each
// call). Warnings are errors for the duration, with the collector off so that no finalizer
// runs meanwhile. None leaves the text to the builtin eval, which is always exact.
py::object compile_for_reuse(PyObject* text) {
    const char* source = eval_source(text);
    if (!source) return py::none();
    static PyObject* error_filter =
        Py_BuildValue("(OOOOi)", names.error, Py_None, PyExc_Warning, Py_None, 0);
    PyObject* filters = warning_filters();
    if (!error_filter || !filters || !PyList_Check(filters) || PyList_Insert(filters, 0, error_filter) < 0) {
        PyErr_Clear();
        Py_XDECREF(filters);
        return py::none();
    }
    int collector_was_on = PyGC_Disable();
    // The flags eval compiles with in a module without future imports.
    PyCompilerFlags flags;
    flags.cf_flags = PyCF_SOURCE_IS_UTF8;
    flags.cf_feature_version = PY_MINOR_VERSION;
    PyObject* code = Py_CompileStringExFlags(source, "<string>", Py_eval_input, &flags, -1);
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

// The code to run for `text`, or None for the builtin eval. `compiled_now` tells whether
// this call compiled it (and so has raised the "compile" audit event already).
py::object reusable_code(PyObject* text, bool& compiled_now) {
    if (!compiled_texts && !(compiled_texts = PyDict_New())) throw_error();
    PyObject* known = PyDict_GetItemWithError(compiled_texts, text);
    compiled_now = !known;
    if (known) return py::reinterpret_borrow<py::object>(known);
    if (PyErr_Occurred()) throw_error();
    py::object code = compile_for_reuse(text);
    if (PyDict_GET_SIZE(compiled_texts) >= compiled_texts_limit) PyDict_Clear(compiled_texts);
    if (PyDict_SetItem(compiled_texts, text, code.ptr()) < 0) throw_error();
    return code;
}

// eval(expression, namespace_). Reused code runs exactly as eval runs what it compiles:
// __builtins__ inserted first, the "compile" and "exec" audit events, the namespace as
// both globals and locals.
py::object evaluate(py::handle expression, py::handle namespace_) {
    if (PyUnicode_CheckExact(expression.ptr()) && PyDict_Check(namespace_.ptr())) {
        bool compiled_now = false;
        py::object code = reusable_code(expression.ptr(), compiled_now);
        if (!code.is_none()) {
            int present = PyDict_Contains(namespace_.ptr(), names.__builtins__);
            if (present == 0) present = PyDict_SetItem(namespace_.ptr(), names.__builtins__, PyEval_GetBuiltins());
            if (present < 0) throw_error();
            if (!compiled_now &&
                PySys_Audit("compile", "yO", eval_source(expression.ptr()), names.string_filename) < 0) {
                throw_error();
            }
            if (PySys_Audit("exec", "O", code.ptr()) < 0) throw_error();
            return checked(PyEval_EvalCode(code.ptr(), namespace_.ptr(), namespace_.ptr()));
        }
    }
    return call(builtins.eval, {expression.ptr(), namespace_.ptr()});
}

}  // namespace

py::object Calc_Express(py::handle self, py::handle instrument, py::handle strExpress, py::handle) {
    long status = 0;
    py::object value = integer(0);
    try_except(
        [&] {
            py::object attributes = get(getattr(self, names.instrument_attr_dict), instrument);
            if (attributes.is_none()) {
                status = -2;
                return;
            }
            value = evaluate(strExpress, attributes);
        },
        [&](const py::error_already_set&) {
            status = -1;
            log_error(py::handle(names.Calc_Express));
        });
    return checked(PyTuple_Pack(2, integer(status).ptr(), value.ptr()));
}

}  // namespace oxa::strategy
