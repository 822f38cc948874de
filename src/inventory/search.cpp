// Plain searches and the reader's tag database.
#include <algorithm>

#include "guard.h"
#include "frame.h"
#include "tag_copy.h"

using namespace qd;

namespace {

constexpr Operation<&wire::search_start_1, int> search_start_op{
    .check = "search_start", .trace = "Calling search_start_1\n", .failure = -1,
    .on_success = OnSuccess::clear};

// A status of -100 or below is the reader's error: it goes to reader_errno
// and the caller sees the failure value.
constexpr Operation<&wire::operation_status_1, int> operation_status_op{
    .check = "operation_status", .trace = "calling operation_status_1\n",
    .failure = READER_OPERATION_BUILD_IN_PROGRESS, .on_success = OnSuccess::status,
    .status = [](const short& status) -> std::optional<int> {
        if (status > READER_ERROR_INVALID_ARGUMENTS)
            return std::nullopt;
        return status;
    }};

constexpr Operation<&wire::tags_available_1, int> tags_available_op{
    .check = "tags_available", .trace = "Calling tags_available\n", .failure = -1,
    .on_success = OnSuccess::clear};

constexpr Operation<&wire::tagdb_pop_1, int> tagdb_consume_op{.check = "tagdb_pop", .failure = -1};

constexpr Operation<&wire::tagdb_reset_db_1, int> tagdb_reset_db_op{
    .check = "tagdb_reset_db", .trace = "Calling tagdb_reset_db_1\n", .failure = -1,
    .on_success = OnSuccess::clear};

}  // namespace

extern "C" {

int search_start(reader_handle handle, const search_params* params)
{
    return qd::guarded<int>("search_start", -1, [&]() -> int {
        Frame frame(search_start_op, handle);
        if (!frame || !params)
            return frame.failure();
        return frame.run(as_wire<wire::search_params>(*params), [](short id) {
            trace("start search uid=%d\n", id);
            return id;
        });
    });
}

int operation_status(reader_handle handle, int search_id)
{
    return qd::guarded<int>("operation_status", READER_OPERATION_BUILD_IN_PROGRESS, [&]() -> int {
        return perform(operation_status_op, handle, static_cast<u_short>(search_id), [](short status) -> int {
            if (status > READER_ERROR_INVALID_ARGUMENTS)
                return status;
            return READER_OPERATION_BUILD_IN_PROGRESS;
        });
    });
}

int tags_available(reader_handle handle, int value)
{
    return qd::guarded<int>("tags_available", -1, [&]() -> int {
        return perform(tags_available_op, handle, value, answer);   // unsigned: 0 .. 65535
    });
}

int tagdb_consume(reader_handle handle, tag_record* record)
{
    return qd::guarded<int>("tagdb_consume", -1, [&]() -> int {
        Frame frame(tagdb_consume_op, handle);
        if (!frame || !record)
            return frame.failure();
        return frame.run([record](const wire::tag_record& tag) {
            copy_consumed(tag, *record);
            return 0;
        });
    });
}

int tagdb_pop(reader_handle handle, popped_tag_record* record)
{
    return qd::guarded<int>("tagdb_pop", -1, [&]() -> int {
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
    });
}

int tagdb_reset_db(reader_handle handle)
{
    return qd::guarded<int>("tagdb_reset_db", -1, [&]() -> int {
        return perform(tagdb_reset_db_op, handle, nothing);   // the reader's answer is not used
    });
}

}  // extern "C"
