#include "strategy/simulated_trades.hpp"

#include "interop/except.hpp"
#include "interop/iteration.hpp"
#include "interop/list_memo.hpp"

namespace oxa::strategy {
namespace {

// The journal statement; its commas line up under the column list.
constexpr const char* journal_statement =
    "\n"
    "                    INSERT INTO T_SimNow_AutoTrade(InvestorID,InstrumentID,Express,Direction,"
    "CombOffsetFlag,Order_Time,Order_Price,Order_MDPrice,Trade_Price,Trade_Volume)\n"
    "                                            VALUES(%s        ,%s          ,%s     ,%s       "
    ",%s            ,%s        ,%s         ,%s           ,%s         ,%s)\n"
    "                    ";

PyObject* journal_text() {
    static PyObject* const text = checked(PyUnicode_InternFromString(journal_statement)).release().ptr();
    return text;
}

// An order still active: its status is neither "0" (traded) nor "5" (cancelled).
bool active(py::handle order) {
    return compare(getitem(order, names.OrderStatus), names.status_zero, Py_NE) &&
           compare(getitem(order, names.OrderStatus), names.status_five, Py_NE);
}

// order["Direction"] == direction and LastPrice <op> order["LimitPrice"] and active
bool fills(py::handle order, PyObject* direction, py::handle LastPrice, int op) {
    return equals(getitem(order, names.Direction), direction) &&
           compare(LastPrice, getitem(order, names.LimitPrice), op) && active(order);
}

// Marks the order traded and writes its two trace records.
void fill(py::handle order, py::handle InstrumentID, py::handle LastPrice, PyObject* price_key) {
    setitem(order, names.OrderStatus, names.status_zero);
    py::object printNumber = global(names.printNumber);
    py::object key = add(InstrumentID, price_key);
    call(printNumber, {names.SimNow, key.ptr(), getitem(order, names.LimitPrice).ptr()});
    printNumber = global(names.printNumber);
    key = add(InstrumentID, names.trade_price_key);
    call(printNumber, {names.SimNow, key.ptr(), LastPrice.ptr()});
}

// self.SQL2DB(the_SQL, [(InvestorID, InstrumentID, Express, Direction, CombOffsetFlag,
// OrderTime, LimitPrice, MD_Last_Price, LastPrice, Volume)]), the order's values read now.
void journal(py::handle self, py::handle order, py::handle InvestorID, py::handle InstrumentID,
             py::handle LastPrice, py::handle Volume) {
    py::object row = checked(PyTuple_New(10));
    Py_ssize_t column = 0;
    auto put = [&](py::object value) { PyTuple_SET_ITEM(row.ptr(), column++, value.release().ptr()); };
    put(py::reinterpret_borrow<py::object>(InvestorID));
    put(py::reinterpret_borrow<py::object>(InstrumentID));
    for (PyObject* key : {names.Express, names.Direction, names.CombOffsetFlag, names.OrderTime,
                          names.LimitPrice, names.MD_Last_Price}) {
        put(getitem(order, key));
    }
    put(py::reinterpret_borrow<py::object>(LastPrice));
    put(py::reinterpret_borrow<py::object>(Volume));
    py::object the_data = checked(PyList_New(0));
    if (PyList_Append(the_data.ptr(), row.ptr()) < 0) throw_error();
    call_method(self, names.SQL2DB, {journal_text(), the_data.ptr()});
}

// Walks one order request: fills and journals it when LastPrice reaches it.
void settle(py::handle self, py::handle order, py::handle InvestorID, py::handle InstrumentID,
            py::handle LastPrice, py::handle Volume) {
    bool traded = false;
    if (fills(order, names.direction_buy, LastPrice, Py_LE)) {
        traded = true;
        fill(order, InstrumentID, LastPrice, names.buy_price_key);
    } else if (fills(order, names.direction_sell, LastPrice, Py_GE)) {
        traded = true;
        fill(order, InstrumentID, LastPrice, names.sell_price_key);
    }
    if (traded) journal(self, order, InvestorID, InstrumentID, LastPrice, Volume);
}

bool text_equals(PyObject* text, PyObject* other) { return text == other || PyUnicode_Compare(text, other) == 0; }

// What a walk learnt of an order request, as it is now.
enum class Learnt {
    nothing,       // anything may hold: look at it in full next time
    resting,       // still able to fill: walked in full, but known as it was while unchanged
    settled,       // walking it can neither fill it nor raise nor run Python code, whatever
                   // exact int or float LastPrice is: passed over from now on
};

// Settled: an exact dict with text keys whose Direction is an exact str and which, when that
// Direction is one that fills ("0", "1"), has an exact int or float LimitPrice and the
// OrderStatus "0" (traded) or "5" (cancelled).
Learnt learn(PyObject* order) {
    if (!PyDict_CheckExact(order) || !has_text_keys(order)) return Learnt::nothing;
    PyObject* direction = PyDict_GetItemWithError(order, names.Direction);
    if (!direction || !PyUnicode_CheckExact(direction)) return Learnt::nothing;
    if (!text_equals(direction, names.direction_buy) && !text_equals(direction, names.direction_sell)) {
        return Learnt::settled;
    }
    PyObject* price = PyDict_GetItemWithError(order, names.LimitPrice);
    PyObject* status = PyDict_GetItemWithError(order, names.OrderStatus);
    bool settled = price && (PyFloat_CheckExact(price) || PyLong_CheckExact(price)) && status &&
                   PyUnicode_CheckExact(status) &&
                   (text_equals(status, names.status_zero) || text_equals(status, names.status_five));
    return settled ? Learnt::settled : Learnt::resting;
}

// The walk of an exact list, by position as a list iterator walks it, passing over the
// requests it found settled for good in an earlier call and has not seen change since.
void settle_all(py::handle self, py::handle orders, py::handle InvestorID, py::handle InstrumentID,
                py::handle LastPrice, py::handle Volume) {
    auto memo = ListMemo<Learnt>::of(orders.ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(orders.ptr()); ++i) {
        memo->look_ahead(orders.ptr(), i);
        PyObject* item = PyList_GET_ITEM(orders.ptr(), i);
        const Learnt* known = memo->at(i, item);
        if (known && *known == Learnt::settled) continue;
        bool resting = known != nullptr;  // copied: the walk below may run Python code
        py::object order = py::reinterpret_borrow<py::object>(item);
        settle(self, order, InvestorID, InstrumentID, LastPrice, Volume);
        // Unchanged by the walk, a resting request is still what it was.
        if (resting && memo->at(i, order.ptr()) != nullptr) continue;
        Learnt learnt = learn(order.ptr());
        if (learnt != Learnt::nothing) memo->keep(i, order.ptr(), learnt);
    }
}

}  // namespace

py::object SimNow(py::handle self, py::handle InvestorID, py::handle InstrumentID, py::handle LastPrice,
                  py::handle Volume) {
    if (InvestorID.is_none() || InstrumentID.is_none() || LastPrice.is_none() ||
        compare(Volume, integer(1), Py_LT)) {
        return py::none();
    }
    try_except(
        [&] {
            py::object orders = get(getattr(self, names.instrument_req_order_dict), InstrumentID);
            if (orders.is_none()) return;
            // Comparing an exact int or float runs no Python code and cannot fail: only then
            // can a request be passed over unlooked-at.
            if (PyList_CheckExact(orders.ptr()) && (PyFloat_CheckExact(LastPrice.ptr()) || PyLong_CheckExact(LastPrice.ptr()))) {
                settle_all(self, orders, InvestorID, InstrumentID, LastPrice, Volume);
                return;
            }
            for_each(orders, [&](py::handle order) { settle(self, order, InvestorID, InstrumentID, LastPrice, Volume); });
        },
        [](const py::error_already_set&) { log_error("__cinit__"); });
    return py::none();
}

}  // namespace oxa::strategy
