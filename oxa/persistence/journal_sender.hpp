// The journal's writer thread: sends the journal's lines to the database in their order.
#pragma once

#include "interop/python.hpp"
#include "persistence/journal_file.hpp"

namespace oxa::persistence {

// Starts the writer thread, which connects through engine.connectDB() (a strong reference
// is kept for the process).
void start_sender(JournalFile& journal, PyObject* engine);

}  // namespace oxa::persistence
