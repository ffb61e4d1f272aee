#include "strategy/statistics.hpp"

#include "interop/except.hpp"

namespace oxa::strategy {
namespace {

// factor[key] = factor[key] + amount
void add_to(py::handle factor, PyObject* key, py::handle amount) {
    setitem(factor, key, add(getitem(factor, key), amount));
}

// The three counters of one price direction grow by one; the other two runs end.
void count_direction(py::handle factor, PyObject* current, PyObject* total, PyObject* since_reset,
                     PyObject* ended_first, PyObject* ended_second) {
    py::object one = integer(1);
    py::object zero = integer(0);
    add_to(factor, current, one);
    add_to(factor, total, one);
    add_to(factor, since_reset, one);
    setitem(factor, ended_first, zero);
    setitem(factor, ended_second, zero);
}

// book[price] += amount, or book[price] = amount when that fails (a new price level); the
// book is stored back under its key. `amount()` reads the amount afresh at each use.
template <class Amount>
void book_volume(py::handle factor, PyObject* book_key, py::handle price, Amount amount) {
    py::object book = getitem(factor, book_key);
    try_except(
        [&] {
            py::object booked = getitem(book, price);
            setitem(book, price, add(booked, amount()));
        },
               [&](const py::error_already_set&) { setitem(book, price, amount()); });
    setitem(factor, book_key, book);
}

// A best-bid or best-ask value at or above 1.79e308 is absent and counts as 0.
py::object present_or_zero(py::handle value) {
    constexpr double absent_from = 1.79e308;
    static PyObject* absent_threshold = PyFloat_FromDouble(absent_from);
    if (!absent_threshold) throw_error();
    bool absent;
    int overflow = 0;
    if (PyFloat_CheckExact(value.ptr())) {
        absent = PyFloat_AS_DOUBLE(value.ptr()) >= absent_from;  // as float comparison does it
    } else if (PyLong_CheckExact(value.ptr()) && (PyLong_AsLongLongAndOverflow(value.ptr(), &overflow), !overflow)) {
        absent = false;  // every int of 64 bits is below
    } else {
        absent = compare(value, absent_threshold, Py_GE);
    }
    if (absent) return integer(0);
    return py::reinterpret_borrow<py::object>(value);
}

// The best bid or ask of the tick: its price and volume, the running sums and the book.
void best_quote(py::handle factor, py::handle pMD, PyObject* price_key, PyObject* volume_key,
                PyObject* sum_key, PyObject* order_sum_key, PyObject* book_key) {
    py::object price = present_or_zero(getitem(pMD, price_key));
    setitem(factor, price_key, price);
    py::object volume = present_or_zero(getitem(pMD, volume_key));
    setitem(factor, volume_key, volume);
    add_to(factor, sum_key, volume);
    add_to(factor, order_sum_key, volume);
    book_volume(factor, book_key, price, [&] { return volume; });
}

}  // namespace

// Twin: fold_quote in oxa/research/statistics.cpp (the native road's statistics).
py::object statMD(py::handle, py::handle factor, py::handle pMD) {
    py::object previous_price = getitem(factor, names.LastPrice);
    py::object price = getitem(pMD, names.LastPrice);
    if (compare(price, previous_price, Py_GT)) {
        count_direction(factor, names.LastPrice_Cur_Up, names.LastPrice_Acc_Up, names.order_acc_up,
                        names.LastPrice_Cur_Keep, names.LastPrice_Cur_Down);
    } else if (equals(previous_price, price)) {
        count_direction(factor, names.LastPrice_Cur_Keep, names.LastPrice_Acc_Keep, names.order_acc_keep,
                        names.LastPrice_Cur_Down, names.LastPrice_Cur_Up);
    } else {
        // A fall, or prices that do not compare (NaN).
        count_direction(factor, names.LastPrice_Cur_Down, names.LastPrice_Acc_Down, names.order_acc_down,
                        names.LastPrice_Cur_Keep, names.LastPrice_Cur_Up);
    }
    py::object volume = getitem(pMD, names.Volume);
    setitem(factor, names.vol_diff, subtract(volume, getitem(factor, names.Volume)));
    py::object traded = getitem(factor, names.order_TradeVolume);
    setitem(factor, names.order_TradeVolume, add(traded, getitem(factor, names.vol_diff)));
    book_volume(factor, names.trade_book, price, [&] { return getitem(factor, names.vol_diff); });
    best_quote(factor, pMD, names.BidPrice1, names.BidVolume1, names.BidVolume, names.order_BidVolume,
               names.bid_order_book);
    best_quote(factor, pMD, names.AskPrice1, names.AskVolume1, names.AskVolume, names.order_AskVolume,
               names.ask_order_book);
    return py::none();
}

}  // namespace oxa::strategy
