// The module body's twelve import statements, with the interpreter's semantics and messages.
#pragma once

namespace oxa::shell {

// Runs the imports in order, binding each global in the module dictionary. Returns false
// with the import's own exception set (and a traceback entry "init oxa.Brindle").
bool run_imports();

}  // namespace oxa::shell
