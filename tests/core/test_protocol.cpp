// The reader protocol on the wire: the encoded size of every fixed record,
// the encodings the reader depends on (sign extension, four bytes per
// element, optional data, bounded lists) and the procedure table.  No
// network: everything goes through the generated filters in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "procedure_traits.h"
#include "wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <class T>
using Filter = bool_t (*)(XDR*, T*);

// The bytes a generated filter writes for `value`, or nothing when it refuses.
template <class T>
std::optional<Bytes> encode(Filter<T> filter, const T& value)
{
    Bytes buffer(64 * 1024);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(buffer.data()), static_cast<u_int>(buffer.size()),
                  XDR_ENCODE);
    const bool ok = filter(&x, const_cast<T*>(&value));
    buffer.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    if (!ok)
        return std::nullopt;
    return buffer;
}

// The encoded size, checked against xdr_sizeof's count.
template <class T>
std::size_t encoded_size(Filter<T> filter, const T& value)
{
    const auto bytes = encode(filter, value);
    if (!bytes) {
        ADD_FAILURE() << "the record does not encode";
        return 0;
    }
    EXPECT_EQ(xdr_sizeof(wire::as_xdrproc(filter), const_cast<T*>(&value)), bytes->size());
    return bytes->size();
}

// Decodes `bytes` with a generated filter into `value`; true on success.
template <class T>
bool decode(Filter<T> filter, Bytes bytes, T& value)
{
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(bytes.data()), static_cast<u_int>(bytes.size()),
                  XDR_DECODE);
    const bool ok = filter(&x, &value);
    xdr_destroy(&x);
    return ok;
}

