// The reader's extended search: configure, start, stop, verify.
#include "call.h"
#include "export.h"
#include "search_config.h"
#include "trace.h"

using namespace qd;

namespace {

std::mutex zr_search_configure_lock;
std::mutex zr_search_start_lock;
std::mutex zr_search_stop_lock;
std::mutex zr_search_verify_lock;

// Failure values of the extended search operations.
constexpr int configure_unresolved = -3;
constexpr int configure_failed = -2;
constexpr int control_unresolved = -4;
constexpr int control_failed = -1;

template <auto Entry>
int control(reader_handle handle, std::mutex& lock, const char* name)
{
    const auto session = resolve(handle);
    if (!session)
        return control_unresolved;
    int status;
    {
        std::lock_guard<std::mutex> held(lock);
        Reply<Entry> reply;
        if (!remote(session, name, reply))
            return control_failed;
        status = reply.value;
    }
    set_errno(READER_SUCCESSFUL);
    trace("status = %d\n", status);
    return status;
}

}  // namespace

extern "C" {

QD_EXPORT int zr_search_configure(reader_handle handle, search_config* config)
{
    const auto session = resolve(handle);
    if (!session || !config)
        return configure_unresolved;
    if (!config_is_sendable(*config)) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return configure_failed;
    }
    apply_kind_copy(*config);
    trace("Calling zr_search_configure\n");
    int status;
    {
        std::lock_guard<std::mutex> lock(zr_search_configure_lock);
        Reply<&wire::zr_search_configure_1> reply;
        if (!remote(session, "zr_search_configure", reply, as_wire<wire::search_config>(config)))
            return configure_failed;
        status = reply.value;
    }
    set_errno(READER_SUCCESSFUL);
    trace("status = %d\n", status);
    return status;
}

QD_EXPORT int zr_search_start(reader_handle handle)
{
    return control<&wire::zr_search_start_1>(handle, zr_search_start_lock, "zr_search_start");
}

QD_EXPORT int zr_search_stop(reader_handle handle)
{
    return control<&wire::zr_search_stop_1>(handle, zr_search_stop_lock, "zr_search_stop");
}

QD_EXPORT int zr_search_verify(reader_handle handle)
{
    return control<&wire::zr_search_verify_1>(handle, zr_search_verify_lock, "zr_search_verify");
}

}  // extern "C"
