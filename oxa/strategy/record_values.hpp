// Numbers and texts of the broker's records and the engine's clock, as the opt-in features
// (pre-trade limits, strategy names) read them.
#pragma once

#include <optional>

#include "interop/python.hpp"

namespace oxa::strategy {

// The value as a float; None or absent (null) is 0.
double as_double(py::handle value);

// value == text, for a str value.
bool is_text(py::handle value, const char* text);

// The engine's clock (`datetime.now()`) in seconds, its fields read as UTC; nothing when it
// gives no datetime.
std::optional<double> clock_seconds();

}  // namespace oxa::strategy
