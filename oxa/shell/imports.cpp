#include "shell/imports.hpp"

#include "interop/python.hpp"

namespace oxa::shell {
namespace {

// __import__(name, globals, None, fromlist, 0) through the builtins' __import__, as the
// interpreter's IMPORT_NAME does.
py::object import_name(const char* dotted, py::handle fromlist) {
    py::object name = checked(PyUnicode_FromString(dotted));
    py::object importer = global(names.__import__);
    py::object level = integer(0);
    return call(importer, {name.ptr(), module_dict(), Py_None, fromlist.ptr(), level.ptr()});
}

// The interpreter's IMPORT_FROM: the attribute, else the submodule in sys.modules, else
// ImportError "cannot import name ...".
py::object import_from(py::handle package, const char* attribute) {
    py::object name = checked(PyUnicode_FromString(attribute));
    PyObject* found = PyObject_GetAttr(package.ptr(), name.ptr());
    if (found) return py::reinterpret_steal<py::object>(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    PyObject* package_name = PyObject_GetAttr(package.ptr(), names.__name__);
    py::object owned_package_name = py::reinterpret_steal<py::object>(package_name);
    if (package_name && PyUnicode_Check(package_name)) {
        py::object full = checked(PyUnicode_FromFormat("%U.%U", package_name, name.ptr()));
        PyObject* submodule = PyImport_GetModule(full.ptr());
        if (submodule) return py::reinterpret_steal<py::object>(submodule);
        if (PyErr_Occurred()) throw_error();
    }
    PyErr_Clear();
    if (!package_name) {
        owned_package_name = checked(PyUnicode_FromString("<unknown module name>"));
        package_name = owned_package_name.ptr();
    }
    PyObject* path = PyModule_GetFilenameObject(package.ptr());
    py::object owned_path = py::reinterpret_steal<py::object>(path);
    PyErr_Clear();
    py::object message =
        path ? checked(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name.ptr(), package_name, path))
             : checked(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name.ptr(),
                                            package_name));
    PyErr_SetImportError(message.ptr(), package_name, path);
    throw_error();
}

void bind(PyObject* global_name, py::handle value) { setitem(module_dict(), global_name, value); }

// `import a` and `import a.b as c`
void import_module(PyObject* global_name, const char* dotted, const char* leaf = nullptr) {
    py::object top = import_name(dotted, py::none());
    bind(global_name, leaf ? import_from(top, leaf) : top);
}

// `from a import b`
void import_member(PyObject* global_name, const char* module, const char* member) {
    py::object fromlist = checked(Py_BuildValue("(s)", member));
    bind(global_name, import_from(import_name(module, fromlist), member));
}

}  // namespace

bool run_imports() {
    int line = 0;
    try {
        line = __LINE__, import_module(names.ctypes, "ctypes");
        line = __LINE__, import_module(names.configparser, "configparser");
        line = __LINE__, import_member(names.reload, "importlib", "reload");
        line = __LINE__, import_module(names.time, "time");
        line = __LINE__, import_member(names.datetime, "datetime", "datetime");
        line = __LINE__, import_module(names.pymysql, "pymysql");
        line = __LINE__, import_module(names.sys, "sys");
        line = __LINE__, import_module(names.collections, "collections");
        line = __LINE__, import_module(names.traceback, "traceback");
        line = __LINE__, import_module(names.myEnv, "cfg.oxa_env", "oxa_env");
        line = __LINE__, import_module(names.myDEnv, "cfg.oxa_can_change_env", "oxa_can_change_env");
        line = __LINE__, import_member(names.py_ApiStructure, "oxa", "py_ApiStructure");
    } catch (py::error_already_set& error) {
        error.restore();
        add_traceback_entry("init oxa.Brindle", "oxa/shell/imports.cpp", line);
        return false;
    }
    return true;
}

}  // namespace oxa::shell