Bytes be32(std::initializer_list<uint32_t> words)
{
    Bytes out;
    for (uint32_t w : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>(w >> shift));
    return out;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count)
{
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// Large records live on the heap, zeroed.
template <class T>
std::unique_ptr<T> zeroed()
{
    return std::make_unique<T>();
}

TEST(Protocol, FixedRecordsHaveTheReadersSizes)
{
    EXPECT_EQ(encoded_size(wire::xdr_antenna_list, *zeroed<wire::antenna_list>()), 196u);
    EXPECT_EQ(encoded_size(wire::xdr_protocol_list, *zeroed<wire::protocol_list>()), 64u);
    EXPECT_EQ(encoded_size(wire::xdr_search_params, *zeroed<wire::search_params>()), 140u);
    EXPECT_EQ(encoded_size(wire::xdr_tag_record, *zeroed<wire::tag_record>()), 108u);
    EXPECT_EQ(encoded_size(wire::xdr_tag_id_record, *zeroed<wire::tag_id_record>()), 84u);
    EXPECT_EQ(encoded_size(wire::xdr_word_block, *zeroed<wire::word_block>()), 8204u);
    EXPECT_EQ(encoded_size(wire::xdr_tagop_request, *zeroed<wire::tagop_request>()), 4184u);
    EXPECT_EQ(encoded_size(wire::xdr_tagop_reply, *zeroed<wire::tagop_reply>()), 4184u);
    EXPECT_EQ(encoded_size(wire::xdr_eeprom_block, *zeroed<wire::eeprom_block>()), 4108u);
    EXPECT_EQ(encoded_size(wire::xdr_iq_buffer, *zeroed<wire::iq_buffer>()), 8196u);

    // Variable lists: offset, count, then one word per element.
    std::vector<u_short> words(1024, 0xBEEF);
    wire::word_list list{};
    list.words.words_len = static_cast<u_int>(words.size());
    list.words.words_val = words.data();
    EXPECT_EQ(encoded_size(wire::xdr_word_list, list), 4104u);
}

TEST(Protocol, SearchTermCarriesAPatternOnlyForKindFour)
{
    wire::search_term term{};
    term.kind = 4;
    EXPECT_EQ(encoded_size(wire::xdr_search_term, term), 44u);
    for (u_short kind : {1, 0, 7, 5, 0xFFFF}) {
        term.kind = kind;
        term.search_term_u.value = -3;
        const auto bytes = encode(wire::xdr_search_term, term);
        ASSERT_TRUE(bytes) << "kind " << kind;
        EXPECT_EQ(*bytes, be32({kind, 0xFFFFFFFDu})) << "kind " << kind;
    }
}

TEST(Protocol, BoundedListsRefuseMoreThanSixteenElements)
{
    std::vector<u_short> items(17, 1);

    wire::mer_args mer{};
    mer.mer_list.mer_list_val = items.data();
    mer.mer_list.mer_list_len = 16;
    EXPECT_EQ(encoded_size(wire::xdr_mer_args, mer), 8 * 4 + 4 + 16 * 4 + 4u);
    mer.mer_list.mer_list_len = 17;
    EXPECT_FALSE(encode(wire::xdr_mer_args, mer));

    wire::data_capture_args capture{};
    capture.capture_list.capture_list_val = items.data();
    capture.capture_list.capture_list_len = 16;
    EXPECT_EQ(encoded_size(wire::xdr_data_capture_args, capture), 6 * 4 + 4 + 16 * 4 + 4u);
    capture.capture_list.capture_list_len = 17;
    EXPECT_FALSE(encode(wire::xdr_data_capture_args, capture));

    // A reader that sends 17 is refused on decoding too.
    Bytes wire_bytes = be32({0, 0, 0, 0, 0, 0, 0, 0, 17});
    for (int i = 0; i < 17; ++i)
        wire_bytes.insert(wire_bytes.end(), {0, 0, 0, 1});
    wire_bytes.insert(wire_bytes.end(), {0, 0, 0, 0});
    wire::mer_args decoded{};
    EXPECT_FALSE(decode(wire::xdr_mer_args, wire_bytes, decoded));
    xdr_free(wire::as_xdrproc(wire::xdr_mer_args), reinterpret_cast<char*>(&decoded));
}

TEST(Protocol, ProtocolListDecodesBigEndianWords)
{
    // Word 0 = 0x0001 (identifier 0), word 1 = 0x8000 (identifier 31).
    Bytes bytes = be32({0x0001, 0x8000});
    bytes.resize(64, 0);
    wire::protocol_list list{};
    ASSERT_TRUE(decode(wire::xdr_protocol_list, bytes, list));
    EXPECT_EQ(list.bits[0], 0x0001);
    EXPECT_EQ(list.bits[1], 0x8000);

    std::vector<int> identifiers;
    for (int p = 0; p < 256; ++p)
        if (list.bits[p / 16] & (1u << (p % 16)))
            identifiers.push_back(p);
    EXPECT_EQ(identifiers, (std::vector<int>{0, 31}));
}

TEST(Protocol, StringsAreLengthPrefixedAndAnEmptyOneIsOneZeroWord)
{
    char name[] = "tx";
    char empty[] = "";
    wire::param_ref ref{};
    ref.name = name;
    ref.scope = empty;
    ref.level = 3;
    const auto bytes = encode(wire::xdr_param_ref, ref);
    ASSERT_TRUE(bytes);
    // name: length 2, "tx" padded to 4; scope: length 0 and no data; level.
    EXPECT_EQ(*bytes, (Bytes{0, 0, 0, 2, 't', 'x', 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}));
}

TEST(Protocol, ShortsAreSignExtendedAndUnsignedShortsZeroExtended)
{
    auto reply = zeroed<wire::tagop_reply>();
    reply->op_status = -2;
    const auto reply_bytes = encode(wire::xdr_tagop_reply, *reply);
    ASSERT_TRUE(reply_bytes);
    EXPECT_EQ(slice(*reply_bytes, 0, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));

    auto request = zeroed<wire::tagop_request>();
    request->op_status = 0xFFFE;
    const auto request_bytes = encode(wire::xdr_tagop_request, *request);
    ASSERT_TRUE(request_bytes);
    EXPECT_EQ(slice(*request_bytes, 0, 4), (Bytes{0x00, 0x00, 0xFF, 0xFE}));

    // The antenna count is a short too: a reader's -1 stays -1.
    Bytes antennas = be32({0xFFFFFFFFu});
    antennas.resize(196, 0);
    wire::antenna_list list{};
    ASSERT_TRUE(decode(wire::xdr_antenna_list, antennas, list));
    EXPECT_EQ(list.count, -1);
}

TEST(Protocol, EveryUnsignedCharElementTakesFourBytes)
{
    wire::proc57_args args{};
    args.byte1 = 0xAB;
    args.bytes_a[0] = 0xCD;
    const auto bytes = encode(wire::xdr_proc57_args, args);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->size(), (4 + 8 + 8 + 4) * 4u);
    EXPECT_EQ(slice(*bytes, 0, 4), (Bytes{0, 0, 0, 0xAB}));
    EXPECT_EQ(slice(*bytes, 16, 4), (Bytes{0, 0, 0, 0xCD}));

    EXPECT_EQ(encoded_size(wire::xdr_proc57_result, wire::proc57_result{}), (2 + 8 + 8 + 2) * 4u);
    EXPECT_EQ(encoded_size(wire::xdr_proc58_args, wire::proc58_args{}), (4 + 16) * 4u);
    EXPECT_EQ(encoded_size(wire::xdr_step_entry, wire::step_entry{}), 6 * 4u);
}

