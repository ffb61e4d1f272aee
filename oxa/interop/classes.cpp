#include "interop/classes.hpp"

namespace oxa {

py::object make_class(const char* name, std::initializer_list<py::object> methods) {
    py::object class_name = checked(PyUnicode_InternFromString(name));
    py::dict namespace_;
    setitem(namespace_, py::handle(names.__module__), module_name());
    setitem(namespace_, py::handle(names.__qualname__), class_name);
    for (const py::object& method : methods) setitem(namespace_, getattr(method, names.__name__), method);
    py::object bases = checked(PyTuple_Pack(1, builtins.object));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {class_name.ptr(), bases.ptr(), namespace_.ptr()});
}

void add_functions(std::initializer_list<py::object> functions) {
    for (const py::object& function : functions) {
        setitem(module_dict(), getattr(function, names.__name__), function);
    }
}

}  // namespace oxa
