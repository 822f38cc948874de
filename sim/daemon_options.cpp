#include "daemon_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string_view>
#include <vector>

#include "field_file.h"
#include "procedures.h"

namespace qdsim {

namespace {

// An unsigned number (decimal, 0x hex or 0 octal) no larger than `max`.
bool parse_number(const std::string& text, unsigned long long max, unsigned long long& out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    // Decimal, or hexadecimal after 0x: a leading 0 is not octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

bool parse_protocols(const std::string& text, uint16_t (&bits)[16])
{
    for (auto& w : bits)
        w = 0;
    if (text.empty() || text == "none")
        return true;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        unsigned long long p = 0;
        if (!parse_number(item, 255, p))
            return false;
        bits[p / 16] = static_cast<uint16_t>(bits[p / 16] | (1u << (p % 16)));
    }
    return true;
}

}  // namespace

bool parse_milliseconds(const std::string& text, unsigned long long max_ms, std::chrono::microseconds& out)
{
    const auto point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    unsigned long long ms = 0;
    if (whole.empty() || whole.find_first_not_of("0123456789") != std::string::npos ||
        !parse_number(whole, max_ms, ms))
        return false;
    if (point != std::string::npos &&
        (fraction.empty() || fraction.size() > 3 || fraction.find_first_not_of("0123456789") != std::string::npos))
        return false;
    unsigned long long us = 0;
    for (std::size_t i = 0; i < 3; ++i)
        us = us * 10 + (i < fraction.size() ? static_cast<unsigned>(fraction[i] - '0') : 0u);
    if (ms == max_ms && us != 0)
        return false;
    out = std::chrono::microseconds(ms * 1000 + us);
    return true;
}

bool parse_tag(const std::string& text, Tag& out)
{
    const auto slash = text.find('/');
    std::string hex = text.substr(0, slash);
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X'))
        hex = hex.substr(2);
    unsigned long long bits = 4 * hex.size();
    if (slash != std::string::npos && !parse_number(text.substr(slash + 1), tagmem::max_id_bits, bits))
        return false;
    if (bits > tagmem::max_id_bits || hex.size() > (tagmem::max_id_bits + 3) / 4)
        return false;
    Tag tag;
    tag.id_bits = static_cast<uint16_t>(bits);
    tag.id.assign((std::max<std::size_t>(bits, 4 * hex.size()) + 15) / 16, 0);
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const char c = hex[i];
        unsigned v;
        if (c >= '0' && c <= '9')
            v = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        tag.id[i / 4] = static_cast<uint16_t>(tag.id[i / 4] | (v << (12 - 4 * (i % 4))));
    }
    tag.id.resize((bits + 15) / 16);
    out = std::move(tag);
    return true;
}

