// Helpers of the inventory, search configuration and tag memory tests: a
// fixture with one virtual reader and one open handle, views of the calls
// the reader received, decoders of their arguments, and field-by-field
// comparisons of what a caller passed with what reached the reader.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "qdapi.h"
#include "support.h"
#include "virtual_reader.h"
#include "wire.h"

namespace qdinv {

using qdtest::initial_queries;

// The calls of one procedure in the reader's log, in arrival order.
inline std::vector<qdsim::LoggedCall> calls_of(const qdsim::VirtualReader& reader, uint32_t proc)
{
    std::vector<qdsim::LoggedCall> out;
    for (auto& call : reader.calls())
        if (call.proc == proc)
            out.push_back(std::move(call));
    return out;
}

// The latest call of `proc`, or nothing.
inline std::optional<qdsim::LoggedCall> last_call(const qdsim::VirtualReader& reader, uint32_t proc)
{
    auto calls = calls_of(reader, proc);
    if (calls.empty())
        return std::nullopt;
    return calls.back();
}

// A bare XDR value of a logged argument (int, unsigned short, ...).
template <class T>
std::optional<T> decode_scalar(const qdsim::LoggedCall& call, bool_t (*filter)(XDR*, T*))
{
    T value{};
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(const_cast<uint8_t*>(call.arg.data())),
                  static_cast<u_int>(call.arg.size()), XDR_DECODE);
    const bool ok = filter(&x, &value) != 0;
    xdr_destroy(&x);
    if (!ok)
        return std::nullopt;
    return value;
}

inline xdrproc_t filter_of_search_config() { return reinterpret_cast<xdrproc_t>(wire::xdr_search_config); }
inline xdrproc_t filter_of_tagop_request() { return reinterpret_cast<xdrproc_t>(wire::xdr_tagop_request); }
inline xdrproc_t filter_of_search_params() { return reinterpret_cast<xdrproc_t>(wire::xdr_search_params); }

// One virtual reader at the test program's own address and one handle open
// on it (UDP unless the test switches use_tcp on before SetUp).
class ReaderTest : public ::testing::Test {
protected:
    explicit ReaderTest(std::string address) : address_(std::move(address)) {}

    void SetUp() override
    {
        reader_ = qdtest::start_reader(address_);
        handle_ = open_reader(address_.c_str());
        ASSERT_NE(handle_, nullptr) << "open_reader(" << address_ << ") failed, reader_errno "
                                    << reader_errno;
        reader_->clear_calls();
    }

    void TearDown() override
    {
        if (handle_)
            close_reader(handle_);
        handle_ = nullptr;
        extra_.close_all();
        reader_.reset();
    }

    // Makes the library drop its connection: one call that the reader
    // answers with an RPC error (tags_available is harmless to repeat).
    void drop_connection()
    {
        reader_->inject(TAGS_AVAILABLE, qdtest::error_reply(1));
        ASSERT_EQ(tags_available(handle_, 0), -1);
        reader_->clear_calls();
    }

    // The reader's log is exactly the initial queries of a new connection
    // followed by one call of `proc`.
    void expect_reconnect_then(uint32_t proc)
    {
        EXPECT_EQ(qdtest::procs(*reader_), qdtest::concat(initial_queries, {proc}));
    }

    std::vector<uint32_t> procs() const { return qdtest::procs(*reader_); }

    // A second handle on the same reader, connected over TCP; closed with
    // the fixture.
    reader_handle open_tcp_handle()
    {
        qdtest::TcpOn tcp;
        reader_handle h = open_reader(address_.c_str());
        if (h)
            extra_.add(h);
        return h;
    }

    std::string address_;
    std::unique_ptr<qdsim::VirtualReader> reader_;
    reader_handle handle_ = nullptr;
    qdtest::Handles extra_;
};

// A handle value that names no slot of the library's table.
inline reader_handle bogus_handle()
{
    static int not_a_slot[64];
    return reinterpret_cast<reader_handle>(&not_a_slot[1]);
}

// ---------------------------------------------------------------------------
// Search configurations: storage that a test fills and a search_config that
// points into it.

struct ConfigStorage {
    std::vector<std::vector<uint32_t>> value_list_values;
    std::vector<ulong_list> value_lists;
    std::vector<uint32_t> values2;
    std::vector<uint32_t> values3;
    std::vector<term_row> first_groups;
    std::vector<term_row> second_groups;
    std::vector<step_entry> steps;
    std::unique_ptr<search_extension> extension;
    std::unique_ptr<word_block> block;
    search_config config{};

