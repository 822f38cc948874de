// The privilege level and the gate of the privileged family.  The level is
// process-wide and needs no reader; the parameter store sends it with every
// request.
#pragma once

#include <cstdint>

namespace qd {

// The current privilege level (0: the gate is closed).
uint16_t priv_level();

// The gate: admits while the level is non-zero.  `name` is the operation's
// gate name; the gate does not consult it.
bool priv_allowed(const char* name, int level);

// Writes the formatted message and a newline to standard error, whether or
// not the trace is on.
void priv_report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Takes a debug line of the privileged family and writes nothing.
void priv_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qd
