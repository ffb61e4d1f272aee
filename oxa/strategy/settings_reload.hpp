// The tick handler's `reload(myDEnv)`, with a road that skips the import machinery while
// nothing a real reload depends on has changed.
#pragma once

#include "interop/python.hpp"

namespace oxa::strategy {

// Keeps the objects the fast road compares against as the module body left them: the
// `reload` global it bound, and the import system's loader and spec classes. Called once
// at import, after the module's imports.
void remember_import_machinery();

// `reload(settings)`. While `reload` is still the importlib.reload the module body bound,
// `settings` is still the module a real reload last executed (same sys.modules entry, spec,
// parent package, search path and import hooks) and its source file still has the size,
// times, inode, device and mode it had when its code was compiled (taken before reload read
// it; while the kernel reports no change to the file or its path, it is not stamped again),
// the module is executed from that code as reload would execute it; otherwise the real
// `reload` runs and the code is compiled afresh from the source. While another reload of the
// module is under way, nothing is executed, as reload returns at once then. One exception:
// a source edited without changing its size or the whole second of its modification time
// is compiled and executed here, since reload would take the bytecode cached for the
// previous text. With `only_when_changed`, a module found unchanged is not executed at all.
void reload_settings(py::handle reload, py::handle settings, bool only_when_changed);

}  // namespace oxa::strategy