    // Points the configuration's lists at the storage (call after filling).
    search_config& bind()
    {
        value_lists.resize(value_list_values.size());
        for (std::size_t i = 0; i < value_lists.size(); ++i) {
            value_lists[i].values.values_len = static_cast<uint32_t>(value_list_values[i].size());
            value_lists[i].values.values_val =
                value_list_values[i].empty() ? nullptr : value_list_values[i].data();
        }
        auto& l = config.lists;
        l.value_lists.value_lists_len = static_cast<uint32_t>(value_lists.size());
        l.value_lists.value_lists_val = value_lists.empty() ? nullptr : value_lists.data();
        l.values2.values2_len = static_cast<uint32_t>(values2.size());
        l.values2.values2_val = values2.empty() ? nullptr : values2.data();
        l.values3.values3_len = static_cast<uint32_t>(values3.size());
        l.values3.values3_val = values3.empty() ? nullptr : values3.data();
        config.first_table.groups.groups_len = static_cast<uint32_t>(first_groups.size());
        config.first_table.groups.groups_val = first_groups.empty() ? nullptr : first_groups.data();
        config.second_table.groups.groups_len = static_cast<uint32_t>(second_groups.size());
        config.second_table.groups.groups_val = second_groups.empty() ? nullptr : second_groups.data();
        config.steps.steps_len = static_cast<uint32_t>(steps.size());
        config.steps.steps_val = steps.empty() ? nullptr : steps.data();
        if (extension)
            extension->block = block.get();
        config.extension = extension.get();
        return config;
    }
};

// A term of any kind: a pattern for kind 4, a value otherwise.
inline search_term value_term(uint16_t kind, int32_t value)
{
    search_term t{};
    t.kind = kind;
    t.search_term_u.value = value;
    return t;
}

inline search_term pattern_term(uint16_t kind, uint16_t seed)
{
    search_term t{};
    t.kind = kind;
    auto& p = t.search_term_u.pattern;
    p.pattern_kind = static_cast<uint16_t>(seed + 1);
    p.pattern_value = static_cast<uint16_t>(seed + 2);
    p.pattern_extra = static_cast<uint16_t>(seed + 3);
    for (int i = 0; i < 7; ++i)
        p.pattern_words[i] = static_cast<uint16_t>(seed * 16 + i);
    return t;
}

// A configuration that uses every part of the record: three value lists
// (one empty), values2 and values3, two tables with several groups and
// mixed term kinds, option kind 5, limit kind 2, steps and an extension,
// with its word block when `with_block` (over 8 KiB encoded: too large for
// a UDP call).
inline void fill_rich_config(ConfigStorage& s, bool with_block = false)
{
    s.value_list_values = {{1, 0xFFFFFFFFu, 3}, {}, {0x80000000u}};
    s.values2 = {7, 8};
    s.values3 = {0xDEADBEEFu};

    auto& c = s.config;
    c.first_table.term_count = 3;
    c.first_table.term_kinds[0] = 4;
    c.first_table.term_kinds[1] = 1;
    c.first_table.term_kinds[2] = 9;
    for (int i = 3; i < 16; ++i)
        c.first_table.term_kinds[i] = static_cast<uint16_t>(20 + i);
    s.first_groups.resize(2);
    for (std::size_t g = 0; g < s.first_groups.size(); ++g) {
        auto& row = s.first_groups[g];
        row.terms[0] = pattern_term(0, static_cast<uint16_t>(10 + g));
        row.terms[1] = value_term(0, -static_cast<int32_t>(100 + g));
        row.terms[2] = value_term(0, static_cast<int32_t>(0x7FFF0000 + g));
        for (int t = 3; t < 16; ++t)
            row.terms[t] = value_term(static_cast<uint16_t>(t), static_cast<int32_t>(1000 * g + t));
    }

    c.second_table.term_count = 2;
    c.second_table.term_kinds[0] = 1;
    c.second_table.term_kinds[1] = 4;
    s.second_groups.resize(3);
    for (std::size_t g = 0; g < s.second_groups.size(); ++g) {
        auto& row = s.second_groups[g];
        row.terms[0] = value_term(0, static_cast<int32_t>(g * 3 + 1));
        row.terms[1] = pattern_term(0, static_cast<uint16_t>(200 + g));
        for (int t = 2; t < 16; ++t)
            row.terms[t] = value_term(2, static_cast<int32_t>(-t));
    }

    c.pattern.pattern_kind = 11;
    c.pattern.pattern_value = 12;
    c.pattern.pattern_extra = 13;
    for (int i = 0; i < 7; ++i)
        c.pattern.pattern_words[i] = static_cast<uint16_t>(0xA000 + i);
    c.setting1 = 21;
    c.setting2 = 22;
    c.option_kind = 5;
    c.setting4 = 24;
    c.limit_kind = 2;
    c.option.search_option_u.pair.first = 0xBEEF;
    c.option.search_option_u.pair.second = -1234;
    c.limit.search_limit_u.values = {0x1234, -5, 6, 0xFFFFFFFEu, 8};

    s.steps = {{1, 2, 3, 0xCAFEBABEu, 4, 5}, {255, 0, 128, 9, 0xFFFF, 0}};
    s.extension = std::make_unique<search_extension>();
    auto& e = *s.extension;
    e.ext_word1 = 31;
    e.ext_word2 = 32;
    e.ext_word3 = 33;
    for (int i = 0; i < 16; ++i)
        e.ext_id[i] = static_cast<uint16_t>(0x3000 + i);
    e.ext_value1 = 0xFFFFFFFFu;
    e.ext_value2 = 0;
    e.ext_value3 = 0x01020304u;
    if (!with_block) {
        s.bind();
        return;
    }
    s.block = std::make_unique<word_block>();
    s.block->block_word1 = 41;
    s.block->block_word2 = 42;
    s.block->block_word3 = 43;
    for (int i = 0; i < 2048; ++i)
        s.block->words[i] = static_cast<uint16_t>(i * 7 + 1);
    s.bind();
}

