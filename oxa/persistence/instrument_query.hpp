// Instrument query answered from the database's t_Instrument table.
#pragma once

#include "interop/python.hpp"

namespace oxa::persistence {

py::object ReqQryInstrument(py::handle self, py::handle pQryInstrument, py::handle reqID);

}  // namespace oxa::persistence
