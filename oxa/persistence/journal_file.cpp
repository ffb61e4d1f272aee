#include "persistence/journal_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

namespace oxa::persistence {
namespace {

constexpr const char* journal_key = "{\"journal\": \"";
constexpr const char* database_key = "\", \"database\": \"";
constexpr const char* sent_key = "\", \"sent\": [";
constexpr const char* header_end = "]}";
constexpr const char* legacy_end = "\"}";
constexpr const char* line_key = "{\"line\": ";
constexpr int number_width = 20;
constexpr size_t restart_bytes = 1 << 20;
constexpr auto sync_interval = std::chrono::milliseconds(10);
constexpr auto leaving_grace = std::chrono::milliseconds(200);

std::string failure(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// The file from `offset` to its end.
bool read_from(int fd, off_t offset, std::string& data) {
    char buffer[1 << 16];
    for (;;) {
        ssize_t got = pread(fd, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        data.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
}

// The first line, without its line feed; empty when there is none.
std::string first_line(int fd) {
    std::string line;
    char buffer[512];
    for (off_t offset = 0; line.size() < 4096;) {
        ssize_t got = pread(fd, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return {};
        line.append(buffer, static_cast<size_t>(got));
        offset += got;
        size_t end = line.find('\n');
        if (end != std::string::npos) return line.substr(0, end);
    }
    return {};
}

bool write_at(int fd, const std::string& text, off_t offset) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

bool take(const std::string& text, size_t& at, const char* expected) {
    size_t length = std::strlen(expected);
    if (text.compare(at, length, expected) != 0) return false;
    at += length;
    return true;
}

// Up to the next quote.
std::string quoted_rest(const std::string& text, size_t& at) {
    size_t quote = text.find('"', at);
    if (quote == std::string::npos) return {};
    std::string value = text.substr(at, quote - at);
    at = quote;
    return value;
}

bool number_at(const std::string& text, size_t& at, uint64_t& number) {
    while (at < text.size() && text[at] == ' ') ++at;
    size_t start = at;
    number = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) number = number * 10 + (text[at] - '0');
    return at > start;
}

struct Header {
    std::string token, database;
    uint64_t sent_line = 0, sent_offset = 0;
    size_t sent_field = 0;  // 0: an earlier version's header
};

bool parse_header(const std::string& line, Header& header) {
    size_t at = 0;
    if (!take(line, at, journal_key)) return false;
    header.token = quoted_rest(line, at);
    if (header.token.empty()) return false;
    if (line.compare(at, std::string::npos, legacy_end) == 0) return true;
    if (!take(line, at, database_key)) return false;
    header.database = quoted_rest(line, at);
    if (!take(line, at, sent_key)) return false;
    header.sent_field = at;
    return number_at(line, at, header.sent_line) && take(line, at, ", ") &&
           number_at(line, at, header.sent_offset) && line.compare(at, std::string::npos, header_end) == 0;
}

std::string sent_field(uint64_t line, off_t offset) {
    char text[64];
    std::snprintf(text, sizeof text, "%*" PRIu64 ", %*lld", number_width, line, number_width,
                  static_cast<long long>(offset));
    return text;
}

// The number a line carries, or false for an unnumbered line (an earlier version's, or one
// cut off before its number was whole).
bool line_number(const std::string& line, uint64_t& number) {
    size_t at = 0;
    return take(line, at, line_key) && number_at(line, at, number) && at < line.size() && line[at] == ',';
}

}  // namespace

std::string JournalFile::new_header() {
    std::random_device random;
    static const char digits[] = "0123456789abcdef";
    token_.clear();
    for (int i = 0; i < 32; ++i) token_ += digits[random() % 16];
    std::string header = journal_key + token_ + database_key + database_ + sent_key;
    sent_field_ = static_cast<off_t>(header.size());
    return header + sent_field(0, 0) + header_end + "\n";
}

JournalFile::Opened JournalFile::open(const std::string& path, const std::string& database, size_t max_bytes,
                                      std::string& why) {
    path_ = path;
    database_ = database;
    max_bytes_ = max_bytes;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        why = failure("cannot open", path);
        return Opened::failed;
    }
    auto give_up = [&](Opened opened, std::string reason) {
        close(fd_);
        fd_ = -1;
        why = std::move(reason);
        return opened;
    };
    Header header;
    bool has_header = parse_header(first_line(fd_), header);
    if (has_header && !header.database.empty() && header.database != database) {
        return give_up(Opened::other_database, {});
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return give_up(Opened::failed, path + " is in use by another process");
        return give_up(Opened::failed, failure("cannot lock", path));
    }
    struct stat status;
    if (fstat(fd_, &status) != 0) return give_up(Opened::failed, failure("cannot read", path));
    if (status.st_size == 0) {
        std::string fresh = new_header();
        if (!write_at(fd_, fresh, 0)) return give_up(Opened::failed, failure("cannot write", path));
        size_ = static_cast<off_t>(fresh.size());
    } else {
        // Read again under the lock: a process that held it may have started the file afresh.
        std::string first = first_line(fd_);
        has_header = parse_header(first, header);
        if (!has_header) return give_up(Opened::failed, path + " does not start with its name line: move it aside");
        if (!header.database.empty() && header.database != database) return give_up(Opened::other_database, {});
        token_ = header.token;
        sent_field_ = static_cast<off_t>(header.sent_field);
        recorded_sent_ = lines_ = header.sent_line;
        off_t start = static_cast<off_t>(header.sent_offset ? header.sent_offset : first.size() + 1);
        std::string data;
        auto damaged = [&](const std::string& what) {
            return give_up(Opened::failed,
                           path + " is damaged: " + what + ". Put it back as it was; or move it aside and send "
                           "with brindle-resend those of its lines after line " + std::to_string(header.sent_line) +
                           " (the last one sent) that the database lacks");
        };
        if (start > status.st_size || !read_from(fd_, start - 1, data) || data.empty() || data[0] != '\n') {
            return damaged("it no longer holds line " + std::to_string(lines_) +
                           ", the last one sent, where it was: lines before it were removed or changed");
        }
        data.erase(0, 1);
        // A line cut off by a crash is kept as a line of its own; the writer finds it cannot
        // be read and keeps it among the dead letters.
        if (!data.empty() && data.back() != '\n') {
            if (!write_at(fd_, "\n", status.st_size)) return give_up(Opened::failed, failure("cannot write", path));
            data += '\n';
        }
        std::string damage = read_lines(data, static_cast<size_t>(start));
        if (!damage.empty()) return damaged(damage);
        size_ = start + static_cast<off_t>(data.size());
    }
    std::thread([this] { sync_loop(); }).detach();
    return Opened::yes;
}

// The lines of `data`, which starts at `offset` in the file, into pending_; what is wrong
// with their numbers, if anything.
std::string JournalFile::read_lines(const std::string& data, size_t offset) {
    for (size_t start = 0; start < data.size();) {
        size_t stop = data.find('\n', start);
        std::string text = data.substr(start, stop + 1 - start);
        uint64_t number = lines_ + 1;
        if (line_number(text, number) && number != lines_ + 1) {
            return number > lines_ + 1
                       ? "line " + std::to_string(lines_ + 1) + " is missing (line " + std::to_string(number) +
                             " follows line " + std::to_string(lines_) + ")"
                       : "line " + std::to_string(number) + " follows line " + std::to_string(lines_);
        }
        lines_ = number;
        pending_.push_back({number, text, static_cast<off_t>(offset + stop + 1)});
        start = stop + 1;
    }
    return {};
}

JournalFile::Appended JournalFile::append(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string line;
    line.reserve(text.size() + 32);  // the key and a number of up to 20 digits
    line.append(line_key).append(std::to_string(lines_ + 1)).append(", ").append(text.substr(1));
    if (static_cast<size_t>(size_) + line.size() > max_bytes_) {
        bool first = !full_;
        full_ = true;
        return first ? Appended::first_refused : Appended::refused;
    }
    if (!write_at(fd_, line, size_)) {
        int error = errno;
        // A part written is cut off again; should that fail as well, the next start finds a
        // line that cannot be read and keeps it among the dead letters.
        (void)!ftruncate(fd_, size_);
        errno = error;
        return Appended::failed;
    }
    size_ += static_cast<off_t>(line.size());
    pending_.push_back({++lines_, std::move(line), size_});
    dirty_ = true;
    if (writer_waiting_) lines_added_.notify_one();
    if (full_) {
        full_ = false;
        return Appended::after_refusals;
    }
    return Appended::yes;
}

bool JournalFile::front(JournalLine& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty() || closing_) return false;
    line = pending_.front();
    return true;
}

std::string JournalFile::token() {
    std::lock_guard<std::mutex> lock(mutex_);
    return token_;
}

uint64_t JournalFile::recorded_sent(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    return token == token_ ? recorded_sent_ : 0;
}

void JournalFile::record_sent(uint64_t number, off_t end) {
    // Not synced on its own: a position behind the database's mark only means a few more
    // lines read at the next start.
    if (sent_field_ && write_at(fd_, sent_field(number, end), sent_field_)) recorded_sent_ = number;
}

void JournalFile::pop(uint64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty() && pending_.front().number == number) {
        record_sent(number, pending_.front().end);
        pending_.pop_front();
    }
    lines_done_.notify_all();
}

std::string JournalFile::restart_if_done() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty() || closing_ || static_cast<size_t>(size_) < std::min(restart_bytes, max_bytes_ / 2)) {
        return {};
    }
    std::string old = token_;
    off_t old_field = sent_field_;
    std::string header = new_header();
    if (ftruncate(fd_, 0) != 0 || !write_at(fd_, header, 0)) {
        // The file is as it was, or empty: either way nothing in it is waiting to be sent.
        token_ = old;
        sent_field_ = old_field;
        return {};
    }
    size_ = static_cast<off_t>(header.size());
    lines_ = recorded_sent_ = 0;
    dirty_ = true;
    return old;
}

