// VirtualReader: the lifetime of one reader's transports and its hooks.
#include "virtual_reader.h"

#include <arpa/inet.h>
#include <netconfig.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpcb_clnt.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "port_mapper.h"
#include "procedures.h"
#include "reader_model.h"
#include "server_loop.h"
#include "transport.h"

namespace qdsim {

using detail::ReaderState;
using detail::ServerLoop;

namespace {

in_addr_t parse_loopback(const std::string& text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        throw std::runtime_error("not an IPv4 address: '" + text + "'");
    if ((ntohl(a.s_addr) >> 24) != 127)
        throw std::runtime_error("a virtual reader serves on loopback addresses (127.0.0.0/8) only, not " + text);
    return a.s_addr;
}

// Registration with the system's rpcbind (Options::use_rpcbind).
bool rpcbind_set(in_addr_t address, uint16_t port, const char* netid)
{
    netconfig* nconf = getnetconfigent(netid);
    if (nconf == nullptr)
        return false;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    sin.sin_port = htons(port);
    netbuf nb{};
    nb.buf = &sin;
    nb.len = nb.maxlen = sizeof sin;
    bool ok = rpcb_set(READER_RPC_PROG, READER_RPC_VERS, nconf, &nb) != 0;
    freenetconfigent(nconf);
    return ok;
}

void rpcbind_unset()
{
    rpcb_unset(READER_RPC_PROG, READER_RPC_VERS, nullptr);
}

// The port that the system's port mapper has for the program, 0 if none.
uint16_t rpcbind_port(int protocol)
{
    sockaddr_in mapper{};
    mapper.sin_family = AF_INET;
    mapper.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return pmap_getport(&mapper, READER_RPC_PROG, READER_RPC_VERS, static_cast<u_int>(protocol));
}

// Whether any process listens on the TCP port, on any address.
bool tcp_port_listened_on(uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);   // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const auto colon = local.find(':');
        if (colon != std::string::npos && state == "0A" &&
            std::stoul(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

}  // namespace

struct VirtualReader::Impl final : detail::Endpoint {
    explicit Impl(Options o) : options(std::move(o)), loop(ServerLoop::acquire())
    {
        state.model.hardware = options.hardware;
        for (const auto& tag : options.tags)
            state.model.field.add(tag);
        state.model.search_duration = options.search_duration;
        state.log.set_limit(options.log_limit);
        state.latency_ms = options.latency.count();
        state.verbose = options.verbose;
    }

    void serve_program(svc_req* rq, SVCXPRT* xprt) override
    {
        detail::serve_reader_program(state, *loop, address, rq, xprt);
    }

    // The latency holds the port mapper's replies too: they cross the same
    // network.
    void serve_port_mapper(svc_req* rq, SVCXPRT* xprt) override
    {
        const auto arrived = std::chrono::steady_clock::now();
        auto reply = detail::port_mapper_reply(detail::ProgramPorts{udp_port.load(), tcp_port.load()}, rq, xprt);
        const auto due = detail::reply_due(state, arrived, Fault{});
        if (due > arrived && loop->defer_reply(xprt, address, due, reply))
            return;
        reply();
    }

    uint16_t program_port(int sock_type) const override
    {
        return sock_type == SOCK_STREAM ? tcp_port.load() : udp_port.load();
    }

    bool serves_port_mapper() const override { return !options.use_rpcbind; }

    // Server thread only.
    void open_transports()
    {
        if (loop->find(address) != nullptr)
            throw std::runtime_error("another virtual reader serves " + options.address);
        try {
            udp = detail::open_udp(address, wanted_udp_port);
            tcp = detail::open_tcp(address, wanted_tcp_port);
            if (!options.use_rpcbind) {
                pm_udp = detail::open_udp(address, PMAPPORT);
                pm_tcp = detail::open_tcp(address, PMAPPORT);
            }
            detail::register_dispatchers(udp);
        } catch (...) {
            close_transports();
            throw;
        }
        udp_port = detail::local_port(udp);
        tcp_port = detail::local_port(tcp);
        loop->attach(address, this);
    }

    // Server thread only.
    void close_transports()
    {
        if (loop->find(address) == this) {
            loop->cancel_replies(address);
            loop->detach(address);
        }
        detail::close_transport(udp);
        detail::close_transport(tcp);
        detail::close_transport(pm_udp);
        detail::close_transport(pm_tcp);
        detail::close_connections(address);
        udp_port = 0;
        tcp_port = 0;
    }

    Options options;
    in_addr_t address = 0;
    std::shared_ptr<ServerLoop> loop;
    ReaderState state;

    std::mutex lifecycle;            // serialises start() and stop()
    std::atomic<bool> running{false};
    std::atomic<uint16_t> udp_port{0}, tcp_port{0};
    bool in_rpcbind = false;
    // The program's ports to serve on; 0: any free port.
    uint16_t wanted_udp_port = 0, wanted_tcp_port = 0;

    // Server thread only.
    SVCXPRT* udp = nullptr;
    SVCXPRT* tcp = nullptr;
    SVCXPRT* pm_udp = nullptr;
    SVCXPRT* pm_tcp = nullptr;
};

VirtualReader::VirtualReader(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

VirtualReader::~VirtualReader()
{
    try {
        stop();
    } catch (...) {
        // nothing left to do about it
    }
}

void VirtualReader::start()
{
    std::lock_guard lock(impl_->lifecycle);
    if (impl_->running)
        return;
    impl_->address = parse_loopback(impl_->options.address);
    // The system's port mapper keeps one port per program and transport for
    // every address.  Readers side by side therefore share it: a reader
    // serves on the ports already registered while another reader serves on
    // them, and registers its own otherwise (replacing what a reader that
    // died left behind).
    bool share = false;
    if (impl_->options.use_rpcbind) {
        impl_->wanted_udp_port = rpcbind_port(IPPROTO_UDP);
        impl_->wanted_tcp_port = rpcbind_port(IPPROTO_TCP);
        share = impl_->wanted_udp_port != 0 && impl_->wanted_tcp_port != 0 &&
                tcp_port_listened_on(impl_->wanted_tcp_port);
        if (!share)
            impl_->wanted_udp_port = impl_->wanted_tcp_port = 0;
    }
    impl_->loop->call([this] { impl_->open_transports(); });
    if (impl_->options.use_rpcbind) {
        if (!share) {
            rpcbind_unset();
            if (!rpcbind_set(impl_->address, impl_->udp_port, "udp") ||
                !rpcbind_set(impl_->address, impl_->tcp_port, "tcp")) {
                rpcbind_unset();
                impl_->loop->call([this] { impl_->close_transports(); });
                throw std::runtime_error("cannot register with the system's rpcbind");
            }
        }
        impl_->in_rpcbind = true;
    }
    impl_->running = true;
}

void VirtualReader::stop()
{
    std::lock_guard lock(impl_->lifecycle);
    if (!impl_->running)
        return;
    const uint16_t tcp_port = impl_->tcp_port;
    impl_->loop->call([this] { impl_->close_transports(); });
    // The registration goes with the last reader that serves on its ports.
    if (impl_->in_rpcbind) {
        if (!tcp_port_listened_on(tcp_port))
            rpcbind_unset();
        impl_->in_rpcbind = false;
    }
    impl_->running = false;
}

bool VirtualReader::running() const { return impl_->running; }

const std::string& VirtualReader::address() const { return impl_->options.address; }

uint16_t VirtualReader::port(Transport t) const
{
    return t == Transport::tcp ? impl_->tcp_port.load() : impl_->udp_port.load();
}

void VirtualReader::set_hardware(const Hardware& hw)
{
    std::lock_guard lock(impl_->state.mu);
    impl_->state.model.hardware = hw;
}

std::vector<LoggedCall> VirtualReader::calls() const { return impl_->state.log.calls(); }

std::size_t VirtualReader::count(uint32_t proc) const { return impl_->state.log.count(proc); }

void VirtualReader::clear_calls() { impl_->state.log.clear(); }

void VirtualReader::inject(uint32_t proc, Fault fault) { impl_->state.faults.inject(proc, fault); }

void VirtualReader::clear_faults() { impl_->state.faults.clear(); }

void VirtualReader::set_latency(std::chrono::milliseconds latency) { impl_->state.latency_ms = latency.count(); }

namespace {

// Runs `fn` on the model with the reader's lock held.
template <class Fn>
auto with_model(ReaderState& state, Fn fn)
{
    std::lock_guard lock(state.mu);
    return fn(state.model);
}

}  // namespace

void VirtualReader::add_tag(const Tag& tag)
{
    with_model(impl_->state, [&](auto& m) { m.field.add(tag); });
}

void VirtualReader::add_random_tags(std::size_t n, uint64_t seed, uint16_t id_bits)
{
    with_model(impl_->state, [&](auto& m) { m.field.add_random(n, seed, id_bits); });
}

void VirtualReader::clear_tags()
{
    with_model(impl_->state, [](auto& m) { m.field.clear(); });
}

std::vector<Tag> VirtualReader::tags() const
{
    return with_model(impl_->state, [](auto& m) { return m.field.tags(); });
}

void VirtualReader::set_search_duration(std::chrono::milliseconds duration)
{
    with_model(impl_->state, [&](auto& m) { m.search_duration = duration; });
}

void VirtualReader::set_unknown_search_status(int16_t status)
{
    with_model(impl_->state, [&](auto& m) { m.unknown_search_status = status; });
}

void VirtualReader::force_operation_status(std::optional<int16_t> value)
{
    with_model(impl_->state, [&](auto& m) { m.forced_operation_status = value; });
}

void VirtualReader::force_tags_available(std::optional<uint16_t> value)
{
    with_model(impl_->state, [&](auto& m) { m.forced_tags_available = value; });
}

std::size_t VirtualReader::tagdb_size() const
{
    return with_model(impl_->state, [](auto& m) { return m.tagdb.size(); });
}

void VirtualReader::set_zr_status(uint32_t proc, int32_t status)
{
    with_model(impl_->state, [&](auto& m) { m.zr_status[proc] = status; });
}

void VirtualReader::force_tagop(const TagopOverride& override_fields)
{
    with_model(impl_->state, [&](auto& m) { m.tagop_override = override_fields; });
}

}  // namespace qdsim
