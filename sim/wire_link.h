// The network between a virtual reader and its clients (Options::link_delay).
//
// A reply crosses the link in the link delay: the reader goes on reading and
// answering meanwhile, so a client with W calls in flight has its W replies
// back after about one delay, in the order the reader produced them.  That is
// what a distant reader looks like, unlike Options::latency, a reader that
// takes its time over every call.
//
// WireEnd is the sending side of one transport (a reader's UDP socket, or one
// TCP connection): bytes a connection does not take at once wait there for
// it to become writable, so a record is never cut short and the server
// thread never blocks on a client that does not read.  Everything here runs
// on the server thread, but for Link's delay.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "server_loop.h"

namespace qdsim::detail {

class WireEnd : public std::enable_shared_from_this<WireEnd> {
public:
    WireEnd(int fd, bool udp, ServerLoop& loop) : fd_(fd), udp_(udp), loop_(&loop) {}
    WireEnd(const WireEnd&) = delete;
    WireEnd& operator=(const WireEnd&) = delete;

    int fd() const { return fd_; }
    bool udp() const { return udp_; }

    // UDP: one datagram to `to` (a sockaddr), lost when the socket's buffer
    // is full, as datagrams are.  TCP: the bytes after those sent before;
    // what the connection does not take now goes out once it is writable,
    // and nothing more is read from the connection meanwhile.
    void send(const char* data, std::size_t size, const std::vector<uint8_t>& to);
    // Bytes still waiting for the connection.
    bool backlogged() const { return unsent_.size() > unsent_from_; }

    // The link is full and this connection added to it: it is not read
    // from until the link has drained.
    void hold_for_link(bool on);

    // The transport goes: what waits is dropped, the loop forgets the
    // descriptor.
    void closed();

private:
    void flush();
    void update_hold();

    int fd_;
    bool udp_;
    ServerLoop* loop_;
    bool open_ = true;
    bool held_for_link_ = false;
    std::vector<char> unsent_;
    std::size_t unsent_from_ = 0;
};

// One reader's link.
class Link {
public:
    // What the link holds at most.  Past that a UDP reply is lost, as on a
    // congested network (a retransmission gets it again from the reply
    // cache); a TCP reply cannot be lost from its stream, so it is carried
    // and its connection is not read from until the link has drained to
    // half of both bounds.
    static constexpr std::size_t max_replies = 1024;
    static constexpr std::size_t max_bytes = std::size_t{4} << 20;

    // Any thread.
    void set_delay(std::chrono::microseconds delay) { delay_us_ = delay.count(); }
    std::chrono::microseconds delay() const { return std::chrono::microseconds(delay_us_.load()); }

    // Server thread only.  Runs `send` (which sends `bytes` bytes from `end`)
    // once the reply has crossed: the delay from now, and never before a
    // reply the link already carries.  False when a UDP reply is lost.
    bool carry(const std::shared_ptr<WireEnd>& end, std::size_t bytes, ServerLoop& loop, in_addr_t reader,
               std::function<void()> send);
    // Nothing on the link: a reply may leave at once.
    bool idle() const { return replies_ == 0; }
    // Replies lost on a full link so far.
    std::size_t lost() const { return lost_; }
    // The reader starts serving anew: its replies on the way were dropped.
    void reset();

private:
    bool full() const { return replies_ >= max_replies || bytes_ >= max_bytes; }
    bool drained() const { return replies_ <= max_replies / 2 && bytes_ <= max_bytes / 2; }
    void arrived(std::size_t bytes);

    std::atomic<std::chrono::microseconds::rep> delay_us_{0};
    std::size_t replies_ = 0;
    std::size_t bytes_ = 0;
    std::size_t lost_ = 0;
    ServerLoop::TimePoint last_due_{};
    std::vector<std::weak_ptr<WireEnd>> held_;
};

}  // namespace qdsim::detail
