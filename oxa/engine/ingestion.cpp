#include "engine/ingestion.hpp"

#include "engine/construction.hpp"
#include "interop/iteration.hpp"
#include "interop/list_memo.hpp"
#include "strategy/risk_limits.hpp"

namespace oxa::engine {
namespace {

// self.dump_rsp(table_name, record) when c_cython is 1.
void record_answer(py::handle self, py::handle table_name, py::handle record) {
    if (switch_on(self, names.c_cython)) call_method(self, names.dump_rsp, {table_name.ptr(), record.ptr()});
}

// self.<table>[record["InstrumentID"]] = [record]
void start_list(py::handle self, PyObject* table, py::handle record) {
    py::object started = checked(PyList_New(0));
    if (PyList_Append(started.ptr(), record.ptr()) < 0) throw_error();
    py::object lists = getattr(self, table);
    setitem(lists, getitem(record, names.InstrumentID), started);
}

// The instrument's list in self.<table>, None when it has none.
py::object list_of(py::handle self, PyObject* table, py::handle record) {
    py::object lists = getattr(self, table);
    return get(lists, getitem(record, names.InstrumentID));
}

// Appends the record to the instrument's list in self.<table>, starting the list if the
// instrument has none.
void append_to(py::handle self, PyObject* table, py::handle record) {
    py::object list = list_of(self, table, record);
    if (list.is_none()) {
        start_list(self, table, record);
    } else {
        call_method(list, names.append, {record.ptr()});
    }
}

// stored[key] == record[key]. A stored entry without the key is a different record: the
// order list also holds order-insert answers, which carry no OrderSysID, and they must not
// make every later order notification of the instrument fail. The host's records are plain
// dicts of plain strings, whose lookup and comparison run no Python code, so they are
// compared directly; anything else takes Python's own road.
bool same(py::handle stored, py::handle record, PyObject* key) {
    PyObject* mine = nullptr;
    if (PyDict_CheckExact(stored.ptr())) {
        mine = Py_XNewRef(PyDict_GetItemWithError(stored.ptr(), key));
        if (!mine && PyErr_Occurred()) throw_error();
    } else {
        mine = PyObject_GetItem(stored.ptr(), key);
        if (!mine) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
            PyErr_Clear();
        }
    }
    if (!mine) return false;
    py::object owned_mine = py::reinterpret_steal<py::object>(mine);
    if (PyDict_CheckExact(record.ptr()) && PyUnicode_CheckExact(mine)) {
        PyObject* theirs = PyDict_GetItemWithError(record.ptr(), key);  // borrowed; nothing runs meanwhile
        if (!theirs && PyErr_Occurred()) throw_error();
        if (theirs && PyUnicode_CheckExact(theirs)) return mine == theirs || PyUnicode_Compare(mine, theirs) == 0;
    }
    return equals(owned_mine, getitem(record, key));
}

// An entry's two key values as an exact dict with text keys holds them (exact strs, or null
// where absent), kept by the walk that found they do not match the record in hand.
struct EntryKeys {
    PyObject* first_key = nullptr;  // which pair of keys they are
    PyObject* first = nullptr;
    Py_hash_t first_hash = 0;
    PyObject* second = nullptr;
    Py_hash_t second_hash = 0;
};

// The value of `key` in an exact dict with text keys, if it is an exact str or absent.
bool text_value(PyObject* dict, PyObject* key, PyObject*& value, Py_hash_t& hash) {
    value = PyDict_GetItemWithError(dict, key);  // runs no Python code: text keys only
    if (!value) return true;
    if (!PyUnicode_CheckExact(value)) return false;
    hash = PyObject_Hash(value);
    return true;
}

bool keys_of(PyObject* stored, PyObject* first_key, PyObject* second_key, EntryKeys& keys) {
    keys.first_key = first_key;
    return PyDict_CheckExact(stored) && has_text_keys(stored) && text_value(stored, first_key, keys.first, keys.first_hash) &&
           text_value(stored, second_key, keys.second, keys.second_hash);
}

bool same_text(PyObject* stored, Py_hash_t stored_hash, PyObject* theirs, Py_hash_t their_hash) {
    return stored && stored_hash == their_hash && (stored == theirs || PyUnicode_Compare(stored, theirs) == 0);
}

// The record's two key values when they are exact strs of an exact dict: then an entry whose
// keys were kept compares without any Python code, and, by its keys alone, as same() would.
struct RecordKeys {
    explicit RecordKeys(PyObject* record) : record(record) {}

    PyObject* record;
    bool read = false;
    bool qualifies = false;
    DictStamp stamp;
    py::object first, second;
    Py_hash_t first_hash = 0, second_hash = 0;

