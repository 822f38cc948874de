// The reader's I/Q capture buffer.
#include <algorithm>

#include "guard.h"
#include "priv/priv_frame.h"

using namespace qd;

namespace {

const auto get_iq_buffer = priv_op<&wire::get_iq_buffer_1>("getIqBuffer");

}  // namespace

extern "C" {

int PRIV_getIqBuffer(reader_handle handle, uint16_t selector, iq_buffer* buffer)
{
    return qd::guarded_priv<int>("PRIV_getIqBuffer", READER_ERROR_API_ALLOC, [&]() -> int {
        PrivFrame frame(get_iq_buffer, handle);
        if (!frame)
            return frame.result();
        if (!buffer)
            return READER_ERROR_INVALID_ARGUMENTS;
        const u_short request = selector;
        // Every sample, whatever the count: the reader's count need not say
        // how many of them were captured.
        return frame.run(request, [buffer](const wire::iq_buffer& reply) {
            buffer->count = reply.count;
            std::copy(std::begin(reply.i_values), std::end(reply.i_values), buffer->i_values);
            std::copy(std::begin(reply.q_values), std::end(reply.q_values), buffer->q_values);
            return 0;
        });
    });
}

}  // extern "C"
