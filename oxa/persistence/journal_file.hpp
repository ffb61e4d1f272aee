// The journal's file and the lines not yet sent, shared by the thread that appends (a host
// thread inside SQL2DB), the writer thread that sends and the thread that syncs. Plain C++:
// nothing here touches Python, so no lock of it is ever held while waiting for the
// interpreter's.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace oxa::persistence {

struct JournalLine {
    uint64_t number;   // from 1 after the header line
    std::string text;  // with its line feed
};

class JournalFile {
public:
    // Opens and locks the file, reads the lines it still holds (the writer finds out which
    // of them were sent) and starts the thread that syncs it. Empty on success, else why not.
    std::string open(const char* path, size_t max_bytes);

    enum class Appended {
        yes,
        after_refusals,  // the first line taken after lines were refused
        first_refused,   // refused: it would take the file past its bound
        refused,         // refused as the lines before it
        failed,          // the file could not be written (errno says why)
    };
    Appended append(const std::string& text);

    // The first line not yet sent, or false when there is none (or the journal is closing).
    bool front(JournalLine& line);
    // The journal's current name.
    std::string token();
    // The first line is done with (sent, or given up to the dead-letter file).
    void pop(uint64_t number);
    // With every line done and the file larger than a start-up's worth, starts the file
    // afresh under a new name; returns the old name then, else an empty string.
    std::string restart_if_done();

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
    void sync_loop();
    std::string new_header();

    std::mutex mutex_;
    std::condition_variable changed_;  // lines added or done, or closing
    std::deque<JournalLine> pending_;
    std::string token_;
    int fd_ = -1;
    off_t size_ = 0;
    size_t max_bytes_ = 0;
    uint64_t lines_ = 0;
    bool dirty_ = false;   // written since the last sync
    bool full_ = false;    // refusing lines: at the bound
    bool closing_ = false;
    bool sending_ = false;
};

}  // namespace oxa::persistence
