// Facts about the entries of a list that a walk established and a later walk of the same list
// may rely on, so that an engine list holding every order ever received is not looked at
// entry by entry again on every call.
//
// The lists and their dictionaries are ordinary Python objects that a host may change at any
// time (entries replaced, inserted, removed; a dictionary's values rewritten), so a fact is
// kept for one position and holds only while that position holds the very same dictionary,
// unchanged (a DictStamp tells). Anything else is looked at again, the ordinary way.
#pragma once

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "interop/dict_stamp.hpp"
#include "interop/python.hpp"

namespace oxa {

// Whether every key of the exact dict is an exact str: looking such a dict up with a str key
// runs no Python code (no foreign __eq__).
bool has_text_keys(PyObject* dict);

template <class Fact>
class ListMemo {
public:
    // The memo of `list` (an exact list), made on first use and kept while the list lives. A
    // caller keeps the returned pointer for its walk: code the walk runs may walk the same
    // list meanwhile.
    static std::shared_ptr<ListMemo> of(PyObject* list) {
        auto& memos = registry();
        auto found = memos.find(list);
        if (found != memos.end()) return found->second.memo;
        std::vector<PyObject*> released = forget_dead_lists(memos);
        auto memo = std::make_shared<ListMemo>();
        memos.emplace(list, Entry{Py_NewRef(list), memo});
        for (PyObject* dead : released) Py_DECREF(dead);  // may run Python code: after the map is done
        return memo;
    }

    // The fact kept for position `index` if `item` is the same dictionary, unchanged.
    const Fact* at(Py_ssize_t index, PyObject* item) const {
        if (index >= static_cast<Py_ssize_t>(slots_.size())) return nullptr;
        const Slot& slot = slots_[index];
        return slot.stamp.holds(item) ? &slot.fact : nullptr;
    }

    // Starts loading the entry some positions after `index` of `list`, which a walk tests
    // soon: the entries lie anywhere in memory, and waiting for each in turn is most of a
    // walk's time.
    static void look_ahead(PyObject* list, Py_ssize_t index) {
        constexpr Py_ssize_t distance = 16;
        if (index + distance < PyList_GET_SIZE(list)) DictStamp::prefetch(PyList_GET_ITEM(list, index + distance));
    }

    // Keeps `fact` for the exact dict `dict` at position `index`, as it is now.
    void keep(Py_ssize_t index, PyObject* dict, Fact fact) {
        if (index >= static_cast<Py_ssize_t>(slots_.size())) slots_.resize(index + 1);
        slots_[index].stamp.take(dict);
        slots_[index].fact = std::move(fact);
    }

private:
    struct Slot {
        DictStamp stamp;
        Fact fact{};
    };
    struct Entry {
        PyObject* list;  // owned, so that its address names no other list while kept
        std::shared_ptr<ListMemo> memo;
    };
    using Registry = std::unordered_map<PyObject*, Entry>;

    // Never destroyed: it holds Python references, which must not be dropped after the
    // interpreter has gone at exit.
    static Registry& registry() {
        static Registry* memos = new Registry();
        return *memos;
    }

    // Drops the memos of lists only the registry still holds; returns those lists, for the
    // caller to release.
    static std::vector<PyObject*> forget_dead_lists(Registry& memos) {
        std::vector<PyObject*> released;
        for (auto it = memos.begin(); it != memos.end();) {
            if (Py_REFCNT(it->second.list) == 1) {
                released.push_back(it->second.list);
                it = memos.erase(it);
            } else {
                ++it;
            }
        }
        return released;
    }

    std::vector<Slot> slots_;
};

}  // namespace oxa