std::string daemon_usage()
{
    return R"(usage: qdsim [OPTION]...
A virtual reader: serves the reader's RPC program on UDP and TCP at one
loopback address, with a port mapper (program 100000 version 2) on port 111
of that address, until SIGINT or SIGTERM (--readers: several readers, each
on an address of its own).  Once they serve it prints a line per reader
  qdsim: serving on ADDR (udp port U, tcp port T)
on standard output.

Options:
  --address A        the loopback address to serve on (127.0.0.0/8;
                     default 127.0.0.2); several readers may run side by
                     side on different addresses
  --rpcbind          register with the system's rpcbind instead of serving
                     a port mapper on port 111 of the address
  --hwid0 N          hardware id of slot 0 (default 0x00010001)
  --hwtext0 T        hardware text of slot 0 (default "virtual radio")
  --hwid1 N          hardware id of slot 1 (default 0xFFFFFFFF: empty)
  --hwtext1 T        hardware text of slot 1 (default "")
  --antennas N       connected antennas: ports 0..N-1 (0..16; default 2)
  --protocols LIST   supported protocol identifiers, comma separated
                     (0..255, or "none"; default 0)
  --protocols-off LIST
                     protocols the radio also has, off until the parameter
                     "protocol_enable_list" switches them on (as --protocols;
                     default 8,12)
  --max-power N      the maximum transmit power in hundredths (default 3000);
                     no slot or antenna power goes above it
  --power N          the transmit power of both slots at the start, in
                     hundredths (default 2000); antennas follow slot 0 until
                     they are given a power of their own
  --region NAME      the region name the reader reports (default "US")
  --log-limit N      calls kept in the call log (default 1000; 0: all)
  --readers N        serve N readers (1..1000; default 1) on N consecutive
                     addresses from --address on (127.0.40.255 is followed
                     by 127.0.41.0), each with its own port mapper; the
                     options are every reader's, but for the random tags'
                     seed (reader K from 0 on: derived from --seed and K,
                     --seed itself for K = 0) and --state (reader at
                     address A: FILE-A)
  --latency MS       the reader's own time over every call: its reply
                     leaves MS milliseconds after the call arrived, and
                     the reader reads nothing more from that socket or
                     connection until then (default 0)
  --link-delay MS    the network between the reader and its clients:
                     every reply reaches the client MS milliseconds (e.g.
                     0.5) after it left, while the reader goes on
                     answering, so calls in flight together come back
                     together, in order (default 0; adds to --latency).
                     The link holds at most 1024 replies or 4 MiB: past
                     that a UDP reply is lost, and a TCP connection is not
                     read from until the link has drained to half
  --verbose          a line per call of the reader program on standard
                     error (see below)

The tag field (every search finds every live tag once):
  --tags N           N tags with random identities (default 0)
  --seed S           seed of the random tags (default 1)
  --id-bits B        identity length of the random tags (0..300; default 96)
  --tag HEX[/BITS]   one tag with this identity, e.g. --tag 3000ABCD/32
                     (default length: 4 bits per digit; repeatable)
  --field FILE       the tags of FILE, one a line:
                       IDENTITY[/BITS] [KEY=VALUE]...
                     keys: password (hex), reserved, identity, tid, user
                     (an area's words from word 0, hex, four digits a
                     word), word1..word5, count1..count3, value; '#'
                     starts a comment
  --search-duration MS
                     how long a search runs after its first status poll
                     (default 50)

Searches: SEARCH_START and DETAILED_READ_START answer a new identifier;
OPERATION_STATUS answers -1 at the first poll, -2 while the search runs,
-3 when done (the tags then land in the tag database), -101 for an
unknown identifier.  TAGS_AVAILABLE counts the database (at most 65535),
TAGDB_POP hands out one tag per call (status 1; status 0 once empty),
TAGDB_RESET_DB empties it, DETAILED_READ_STOP completes a search at once.
A detailed search whose configuration carries times (patterns of kind 3:
milliseconds per group, and the duration in the top pattern), as an
automatic search's does, runs from its start: -2 until its duration is
over (until stopped without one), cycling through its groups; each pass
through them lands every tag in the database while it runs.

The radio: slot and antenna powers (antenna ports 0..15) are answered as
last set, kept within 0..max power; an empty slot ignores a power and
answers 0.  GET_CURRENT_TX_POWER answers the antenna and power of the
latest search (the lowest connected antenna), GET_RF_STATE 1 while a
search runs and 0 otherwise.  The parameter "protocol_enable_list" (pairs
"ID:0xVALUE " as the client writes them) changes the protocols reported
on the next connection: value 0 switches a protocol off, any other on if
the radio has it (--protocols or --protocols-off).

Tag operations address the tag by id_bits and id[]; tag memory is 4 areas
of 1024 words; a tag has one 32-bit password (0) and permanent locks:
  procedure          op_word1  op_word19      op_word20      data_bits/data
  20 TAGID_WRITE     -         -              -              new identity
  21 TAGID_LOCK      -         password high  password low   -
  22 TAG_KILL        -         password high  password low   -
  23 TAG_PASSWD      -         password high  password low   32: new password
  24 TAGDATA_READ    area      first word     word count     (answered)
  25 TAGDATA_WRITE   area      first word     -              words to write
  26 TAGDATA_LOCK    area      password high  password low   -
op_status: 0 done, -103 locked / out of range, -105 no such tag or killed,
-108 wrong password.

The privileged instruments:
  --pattern-capacity N
                     samples (two words each) of the signal generator's
                     pattern buffer (1..32768; default 4096)
TEST_START keeps the test mode (code 0 and TEST_STOP end it).  Patterns
are written in chunks (a write at offset 0 starts a new one; a chunk that
does not fit is refused with 1); once SIGNAL_GENERATOR_ON and
PATTERN_OUTPUT_ON have both come, the I/Q capture (GET_IQ_BUFFER, any
selector) holds the pattern's first 1024 samples and its sample count.
PUT_WAVE keeps its waveform.  The EEPROM has blocks 0..3 of 1024 words that
keep what is written; with --state FILE they are kept in FILE.eeprom too,
and read from it at the start.  GET_PROTOCOL_TRACE answers a record of the
instruments' state.

The privileged radio and hardware:
  --hops LIST        the frequency hop table, kHz, comma separated ("none":
                     empty; default 50 channels 500 kHz apart from 902750,
                     in a scattered order)
  --antenna-checks LIST
                     what the antenna checks read, one value per antenna,
                     comma separated (default: 200 + the port for each
                     connected port)
  --host-info T      the host information texts, in order (repeatable, up
                     to three)
  --config-text T    the configuration text (GET_ZR_CONF)
Slots 0 and 1 keep RF on/off, the receive and transmit enables and the
transmit switch, listening and receiving (RF off ends both), the
uncalibrated power, receive gain, frequency (915250 kHz at the start),
antenna (SET_ANT takes a connected port only), antenna safety and receive
class; GET_TX_POWER answers the slot's power (the radio's).  SETLEDS
changes the LED bits of its mask.  HOPS_ADD appends (at most 4096 hops).
SET_ANT_ID {port, id} names a port; the settings currentslot and
currentantid follow RF_ON, SET_ANT and SET_ANT_ID.  GET_DATA answers words
1-3 and 5-7 of the request, the list's length, and samples k = the list's
value k (cyclically, or word 4 without a list) + k.

