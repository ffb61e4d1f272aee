#include "engine/state_store.hpp"

#include "interop/except.hpp"

namespace oxa::engine {
namespace {

// table.get(instrumentID) from the engine attribute `table`; a new empty list for None.
py::object list_lookup(py::handle self, PyObject* table, py::handle instrumentID) {
    if (instrumentID.is_none()) return py::list();
    return get(getattr(self, table), instrumentID);
}

// The instrument's attribute dictionary, created through self.InitFactor() and stored
// before anything is set in it when the instrument has none yet.
py::object attributes_creating(py::handle self, py::handle instrumentID) {
    py::object table = getattr(self, names.instrument_attr_dict);
    py::object attributes = get(table, instrumentID);
    if (attributes.is_none()) {
        attributes = call_method(self, names.InitFactor);
        setitem(table, instrumentID, attributes);
    }
    return attributes;
}

}  // namespace

py::object get_InstrumentAttr(py::handle self, py::handle instrumentID) {
    if (instrumentID.is_none()) return py::dict();
    return get(getattr(self, names.instrument_attr_dict), instrumentID);
}

py::object set_InstrumentAttr(py::handle self, py::handle instrumentID, py::handle key, py::handle val) {
    try_except_log(
        [&] {
            if (instrumentID.is_none() || key.is_none() || val.is_none()) return;
            setitem(attributes_creating(self, instrumentID), key, val);
        },
        "set_InstrumentAttr");
    return py::none();
}

py::object push_InstrumentAttr(py::handle self, py::handle instrumentID, py::handle attr_dict) {
    try_except_log(
        [&] {
            if (!PyDict_Check(attr_dict.ptr()) || !PyUnicode_Check(instrumentID.ptr())) return;
            call_method(attributes_creating(self, instrumentID), names.update, {attr_dict.ptr()});
        },
        "push_InstrumentAttr");
    return py::none();
}

py::object get_global_Attr(py::handle self, py::handle key) {
    // None looks nothing up and finds nothing.
    if (key.is_none()) return py::none();
    return get(getattr(self, names.global_dict), key);
}

py::object set_global_Attr(py::handle self, py::handle key, py::handle val) {
    if (!key.is_none() && !val.is_none()) setitem(getattr(self, names.global_dict), key, val);
    return py::none();
}

py::object get_Order_list(py::handle self, py::handle instrumentID) {
    return list_lookup(self, names.instrument_rtn_order_dict, instrumentID);
}

py::object get_Position(py::handle self, py::handle instrumentID) {
    return list_lookup(self, names.instrument_position_dict, instrumentID);
}

py::object get_ReqOrderList(py::handle self, py::handle instrumentID) {
    return list_lookup(self, names.instrument_req_order_dict, instrumentID);
}

py::object InitFactor(py::handle) {
    py::dict factor;
    py::object zero = integer(0);
    py::object zero_names = getattr(global(names.myDEnv), names.Init_Factor_Zero);
    py::object iterator = checked(PyObject_GetIter(zero_names.ptr()));
    while (PyObject* name = PyIter_Next(iterator.ptr())) {
        py::object owned = py::reinterpret_steal<py::object>(name);
        setitem(factor, owned, zero);
    }
    if (PyErr_Occurred()) throw_error();
    setitem(factor, py::handle(names.UpdateTime), py::handle(names.initial_update_time));
    setitem(factor, py::handle(names.bid_order_book), py::dict());
    setitem(factor, py::handle(names.ask_order_book), py::dict());
    setitem(factor, py::handle(names.trade_book), py::dict());
    return factor;
}

}  // namespace oxa::engine
