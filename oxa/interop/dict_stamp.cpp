#include "interop/dict_stamp.hpp"

#if OXA_DICT_WATCHERS
#include <algorithm>
#include <unordered_map>
#include <vector>
#endif

namespace oxa {

#if OXA_DICT_WATCHERS

namespace {

// The stamps of each watched dictionary. Never destroyed: dictionaries are freed, and
// stamps forgotten, until the very end of the process.
std::unordered_map<PyObject*, std::vector<DictStamp*>>& stamps_by_dict() {
    static auto* stamps = new std::unordered_map<PyObject*, std::vector<DictStamp*>>();
    return *stamps;
}

int watcher_id() {
    static int id = [] {
        int found = PyDict_AddWatcher(on_dict_event);
        // No watcher left in this interpreter: nothing is stamped, every fast road takes the
        // ordinary way.
        if (found < 0) PyErr_Clear();
        return found;
    }();
    return id;
}

}  // namespace

// Called before every change of a watched dictionary: its stamps no longer hold.
int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    auto& stamps = stamps_by_dict();
    auto found = stamps.find(dict);
    if (found == stamps.end()) return 0;
    for (DictStamp* stamp : found->second) stamp->dict_ = nullptr;
    stamps.erase(found);
    return 0;
}

void DictStamp::take(PyObject* dict) {
    if (dict == dict_) return;
    forget();
    int id = watcher_id();
    if (id < 0) return;
    if (PyDict_Watch(id, dict) < 0) {
        PyErr_Clear();
        return;
    }
    stamps_by_dict()[dict].push_back(this);
    dict_ = dict;
}

void DictStamp::adopt(DictStamp& other) noexcept {
    dict_ = other.dict_;
    other.dict_ = nullptr;
    if (!dict_) return;
    auto found = stamps_by_dict().find(dict_);
    if (found == stamps_by_dict().end()) return;
    for (DictStamp*& stamp : found->second) {
        if (stamp == &other) stamp = this;
    }
}

void DictStamp::forget() {
    if (!dict_) return;
    auto& stamps = stamps_by_dict();
    auto found = stamps.find(dict_);
    if (found != stamps.end()) {
        auto& list = found->second;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        if (list.empty()) stamps.erase(found);
    }
    dict_ = nullptr;
}

#else

void DictStamp::take(PyObject* dict) {
    dict_ = dict;
    version_ = version_of(dict);
}

void DictStamp::adopt(DictStamp& other) noexcept {
    dict_ = other.dict_;
    version_ = other.version_;
    other.dict_ = nullptr;
}

void DictStamp::forget() { dict_ = nullptr; }

#endif

}  // namespace oxa
