#include "strategy/expression.hpp"

#include <cstring>

#include "interop/compile.hpp"
#include "interop/except.hpp"

namespace oxa::strategy {
namespace {

// Expression text -> its code object, or None for a text that always goes through the
// builtin eval. Only exact str texts are keys, so equal keys mean equal source.
PyObject* compiled_texts = nullptr;
constexpr Py_ssize_t compiled_texts_limit = 4096;

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
// reused (see compile_for_reuse). None leaves the text to the builtin eval, which is always
// exact.
py::object compile_text(PyObject* text) {
    const char* source = eval_source(text);
    if (!source) return py::none();
    // The flags eval compiles with in a module without future imports.
    PyCompilerFlags flags;
    flags.cf_flags = PyCF_SOURCE_IS_UTF8;
    flags.cf_feature_version = PY_MINOR_VERSION;
    return compile_for_reuse(source, names.string_filename, Py_eval_input, flags);
}

// The code to run for `text`, or None for the builtin eval. `compiled_now` tells whether
// this call compiled it (and so has raised the "compile" audit event already).
py::object reusable_code(PyObject* text, bool& compiled_now) {
    if (!compiled_texts && !(compiled_texts = PyDict_New())) throw_error();
    PyObject* known = PyDict_GetItemWithError(compiled_texts, text);
    compiled_now = !known;
    if (known) return py::reinterpret_borrow<py::object>(known);
    if (PyErr_Occurred()) throw_error();
    py::object code = compile_text(text);
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

// Twin: Program in oxa/research/evaluator.cpp for the texts it runs, Road.python_value for the rest.
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
