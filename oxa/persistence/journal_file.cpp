#include "persistence/journal_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>

namespace oxa::persistence {
namespace {

constexpr const char* header_start = "{\"journal\": \"";
constexpr const char* header_end = "\"}";
constexpr size_t restart_bytes = 1 << 20;
constexpr auto sync_interval = std::chrono::milliseconds(10);
constexpr auto leaving_grace = std::chrono::milliseconds(200);

std::string failure(const char* what, const char* path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool read_all(int fd, std::string& data) {
    char buffer[1 << 16];
    off_t offset = 0;
    for (;;) {
        ssize_t got = pread(fd, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        data.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
}

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// The name in a header line, or an empty string when the line is not one.
std::string name_in(const std::string& line) {
    size_t start = std::strlen(header_start), end = std::strlen(header_end);
    if (line.size() <= start + end || line.compare(0, start, header_start) != 0 ||
        line.compare(line.size() - end, end, header_end) != 0) {
        return {};
    }
    return line.substr(start, line.size() - start - end);
}

}  // namespace

std::string JournalFile::new_header() {
    std::random_device random;
    static const char digits[] = "0123456789abcdef";
    token_.clear();
    for (int i = 0; i < 32; ++i) token_ += digits[random() % 16];
    return header_start + token_ + header_end + "\n";
}

std::string JournalFile::open(const char* path, size_t max_bytes) {
    max_bytes_ = max_bytes;
    fd_ = ::open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) return failure("cannot open", path);
    auto give_up = [&](std::string why) {
        close(fd_);
        fd_ = -1;
        return why;
    };
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return give_up(std::string(path) + " is in use by another process");
        return give_up(failure("cannot lock", path));
    }
    std::string data;
    if (!read_all(fd_, data)) return give_up(failure("cannot read", path));
    if (data.empty()) {
        std::string header = new_header();
        if (!write_all(fd_, header)) return give_up(failure("cannot write", path));
        size_ = static_cast<off_t>(header.size());
    } else {
        size_t end = data.find('\n');
        token_ = name_in(data.substr(0, end));
        if (token_.empty() || end == std::string::npos) {
            return give_up(std::string(path) + " does not start with its name line: move it aside");
        }
        // A line cut off by a crash is kept as a line of its own; the writer finds it cannot
        // be read and keeps it among the dead letters.
        if (data.back() != '\n') {
            if (!write_all(fd_, "\n")) return give_up(failure("cannot write", path));
            data += '\n';
        }
        for (size_t start = end + 1; start < data.size();) {
            size_t stop = data.find('\n', start);
            pending_.push_back({++lines_, data.substr(start, stop + 1 - start)});
            start = stop + 1;
        }
        size_ = static_cast<off_t>(data.size());
    }
    std::thread([this] { sync_loop(); }).detach();
    return {};
}

JournalFile::Appended JournalFile::append(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (static_cast<size_t>(size_) + text.size() > max_bytes_) {
        bool first = !full_;
        full_ = true;
        return first ? Appended::first_refused : Appended::refused;
    }
    if (!write_all(fd_, text)) {
        int error = errno;
        // A part written is cut off again; should that fail as well, the next start finds a
        // line that cannot be read and keeps it among the dead letters.
        (void)!ftruncate(fd_, size_);
        errno = error;
        return Appended::failed;
    }
    size_ += static_cast<off_t>(text.size());
    pending_.push_back({++lines_, text});
    dirty_ = true;
    changed_.notify_all();
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

void JournalFile::pop(uint64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty() && pending_.front().number == number) pending_.pop_front();
    changed_.notify_all();
}

std::string JournalFile::restart_if_done() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty() || closing_ || static_cast<size_t>(size_) < std::min(restart_bytes, max_bytes_ / 2)) {
        return {};
    }
    std::string old = token_;
    std::string header = new_header();
    if (ftruncate(fd_, 0) != 0 || !write_all(fd_, header)) {
        // The file is as it was, or empty: either way nothing in it is waiting to be sent.
        token_ = old;
        return {};
    }
    size_ = static_cast<off_t>(header.size());
    lines_ = 0;
    dirty_ = true;
    return old;
}

bool JournalFile::wait_for_lines(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closing_ || !pending_.empty(); });
    return !closing_ && !pending_.empty();
}

size_t JournalFile::drain_and_close(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return pending_.empty(); });
    closing_ = true;
    size_t left = pending_.size();
    changed_.notify_all();
    changed_.wait_until(lock, std::max(deadline, std::chrono::steady_clock::now() + leaving_grace),
                        [&] { return !sending_; });
    lock.unlock();
    fdatasync(fd_);
    return left;
}

void JournalFile::pause(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, pause, [&] { return closing_; });
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
    changed_.notify_all();
}

bool JournalFile::closing() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closing_;
}

void JournalFile::sync_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!closing_) {
        changed_.wait_for(lock, sync_interval, [&] { return closing_; });
        if (!dirty_ || closing_) continue;
        dirty_ = false;
        lock.unlock();
        fdatasync(fd_);
        lock.lock();
    }
}

}  // namespace oxa::persistence
