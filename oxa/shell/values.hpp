// Text forms of broker field values, GB18030 decoding of byte strings, defaults for None.
#pragma once

#include "interop/python.hpp"

namespace oxa::shell {

// bytes.decode(value, "gb18030", "ignore"): invalid sequences are dropped, never an error.
py::object decode_gb18030(py::handle bytes);

py::object toString(py::handle val);
py::object toString2(py::handle val);
py::object myDecode(py::handle val);
py::object nvl(py::handle p1, py::handle p2);

}  // namespace oxa::shell
