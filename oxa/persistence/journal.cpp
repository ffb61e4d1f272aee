#include "persistence/journal.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/construction.hpp"
#include "interop/except.hpp"
#include "persistence/connection.hpp"
#include "persistence/dead_letters.hpp"
#include "persistence/journal_file.hpp"
#include "persistence/journal_sender.hpp"

namespace oxa::persistence {
namespace {

struct Bounds {
    double fallback, lowest, highest;
    bool lowest_allowed;
    const char* unit;
};
constexpr double largest_mb = 1 << 20;  // 1 TiB
const Bounds max_mb_bounds{64, 0, largest_mb, false, "MiB"};
const Bounds drain_bounds{5, 0, 24 * 3600, true, "seconds"};

// A journal of the process, one per database; never destroyed, as its threads may outlive
// the interpreter.
struct Running {
    JournalFile* file;
    std::string database;
    double max_mb, drain_seconds;
    bool failing = false;      // its file cannot be written: statements go to the dead letters
    bool synchronous = false;  // nor can the dead letters: SQL2DB writes synchronously
};
std::vector<Running*> running;
pid_t owner = 0;  // the process that started them: a forked child writes synchronously

void report(PyObject* level, const std::string& message) { log(level, text(("SQL journal: " + message).c_str())); }

// A number of [CLOUD] within its bounds; otherwise the fallback, and the key and the bounds
// are named in the error log.
double setting(py::handle engine, PyObject* key, const Bounds& bounds) {
    py::object value;
    bool present = false;
    try_except(
        [&] {
            py::object config = getattr(engine, names.config);
            present = PyObject_IsTrue(call_method(config, names.has_option, {names.CLOUD, key}).ptr()) == 1;
            if (present) value = call_method(config, names.get, {names.CLOUD, key});
        },
        [](const py::error_already_set&) {});
    if (!present) return bounds.fallback;
    double read = NAN;
    try_except([&] { read = PyFloat_AsDouble(checked(PyNumber_Float(value.ptr())).ptr()); },
               [](const py::error_already_set&) {});
    bool above = bounds.lowest_allowed ? read >= bounds.lowest : read > bounds.lowest;
    if (above && read <= bounds.highest) return read;
    char message[200];
    std::snprintf(message, sizeof message,
                  "is refused: not a number %s %.15g and at most %.15g (%s); the journal uses %g",
                  bounds.lowest_allowed ? "of" : "above", bounds.lowest, bounds.highest, bounds.unit, bounds.fallback);
    std::string shown = value ? PyUnicode_AsUTF8(checked(PyObject_Repr(value.ptr())).ptr()) : "(cannot be read)";
    report(names.error, std::string("[CLOUD] ") + PyUnicode_AsUTF8(key) + " = " + shown + " " + message);
    return bounds.fallback;
}

// At exit (atexit, before the interpreter is torn down): the writers have until the deadline
// to send what is left, without the interpreter lock held here; then the journals close. A
// process forked from the one that started them has no writers: nothing is done there.
PyObject* drain_at_exit(PyObject*, PyObject*) {
    if (getpid() != owner) Py_RETURN_NONE;
    double longest = 0;
    for (Running* journal : running) longest = std::max(longest, journal->drain_seconds);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(longest));
    for (Running* journal : running) {
        size_t left = 0;
        Py_BEGIN_ALLOW_THREADS
        left = journal->file->drain_and_close(deadline);
        Py_END_ALLOW_THREADS
        if (left) {
            try_except([&] {
                report(names.warning, std::to_string(left) + " statements not sent by the exit stay in " +
                                          journal->file->path() + " for the next start");
            }, [](const py::error_already_set&) {});
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef drain_method = {"drain_sql_journal", drain_at_exit, METH_NOARGS, nullptr};

// A short name for the database, stable across processes (FNV-1a).
std::string database_name(const std::string& database) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : database) hash = (hash ^ c) * 1099511628211ull;
    char name[17];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
    return name;
}

// The file of the database's journal: log/sql_journal.jsonl for the database it names (or for
// the first to take it), log/sql_journal.NAME.jsonl for the others.
JournalFile* open_journal(const std::string& name, size_t max_bytes, std::string& why) {
    std::string plain = PyUnicode_AsUTF8(names.journal_path);
    std::string own = plain.substr(0, plain.size() - std::strlen(".jsonl")) + "." + name + ".jsonl";
    std::vector<std::string> paths;
    bool plain_taken = false;
    for (Running* journal : running) plain_taken = plain_taken || journal->file->path() == plain;
    if (access(own.c_str(), F_OK) != 0 && !plain_taken) paths.push_back(plain);
    paths.push_back(own);
    for (const std::string& path : paths) {
        auto* journal = new JournalFile();
        switch (journal->open(path, name, max_bytes, why)) {
            case JournalFile::Opened::yes:
                return journal;
            case JournalFile::Opened::other_database:
                delete journal;
                continue;
            case JournalFile::Opened::failed:
                delete journal;
                return nullptr;
        }
    }
    why = own + " is another database's journal: move it aside";
    return nullptr;
}

Running* journal_of(py::handle engine) {
    py::object index = engine::optional_attribute(engine, names.sql_journal);
    if (!index || !PyLong_Check(index.ptr())) return nullptr;
    size_t at = PyLong_AsSize_t(index.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    return at < running.size() ? running[at] : nullptr;
}

}  // namespace

bool start_journal(py::handle engine) {
    std::string database;
    try_except([&] { database = database_of(engine); },
               [](const py::error_already_set&) { log_error("SQL journal: cannot read the database settings"); });
    if (database.empty()) return false;
    std::string name = database_name(database);
    for (size_t at = 0; at < running.size(); ++at) {
        if (running[at]->database == name) {
            setattr(engine, names.sql_journal, checked(PyLong_FromSize_t(at)));
            return true;
        }
    }
    auto* journal = new Running{nullptr, name, setting(engine, names.async_max_mb, max_mb_bounds),
                                setting(engine, names.async_drain_seconds, drain_bounds)};
    std::string why;
    journal->file = open_journal(name, static_cast<size_t>(journal->max_mb * (1 << 20)), why);
    if (!journal->file) {
        delete journal;
        report(names.error, why + "; SQL2DB writes synchronously");
        return false;
    }
    if (running.empty()) {
        owner = getpid();
        py::object drain_function = checked(PyCFunction_New(&drain_method, nullptr));
        py::object atexit = checked(PyImport_ImportModule("atexit"));
        call_method(atexit, names.register_, {drain_function.ptr()});
    }
    running.push_back(journal);  // from here on kept: its threads run
    setattr(engine, names.sql_journal, checked(PyLong_FromSize_t(running.size() - 1)));
    start_sender(*journal->file, engine.ptr());
    return true;
}

bool journal_takes(py::handle engine, py::handle szSQL, py::handle listVal) {
    Running* journal = journal_of(engine);
    if (!journal || getpid() != owner) return false;
    py::object line = letter_line(szSQL, listVal);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
    if (!data) throw_error();
    using Appended = JournalFile::Appended;
    Appended appended = journal->file->append(std::string_view(data, static_cast<size_t>(size)));
    int error = errno;
    auto bound = [journal] {
        char text[32];
        std::snprintf(text, sizeof text, "%g MiB", journal->max_mb);
        return std::string(text);
    };
    const std::string& path = journal->file->path();
    if (appended == Appended::yes || appended == Appended::after_refusals) {
        if (journal->failing) report(names.warning, path + " can be written again; statements go to the journal again");
        journal->failing = journal->synchronous = false;
    }
    switch (appended) {
        case Appended::yes:
            return true;
        case Appended::after_refusals:
            report(names.warning,
                   "below its bound of " + bound() + " again; statements go to the journal again");
            return true;
        case Appended::first_refused:
            report(names.error, "full, it holds " + bound() +
                                    " ([CLOUD] async_max_mb) the database has not taken yet; statements go to "
                                    "log/sql_dead_letters.jsonl until it has");
            break;
        case Appended::refused:
            break;
        case Appended::failed:
            if (!journal->failing) {
                report(names.error, "cannot write " + path + ": " + std::strerror(error) +
                                        "; statements go to log/sql_dead_letters.jsonl until it can be written");
            }
            journal->failing = true;
            break;
    }
    // Neither file taking the statement, it is written while the caller waits rather than lost.
    bool kept = true;
    try_except([&] { append_letter_line(line); }, [&](const py::error_already_set&) { kept = false; });
    if (kept && journal->synchronous) {
        report(names.warning, "log/sql_dead_letters.jsonl can be written again; statements go there again");
    } else if (!kept && !journal->synchronous) {
        report(names.error, "cannot write log/sql_dead_letters.jsonl either: SQL2DB writes synchronously until "
                            "one of the two can be written");
    }
    journal->synchronous = !kept;
    return kept;
}

}  // namespace oxa::persistence
