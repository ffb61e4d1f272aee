#include "shell/trace_files.hpp"

#include <climits>

#include "interop/with.hpp"
#include "shell/values.hpp"

namespace oxa::shell {
namespace {

// The PYTHON_SWITCH pair of one INI file; a switch that could not be read stays null and
// counts as off (the parser's error has been printed).
struct Switches {
    py::object detail;
    py::object debug;
};

// config = configparser.ConfigParser(); config.read(ini_path, encoding="utf-8")
py::object read_ini(PyObject* ini_path) {
    py::object config = call_method(global(names.configparser), names.ConfigParser);
    static PyObject* encoding = keyword_names({names.encoding});
    call_method(config, names.read, {ini_path, names.utf_8}, encoding);
    return config;
}

Switches switches_of(py::handle config) {
    Switches switches;
    try_except(
        [&] {
            switches.detail = call_method(config, names.get, {names.PYTHON_SWITCH, names.detail});
            switches.debug = call_method(config, names.get, {names.PYTHON_SWITCH, names.debug});
        },
        [](const py::error_already_set& error) { print(error.value()); });
    return switches;
}

bool on(const py::object& switch_value) { return switch_value && equals(switch_value, names.one_text); }

// with open(path, "a+") as f: f.write(line()) -- the line is built after the file is open.
template <class Line>
void append(py::handle path, Line&& line) {
    py::object file = call(builtins.open, {path.ptr(), names.append_mode});
    with_block(file, [&](py::handle opened) { call_method(opened, names.write, {line().ptr()}); });
}

// The per-name file first, then the collective one, each under its own switch.
template <class Line>
void trace(const Switches& switches, PyObject* prefix, py::handle fileName, PyObject* collective,
           Line&& line) {
    if (on(switches.debug)) append(add(add(prefix, fileName), names.log_suffix), line);
    if (on(switches.detail)) append(py::handle(collective), line);
}

// str(dwTimes) + ":" + text
py::object tagged(py::handle dwTimes, py::handle text) { return add(add(str(dwTimes), names.colon), text); }

// str(dwTimes) + ":" + key + "=" + value() + "\n", evaluated left to right.
template <class Value>
py::object named_line(py::handle dwTimes, py::handle key, Value&& value) {
    py::object head = add(tagged(dwTimes, key), names.equals_sign);
    return add(add(head, value()), names.line_feed);
}

py::object dump(PyObject* prefix, PyObject* collective, py::handle fileName, py::handle logInfo,
                py::handle dwTimes) {
    Switches switches = switches_of(read_ini(names.oxa_ini));
    trace(switches, prefix, fileName, collective,
          [&] { return add(tagged(dwTimes, logInfo), names.line_feed); });
    return py::none();
}

}  // namespace

py::object printString(py::handle fileName, py::handle key, py::handle val, py::handle dwTimes) {
    py::object config = read_ini(names.cfg_oxa_ini);
    py::object myVal = toString(val);
    Switches switches = switches_of(config);
    trace(switches, names.py2c_prefix, fileName, names.py2c_all,
          [&] { return named_line(dwTimes, key, [&] { return myVal; }); });
    return py::none();
}

py::object printNumber(py::handle fileName, py::handle key, py::handle val, py::handle dwTimes) {
    Switches switches = switches_of(read_ini(names.oxa_ini));
    trace(switches, names.py2c_prefix, fileName, names.py2c_all,
          [&] { return named_line(dwTimes, key, [&] { return str(val); }); });
    return py::none();
}

py::object dump_py2c(py::handle fileName, py::handle logInfo, py::handle dwTimes) {
    return dump(names.py2c_prefix, names.py2c_all, fileName, logInfo, dwTimes);
}

py::object dump_c2py(py::handle fileName, py::handle logInfo, py::handle dwTimes) {
    return dump(names.c2py_prefix, names.c2py_all, fileName, logInfo, dwTimes);
}

py::object testPerform(py::handle i) {
    py::object range = call(builtins.range, {i.ptr()});
    py::object count = getattr(range, names.stop);  // i as the int range(i) made of it
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw_error();
    if (overflow > 0) n = LLONG_MAX;
    if (n <= 0) return integer(0);
    // The loop on doubles is Python's float arithmetic on these operands: every counter a
    // run can reach (below 2**53) converts to a double exactly.
    double sum = 0.0;
    for (long long it = 0; it < n; ++it) {
        double added = sum + static_cast<double>(it * 2);
        sum = added - static_cast<double>(it) * 1.2 / 3.0;
        // Stay interruptible, as the interpreter's loop is.
        if ((it & 0xFFFFF) == 0xFFFFF && PyErr_CheckSignals() < 0) throw_error();
    }
    return checked(PyFloat_FromDouble(sum));
}

}  // namespace oxa::shell
