// Kernel notification that a file, or the way its path resolves, may have changed: lets the
// tick skip the `stat` of the settings file while nothing happened to it.
#pragma once

#include <sys/inotify.h>

#include <memory>
#include <string>
#include <unordered_map>

namespace oxa::strategy {

class FileWatch {
public:
    // A watch on `path` (absolute, without symbolic links, on a local file system) and on
    // every directory above it, plus the process's mount table; null when any of that cannot
    // be had, or when BRINDLE_SETTINGS_WATCH=stat was set at import.
    static std::unique_ptr<FileWatch> of(const std::string& path);
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // True while nothing that may concern the path was reported since the last call that
    // returned false: the file, its directories and the mounts are as they were. False,
    // with the watches renewed on what the path resolves to now, when anything such was
    // reported, the report could not be read, or the process forked since: the caller must
    // then make its own full checks.
    bool quiet();

private:
    explicit FileWatch(std::string path);
    bool arm();
    bool concerns(const inotify_event& event) const;

    std::string path_;
    std::unordered_map<int, std::string> entries_;  // watch -> the path's entry in it; "" for the file
    int inotify_ = -1;
    int mounts_ = -1;
    int poll_ = -1;
    unsigned long generation_;
};

// Read at import: whether BRINDLE_SETTINGS_WATCH asks for the `stat` of every tick.
void read_file_watch_setting();

}  // namespace oxa::strategy
