// VirtualReader: the lifetime of one reader's transports and its hooks.
#include "virtual_reader.h"

#include <arpa/inet.h>
#include <netconfig.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpcb_clnt.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "behaviour_admin.h"
#include "misbehaviour.h"
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
        state.model.radio.configure(options.radio);
        state.model.instruments.set_capacity(options.pattern_capacity);
        // The EEPROM is kept beside the parameter store's file.
        state.model.instruments.keep_eeprom_in(options.state_file.empty() ? "" : options.state_file + ".eeprom");
        state.model.priv = options.diag;
        state.log.set_limit(options.log_limit);
        state.latency_ms = options.latency.count();
        set_link_delay(options.link_delay);
        state.verbose = options.verbose;
        // --- Administration ---
        detail::start_admin(state.model, options);
        state.model.admin.request_reboot = [this] { request_reboot(); };
        reboot.time_ms = options.reboot_time.count();
        // --- end of the administration ---
    }

    ~Impl()
    {
        {
            std::lock_guard lock(reboot.mu);
            reboot.quitting = true;
        }
        reboot.cv.notify_all();
        if (reboot.worker.joinable())
            reboot.worker.join();
    }

    void serve_program(svc_req* rq, SVCXPRT* xprt) override
    {
        detail::serve_reader_program(state, *loop, address, rq, xprt);
    }

    // The reader's latency holds the port mapper's replies too, and they
    // cross the same link.
    void serve_port_mapper(svc_req* rq, SVCXPRT* xprt) override
    {
        const auto arrived = std::chrono::steady_clock::now();
        auto reply = detail::port_mapper_reply(detail::ProgramPorts{udp_port.load(), tcp_port.load()}, rq, xprt);
        const auto due = detail::reply_due(state, arrived, Fault{});
        if (due > arrived && loop->defer_reply(xprt, address, due, detail::keep_call(xprt, reply)))
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
            // --- duplicate-request cache and misbehaviours ---
            reply_path.forget_all();   // a reader coming back remembers no request
            detail::watch_transport(udp, reply_path, *loop, address);
            detail::watch_transport(tcp, reply_path, *loop, address);
            // The port mapper's replies cross the link too; they have no
            // reply cache, and a pause of the reader program leaves them be.
            port_mapper_path.forget_all();
            if (!options.use_rpcbind) {
                detail::watch_transport(pm_udp, port_mapper_path, *loop, address);
                detail::watch_transport(pm_tcp, port_mapper_path, *loop, address);
            }
            // --- end ---
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
    detail::ReplyPath reply_path{options.reply_cache};   // misbehaviour.h
    detail::ReplyPath port_mapper_path{false};

    // Any thread.
    void set_link_delay(std::chrono::microseconds delay)
    {
        reply_path.link.set_delay(delay);
        port_mapper_path.link.set_delay(delay);
    }

    // Serving and not serving, under `lifecycle`.
    void start_serving()
    {
        if (running)
            return;
        address = parse_loopback(options.address);
        // The system's port mapper keeps one port per program and transport
        // for every address.  Readers side by side therefore share it: a
        // reader serves on the ports already registered while another reader
        // serves on them, and registers its own otherwise (replacing what a
        // reader that died left behind).
        bool share = false;
        if (options.use_rpcbind) {
            wanted_udp_port = rpcbind_port(IPPROTO_UDP);
            wanted_tcp_port = rpcbind_port(IPPROTO_TCP);
            share = wanted_udp_port != 0 && wanted_tcp_port != 0 && tcp_port_listened_on(wanted_tcp_port);
            if (!share)
                wanted_udp_port = wanted_tcp_port = 0;
        }
        loop->call([this] { open_transports(); });
        if (options.use_rpcbind) {
            if (!share) {
                rpcbind_unset();
                if (!rpcbind_set(address, udp_port, "udp") || !rpcbind_set(address, tcp_port, "tcp")) {
                    rpcbind_unset();
                    loop->call([this] { close_transports(); });
                    throw std::runtime_error("cannot register with the system's rpcbind");
                }
            }
            in_rpcbind = true;
        }
        running = true;
    }

    void stop_serving()
    {
        if (!running)
            return;
        const uint16_t serving_tcp_port = tcp_port;
        loop->call([this] { close_transports(); });
        // The registration goes with the last reader that serves on its ports.
        if (in_rpcbind) {
            if (!tcp_port_listened_on(serving_tcp_port))
                rpcbind_unset();
            in_rpcbind = false;
        }
        running = false;
    }

    // --- Administration: reboots ---
    // A reboot runs on a thread of its own: the reader goes down once the
    // reply to REBOOT has left, stays down for the reboot time, and comes
    // back with its saved parameters.  start() and stop() meanwhile take
    // over: a reader stopped while down stays stopped.
    struct Reboot {
        std::mutex mu;
        std::condition_variable cv;
        bool requested = false;
        bool quitting = false;
        bool down = false;                 // under `lifecycle`: down for a reboot
        std::atomic<bool> under_way{false};
        std::atomic<std::chrono::milliseconds::rep> time_ms{2000};
        std::thread worker;
    } reboot;

    // Any thread, the server thread included (with the model locked).
    void request_reboot()
    {
        std::lock_guard lock(reboot.mu);
        if (reboot.quitting || reboot.under_way.exchange(true))
            return;   // a repeated request of the same reboot
        reboot.requested = true;
        if (!reboot.worker.joinable())
            reboot.worker = std::thread([this] { run_reboots(); });
        reboot.cv.notify_all();
    }

    void run_reboots()
    {
        std::unique_lock lock(reboot.mu);
        auto quitting = [this] { return reboot.quitting; };
        while (true) {
            reboot.cv.wait(lock, [this] { return reboot.requested || reboot.quitting; });
            if (reboot.quitting)
                return;
            reboot.requested = false;
            // The reply leaves after the latency and crosses the link; a
            // reboot that swallowed it would have the client ask again, and
            // reboot the reader twice.
            const auto grace = std::chrono::milliseconds(state.latency_ms.load() + 20) +
                               std::chrono::ceil<std::chrono::milliseconds>(reply_path.link.delay());
            if (reboot.cv.wait_for(lock, grace, quitting))
                return;
            lock.unlock();
            const bool went_down = go_down();
            lock.lock();
            if (went_down) {
                if (reboot.cv.wait_for(lock, std::chrono::milliseconds(reboot.time_ms.load()), quitting))
                    return;
                lock.unlock();
                come_back();
                lock.lock();
            }
            reboot.under_way = false;
        }
    }

    bool go_down()
    {
        std::lock_guard lock(lifecycle);
        if (!running)
            return false;
        stop_serving();
        reboot.down = true;
        if (options.verbose)
            std::fprintf(stderr, "qdsim %s: rebooting: down for %lld ms\n", options.address.c_str(),
                         static_cast<long long>(reboot.time_ms.load()));
        return true;
    }

    void come_back()
    {
        std::lock_guard lock(lifecycle);
        if (!reboot.down)
            return;
        reboot.down = false;
        {
            std::lock_guard model(state.mu);
            detail::restart_after_reboot(state.model);
        }
        try {
            start_serving();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "qdsim %s: cannot serve again after the reboot: %s\n", options.address.c_str(),
                         e.what());
            return;
        }
        if (options.verbose)
            std::fprintf(stderr, "qdsim %s: serving again (udp port %u, tcp port %u)\n", options.address.c_str(),
                         unsigned{udp_port.load()}, unsigned{tcp_port.load()});
    }
    // --- end of the administration ---

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
    impl_->reboot.down = false;
    impl_->start_serving();
}

