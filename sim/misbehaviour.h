// The way a virtual reader's replies leave: the duplicate-request cache of
// its UDP transport, and the misbehaviours of a broken or hostile reader
// (FaultKind::wrong_xid ... pause), made on the bytes of the reply.
//
// libtirpc hands the server neither the transaction id of a call nor the
// bytes of its reply, so the reader's program transports are watched: their
// operations are wrapped (receive: the id and the caller of each call, and
// the cache; reply: the encoding, the cache and the misbehaviour; destroy:
// the end of the transport), and the reader accepts its TCP connections
// itself to watch each one from its first call on.  Everything here runs on
// the server thread.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <type_traits>
#include <vector>

#include "server_loop.h"
#include "virtual_reader.h"
#include "wire_link.h"

namespace qdsim::detail {

// What one reader keeps about its replies.
class ReplyPath {
public:
    explicit ReplyPath(bool cache) : cache_on_(cache) {}

    // Any thread.
    void set_cache(bool on);
    std::size_t requests(uint32_t proc) const;

    // Server thread only (misbehaviour.cpp).
    struct Key {
        std::vector<uint8_t> caller;
        uint32_t xid = 0;
        uint32_t proc = 0;
        auto operator<=>(const Key&) const = default;
    };
    struct Entry {
        bool done = false;
        std::vector<char> reply;
    };
    bool cache_on() const;
    void count_request(uint32_t proc);
    void forget_all();
    std::map<Key, Entry> cache;            // the latest requests
    std::vector<Key> cache_order;          // oldest first
    ServerLoop::TimePoint paused_until{};
    // The network the replies cross (wire_link.h).
    Link link;

private:
    mutable std::mutex mu_;
    bool cache_on_;
    std::map<uint32_t, std::size_t> requests_;
};

// Watches a program transport of the reader at `reader` (a UDP transport, or
// a listening TCP one whose connections are then watched too).
void watch_transport(SVCXPRT* xprt, ReplyPath& path, ServerLoop& loop, in_addr_t reader);

// The call being served on `xprt` gets `fault` (a misbehaviour) for its
// reply.  `length_at`: where the first length of the result lies in its
// encoding (bytes from the result's start), -1 when it has none.
void arm_misbehaviour(SVCXPRT* xprt, const Fault& fault, int length_at);

// The call being served on `xprt` is never answered: a retransmission of it
// is a new request to the reply cache.
void forget_request(SVCXPRT* xprt);

// Wraps what sends the reply to the call being served on `xprt`, to run
// later: by then the transport may have read further calls (whose
// transaction id, caller and fault would otherwise go with this reply), or
// be gone (then nothing is sent).  A transport that is not watched gets
// `send` back as it is.
std::function<void()> keep_call(SVCXPRT* xprt, std::function<void()> send);

// True for the kinds that this file carries out.
bool is_misbehaviour(FaultKind kind);

// Where the first length (of a string or variable array) lies in the
// encoding of a result of type R; -1 when it has none.
template <class R>
constexpr int first_length_at()
{
    if constexpr (std::is_same_v<R, char*> || std::is_same_v<R, wire::name_value_list> ||
                  std::is_same_v<R, wire::host_info>)
        return 0;
    else if constexpr (std::is_same_v<R, wire::hwid_result> || std::is_same_v<R, wire::fw_complete_result> ||
                       std::is_same_v<R, wire::word_list>)
        return 4;
    else if constexpr (std::is_same_v<R, wire::mer_result>)
        return 24;
    else
        return -1;
}

}  // namespace qdsim::detail