std::vector<std::string> JournalFile::take_notices() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(notices_);
}

bool JournalFile::wait_for_lines(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    writer_waiting_ = true;
    lines_added_.wait_for(lock, timeout, [&] { return closing_ || !pending_.empty() || !notices_.empty(); });
    writer_waiting_ = false;
    return !closing_ && !pending_.empty();
}

size_t JournalFile::drain_and_close(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    lines_done_.wait_until(lock, deadline, [&] { return pending_.empty(); });
    closing_ = true;
    size_t left = pending_.size();
    lines_added_.notify_all();
    closed_.notify_all();
    lines_done_.wait_until(lock, std::max(deadline, std::chrono::steady_clock::now() + leaving_grace),
                           [&] { return !sending_; });
    lock.unlock();
    fdatasync(fd_);
    return left;
}

void JournalFile::pause(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_.wait_for(lock, pause, [&] { return closing_; });
}

bool JournalFile::enter_sending() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return false;
    sending_ = true;
    return true;
}

void JournalFile::leave_sending() {
    std::lock_guard<std::mutex> lock(mutex_);
    sending_ = false;
    lines_done_.notify_all();
}

bool JournalFile::closing() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closing_;
}

// A file saved over the journal (an editor's copy renamed onto it) or removed would leave
// the lines written since in a file no name leads to, lost at the next kill. The journal's
// own file goes back under its name; the other one is kept beside it.
void JournalFile::put_back_if_replaced() {
    // Looked at without the lock, which an append may be waiting for: fd_ changes only here.
    struct stat named, own;
    bool found = stat(path_.c_str(), &named) == 0;
    if (fstat(fd_, &own) != 0 || (found && named.st_dev == own.st_dev && named.st_ino == own.st_ino)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
    std::string restoring = path_ + ".restoring",
                aside = path_ + ".replaced-" +
                        std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
    std::string data;
    int fd = ::open(restoring.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool restored = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && read_from(fd_, 0, data) &&
                    write_at(fd, data, 0) && fdatasync(fd) == 0 &&
                    (!found || link(path_.c_str(), aside.c_str()) == 0) &&
                    rename(restoring.c_str(), path_.c_str()) == 0;
    if (!restored) {
        std::string why = std::strerror(errno);
        if (fd >= 0) close(fd);
        unlink(restoring.c_str());
        if (!put_back_failed_) {
            notices_.push_back(path_ + " was replaced or removed and cannot be put back (" + why +
                               "); statements written since are lost if the process stops before they are sent");
        }
        put_back_failed_ = true;
        return;
    }
    put_back_failed_ = false;
    close(fd_);
    fd_ = fd;
    notices_.push_back(path_ + (found ? " was replaced by another file (a copy saved over it?)"
                                      : " was removed") +
                       ": the journal put its own file back" + (found ? "; the other one is kept as " + aside : "") +
                       ". Never edit or move the journal while a host runs.");
    if (writer_waiting_) lines_added_.notify_one();
}

void JournalFile::sync_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!closing_) {
        closed_.wait_for(lock, sync_interval, [&] { return closing_; });
        if (closing_) break;
        lock.unlock();
        put_back_if_replaced();
        lock.lock();
        if (!dirty_) continue;
        dirty_ = false;
        int fd = fd_;
        lock.unlock();
        fdatasync(fd);
        lock.lock();
    }
}

}  // namespace oxa::persistence
