#include "research/python.hpp"

#include <unordered_map>

namespace oxa::research {

py::handle name(const char* text) {
    static std::unordered_map<const char*, PyObject*> made;
    PyObject*& made_name = made[text];
    if (made_name == nullptr) {
        made_name = PyUnicode_InternFromString(text);  // kept for the life of the process
        if (made_name == nullptr) throw py::error_already_set();
    }
    return made_name;
}

py::object unsupported_type() { return py::module_::import("brindle_tools.replay.native").attr(name("Unsupported")); }

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