Administration:
  --state FILE       the saved parameter store: read at the start and by
                     PARAMS_LOAD_ALL, written by PARAMS_COMMIT_ALL (default:
                     none, the saved store is kept in memory).  A FILE that
                     does not read as a store (a line without a tab, a
                     name twice, a bad escape, a last line cut short), or
                     whose directory cannot be written to, keeps qdsim from
                     starting; a FILE that does not exist yet starts an
                     empty store.  A commit writes a new file beside FILE
                     and, once it is on disk, renames it over FILE
  --reboot-time MS   how long REBOOT keeps the reader away (default 2000)
  --fw-update-time MS
                     how long a firmware update is in progress (default 3000)
  --gpio-inputs N    the levels of the input lines 0..3, bit i for line i
                     (default 0)
  --firmware-version T, --os-version T
                     the version texts (default "1.0.0", "qdsim-os 1.0")
  --settings-text T  what READ_SETTINGS answers (default: a NAME=VALUE
                     line per named setting)
The parameter store starts with hostname, ip_address, netmask, gateway,
time_zone and description.  PARAMS_GET answers a value ("" when unset),
PARAMS_LOOKUP a NAME=VALUE line for every name that begins with the text
asked for; PARAMS_SET with flag bit 0 saves the value at once; PARAMS_LOAD
takes one name back to its saved value (or removes it); PARAMS_LOG writes
NAME=VALUE to the reader's log (standard error with --verbose).  The named
settings: tagopretrytimeoutms (1000), epc1idlen (96), epc0repeats (3),
epc0_deghost_len (0), currentslot (0), currentantid (0), and epc0_deghost,
epc1_deghost, synch_regulatory_timeout, which the reader keeps as "yes"
or "no" ("yes", "true", "on" or a non-zero number set "yes"); CONFIG_SET
ignores a name the reader does not have.
Statistics: per antenna stat1 searches completed, stat2 tags found (each
tag on one connected antenna in turn); per source (0: the tag operations)
stat1 done, stat2 failed, stat3 no such tag, stat4 wrong password, stat5
refused otherwise; RESET_STATS clears them all.
GPIO lines 0..3 are inputs, 4..7 outputs.  GPIO_GET (line) answers its
level; GPIO_SET (line, level) drives an output; GPIO_SET_READER_EVENT
(line, event, level) drives the output to the level whenever the event
happens: 0 none, 1 a search found tags, 2 a search found none, 3 a tag
operation was carried out, 4 one failed.  Statuses: -100 no such line or
event, -103 an input line.
FW_UPDATE (image, value) answers 0 (-100 for an empty image, -103 while an
update runs); FW_COMPLETE answers -13 before any update, -2 while it runs
(fw_value: percent done), then 0; its texts are the image, the version
running and the version installed (the image's file name without its
extension), which the reader runs after its next reboot.
REBOOT drops every connection, answers nothing for the reboot time, then
serves again with the saved parameters: changes not committed are lost,
as are the searches, the tag database, the statistics and the outputs.

