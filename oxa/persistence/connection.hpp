// Database connections: the module-level connectDB and ExecuteQuery, the engine's connectDB,
// and closing what an operation opened for itself.
#pragma once

#include <string>

#include "interop/python.hpp"

namespace oxa::persistence {

py::object connectDB();
py::object ExecuteQuery(py::handle i_strSQL);
py::object engine_connectDB(py::handle self);
// Which database engine_connectDB connects to: its user, server, port and database name.
std::string database_of(py::handle self);

// The connection and cursor an operation opened for itself.
struct OwnConnection {
    py::object connection;
    py::object cursor;

    // Closes the cursor, then the connection, whichever was opened. A close that fails with
    // an Exception is ignored: it must not change the operation's result.
    void close();
};

// `try: body() finally: opened.close()`
template <class Body>
void using_connection(OwnConnection& opened, Body&& body) {
    try {
        body();
    } catch (...) {
        opened.close();
        throw;
    }
    opened.close();
}

// The rows of `sql` on `cursor` into `results`, as both ExecuteQuery variants run it: nothing
// for an empty text or for a cursor whose type is not exactly pymysql.cursors.Cursor.
void run_query(py::handle cursor, py::handle sql, py::object& results);

}  // namespace oxa::persistence
