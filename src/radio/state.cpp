// The reader's regulatory region and its RF state word, passed through as
// the reader gives them.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "guard.h"
#include "frame.h"

using namespace qd;

namespace {

// No failure check: a failed call changes nothing at all.
constexpr Operation<&wire::get_region_1, int> get_region_op{.check = "get_region", .policy = Policy::none};

// The sized form checks its call as every other operation does.
constexpr Operation<&wire::get_region_1, int> get_region_sized_op{.check = "get_region", .failure = -1};

constexpr Operation<&wire::get_rf_state_1, int16_t> get_rf_state_op{.check = "get_rf_state", .failure = -1};

}  // namespace

extern "C" {

// The interface gives no size for the buffer: the caller's buffer must hold
// the reader's longest region name.  The name is copied as it came.
void get_region(reader_handle handle, char* buffer)
{
    qd::guarded_void("get_region", [&] {
        Frame frame(get_region_op, handle);
        if (!frame || !buffer)
            return;
        frame.run([buffer](const char* region) {
            const char* name = region ? region : "";
            std::memcpy(buffer, name, std::strlen(name) + 1);
            return 0;
        });
    });
}

int get_region_sized(reader_handle handle, char* buffer, size_t size)
{
    return qd::guarded<int>("get_region_sized", -1, [&]() -> int {
        Frame frame(get_region_sized_op, handle);
        if (!frame)
            return frame.failure();
        if (!buffer && size > 0)
            return frame.refuse(READER_ERROR_INVALID_ARGUMENTS);
        return frame.run([buffer, size](const char* region) {
            const std::string_view name = region ? region : "";
            if (size > 0) {
                const std::size_t n = std::min(name.size(), size - 1);
                std::memcpy(buffer, name.data(), n);
                buffer[n] = '\0';
            }
            return static_cast<int>(name.size());   // at most QDAPI_REGION_MAX
        });
    });
}

int16_t get_rfState(reader_handle handle, uint32_t* state)
{
    return qd::guarded<int16_t>("get_rfState", -1, [&]() -> int16_t {
        Frame frame(get_rf_state_op, handle);
        if (!frame || !state)
            return frame.failure();
        return frame.run([state](u_int word) -> int16_t {
            *state = word;
            return 1;
        });
    });
}

}  // extern "C"
