// The engine's state store: instrument attribute dictionaries, global attributes and the
// order, position and request lists, all kept in the instance __dict__.
#pragma once

#include "interop/python.hpp"

namespace oxa::engine {

py::object get_InstrumentAttr(py::handle self, py::handle instrumentID);
py::object set_InstrumentAttr(py::handle self, py::handle instrumentID, py::handle key, py::handle val);
py::object push_InstrumentAttr(py::handle self, py::handle instrumentID, py::handle attr_dict);
py::object get_global_Attr(py::handle self, py::handle key);
// Registered under both set_global_Attr and push_global_Attr: the two are one operation.
py::object set_global_Attr(py::handle self, py::handle key, py::handle val);
py::object get_Order_list(py::handle self, py::handle instrumentID);
py::object get_Position(py::handle self, py::handle instrumentID);
py::object get_ReqOrderList(py::handle self, py::handle instrumentID);
py::object InitFactor(py::handle self);

}  // namespace oxa::engine
