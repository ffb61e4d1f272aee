#include "research/python.hpp"

#include <cstring>
#include <stdexcept>
#include <unordered_map>

namespace oxa::research {
namespace {

// Kept for the life of the process (no destructor runs after the interpreter has gone).
PyObject* unsupported_class = nullptr;
PyObject* declared_fields = nullptr;

std::unordered_map<const char*, PyObject*>& made_fields() {
    static auto* made = new std::unordered_map<const char*, PyObject*>();
    return *made;
}

void keep(PyObject*& kept, py::handle object) {
    Py_XDECREF(kept);
    kept = Py_NewRef(object.ptr());
}

}  // namespace

void setup(py::object unsupported, py::dict client_fields) {
    if (!PyType_Check(unsupported.ptr()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(unsupported.ptr()),
                                                               reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        throw py::type_error("unsupported must be an Exception class");
    }
    keep(unsupported_class, unsupported);
    keep(declared_fields, client_fields);
    made_fields().clear();  // checked again against the new declaration; the names stay interned
}

py::handle name(const char* text) {
    static std::unordered_map<const char*, PyObject*> made;
    PyObject*& made_name = made[text];
    if (made_name == nullptr) {
        made_name = PyUnicode_InternFromString(text);  // kept for the life of the process
        if (made_name == nullptr) throw py::error_already_set();
    }
    return made_name;
}

py::handle field(const char* path) {
    PyObject*& made = made_fields()[path];
    if (made == nullptr) {
        if (declared_fields == nullptr) throw std::runtime_error("the native road's module is not set up");
        const char* dot = std::strchr(path, '.');
        py::handle declared = dot ? PyDict_GetItemString(declared_fields, std::string(path, dot).c_str()) : nullptr;
        py::handle made_name = dot ? name(dot + 1) : py::handle();
        int found = declared ? PySequence_Contains(declared.ptr(), made_name.ptr()) : 0;
        if (found < 0) throw py::error_already_set();
        if (!found) {
            throw std::runtime_error(std::string("the native loop uses ") + path +
                                     ", which brindle_tools.replay.native.road.CLIENT_FIELDS does not declare");
        }
        made = made_name.ptr();
    }
    return made;
}

py::handle unsupported_type() {
    if (unsupported_class == nullptr) throw std::runtime_error("the native road's module is not set up");
    return unsupported_class;
}

void unsupported(const std::string& why) {
    PyErr_SetObject(unsupported_type().ptr(), py::str(why).ptr());
    throw py::error_already_set();
}

std::optional<Value> optional_value(py::handle object) {
    if (object.is_none()) return std::nullopt;
    return from_python(object.ptr());
}

py::object python_value(const std::optional<Value>& value) {
    if (!value) return py::none();
    return py::reinterpret_steal<py::object>(to_python(*value));
}

double as_double(py::handle object) { return py::cast<double>(object); }

}  // namespace oxa::research
