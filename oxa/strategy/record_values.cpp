#include "strategy/record_values.hpp"

#include <datetime.h>

#include <ctime>

namespace oxa::strategy {

double as_double(py::handle value) {
    if (!value || value.is_none()) return 0;
    double number = PyFloat_AsDouble(value.ptr());
    if (number == -1 && PyErr_Occurred()) throw_error();
    return number;
}

bool is_text(py::handle value, const char* text) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

std::optional<double> clock_seconds() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw_error();
    }
    py::object now = call_method(global(names.datetime), names.now);
    if (!PyDateTime_Check(now.ptr())) return std::nullopt;
    std::tm day{};
    day.tm_year = PyDateTime_GET_YEAR(now.ptr()) - 1900;
    day.tm_mon = PyDateTime_GET_MONTH(now.ptr()) - 1;
    day.tm_mday = PyDateTime_GET_DAY(now.ptr());
    double seconds = static_cast<double>(timegm(&day));
    return seconds + PyDateTime_DATE_GET_HOUR(now.ptr()) * 3600 + PyDateTime_DATE_GET_MINUTE(now.ptr()) * 60 +
           PyDateTime_DATE_GET_SECOND(now.ptr()) + PyDateTime_DATE_GET_MICROSECOND(now.ptr()) * 1e-6;
}

}  // namespace oxa::strategy
