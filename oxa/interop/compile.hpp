// Compiling source whose code object is kept and run again later in place of compiling the
// same source anew each time.
#pragma once

#include "interop/python.hpp"

namespace oxa {

// The code object Py_CompileStringObject makes of `source` (with optimisation level -1),
// or None when it does not compile or compiling it warns: the road that compiles each time
// repeats such a warning every time, so its code must not be kept. Warnings are errors for
// the duration, with the collector off so that no finalizer runs meanwhile. Leaves no error
// set.
py::object compile_for_reuse(const char* source, PyObject* filename, int start, PyCompilerFlags flags);

}  // namespace oxa
