// Rows that SQL2DB gave up on are kept in log/sql_dead_letters.jsonl, one JSON line per
// statement: {"at": local time, "sql": statement, "rows": rows}. Values the JSON types
// cannot hold exactly are tagged objects with one key:
//   {"float": "nan" | "inf" | "-inf"}, {"decimal": str}, {"bytes": hex},
//   {"bytearray": hex}, {"datetime": isoformat}, {"date": isoformat},
//   {"time": isoformat}, {"timedelta": [days, seconds, microseconds]},
//   {"tuple": [...]}, {"dict": [[key, value], ...]}, {"set": [...]}, {"frozenset": [...]}.
// Lists are JSON arrays; None, booleans, integers, finite floats and texts are themselves.
// Any other value is kept as its str(), the literal the driver would have sent for it.
// A statement the SQL journal gave up starts with its journal and line number:
// {"journal": TOKEN, "line": N, "at": ...}. brindle-resend reads the file back and sends it again.
#pragma once

#include <string>
#include <utility>

#include "interop/python.hpp"

namespace oxa::persistence {

// Appends the statement and its rows to the dead-letter file. Never raises for an Exception:
// a file that cannot be written is reported in the error log instead.
void keep_dead_letter(py::handle szSQL, py::handle listVal);

// The line (a str ending in a line feed) that keeps the statement and its rows.
py::object letter_line(py::handle szSQL, py::handle listVal);

// Appends a line made by letter_line (or one that cannot be read any more, kept as it is for
// the resend tool to report) to the dead-letter file; raises when the file cannot be written.
void append_letter_line(py::handle line);

// Whether a line starting with `start` is in the dead-letter file or in a file brindle-resend
// keeps beside it; busy while a resend run holds the file.
enum class Found { no, yes, busy };
Found dead_letter_exists(const std::string& start);

// The statement and the rows of a line made by letter_line, as they were: ValueError for a
// line that is not one.
std::pair<py::object, py::object> read_letter_line(py::handle line);

}  // namespace oxa::persistence
