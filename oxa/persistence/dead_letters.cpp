#include "persistence/dead_letters.hpp"

#include <datetime.h>

#include <cmath>

#include "interop/except.hpp"
#include "interop/iteration.hpp"

namespace oxa::persistence {
namespace {

// The standard library pieces the file needs, imported on first use and kept.
struct Library {
    PyObject* json_dumps = nullptr;
    PyObject* decimal = nullptr;
    PyObject* datetime_now = nullptr;
};

// Not a function-local static initialiser: importing runs Python code, which lets other
// threads in, and one of them waiting on a C++ initialisation guard while it holds the
// interpreter lock would deadlock. Two threads may both import; the first result is kept.
const Library& library() {
    static Library loaded;
    if (loaded.json_dumps) return loaded;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw_error();
    py::object json = checked(PyImport_ImportModule("json"));
    py::object decimal = checked(PyImport_ImportModule("decimal"));
    py::object json_dumps = getattr(json, names.dumps);
    py::object decimal_type = getattr(decimal, checked(PyUnicode_FromString("Decimal")).ptr());
    py::object datetime_now = getattr(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), names.now);
    if (!loaded.json_dumps) {
        loaded.decimal = decimal_type.release().ptr();
        loaded.datetime_now = datetime_now.release().ptr();
        loaded.json_dumps = json_dumps.release().ptr();
    }
    return loaded;
}

py::object tagged(PyObject* tag, py::handle payload) {
    py::dict object;
    setitem(object, tag, payload);
    return object;
}

py::object encode(py::handle value);

py::object encode_all(py::handle values) {
    py::list encoded;
    for_each(values, [&](py::handle value) { encoded.append(encode(value)); });
    return encoded;
}

py::object encode_value(py::handle value);

// A row that contains itself ends in RecursionError, as json.dumps would end it, instead
// of exhausting the C stack.
py::object encode(py::handle value) {
    if (Py_EnterRecursiveCall(" while keeping a dead letter")) throw_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    return encode_value(value);
}

py::object encode_value(py::handle value) {
    PyObject* raw = value.ptr();
    if (raw == Py_None || PyBool_Check(raw) || PyUnicode_Check(raw)) return py::reinterpret_borrow<py::object>(raw);
    if (PyLong_Check(raw)) return checked(PyNumber_Long(raw));
    if (PyFloat_Check(raw)) {
        double number = PyFloat_AS_DOUBLE(raw);
        if (std::isnan(number)) return tagged(names.tag_float, names.nan);
        if (std::isinf(number)) return tagged(names.tag_float, number > 0 ? names.inf : names.minus_inf);
        return checked(PyFloat_FromDouble(number));
    }
    int is_decimal = PyObject_IsInstance(raw, library().decimal);
    if (is_decimal < 0) throw_error();
    if (is_decimal) return tagged(names.tag_decimal, str(value));
    if (PyBytes_Check(raw)) return tagged(names.tag_bytes, call_method(value, names.hex));
    if (PyByteArray_Check(raw)) return tagged(names.tag_bytearray, call_method(value, names.hex));
    // datetime before date: a datetime is a date too.
    if (PyDateTime_Check(raw)) return tagged(names.tag_datetime, call_method(value, names.isoformat));
    if (PyDate_Check(raw)) return tagged(names.tag_date, call_method(value, names.isoformat));
    if (PyTime_Check(raw)) return tagged(names.tag_time, call_method(value, names.isoformat));
    if (PyDelta_Check(raw)) {
        py::object parts = checked(Py_BuildValue("[iii]", PyDateTime_DELTA_GET_DAYS(raw),
                                                 PyDateTime_DELTA_GET_SECONDS(raw),
                                                 PyDateTime_DELTA_GET_MICROSECONDS(raw)));
        return tagged(names.tag_timedelta, parts);
    }
    if (PyTuple_Check(raw)) return tagged(names.tag_tuple, encode_all(value));
    if (PyList_Check(raw)) return encode_all(value);
    if (PyDict_Check(raw)) {
        py::list pairs;
        for_each_item(value, [&](py::handle k, py::handle v) {
            pairs.append(checked(Py_BuildValue("[NN]", encode(k).release().ptr(), encode(v).release().ptr())));
        });
        return tagged(names.tag_dict, pairs);
    }
    return str(value);
}

py::object dead_letter_line(py::handle szSQL, py::handle listVal) {
    const Library& lib = library();
    py::dict letter;
    static PyObject* timespec = keyword_names({names.timespec});
    py::object now = call(lib.datetime_now, {});
    setitem(letter, names.at, call_method(now, names.isoformat, {names.seconds}, timespec));
    setitem(letter, names.sql, encode(szSQL));
    setitem(letter, names.rows, encode(listVal));
    // ASCII only: every text, lone surrogates included, reads back as it was.
    static PyObject* json_options = keyword_names({names.ensure_ascii, names.allow_nan});
    py::object line = call(lib.json_dumps, {letter.ptr(), Py_True, Py_False}, json_options);
    return add(line, names.line_feed);
}

// Appends the line, on a line of its own: when the file's last line was cut off (a crash in
// the middle of a write), the line feed it lacks goes first, so that neither line is lost to
// the other.
void append_line(py::handle line) {
    py::object data = checked(PyUnicode_AsUTF8String(line.ptr()));
    py::object file = call(builtins.open, {names.dead_letter_path, names.append_binary});
    try {
        py::object end = call_method(file, names.seek, {integer(0).ptr(), integer(2).ptr()});
        if (compare(end, integer(0), Py_GT)) {
            call_method(file, names.seek, {subtract(end, integer(1)).ptr()});
            py::bytes line_feed("\n");
            if (!equals(call_method(file, names.read, {integer(1).ptr()}), line_feed)) data = add(line_feed, data);
        }
        call_method(file, names.write, {data.ptr()});
    } catch (...) {
        try_except([&] { call_method(file, names.close); }, [](const py::error_already_set&) {});
        throw;
    }
    call_method(file, names.close);
}

}  // namespace

void keep_dead_letter(py::handle szSQL, py::handle listVal) {
    try_except_log([&] { append_line(dead_letter_line(szSQL, listVal)); },
                   "SQL2DB gave up a statement and could not keep it in log/sql_dead_letters.jsonl");
}

}  // namespace oxa::persistence
