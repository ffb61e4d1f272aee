// The engine's row writer (dict2DB, SQL2DB) and its query (ExecuteQuery).
#pragma once

#include "interop/python.hpp"

namespace oxa::persistence {

py::object dict2DB(py::handle self, py::handle table_name, py::handle val_dict);
py::object SQL2DB(py::handle self, py::handle szSQL, py::handle listVal);
py::object engine_ExecuteQuery(py::handle self, py::handle i_strSQL);

}  // namespace oxa::persistence
