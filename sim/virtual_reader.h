// The virtual reader: a stand-in for the hardware.  It serves the reader's
// RPC program on UDP and TCP at one loopback address, answers the port mapper
// protocol (version 2: NULL, GETPORT, DUMP) on port 111 of that address (or
// registers with the system's rpcbind instead), keeps a log of the calls it
// received and injects faults per procedure.  Several virtual readers may run
// side by side in one process on different 127.x.y.z addresses.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tag_memory.h"
#include "wire.h"

namespace qdsim {

enum class Transport { udp, tcp };

// What the reader reports about its hardware in the initial queries.
struct Hardware {
    uint32_t hwid[2] = {0x00010001u, 0xFFFFFFFFu};  // slot 1 empty by default
    std::string text[2] = {"virtual radio", ""};
    int16_t antenna_count = 2;                       // ports 0 and 1 connected
    uint16_t antenna_connected_mask = 0x0003;        // bit i: port i connected
    uint16_t protocol_bits[16] = {0x0001};           // protocol 0 supported
};

// One call as the reader received it.  `arg` is the argument re-encoded in
// XDR, exactly the bytes the procedure decoded; decode_arg() turns it back
// into a record.
struct LoggedCall {
    uint32_t proc = 0;
    Transport transport = Transport::udp;
    std::vector<uint8_t> arg;
};

// Decodes a logged argument with a generated filter.  The record owns what
// the decoder allocated until it is destroyed.
template <class T>
class Decoded {
public:
    Decoded(const LoggedCall& call, xdrproc_t filter);
    ~Decoded();
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    bool ok() const { return ok_; }
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }

private:
    T value_{};
    xdrproc_t filter_;
    bool ok_ = false;
};

enum class FaultKind {
    none,
    error_reply,    // an RPC error reply (system error): the call fails at once
    garbage_reply,  // a reply whose body does not decode as the result
    drop,           // no reply at all: the caller times out
    delay,          // answer normally after `delay`
};

struct Fault {
    FaultKind kind = FaultKind::none;
    int count = -1;                        // how many calls it hits; -1: all
    std::chrono::milliseconds delay{0};    // for FaultKind::delay
};

// A tag in the reader's field, with what the tag operations change.
struct Tag {
    uint16_t id_bits = 96;            // 0..tagmem::max_id_bits
    std::vector<uint16_t> id;         // the identity's words; missing words are 0
    // Passed through to the tag records of the tag database.
    uint16_t tag_word1 = 0, tag_word2 = 0, tag_word3 = 0, tag_word4 = 0, tag_word5 = 0;
    uint32_t tag_count1 = 0, tag_count2 = 0, tag_count3 = 0, tag_value = 0;
    // Tag memory (see tag_memory.h): words of each area from word 0 on; the
    // words past the end of a vector read 0.
    std::array<std::vector<uint16_t>, tagmem::area_count> memory;
    std::array<bool, tagmem::area_count> area_locked{};
    bool id_locked = false;
    uint32_t password = 0;
    bool killed = false;               // a killed tag neither answers nor is found
};

// Replaces fields of every tag operation's reply, to see what a client does
// with statuses and lengths a reader may send.
struct TagopOverride {
    std::optional<int16_t> op_status;
    std::optional<uint16_t> data_bits;
    std::optional<uint16_t> op_word19 = std::nullopt;
    std::optional<uint16_t> op_word20 = std::nullopt;
};

struct Options {
    std::string address = "127.0.0.2";
    bool use_rpcbind = false;   // register with the system rpcbind instead of
                                // answering the port mapper protocol itself
    Hardware hardware;
    std::size_t log_limit = 0;  // calls kept in the log, the latest; 0: all
    std::vector<Tag> tags;      // the tag field at the start
    std::chrono::milliseconds search_duration{50};
    // Every reply leaves this long after its call arrived (on top of a delay
    // fault), as if the reader sat across a network; the other readers of
    // the process go on being served meanwhile.
    std::chrono::milliseconds latency{0};
    // A line per call of the reader program on standard error: procedure,
    // transport, caller, the fault applied (format: qdsim --help).
    bool verbose = false;
};

class VirtualReader {
public:
    explicit VirtualReader(Options options = {});
    ~VirtualReader();                       // stops the reader
    VirtualReader(const VirtualReader&) = delete;
    VirtualReader& operator=(const VirtualReader&) = delete;

    // Starts serving; throws std::runtime_error when the address or its
    // ports cannot be bound.  start() after stop() serves again on the same
    // address, like a reader that rebooted.  stop() closes the open
    // connections at once; replies still waiting (delay, latency) are never
    // sent.
    void start();
    void stop();
    bool running() const;

    const std::string& address() const;
    uint16_t port(Transport t) const;       // the program's port, 0 when stopped

    // Hardware reported by the initial queries; takes effect for the next call.
    void set_hardware(const Hardware& hw);

    // Call log.
    std::vector<LoggedCall> calls() const;
    std::size_t count(uint32_t proc) const;
    void clear_calls();

    // Faults, per procedure number.  A delayed reply (like every reply,
    // with a latency) waits without holding up the other readers of the
    // process; until it is sent, the reader reads no further call from the
    // same UDP socket or TCP connection.
    void inject(uint32_t proc, Fault fault);
    void clear_faults();

    // Options::latency; takes effect for calls arriving from then on.
    void set_latency(std::chrono::milliseconds latency);

    // The tag field: the tags a search finds and the tag operations address.
    void add_tag(const Tag& tag);
    // n tags with random identities of id_bits bits and random pass-through
    // words, the same for the same seed.
    void add_random_tags(std::size_t n, uint64_t seed, uint16_t id_bits = 96);
    void clear_tags();
    std::vector<Tag> tags() const;      // as the tag operations left them

    // Searches.  SEARCH_START and DETAILED_READ_START answer a new identifier
    // (1, 2, ... 32767, then 1 again); OPERATION_STATUS answers for it
    // tagmem::search_waiting at the first poll, search_running for the
    // duration from then on, then search_done, and the tags of the field
    // land in the tag database as the search completes (each live tag once
    // per search).  DETAILED_READ_STOP completes a search at once.  An
    // identifier the reader does not know gets the unknown-search status.
    void set_search_duration(std::chrono::milliseconds duration);   // default 50 ms
    void set_unknown_search_status(int16_t status);                 // default -101
    // Test hooks: answers OPERATION_STATUS / TAGS_AVAILABLE with `value`
    // (nullopt: the model's answer again); the searches go on underneath.
    void force_operation_status(std::optional<int16_t> value);
    void force_tags_available(std::optional<uint16_t> value);
    // The tag database: the tags found and not yet popped (TAGDB_POP).
    std::size_t tagdb_size() const;
    // Status answered by ZR_SEARCH_CONFIGURE/START/STOP/VERIFY (124-127).
    void set_zr_status(uint32_t proc, int32_t status);

    // Test hook for the tag operations (20-26); {} ends it.
    void force_tagop(const TagopOverride& override_fields);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------

template <class T>
Decoded<T>::Decoded(const LoggedCall& call, xdrproc_t filter) : filter_(filter)
{
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(const_cast<uint8_t*>(call.arg.data())),
                  static_cast<u_int>(call.arg.size()), XDR_DECODE);
    ok_ = filter_(&x, &value_) != 0;
    xdr_destroy(&x);
}

template <class T>
Decoded<T>::~Decoded()
{
    xdr_free(filter_, reinterpret_cast<char*>(&value_));
}

}  // namespace qdsim
