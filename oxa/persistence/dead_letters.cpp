#include "persistence/dead_letters.hpp"

#include <datetime.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "interop/except.hpp"
#include "interop/iteration.hpp"

namespace oxa::persistence {
namespace {

// The standard library pieces the file needs, imported on first use and kept.
struct Library {
    PyObject* json_dumps = nullptr;
    PyObject* json_loads = nullptr;
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
    py::object json_loads = getattr(json, names.loads);
    py::object decimal_type = getattr(decimal, checked(PyUnicode_FromString("Decimal")).ptr());
    py::object datetime_now = getattr(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), names.now);
    if (!loaded.json_dumps) {
        loaded.decimal = decimal_type.release().ptr();
        loaded.datetime_now = datetime_now.release().ptr();
        loaded.json_loads = json_loads.release().ptr();
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
    // The driver sends a set as its items joined by commas, not as its str().
    if (PyFrozenSet_Check(raw)) return tagged(names.tag_frozenset, encode_all(value));
    if (PyAnySet_Check(raw)) return tagged(names.tag_set, encode_all(value));
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

// ---- reading a line back -----------------------------------------------------------------

[[noreturn]] void not_a_letter(const char* why) { raise(PyExc_ValueError, why); }

py::object decode(py::handle value);

py::object decode_all(py::handle items) {
    if (!PyList_Check(items.ptr())) not_a_letter("a tagged sequence is not a list");
    py::list decoded;
    for_each(items, [&](py::handle item) { decoded.append(decode(item)); });
    return decoded;
}

py::object from_type(PyTypeObject* type, PyObject* method, py::handle payload) {
    return call_method(reinterpret_cast<PyObject*>(type), method, {payload.ptr()});
}

// The value a tagged object stands for, as encode_value tagged it.
py::object untag(py::handle tag, py::handle payload) {
    auto is = [&](PyObject* name) { return equals(tag, name); };
    if (is(names.tag_float)) return checked(PyFloat_FromString(payload.ptr()));
    if (is(names.tag_decimal)) return call(library().decimal, {payload.ptr()});
    if (is(names.tag_bytes)) return from_type(&PyBytes_Type, names.fromhex, payload);
    if (is(names.tag_bytearray)) return from_type(&PyByteArray_Type, names.fromhex, payload);
    if (is(names.tag_datetime)) return from_type(PyDateTimeAPI->DateTimeType, names.fromisoformat, payload);
    if (is(names.tag_date)) return from_type(PyDateTimeAPI->DateType, names.fromisoformat, payload);
    if (is(names.tag_time)) return from_type(PyDateTimeAPI->TimeType, names.fromisoformat, payload);
    if (is(names.tag_timedelta)) {
        py::object parts = checked(PySequence_Tuple(payload.ptr()));
        return checked(PyObject_Call(reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType), parts.ptr(), nullptr));
    }
    if (is(names.tag_tuple)) return checked(PyList_AsTuple(decode_all(payload).ptr()));
    if (is(names.tag_set)) return checked(PySet_New(decode_all(payload).ptr()));
    if (is(names.tag_frozenset)) return checked(PyFrozenSet_New(decode_all(payload).ptr()));
    if (is(names.tag_dict)) {
        py::dict decoded;
        for_each(payload, [&](py::handle pair) {
            py::object both = checked(PySequence_Tuple(pair.ptr()));
            if (PyTuple_GET_SIZE(both.ptr()) != 2) not_a_letter("a tagged dict entry is not a pair");
            setitem(decoded, decode(PyTuple_GET_ITEM(both.ptr(), 0)), decode(PyTuple_GET_ITEM(both.ptr(), 1)));
        });
        return decoded;
    }
    not_a_letter("unknown tag");
}

py::object decode(py::handle value) {
    if (Py_EnterRecursiveCall(" while reading a dead letter")) throw_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    if (PyList_Check(value.ptr())) return decode_all(value);
    if (!PyDict_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    if (PyDict_GET_SIZE(value.ptr()) != 1) not_a_letter("not a tagged value");
    Py_ssize_t position = 0;
    PyObject *tag, *payload;
    PyDict_Next(value.ptr(), &position, &tag, &payload);
    py::object held_tag = py::reinterpret_borrow<py::object>(tag), held = py::reinterpret_borrow<py::object>(payload);
    return untag(held_tag, held);
}

}  // namespace

std::pair<py::object, py::object> read_letter_line(py::handle line) {
    const Library& lib = library();
    py::object letter = call(lib.json_loads, {line.ptr()});
    if (!PyDict_Check(letter.ptr())) not_a_letter("not a statement with its rows");
    PyObject* sql = PyDict_GetItemWithError(letter.ptr(), names.sql);
    if (!sql && PyErr_Occurred()) throw_error();
    PyObject* rows = PyDict_GetItemWithError(letter.ptr(), names.rows);
    if (!rows && PyErr_Occurred()) throw_error();
    if (!sql || !rows) not_a_letter("not a statement with its rows");
    return {decode(sql), decode(rows)};
}

py::object letter_line(py::handle szSQL, py::handle listVal) {
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

// On a line of its own: when the file's last line was cut off (a crash in the middle of a
// write), the line feed it lacks goes first, so that neither line is lost to the other. A
// write that fails half-way (a full disk) is cut off again.
void append_letter_line(py::handle line) {
    py::object encoded = checked(PyUnicode_AsUTF8String(line.ptr()));
    std::string data(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    const char* path = PyUnicode_AsUTF8(names.dead_letter_path);
    int fd = ::open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    int error = fd < 0 ? errno : 0;
    struct stat status {};
    char last = '\n';
    if (fd >= 0 && fstat(fd, &status) == 0 && status.st_size > 0 && pread(fd, &last, 1, status.st_size - 1) == 1 &&
        last != '\n') {
        data.insert(0, 1, '\n');
    }
    size_t done = 0;
    while (fd >= 0 && done < data.size()) {
        ssize_t wrote = write(fd, data.data() + done, data.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            error = wrote < 0 ? errno : ENOSPC;  // a write of nothing: the disk is full
            break;
        }
        done += static_cast<size_t>(wrote);
    }
    if (fd >= 0 && done == data.size()) {
        close(fd);
        return;
    }
    struct stat now;
    if (fd >= 0 && done && fstat(fd, &now) == 0 && now.st_size == status.st_size + static_cast<off_t>(done)) {
        (void)!ftruncate(fd, status.st_size);
    }
    if (fd >= 0) close(fd);
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    throw_error();
}

namespace {

bool file_holds(const std::string& path, const std::string& start) {
    std::ifstream file(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return data.compare(0, start.size(), start) == 0 || data.find("\n" + start) != std::string::npos;
}

}  // namespace

Found dead_letter_exists(const std::string& start) {
    // Under brindle-resend's lock, so that no run moves the letter between the files meanwhile.
    std::string path = PyUnicode_AsUTF8(names.dead_letter_path), lock_path = path + ".lock";
    int lock = -1;
    for (;;) {
        // Where no lock file can be made, no resend run can hold one either.
        lock = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock < 0) break;
        if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
            close(lock);
            return Found::busy;
        }
        struct stat held, named;
        if (fstat(lock, &held) == 0 && stat(lock_path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            break;
        }
        close(lock);  // removed by the run that held it: take the new one
    }
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    bool found = file_holds(path, start);
    if (DIR* listing = opendir(directory.c_str())) {
        while (dirent* entry = readdir(listing)) {
            std::string name = entry->d_name;
            if (found) break;
            if (name.compare(0, base.size() + 1, base + ".") == 0 && name != base + ".lock") {
                found = file_holds(directory + "/" + name, start);
            }
        }
        closedir(listing);
    }
    if (lock >= 0) {
        unlink(lock_path.c_str());
        close(lock);
    }
    return found ? Found::yes : Found::no;
}

void keep_dead_letter(py::handle szSQL, py::handle listVal) {
    try_except_log([&] { append_letter_line(letter_line(szSQL, listVal)); },
                   "SQL2DB gave up a statement and could not keep it in log/sql_dead_letters.jsonl");
}

}  // namespace oxa::persistence