// ---------------------------------------------------------------------------
// Field-by-field comparisons of a caller's record (after the library ran)
// with the record the reader decoded.  The public and wire records have the
// same field names, so one template serves both.

template <class P, class W>
void expect_pattern_eq(const P& sent, const W& got, const std::string& where)
{
    EXPECT_EQ(got.pattern_kind, sent.pattern_kind) << where;
    EXPECT_EQ(got.pattern_value, sent.pattern_value) << where;
    EXPECT_EQ(got.pattern_extra, sent.pattern_extra) << where;
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(got.pattern_words[i], sent.pattern_words[i]) << where << " word " << i;
}

template <class P, class W>
void expect_term_eq(const P& sent, const W& got, const std::string& where)
{
    ASSERT_EQ(got.kind, sent.kind) << where;
    if (sent.kind == 4)
        expect_pattern_eq(sent.search_term_u.pattern, got.search_term_u.pattern, where);
    else
        EXPECT_EQ(got.search_term_u.value, sent.search_term_u.value) << where;
}

template <class P, class W>
void expect_table_eq(const P& sent, const W& got, const std::string& name)
{
    EXPECT_EQ(got.term_count, sent.term_count) << name;
    for (int t = 0; t < 16; ++t)
        EXPECT_EQ(got.term_kinds[t], sent.term_kinds[t]) << name << " term_kinds[" << t << "]";
    ASSERT_EQ(got.groups.groups_len, sent.groups.groups_len) << name;
    for (uint32_t g = 0; g < sent.groups.groups_len; ++g)
        for (int t = 0; t < 16; ++t)
            expect_term_eq(sent.groups.groups_val[g].terms[t], got.groups.groups_val[g].terms[t],
                           name + " group " + std::to_string(g) + " term " + std::to_string(t));
}

template <class P, class W>
void expect_option_eq(const P& sent, const W& got)
{
    ASSERT_EQ(got.kind, sent.kind) << "option.kind";
    const auto& s = sent.search_option_u;
    const auto& g = got.search_option_u;
    switch (sent.kind) {
    case 1:
    case 2:
    case 6:
        EXPECT_EQ(g.u_value, s.u_value);
        break;
    case 4:
        EXPECT_EQ(g.s_value, s.s_value);
        break;
    case 5:
        EXPECT_EQ(g.pair.first, s.pair.first);
        EXPECT_EQ(g.pair.second, s.pair.second);
        break;
    default:
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(g.longs[i], s.longs[i]) << "option longs " << i;
    }
}

template <class P, class W>
void expect_limit_eq(const P& sent, const W& got)
{
    ASSERT_EQ(got.kind, sent.kind) << "limit.kind";
    const auto& s = sent.search_limit_u;
    const auto& g = got.search_limit_u;
    if (sent.kind == 2) {
        EXPECT_EQ(g.values.limit_word, s.values.limit_word);
        EXPECT_EQ(g.values.limit_a, s.values.limit_a);
        EXPECT_EQ(g.values.limit_b, s.values.limit_b);
        EXPECT_EQ(g.values.limit_c, s.values.limit_c);
        EXPECT_EQ(g.values.limit_d, s.values.limit_d);
    } else {
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(g.longs[i], s.longs[i]) << "limit longs " << i;
    }
}

