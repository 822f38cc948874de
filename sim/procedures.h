// The reader program's procedures: the server functions the generated
// dispatcher calls, with the call log, the faults and the reply's timing
// wrapped around the behaviour (behaviour.h).
#pragma once

#include <netinet/in.h>

#include <string>

#include "reader_model.h"
#include "server_loop.h"
#include "wire.h"

namespace qdsim::detail {

// Serves one call of the reader program for `state` (server thread), which
// arrived at the reader's address `reader`.  A reply that is due later
// (delay fault, latency) is left to `loop`.
void serve_reader_program(ReaderState& state, ServerLoop& loop, in_addr_t reader, svc_req* rq, SVCXPRT* xprt);

// True for the procedure numbers the protocol defines (not NULL).
bool known_procedure(uint32_t proc);

// The procedure's name as the protocol file writes it in lower case
// ("tagdb_pop"); "null" for procedure 0; the number for one the protocol
// lacks.
std::string procedure_name(uint32_t proc);

// The number of the procedure named as procedure_name() names it, or given
// as its number; false for neither.
bool procedure_number(const std::string& name, uint32_t& out);

// When a reply is due: latency and delay added to the time of arrival.
ServerLoop::TimePoint reply_due(const ReaderState& state, ServerLoop::TimePoint arrived, const Fault& fault);

}  // namespace qdsim::detail
