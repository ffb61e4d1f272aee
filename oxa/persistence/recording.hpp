// Recording of records crossing the host boundary: trace records tagged with a request
// number, and database rows, each under its switch.
#pragma once

#include "interop/python.hpp"

namespace oxa::persistence {

py::object dumpRspDict(py::handle self, py::handle table_name, py::handle val_dict);
py::object DumpReqDict(py::handle self, py::handle table_name, py::handle val_dict);
py::object dump_req(py::handle self, py::handle table_name, py::handle val_dict);
py::object dump_rsp(py::handle self, py::handle table_name, py::handle val_dict);

}  // namespace oxa::persistence