TEST(Protocol, OptionalDataIsAFlagWordFollowedByTheRecord)
{
    wire::search_extension extension{};
    const auto absent = encode(wire::xdr_search_extension, extension);
    ASSERT_TRUE(absent);
    EXPECT_EQ(absent->size(), (3 + 16 + 3) * 4 + 4u);
    EXPECT_EQ(slice(*absent, absent->size() - 4, 4), (Bytes{0, 0, 0, 0}));

    auto block = zeroed<wire::word_block>();
    block->block_word1 = 7;
    extension.block = block.get();
    const auto present = encode(wire::xdr_search_extension, extension);
    ASSERT_TRUE(present);
    EXPECT_EQ(present->size(), absent->size() + 8204u);
    EXPECT_EQ(slice(*present, absent->size() - 4, 8), (Bytes{0, 0, 0, 1, 0, 0, 0, 7}));

    wire::search_config config{};
    const std::size_t bare = encoded_size(wire::xdr_search_config, config);
    config.extension = &extension;
    EXPECT_EQ(encoded_size(wire::xdr_search_config, config), bare + present->size());
}

TEST(Protocol, SearchConfigSendsSixteenTermsPerGroup)
{
    wire::search_config config{};
    const std::size_t no_groups = encoded_size(wire::xdr_search_config, config);

    // term_count is informational: every group always carries 16 terms.
    wire::term_row row{};
    config.first_table.term_count = 1;
    config.first_table.groups.groups_len = 1;
    config.first_table.groups.groups_val = &row;
    EXPECT_EQ(encoded_size(wire::xdr_search_config, config), no_groups + 16 * 8u);

    for (auto& term : row.terms)
        term.kind = 4;
    EXPECT_EQ(encoded_size(wire::xdr_search_config, config), no_groups + 16 * 44u);

    wire::term_row rows[2]{};
    config.second_table.groups.groups_len = 2;
    config.second_table.groups.groups_val = rows;
    EXPECT_EQ(encoded_size(wire::xdr_search_config, config), no_groups + 16 * 44u + 2 * 16 * 8u);
}

// ---------------------------------------------------------------------------
// The procedure table

#define QD_PROC(num, name, Arg, arg_filter, Res, res_filter) num,
constexpr u_long procedure_numbers[] = {
#include "reader_procs.def"
};
#undef QD_PROC

static_assert(READER_RPC_PROG == 0x20000002);
static_assert(READER_RPC_VERS == 1);
static_assert(std::size(procedure_numbers) == 134);
static_assert(wire::procedure<&wire::get_hwid_1>::number == 62 && GET_HWID == 62);
static_assert(std::is_same_v<wire::procedure<&wire::get_hwid_1>::arg_type, int>);
static_assert(std::is_same_v<wire::procedure<&wire::get_hwid_1>::result_type, wire::hwid_result>);
static_assert(wire::procedure<&wire::get_connected_antennas_1>::number == 73);
static_assert(wire::procedure<&wire::get_supported_protocols_1>::number == 70);
static_assert(wire::procedure<&wire::tags_available_1>::number == 90);
static_assert(wire::procedure<&wire::proc_135_1>::number == 135);
static_assert(std::is_same_v<wire::procedure<&wire::setleds_1>::result_type, void>);
static_assert(std::is_same_v<wire::procedure<&wire::nop_1>::arg_type, void>);

TEST(Protocol, ProgramHasProceduresOneToOneHundredThirtyFiveExceptThirteen)
{
    std::set<u_long> numbers(std::begin(procedure_numbers), std::end(procedure_numbers));
    EXPECT_EQ(numbers.size(), std::size(procedure_numbers)) << "a number is used twice";
    EXPECT_EQ(numbers.count(13), 0u);
    std::set<u_long> expected;
    for (u_long n = 1; n <= 135; ++n)
        if (n != 13)
            expected.insert(n);
    EXPECT_EQ(numbers, expected);
}

}  // namespace