A broken or hostile reader, for seeing how an application copes:
  --fault PROCEDURE:KIND[:MS[:COUNT[:AFTER]]]
                     the calls of PROCEDURE (its name as --verbose writes
                     it, or its number) get KIND; repeatable.  MS: the
                     delay or pause, or the pace of what follows (default
                     0; 1000 for wrong_xid_stream, trickle and
                     endless_record); COUNT: how many calls it hits
                     (default all); AFTER: calls that pass untouched first
                     (default 0).  KIND is one of
                       error_reply       an RPC error reply
                       garbage_reply     a result that does not decode
                       drop              no reply at all
                       delay             the reply after MS
                       wrong_xid         a reply with another transaction
                                         id, then after MS the right one
                       wrong_xid_stream  replies with other transaction
                                         ids, one every MS, never the right
                       duplicate_reply   the reply twice
                       trickle           TCP: a byte every MS; UDP: a
                                         one-byte datagram every MS
                       fragments         TCP: fragments of 4 bytes
                       endless_record    TCP: a record that never ends
                                         (a fragment every MS); UDP: the
                                         first half of the reply
                       oversized_length  the first length (or TCP record
                                         mark) declares far more than
                                         follows
                       reset             TCP: half the reply, then the
                                         connection closes; UDP: the first
                                         half
                       pause             no answer to anything for MS
                     e.g. --fault tagdb_pop:trickle:200:1
  --no-reply-cache   answer a retransmitted UDP request by carrying it out
                     again (by default the reader keeps its latest replies
                     and sends a retransmission the first answer again)

With --verbose, each call is reported as it arrives:
  qdsim ADDR: PROCEDURE TRANSPORT CALLER [FAULT] [latency MS ms]
PROCEDURE is the name in the reader's protocol file in lower case (e.g.
tagdb_pop), null for procedure 0, the number for one the protocol lacks;
TRANSPORT is udp or tcp; CALLER is the client's a.b.c.d:port; FAULT is
the fault applied to the call, if any, as --fault names it (a delay with
its MS ms).  For example:
  qdsim 127.0.0.2: tagdb_pop udp 127.0.0.1:40312 delay 3500 ms latency 2 ms

  --help             this text

  --version          the version

Numbers are decimal, or hexadecimal after 0x (a leading 0 is not octal).
Exit status: 0 after SIGINT/SIGTERM, --help or --version, 1 when an address cannot be
served or the --state file cannot be used, 2 on bad usage.
)";
}

