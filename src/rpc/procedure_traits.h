// Compile-time facts about every procedure of the reader program, keyed by
// its generated client entry (e.g. wire::procedure<&wire::tagdb_pop_1>):
// number, argument and result types, and the result's XDR filter.  Built
// from the procedure list generated out of the protocol file.
#pragma once

#include <type_traits>

#include "wire.h"

namespace wire {

// Converts a generated filter to the RPC library's generic filter type.
template <class F>
inline xdrproc_t as_xdrproc(F filter)
{
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(filter));
}

template <auto Entry>
struct procedure;

#define QD_PROC(num, name, Arg, arg_filter, Res, res_filter)                 \
    template <>                                                              \
    struct procedure<&name##_1> {                                            \
        static constexpr u_long number = num;                                \
        static constexpr const char* entry_name = #name "_1";                \
        using arg_type = Arg;                                                \
        using result_type = Res;                                             \
        static xdrproc_t arg_xdr() { return as_xdrproc(&arg_filter); }       \
        static xdrproc_t result_xdr() { return as_xdrproc(&res_filter); }    \
    };
#include "reader_procs.def"
#undef QD_PROC

// Storage for a result: a procedure without a result still needs an address.
template <class R>
using result_storage = std::conditional_t<std::is_void_v<R>, char, R>;

}  // namespace wire
