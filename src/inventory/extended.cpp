// The reader's extended search: configure, start, stop, verify.  Each
// answers the reader's status; the failure values tell a handle that did not
// resolve from a call that failed.
#include "guard.h"
#include "frame.h"
#include "search_config.h"

using namespace qd;

namespace {

constexpr auto traced_status = [](int status) {
    trace("status = %d\n", status);
    return status;
};

constexpr Operation<&wire::zr_search_configure_1, int> zr_search_configure_op{
    .check = "zr_search_configure", .trace = "Calling zr_search_configure\n", .failure = -2,
    .unresolved = -3, .on_success = OnSuccess::clear};

template <auto Entry>
constexpr Operation<Entry, int> control_op(const char* name)
{
    return {.check = name, .failure = -1, .unresolved = -4, .on_success = OnSuccess::clear};
}

constexpr auto zr_search_start_op = control_op<&wire::zr_search_start_1>("zr_search_start");
constexpr auto zr_search_stop_op = control_op<&wire::zr_search_stop_1>("zr_search_stop");
constexpr auto zr_search_verify_op = control_op<&wire::zr_search_verify_1>("zr_search_verify");

}  // namespace

extern "C" {

int zr_search_configure(reader_handle handle, search_config* config)
{
    return qd::guarded<int>("zr_search_configure", -1, [&]() -> int {
        Frame frame(zr_search_configure_op, handle);
        if (!frame || !config)
            return frame.failure();
        if (!config_is_sendable(*config))
            return frame.refuse(READER_ERROR_INVALID_ARGUMENTS);
        apply_kind_copy(*config);
        return frame.run(as_wire<wire::search_config>(*config), traced_status);
    });
}

int zr_search_start(reader_handle handle)
{
    return qd::guarded<int>("zr_search_start", -1, [&]() -> int {
        return perform(zr_search_start_op, handle, traced_status);
    });
}

int zr_search_stop(reader_handle handle)
{
    return qd::guarded<int>("zr_search_stop", -1, [&]() -> int {
        return perform(zr_search_stop_op, handle, traced_status);
    });
}

int zr_search_verify(reader_handle handle)
{
    return qd::guarded<int>("zr_search_verify", -1, [&]() -> int {
        return perform(zr_search_verify_op, handle, traced_status);
    });
}

}  // extern "C"
