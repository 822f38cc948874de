// The privileged frame, on the remote call frame: -1 for a handle that does
// not resolve, -2 while the gate is closed, then the operation's own limits,
// then the call.  A failed call gives -102 and nothing else: no message,
// reader_errno untouched, the connection kept.
//
//   constexpr auto rf_on = priv_op<&wire::rf_on_1>("rfOn");
//   int PRIV_rfOn(reader_handle h, int slot)
//   {
//       return priv_perform(rf_on, h, slot_value(slot), nothing);
//   }
//
// An operation that calls several procedures opens a PrivSession (the first
// two steps) and makes each call with PrivSession::call.
#pragma once

#include "frame.h"
#include "priv/gate.h"

namespace qd {

constexpr int priv_bad_handle = -1;
constexpr int priv_closed = -2;

// A privileged operation on one procedure; `gate` is its gate name.
template <auto Entry>
struct PrivOperation {
    const char* gate;
    Operation<Entry, int> op;
};

template <auto Entry>
constexpr PrivOperation<Entry> priv_op(const char* gate)
{
    return {gate, {.check = gate, .failure = READER_ERROR_REMOTE, .unresolved = priv_bad_handle,
                   .policy = Policy::privileged}};
}

// The first two steps of the frame.  A gate that refuses is told by
// `closed()`; the handle is resolved first, so a bad handle gives -1 even
// while the gate is closed.
template <auto Entry>
class PrivFrame : public Frame<Entry, int> {
public:
    PrivFrame(const PrivOperation<Entry>& op, reader_handle handle)
        : Frame<Entry, int>(op.op, handle), admitted_(priv_allowed(op.gate, priv_level()))
    {
    }

    // False when the handle did not resolve or the gate refused; result()
    // then says which.
    explicit operator bool() const { return Frame<Entry, int>::operator bool() && admitted_; }
    int result() const { return Frame<Entry, int>::operator bool() ? priv_closed : priv_bad_handle; }

    // An argument outside the operation's limits: the code alone, for the
    // family never writes reader_errno.
    static int out_of_limits(int code) { return code; }

private:
    bool admitted_;
};

template <auto Entry, class Copy>
int priv_perform(const PrivOperation<Entry>& op, reader_handle handle, Copy&& copy)
    requires(!takes_argument<Entry>)
{
    PrivFrame<Entry> frame(op, handle);
    return frame ? frame.run(copy) : frame.result();
}

template <auto Entry, class Arg, class Copy>
int priv_perform(const PrivOperation<Entry>& op, reader_handle handle, const Arg& argument, Copy&& copy)
    requires takes_argument<Entry> && std::same_as<Arg, argument_t<Entry>>
{
    PrivFrame<Entry> frame(op, handle);
    return frame ? frame.run(argument, copy) : frame.result();
}

// The first two steps of the frame for an operation that calls several
// procedures, and its calls.
class PrivSession {
public:
    PrivSession(const char* gate, reader_handle handle)
        : session_(resolve(handle)), admitted_(session_ && priv_allowed(gate, priv_level()))
    {
    }

    // False when the handle did not resolve or the gate refused; result()
    // then says which.
    explicit operator bool() const { return admitted_; }
    int result() const { return session_ ? priv_closed : priv_bad_handle; }

    // Calls `Entry` and hands its answer to `copy`; false, with nothing
    // written anywhere, when the call yields no result.
    template <auto Entry, class Copy>
    bool call(Copy&& copy)
        requires(!takes_argument<Entry>)
    {
        return call_with<Entry>(nullptr, copy);
    }

    template <auto Entry, class Arg, class Copy>
    bool call(const Arg& argument, Copy&& copy)
        requires takes_argument<Entry> && std::same_as<Arg, argument_t<Entry>>
    {
        // The client entries take a non-const pointer but only encode from it.
        return call_with<Entry>(const_cast<Arg*>(&argument), copy);
    }

    // True once the reader was closed under the operation: a call returned
    // false for that, not for the reader.
    bool closed() const { return session_.reader->is_closed(); }

    // Calls as call() does, and gives the RPC library's description of a
    // failure, after `prefix`, to `report` (for the operations that say why).
    template <auto Entry, class Arg, class Copy, class Report>
    bool call_reporting(const char* prefix, const Arg& argument, Copy&& copy, Report&& report)
        requires takes_argument<Entry> && std::same_as<Arg, argument_t<Entry>>
    {
        Description why{prefix, {}};
        if (call_with<Entry>(const_cast<Arg*>(&argument), copy, &why))
            return true;
        if (closed())
            return false;
        if (why.text.empty())   // no call was made: no connection could be
            why.text = std::string(prefix) + ": no connection to " + session_.reader->host();
        report(why.text);
        return false;
    }

private:
    template <auto Entry, class Copy>
    bool call_with(argument_t<Entry>* argument, Copy& copy, Description* why = nullptr)
    {
        Reply<Entry> reply;
        if (remote(session_, wire::procedure<Entry>::entry_name, reply, argument, Policy::privileged, why) !=
            Called::ok)
            return false;
        copy(reply.value);
        return true;
    }

    Session session_;
    bool admitted_;
};

// Copy-out of a call whose answer is not used.
inline constexpr auto ignore = [](const auto&) {};

}  // namespace qd
