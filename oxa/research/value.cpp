#include "research/value.hpp"

namespace oxa::research {

Value from_python(PyObject* object) {
    if (PyBool_Check(object)) return Value::boolean(object == Py_True);
    if (PyLong_CheckExact(object)) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow) return Value::other();
        return Value::integer(x);
    }
    if (PyFloat_CheckExact(object)) return Value::real(PyFloat_AS_DOUBLE(object));
    return Value::other();
}

PyObject* to_python(const Value& value) {
    switch (value.kind) {
        case Value::Kind::Bool: return Py_NewRef(value.b ? Py_True : Py_False);
        case Value::Kind::Int: return PyLong_FromLongLong(value.i);
        case Value::Kind::Float: return PyFloat_FromDouble(value.f);
        case Value::Kind::Other: break;
    }
    PyErr_SetString(PyExc_SystemError, "a value that is not native has no native Python form");
    return nullptr;
}

}  // namespace oxa::research
