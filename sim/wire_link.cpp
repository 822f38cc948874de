#include "wire_link.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace qdsim::detail {

void WireEnd::send(const char* data, std::size_t size, const std::vector<uint8_t>& to)
{
    if (!open_)
        return;
    if (udp_) {
        (void)sendto(fd_, data, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(to.data()),
                     static_cast<socklen_t>(to.size()));
        return;
    }
    if (backlogged()) {
        unsent_.insert(unsent_.end(), data, data + size);
        return;
    }
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd_, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return;   // the connection failed: libtirpc finds out when it reads
        break;
    }
    if (sent == size)
        return;
    unsent_.assign(data + sent, data + size);
    unsent_from_ = 0;
    flush();
}

void WireEnd::flush()
{
    while (open_ && backlogged()) {
        const ssize_t n =
            ::send(fd_, unsent_.data() + unsent_from_, unsent_.size() - unsent_from_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            unsent_from_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            unsent_.clear();   // the connection failed
            unsent_from_ = 0;
            break;
        }
        loop_->when_writable(fd_, [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->flush();
        });
        update_hold();
        return;
    }
    unsent_.clear();
    unsent_from_ = 0;
    update_hold();
}

void WireEnd::hold_for_link(bool on)
{
    held_for_link_ = on;
    update_hold();
}

void WireEnd::update_hold()
{
    if (open_ && !udp_)
        loop_->hold(fd_, held_for_link_ || backlogged());
}

void WireEnd::closed()
{
    if (!open_)
        return;
    open_ = false;
    unsent_.clear();
    unsent_from_ = 0;
    loop_->forget_fd(fd_);
}

bool Link::carry(const std::shared_ptr<WireEnd>& end, std::size_t bytes, ServerLoop& loop, in_addr_t reader,
                 std::function<void()> send)
{
    if (full()) {
        if (end->udp()) {
            ++lost_;
            return false;
        }
        end->hold_for_link(true);
        held_.push_back(end);
    }
    ++replies_;
    bytes_ += bytes;
    const auto due = std::max(ServerLoop::TimePoint::clock::now() + delay(), last_due_);
    last_due_ = due;
    loop.schedule(due, reader, [this, bytes, send = std::move(send)] {
        arrived(bytes);
        send();
    });
    return true;
}

void Link::arrived(std::size_t bytes)
{
    replies_ -= std::min(replies_, std::size_t{1});
    bytes_ -= std::min(bytes_, bytes);
    if (held_.empty() || !drained())
        return;
    for (const auto& weak : held_)
        if (auto end = weak.lock())
            end->hold_for_link(false);
    held_.clear();
}

void Link::reset()
{
    replies_ = 0;
    bytes_ = 0;
    last_due_ = {};
    held_.clear();
}

}  // namespace qdsim::detail
