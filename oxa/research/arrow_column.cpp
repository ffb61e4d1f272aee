#include "research/arrow_column.hpp"

#include <cstring>
#include <string>

namespace oxa::research {
namespace {

// The two structures of the Arrow C data interface, laid out as the interface defines them.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

template <typename T>
T* capsule_pointer(py::handle capsule, const char* name) {
    void* pointer = PyCapsule_GetPointer(capsule.ptr(), name);
    if (pointer == nullptr) throw py::error_already_set();
    return static_cast<T*>(pointer);
}

}  // namespace

ArrowColumn::ArrowColumn(py::handle array, bool text) {
    py::tuple capsules = array.attr("__arrow_c_array__")();
    auto* schema = capsule_pointer<ArrowSchema>(capsules[0], "arrow_schema");
    auto* data = capsule_pointer<ArrowArray>(capsules[1], "arrow_array");
    struct Layout {
        const char* format;
        Type type;
        std::size_t width;
    };
    static const Layout layouts[] = {{"g", Type::Float64, 8}, {"l", Type::Int64, 8}, {"i", Type::Int32, 4},
                                     {"C", Type::UInt8, 1},   {"u", Type::Text, 4},  {"U", Type::LargeText, 8}};
    const Layout* layout = nullptr;
    for (const Layout& candidate : layouts) {
        if (std::strcmp(schema->format, candidate.format) == 0) layout = &candidate;
    }
    if (layout == nullptr || (layout->type == Type::Text || layout->type == Type::LargeText) != text) {
        throw py::type_error(std::string("a ") + (text ? "text " : "") + "column of Arrow format " + schema->format);
    }
    if (data->null_count != 0) throw py::type_error("a column with empty values");
    array_capsule_ = py::reinterpret_borrow<py::object>(capsules[1]);
    type_ = layout->type;
    size_ = data->length;
    data_ = static_cast<const char*>(data->buffers[1]) + data->offset * layout->width;
    if (type_ == Type::Text || type_ == Type::LargeText) characters_ = static_cast<const char*>(data->buffers[2]);
}

py::str ArrowColumn::text(std::int64_t row) const {
    if (row < 0 || row >= size_) throw py::index_error("row " + std::to_string(row) + " of a column of " +
                                                       std::to_string(size_));
    std::int64_t start, end;
    if (type_ == Type::Text) {
        start = static_cast<const std::int32_t*>(data_)[row];
        end = static_cast<const std::int32_t*>(data_)[row + 1];
    } else if (type_ == Type::LargeText) {
        start = static_cast<const std::int64_t*>(data_)[row];
        end = static_cast<const std::int64_t*>(data_)[row + 1];
    } else {
        throw py::type_error("not a text column");
    }
    PyObject* text = PyUnicode_DecodeUTF8(characters_ + start, static_cast<Py_ssize_t>(end - start), nullptr);
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

}  // namespace oxa::research
