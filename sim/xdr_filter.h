// Generated and library XDR filters as the untyped xdrproc_t that libtirpc
// takes (the detour through void(*)() is the conversion C++ allows between
// unrelated function pointer types).
#pragma once

#include "wire.h"

namespace qdsim::detail {

template <class F>
xdrproc_t xdr_filter(F* filter)
{
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(filter));
}

}  // namespace qdsim::detail