bool parse_fault(const std::string& text, uint32_t& proc, Fault& out)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ':'))
        parts.push_back(item);
    if (parts.size() < 2 || parts.size() > 5 || !detail::procedure_number(parts[0], proc))
        return false;
    Fault fault;
    // Every kind after none, up to pause, the last.
    for (int k = static_cast<int>(FaultKind::error_reply); k <= static_cast<int>(FaultKind::pause); ++k)
        if (parts[1] == fault_name(static_cast<FaultKind>(k)))
            fault.kind = static_cast<FaultKind>(k);
    if (fault.kind == FaultKind::none)
        return false;
    unsigned long long n = 0;
    if (parts.size() > 2) {
        if (!parse_number(parts[2], 3600000ull, n))
            return false;
        fault.delay = std::chrono::milliseconds(n);
    } else if (fault.kind == FaultKind::wrong_xid_stream || fault.kind == FaultKind::trickle ||
               fault.kind == FaultKind::endless_record) {
        fault.delay = std::chrono::seconds(1);   // the streams' usual pace
    }
    if (parts.size() > 3) {
        if (parts[3] == "all")
            fault.count = -1;
        else if (parse_number(parts[3], 0x7FFFFFFFull, n))
            fault.count = static_cast<int>(n);
        else
            return false;
    }
    if (parts.size() > 4) {
        if (!parse_number(parts[4], 0x7FFFFFFFull, n))
            return false;
        fault.after = static_cast<int>(n);
    }
    out = fault;
    return true;
}

