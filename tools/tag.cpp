// qdctl HOST tag ...: reads and changes the memory, identity, password and
// locks of one tag, addressed by its identity.  Which request word carries
// what is the reader's convention, in tag_request.h.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "qdapi.h"
#include "tag_request.h"

namespace qdctl {

namespace req = tagreq;

const char tag_synopsis[] = "tag OPERATION TAG-ID ARGS... [--id-bits N]";
const char tag_help[] =
    "      Operations on the tag whose identity is TAG-ID, in hex as inventory\n"
    "      prints it (its length is 16 bits a word unless --id-bits N):\n"
    "      tag read TAG-ID AREA ADDRESS COUNT\n"
    "                         prints COUNT words of AREA from word ADDRESS, in hex\n"
    "      tag write TAG-ID AREA ADDRESS DATA\n"
    "                         writes DATA (hex, 4 digits a word) from word ADDRESS\n"
    "      tag lock TAG-ID AREA PASSWORD\n"
    "                         locks AREA for good\n"
    "      tag write-id TAG-ID NEW-ID [--new-id-bits N]\n"
    "                         gives the tag a new identity\n"
    "      tag lock-id TAG-ID PASSWORD\n"
    "                         locks the identity for good\n"
    "      tag passwd TAG-ID PASSWORD NEW-PASSWORD\n"
    "                         sets the tag's password\n"
    "      tag kill TAG-ID PASSWORD\n"
    "                         silences the tag for good\n"
    "      AREA is reserved, identity, tid, user or a number; ADDRESS and COUNT\n"
    "      are numbers (decimal or 0x hex); PASSWORD is 32 bits in hex (the\n"
    "      password of a new tag is 0).  On failure the reader's status is\n"
    "      printed by name, e.g. ERROR_NO_RESPONSE (no such tag).  tag read is\n"
    "      the exception: the library reports every read the reader refuses\n"
    "      (no such tag, a locked or missing area) as ERROR_REMOTE, without\n"
    "      the reader's status.\n";

namespace {

// The identity of the addressed tag, into record.id_bits and record.id.
void set_identity(tagop_record& r, const std::string& hex, long id_bits)
{
    std::vector<uint16_t> words = parse_hex_words(hex, 16, "tag identity");
    std::size_t bits = words.size() * 16;
    if (id_bits >= 0) {
        bits = static_cast<std::size_t>(id_bits);
        const std::size_t needed = words_for_bits(bits > 256 ? 256 : bits);
        if (needed != words.size())
            throw UsageError("an identity of " + std::to_string(bits) + " bits is written with " +
                             std::to_string(needed) + " words, not " + std::to_string(words.size()));
    }
    r.id_bits = static_cast<uint16_t>(bits);
    for (std::size_t k = 0; k < words.size(); ++k)
        r.id[k] = words[k];
}

uint16_t parse_area(const std::string& text)
{
    if (text == "reserved")
        return req::area_reserved;
    if (text == "identity")
        return req::area_identity;
    if (text == "tid")
        return req::area_tid;
    if (text == "user")
        return req::area_user;
    return static_cast<uint16_t>(parse_number(text, 0xFFFF, "memory area"));
}

// A 32-bit password in hex (1 to 8 digits, optional 0x).
uint32_t parse_password(const std::string& text)
{
    std::string digits = text;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.erase(0, 2);
    if (digits.empty() || digits.size() > 8)
        throw UsageError("bad password '" + text + "' (1 to 8 hex digits)");
    std::string padded = std::string(8 - digits.size(), '0') + digits;
    std::vector<uint16_t> w = parse_hex_words(padded, 2, "password");
    return static_cast<uint32_t>(w[0]) << 16 | w[1];
}

void expect_args(const std::vector<std::string>& args, std::size_t n, const char* synopsis)
{
    if (args.size() != n)
        throw UsageError(std::string("tag ") + synopsis);
}

}  // namespace

int run_tag(const Invocation& inv)
{
    long id_bits = -1;
    long new_id_bits = -1;
    std::vector<std::string> args = parse_options(
        inv.args, {
                      {"id-bits", true, [&](const std::string& v) {
                           id_bits = static_cast<long>(parse_number(v, req::max_id_bits, "identity length"));
                       }},
                      {"new-id-bits", true, [&](const std::string& v) {
                           new_id_bits = static_cast<long>(parse_number(v, req::max_id_bits, "identity length"));
                       }},
                  });
    if (args.empty())
        throw UsageError("tag: no OPERATION given");
    const std::string op = args[0];
    args.erase(args.begin());
    if (new_id_bits >= 0 && op != "write-id")
        throw UsageError("--new-id-bits is for tag write-id");

    // The record goes to the reader as it is: zero what is not used.
    auto record = std::make_unique<tagop_record>();
    std::memset(record.get(), 0, sizeof *record);
    tagop_record& r = *record;
    int (*call)(reader_handle, const tagop_record*) = nullptr;
    std::size_t read_count = 0;

    if (op == "read") {
        expect_args(args, 4, "read TAG-ID AREA ADDRESS COUNT");
        req::set_area(r, parse_area(args[1]));
        req::set_first_word(r, static_cast<uint16_t>(parse_number(args[2], 0xFFFF, "word address")));
        read_count = parse_number(args[3], req::max_data_words, "word count");
        if (read_count == 0)
            throw UsageError("tag read: COUNT must be 1 or more words");
        req::set_word_count(r, static_cast<uint16_t>(read_count));
    } else if (op == "write") {
        expect_args(args, 4, "write TAG-ID AREA ADDRESS DATA");
        req::set_area(r, parse_area(args[1]));
        req::set_first_word(r, static_cast<uint16_t>(parse_number(args[2], 0xFFFF, "word address")));
        std::vector<uint16_t> data = parse_hex_words(args[3], req::max_data_words, "data");
        req::set_data(r, data.data(), data.size(), 16 * data.size());
        call = tagdata_write;
    } else if (op == "lock") {
        expect_args(args, 3, "lock TAG-ID AREA PASSWORD");
        req::set_area(r, parse_area(args[1]));
        req::set_password(r, parse_password(args[2]));
        call = tagdata_lock;
    } else if (op == "write-id") {
        expect_args(args, 2, "write-id TAG-ID NEW-ID [--new-id-bits N]");
        std::vector<uint16_t> id = parse_hex_words(args[1], words_for_bits(req::max_id_bits), "new identity");
        std::size_t bits = 16 * id.size();
        if (new_id_bits >= 0) {
            bits = static_cast<std::size_t>(new_id_bits);
            if (words_for_bits(bits) != id.size())
                throw UsageError("an identity of " + std::to_string(bits) + " bits is written with " +
                                 std::to_string(words_for_bits(bits)) + " words, not " +
                                 std::to_string(id.size()));
        }
        if (bits > req::max_id_bits)
            throw UsageError("a new identity has at most " + std::to_string(req::max_id_bits) + " bits");
        req::set_data(r, id.data(), id.size(), bits);
        call = tagid_write;
    } else if (op == "lock-id") {
        expect_args(args, 2, "lock-id TAG-ID PASSWORD");
        req::set_password(r, parse_password(args[1]));
        call = tagid_lock;
    } else if (op == "passwd") {
        expect_args(args, 3, "passwd TAG-ID PASSWORD NEW-PASSWORD");
        req::set_password(r, parse_password(args[1]));
        req::set_new_password(r, parse_password(args[2]));
        call = tag_passwd;
    } else if (op == "kill") {
        expect_args(args, 2, "kill TAG-ID PASSWORD");
        req::set_password(r, parse_password(args[1]));
        call = tag_kill;
    } else {
        throw UsageError("unknown tag operation '" + op + "'");
    }
    set_identity(r, args[0], id_bits);

    Reader reader(inv.host);
    const std::string what = "tag " + op + " " + args[0];
    if (op == "read") {
        if (tagdata_read(reader.handle(), &r) != 0) {
            // The library reports a refused read as ERROR_REMOTE, without
            // the reader's status.
            if (reader_errno == READER_ERROR_REMOTE)
                throw Failure(failure_text(what, reader_errno) +
                              " (no such tag, a word out of range, or no answer)");
            fail(what);
        }
        std::size_t words = words_for_bits(r.data_bits);
        if (words > req::max_data_words)
            words = req::max_data_words;
        std::printf("%s\n", hex_words(r.data, words).c_str());
        return exit_ok;
    }
    if (call(reader.handle(), &r) != 0)
        fail(what);
    return exit_ok;
}

}  // namespace qdctl