// Everything of a configuration, lists, tables, unions, steps and the
// optional extension, compared with what the reader decoded.
inline void expect_config_eq(const search_config& sent, const wire::search_config& got)
{
    const auto& sl = sent.lists;
    const auto& gl = got.lists;
    ASSERT_EQ(gl.value_lists.value_lists_len, sl.value_lists.value_lists_len);
    for (uint32_t i = 0; i < sl.value_lists.value_lists_len; ++i) {
        const auto& sv = sl.value_lists.value_lists_val[i].values;
        const auto& gv = gl.value_lists.value_lists_val[i].values;
        ASSERT_EQ(gv.values_len, sv.values_len) << "value list " << i;
        for (uint32_t k = 0; k < sv.values_len; ++k)
            EXPECT_EQ(gv.values_val[k], sv.values_val[k]) << "value list " << i << " entry " << k;
    }
    ASSERT_EQ(gl.values2.values2_len, sl.values2.values2_len);
    for (uint32_t k = 0; k < sl.values2.values2_len; ++k)
        EXPECT_EQ(gl.values2.values2_val[k], sl.values2.values2_val[k]) << "values2 " << k;
    ASSERT_EQ(gl.values3.values3_len, sl.values3.values3_len);
    for (uint32_t k = 0; k < sl.values3.values3_len; ++k)
        EXPECT_EQ(gl.values3.values3_val[k], sl.values3.values3_val[k]) << "values3 " << k;

    expect_table_eq(sent.first_table, got.first_table, "first_table");
    expect_table_eq(sent.second_table, got.second_table, "second_table");
    expect_pattern_eq(sent.pattern, got.pattern, "pattern");
    EXPECT_EQ(got.setting1, sent.setting1);
    EXPECT_EQ(got.setting2, sent.setting2);
    EXPECT_EQ(got.option_kind, sent.option_kind);
    EXPECT_EQ(got.setting4, sent.setting4);
    EXPECT_EQ(got.limit_kind, sent.limit_kind);
    expect_option_eq(sent.option, got.option);
    expect_limit_eq(sent.limit, got.limit);

    ASSERT_EQ(got.steps.steps_len, sent.steps.steps_len);
    for (uint32_t i = 0; i < sent.steps.steps_len; ++i) {
        const auto& s = sent.steps.steps_val[i];
        const auto& g = got.steps.steps_val[i];
        EXPECT_EQ(g.step_a, s.step_a) << "step " << i;
        EXPECT_EQ(g.step_b, s.step_b) << "step " << i;
        EXPECT_EQ(g.step_c, s.step_c) << "step " << i;
        EXPECT_EQ(g.step_value, s.step_value) << "step " << i;
        EXPECT_EQ(g.step_word1, s.step_word1) << "step " << i;
        EXPECT_EQ(g.step_word2, s.step_word2) << "step " << i;
    }

    ASSERT_EQ(got.extension != nullptr, sent.extension != nullptr) << "extension presence";
    if (!sent.extension)
        return;
    const auto& se = *sent.extension;
    const auto& ge = *got.extension;
    EXPECT_EQ(ge.ext_word1, se.ext_word1);
    EXPECT_EQ(ge.ext_word2, se.ext_word2);
    EXPECT_EQ(ge.ext_word3, se.ext_word3);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(ge.ext_id[i], se.ext_id[i]) << "ext_id " << i;
    EXPECT_EQ(ge.ext_value1, se.ext_value1);
    EXPECT_EQ(ge.ext_value2, se.ext_value2);
    EXPECT_EQ(ge.ext_value3, se.ext_value3);
    ASSERT_EQ(ge.block != nullptr, se.block != nullptr) << "block presence";
    if (!se.block)
        return;
    EXPECT_EQ(ge.block->block_word1, se.block->block_word1);
    EXPECT_EQ(ge.block->block_word2, se.block->block_word2);
    EXPECT_EQ(ge.block->block_word3, se.block->block_word3);
    EXPECT_EQ(std::memcmp(ge.block->words, se.block->words, sizeof se.block->words), 0)
        << "block words";
}

// ---------------------------------------------------------------------------
// Tag memory records.

// A record whose every byte is `fill`, then with recognisable fields.
inline tagop_record patterned_tagop(uint8_t fill = 0xAB)
{
    tagop_record r;
    std::memset(&r, fill, sizeof r);
    return r;
}

