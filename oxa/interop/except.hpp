// `try: ... except Exception: ...` with Python's meaning: only Exception and its subclasses
// are caught; while the handler runs the caught exception is the interpreter's handled
// exception (what sys.exc_info() returns, so the logger's exc_info=True records it);
// afterwards the previous handled exception is back and no error is left pending.
#pragma once

#include <utility>

#include "interop/python.hpp"

namespace oxa {

// Makes `error` the handled exception for the lifetime of the scope.
class HandledException {
public:
    explicit HandledException(const py::error_already_set& error);
    ~HandledException();
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    PyObject* previous_;
};

// Runs body(); if it raises an Exception, runs handler(error) as the except clause.
// KeyboardInterrupt, SystemExit and other BaseExceptions pass through untouched, and so does
// whatever the handler raises (its __context__ being the caught exception).
template <class Body, class Handler>
void try_except(Body&& body, Handler&& handler) {
    try {
        std::forward<Body>(body)();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        HandledException handled(error);
        std::forward<Handler>(handler)(error);
    }
}

// The common handler: log `message` at error level with the caught exception's traceback.
template <class Body>
void try_except_log(Body&& body, const char* message) {
    try_except(std::forward<Body>(body), [message](const py::error_already_set&) { log_error(message); });
}

}  // namespace oxa
