#include "fake_reader.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace qdfuzz {

namespace {

constexpr uint32_t proc_get_hwid = 62;
constexpr uint32_t proc_get_supported_protocols = 70;
constexpr uint32_t proc_get_connected_antennas = 73;
constexpr uint32_t accept_success = 0;
constexpr uint32_t accept_system_error = 5;

void put(std::vector<char>& out, uint32_t value)
{
    const uint32_t n = htonl(value);
    const auto* p = reinterpret_cast<const char*>(&n);
    out.insert(out.end(), p, p + 4);
}

uint32_t word_at(const std::vector<char>& bytes, std::size_t at)
{
    uint32_t n = 0;
    if (at + 4 <= bytes.size())
        std::memcpy(&n, bytes.data() + at, 4);
    return ntohl(n);
}

// An accepted reply's header: transaction id, REPLY, MSG_ACCEPTED, a null
// verifier, the acceptance status.
std::vector<char> header(uint32_t xid, uint32_t status)
{
    std::vector<char> out;
    for (uint32_t w : {xid, 1u, 0u, 0u, 0u, status})
        put(out, w);
    return out;
}

// The answers a new connection needs.
std::vector<char> canned_body(uint32_t proc)
{
    std::vector<char> out;
    switch (proc) {
    case proc_get_hwid:
        put(out, 0x00010001u);
        put(out, 4);
        out.insert(out.end(), {'f', 'u', 'z', 'z'});
        break;
    case proc_get_connected_antennas:
        put(out, 2);
        for (int i = 0; i < 16; ++i) {
            put(out, 1);
            put(out, 0);
            put(out, 0);
        }
        break;
    case proc_get_supported_protocols:
        put(out, 1);
        for (int i = 1; i < 16; ++i)
            put(out, 0);
        break;
    default:
        break;
    }
    return out;
}

int bound(in_addr_t address, uint16_t port, int type, uint16_t& chosen)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    sin.sin_port = htons(port);
    socklen_t length = sizeof sin;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        (type == SOCK_STREAM && listen(fd, 16) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &length) != 0) {
        close(fd);
        throw std::runtime_error("cannot bind the fake reader (a private network namespace, as root?)");
    }
    chosen = ntohs(sin.sin_port);
    return fd;
}

bool read_all(int fd, char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = read(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// One record of the library's calls (it sends each in one fragment, but
// reads them all).
bool read_record(int fd, std::vector<char>& out)
{
    out.clear();
    for (;;) {
        uint32_t mark = 0;
        if (!read_all(fd, reinterpret_cast<char*>(&mark), 4))
            return false;
        mark = ntohl(mark);
        const std::size_t length = mark & 0x7FFFFFFFu;
        if (length > (1u << 20))
            return false;
        const std::size_t at = out.size();
        out.resize(at + length);
        if (!read_all(fd, out.data() + at, length))
            return false;
        if (mark & 0x80000000u)
            return true;
    }
}

void send_datagram(int fd, const sockaddr_in* to, const std::vector<char>& bytes)
{
    (void)sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(to), sizeof *to);
}

void send_record(int fd, const std::vector<char>& bytes)
{
    std::vector<char> record;
    put(record, 0x80000000u | static_cast<uint32_t>(bytes.size()));
    record.insert(record.end(), bytes.begin(), bytes.end());
    (void)send(fd, record.data(), record.size(), MSG_NOSIGNAL);
}

}  // namespace

FakeReader::FakeReader(const std::string& address)
{
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1)
        throw std::runtime_error("not an address: " + address);
    uint16_t ignored = 0;
    pmap_ = bound(a.s_addr, 111, SOCK_DGRAM, ignored);
    udp_ = bound(a.s_addr, 0, SOCK_DGRAM, udp_port_);
    listener_ = bound(a.s_addr, 0, SOCK_STREAM, tcp_port_);
    if (pipe(stop_) != 0)
        throw std::runtime_error("pipe");
    thread_ = std::thread([this] { serve(); });
}

