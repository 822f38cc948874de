#include "handles.h"

#include <functional>

#include "trace.h"

namespace qd {

std::mutex handle_table_lock;

namespace {

handle_slot handle_table[handle_table_size];
int next_slot = 0;   // where the search for a free slot starts

// A handle is valid only as the exact address of one slot of the table.
bool is_slot(const handle_slot* handle)
{
    const std::less_equal<const handle_slot*> le;
    if (!handle || !le(&handle_table[0], handle) || !le(handle, &handle_table[handle_table_size - 1]))
        return false;
    const auto offset = reinterpret_cast<std::uintptr_t>(handle) -
                        reinterpret_cast<std::uintptr_t>(&handle_table[0]);
    return offset % sizeof(handle_slot) == 0;
}

}  // namespace

reader_handle allocate_slot(handle_kind kind, std::shared_ptr<handle_object> object)
{
    std::lock_guard<std::mutex> table(handle_table_lock);
    // Slots are handed out in turn, from the one after the latest: a handle
    // just closed is the last to be given out again, so that a call racing
    // with its close and a new open very rarely reaches the new reader.
    for (int i = 0; i < handle_table_size; ++i) {
        handle_slot& slot = handle_table[(next_slot + i) % handle_table_size];
        if (slot.in_use)
            continue;
        slot.in_use = 1;
        slot.slot_kind = kind;
        slot.slot_object = std::move(object);
        next_slot = static_cast<int>(&slot - handle_table + 1) % handle_table_size;
        return &slot;
    }
    set_errno(READER_ERROR_API_MAX_HANDLES);
    return nullptr;
}

void release_slot_of(reader_handle handle, const handle_object* object)
{
    if (!handle) {
        trace("free_handle: handle is NULL.");
        return;
    }
    std::shared_ptr<handle_object> owned;
    {
        std::lock_guard<std::mutex> table(handle_table_lock);
        if (!is_slot(handle) || (object && handle->slot_object.get() != object))
            return;
        handle->in_use = 0;
        owned = std::move(handle->slot_object);
    }
    // The object goes once the table lock is released, and only when no
    // operation holds it any more.
}

void release_slot(reader_handle handle)
{
    release_slot_of(handle, nullptr);
}

std::shared_ptr<handle_object> slot_object(reader_handle handle, handle_kind kind)
{
    std::lock_guard<std::mutex> table(handle_table_lock);
    if (!is_slot(handle) || !handle->in_use || handle->slot_kind != kind)
        return nullptr;
    return handle->slot_object;
}

std::vector<SlotEntry> slots_of_kind(handle_kind kind)
{
    std::vector<SlotEntry> out;
    out.reserve(handle_table_size);
    std::lock_guard<std::mutex> table(handle_table_lock);
    for (auto& slot : handle_table)
        if (slot.in_use && slot.slot_kind == kind)
            out.push_back({&slot, slot.slot_object});
    return out;
}

}  // namespace qd
