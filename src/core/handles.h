// The process-wide table of 128 handles.  Reader handles and automatic
// search handles share it; a slot's kind tells them apart.  A handle, as
// callers see it, is the address of its slot.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "qdapi.h"

namespace qd {

enum handle_kind : int32_t {
    HANDLE_KIND_READER = 0,
    HANDLE_KIND_AUTO_SEARCH = 1,
};

// What a slot stands for.  The slot holds it; an operation in progress holds
// it too, so that a handle closed under a running call frees its object only
// when that call is over.
struct handle_object {
    virtual ~handle_object() = default;
};

constexpr int handle_table_size = 128;

// Guards the table, and nothing else: it is never held across a call to a
// reader.
extern std::mutex handle_table_lock;

// Takes a free slot for the object, in turn from the one after the latest
// taken.  Null with reader_errno -121
// when all slots are in use (the object is then let go).
reader_handle allocate_slot(handle_kind kind, std::shared_ptr<handle_object> object);

// Frees the slot and lets go of its object.
void release_slot(reader_handle handle);

// Frees the slot only while it still holds `object`: a handle closed twice
// at once must not free a slot that was handed out again in between.
void release_slot_of(reader_handle handle, const handle_object* object);

// The object of an allocated slot of the given kind, or null (for null, for
// anything that is not a slot of the table, for a free slot or another kind).
std::shared_ptr<handle_object> slot_object(reader_handle handle, handle_kind kind);

// The allocated slots of a kind, in table order, with their objects, as the
// table held them a moment ago: the caller works on them without the lock.
struct SlotEntry {
    reader_handle handle;
    std::shared_ptr<handle_object> object;
};
std::vector<SlotEntry> slots_of_kind(handle_kind kind);

}  // namespace qd

// One entry of the table.
struct handle_slot {
    int32_t slot_kind = 0;
    int32_t in_use = 0;
    std::shared_ptr<qd::handle_object> slot_object;
};