void VirtualReader::stop()
{
    std::lock_guard lock(impl_->lifecycle);
    impl_->reboot.down = false;   // a reader down for a reboot stays down
    impl_->stop_serving();
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

void VirtualReader::set_link_delay(std::chrono::microseconds delay) { impl_->set_link_delay(delay); }

// --- duplicate-request cache ---
void VirtualReader::set_reply_cache(bool on) { impl_->reply_path.set_cache(on); }

std::size_t VirtualReader::requests(uint32_t proc) const { return impl_->reply_path.requests(proc); }
// --- end of the duplicate-request cache ---

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

std::vector<TimedSearchView> VirtualReader::timed_searches() const
{
    return with_model(impl_->state, [](auto& m) {
        std::vector<TimedSearchView> out;
        for (const auto& [id, search] : m.searches) {
            if (!search.timed)
                continue;
            const auto& t = *search.timed;
            out.push_back({id, t.started, t.duration, t.dwell, search.done});
        }
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.started < b.started; });
        return out;
    });
}

void VirtualReader::set_zr_status(uint32_t proc, int32_t status)
{
    with_model(impl_->state, [&](auto& m) { m.zr_status[proc] = status; });
}

void VirtualReader::force_tagop(const TagopOverride& override_fields)
{
    with_model(impl_->state, [&](auto& m) { m.tagop_override = override_fields; });
}

void VirtualReader::set_radio(const Radio& radio)
{
    with_model(impl_->state, [&](auto& m) { m.radio.configure(radio); });
}

void VirtualReader::set_param(const std::string& name, const std::string& value)
{
    with_model(impl_->state, [&](auto& m) { m.admin.params[name] = value; });
}

// --- Privileged instruments ---

Instruments VirtualReader::instruments() const
{
    return with_model(impl_->state, [](auto& m) { return m.instruments; });
}

void VirtualReader::set_pattern_capacity(uint32_t samples)
{
    with_model(impl_->state, [&](auto& m) { m.instruments.set_capacity(samples); });
}

void VirtualReader::refuse_pattern_write(std::optional<uint16_t> offset)
{
    with_model(impl_->state, [&](auto& m) { m.instruments.refused_write_offset = offset; });
}

