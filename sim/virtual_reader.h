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
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model_instruments.h"
#include "model_priv.h"
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
    // Protocols the radio has besides those it reports at power-up: off
    // until a "protocol_enable_list" parameter switches them on.
    uint16_t protocol_bits_off[16] = {0x1100};       // protocols 8 and 12
};

// The radio at the start.  Powers are in hundredths, as on the wire.
struct Radio {
    int16_t max_power = 3000;      // GET_MAX_READER_POWER; no power goes above it
    int16_t power = 2000;          // of both slots (the antennas follow slot 0)
    std::string region = "US";     // GET_REGION
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
    // --- misbehaviours of a broken or hostile reader (misbehaviour.h) ---
    // The call is carried out when it arrives; its reply goes out wrongly.
    // `delay` is the pace of what follows (0: at once, or 1 s for the
    // streams and the trickle).
    wrong_xid,        // a reply with another transaction id, then after
                      // `delay` the right one
    wrong_xid_stream, // replies with other transaction ids, one every
                      // `delay`, never the right one
    duplicate_reply,  // the reply twice
    trickle,          // TCP: the reply a byte every `delay`; UDP: a
                      // one-byte datagram every `delay`, never the reply
    fragments,        // TCP: the reply in fragments of 4 bytes; UDP: as usual
    endless_record,   // TCP: the reply in a record that never ends (a
                      // fragment every `delay`); UDP: the first half only
    oversized_length, // the result's first length (or, for a result without
                      // one, the TCP record mark) declares far more than
                      // follows; UDP without a length: the header only
    reset,            // TCP: half the reply, then the connection closes;
                      // UDP: the first half only
    pause,            // no reply from the reader at all for `delay`; the
                      // call's reply, and any other, goes out after it
                      // (the last kind: qdsim's --fault reads up to it)
    // --- end of misbehaviours ---
};

struct Fault {
    FaultKind kind = FaultKind::none;
    int count = -1;                        // how many calls it hits; -1: all
    std::chrono::milliseconds delay{0};    // for FaultKind::delay
    int after = 0;                         // calls that pass untouched before it hits
};

// The name of a fault kind as qdsim's --fault and --verbose write it
// ("error_reply", "trickle"; "" for none).
const char* fault_name(FaultKind kind);

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

// A search started with a configuration that carries times (patterns of
// kind 3: a dwell time per group, the duration), as the reader read it.
struct TimedSearchView {
    int16_t id = 0;
    std::chrono::system_clock::time_point started{};    // its DETAILED_READ_START answered
    std::optional<std::chrono::milliseconds> duration;   // none: runs until stopped
    std::vector<std::chrono::milliseconds> dwell;        // per group, in order
    bool done = false;
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
    // The reader's own time over every call: its reply leaves this long
    // after the call arrived (on top of a delay fault), and the reader reads
    // nothing more from that socket or connection until then, as a busy
    // reader would.  The other readers of the process go on being served.
    std::chrono::milliseconds latency{0};
    // The network between the reader and its clients: every reply (the port
    // mapper's too) reaches the client this long after it left the reader,
    // while the reader goes on reading and answering, so calls in flight
    // together come back together, in the order they were answered.  Adds
    // to the latency.  The link carries wire_link.h's bounds at most: past
    // them a UDP reply is lost, and a TCP connection is not read from
    // until the link has drained.
    std::chrono::microseconds link_delay{0};
    // A line per call of the reader program on standard error: procedure,
    // transport, caller, the fault applied (format: qdsim --help).
    bool verbose = false;
    Radio radio;
    // --- duplicate-request cache (misbehaviour.h) ---
    // A UDP request that arrives again (the same caller, transaction id and
    // procedure) gets the first reply again, or nothing while that is not
    // out yet, instead of being carried out twice.  Off: a reader without.
    bool reply_cache = true;
    // --- end of the duplicate-request cache ---
    // --- Privileged instruments ---
    // Capacity of the signal generator's pattern buffer, in samples of two
    // words (1..instruments::max_pattern_capacity).
    uint32_t pattern_capacity = instruments::default_pattern_capacity;
    // --- end of the privileged instruments ---
    // --- Administration ---
    // The parameter store's file: read at the start and by PARAMS_LOAD_ALL,
    // written by PARAMS_COMMIT_ALL; empty: the saved store is kept in memory.
    std::string state_file;
    // How long REBOOT keeps the reader away: every connection dropped,
    // nothing answered, then served again with the saved parameters.
    std::chrono::milliseconds reboot_time{2000};
    // How long FW_COMPLETE reports an update in progress.
    std::chrono::milliseconds fw_update_time{3000};
    uint32_t gpio_inputs = 0;   // bit i: the level of input line i (0..3)
    std::string firmware_version = "1.0.0";
    std::string os_version = "qdsim-os 1.0";
    std::optional<std::string> settings_text;   // none: a NAME=VALUE line per setting
    // --- end of the administration ---
    // The hardware that the privileged radio and hardware procedures drive,
    // at the start (LEDs, slots, antennas, hop table, texts).
    DiagHardware diag;
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
    // connections at once; replies still waiting (delay, latency, link) are
    // never sent.
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
    // same UDP socket or TCP connection (calls it had already read from a
    // connection are answered one after another, each in its own time).
    void inject(uint32_t proc, Fault fault);
    void clear_faults();

