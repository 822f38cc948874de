// The reader program's procedures: the server functions the generated
// dispatcher calls, with the call log and the faults wrapped around the
// behaviour (behaviour.h).
#pragma once

#include "reader_model.h"
#include "wire.h"

namespace qdsim::detail {

// Serves one call of the reader program for `state` (server thread).
void serve_reader_program(ReaderState& state, svc_req* rq, SVCXPRT* xprt);

// True for the procedure numbers the protocol defines (not NULL).
bool known_procedure(uint32_t proc);

}  // namespace qdsim::detail
