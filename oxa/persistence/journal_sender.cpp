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

// One journal's writer; its Python objects are used under the interpreter lock only. Never
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
    // The first line left by the last process: it may have been given up to the dead letters
    // by a process stopped before it could mark it.
    uint64_t line_to_check = 0;
    uint64_t letter_kept = 0;     // a line given up to the dead letters, its mark not committed yet
    uint64_t unkept_reported = 0;  // a line that could not be given up, reported once
    std::string damage;           // why the database's mark disagrees with the file; nothing is sent
};

py::object execute(Sender& s, PyObject* sql, py::handle parameters) {
    return call_method(s.opened.cursor, names.execute, {sql, parameters.ptr()});
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

void report(PyObject* level, const std::string& message) {
    try_except([&] { log(level, text_of("SQL journal: " + message)); }, [](const py::error_already_set&) {});
}

// A mark behind what the file says was sent means the mark was lost (the table dropped or
// emptied): sending on would send those lines twice.
void check_mark(Sender& s, const std::string& token, bool marked) {
    uint64_t sent = s.journal->recorded_sent(token);
    std::string was = s.damage;
    if (sent > s.sent_upto || (sent && !marked)) {
        s.damage = "t_sql_journal_sent holds " +
                   (marked ? "line " + std::to_string(s.sent_upto) : std::string("no mark")) + " for journal " +
                   token + " of " + s.journal->path() + ", which sent its lines up to " + std::to_string(sent) +
                   " (the table dropped or emptied?): nothing is sent, so that no line goes twice. Once lines 1 to " +
                   std::to_string(sent) + " are known to be in the database, put the mark back: REPLACE INTO "
                   "t_sql_journal_sent VALUES ('" + token + "', " + std::to_string(sent) + ")";
        if (was != s.damage) report(names.error, s.damage);
    } else if (!was.empty()) {
        s.damage.clear();
        report(names.warning, "the mark of journal " + token + " is back; sending carries on");
    }
}

// Connected, the table of marks there, and the mark of `token` read on this connection.
void connect(Sender& s, const std::string& token) {
    if (!s.opened.connection) {
        s.marked_token.clear();
        s.opened.connection = call_method(s.engine, names.connectDB);
        s.opened.cursor = call_method(s.opened.connection, names.cursor);
        call_method(s.opened.cursor, names.execute, {names.journal_create});
    }
    if (!s.stale_token.empty()) {
        execute(s, names.journal_forget, parameters(s.stale_token));
        call_method(s.opened.connection, names.commit);
        s.stale_token.clear();
    }
    if (s.marked_token == token) return;
    execute(s, names.journal_mark_query, parameters(token));
    py::object rows = call_method(s.opened.cursor, names.fetchall);
    s.sent_upto = 0;
    bool marked = PyObject_Length(rows.ptr()) > 0;
    if (marked) {
        py::object first = getitem(getitem(rows, integer(0)), integer(0));
        s.sent_upto = PyLong_AsUnsignedLongLong(first.ptr());
        if (PyErr_Occurred()) throw_error();
    }
    call_method(s.opened.connection, names.commit);
    check_mark(s, token, marked);
    if (s.damage.empty()) s.marked_token = token;
}

void disconnect(Sender& s) {
    s.opened.close();
    s.marked_token.clear();
}

bool connected(Sender& s, const std::string& token) {
    bool ok = true;
    try_except([&] { connect(s, token); }, [&](const py::error_already_set&) {
        disconnect(s);
        ok = false;
    });
    return ok;
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

// retry: the server refused the line, which is sent again at once (as SQL2DB's attempts
// follow each other); retry_later: the server is away, the writer pauses first.
enum class Outcome { done, retry, retry_later };

// How a line given up to the dead-letter file starts: it names its journal and number, so that
// it is found there again.
std::string letter_start(const std::string& token, uint64_t line) {
    return "{\"journal\": \"" + token + "\", \"line\": " + std::to_string(line) + ", ";
}

// The line as a dead letter: its own number replaced by the journal's name and the number.
// A line that cannot be read stays as it is after them.
std::string given_up_letter(const std::string& token, const JournalLine& line) {
    std::string body = line.text;
    std::string own = "{\"line\": " + std::to_string(line.number) + ", ";
    if (body.compare(0, own.size(), own) == 0) {
        body.erase(0, own.size());
    } else if (!body.empty() && body[0] == '{') {
        body.erase(0, 1);  // an earlier version's line, without a number
    }
    return letter_start(token, line.number) + body;
}

// The line's mark alone: it is done with.
Outcome mark(Sender& s, const std::string& token, uint64_t line) {
    bool marked = connected(s, token) && s.damage.empty();
    if (marked && line > s.sent_upto) {
        try_except(
            [&] {
                execute(s, names.journal_mark, parameters(token, line));
                call_method(s.opened.connection, names.commit);
                s.sent_upto = line;
            },
            [&](const py::error_already_set&) {
                disconnect(s);
                marked = false;
            });
    }
    return marked ? Outcome::done : Outcome::retry_later;
}

// Gives the line up to the dead-letter file, then marks it. A line that cannot be kept there
// stays in the journal.
Outcome give_up(Sender& s, const std::string& token, const JournalLine& line) {
    std::string letter = given_up_letter(token, line);
    bool kept = true;
    try_except([&] { append_letter_line(text_of(letter)); },
               [&](const py::error_already_set&) {
                   kept = false;
                   if (s.unkept_reported == line.number) return;
                   s.unkept_reported = line.number;
                   log_error(text_of("SQL journal: cannot give line " + std::to_string(line.number) +
                                     " up to log/sql_dead_letters.jsonl; it stays in the journal and is tried again"));
               });
    if (!kept) return Outcome::retry_later;
    s.letter_kept = line.number;
    return mark(s, token, line.number);
}

// Before the first line a stopped process left is sent: whether that process gave it up to
// the dead letters already.
Outcome check_left_line(Sender& s, const std::string& token, const JournalLine& line) {
    if (!connected(s, token) || !s.damage.empty()) return Outcome::retry_later;
    if (line.number > s.sent_upto) {
        switch (dead_letter_exists(letter_start(token, line.number))) {
            case Found::busy:
                return Outcome::retry_later;
            case Found::yes:
                s.letter_kept = line.number;
                break;
            case Found::no:
                break;
        }
    }
    s.line_to_check = 0;
    return Outcome::done;
}

// One line: committed with its mark; given up to the dead letters when it cannot be read
// or the server refused it on every attempt; left for later while the server is away.
Outcome send(Sender& s, const JournalLine& line, const std::string& token) {
    if (line.number == s.line_to_check && check_left_line(s, token, line) != Outcome::done) return Outcome::retry_later;
    if (line.number == s.letter_kept) return mark(s, token, line.number);
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
    if (!readable) return give_up(s, token, line);
    Outcome outcome = Outcome::done;
    bool connected = false, given_up = false;
    try_except(
        [&] {
            connect(s, token);
            connected = true;
            if (!s.damage.empty() || line.number <= s.sent_upto) return;  // committed before its answer was lost
            call_method(s.opened.cursor, names.executemany, {sql.ptr(), rows.ptr()});
            execute(s, names.journal_mark, parameters(token, line.number));
            call_method(s.opened.connection, names.commit);
            s.sent_upto = line.number;
        },
        [&](const py::error_already_set& error) {
            bool lost = !connected || unreachable(error);
            disconnect(s);
            if (s.failing_line != line.number) s.attempts = 0;
            s.failing_line = line.number;
            ++s.attempts;
            // SQL2DB's own reports: a first and a second attempt in each cycle. Should reporting
            // fail (a statement that is no text, a logger that raises), the line goes on all
            // the same: no caller is there to hand the exception to.
            try_except(
                [&] {
                    log_error(add(s.attempts % 2 ? names.sql_failed : names.sql_failed_again, sql));
                    print(error.value());
                    print(rows);
                },
                [](const py::error_already_set&) {});
            if (lost) {
                outcome = Outcome::retry_later;
            } else if (s.attempts < max_attempts) {
                outcome = Outcome::retry;
            } else {
                given_up = true;
            }
        });
    if (!s.damage.empty()) return Outcome::retry_later;
    if (given_up) outcome = give_up(s, token, line);
    if (outcome == Outcome::done) s.attempts = 0;
    return outcome;
}

Outcome send_pending(Sender& s) {
    JournalLine line;
    while (s.journal->front(line)) {
        Outcome outcome = send(s, line, s.journal->token());
        if (outcome == Outcome::retry_later) return outcome;
        if (outcome == Outcome::done) s.journal->pop(line.number);
    }
    return Outcome::done;
}

void log_notices(Sender& s) {
    std::vector<std::string> notices = s.journal->take_notices();
    if (notices.empty() || !s.journal->enter_sending()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    for (const std::string& notice : notices) report(names.error, notice);
    PyGILState_Release(state);
    s.journal->leave_sending();
}

// The thread. It holds the interpreter lock only while it sends; it stops once the journal
// closes at exit, before the interpreter is torn down. A thread the interpreter ends while it
// waits for the lock during the teardown leaves its frames as thread_exit.cpp describes.
void* run(void* argument) {
    Sender& s = *static_cast<Sender*>(argument);
    for (;;) {
        bool lines = s.journal->wait_for_lines(idle_wait);
        log_notices(s);
        if (!lines) {
            if (s.journal->closing()) return nullptr;
            std::string old = s.journal->restart_if_done();
            if (!old.empty()) s.stale_token = old;
            continue;
        }
        if (!s.journal->enter_sending()) return nullptr;
        PyGILState_STATE state = PyGILState_Ensure();
        Outcome outcome = Outcome::done;
        try {
            outcome = send_pending(s);
        } catch (py::error_already_set& error) {
            // Not an Exception, or raised by what reports one: the line stays; it is tried
            // again.
            error.restore();
            PyErr_Clear();
            outcome = Outcome::retry_later;
        }
        PyGILState_Release(state);
        s.journal->leave_sending();
        if (outcome == Outcome::retry_later) {
            s.pause = std::clamp(s.pause * 2, std::chrono::milliseconds(first_pause), longest_pause);
            s.journal->pause(s.pause);
        } else {
            s.pause = std::chrono::milliseconds(0);
        }
    }
}

}  // namespace

void start_sender(JournalFile& journal, PyObject* engine) {
    auto* s = new Sender();
    s->journal = &journal;
    s->engine = Py_NewRef(engine);
    JournalLine first;
    if (journal.front(first)) s->line_to_check = first.number;
    pthread_t thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&thread, &attributes, run, s) != 0) {
        pthread_attr_destroy(&attributes);
        raise(PyExc_RuntimeError, "cannot start the SQL journal's writer thread");
    }
    pthread_attr_destroy(&attributes);
}

}  // namespace oxa::persistence
