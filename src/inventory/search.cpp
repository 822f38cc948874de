// Plain searches and the reader's tag database.
#include <algorithm>

#include "call.h"
#include "export.h"
#include "trace.h"

using namespace qd;

namespace {

std::mutex search_start_lock;
std::mutex operation_status_lock;
std::mutex tags_available_lock;
std::mutex tagdb_consume_lock;   // tagdb_pop goes through tagdb_consume
std::mutex tagdb_reset_db_lock;

// Identity words that carry the tag's id_bits: none for 0 bits, at most 16.
std::size_t significant_words(unsigned id_bits)
{
    return id_bits == 0 ? 0 : (std::min(id_bits, 256u) - 1) / 16 + 1;
}

// The fields that both of the caller's tag records carry, from status to
// tag_value: only the identity's significant words are written.
template <class From, class To>
void copy_tag(const From& from, To& to)
{
    to.status = from.status;
    to.tag_word1 = from.tag_word1;
    to.tag_word2 = from.tag_word2;
    to.id_bits = from.id_bits;
    std::copy_n(from.id, significant_words(from.id_bits), to.id);
    to.tag_word3 = from.tag_word3;
    to.tag_count1 = from.tag_count1;
    to.tag_count2 = from.tag_count2;
    to.tag_count3 = from.tag_count3;
    to.tag_value = from.tag_value;   // zero-extended into a 64-bit field
}

}  // namespace

extern "C" {

QD_EXPORT int search_start(reader_handle handle, const search_params* params)
{
    const auto session = resolve(handle);
    if (!session || !params)
        return -1;
    trace("Calling search_start_1\n");
    int id;
    {
        std::lock_guard<std::mutex> lock(search_start_lock);
        Reply<&wire::search_start_1> reply;
        if (!remote(session, "search_start", reply, as_wire<wire::search_params>(params)))
            return -1;
        id = reply.value;
    }
    trace("start search uid=%d\n", id);
    set_errno(READER_SUCCESSFUL);
    return id;
}

QD_EXPORT int operation_status(reader_handle handle, int search_id)
{
    const auto session = resolve(handle);
    if (!session)
        return READER_OPERATION_BUILD_IN_PROGRESS;
    trace("calling operation_status_1\n");
    int status;
    {
        std::lock_guard<std::mutex> lock(operation_status_lock);
        Reply<&wire::operation_status_1> reply;
        u_short id = static_cast<u_short>(search_id);
        if (!remote(session, "operation_status", reply, &id))
            return READER_OPERATION_BUILD_IN_PROGRESS;
        status = reply.value;
    }
    if (status > READER_ERROR_INVALID_ARGUMENTS)
        return status;
    set_errno(status);   // the reader's own error code
    return READER_OPERATION_BUILD_IN_PROGRESS;
}

QD_EXPORT int tags_available(reader_handle handle, int value)
{
    const auto session = resolve(handle);
    if (!session)
        return -1;
    trace("Calling tags_available\n");
    int count;
    {
        std::lock_guard<std::mutex> lock(tags_available_lock);
        Reply<&wire::tags_available_1> reply;
        if (!remote(session, "tags_available", reply, &value))
            return -1;
        count = reply.value;   // unsigned: 0 .. 65535
    }
    set_errno(READER_SUCCESSFUL);
    return count;
}

QD_EXPORT int tagdb_consume(reader_handle handle, tag_record* record)
{
    const auto session = resolve(handle);
    if (!session || !record)
        return -1;
    std::lock_guard<std::mutex> lock(tagdb_consume_lock);
    Reply<&wire::tagdb_pop_1> reply;
    if (!remote(session, "tagdb_pop", reply))
        return -1;
    copy_tag(reply.value, *record);
    record->tag_word4 = reply.value.tag_word4;
    record->tag_word5 = reply.value.tag_word5;
    return 0;
}

QD_EXPORT int tagdb_pop(reader_handle handle, popped_tag_record* record)
{
    if (!handle || !record)
        return -1;
    tag_record tag{};
    if (const int rc = tagdb_consume(handle, &tag); rc != 0)
        return rc;
    if (tag.status != 1) {
        record->status = tag.status;   // nothing else is written
        return 0;
    }
    copy_tag(tag, *record);
    return 0;
}

QD_EXPORT int tagdb_reset_db(reader_handle handle)
{
    const auto session = resolve(handle);
    if (!session)
        return -1;
    trace("Calling tagdb_reset_db_1\n");
    {
        std::lock_guard<std::mutex> lock(tagdb_reset_db_lock);
        Reply<&wire::tagdb_reset_db_1> reply;   // the reader's answer is not used
        if (!remote(session, "tagdb_reset_db", reply))
            return -1;
    }
    set_errno(READER_SUCCESSFUL);
    return 0;
}

}  // extern "C"
