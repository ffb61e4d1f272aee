#include "shell/config_errors.hpp"

#include "interop/except.hpp"
#include "interop/iteration.hpp"

namespace oxa::shell {
namespace {

constexpr const char* hidden = "(not shown)";

bool instance_of(py::handle value, py::handle configparser, PyObject* class_name) {
    py::object type = getattr(configparser, class_name);
    int result = PyObject_IsInstance(value.ptr(), type.ptr());
    if (result < 0) throw_error();
    return result != 0;
}

void rewrite(py::handle value, py::handle message, py::handle args) {
    setattr(value, names.message, message);
    setattr(value, names.args, args);
}

}  // namespace

void hide_config_text(const py::error_already_set& error) {
    try_except(
        [&] {
            py::object configparser = checked(PyImport_ImportModule("configparser"));
            py::handle value = error.value();
            py::object not_shown = text(hidden);
            if (instance_of(value, configparser, names.InterpolationError)) {
                py::object option = getattr(value, names.option);
                py::object section = getattr(value, names.section);
                py::object message = checked(PyUnicode_FromFormat(
                    "bad interpolation in option %R in section %R (the value is not shown: it may hold a password)",
                    option.ptr(), section.ptr()));
                rewrite(value, message, py::make_tuple(option, section, message));
            } else if (instance_of(value, configparser, names.MissingSectionHeaderError)) {
                py::object source = getattr(value, names.source);
                py::object lineno = getattr(value, names.lineno);
                py::object message = checked(PyUnicode_FromFormat(
                    "File contains no section headers.\nfile: %R, line: %S\n%s", source.ptr(), lineno.ptr(), hidden));
                setattr(value, names.line, not_shown);
                rewrite(value, message, py::make_tuple(source, lineno, not_shown));
            } else if (instance_of(value, configparser, names.ParsingError)) {
                py::object source = getattr(value, names.source);
                py::object message = checked(PyUnicode_FromFormat("Source contains parsing errors: %R", source.ptr()));
                py::list errors;
                for_each(getattr(value, names.errors), [&](py::handle entry) {
                    py::object lineno = getitem(entry, integer(0));
                    errors.append(py::make_tuple(lineno, not_shown));
                    message = add(message, checked(PyUnicode_Format(names.parsing_error_line,
                                                                    py::make_tuple(lineno, not_shown).ptr())));
                });
                setattr(value, names.errors, errors);
                rewrite(value, message, py::make_tuple(source));
            }
        },
        [](const py::error_already_set&) {});
}

}  // namespace oxa::shell