FakeReader::~FakeReader()
{
    [[maybe_unused]] ssize_t n = write(stop_[1], "x", 1);
    thread_.join();
    for (int fd : {pmap_, udp_, listener_, stop_[0], stop_[1]})
        close(fd);
}

void FakeReader::arm(uint32_t proc, ReplyMode mode, std::vector<char> bytes)
{
    std::lock_guard lock(mu_);
    armed_ = true;
    proc_ = proc;
    mode_ = mode;
    bytes_ = std::move(bytes);
}

void FakeReader::answer(int fd, const sockaddr_in* to, const std::vector<char>& call, bool tcp)
{
    const uint32_t xid = word_at(call, 0);
    const uint32_t proc = word_at(call, 20);
    std::vector<char> fuzzed;
    ReplyMode mode = ReplyMode::body;
    bool fuzz = false;
    {
        std::lock_guard lock(mu_);
        if (armed_ && proc == proc_) {
            armed_ = false;
            fuzz = true;
            mode = mode_;
            fuzzed = bytes_;
        }
    }
    if (!fuzz) {
        std::vector<char> reply;
        if (proc == proc_get_hwid || proc == proc_get_connected_antennas || proc == proc_get_supported_protocols) {
            reply = header(xid, accept_success);
            const auto body = canned_body(proc);
            reply.insert(reply.end(), body.begin(), body.end());
        } else {
            reply = header(xid, accept_system_error);
        }
        if (tcp)
            send_record(fd, reply);
        else
            send_datagram(fd, to, reply);
        return;
    }
    std::vector<char> reply;
    if (mode == ReplyMode::body) {
        reply = header(xid, accept_success);
        reply.insert(reply.end(), fuzzed.begin(), fuzzed.end());
    } else if (mode == ReplyMode::message || !tcp) {
        put(reply, xid);
        reply.insert(reply.end(), fuzzed.begin(), fuzzed.end());
    } else {
        reply = fuzzed;
        const uint32_t n = htonl(xid);
        if (reply.size() >= 8)
            std::memcpy(reply.data() + 4, &n, 4);
    }
    if (tcp) {
        if (mode == ReplyMode::stream)
            (void)send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        else
            send_record(fd, reply);
    } else {
        send_datagram(fd, to, reply);
        send_datagram(fd, to, header(xid, accept_system_error));
    }
}

void FakeReader::serve()
{
    std::vector<int> connections;
    std::vector<char> buffer(65536);
    for (;;) {
        std::vector<pollfd> fds = {{stop_[0], POLLIN, 0}, {pmap_, POLLIN, 0}, {udp_, POLLIN, 0}, {listener_, POLLIN, 0}};
        for (int c : connections)
            fds.push_back({c, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents)
            break;
        for (int i : {1, 2}) {
            if (!fds[i].revents)
                continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fds[i].fd, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 24)
                continue;
            const std::vector<char> call(buffer.begin(), buffer.begin() + n);
            if (i == 1) {
                // GETPORT: the protocol is the third word of the argument.
                auto reply = header(word_at(call, 0), accept_success);
                put(reply, word_at(call, 48) == IPPROTO_TCP ? tcp_port_ : udp_port_);
                send_datagram(pmap_, &from, reply);
            } else {
                answer(udp_, &from, call, false);
            }
        }
        std::vector<int> open;
        if (fds[3].revents) {
            const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                open.push_back(c);
        }
        for (std::size_t i = 4; i < fds.size(); ++i) {
            bool keep = true;
            if (fds[i].revents) {
                std::vector<char> call;
                bool armed_before = false;
                {
                    std::lock_guard lock(mu_);
                    armed_before = armed_;
                }
                keep = read_record(fds[i].fd, call) && call.size() >= 24;
                if (keep) {
                    answer(fds[i].fd, nullptr, call, true);
                    std::lock_guard lock(mu_);
                    keep = !(armed_before && !armed_);   // a fuzzed reply ends the connection
                }
            }
            if (keep)
                open.push_back(fds[i].fd);
            else
                close(fds[i].fd);
        }
        connections = std::move(open);
    }
    for (int c : connections)
        close(c);
}

}  // namespace qdfuzz