    // Whether the record qualifies now; read again whenever it has changed.
    bool usable(PyObject* first_key, PyObject* second_key) {
        if (read && stamp.unchanged()) return qualifies;
        if (!PyDict_CheckExact(record)) return false;
        read = true;
        stamp.take(record);
        PyObject *a = nullptr, *b = nullptr;
        qualifies = has_text_keys(record) && text_value(record, first_key, a, first_hash) &&
                    text_value(record, second_key, b, second_hash) && a && b;
        first = py::reinterpret_borrow<py::object>(a);
        second = py::reinterpret_borrow<py::object>(b);
        return qualifies;
    }
};

// Merges the record into every entry of the instrument's list in self.<table> that agrees
// with it on both keys (first_key compared first), so stored dictionaries keep their
// identity; appends it when none does. An exact list is walked by position, as a list
// iterator walks it, and an entry whose keys an earlier walk kept, unchanged since, is
// compared by those keys.
void merge_into(py::handle self, PyObject* table, py::handle record, PyObject* first_key, PyObject* second_key) {
    py::object list = list_of(self, table, record);
    if (list.is_none()) {
        start_list(self, table, record);
        return;
    }
    bool found = false;
    auto merge = [&](py::handle stored) {
        found = true;
        call_method(stored, names.update, {record.ptr()});
    };
    if (!PyList_CheckExact(list.ptr())) {
        for_each(list, [&](py::handle stored) {
            if (same(stored, record, first_key) && same(stored, record, second_key)) merge(stored);
        });
    } else {
        auto memo = ListMemo<EntryKeys>::of(list.ptr());
        RecordKeys theirs{record.ptr()};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            memo->look_ahead(list.ptr(), i);
            PyObject* item = PyList_GET_ITEM(list.ptr(), i);
            const EntryKeys* kept = memo->at(i, item);
            if (kept && kept->first_key == first_key && theirs.usable(first_key, second_key) &&
                !(same_text(kept->first, kept->first_hash, theirs.first.ptr(), theirs.first_hash) &&
                  same_text(kept->second, kept->second_hash, theirs.second.ptr(), theirs.second_hash))) {
                continue;
            }
            py::object stored = py::reinterpret_borrow<py::object>(item);
            if (same(stored, record, first_key) && same(stored, record, second_key)) {
                merge(stored);
            } else if (EntryKeys keys; keys_of(stored.ptr(), first_key, second_key, keys)) {
                memo->keep(i, stored.ptr(), keys);
            }
        }
    }
    if (!found) call_method(list, names.append, {record.ptr()});
}

}  // namespace

py::object push_OnRspQryTradingAccount(py::handle self, py::handle table_name, py::handle TradingAccount) {
    py::object record = call_method(TradingAccount, names.to_dict);
    call_method(getattr(self, names.TradingAccount), names.update, {record.ptr()});
    record_answer(self, table_name, record);
    return py::none();
}

py::object push_OnRspQryInstrument(py::handle self, py::handle table_name, py::handle Instrument) {
    py::object record = call_method(Instrument, names.to_dict);
    call_method(self, names.push_InstrumentAttr, {getitem(record, names.InstrumentID).ptr(), record.ptr()});
    record_answer(self, table_name, record);
    return py::none();
}

py::object push_OnRspOrderInsert(py::handle self, py::handle table_name, py::handle OrderInsert) {
    py::object record = call_method(OrderInsert, names.to_dict);
    append_to(self, names.instrument_rtn_order_dict, record);
    record_answer(self, table_name, record);
    return py::none();
}

py::object push_Order(py::handle self, py::handle table_name, py::handle Order) {
    py::object record = call_method(Order, names.to_dict);
    // Status "a" (not yet known at the exchange) is recorded but not filed.
    if (!equals(getitem(record, names.OrderStatus), names.status_a)) {
        merge_into(self, names.instrument_rtn_order_dict, record, names.OrderSysID, names.ExchangeID);
    }
    record_answer(self, table_name, record);
    return py::none();
}

py::object forward_order(py::handle self, py::handle table_name, py::handle Order) {
    call_method(self, names.push_Order, {table_name.ptr(), Order.ptr()});
    return py::none();
}

py::object push_OnRspQryInvestorPosition(py::handle self, py::handle table_name, py::handle InvestorPosition) {
    py::object record = call_method(InvestorPosition, names.to_dict);
    merge_into(self, names.instrument_position_dict, record, names.InstrumentID, names.PosiDirection);
    strategy::note_position(self, record);
    record_answer(self, table_name, record);
    return py::none();
}

py::object push_OnRspQrySettlementInfo(py::handle self, py::handle table_name, py::handle SettlementInfo) {
    py::object record = call_method(SettlementInfo, names.to_dict);
    record_answer(self, table_name, record);
    if (switch_on(self, names.upload)) call_method(self, names.dict2DB, {table_name.ptr(), record.ptr()});
    return py::none();
}

py::object push_OnRtnInstrumentStatus(py::handle self, py::handle table_name, py::handle InstrumentStatus) {
    py::object record = call_method(InstrumentStatus, names.to_dict);
    for (PyObject* key : {names.InstrumentStatus, names.TradingSegmentSN, names.EnterTime, names.EnterReason}) {
        py::object instrument = getitem(record, names.InstrumentID);
        py::object value = getitem(record, key);
        call_method(self, names.set_InstrumentAttr, {instrument.ptr(), key, value.ptr()});
    }
    record_answer(self, table_name, record);
    return py::none();
}

py::object push_ReqOrderInsert(py::handle self, py::handle table_name, py::handle OrderInsert) {
    py::object record = call_method(OrderInsert, names.to_dict);
    append_to(self, names.instrument_req_order_dict, record);
    if (switch_on(self, names.cython_c)) call_method(self, names.dump_req, {table_name.ptr(), record.ptr()});
    return py::none();
}

}  // namespace oxa::engine
