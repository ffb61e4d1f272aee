#include "persistence/journal.hpp"

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>

#include "interop/except.hpp"
#include "persistence/dead_letters.hpp"
#include "persistence/journal_file.hpp"
#include "persistence/journal_sender.hpp"

namespace oxa::persistence {
namespace {

constexpr double default_max_mb = 64;
constexpr double default_drain_seconds = 5;

// The process's journal once started; never destroyed, as its threads may outlive the
// interpreter.
JournalFile* running = nullptr;
pid_t owner = 0;  // the process that started it: a forked child writes synchronously
double drain_seconds = default_drain_seconds;
double max_mb = default_max_mb;

// A positive number of [CLOUD] in the engine's settings, else the fallback.
double setting(py::handle engine, PyObject* key, double fallback) {
    double value = fallback;
    try_except(
        [&] {
            py::object text = call_method(getattr(engine, names.config), names.get, {names.CLOUD, key});
            double read = PyFloat_AsDouble(checked(PyNumber_Float(text.ptr())).ptr());
            if (read > 0 && std::isfinite(read)) value = read;
        },
        [](const py::error_already_set&) {});
    return value;
}

void report(PyObject* level, const std::string& message) { log(level, text(message.c_str())); }

// At exit (atexit, before the interpreter is torn down): the writer has until the deadline
// to send what is left, without the interpreter lock held here; then the journal closes.
PyObject* drain_at_exit(PyObject*, PyObject*) {
    size_t left = 0;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(drain_seconds));
    Py_BEGIN_ALLOW_THREADS
    left = running->drain_and_close(deadline);
    Py_END_ALLOW_THREADS
    if (left) {
        try_except([&] {
            report(names.warning, "SQL journal: " + std::to_string(left) +
                                      " statements not sent by the exit stay in log/sql_journal.jsonl for the next start");
        }, [](const py::error_already_set&) {});
    }
    Py_RETURN_NONE;
}

PyMethodDef drain_method = {"drain_sql_journal", drain_at_exit, METH_NOARGS, nullptr};

}  // namespace

bool start_journal(py::handle engine) {
    if (running) return true;
    max_mb = setting(engine, names.async_max_mb, default_max_mb);
    drain_seconds = setting(engine, names.async_drain_seconds, default_drain_seconds);
    auto* journal = new JournalFile();
    std::string why = journal->open(PyUnicode_AsUTF8(names.journal_path), static_cast<size_t>(max_mb * (1 << 20)));
    if (!why.empty()) {
        delete journal;
        report(names.error, "SQL journal: " + why + "; SQL2DB writes synchronously");
        return false;
    }
    running = journal;  // from here on kept: its thread runs
    owner = getpid();
    py::object drain = checked(PyCFunction_New(&drain_method, nullptr));
    py::object atexit = checked(PyImport_ImportModule("atexit"));
    call_method(atexit, names.register_, {drain.ptr()});
    start_sender(*journal, engine.ptr());
    return true;
}

bool journal_takes(py::handle szSQL, py::handle listVal) {
    if (!running || getpid() != owner) return false;
    py::object line = letter_line(szSQL, listVal);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
    if (!data) throw_error();
    using Appended = JournalFile::Appended;
    Appended appended = running->append(std::string(data, static_cast<size_t>(size)));
    int error = errno;
    char bound[32];
    std::snprintf(bound, sizeof bound, "%g MiB", max_mb);
    switch (appended) {
        case Appended::yes:
            return true;
        case Appended::after_refusals:
            report(names.warning, "SQL journal: below its bound of " + std::string(bound) +
                                      " again; statements go to the journal again");
            return true;
        case Appended::first_refused:
            report(names.error, "SQL journal: full, it holds " + std::string(bound) +
                                    " ([CLOUD] async_max_mb) the database has not taken yet; statements go to "
                                    "log/sql_dead_letters.jsonl until it has");
            break;
        case Appended::refused:
            break;
        case Appended::failed:
            report(names.error, std::string("SQL journal: cannot write log/sql_journal.jsonl: ") +
                                    std::strerror(error) + "; the statement goes to log/sql_dead_letters.jsonl");
            break;
    }
    keep_letter_line(line, "SQL2DB could not keep a statement in log/sql_dead_letters.jsonl");
    return true;
}

}  // namespace oxa::persistence
