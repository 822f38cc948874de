#include "priv/protocol_trace.h"

#include <cstdio>

#include "priv/priv_frame.h"

namespace qd {

namespace {

const auto get_protocol_trace = priv_op<&wire::get_protocol_trace_1>("getProtocolTrace");

}  // namespace

int PRIV_getProtocolTrace(reader_handle handle, int selector, wire::protocol_trace* trace)
{
    const u_short request = static_cast<u_short>(selector);
    const auto copy = [trace](const wire::protocol_trace& reply) {
        if (trace)
            *trace = reply;   // fixed arrays only: nothing of the reply's to own
        return 0;
    };
    const int result = priv_perform(get_protocol_trace, handle, request, copy);
    if (result == READER_ERROR_REMOTE)
        std::fputs("Remote Error\n", stderr);
    return result;
}

}  // namespace qd
