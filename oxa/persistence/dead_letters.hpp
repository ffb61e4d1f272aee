// Rows that SQL2DB gave up on are kept in log/sql_dead_letters.jsonl, one JSON line per
// statement: {"at": local time, "sql": statement, "rows": rows}. Values the JSON types
// cannot hold exactly are tagged objects with one key:
//   {"float": "nan" | "inf" | "-inf"}, {"decimal": str}, {"bytes": hex},
//   {"bytearray": hex}, {"datetime": isoformat}, {"date": isoformat},
//   {"time": isoformat}, {"timedelta": [days, seconds, microseconds]},
//   {"tuple": [...]}, {"dict": [[key, value], ...]}.
// Lists are JSON arrays; None, booleans, integers, finite floats and texts are themselves.
// Any other value is kept as its str(), the literal the driver would have sent for it.
// tools/resend_dead_letters.py reads the file back and sends it again.
#pragma once

#include "interop/python.hpp"

namespace oxa::persistence {

// Appends the statement and its rows to the dead-letter file. Never raises for an Exception:
// a file that cannot be written is reported in the error log instead.
void keep_dead_letter(py::handle szSQL, py::handle listVal);

}  // namespace oxa::persistence