inline void expect_request_eq(const tagop_record& sent, const wire::tagop_request& got)
{
    EXPECT_EQ(got.op_status, static_cast<uint16_t>(sent.op_status));
    EXPECT_EQ(got.op_word1, sent.op_word1);
    EXPECT_EQ(got.id_bits, sent.id_bits);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(got.id[i], sent.id[i]) << "id " << i;
    EXPECT_EQ(got.op_word19, sent.op_word19);
    EXPECT_EQ(got.op_word20, sent.op_word20);
    EXPECT_EQ(got.data_bits, sent.data_bits);
    int differing = 0;
    for (int i = 0; i < 1024; ++i)
        differing += got.data[i] != sent.data[i];
    EXPECT_EQ(differing, 0) << "data words that did not reach the reader as sent";
}

// ---------------------------------------------------------------------------
// Tags: identities as a client sees them, and searches run to completion.

// A tag's identity: its length and its significant words (at most 16).
struct TagKey {
    uint16_t id_bits = 0;
    std::vector<uint16_t> words;
    auto operator<=>(const TagKey&) const = default;
};

inline std::size_t significant_words(unsigned id_bits)
{
    return id_bits == 0 ? 0 : (std::min(id_bits, 256u) - 1) / 16 + 1;
}

template <class Record>
TagKey key_of_record(const Record& r)
{
    return {r.id_bits, std::vector<uint16_t>(r.id, r.id + significant_words(r.id_bits))};
}

inline TagKey key_of_tag(const qdsim::Tag& t)
{
    std::vector<uint16_t> words(t.id.begin(), t.id.end());
    words.resize(significant_words(t.id_bits), 0);
    return {t.id_bits, words};
}

// The identities of the reader's live tags, each with how often it occurs.
inline std::map<TagKey, int> population(const qdsim::VirtualReader& reader)
{
    std::map<TagKey, int> out;
    for (const auto& t : reader.tags())
        if (!t.killed)
            ++out[key_of_tag(t)];
    return out;
}

// Polls operation_status until the search is neither waiting nor in
// progress; the distinct statuses seen, in order.
inline std::vector<int> poll_until_settled(reader_handle h, int id,
                                           std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    std::vector<int> seen;
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int status = operation_status(h, id);
        if (seen.empty() || seen.back() != status)
            seen.push_back(status);
        if (status != READER_OPERATION_WAITING_TO_RUN && status != READER_OPERATION_IN_PROGRESS)
            return seen;
        if (std::chrono::steady_clock::now() > until) {
            ADD_FAILURE() << "search " << id << " did not settle";
            return seen;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// True when `seen` (as poll_until_settled gives it) is a course a search may
// legally take: waiting, then in progress, then done, any of the first two
// missed by polls that came too late.  How much of it a poll sees depends on
// how busy the machine is, never on the library.
inline bool legal_progress(const std::vector<int>& seen)
{
    if (seen.empty() || seen.back() != READER_OPERATION_DONE)
        return false;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (seen[i] != READER_OPERATION_WAITING_TO_RUN && seen[i] != READER_OPERATION_IN_PROGRESS &&
            seen[i] != READER_OPERATION_DONE)
            return false;
        if (i > 0 && seen[i] >= seen[i - 1])
            return false;   // states only move on: -1, -2, -3
    }
    return true;
}

// A plain search run to completion; its identifier, or -1.
inline int run_search(reader_handle h)
{
    search_params params{};
    const int id = search_start(h, &params);
    if (id == -1) {
        ADD_FAILURE() << "search_start failed, reader_errno " << reader_errno;
        return -1;
    }
    const auto seen = poll_until_settled(h, id);
    if (seen.empty() || seen.back() != READER_OPERATION_DONE)
        ADD_FAILURE() << "search " << id << " ended with status " << (seen.empty() ? 0 : seen.back());
    return id;
}

// A tag with the given identity length; identity word i is base + i.
inline qdsim::Tag tag_with_identity(uint16_t id_bits, uint16_t base)
{
    qdsim::Tag t;
    t.id_bits = id_bits;
    t.id.resize((id_bits + 15u) / 16u);
    for (std::size_t i = 0; i < t.id.size(); ++i)
        t.id[i] = static_cast<uint16_t>(base + i);
    return t;
}

// A tagop_record that addresses `tag` (its first 16 identity words).
inline tagop_record addressing(const qdsim::Tag& tag)
{
    tagop_record r{};
    r.id_bits = tag.id_bits;
    for (std::size_t i = 0; i < 16 && i < tag.id.size(); ++i)
        r.id[i] = tag.id[i];
    return r;
}

}  // namespace qdinv
