// Whether a dictionary is still the very one seen earlier, unchanged since: the test behind
// every fast road that relies on what an earlier look at a dictionary found.
//
// From Python 3.12 on, the interpreter tells a watcher of a dictionary of each change to it
// (entries added, replaced, removed, the dictionary cleared or freed), so a stamp is told to
// forget its dictionary at once, and the test is a comparison of addresses. Python 3.11 has
// no watchers; there every change of a dictionary's content gives it a new version tag,
// unique in the process, and the stamp compares that tag.
#pragma once

#include <cstdint>

#include "interop/python.hpp"

#if PY_VERSION_HEX >= 0x030C0000
#define OXA_DICT_WATCHERS 1
#else
#define OXA_DICT_WATCHERS 0
#endif

namespace oxa {

#if OXA_DICT_WATCHERS
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value);
#endif

class DictStamp {
public:
    DictStamp() = default;
    DictStamp(const DictStamp&) = delete;
    DictStamp& operator=(const DictStamp&) = delete;
    // A stamp moved (in a growing vector, say) is still told of its dictionary's changes.
    DictStamp(DictStamp&& other) noexcept { adopt(other); }
    DictStamp& operator=(DictStamp&& other) noexcept {
        if (this != &other) {
            forget();
            adopt(other);
        }
        return *this;
    }
    ~DictStamp() { forget(); }

    // Stamps the exact dict `dict` as it is now (and forgets the one stamped before).
    void take(PyObject* dict);

    // Whether `item` (an object, never NULL) is the dictionary stamped, unchanged since.
    bool holds(PyObject* item) const {
#if OXA_DICT_WATCHERS
        return item == dict_;
#else
        // The type first: an object now at the address of a dictionary gone may be anything.
        return item == dict_ && PyDict_CheckExact(item) && version_of(item) == version_;
#endif
    }

    // Whether the dictionary stamped, which the caller keeps alive, is unchanged since.
    bool unchanged() const {
#if OXA_DICT_WATCHERS
        return dict_ != nullptr;
#else
        return dict_ != nullptr && version_of(dict_) == version_;
#endif
    }

    void forget();

    // Starts loading what holds() will read of `item`, for a walk that tests it soon.
    static void prefetch(const PyObject* item) {
#if !OXA_DICT_WATCHERS
        __builtin_prefetch(item);
        __builtin_prefetch(reinterpret_cast<const char*>(item) + offsetof(PyDictObject, ma_version_tag));
#else
        (void)item;
#endif
    }

private:
    void adopt(DictStamp& other) noexcept;

#if OXA_DICT_WATCHERS
    friend int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*);
    PyObject* dict_ = nullptr;  // not owned; the watcher clears it when the dictionary changes
#else
    static std::uint64_t version_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
    PyObject* dict_ = nullptr;  // not owned: compared by identity
    std::uint64_t version_ = 0;
#endif
};

}  // namespace oxa
