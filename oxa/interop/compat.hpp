// The interpreter's functions under the names the newest versions give them; below the
// version that made a function public, the same function built from what that version has.
// The rest of the module calls only these names and the public API.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000

// The exception being raised, taken away (NULL when none is), and one put back in its place.
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exception) {
    if (!exception) return;
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
}

#endif

#if PY_VERSION_HEX < 0x030D0000

// obj.name, *result NULL without an AttributeError when it is missing: 1 found, 0 missing,
// -1 another error.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(obj, name, result);
}

inline int Py_IsFinalizing() { return _Py_IsFinalizing(); }

// dict.pop(key) on an exact dict: 1 and the value (a strong reference) in *result when the key
// was there, 0 and NULL when it was not (no KeyError), -1 on an error.
inline int PyDict_Pop(PyObject* dict, PyObject* key, PyObject** result) {
    *result = nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value) return PyErr_Occurred() ? -1 : 0;
    Py_INCREF(value);
    if (PyDict_DelItem(dict, key) < 0) {
        Py_DECREF(value);
        return -1;
    }
    *result = value;
    return 1;
}

#endif

namespace oxa {

// `name` as the interpreter looks special methods up: in the dictionaries of the type's method
// resolution order, never in the instance. Borrowed; NULL when no class defines it (an error
// of the lookup counts as not found).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* dict = PyType_GetDict(base);  // the type keeps it alive after the release below
        Py_XDECREF(dict);
#else
        PyObject* dict = base->tp_dict;
#endif
        PyObject* found = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
        if (found) return found;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

// Adds a line to the traceback of the exception being raised, as if it had passed through
// `function` at `file`:`line`.
inline void add_traceback_entry(const char* function, const char* file, int line) {
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* globals = PyDict_New();
    PyCodeObject* code = PyCode_NewEmpty(file, function, line);
    PyFrameObject* frame = globals && code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // An error of its own leaves the traceback as it was.
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
    Py_XDECREF(globals);
}

}  // namespace oxa
