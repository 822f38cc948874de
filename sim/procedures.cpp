#include "procedures.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "behaviour.h"
#include "misbehaviour.h"
#include "transport.h"
#include "xdr_filter.h"

// The dispatcher rpcgen writes (its header does not declare it).
namespace wire {
extern "C" void reader_rpc_prog_1(struct svc_req* rq, SVCXPRT* xprt);
}

namespace qdsim::detail {

namespace {

// The call being served (server thread).
struct Current {
    ReaderState* state = nullptr;
    ServerLoop* loop = nullptr;
    in_addr_t reader = 0;
    Transport transport = Transport::udp;
    ServerLoop::TimePoint arrived{};
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

// An argument or result of our own, for replies sent outside the generated
// dispatcher; its filter frees what it holds.
template <class T>
class Value {
public:
    explicit Value(xdrproc_t filter) : filter_(filter) {}
    ~Value()
    {
        if constexpr (!std::is_void_v<T>)
            xdr_free(filter_, reinterpret_cast<char*>(&value_));
    }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;

    T* get()
    {
        if constexpr (std::is_void_v<T>)
            return nullptr;
        else
            return &value_;
    }

private:
    std::conditional_t<std::is_void_v<T>, char, T> value_{};
    xdrproc_t filter_;
};

// Sends the reply a fault makes of the call; true when there is none and
// the call is to be answered (no fault, or a delay).
//
// garbage_reply sends a successful reply with an empty body: every result of
// the protocol other than void needs at least one XDR unit, so the client
// cannot decode it.  Any body decodes as void, so for a procedure without a
// result the garbage is an error reply instead (the server could not decode
// the arguments).  drop never gets here: it sends nothing.
bool answer_normally(FaultKind kind, SVCXPRT* xprt, bool void_result)
{
    switch (kind) {
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
    case FaultKind::none:
    case FaultKind::delay:
    default:   // the misbehaviours go wrong once the reply is made
        break;
    }
    return true;
}

// Computes the answer with the model as it is now, and sends it.
template <uint32_t P, class A, class R>
void send_answer(ReaderState& st, SVCXPRT* xprt, FaultKind fault, const A* argp, xdrproc_t res_filter)
{
    if (!answer_normally(fault, xprt, std::is_void_v<R>))
        return;
    Value<R> res(res_filter);
    zero_result(res.get());
    {
        std::lock_guard lock(st.mu);
        answer(Proc<P>{}, st.model, argp, res.get());
    }
    svc_sendreply(xprt, res_filter, reinterpret_cast<caddr_t>(res.get()));
}

std::string caller_text(SVCXPRT* xprt)
{
    const netbuf* caller = svc_getrpccaller(xprt);
    sockaddr_in sin{};
    if (caller == nullptr || caller->buf == nullptr || caller->len < sizeof sin)
        return "?";
    std::memcpy(&sin, caller->buf, sizeof sin);
    if (sin.sin_family != AF_INET)
        return "?";
    return address_text(sin.sin_addr.s_addr) + ":" + std::to_string(ntohs(sin.sin_port));
}

// Options::verbose: a line per call on standard error (format in
// daemon_usage()), written in one piece so that lines never mix.
void report_call(const ReaderState& st, uint32_t proc, SVCXPRT* xprt, const Fault& fault)
{
    if (!st.verbose)
        return;
    const Current& c = t_current;
    std::string line = "qdsim " + address_text(c.reader) + ": " + procedure_name(proc) +
                       (c.transport == Transport::tcp ? " tcp " : " udp ") + caller_text(xprt);
    if (fault.kind != FaultKind::none)
        line += std::string(" ") + fault_name(fault.kind);
    if (fault.kind == FaultKind::delay)
        line += " " + std::to_string(fault.delay.count()) + " ms";
    const auto latency = st.latency_ms.load();
    if (latency > 0 && fault.kind != FaultKind::drop)
        line += " latency " + std::to_string(latency) + " ms";
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// Sends `reply` when it is due: now, or later through the loop.
void reply_when_due(ServerLoop::TimePoint due, SVCXPRT* xprt, const std::function<void()>& reply)
{
    const Current& c = t_current;
    if (due > c.arrived && c.loop->defer_reply(xprt, c.reader, due, keep_call(xprt, reply)))
        return;
    reply();
}

}  // namespace

ServerLoop::TimePoint reply_due(const ReaderState& state, ServerLoop::TimePoint arrived, const Fault& fault)
{
    auto due = arrived + std::chrono::milliseconds(state.latency_ms.load());
    if (fault.kind == FaultKind::delay)
        due += fault.delay;
    return due;
}

// The server function of procedure P.  The generated dispatcher frees the
// result after every call, replied or not, so it is initialised first.  The
// reply is always sent from here (the function returns FALSE, so the
// dispatcher sends nothing): at once from the decoded argument, or later
// from the argument's XDR bytes, with the answer computed when it leaves,
// as a reader that took that long would.
template <uint32_t P, class A, class R>
bool_t serve(A* argp, R* res, svc_req* rq, xdrproc_t arg_filter, xdrproc_t res_filter)
{
    zero_result(res);
    ReaderState* st = t_current.state;
    if (st == nullptr) {
        svcerr_systemerr(rq->rq_xprt);
        return FALSE;
    }
    SVCXPRT* xprt = rq->rq_xprt;
    LoggedCall call;
    call.proc = P;
    call.transport = t_current.transport;
    if constexpr (!std::is_void_v<A>)
        call.arg = encode_xdr(arg_filter, argp);
    const Fault fault = st->faults.take(P);
    report_call(*st, P, xprt, fault);
    if (is_misbehaviour(fault.kind))
        arm_misbehaviour(xprt, fault, first_length_at<R>());
    const auto due = reply_due(*st, t_current.arrived, fault);
    if (fault.kind == FaultKind::drop) {
        forget_request(xprt);   // as if it never arrived: a retransmission is carried out
        st->log.record(std::move(call));
        return FALSE;
    }
    if (due > t_current.arrived) {
        auto later = [st, xprt, kind = fault.kind, arg = call.arg, arg_filter, res_filter] {
            Value<A> decoded(arg_filter);
            if constexpr (!std::is_void_v<A>) {
                if (!decode_xdr(arg_filter, arg, decoded.get())) {
                    svcerr_systemerr(xprt);
                    return;
                }
            }
            send_answer<P, A, R>(*st, xprt, kind, decoded.get(), res_filter);
        };
        if (t_current.loop->defer_reply(xprt, t_current.reader, due, keep_call(xprt, std::move(later)))) {
            st->log.record(std::move(call));
            return FALSE;
        }
    }
    st->log.record(std::move(call));
    send_answer<P, A, R>(*st, xprt, fault.kind, static_cast<const A*>(argp), res_filter);
    return FALSE;
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

std::string procedure_name(uint32_t proc)
{
    switch (proc) {
    case NULLPROC:
        return "null";
#define QD_PROC(num, name, A, af, R, rf) \
    case num:                            \
        return #name;
#include "reader_procs.def"
#undef QD_PROC
    default:
        return std::to_string(proc);
    }
}

bool procedure_number(const std::string& name, uint32_t& out)
{
    static const std::pair<const char*, uint32_t> names[] = {
        {"null", NULLPROC},
#define QD_PROC(num, name, A, af, R, rf) {#name, num},
#include "reader_procs.def"
#undef QD_PROC
    };
    for (const auto& [text, num] : names) {
        if (name == text) {
            out = num;
            return true;
        }
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(name.c_str(), &end, 10);
    if (name.empty() || name[0] < '0' || name[0] > '9' || *end != '\0' || errno != 0 || n > 0xFFFFFFFFul)
        return false;
    out = static_cast<uint32_t>(n);
    return true;
}


void serve_reader_program(ReaderState& state, ServerLoop& loop, in_addr_t reader, svc_req* rq, SVCXPRT* xprt)
{
    const Transport transport = transport_of(xprt);
    t_current = Current{&state, &loop, reader, transport, std::chrono::steady_clock::now()};
    const uint32_t proc = rq->rq_proc;
    if (known_procedure(proc)) {
        wire::reader_rpc_prog_1(rq, xprt);
    } else {
        // NULL and procedure numbers the protocol lacks are logged here;
        // NULL takes faults like any procedure.
        state.log.record(LoggedCall{proc, transport, {}});
        const Fault fault = proc == NULLPROC ? state.faults.take(NULLPROC) : Fault{};
        report_call(state, proc, xprt, fault);
        if (fault.kind == FaultKind::drop)
            forget_request(xprt);
        if (fault.kind != FaultKind::drop) {
            reply_when_due(reply_due(state, t_current.arrived, fault), xprt, [proc, kind = fault.kind, xprt] {
                if (proc != NULLPROC)
                    svcerr_noproc(xprt);
                else if (answer_normally(kind, xprt, true))
                    svc_sendreply(xprt, xdr_filter(xdr_void), nullptr);
            });
        }
    }
    t_current = Current{};
}

}  // namespace qdsim::detail

// The server functions the generated dispatcher calls, one per procedure.
namespace wire {

#define QD_PROC(num, name, A, af, R, rf)                                                           \
    extern "C" bool_t name##_1_svc(A* argp, R* result, struct svc_req* rq)                        \
    {                                                                                              \
        return ::qdsim::detail::serve<num>(argp, result, rq, ::qdsim::detail::xdr_filter(af),     \
                                           ::qdsim::detail::xdr_filter(rf));                      \
    }
#include "reader_procs.def"
#undef QD_PROC

extern "C" int reader_rpc_prog_1_freeresult(SVCXPRT*, xdrproc_t filter, caddr_t result)
{
    xdr_free(filter, result);
    return 1;
}

}  // namespace wire

const char* qdsim::fault_name(FaultKind kind)
{
    switch (kind) {
    case FaultKind::none: return "";
    case FaultKind::error_reply: return "error_reply";
    case FaultKind::garbage_reply: return "garbage_reply";
    case FaultKind::drop: return "drop";
    case FaultKind::delay: return "delay";
    case FaultKind::wrong_xid: return "wrong_xid";
    case FaultKind::wrong_xid_stream: return "wrong_xid_stream";
    case FaultKind::duplicate_reply: return "duplicate_reply";
    case FaultKind::trickle: return "trickle";
    case FaultKind::fragments: return "fragments";
    case FaultKind::endless_record: return "endless_record";
    case FaultKind::oversized_length: return "oversized_length";
    case FaultKind::reset: return "reset";
    case FaultKind::pause: return "pause";
    }
    return "";
}
