// Configuration errors as the engine logs them: without the configuration text they quote.
#pragma once

#include "interop/python.hpp"

namespace oxa::shell {

// A configparser error may quote what cfg/oxa.ini holds: an interpolation error the raw
// value (the database password, or the text around a reference to it), a parsing error
// the malformed lines (a password line written without its "="). Such an error is
// rewritten in place to name its option, section or line numbers only; its type and
// traceback stay. Anything else, and any failure while rewriting, leaves it as it is.
void hide_config_text(const py::error_already_set& error);

}  // namespace oxa::shell
