#include "interop/except.hpp"

namespace oxa {

HandledException::HandledException(const py::error_already_set& error)
    : previous_(PyErr_GetHandledException()) {
    PyObject* value = error.value().ptr();
    // The traceback travels on the exception itself, where sys.exc_info() finds it.
    if (error.trace()) PyException_SetTraceback(value, error.trace().ptr());
    PyErr_SetHandledException(value);
}

HandledException::~HandledException() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

}  // namespace oxa
