#include "research/column_batch.hpp"

#include "research/register.hpp"

namespace oxa::research {

std::shared_ptr<ColumnBatch> read_batch(py::handle prepared) {
    auto batch = std::make_shared<ColumnBatch>();
    batch->source = prepared.attr(name("batch"));
    batch->file = batch->source.attr(name("file"));
    batch->keys = ArrowColumn(prepared.attr(name("keys")));
    batch->days = ArrowColumn(prepared.attr(name("days")));
    batch->lines = ArrowColumn(prepared.attr(name("lines")));
    batch->instruments = ArrowColumn(prepared.attr(name("instruments")));
    py::object bad = prepared.attr(name("bad"));
    batch->has_bad = !bad.is_none();
    if (batch->has_bad) batch->bad = ArrowColumn(bad);
    batch->size = batch->keys.size();
    batch->layout = py::cast<int>(prepared.attr(name("layout")));
    batch->rank = py::cast<std::int64_t>(prepared.attr(name("rank")));
    for (py::handle pair : prepared.attr(name("numbers"))) {
        batch->numbers.emplace_back(py::cast<int>(pair[py::int_(0)]), ArrowColumn(pair[py::int_(1)]));
    }
    for (py::handle pair : prepared.attr(name("others"))) {
        batch->others.emplace_back(py::cast<int>(pair[py::int_(0)]), py::cast<int>(pair[py::int_(1)]));
    }
    for (py::handle pair : prepared.attr(name("texts"))) {
        batch->texts.emplace_back(py::cast<int>(pair[py::int_(0)]), py::cast<ArrowColumn>(pair[py::int_(1)]));
    }
    py::list quote = prepared.attr(name("quote"));
    for (int i = 0; i < 6; ++i) batch->quote[i] = py::cast<int>(quote[i]);
    batch->update_time = py::cast<int>(prepared.attr(name("update_time")));
    py::tuple limits = prepared.attr(name("limits"));
    for (int i = 0; i < 2; ++i) batch->limits[i] = py::cast<int>(limits[i]);
    return batch;
}

void register_columns(py::module_& m) {
    py::class_<ArrowColumn>(m, "TextColumn",
                            "A text column of pyarrow (string or large_string, no nulls), read a row at a time.")
        .def(py::init([](py::handle array) { return ArrowColumn(array, true); }), py::arg("array"))
        .def("__call__", &ArrowColumn::text, py::arg("row"), "The row's text.");
}

}  // namespace oxa::research
