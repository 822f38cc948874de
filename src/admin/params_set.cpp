// Setting one parameter of the reader's store, with the privilege level of
// the moment.
#include "guard.h"
#include "frame.h"
#include "priv/gate.h"

using namespace qd;

namespace {

constexpr Operation<&wire::params_set_1, int> params_set_op{.check = "params_set", .failure = -1};

}  // namespace

extern "C" {

int reader_params_set_with_flag(reader_handle handle, const char* name, const char* value, uint16_t flag)
{
    return qd::guarded<int>("reader_params_set_with_flag", -1, [&]() -> int {
        Frame frame(params_set_op, handle);
        if (!frame)
            return frame.failure();
        // A missing text cannot be encoded: the RPC library would read through
        // the null pointer.
        if (!name || !value)
            return frame.refuse(READER_ERROR_INVALID_ARGUMENTS);
        wire::param_assign request{};
        request.name = const_cast<char*>(name);
        request.value = const_cast<char*>(value);
        request.level = priv_level();
        request.flag = flag;
        return frame.run(request, nothing);
    });
}

int reader_params_set(reader_handle handle, const char* name, const char* value)
{
    return qd::guarded<int>("reader_params_set", -1, [&]() -> int {
        return reader_params_set_with_flag(handle, name, value, 0);
    });
}

}  // extern "C"