ParseOutcome parse_daemon_options(int argc, char** argv, DaemonOptions& out, std::string& error)
{
    out.reader.log_limit = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h")
            return ParseOutcome::help;
        if (opt == "--version")
            return ParseOutcome::version;
        if (opt == "--rpcbind") {
            out.reader.use_rpcbind = true;
            continue;
        }
        if (opt == "--verbose") {
            out.reader.verbose = true;
            continue;
        }
        if (opt == "--no-reply-cache") {
            out.reader.reply_cache = false;
            continue;
        }
        static const std::vector<std::string_view> with_value = {
            "--address", "--hwid0",  "--hwtext0", "--hwid1",   "--hwtext1",          "--antennas", "--protocols",
            "--log-limit", "--tags", "--seed",    "--id-bits", "--tag", "--search-duration", "--field", "--latency",
            "--protocols-off", "--max-power", "--power", "--region",
            "--pattern-capacity",
            "--state", "--reboot-time", "--fw-update-time", "--gpio-inputs", "--firmware-version", "--os-version",
            "--settings-text",
            "--hops", "--antenna-checks", "--host-info", "--config-text", "--fault", "--link-delay", "--readers"};
        bool known = false;
        for (auto name : with_value)
            known = known || opt == name;
        if (!known) {
            error = "unknown option '" + opt + "'";
            return ParseOutcome::bad_usage;
        }
        if (i + 1 >= argc) {
            error = "option '" + opt + "' needs a value";
            return ParseOutcome::bad_usage;
        }
        const std::string value = argv[++i];
        unsigned long long n = 0;
        auto bad = [&] {
            error = "bad value '";
            error += value;
            error += "' for ";
            error += opt;
            return ParseOutcome::bad_usage;
        };
        Hardware& hw = out.reader.hardware;
        if (opt == "--address") {
            out.reader.address = value;
        } else if (opt == "--hwid0" || opt == "--hwid1") {
            if (!parse_number(value, 0xFFFFFFFFull, n))
                return bad();
            hw.hwid[opt == "--hwid1"] = static_cast<uint32_t>(n);
        } else if (opt == "--hwtext0" || opt == "--hwtext1") {
            hw.text[opt == "--hwtext1"] = value;
        } else if (opt == "--antennas") {
            if (!parse_number(value, 16, n))
                return bad();
            hw.antenna_count = static_cast<int16_t>(n);
            hw.antenna_connected_mask = static_cast<uint16_t>((1u << n) - 1u);
        } else if (opt == "--protocols") {
            if (!parse_protocols(value, hw.protocol_bits))
                return bad();
        } else if (opt == "--protocols-off") {
            if (!parse_protocols(value, hw.protocol_bits_off))
                return bad();
        } else if (opt == "--max-power" || opt == "--power") {
            if (!parse_number(value, 0x7FFF, n))
                return bad();
            (opt == "--power" ? out.reader.radio.power : out.reader.radio.max_power) = static_cast<int16_t>(n);
        } else if (opt == "--region") {
            out.reader.radio.region = value;
        } else if (opt == "--log-limit") {
            if (!parse_number(value, 100000000ull, n))
                return bad();
            out.reader.log_limit = static_cast<std::size_t>(n);
        } else if (opt == "--tags") {
            if (!parse_number(value, 10000000ull, n))
                return bad();
            out.random_tags = static_cast<std::size_t>(n);
        } else if (opt == "--seed") {
            if (!parse_number(value, ~0ull, n))
                return bad();
            out.seed = n;
        } else if (opt == "--id-bits") {
            if (!parse_number(value, tagmem::max_id_bits, n))
                return bad();
            out.id_bits = static_cast<uint16_t>(n);
        } else if (opt == "--tag") {
            Tag tag;
            if (!parse_tag(value, tag))
                return bad();
            out.reader.tags.push_back(std::move(tag));
        } else if (opt == "--field") {
            if (!load_field_file(value, out.reader.tags, error))
                return ParseOutcome::bad_usage;
        } else if (opt == "--search-duration") {
            if (!parse_number(value, 3600000ull, n))
                return bad();
            out.reader.search_duration = std::chrono::milliseconds(n);
        } else if (opt == "--latency") {
            if (!parse_number(value, 3600000ull, n))
                return bad();
            out.reader.latency = std::chrono::milliseconds(n);
        } else if (opt == "--link-delay") {
            if (!parse_milliseconds(value, 3600000ull, out.reader.link_delay))
                return bad();
        } else if (opt == "--readers") {
            if (!parse_number(value, max_readers, n) || n == 0)
                return bad();
            out.readers = static_cast<std::size_t>(n);
        } else if (opt == "--pattern-capacity") {
            if (!parse_number(value, instruments::max_pattern_capacity, n) || n == 0)
                return bad();
            out.reader.pattern_capacity = static_cast<uint32_t>(n);
        } else if (opt == "--state") {
            out.reader.state_file = value;
        } else if (opt == "--reboot-time" || opt == "--fw-update-time") {
            if (!parse_number(value, 3600000ull, n))
                return bad();
            (opt == "--reboot-time" ? out.reader.reboot_time : out.reader.fw_update_time) =
                std::chrono::milliseconds(n);
        } else if (opt == "--gpio-inputs") {
            if (!parse_number(value, 0xF, n))
                return bad();
            out.reader.gpio_inputs = static_cast<uint32_t>(n);
        } else if (opt == "--firmware-version") {
            out.reader.firmware_version = value;
        } else if (opt == "--os-version") {
            out.reader.os_version = value;
        } else if (opt == "--settings-text") {
            out.reader.settings_text = value;
        } else if (opt == "--hops" || opt == "--antenna-checks") {
            std::vector<uint32_t> values;
            std::stringstream in(value == "none" ? "" : value);
            std::string item;
            const unsigned long long max = opt == "--hops" ? 0xFFFFFFFFull : 0xFFFFull;
            while (std::getline(in, item, ',')) {
                if (!parse_number(item, max, n) || values.size() >= DiagHardware::max_hops)
                    return bad();
                values.push_back(static_cast<uint32_t>(n));
            }
            if (opt == "--hops")
                out.reader.diag.hops = values;
            else
                out.reader.diag.antenna_checks = std::vector<uint16_t>(values.begin(), values.end());
        } else if (opt == "--host-info") {
            if (out.host_infos >= out.reader.diag.host_info.size())
                return bad();
            out.reader.diag.host_info[out.host_infos++] = value;
        } else if (opt == "--config-text") {
            out.reader.diag.config_text = value;
        } else if (opt == "--fault") {
            uint32_t proc = 0;
            Fault fault;
            if (!parse_fault(value, proc, fault))
                return bad();
            out.faults.emplace_back(proc, fault);
        }
    }
    return ParseOutcome::run;
}

}  // namespace qdsim
