// The values a strategy text reads on the research road, kept natively, with Python's own
// arithmetic and comparison rules. Each operation gives Python's exact result or nothing:
// nothing means that only Python can answer (a value that is not native, a result beyond
// 64 bits, an exception Python would raise, a rounding not reproduced here), and the caller
// then asks Python.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <optional>

namespace oxa::research {

struct Value {
    // Other: a value that is not native (None, a text, a big int, a subclass, ...).
    enum class Kind : std::uint8_t { Bool, Int, Float, Other };
    Kind kind = Kind::Other;
    union {
        bool b;
        std::int64_t i;
        double f;
    };

    static Value boolean(bool value) {
        Value v;
        v.kind = Kind::Bool;
        v.b = value;
        return v;
    }
    static Value integer(std::int64_t value) {
        Value v;
        v.kind = Kind::Int;
        v.i = value;
        return v;
    }
    static Value real(double value) {
        Value v;
        v.kind = Kind::Float;
        v.f = value;
        return v;
    }
    static Value other() { return Value(); }
};

// bool first (bool is an int subclass); an int beyond 64 bits, an int or float subclass
// other than bool, and anything else are Other.
Value from_python(PyObject* object);
// A new reference; Other is never converted (SystemError).
PyObject* to_python(const Value& value);

namespace detail {

inline bool native(const Value& v) { return v.kind != Value::Kind::Other; }
// bool takes part in arithmetic and comparisons as the int 0 or 1.
inline bool integral(const Value& v) { return v.kind == Value::Kind::Bool || v.kind == Value::Kind::Int; }
inline std::int64_t integer_of(const Value& v) { return v.kind == Value::Kind::Bool ? v.b : v.i; }
// float(int) of Python: round half to even, the conversion's default rounding.
inline double real_of(const Value& v) {
    return v.kind == Value::Kind::Float ? v.f : static_cast<double>(integer_of(v));
}
// Ints that a double holds exactly: their true quotient rounds once, as Python's does.
inline bool exact_in_double(std::int64_t x) {
    constexpr std::int64_t limit = std::int64_t{1} << 53;
    return -limit <= x && x <= limit;
}

// int op int -> int (nothing on overflow, where Python gives a big int); otherwise float.
template <class IntegerOp, class RealOp>
std::optional<Value> arithmetic(const Value& a, const Value& b, IntegerOp integer_op, RealOp real_op) {
    if (!native(a) || !native(b)) return std::nullopt;
    if (integral(a) && integral(b)) {
        std::int64_t result = 0;
        if (integer_op(integer_of(a), integer_of(b), &result)) return std::nullopt;
        return Value::integer(result);
    }
    return Value::real(real_op(real_of(a), real_of(b)));
}

constexpr int unordered = 2;  // a comparison with NaN
inline int reversed(int order) { return order == unordered ? order : -order; }
inline int three_way(std::int64_t x, std::int64_t y) { return x < y ? -1 : x > y ? 1 : 0; }

// int against float exactly, without rounding the int (2**53 + 1 > 2.0**53).
inline int integer_against_real(std::int64_t x, double y) {
    if (std::isnan(y)) return unordered;
    if (y >= 0x1p63) return -1;
    if (y < -0x1p63) return 1;
    const double whole = std::floor(y);  // within int64 now
    const auto whole_integer = static_cast<std::int64_t>(whole);
    if (x != whole_integer) return three_way(x, whole_integer);
    return whole < y ? -1 : 0;
}

}  // namespace detail

inline std::optional<Value> add(Value a, Value b) {
    return detail::arithmetic(
        a, b, [](std::int64_t x, std::int64_t y, std::int64_t* r) { return __builtin_add_overflow(x, y, r); },
        [](double x, double y) { return x + y; });
}

inline std::optional<Value> subtract(Value a, Value b) {
    return detail::arithmetic(
        a, b, [](std::int64_t x, std::int64_t y, std::int64_t* r) { return __builtin_sub_overflow(x, y, r); },
        [](double x, double y) { return x - y; });
}

inline std::optional<Value> multiply(Value a, Value b) {
    return detail::arithmetic(
        a, b, [](std::int64_t x, std::int64_t y, std::int64_t* r) { return __builtin_mul_overflow(x, y, r); },
        [](double x, double y) { return x * y; });
}

// Always a float; a zero divisor raises in Python.
inline std::optional<Value> true_divide(Value a, Value b) {
    using namespace detail;
    if (!native(a) || !native(b)) return std::nullopt;
    if (integral(a) && integral(b)) {
        const std::int64_t x = integer_of(a), y = integer_of(b);
        if (y == 0 || !exact_in_double(x) || !exact_in_double(y)) return std::nullopt;
        return Value::real(static_cast<double>(x) / static_cast<double>(y));
    }
    const double divisor = real_of(b);
    if (divisor == 0.0) return std::nullopt;
    return Value::real(real_of(a) / divisor);
}

// -x, +x and abs(x) of a bool are ints.
inline std::optional<Value> negative(Value a) {
    using namespace detail;
    if (a.kind == Value::Kind::Float) return Value::real(-a.f);
    if (!integral(a) || integer_of(a) == INT64_MIN) return std::nullopt;
    return Value::integer(-integer_of(a));
}

inline std::optional<Value> positive(Value a) {
    using namespace detail;
    if (a.kind == Value::Kind::Float) return a;
    if (!integral(a)) return std::nullopt;
    return Value::integer(integer_of(a));
}

inline std::optional<Value> absolute(Value a) {
    using namespace detail;
    if (a.kind == Value::Kind::Float) return Value::real(std::fabs(a.f));
    if (!integral(a) || integer_of(a) == INT64_MIN) return std::nullopt;
    const std::int64_t x = integer_of(a);
    return Value::integer(x < 0 ? -x : x);
}

// Python's bool(x); NaN is true.
inline std::optional<bool> truth(Value a) {
    switch (a.kind) {
        case Value::Kind::Bool: return a.b;
        case Value::Kind::Int: return a.i != 0;
        case Value::Kind::Float: return a.f != 0.0;
        case Value::Kind::Other: break;
    }
    return std::nullopt;
}

// a op b for op Py_LT .. Py_GE, exact between ints and floats; NaN compares false except !=.
inline std::optional<bool> compare(Value a, Value b, int op) {
    using namespace detail;
    if (!native(a) || !native(b)) return std::nullopt;
    int order = 0;
    if (integral(a) && integral(b)) {
        order = three_way(integer_of(a), integer_of(b));
    } else if (a.kind == Value::Kind::Float && b.kind == Value::Kind::Float) {
        order = a.f < b.f ? -1 : a.f > b.f ? 1 : a.f == b.f ? 0 : unordered;
    } else if (b.kind == Value::Kind::Float) {
        order = integer_against_real(integer_of(a), b.f);
    } else {
        order = reversed(integer_against_real(integer_of(b), a.f));
    }
    switch (op) {
        case Py_LT: return order == -1;
        case Py_LE: return order == -1 || order == 0;
        case Py_EQ: return order == 0;
        case Py_NE: return order != 0;
        case Py_GT: return order == 1;
        case Py_GE: return order == 1 || order == 0;
        default: return std::nullopt;
    }
}

}  // namespace oxa::research
