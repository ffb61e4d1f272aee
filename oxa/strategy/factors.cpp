#include "strategy/factors.hpp"

#include "interop/except.hpp"
#include "interop/iteration.hpp"

namespace oxa::strategy {
namespace {

// it_factor[index]: a row of t_factor is (id, InstrumentID, factor_name, factor_val).
py::object column(py::handle row, long index) { return getitem(row, integer(index)); }

void apply_factor_row(py::handle self, py::handle it_factor) {
    // Each column is read where Python's left-to-right concatenation reads it.
    py::object message = add(names.factor_set, column(it_factor, 1));
    message = add(message, names.colon);
    message = add(message, column(it_factor, 2));
    message = add(message, names.colon);
    message = add(message, str(column(it_factor, 3)));
    log(names.debug, message);
    py::object l_InstrumentID = column(it_factor, 1);
    if (equals(l_InstrumentID, names.all)) {
        call_method(self, names.set_global_Attr, {column(it_factor, 2).ptr(), column(it_factor, 3).ptr()});
    } else {
        py::object factor = get(getattr(self, names.instrument_attr_dict), l_InstrumentID);
        if (factor.is_none()) factor = call_method(self, names.InitFactor);
        setitem(getattr(self, names.instrument_attr_dict), l_InstrumentID, factor);
        py::object factor_val = column(it_factor, 3);  // the right-hand side comes first
        setitem(factor, column(it_factor, 2), factor_val);
    }
    setattr(self, names._COXAAlgos__id, column(it_factor, 0));
}

}  // namespace

py::object updateFactor(py::handle self) {
    try_except_log(
        [&] {
            py::object query = checked(PyUnicode_Format(names.factor_query, getattr(self, names._COXAAlgos__id).ptr()));
            py::object l_factor_list = call_method(self, names.ExecuteQuery, {query.ptr()});
            Py_ssize_t count = PyObject_Size(l_factor_list.ptr());
            if (count < 0) throw_error();
            log(names.debug, add(names.factor_count, str(checked(PyLong_FromSsize_t(count)))));
            for_each(l_factor_list, [&](py::handle it_factor) {
                try_except([&] { apply_factor_row(self, it_factor); },
                           [&](const py::error_already_set&) {
                               py::object message = add(names.factor_failed, column(it_factor, 1));
                               message = add(message, names.colon);
                               log_error(add(message, column(it_factor, 2)));
                           });
            });
        },
        "updateFactor failed");
    return py::none();
}

py::object restOrderFactor(py::handle self, py::handle instrument) {
    try_except_log(
        [&] {
            call_method(self, names.Inc_RequestID);
            py::object factor = get(getattr(self, names.instrument_attr_dict), instrument);
            if (factor.is_none()) {
                factor = call_method(self, names.InitFactor);
            } else {
                py::object zero = integer(0);
                for (PyObject* key : {names.order_acc_down, names.order_acc_up, names.order_acc_keep,
                                      names.order_BidVolume, names.order_AskVolume, names.order_TradeVolume,
                                      names.order_price}) {
                    setitem(factor, key, zero);
                }
            }
            setitem(getattr(self, names.instrument_attr_dict), instrument, factor);
        },
        "restOrderFactor");
    return py::none();
}

py::object Factor2String(py::handle self, py::handle instrument) {
    py::object strRet = add(instrument, names.factor_open);
    py::object factor = getitem(getattr(self, names.instrument_attr_dict), instrument);
    try_except_log(
        [&] {
            if (instrument.is_none() || factor.is_none()) return;
            for_each_item(factor, [&](py::handle k, py::handle v) {
                // strRet + toString(k) + toString(v), evaluated left to right.
                py::object partial = add(strRet, call(global(names.toString), {k.ptr()}));
                strRet = add(partial, call(global(names.toString), {v.ptr()}));
            });
        },
        "Factor2String");
    return add(strRet, names.factor_close);
}

}  // namespace oxa::strategy
