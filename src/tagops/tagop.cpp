// Operations on the memory and identity of one tag: the caller's record goes
// to the reader, which carries the operation out and reports a status.
#include <algorithm>
#include <cstring>

#include "call.h"
#include "export.h"
#include "trace.h"

using namespace qd;

namespace {

std::mutex tagop_lock;         // the six operations of the shared worker
std::mutex tagdata_read_lock;

constexpr std::size_t max_data_words = 1024;

// The shared worker: sends the caller's record unchanged and relays the
// reader's status; nothing of the reply reaches the caller's record.
template <auto Entry>
int tagop_call(reader_handle handle, const tagop_record* record)
{
    const auto session = resolve(handle);
    if (!session)
        return READER_ERROR_REMOTE;
    if (!record) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return READER_ERROR_REMOTE;
    }
    std::lock_guard<std::mutex> lock(tagop_lock);
    Reply<Entry> reply;
    if (!remote(session, "RPC call", reply, as_wire<wire::tagop_request>(record)))
        return READER_ERROR_REMOTE;
    const int status = reply.value.op_status;   // signed 16-bit
    set_errno(status);
    return status == 0 ? 0 : READER_ERROR_REMOTE;
}

// Data words that carry data_bits: ceil(data_bits / 16), at most 1024.
std::size_t data_words(unsigned data_bits)
{
    return data_bits == 0 ? 0 : std::min<std::size_t>(((data_bits - 1) >> 4) + 1, max_data_words);
}

}  // namespace

extern "C" {

QD_EXPORT int tagid_write(reader_handle handle, const tagop_record* record)
{
    return tagop_call<&wire::tagid_write_1>(handle, record);
}

QD_EXPORT int tagid_lock(reader_handle handle, const tagop_record* record)
{
    return tagop_call<&wire::tagid_lock_1>(handle, record);
}

QD_EXPORT int tag_kill(reader_handle handle, const tagop_record* record)
{
    return tagop_call<&wire::tag_kill_1>(handle, record);
}

QD_EXPORT int tag_passwd(reader_handle handle, const tagop_record* record)
{
    return tagop_call<&wire::tag_passwd_1>(handle, record);
}

QD_EXPORT int tagdata_write(reader_handle handle, const tagop_record* record)
{
    return tagop_call<&wire::tagdata_write_1>(handle, record);
}

QD_EXPORT int tagdata_lock(reader_handle handle, const tagop_record* record)
{
    return tagop_call<&wire::tagdata_lock_1>(handle, record);
}

QD_EXPORT int tagdata_read(reader_handle handle, tagop_record* record)
{
    const auto session = resolve(handle);
    if (!session)
        return READER_ERROR_REMOTE;
    if (!record) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return READER_ERROR_INVALID_ARGUMENTS;
    }
    // The request is a copy of the caller's record, owned by this call.
    wire::tagop_request request;
    std::memcpy(&request, record, sizeof request);

    std::lock_guard<std::mutex> lock(tagdata_read_lock);
    Reply<&wire::tagdata_read_1> reply;
    if (!remote(session, "tagdata_read", reply, &request))
        return READER_ERROR_REMOTE;
    const wire::tagop_reply& answer = reply.value;
    if (answer.op_status != 0) {
        // A refusal is reported as a remote failure; the record is untouched.
        set_errno(READER_ERROR_REMOTE);
        return READER_ERROR_REMOTE;
    }
    record->op_word19 = answer.op_word19;
    record->op_word20 = answer.op_word20;
    record->data_bits = answer.data_bits;
    std::copy_n(answer.data, data_words(answer.data_bits), record->data);
    set_errno(answer.op_status);
    return 0;
}

}  // extern "C"
