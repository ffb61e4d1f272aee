#include "strategy/file_watch.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace oxa::strategy {
namespace {

bool watching_disabled = false;
// Moves on in every child process: a watch made before a fork shares its descriptors with
// the parent, and reading them in the child would take the parent's notifications.
unsigned long fork_generation = 0;

// File systems whose changes all pass through this kernel, so that it reports every one.
bool local_file_system(const char* path) {
    struct statfs status;
    if (statfs(path, &status) != 0) return false;
    switch (static_cast<unsigned long>(status.f_type)) {
        case EXT4_SUPER_MAGIC:
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case TMPFS_MAGIC:
            return true;
        default:
            return false;
    }
}

// Whatever changes what a directory entry of the path resolves to, or whether it can be
// searched; for the file's own directory also writes to its entries; for the file, every
// change of its contents or attributes.
constexpr uint32_t directory_events =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t parent_events = directory_events | IN_MODIFY | IN_CLOSE_WRITE;
constexpr uint32_t file_events = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF | IN_DONT_FOLLOW;

}  // namespace

void read_file_watch_setting() {
    const char* setting = std::getenv("BRINDLE_SETTINGS_WATCH");
    watching_disabled = setting && std::strcmp(setting, "stat") == 0;
    static bool registered = pthread_atfork(nullptr, nullptr, [] { ++fork_generation; }) == 0;
    if (!registered) watching_disabled = true;
}

FileWatch::FileWatch(std::string path) : path_(std::move(path)), generation_(fork_generation) {}

FileWatch::~FileWatch() {
    for (int fd : {poll_, mounts_, inotify_}) {
        if (fd >= 0) close(fd);
    }
}

std::unique_ptr<FileWatch> FileWatch::of(const std::string& path) {
    if (watching_disabled || path.empty() || path[0] != '/') return nullptr;
    std::unique_ptr<FileWatch> watch(new FileWatch(path));
    watch->inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    watch->mounts_ = open("/proc/self/mounts", O_RDONLY | O_CLOEXEC);
    watch->poll_ = epoll_create1(EPOLL_CLOEXEC);
    if (watch->inotify_ < 0 || watch->mounts_ < 0 || watch->poll_ < 0) return nullptr;
    epoll_event changes{};
    changes.events = EPOLLIN;
    changes.data.fd = watch->inotify_;
    epoll_event mounts{};
    mounts.events = EPOLLPRI;
    mounts.data.fd = watch->mounts_;
    if (epoll_ctl(watch->poll_, EPOLL_CTL_ADD, watch->inotify_, &changes) != 0 ||
        epoll_ctl(watch->poll_, EPOLL_CTL_ADD, watch->mounts_, &mounts) != 0 || !watch->arm()) {
        return nullptr;
    }
    return watch;
}

// Watches every directory from the root down, then the file: a change to an entry made
// after its directory is watched is reported. Fails when the path is not its own resolution
// (a symbolic link, `..`, a doubled slash) or leaves the local file systems.
bool FileWatch::arm() {
    char* resolved = realpath(path_.c_str(), nullptr);
    bool canonical = resolved && path_ == resolved;
    std::free(resolved);
    if (!canonical) return false;
    size_t last_slash = path_.rfind('/');
    for (size_t end = 0; end != std::string::npos && end <= last_slash; end = path_.find('/', end + 1)) {
        std::string directory = end == 0 ? "/" : path_.substr(0, end);
        uint32_t events = end == last_slash ? parent_events : directory_events;
        int watch = local_file_system(directory.c_str()) ? inotify_add_watch(inotify_, directory.c_str(), events) : -1;
        if (watch < 0) return false;
        size_t next = path_.find('/', end + 1);
        entries_[watch] = path_.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1);
    }
    int watch = local_file_system(path_.c_str()) ? inotify_add_watch(inotify_, path_.c_str(), file_events) : -1;
    if (watch < 0) return false;
    entries_[watch].clear();
    return true;
}

// Whether a notification may concern the path: anything about the file itself or a watched
// directory itself, a lost or removed watch, or an entry of the path's next component.
// Other entries of the directories above (say /tmp) come and go without a full check.
bool FileWatch::concerns(const inotify_event& event) const {
    if (event.mask & (IN_Q_OVERFLOW | IN_IGNORED) || event.len == 0) return true;
    auto entry = entries_.find(event.wd);
    return entry == entries_.end() || entry->second.empty() || entry->second == event.name;
}

bool FileWatch::quiet() {
    if (inotify_ < 0) return false;
    if (generation_ == fork_generation) {
        epoll_event ready[2];
        int count = epoll_wait(poll_, ready, 2, 0);
        if (count == 0) return true;
        // Reported (or interrupted): take every notification so far; when one may concern
        // the path, watch afresh and let the caller check.
        bool changed = count < 0 || ready[0].data.fd == mounts_ || (count == 2 && ready[1].data.fd == mounts_);
        alignas(inotify_event) char buffer[4096];
        ssize_t taken;
        while ((taken = read(inotify_, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < taken;) {
                const auto& event = *reinterpret_cast<const inotify_event*>(buffer + at);
                changed = changed || concerns(event);
                at += sizeof(inotify_event) + event.len;
            }
        }
        if (taken < 0 && errno == EAGAIN && (!changed || arm())) return !changed;
    }
    // Unusable from now on. Closing in a child of a fork leaves the parent's watch as it is.
    for (int* fd : {&poll_, &mounts_, &inotify_}) {
        close(*fd);
        *fd = -1;
    }
    return false;
}

}  // namespace oxa::strategy
