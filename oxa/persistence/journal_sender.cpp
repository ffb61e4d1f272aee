#include "persistence/journal_sender.hpp"

#include <pthread.h>

#include <algorithm>

#include "interop/except.hpp"
#include "persistence/connection.hpp"
#include "persistence/dead_letters.hpp"

namespace oxa::persistence {
namespace {

constexpr int max_attempts = 10;  // as SQL2DB: five cycles of two attempts
constexpr auto first_pause = std::chrono::milliseconds(50);
constexpr auto longest_pause = std::chrono::milliseconds(2000);
constexpr auto idle_wait = std::chrono::milliseconds(1000);

// The writer's state; its Python objects are used under the interpreter lock only. Never
// destroyed: the thread may outlive the interpreter.
struct Sender {
    JournalFile* journal = nullptr;
    PyObject* engine = nullptr;
    OwnConnection opened;
    std::string marked_token;  // the journal whose mark `sent_upto` is, read on this connection
    uint64_t sent_upto = 0;    // its last line committed
    uint64_t failing_line = 0;
    int attempts = 0;  // failed attempts at failing_line
    std::chrono::milliseconds pause{0};
    std::string stale_token;  // a journal started afresh, whose mark is to be deleted
};
Sender& sender = *new Sender();

py::object execute(PyObject* sql, py::handle parameters) {
    return call_method(sender.opened.cursor, names.execute, {sql, parameters.ptr()});
}

py::object text_of(const std::string& token) {
    return checked(PyUnicode_FromStringAndSize(token.data(), static_cast<Py_ssize_t>(token.size())));
}

// The parameters (token,) or (token, line).
py::object parameters(const std::string& token) { return checked(PyTuple_Pack(1, text_of(token).ptr())); }
py::object parameters(const std::string& token, uint64_t line) {
    py::object number = checked(PyLong_FromUnsignedLongLong(line));
    return checked(PyTuple_Pack(2, text_of(token).ptr(), number.ptr()));
}

// Connected, the table of marks there, and the mark of `token` read on this connection.
void connect(const std::string& token) {
    if (!sender.opened.connection) {
        sender.marked_token.clear();
        sender.opened.connection = call_method(sender.engine, names.connectDB);
        sender.opened.cursor = call_method(sender.opened.connection, names.cursor);
        call_method(sender.opened.cursor, names.execute, {names.journal_create});
    }
    if (!sender.stale_token.empty()) {
        execute(names.journal_forget, parameters(sender.stale_token));
        call_method(sender.opened.connection, names.commit);
        sender.stale_token.clear();
    }
    if (sender.marked_token == token) return;
    execute(names.journal_mark_query, parameters(token));
    py::object rows = call_method(sender.opened.cursor, names.fetchall);
    sender.sent_upto = 0;
    if (PyObject_Length(rows.ptr()) > 0) {
        py::object first = getitem(getitem(rows, integer(0)), integer(0));
        sender.sent_upto = PyLong_AsUnsignedLongLong(first.ptr());
        if (PyErr_Occurred()) throw_error();
    }
    call_method(sender.opened.connection, names.commit);
    sender.marked_token = token;
}

void disconnect() {
    sender.opened.close();
    sender.marked_token.clear();
}

// Whether the error says the server was not reached or the connection was lost (what
// waits in the journal), rather than that the server refused the statement.
bool unreachable(const py::error_already_set& error) {
    if (error.matches(PyExc_OSError)) return true;
    bool lost = false;
    try_except(
        [&] {
            py::object errors = getattr(global(names.pymysql), names.err);
            if (PyObject_IsInstance(error.value().ptr(), getattr(errors, names.InterfaceError).ptr()) > 0) {
                lost = true;
            } else if (PyObject_IsInstance(error.value().ptr(), getattr(errors, names.OperationalError).ptr()) > 0) {
                py::object code = getitem(getattr(error.value(), names.args), integer(0));
                long number = PyLong_Check(code.ptr()) ? PyLong_AsLong(code.ptr()) : 0;
                lost = number >= 2000 && number < 3000;  // the client's own codes: no answer came
            }
            PyErr_Clear();
        },
        [](const py::error_already_set&) {});
    return lost;
}

// After a line was given up: its mark, so that a restart does not give it up again.
void mark_given_up(const std::string& token, uint64_t line) {
    try_except(
        [&] {
            connect(token);
            execute(names.journal_mark, parameters(token, line));
            call_method(sender.opened.connection, names.commit);
            sender.sent_upto = line;
        },
        [](const py::error_already_set&) { disconnect(); });
}

void give_up(const std::string& token, const JournalLine& line, py::handle text) {
    keep_letter_line(text, "the SQL journal gave up a statement and could not keep it in log/sql_dead_letters.jsonl");
    mark_given_up(token, line.number);
}

// retry: the server refused the line, which is sent again at once (as SQL2DB's attempts
// follow each other); retry_later: the server is away, the writer pauses first.
enum class Outcome { done, retry, retry_later };

// One line: committed with its mark; given up to the dead letters when it cannot be read
// or the server refused it on every attempt; left for later while the server is away.
Outcome send(const JournalLine& line, const std::string& token) {
    py::object text = checked(PyUnicode_DecodeUTF8(line.text.data(), static_cast<Py_ssize_t>(line.text.size()),
                                                   "replace"));
    py::object sql, rows;
    bool readable = true;
    try_except(
        [&] {
            auto letter = read_letter_line(text);
            sql = std::move(letter.first);
            rows = std::move(letter.second);
        },
        [&](const py::error_already_set&) { readable = false; });
    if (!readable) {
        give_up(token, line, text);
        return Outcome::done;
    }
    Outcome outcome = Outcome::done;
    bool connected = false, given_up = false;
    try_except(
        [&] {
            connect(token);
            connected = true;
            if (line.number <= sender.sent_upto) return;  // committed before its answer was lost
            call_method(sender.opened.cursor, names.executemany, {sql.ptr(), rows.ptr()});
            execute(names.journal_mark, parameters(token, line.number));
            call_method(sender.opened.connection, names.commit);
            sender.sent_upto = line.number;
        },
        [&](const py::error_already_set& error) {
            bool lost = !connected || unreachable(error);
            disconnect();
            if (sender.failing_line != line.number) sender.attempts = 0;
            sender.failing_line = line.number;
            ++sender.attempts;
            // SQL2DB's own reports: a first and a second attempt in each cycle. Should reporting
            // fail (a statement that is no text, a logger that raises), the line goes on all
            // the same: no caller is there to hand the exception to.
            try_except(
                [&] {
                    log_error(add(sender.attempts % 2 ? names.sql_failed : names.sql_failed_again, sql));
                    print(error.value());
                    print(rows);
                },
                [](const py::error_already_set&) {});
            if (lost) {
                outcome = Outcome::retry_later;
            } else if (sender.attempts < max_attempts) {
                outcome = Outcome::retry;
            } else {
                given_up = true;
            }
        });
    if (given_up) give_up(token, line, text);
    if (outcome == Outcome::done) sender.attempts = 0;
    return outcome;
}

Outcome send_pending() {
    JournalLine line;
    while (sender.journal->front(line)) {
        Outcome outcome = send(line, sender.journal->token());
        if (outcome == Outcome::retry_later) return outcome;
        if (outcome == Outcome::done) sender.journal->pop(line.number);
    }
    return Outcome::done;
}

// The thread. It holds the interpreter lock only while it sends; it stops once the journal
// closes at exit, before the interpreter is torn down. A thread the interpreter ends while it
// waits for the lock during the teardown leaves its frames as thread_exit.cpp describes.
void* run(void*) {
    for (;;) {
        if (!sender.journal->wait_for_lines(idle_wait)) {
            if (sender.journal->closing()) return nullptr;
            std::string old = sender.journal->restart_if_done();
            if (!old.empty()) sender.stale_token = old;
            continue;
        }
        if (!sender.journal->enter_sending()) return nullptr;
        PyGILState_STATE state = PyGILState_Ensure();
        Outcome outcome = Outcome::done;
        try {
            outcome = send_pending();
        } catch (py::error_already_set& error) {
            // Not an Exception, or raised by what reports one: the line stays; it is tried
            // again.
            error.restore();
            PyErr_Clear();
            outcome = Outcome::retry_later;
        }
        PyGILState_Release(state);
        sender.journal->leave_sending();
        if (outcome == Outcome::retry_later) {
            sender.pause = std::clamp(sender.pause * 2, std::chrono::milliseconds(first_pause), longest_pause);
            sender.journal->pause(sender.pause);
        } else {
            sender.pause = std::chrono::milliseconds(0);
        }
    }
}

}  // namespace

void start_sender(JournalFile& journal, PyObject* engine) {
    sender.journal = &journal;
    sender.engine = Py_NewRef(engine);
    pthread_t thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&thread, &attributes, run, nullptr) != 0) {
        pthread_attr_destroy(&attributes);
        raise(PyExc_RuntimeError, "cannot start the SQL journal's writer thread");
    }
    pthread_attr_destroy(&attributes);
}

}  // namespace oxa::persistence
