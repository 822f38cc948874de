// The reader's protocol trace record.  Built but not exported: no public
// operation reaches it.
#pragma once

#include "qdapi.h"
#include "wire.h"

namespace qd {

// Copies the trace of `selector` (its low 16 bits) into *trace when trace is
// not null.  0, or -1, -2, -102 as the rest of the privileged family; a
// failed call also writes "Remote Error" to standard error.
int PRIV_getProtocolTrace(reader_handle handle, int selector, wire::protocol_trace* trace);

}  // namespace qd
