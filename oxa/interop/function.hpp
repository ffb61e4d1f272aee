// Functions and methods that behave like Python functions: they bind as methods, take their
// parameters positionally or by keyword under their own names, raise Python's own TypeError
// messages, and show __name__, __qualname__, __module__ and __defaults__. Each body is plain
// C++ taking one py::handle per parameter and returning a py::object.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <utility>

#include "interop/python.hpp"

namespace oxa {

// Calls a body with the filled parameter slots; returns a new reference.
using Trampoline = PyObject* (*)(PyObject* const* slots);

enum class Kind {
    ordinary,         // positional or keyword
    positional_only,  // `def f(val, /)`
    varargs,          // the last parameter is `*name`
};

struct Signature {
    const char* qualname;                       // "COXAAlgos.push_Order", "nvl"
    std::initializer_list<const char*> params;  // every parameter, `self` included
    Kind kind = Kind::ordinary;
    py::handle defaults = {};                   // tuple of the last parameters' values, made once
};

namespace detail {
template <class>
struct Arity;
template <class Result, class... Args>
struct Arity<Result (*)(Args...)> {
    static constexpr std::size_t value = sizeof...(Args);
};

template <auto Body, std::size_t... I>
PyObject* invoke(PyObject* const* slots, std::index_sequence<I...>) {
    return Body(py::handle(slots[I])...).release().ptr();
}

template <auto Body>
PyObject* trampoline(PyObject* const* slots) {
    return invoke<Body>(slots, std::make_index_sequence<Arity<decltype(Body)>::value>{});
}

py::object make_function(const Signature& signature, Trampoline trampoline, std::size_t arity);
}  // namespace detail

// A new function object running `Body` (a function of one py::handle per parameter; a
// `*name` parameter arrives as a tuple).
template <auto Body>
py::object function(const Signature& signature) {
    return detail::make_function(signature, &detail::trampoline<Body>,
                                 detail::Arity<decltype(Body)>::value);
}

// Readies the function type; called once at import.
bool init_function_type();

}  // namespace oxa
