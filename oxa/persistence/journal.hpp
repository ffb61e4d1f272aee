// The asynchronous journal of SQL2DB, opt-in with [CLOUD] async_writes = 1.
//
// SQL2DB appends each statement with its rows to the journal of the engine's database (one
// line, the format of the dead-letter file, numbered) and returns; a writer thread sends the
// lines to the database in their order, each committed together with the number of the line
// in the table t_sql_journal_sent, so that a line is sent exactly once whatever stops the
// process. What the server refuses goes to the dead-letter file, as SQL2DB's synchronous
// writes give it up; while the server cannot be reached the lines wait in the journal.
//
// A write into the file survives a kill of the process at once; another thread syncs it to
// the disk within a few milliseconds, so that it survives a crash of the machine too.
// The journal holds at most [CLOUD] async_max_mb MiB (64 by default): past that, statements
// go to the dead-letter file until the database has taken the backlog; when neither file can
// be written, SQL2DB writes synchronously. Once everything was sent, the file starts afresh
// under a new name. At exit the writer has [CLOUD] async_drain_seconds (5) to finish; what is
// left is sent by the next process that starts the journal. One process at a time owns a
// journal file; a process forked from the one that started it writes synchronously.
#pragma once

#include "interop/python.hpp"

namespace oxa::persistence {

// Starts the journal of the database `engine` connects to, once per database and process,
// with the settings of `engine`, whose connectDB its writer uses; later engines of the same
// database share it. Returns whether the journal runs: when it cannot (the file cannot be
// opened or is damaged, another process owns it) the reason is logged and SQL2DB writes
// synchronously.
bool start_journal(py::handle engine);

// Takes the statement into the engine's journal (or, with the journal at its bound or not
// writable, into the dead-letter file) and returns true; false when no journal runs or
// neither file can be written.
bool journal_takes(py::handle engine, py::handle szSQL, py::handle listVal);

}  // namespace oxa::persistence
