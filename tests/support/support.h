// Helpers shared by the test programs: switches that restore themselves,
// virtual readers on loopback, and views of a reader's call log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "qdapi.h"
#include "virtual_reader.h"

// Names for test parameters (GoogleTest finds these by the argument's namespace).
namespace qdsim {
inline void PrintTo(Transport t, std::ostream* os) { *os << (t == Transport::tcp ? "tcp" : "udp"); }
inline void PrintTo(FaultKind k, std::ostream* os)
{
    switch (k) {
    case FaultKind::error_reply: *os << "error_reply"; return;
    case FaultKind::garbage_reply: *os << "garbage_reply"; return;
    case FaultKind::drop: *os << "drop"; return;
    default: *os << "fault " << static_cast<int>(k); return;
    }
}
}  // namespace qdsim

namespace qdtest {

// Procedure numbers of the calls the library makes on every new connection.
constexpr uint32_t proc_get_hwid = 62;
constexpr uint32_t proc_get_connected_antennas = 73;
constexpr uint32_t proc_get_supported_protocols = 70;
constexpr uint32_t proc_tags_available = 90;

inline const std::vector<uint32_t> initial_queries = {
    proc_get_hwid, proc_get_hwid, proc_get_connected_antennas, proc_get_supported_protocols};

// Sets one of the library's process-wide switches for a scope.
class Switch {
public:
    Switch(int& flag, int value) : flag_(flag), saved_(flag) { flag_ = value; }
    ~Switch() { flag_ = saved_; }
    Switch(const Switch&) = delete;
    Switch& operator=(const Switch&) = delete;

private:
    int& flag_;
    int saved_;
};

struct TraceOn : Switch {
    TraceOn() : Switch(trace_enabled, 1) {}
};
struct TcpOn : Switch {
    TcpOn() : Switch(use_tcp, 1) {}
};

// True when this process sees no network interface but loopback (a private
// network namespace): only then may a test look up names that do not exist.
inline bool only_loopback()
{
    std::ifstream devices("/proc/self/net/dev");
    std::string line;
    int interfaces = 0;
    while (std::getline(devices, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;   // the two header lines
        const auto name_at = line.find_first_not_of(' ');
        if (line.substr(name_at, colon - name_at) != "lo")
            return false;
        ++interfaces;
    }
    return interfaces == 1;
}

// A started virtual reader at `address`.
inline std::unique_ptr<qdsim::VirtualReader> start_reader(const std::string& address)
{
    qdsim::Options options;
    options.address = address;
    auto reader = std::make_unique<qdsim::VirtualReader>(options);
    reader->start();
    return reader;
}

// The procedure numbers of the reader's call log, in arrival order.
// The privileged family's access code, and the level set with it: only
// every fifth correct call sets the level, so five calls set it once.
constexpr uint32_t priv_access_code = 0x3c5a17e9;
inline void set_priv_level(int level)
{
    for (int i = 0; i < 5; ++i)
        PRIV_setPrivLevel(level, priv_access_code);
}

// A test on the transport of its parameter against a virtual reader at
// `host`, which each test finds open (handle_) with an empty call log.
class OpenReader : public testing::TestWithParam<qdsim::Transport> {
protected:
    explicit OpenReader(const char* host) : host_(host) {}
    // What the reader needs before the library opens it.
    virtual void prepare(qdsim::VirtualReader&) {}
    void SetUp() override
    {
        tcp_.emplace(use_tcp, GetParam() == qdsim::Transport::tcp ? 1 : 0);
        reader_ = start_reader(host_);
        prepare(*reader_);
        handle_ = open_reader(host_);
        ASSERT_NE(handle_, nullptr);
        reader_->clear_calls();
    }
    void TearDown() override
    {
        close_reader(handle_);
        reader_.reset();
        tcp_.reset();
    }

    const char* host_;
    std::optional<Switch> tcp_;
    std::unique_ptr<qdsim::VirtualReader> reader_;
    reader_handle handle_ = nullptr;
};

inline std::vector<uint32_t> procs(const qdsim::VirtualReader& reader)
{
    std::vector<uint32_t> out;
    for (const auto& call : reader.calls())
        out.push_back(call.proc);
    return out;
}

inline std::vector<uint32_t> concat(std::vector<uint32_t> a, const std::vector<uint32_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline qdsim::Fault error_reply(int count = -1)
{
    qdsim::Fault fault;
    fault.kind = qdsim::FaultKind::error_reply;
    fault.count = count;
    return fault;
}

// Makes the library drop the connection of `h`: the reader answers one
// tags_available with an RPC error (a call that is harmless to repeat).  The
// log is cleared afterwards.
inline void drop_connection(qdsim::VirtualReader& reader, reader_handle h)
{
    reader.inject(proc_tags_available, error_reply(1));
    EXPECT_EQ(tags_available(h, 0), -1) << "the connection was not dropped";
    reader.clear_calls();
}

// Everything written to standard error while `body` runs.
template <class Body>
std::string stderr_of(Body&& body)
{
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

// `needles` occur in `text` in this order.
inline void expect_in_order(const std::string& text, const std::vector<std::string>& needles)
{
    std::size_t from = 0;
    for (const auto& n : needles) {
        const auto at = text.find(n, from);
        ASSERT_NE(at, std::string::npos) << "'" << n << "' missing (in order) from:\n" << text;
        from = at + n.size();
    }
}

// Closes every handle it holds when it goes.
class Handles {
public:
    Handles() = default;
    ~Handles() { close_all(); }
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;

    void add(reader_handle h) { handles_.push_back(h); }
    std::size_t size() const { return handles_.size(); }
    reader_handle operator[](std::size_t i) const { return handles_[i]; }
    void close(std::size_t i)
    {
        close_reader(handles_[i]);
        handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    void close_all()
    {
        for (reader_handle h : handles_)
            close_reader(h);
        handles_.clear();
    }

private:
    std::vector<reader_handle> handles_;
};

}  // namespace qdtest
