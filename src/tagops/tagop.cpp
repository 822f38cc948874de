// Operations on the memory and identity of one tag: the caller's record goes
// to the reader, which carries the operation out and reports a status.
#include <algorithm>
#include <cstring>

#include "guard.h"
#include "frame.h"

using namespace qd;

namespace {

constexpr std::size_t max_data_words = 1024;

// The six operations of the shared worker relay the reader's status into
// reader_errno; nothing of the reply reaches the caller's record.
template <auto Entry>
constexpr Operation<Entry, int> tagop_op{
    .check = "RPC call", .failure = READER_ERROR_REMOTE, .on_success = OnSuccess::status,
    .status = [](const wire::tagop_reply& reply) -> std::optional<int> { return reply.op_status; }};

// A refused read is reported as a remote failure.
constexpr Operation<&wire::tagdata_read_1, int> tagdata_read_op{
    .check = "tagdata_read", .failure = READER_ERROR_REMOTE, .on_success = OnSuccess::status,
    .status = [](const wire::tagop_reply& reply) -> std::optional<int> {
        return reply.op_status == 0 ? 0 : READER_ERROR_REMOTE;
    }};

template <auto Entry>
int tagop_call(reader_handle handle, const tagop_record* record)
{
    Frame frame(tagop_op<Entry>, handle);
    if (!frame)
        return frame.failure();
    if (!record)
        return frame.refuse(READER_ERROR_INVALID_ARGUMENTS);
    return frame.run(as_wire<wire::tagop_request>(*record), [](const wire::tagop_reply& reply) -> int {
        return reply.op_status == 0 ? 0 : READER_ERROR_REMOTE;   // signed 16-bit status
    });
}

// Data words that carry data_bits: ceil(data_bits / 16), at most 1024.
std::size_t data_words(unsigned data_bits)
{
    return data_bits == 0 ? 0 : std::min<std::size_t>(((data_bits - 1) >> 4) + 1, max_data_words);
}

}  // namespace

extern "C" {

int tagid_write(reader_handle handle, const tagop_record* record)
{
    return qd::guarded<int>("tagid_write", READER_ERROR_REMOTE, [&]() -> int {
        return tagop_call<&wire::tagid_write_1>(handle, record);
    });
}

int tagid_lock(reader_handle handle, const tagop_record* record)
{
    return qd::guarded<int>("tagid_lock", READER_ERROR_REMOTE, [&]() -> int {
        return tagop_call<&wire::tagid_lock_1>(handle, record);
    });
}

int tag_kill(reader_handle handle, const tagop_record* record)
{
    return qd::guarded<int>("tag_kill", READER_ERROR_REMOTE, [&]() -> int {
        return tagop_call<&wire::tag_kill_1>(handle, record);
    });
}

int tag_passwd(reader_handle handle, const tagop_record* record)
{
    return qd::guarded<int>("tag_passwd", READER_ERROR_REMOTE, [&]() -> int {
        return tagop_call<&wire::tag_passwd_1>(handle, record);
    });
}

int tagdata_write(reader_handle handle, const tagop_record* record)
{
    return qd::guarded<int>("tagdata_write", READER_ERROR_REMOTE, [&]() -> int {
        return tagop_call<&wire::tagdata_write_1>(handle, record);
    });
}

int tagdata_lock(reader_handle handle, const tagop_record* record)
{
    return qd::guarded<int>("tagdata_lock", READER_ERROR_REMOTE, [&]() -> int {
        return tagop_call<&wire::tagdata_lock_1>(handle, record);
    });
}

int tagdata_read(reader_handle handle, tagop_record* record)
{
    return qd::guarded<int>("tagdata_read", READER_ERROR_REMOTE, [&]() -> int {
        Frame frame(tagdata_read_op, handle);
        if (!frame)
            return frame.failure();
        if (!record) {
            set_errno(READER_ERROR_INVALID_ARGUMENTS);
            return READER_ERROR_INVALID_ARGUMENTS;
        }
        // The request is a copy of the caller's record, owned by this call: the
        // answer is written back into the caller's record.
        wire::tagop_request request;
        std::memcpy(&request, record, sizeof request);
        return frame.run(request, [record](const wire::tagop_reply& answer) -> int {
            if (answer.op_status != 0)
                return READER_ERROR_REMOTE;   // the record is left untouched
            record->op_word19 = answer.op_word19;
            record->op_word20 = answer.op_word20;
            record->data_bits = answer.data_bits;
            std::copy_n(answer.data, data_words(answer.data_bits), record->data);
            return 0;
        });
    });
}

}  // extern "C"
