#include "procedures.h"

#include <cstdlib>
#include <cstring>
#include <thread>
#include <type_traits>

#include "behaviour.h"
#include "transport.h"
#include "xdr_filter.h"

// The dispatcher rpcgen writes (its header does not declare it).
namespace wire {
extern "C" void reader_rpc_prog_1(struct svc_req* rq, SVCXPRT* xprt);
}

namespace qdsim::detail {

namespace {

// The reader and transport of the call being served (server thread).
struct Current {
    ReaderState* state = nullptr;
    Transport transport = Transport::udp;
};
thread_local Current t_current;

// Results start zeroed with every string empty (never null: a null string
// cannot be encoded).
template <class R>
void empty_strings(R*)
{
}
void empty_strings(char** s) { set_string(*s, ""); }
void empty_strings(wire::hwid_result* r) { set_string(r->text, ""); }
void empty_strings(wire::host_info* r)
{
    set_string(r->info1, "");
    set_string(r->info2, "");
    set_string(r->info3, "");
}
void empty_strings(wire::fw_complete_result* r)
{
    set_string(r->fw_text1, "");
    set_string(r->fw_text2, "");
    set_string(r->fw_text3, "");
}

template <class R>
void zero_result(R* r)
{
    if constexpr (!std::is_void_v<R>) {
        std::memset(static_cast<void*>(r), 0, sizeof *r);
        empty_strings(r);
    }
}

// Applies a fault to the call; false when the call has been answered (or
// deliberately not answered) by it.
//
// garbage_reply sends a successful reply with an empty body: every result of
// the protocol other than void needs at least one XDR unit, so the client
// cannot decode it.  Any body decodes as void, so for a procedure without a
// result the garbage is an error reply instead (the server could not decode
// the arguments).
bool apply_fault(const Fault& fault, SVCXPRT* xprt, bool void_result)
{
    switch (fault.kind) {
    case FaultKind::none:
        return true;
    case FaultKind::error_reply:
        svcerr_systemerr(xprt);
        return false;
    case FaultKind::garbage_reply:
        if (void_result)
            svcerr_decode(xprt);
        else
            svc_sendreply(xprt, xdr_filter(xdr_void), nullptr);
        return false;
    case FaultKind::drop:
        return false;
    case FaultKind::delay:
        // Sleeps on the server thread: every reader of the process waits too.
        std::this_thread::sleep_for(fault.delay);
        return true;
    }
    return true;
}

}  // namespace

// The server function of procedure P.  The generated dispatcher frees the
// result after every call, replied or not, so it is initialised first.
template <uint32_t P, class A, class R>
bool_t serve(A* argp, R* res, svc_req* rq, xdrproc_t arg_filter)
{
    zero_result(res);
    ReaderState* st = t_current.state;
    if (st == nullptr) {
        svcerr_systemerr(rq->rq_xprt);
        return FALSE;
    }
    LoggedCall call;
    call.proc = P;
    call.transport = t_current.transport;
    if constexpr (!std::is_void_v<A>)
        call.arg = encode_xdr(arg_filter, argp);
    st->log.record(std::move(call));

    if (!apply_fault(st->faults.take(P), rq->rq_xprt, std::is_void_v<R>))
        return FALSE;
    std::lock_guard lock(st->mu);
    answer(Proc<P>{}, st->model, static_cast<const A*>(argp), res);
    return TRUE;
}

bool known_procedure(uint32_t proc)
{
    switch (proc) {
#define QD_PROC(num, name, A, af, R, rf) case num:
#include "reader_procs.def"
#undef QD_PROC
        return true;
    default:
        return false;
    }
}

void serve_reader_program(ReaderState& state, svc_req* rq, SVCXPRT* xprt)
{
    const Transport transport = transport_of(xprt);
    if (!known_procedure(rq->rq_proc)) {
        // NULL and procedure numbers the protocol lacks are logged here;
        // NULL takes faults like any procedure.
        state.log.record(LoggedCall{static_cast<uint32_t>(rq->rq_proc), transport, {}});
        if (rq->rq_proc != NULLPROC) {
            svcerr_noproc(xprt);
            return;
        }
        if (apply_fault(state.faults.take(NULLPROC), xprt, true))
            svc_sendreply(xprt, xdr_filter(xdr_void), nullptr);
        return;
    }
    t_current = Current{&state, transport};
    wire::reader_rpc_prog_1(rq, xprt);
    t_current = Current{};
}

}  // namespace qdsim::detail

// The server functions the generated dispatcher calls, one per procedure.
namespace wire {

#define QD_PROC(num, name, A, af, R, rf)                                                        \
    extern "C" bool_t name##_1_svc(A* argp, R* result, struct svc_req* rq)                     \
    {                                                                                           \
        return ::qdsim::detail::serve<num>(argp, result, rq, ::qdsim::detail::xdr_filter(af)); \
    }
#include "reader_procs.def"
#undef QD_PROC

extern "C" int reader_rpc_prog_1_freeresult(SVCXPRT*, xdrproc_t filter, caddr_t result)
{
    xdr_free(filter, result);
    return 1;
}

}  // namespace wire
