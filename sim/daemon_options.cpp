#include "daemon_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string_view>
#include <vector>

#include "field_file.h"

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
of that address, until SIGINT or SIGTERM.  Once it serves it prints
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
  --log-limit N      calls kept in the call log (default 1000; 0: all)
  --latency MS       every reply leaves MS milliseconds after its call
                     arrived, as across a network (default 0)
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

With --verbose, each call is reported as it arrives:
  qdsim ADDR: PROCEDURE TRANSPORT CALLER [FAULT] [latency MS ms]
PROCEDURE is the name in the reader's protocol file in lower case (e.g.
tagdb_pop), null for procedure 0, the number for one the protocol lacks;
TRANSPORT is udp or tcp; CALLER is the client's a.b.c.d:port; FAULT is
the fault applied to the call, if any: error_reply, garbage_reply, drop,
or delay MS ms.  For example:
  qdsim 127.0.0.2: tagdb_pop udp 127.0.0.1:40312 delay 3500 ms latency 2 ms

  --help             this text

  --version          the version

Numbers are decimal, or hexadecimal after 0x (a leading 0 is not octal).
Exit status: 0 after SIGINT/SIGTERM, --help or --version, 1 when the address cannot be
served, 2 on bad usage.
)";
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
        static const std::vector<std::string_view> with_value = {
            "--address", "--hwid0",  "--hwtext0", "--hwid1",   "--hwtext1",          "--antennas", "--protocols",
            "--log-limit", "--tags", "--seed",    "--id-bits", "--tag", "--search-duration", "--field", "--latency"};
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
            error = "bad value '" + value + "' for " + opt;
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
        }
    }
    return ParseOutcome::run;
}

}  // namespace qdsim