void VirtualReader::force_eeprom_length(std::optional<uint16_t> length)
{
    with_model(impl_->state, [&](auto& m) { m.instruments.forced_eeprom_length = length; });
}

void VirtualReader::force_iq_count(std::optional<uint16_t> count)
{
    with_model(impl_->state, [&](auto& m) { m.instruments.forced_iq_count = count; });
}

void VirtualReader::set_eeprom(uint16_t selector, uint16_t offset, const std::vector<uint16_t>& words)
{
    with_model(impl_->state, [&](auto& m) {
        if (selector >= instruments::eeprom_selectors || offset >= instruments::eeprom_words)
            return;
        auto& block = m.instruments.eeprom[selector];
        const std::size_t n = std::min<std::size_t>(words.size(), block.size() - offset);
        std::copy_n(words.begin(), n, block.begin() + offset);
        m.instruments.save_eeprom();
    });
}

// --- end of the privileged instruments ---

// --- The privileged radio and hardware controls ---

DiagHardware VirtualReader::diag_hardware() const
{
    return with_model(impl_->state, [](auto& m) { return m.priv; });
}

void VirtualReader::set_diag_hardware(const DiagHardware& hardware)
{
    with_model(impl_->state, [&](auto& m) { m.priv = hardware; });
}

// --- Administration ---

std::map<std::string, std::string> VirtualReader::params() const
{
    return with_model(impl_->state, [](auto& m) { return m.admin.params; });
}

std::map<std::string, std::string> VirtualReader::saved_params() const
{
    return with_model(impl_->state, [](auto& m) { return m.admin.committed; });
}

void VirtualReader::replace_params(const std::map<std::string, std::string>& params)
{
    with_model(impl_->state, [&](auto& m) { m.admin.params = params; });
}

void VirtualReader::force_params_list(std::optional<std::vector<std::pair<std::string, std::string>>> entries)
{
    with_model(impl_->state, [&](auto& m) { m.admin.forced_list = std::move(entries); });
}

std::vector<std::string> VirtualReader::params_log() const
{
    return with_model(impl_->state, [](auto& m) { return m.admin.log; });
}

std::string VirtualReader::setting(const std::string& name) const
{
    return with_model(impl_->state, [&](auto& m) {
        const auto it = m.admin.settings.find(name);
        return it == m.admin.settings.end() ? std::string() : it->second;
    });
}

void VirtualReader::set_setting(const std::string& name, const std::string& text)
{
    with_model(impl_->state, [&](auto& m) { m.admin.settings[name] = text; });
}

std::array<int32_t, 14> VirtualReader::antenna_stats(uint16_t antenna) const
{
    return with_model(impl_->state, [&](auto& m) {
        const auto it = m.admin.antenna_counters.find(antenna);
        return it == m.admin.antenna_counters.end() ? detail::AntennaCounters{} : it->second;
    });
}

std::array<int32_t, 13> VirtualReader::source_stats(uint16_t source) const
{
    return with_model(impl_->state, [&](auto& m) {
        const auto it = m.admin.source_counters.find(source);
        return it == m.admin.source_counters.end() ? detail::SourceCounters{} : it->second;
    });
}

void VirtualReader::set_antenna_stats(uint16_t antenna, const std::array<int32_t, 14>& counters)
{
    with_model(impl_->state, [&](auto& m) { m.admin.antenna_counters[antenna] = counters; });
}

void VirtualReader::set_source_stats(uint16_t source, const std::array<int32_t, 13>& counters)
{
    with_model(impl_->state, [&](auto& m) { m.admin.source_counters[source] = counters; });
}

uint32_t VirtualReader::gpio_levels() const
{
    return with_model(impl_->state, [](auto& m) { return m.admin.gpio_levels; });
}

void VirtualReader::set_gpio_inputs(uint32_t levels)
{
    with_model(impl_->state, [&](auto& m) {
        const uint32_t inputs = (1u << detail::gpio::inputs) - 1u;
        m.admin.gpio_levels = (m.admin.gpio_levels & ~inputs) | (levels & inputs);
    });
}

void VirtualReader::force_status(uint32_t proc, std::optional<int32_t> status)
{
    with_model(impl_->state, [&](auto& m) {
        if (status)
            m.admin.forced_status[proc] = *status;
        else
            m.admin.forced_status.erase(proc);
    });
}

std::string VirtualReader::firmware_version() const
{
    return with_model(impl_->state, [](auto& m) { return m.admin.firmware_version; });
}

void VirtualReader::set_fw_update_time(std::chrono::milliseconds time)
{
    with_model(impl_->state, [&](auto& m) { m.admin.update_time = time; });
}

void VirtualReader::reboot() { impl_->request_reboot(); }

bool VirtualReader::rebooting() const { return impl_->reboot.under_way; }

void VirtualReader::set_reboot_time(std::chrono::milliseconds time) { impl_->reboot.time_ms = time.count(); }

// --- end of the administration ---

}  // namespace qdsim