    // Options::latency; takes effect for calls arriving from then on.
    void set_latency(std::chrono::milliseconds latency);
    // Options::link_delay; takes effect for replies leaving from then on
    // (none overtakes one already on its way).
    void set_link_delay(std::chrono::microseconds delay);

    // --- duplicate-request cache (misbehaviour.h) ---
    // Options::reply_cache; takes effect for requests arriving from then on.
    void set_reply_cache(bool on);
    // Requests of a procedure that arrived, carried out or not (a
    // retransmission answered from the reply cache counts; the call log
    // has only the calls carried out).
    std::size_t requests(uint32_t proc) const;
    // --- end of the duplicate-request cache ---

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
    // A detailed search whose configuration carries times runs from its
    // start call on those: in progress until its duration (the top
    // pattern's milliseconds) is over, or until stopped without one; it
    // cycles through its groups, each for its dwell time, and every pass
    // lands each live tag in the tag database.  These are the ones the
    // reader still remembers, oldest first.
    std::vector<TimedSearchView> timed_searches() const;

    // Test hook for the tag operations (20-26); {} ends it.
    void force_tagop(const TagopOverride& override_fields);

    // The radio: GET/SET_SLOT_TX_POWER, GET/SET_ANTENNA_TX_POWER (ports
    // 0..15), GET_CURRENT_TX_POWER (what the latest search used: the lowest
    // connected antenna with its power), GET_MAX_READER_POWER, GET_REGION,
    // GET_RF_STATE (1 while a search runs, else 0).  A set power is kept at
    // 0..max_power and answered back; a slot that is empty or unknown
    // ignores it and answers 0.  set_radio starts the radio anew.
    void set_radio(const Radio& radio);
    // Test hook: a parameter as if a client had set it (the
    // "protocol_enable_list" parameter changes the protocols reported).
    void set_param(const std::string& name, const std::string& value);

    // --- Privileged instruments (model_instruments.h) ---
    // The instruments as the calls left them.
    Instruments instruments() const;
    // A new, empty pattern buffer of this many samples.
    void set_pattern_capacity(uint32_t samples);
    // Test hooks; nullopt ends each.  PATTERN_BUFFER_WRITE at this word
    // offset answers 1 (not stored); EEPROM_READ answers this length, with
    // the block's words from the offset on; GET_IQ_BUFFER answers this count
    // beside the whole capture.
    void refuse_pattern_write(std::optional<uint16_t> offset);
    void force_eeprom_length(std::optional<uint16_t> length);
    void force_iq_count(std::optional<uint16_t> count);
    // Words stored in an EEPROM block (0..3) as EEPROM_WRITE stores them.
    void set_eeprom(uint16_t selector, uint16_t offset, const std::vector<uint16_t>& words);
    // --- end of the privileged instruments ---

    // --- Administration (behaviour: qdsim --help) ---
    // The parameter store as it is now, and as it was saved (what a reboot
    // comes back to).
    std::map<std::string, std::string> params() const;
    std::map<std::string, std::string> saved_params() const;
    // Replaces the store as it is now; the saved one is left alone.
    void replace_params(const std::map<std::string, std::string>& params);
    // Test hook: PARAMS_LIST answers these entries, in this order, instead
    // of the store; nullopt ends it.
    void force_params_list(std::optional<std::vector<std::pair<std::string, std::string>>> entries);
    // What PARAMS_LOG wrote, a line per call.
    std::vector<std::string> params_log() const;
    // A named setting's text; set_setting stores the text as it is, as
    // CONFIG_SET would not for the yes/no settings.
    std::string setting(const std::string& name) const;
    void set_setting(const std::string& name, const std::string& text);
    // The statistics counters of an antenna and of a source.
    std::array<int32_t, 14> antenna_stats(uint16_t antenna) const;
    std::array<int32_t, 13> source_stats(uint16_t source) const;
    void set_antenna_stats(uint16_t antenna, const std::array<int32_t, 14>& counters);
    void set_source_stats(uint16_t source, const std::array<int32_t, 13>& counters);
    // GPIO levels, bit i for line i (inputs 0..3, outputs 4..7).
    uint32_t gpio_levels() const;
    void set_gpio_inputs(uint32_t levels);
    // Test hook: the status that GPIO_GET, GPIO_SET, GPIO_SET_READER_EVENT,
    // FW_UPDATE or FW_COMPLETE answers instead of its own; nullopt ends it.
    void force_status(uint32_t proc, std::optional<int32_t> status);
    std::string firmware_version() const;
    void set_fw_update_time(std::chrono::milliseconds time);
    // Reboots as REBOOT does, and whether a reboot is under way (from the
    // request until the reader serves again).
    void reboot();
    bool rebooting() const;
    void set_reboot_time(std::chrono::milliseconds time);
    // --- end of the administration ---

    // --- The privileged radio and hardware controls (model_priv.h) ---
    // The hardware as the calls left it.
    DiagHardware diag_hardware() const;
    // Replaces it: a starting point, texts, antenna checks, forced answers.
    void set_diag_hardware(const DiagHardware& hardware);
    // --- end of the privileged radio and hardware controls ---

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
