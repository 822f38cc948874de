// A reader that answers one call with whatever bytes it is given: the
// stand-in behind the reply-path fuzz target.  It serves the port mapper's
// GETPORT and the reader program on UDP and TCP at one loopback address,
// answers the queries of a new connection properly, and the armed procedure
// once with the given bytes; every other call gets a system-error reply.
//
// After a fuzzed reply it ends the exchange quickly, so that no input costs
// the library's whole time-out: over UDP a system-error reply with the
// call's transaction id follows the bytes (a late stray if the bytes were
// an answer), over TCP the connection is closed.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qdfuzz {

enum class ReplyMode : uint8_t {
    body,     // the bytes are the result: a successful reply header goes before
    message,  // the bytes are the reply message after its transaction id
    stream,   // TCP: the bytes go out as they are (record marks and all), the
              // call's transaction id written over bytes 4..7; UDP: as message
};

class FakeReader {
public:
    // Binds port 111 and two program ports of `address` (a private network
    // namespace: port 111 needs one).  Throws std::runtime_error.
    explicit FakeReader(const std::string& address);
    ~FakeReader();
    FakeReader(const FakeReader&) = delete;
    FakeReader& operator=(const FakeReader&) = delete;

    // The next call of `proc` is answered with `bytes`.
    void arm(uint32_t proc, ReplyMode mode, std::vector<char> bytes);

private:
    void serve();
    void answer(int fd, const sockaddr_in* to, const std::vector<char>& call, bool tcp);

    int pmap_ = -1, udp_ = -1, listener_ = -1, stop_[2] = {-1, -1};
    uint16_t udp_port_ = 0, tcp_port_ = 0;
    std::mutex mu_;
    bool armed_ = false;
    uint32_t proc_ = 0;
    ReplyMode mode_ = ReplyMode::body;
    std::vector<char> bytes_;
    std::thread thread_;
};

}  // namespace qdfuzz
