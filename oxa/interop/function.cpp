#include "interop/function.hpp"

#include <structmember.h>

#include <exception>
#include <new>
#include <string>
#include <vector>

namespace oxa {
namespace {

constexpr Py_ssize_t max_parameters = 8;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* defaults;    // tuple, or null when there are none
    PyObject* parameters;  // tuple of interned names, the `*name` parameter excluded
    Py_ssize_t count;      // named parameters
    bool positional_only;
    bool varargs;
    Trampoline trampoline;
};

PyTypeObject function_type{};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists names.
std::string quoted_list(const std::vector<PyObject*>& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += items.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == items.size()) text += "and ";
        text += "'";
        text += PyUnicode_AsUTF8(items[i]);
        text += "'";
    }
    return text;
}

PyObject* too_many_positional(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t defaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    std::string takes = defaults ? "from " + std::to_string(f->count - defaults) + " to " +
                                       std::to_string(f->count)
                                 : std::to_string(f->count);
    bool plural = defaults || f->count != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given",
                 f->qualname, takes.c_str(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
    return nullptr;
}

PyObject* missing_positional(FunctionObject* f, const std::vector<PyObject*>& missing) {
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s",
                 f->qualname, static_cast<Py_ssize_t>(missing.size()),
                 missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
    return nullptr;
}

Py_ssize_t parameter_index(FunctionObject* f, PyObject* keyword) {
    for (Py_ssize_t i = 0; i < f->count; ++i) {
        if (PyTuple_GET_ITEM(f->parameters, i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < f->count; ++i) {
        int same = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->parameters, i), keyword, Py_EQ);
        if (same < 0) return -2;
        if (same) return i;
    }
    return -1;
}

PyObject* keyword_error(FunctionObject* f, PyObject* kwnames, Py_ssize_t unknown) {
    if (f->positional_only) {
        // The parameters' own names, each once and in their order, as the interpreter lists
        // them; a keyword is any str (subclass) and may not even have a UTF-8 form.
        std::vector<PyObject*> passed;
        for (Py_ssize_t i = 0; i < f->count; ++i) {
            PyObject* parameter = PyTuple_GET_ITEM(f->parameters, i);
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
                PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
                int same = keyword == parameter ? 1 : PyObject_RichCompareBool(parameter, keyword, Py_EQ);
                if (same < 0) return nullptr;
                if (same) {
                    passed.push_back(parameter);
                    break;
                }
            }
        }
        if (!passed.empty()) {
            std::string listed;
            for (size_t i = 0; i < passed.size(); ++i) {
                listed += (i ? ", " : "");
                listed += PyUnicode_AsUTF8(passed[i]);
            }
            PyErr_Format(PyExc_TypeError,
                         "%U() got some positional-only arguments passed as keyword arguments: '%s'",
                         f->qualname, listed.c_str());
            return nullptr;
        }
    }
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname,
                 PyTuple_GET_ITEM(kwnames, unknown));
    return nullptr;
}

// Inside a catch block: sets the Python error that the caught exception stands for.
void set_python_error() {
    try {
        throw;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
}

PyObject* run(FunctionObject* f, PyObject* const* slots) {
    try {
        return f->trampoline(slots);
    } catch (const std::exception&) {
        set_python_error();
    }
    return nullptr;
}

// The interpreter's own order: positionals, keywords, the positional count, then defaults.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    PyObject* slots[max_parameters + 1] = {};
    Py_ssize_t positional = given < f->count ? given : f->count;
    for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = args[i];
    py::object rest;
    if (f->varargs) {
        PyObject* tuple = PyTuple_New(given - positional);
        if (!tuple) return nullptr;
        for (Py_ssize_t i = positional; i < given; ++i) PyTuple_SET_ITEM(tuple, i - positional, Py_NewRef(args[i]));
        rest = py::reinterpret_steal<py::object>(tuple);
        slots[f->count] = tuple;
    }
    if (kwnames) {
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
            Py_ssize_t index = f->positional_only ? -1 : parameter_index(f, keyword);
            if (index == -2) return nullptr;
            if (index < 0) return keyword_error(f, kwnames, j);
            if (slots[index]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             f->qualname, keyword);
                return nullptr;
            }
            slots[index] = args[given + j];
        }
    }
    if (!f->varargs && given > f->count) return too_many_positional(f, given);
    Py_ssize_t defaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    std::vector<PyObject*> missing;
    for (Py_ssize_t i = 0; i < f->count; ++i) {
        if (slots[i]) continue;
        if (i >= f->count - defaults) {
            slots[i] = PyTuple_GET_ITEM(f->defaults, i - (f->count - defaults));
        } else {
            missing.push_back(PyTuple_GET_ITEM(f->parameters, i));
        }
    }
    if (!missing.empty()) return missing_positional(f, missing);
    return run(f, slots);
}

PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname,
                                self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->parameters);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->parameters);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool init_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return true;  // an import tried again
    Py_SET_REFCNT(&function_type, 1);  // a static type lives for the process
    function_type.tp_name = "function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                             Py_TPFLAGS_METHOD_DESCRIPTOR;
    function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_descr_get = function_get;
    function_type.tp_repr = function_repr;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_members = function_members;
    function_type.tp_getset = function_getset;
    return PyType_Ready(&function_type) == 0;
}

namespace detail {

py::object make_function(const Signature& signature, Trampoline trampoline, std::size_t arity) {
    bool varargs = signature.kind == Kind::varargs;
    Py_ssize_t count = static_cast<Py_ssize_t>(signature.params.size()) - (varargs ? 1 : 0);
    if (arity != signature.params.size() || count > max_parameters) {
        PyErr_Format(PyExc_SystemError, "%s: body and signature disagree", signature.qualname);
        throw_error();
    }
    std::string qualname = signature.qualname;
    std::string name = qualname.substr(qualname.rfind('.') + 1);
    py::object parameters = checked(PyTuple_New(count));
    auto it = signature.params.begin();
    for (Py_ssize_t i = 0; i < count; ++i, ++it) {
        PyObject* parameter = PyUnicode_InternFromString(*it);
        if (!parameter) throw_error();
        PyTuple_SET_ITEM(parameters.ptr(), i, parameter);
    }
    auto* f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) throw_error();
    f->vectorcall = function_vectorcall;
    f->name = PyUnicode_InternFromString(name.c_str());
    f->qualname = PyUnicode_InternFromString(qualname.c_str());
    f->module = Py_NewRef(module_name());
    f->defaults = signature.defaults ? Py_NewRef(signature.defaults.ptr()) : nullptr;
    f->parameters = parameters.release().ptr();
    f->count = count;
    f->positional_only = signature.kind == Kind::positional_only;
    f->varargs = varargs;
    f->trampoline = trampoline;
    py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
    if (!f->name || !f->qualname) throw_error();
    PyObject_GC_Track(f);
    return result;
}

}  // namespace detail
}  // namespace oxa
