// Diagnostic trace files under log/, switched by PYTHON_SWITCH of an INI file re-read on
// every call, and the timing loop testPerform.
#pragma once

#include "interop/python.hpp"

namespace oxa::shell {

py::object printString(py::handle fileName, py::handle key, py::handle val, py::handle dwTimes);
py::object printNumber(py::handle fileName, py::handle key, py::handle val, py::handle dwTimes);
py::object testPerform(py::handle i);
py::object dump_py2c(py::handle fileName, py::handle logInfo, py::handle dwTimes);
py::object dump_c2py(py::handle fileName, py::handle logInfo, py::handle dwTimes);

}  // namespace oxa::shell
