#pragma once

// Columns handed over by pyarrow through the Arrow C data interface (the capsules of
// __arrow_c_array__): the buffers are read in place, and no Arrow library is linked.

#include <pybind11/pybind11.h>

#include <cstdint>

namespace oxa::research {

namespace py = pybind11;

class ArrowColumn {
public:
    enum class Type : std::uint8_t { Float64, Int64, Int32, UInt8, Text, LargeText };

    ArrowColumn() = default;
    // A primitive array without nulls, or with text a (large) string one; anything else raises
    // TypeError.
    explicit ArrowColumn(py::handle array, bool text = false);

    Type type() const { return type_; }
    std::int64_t size() const { return size_; }
    double real(std::int64_t row) const { return static_cast<const double*>(data_)[row]; }
    std::int64_t whole(std::int64_t row) const {
        switch (type_) {
            case Type::Int64: return static_cast<const std::int64_t*>(data_)[row];
            case Type::Int32: return static_cast<const std::int32_t*>(data_)[row];
            case Type::UInt8: return static_cast<const std::uint8_t*>(data_)[row];
            case Type::Float64:
            case Type::Text:
            case Type::LargeText: break;
        }
        return static_cast<std::int64_t>(real(row));
    }
    // Twin: Batch._reader in brindle_tools/feed/ticks.py: a text column's row as a str.
    py::str text(std::int64_t row) const;

private:
    py::object array_capsule_;  // keeps the buffers alive: released with the capsule
    const void* data_ = nullptr;  // the values; of a text column, its offsets
    const char* characters_ = nullptr;  // a text column's bytes
    std::int64_t size_ = 0;
    Type type_ = Type::Float64;
};

}  // namespace oxa::research
