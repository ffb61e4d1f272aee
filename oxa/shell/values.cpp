#include "shell/values.hpp"

namespace oxa::shell {

py::object decode_gb18030(py::handle bytes) {
    return checked(PyUnicode_Decode(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr()),
                                    "gb18030", "ignore"));
}

py::object toString(py::handle val) {
    if (PyBytes_Check(val.ptr())) return decode_gb18030(val);
    if (PyLong_Check(val.ptr()) || PyFloat_Check(val.ptr())) return str(val);
    return py::reinterpret_borrow<py::object>(val);
}

py::object toString2(py::handle val) {
    py::handle quote(names.quote);
    if (PyBytes_Check(val.ptr())) return add(add(quote, decode_gb18030(val)), quote);
    if (PyUnicode_Check(val.ptr())) return add(add(quote, val), quote);
    return str(val);
}

py::object myDecode(py::handle val) {
    if (PyBytes_Check(val.ptr())) return decode_gb18030(val);
    return py::reinterpret_borrow<py::object>(val);
}

py::object nvl(py::handle p1, py::handle p2) {
    return py::reinterpret_borrow<py::object>(p1.is_none() ? p2 : p1);
}

}  // namespace oxa::shell
