#include "interop/list_memo.hpp"

namespace oxa {

bool has_text_keys(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

}  // namespace oxa
