#include "persistence/recording.hpp"

#include "engine/construction.hpp"
#include "interop/iteration.hpp"

namespace oxa::persistence {
namespace {

// Traces val_dict as "\n" + keys joined by "," + "\n" + toString2 of the values joined
// by ",", through the module function `trace_function`, tagged with a new request number.
void dump(py::handle self, PyObject* trace_function, py::handle table_name, py::handle val_dict) {
    py::object col_names = py::reinterpret_borrow<py::object>(names.empty);
    py::object vals = col_names;
    bool first = true;
    for_each_item(val_dict, [&](py::handle k, py::handle v) {
        if (!first) append(col_names, names.comma);
        append(col_names, k);
        if (!first) append(vals, names.comma);
        append(vals, call(global(names.toString2), {v.ptr()}));
        first = false;
    });
    py::object function = global(trace_function);
    py::object trace_text = add(add(add(names.line_feed, col_names), names.line_feed), vals);
    py::object request_number = call_method(self, names.Inc_RequestID);
    call(function, {table_name.ptr(), trace_text.ptr(), request_number.ptr()});
}

// l_dict = val_dict.to_dict(); trace it when c_cython is 1; write it when upload is 1.
void record(py::handle self, PyObject* dump_method, py::handle table_name, py::handle val_dict) {
    py::object l_dict = call_method(val_dict, names.to_dict);
    if (engine::switch_on(self, names.c_cython)) call_method(self, dump_method, {table_name.ptr(), l_dict.ptr()});
    if (engine::switch_on(self, names.upload)) call_method(self, names.dict2DB, {table_name.ptr(), l_dict.ptr()});
}

}  // namespace

py::object dumpRspDict(py::handle self, py::handle table_name, py::handle val_dict) {
    record(self, names.dump_rsp, table_name, val_dict);
    return py::none();
}

py::object DumpReqDict(py::handle self, py::handle table_name, py::handle val_dict) {
    record(self, names.dump_req, table_name, val_dict);
    return py::none();
}

py::object dump_req(py::handle self, py::handle table_name, py::handle val_dict) {
    dump(self, names.dump_py2c, table_name, val_dict);
    return py::none();
}

py::object dump_rsp(py::handle self, py::handle table_name, py::handle val_dict) {
    dump(self, names.dump_c2py, table_name, val_dict);
    return py::none();
}

}  // namespace oxa::persistence
