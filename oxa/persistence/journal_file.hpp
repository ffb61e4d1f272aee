// The journal's file and the lines not yet sent, shared by the thread that appends (a host
// thread inside SQL2DB), the writer thread that sends and the thread that syncs. Plain C++:
// nothing here touches Python, so no lock of it is ever held while waiting for the
// interpreter's.
//
// The file's first line names the journal, the database it is for and how far it was sent:
//   {"journal": TOKEN, "database": KEY, "sent": [LINE, OFFSET]}
// the last two padded to a fixed width, so that the writer updates them in place. Every line
// after it carries its own number first: {"line": N, "at": ..., "sql": ..., "rows": ...}.
// A start reads only the lines after OFFSET, and a line missing or moved is found out there.
// Files of earlier versions ({"journal": TOKEN} and unnumbered lines) are read whole.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace oxa::persistence {

struct JournalLine {
    uint64_t number;   // from 1 after the header line
    std::string text;  // with its line feed
    off_t end;         // where the line ends in the file
};

class JournalFile {
public:
    enum class Opened { yes, other_database, failed };
    // Opens and locks the file for `database`, reads the lines not yet sent (the writer finds
    // out which of them the database has) and starts the thread that syncs it. `why` says what
    // failed; other_database: the file is another database's journal.
    Opened open(const std::string& path, const std::string& database, size_t max_bytes, std::string& why);

    enum class Appended {
        yes,
        after_refusals,  // the first line taken after lines were refused
        first_refused,   // refused: it would take the file past its bound
        refused,         // refused as the lines before it
        failed,          // the file could not be written (errno says why)
    };
    // `text` is a JSON object with its line feed; it is numbered here.
    Appended append(std::string_view text);

    // The first line not yet sent, or false when there is none (or the journal is closing).
    bool front(JournalLine& line);
    // The journal's current name.
    std::string token();
    const std::string& path() const { return path_; }
    // The number of the last line the file records as sent (0 for a new journal, or after the
    // file started afresh).
    uint64_t recorded_sent(const std::string& token);
    // The first line is done with (committed with its mark); the file records it.
    void pop(uint64_t number);
    // With every line done and the file larger than a start-up's worth, starts the file
    // afresh under a new name; returns the old name then, else an empty string.
    std::string restart_if_done();
    // What the syncing thread found and mended (the file replaced under it), for the log.
    std::vector<std::string> take_notices();

    // Waits up to `timeout` for a line (or closing); true when there is one to send.
    bool wait_for_lines(std::chrono::milliseconds timeout);
    // Waits until every line is done or `deadline`; then closes the journal: the writer and
    // the syncing thread stop, and the writer is waited for a moment longer to leave the
    // interpreter. Returns the number of lines left for the next start.
    size_t drain_and_close(std::chrono::steady_clock::time_point deadline);
    // The writer enters and leaves the interpreter: entering is refused once the journal
    // closes, so that no sending starts while the interpreter is torn down.
    bool enter_sending();
    void leave_sending();
    bool closing();
    // Waits `pause`, or until the journal closes.
    void pause(std::chrono::milliseconds pause);

private:
    std::string read_lines(const std::string& data, size_t start);
    void sync_loop();
    void put_back_if_replaced();
    std::string new_header();
    void record_sent(uint64_t number, off_t end);

    std::mutex mutex_;
    // Each thread waits on a condition of its own, so that an append wakes the writer only
    // when it waits for lines, and never the syncing thread, which keeps its own clock.
    std::condition_variable lines_added_;  // the writer
    std::condition_variable lines_done_;   // a drain at exit: lines done, the writer out
    std::condition_variable closed_;       // the syncing thread and the writer's pauses
    std::deque<JournalLine> pending_;
    std::vector<std::string> notices_;
    std::string path_;
    std::string database_;
    std::string token_;
    int fd_ = -1;
    off_t size_ = 0;
    off_t sent_field_ = 0;  // where the header's sent position is; 0: an earlier version's header
    uint64_t recorded_sent_ = 0;
    size_t max_bytes_ = 0;
    uint64_t lines_ = 0;
    bool writer_waiting_ = false;
    bool dirty_ = false;   // written since the last sync
    bool full_ = false;    // refusing lines: at the bound
    bool closing_ = false;
    bool sending_ = false;
    bool put_back_failed_ = false;  // reported once
};

}  // namespace oxa::persistence
