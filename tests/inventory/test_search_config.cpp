// Searches described by a full configuration: what detailed_read_start and
// zr_search_configure put on the wire (the caller's record with the term,
// limit and option kinds copied in), what they refuse to send, the fixed
// configuration conveyor_read_start builds, and the stop and control calls
// (the frame they share is the frame suite's).  Virtual reader at 127.0.0.62.
#include <climits>
#include <cstring>
#include <functional>

#include "inventory_support.h"

namespace {

using qdinv::ConfigStorage;
using qdinv::ReaderTest;
using qdtest::expect_in_order;
using qdtest::stderr_of;
using qdtest::TraceOn;

const char* const host = "127.0.0.62";

class SearchConfig : public ReaderTest {
protected:
    SearchConfig() : ReaderTest(host) {}

    // The configuration of the latest call of `proc`, decoded.
    std::unique_ptr<qdsim::Decoded<wire::search_config>> sent(uint32_t proc)
    {
        const auto call = qdinv::last_call(*reader_, proc);
        if (!call) {
            ADD_FAILURE() << "no call of procedure " << proc;
            return nullptr;
        }
        auto decoded =
            std::make_unique<qdsim::Decoded<wire::search_config>>(*call, qdinv::filter_of_search_config());
        if (!decoded->ok()) {
            ADD_FAILURE() << "the configuration does not decode";
            return nullptr;
        }
        return decoded;
    }
};

// ---------------------------------------------------------------------------
// detailed_read_start and zr_search_configure: the configuration sent, with
// the kinds copied in.

class ConfigSenders : public SearchConfig,
                      public ::testing::WithParamInterface<std::pair<const char*, uint32_t>> {
protected:
    int send(search_config* config, reader_handle h = nullptr)
    {
        if (!h)
            h = handle_;
        return GetParam().second == DETAILED_READ_START ? detailed_read_start(h, config)
                                                        : zr_search_configure(h, config);
    }
    void expect_rich_config_sent(reader_handle h, bool with_block);
    uint32_t proc() const { return GetParam().second; }
    // The value that says "not sent because of the configuration".
    bool refused(int rc) const
    {
        return proc() == DETAILED_READ_START ? rc == -1 : (rc == -2 || rc == -3);
    }
};

TEST_P(ConfigSenders, SendEveryPartOfTheConfigurationWithTheKindsCopiedIn)
{
    // Over UDP without the extension's word block, over TCP with it.
    for (const bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp, with word block" : "udp, without word block");
        const reader_handle h = tcp ? open_tcp_handle() : handle_;
        ASSERT_NE(h, nullptr);
        reader_->clear_calls();
        expect_rich_config_sent(h, tcp);
    }
}

void ConfigSenders::expect_rich_config_sent(reader_handle h, bool with_block)
{
    ConfigStorage s;
    qdinv::fill_rich_config(s, with_block);
    search_config& c = s.config;
    c.option.kind = 77;   // overwritten by option_kind
    c.limit.kind = 78;    // overwritten by limit_kind
    c.first_table.term_count = 3;
    ASSERT_FALSE(refused(send(&c, h)));

    // The caller's structure holds the copied kinds.
    for (std::size_t g = 0; g < s.first_groups.size(); ++g) {
        EXPECT_EQ(s.first_groups[g].terms[0].kind, 4) << g;
        EXPECT_EQ(s.first_groups[g].terms[1].kind, 1) << g;
        EXPECT_EQ(s.first_groups[g].terms[2].kind, 9) << g;
        for (int t = 3; t < 16; ++t)
            EXPECT_EQ(s.first_groups[g].terms[t].kind, t) << "term past term_count, group " << g;
        EXPECT_EQ(s.first_groups[g].terms[1].search_term_u.value, -static_cast<int32_t>(100 + g))
            << "only the kind is written";
    }
    for (std::size_t g = 0; g < s.second_groups.size(); ++g) {
        EXPECT_EQ(s.second_groups[g].terms[0].kind, 1) << g;
        EXPECT_EQ(s.second_groups[g].terms[1].kind, 4) << g;
        EXPECT_EQ(s.second_groups[g].terms[1].search_term_u.pattern.pattern_words[6], (200 + g) * 16 + 6);
        for (int t = 2; t < 16; ++t)
            EXPECT_EQ(s.second_groups[g].terms[t].kind, 2) << "term past term_count, group " << g;
    }
    EXPECT_EQ(c.option.kind, 5);
    EXPECT_EQ(c.limit.kind, 2);
    EXPECT_EQ(c.first_table.term_count, 3);
    EXPECT_EQ(c.first_table.term_kinds[0], 4);

    // The reader got exactly that structure.
    auto got = sent(proc());
    ASSERT_TRUE(got);
    qdinv::expect_config_eq(c, **got);
    EXPECT_EQ((*got)->first_table.groups.groups_val[1].terms[0].kind, 4);
    EXPECT_EQ((*got)->second_table.groups.groups_val[2].terms[15].kind, 2);
    ASSERT_NE((*got)->extension, nullptr);
    if (with_block) {
        ASSERT_NE((*got)->extension->block, nullptr);
        EXPECT_EQ((*got)->extension->block->words[2047], static_cast<uint16_t>(2047 * 7 + 1));
    } else {
        EXPECT_EQ((*got)->extension->block, nullptr);
    }
}

TEST_P(ConfigSenders, TermCountZeroLeavesEveryTermKindAsTheCallerSetIt)
{
    ConfigStorage s;
    s.config.first_table.term_count = 0;
    s.config.second_table.term_count = 0;
    for (int t = 0; t < 16; ++t) {
        s.config.first_table.term_kinds[t] = 4;
        s.config.second_table.term_kinds[t] = 4;
    }
    s.first_groups.resize(1);
    s.second_groups.resize(2);
    for (int t = 0; t < 16; ++t) {
        s.first_groups[0].terms[t] = qdinv::value_term(static_cast<uint16_t>(t + 1), t);
        s.second_groups[0].terms[t] = qdinv::value_term(static_cast<uint16_t>(t + 2), -t);
        s.second_groups[1].terms[t] = qdinv::value_term(0, 1000 + t);
    }
    s.config.option_kind = 6;
    s.config.option.search_option_u.u_value = 0xFFFF;
    s.config.limit_kind = 0;
    s.config.limit.kind = 2;
    for (int i = 0; i < 8; ++i)
        s.config.limit.search_limit_u.longs[i] = -i;
    ASSERT_FALSE(refused(send(&s.bind())));

    for (int t = 0; t < 16; ++t) {
        EXPECT_EQ(s.first_groups[0].terms[t].kind, t + 1);
        EXPECT_EQ(s.second_groups[0].terms[t].kind, t + 2);
        EXPECT_EQ(s.second_groups[1].terms[t].kind, 0);
    }
    EXPECT_EQ(s.config.option.kind, 6) << "option_kind is copied whatever the term counts";
    EXPECT_EQ(s.config.limit.kind, 0) << "limit_kind is copied whatever the term counts";
    auto got = sent(proc());
    ASSERT_TRUE(got);
    qdinv::expect_config_eq(s.config, **got);
}

TEST_P(ConfigSenders, TermCountAboveSixteenTouchesNoTermPastTheSixteenth)
{
    // Groups in exactly sized heap blocks: a write past the sixteenth term of
    // the last group leaves the block (the address sanitizer build sees it);
    // a write past the sixteenth term of an earlier group lands in the next
    // group's first terms (checked below).
    constexpr uint32_t groups = 3;
    std::unique_ptr<term_row[]> first(new term_row[groups]);
    std::unique_ptr<term_row[]> second(new term_row[groups]);
    for (uint32_t g = 0; g < groups; ++g)
        for (int t = 0; t < 16; ++t) {
            first[g].terms[t] = qdinv::value_term(0, static_cast<int32_t>(g * 100 + t));
            second[g].terms[t] = qdinv::value_term(0, static_cast<int32_t>(g * 100 + t));
        }
    search_config c{};
    c.first_table.term_count = 40;
    c.second_table.term_count = 17;
    for (int t = 0; t < 16; ++t) {
        c.first_table.term_kinds[t] = static_cast<uint16_t>(t == 4 ? 5 : t + 1);
        c.second_table.term_kinds[t] = static_cast<uint16_t>(t == 4 ? 6 : 16 - t);
    }
    c.first_table.groups.groups_len = groups;
    c.first_table.groups.groups_val = first.get();
    c.second_table.groups.groups_len = groups;
    c.second_table.groups.groups_val = second.get();
    const search_config before = c;
    send(&c);

    for (uint32_t g = 0; g < groups; ++g)
        for (int t = 0; t < 16; ++t) {
            EXPECT_EQ(first[g].terms[t].kind, c.first_table.term_kinds[t]) << "group " << g << " term " << t;
            EXPECT_EQ(second[g].terms[t].kind, c.second_table.term_kinds[t]) << "group " << g << " term " << t;
            EXPECT_EQ(first[g].terms[t].search_term_u.value, static_cast<int32_t>(g * 100 + t));
            EXPECT_EQ(second[g].terms[t].search_term_u.value, static_cast<int32_t>(g * 100 + t));
        }
    EXPECT_EQ(std::memcmp(&c.first_table, &before.first_table, sizeof c.first_table), 0)
        << "the table itself (count, kinds, list) is not changed";
    EXPECT_EQ(std::memcmp(&c.second_table, &before.second_table, sizeof c.second_table), 0);
}

TEST_P(ConfigSenders, NullConfigurationMakesNoCall)
{
    EXPECT_EQ(send(nullptr), proc() == DETAILED_READ_START ? -1 : -3);
    EXPECT_TRUE(procs().empty());
}

// Every variable list whose count is not zero needs its elements.
TEST_P(ConfigSenders, ListWithACountButNoElementsIsRefusedWithoutACall)
{
    const std::vector<std::pair<const char*, std::function<void(search_config&)>>> breakages = {
        {"value_lists", [](search_config& c) { c.lists.value_lists.value_lists_val = nullptr; }},
        {"values of a value list",
         [](search_config& c) { c.lists.value_lists.value_lists_val[1].values.values_val = nullptr; }},
        {"values2", [](search_config& c) { c.lists.values2.values2_val = nullptr; }},
        {"values3", [](search_config& c) { c.lists.values3.values3_val = nullptr; }},
        {"first_table groups", [](search_config& c) { c.first_table.groups.groups_val = nullptr; }},
        {"second_table groups", [](search_config& c) { c.second_table.groups.groups_val = nullptr; }},
        {"steps", [](search_config& c) { c.steps.steps_val = nullptr; }},
        {"steps (3, none)",
         [](search_config& c) {
             c.steps.steps_len = 3;
             c.steps.steps_val = nullptr;
         }},
    };
    for (const auto& [name, breakage] : breakages) {
        ConfigStorage s;
        qdinv::fill_rich_config(s);
        s.value_list_values[1] = {5, 6};
        s.bind();
        breakage(s.config);
        reader_->clear_calls();
        reader_errno = 0;
        const int rc = send(&s.config);
        EXPECT_TRUE(refused(rc)) << name << ": " << rc;
        EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS) << name;
        EXPECT_TRUE(procs().empty()) << name;
    }
}

TEST_P(ConfigSenders, ConfigurationTooLargeForADatagramFailsOverUdp)
{
    // 200 groups of 16 value terms: 25600 bytes of terms alone, far beyond a
    // UDP call's 8800.
    ConfigStorage s;
    s.config.second_table.term_count = 16;
    for (int t = 0; t < 16; ++t)
        s.config.second_table.term_kinds[t] = 1;
    s.second_groups.resize(200);
    reader_errno = 0;
    const int rc = send(&s.bind());
    EXPECT_EQ(rc, proc() == DETAILED_READ_START ? -1 : -2);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(qdinv::calls_of(*reader_, proc()).size(), 0u) << "nothing reached the reader";

    // The handle is usable again afterwards (a small configuration).
    ConfigStorage small;
    small.second_groups.resize(1);
    EXPECT_FALSE(refused(send(&small.bind())));
    expect_reconnect_then(proc());
}

INSTANTIATE_TEST_SUITE_P(Senders, ConfigSenders,
                         ::testing::Values(std::pair<const char*, uint32_t>{"detailed_read_start",
                                                                             DETAILED_READ_START},
                                           std::pair<const char*, uint32_t>{"zr_search_configure",
                                                                             ZR_SEARCH_CONFIGURE}),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(SearchConfigTcp, ConfigurationTooLargeForADatagramTravelsOverTcp)
{
    auto reader = qdtest::start_reader(host);
    qdtest::TcpOn tcp;
    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr);
    for (const uint32_t proc : {uint32_t{DETAILED_READ_START}, uint32_t{ZR_SEARCH_CONFIGURE}}) {
        ConfigStorage s;
        s.config.second_table.term_count = 16;
        for (int t = 0; t < 16; ++t)
            s.config.second_table.term_kinds[t] = static_cast<uint16_t>(t == 3 ? 4 : 1);
        s.second_groups.resize(200);
        for (std::size_t g = 0; g < s.second_groups.size(); ++g)
            for (int t = 0; t < 16; ++t)
                s.second_groups[g].terms[t] = t == 3 ? qdinv::pattern_term(0, static_cast<uint16_t>(g))
                                                     : qdinv::value_term(0, static_cast<int32_t>(g * 16 + t));
        reader_errno = READER_ERROR_REMOTE;
        const int rc = proc == DETAILED_READ_START ? detailed_read_start(h, &s.bind())
                                                   : zr_search_configure(h, &s.bind());
        EXPECT_GE(rc, 0) << proc;
        EXPECT_EQ(reader_errno, READER_SUCCESSFUL);
        const auto call = qdinv::last_call(*reader, proc);
        ASSERT_TRUE(call);
        EXPECT_EQ(call->transport, qdsim::Transport::tcp);
        qdsim::Decoded<wire::search_config> got(*call, qdinv::filter_of_search_config());
        ASSERT_TRUE(got.ok());
        qdinv::expect_config_eq(s.config, *got);
    }
    close_reader(h);
}

// ---------------------------------------------------------------------------
// detailed_read_start's and detailed_read_stop's results and trace.

TEST_F(SearchConfig, DetailedReadStartTracesTheCallAndTheIdentifierItReturns)
{
    ConfigStorage s;
    s.first_groups.resize(1);
    int id = -1;
    std::string err;
    {
        TraceOn trace;
        err = stderr_of([&] { id = detailed_read_start(handle_, &s.bind()); });
    }
    ASSERT_NE(id, -1);
    expect_in_order(err, {"Calling detailed_read_start\n", "start search uid=" + std::to_string(id) + "\n"});
}

TEST_F(SearchConfig, StopSendsTheIdentifiersLow16BitsAndTracesTheReadersAnswer)
{
    const std::vector<std::pair<int, uint16_t>> cases = {
        {7, 7}, {0x10007, 7}, {-1, 0xFFFF}, {0x8000, 0x8000}, {INT_MIN, 0}};
    for (const auto& [sent, wire_id] : cases) {
        const int id = sent;   // a plain variable, for the lambda below
        for (const bool conveyor : {false, true}) {
            reader_->clear_calls();
            reader_errno = READER_ERROR_REMOTE;
            int answer = -1;
            std::string err;
            {
                TraceOn trace;
                err = stderr_of([&] { answer = conveyor ? conveyor_read_stop(handle_, id)
                                                        : detailed_read_stop(handle_, id); });
            }
            EXPECT_EQ(reader_errno, READER_SUCCESSFUL);
            expect_in_order(err, {"Calling detailed_read_stop\n", "stop search uid=" + std::to_string(answer) + "\n"});
            const auto call = qdinv::last_call(*reader_, DETAILED_READ_STOP);
            ASSERT_TRUE(call);
            const auto sent = qdinv::decode_scalar<u_short>(*call, xdr_u_short);
            ASSERT_TRUE(sent);
            EXPECT_EQ(*sent, wire_id) << "identifier " << id;
            EXPECT_EQ(procs(), std::vector<uint32_t>{DETAILED_READ_STOP});
        }
    }
}

// ---------------------------------------------------------------------------
// zr_search_configure and the three control calls.

TEST_F(SearchConfig, ZrOperationsTraceTheirStatus)
{
    ConfigStorage s;
    s.second_groups.resize(1);
    const std::vector<std::pair<const char*, std::function<int()>>> ops = {
        {"zr_search_configure", [&] { return zr_search_configure(handle_, &s.bind()); }},
        {"zr_search_start", [&] { return zr_search_start(handle_); }},
        {"zr_search_stop", [&] { return zr_search_stop(handle_); }},
        {"zr_search_verify", [&] { return zr_search_verify(handle_); }},
    };
    for (const auto& op : ops) {
        const auto& name = op.first;
        const auto& call = op.second;
        int status = -1;
        std::string err;
        {
            TraceOn trace;
            err = stderr_of([&] { status = call(); });
        }
        EXPECT_NE(err.find("status = " + std::to_string(status) + "\n"), std::string::npos) << name << err;
    }
    EXPECT_EQ(procs(), (std::vector<uint32_t>{ZR_SEARCH_CONFIGURE, ZR_SEARCH_START, ZR_SEARCH_STOP,
                                              ZR_SEARCH_VERIFY}));
}

// ---------------------------------------------------------------------------
// conveyor_read_start: the configuration it builds.

// Checks everything of a conveyor configuration that does not depend on
// the caller's values.
void expect_conveyor_frame(const wire::search_config& c)
{
    ASSERT_EQ(c.lists.values2.values2_len, 1u);
    EXPECT_EQ(c.lists.values2.values2_val[0], 0u);
    EXPECT_EQ(c.lists.values3.values3_len, 0u);

    const auto& first = c.first_table;
    EXPECT_EQ(first.term_count, 1);
    EXPECT_EQ(first.term_kinds[0], 4);
    for (int t = 1; t < 16; ++t)
        EXPECT_EQ(first.term_kinds[t], 0) << t;
    ASSERT_EQ(first.groups.groups_len, 1u);
    const auto& term0 = first.groups.groups_val[0].terms[0];
    ASSERT_EQ(term0.kind, 4);
    EXPECT_EQ(term0.search_term_u.pattern.pattern_kind, 4);
    EXPECT_EQ(term0.search_term_u.pattern.pattern_value, 100);
    EXPECT_EQ(term0.search_term_u.pattern.pattern_extra, 2);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(term0.search_term_u.pattern.pattern_words[i], 0) << i;
    for (int t = 1; t < 16; ++t) {
        EXPECT_EQ(first.groups.groups_val[0].terms[t].kind, 0) << t;
        EXPECT_EQ(first.groups.groups_val[0].terms[t].search_term_u.value, 0) << t;
    }

    EXPECT_EQ(c.second_table.term_kinds[0], 1);
    for (int t = 1; t < 16; ++t)
        EXPECT_EQ(c.second_table.term_kinds[t], 0) << t;

    EXPECT_EQ(c.pattern.pattern_kind, 0);
    EXPECT_EQ(c.pattern.pattern_value, 0);
    EXPECT_EQ(c.pattern.pattern_extra, 0);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(c.pattern.pattern_words[i], 0);
    EXPECT_EQ(c.setting1, 2);
    EXPECT_EQ(c.setting2, 2);
    EXPECT_EQ(c.option_kind, 0);
    EXPECT_EQ(c.setting4, 3);
    EXPECT_EQ(c.limit_kind, 3);
    EXPECT_EQ(c.option.kind, 0);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(c.option.search_option_u.longs[i], 0);
    EXPECT_EQ(c.limit.kind, 3);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(c.limit.search_limit_u.longs[i], 0);
    EXPECT_EQ(c.steps.steps_len, 0u);
    EXPECT_EQ(c.extension, nullptr);
}

TEST_F(SearchConfig, ConveyorBuildsTheFixedConfigurationAroundTheCallersValues)
{
    search_params p{};
    p.a_count = 3;
    p.a_values[0] = 0xFFFF;
    p.a_values[1] = 1;
    p.a_values[2] = 0x8000;
    p.a_values[3] = 0x1234;   // past a_count: not sent
    p.b_count = 2;
    p.b_values[0] = 0xFFFF;
    p.b_values[1] = 7;
    p.b_values[2] = 9;
    p.span = 4321;
    const search_params before = p;
    reader_errno = READER_ERROR_REMOTE;
    EXPECT_NE(conveyor_read_start(handle_, &p), -1);
    EXPECT_EQ(reader_errno, READER_SUCCESSFUL);
    EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0) << "counts within 16 are left as they are";
    EXPECT_EQ(procs(), std::vector<uint32_t>{DETAILED_READ_START});

    auto got = sent(DETAILED_READ_START);
    ASSERT_TRUE(got);
    const wire::search_config& c = **got;
    expect_conveyor_frame(c);

    ASSERT_EQ(c.lists.value_lists.value_lists_len, 1u);
    const auto& b = c.lists.value_lists.value_lists_val[0].values;
    ASSERT_EQ(b.values_len, 2u);
    EXPECT_EQ(b.values_val[0], 65535u) << "b_values are widened without sign";
    EXPECT_EQ(b.values_val[1], 7u);

    EXPECT_EQ(c.second_table.term_count, 1);
    ASSERT_EQ(c.second_table.groups.groups_len, 3u);
    const int32_t expected[3] = {65535, 1, 32768};
    for (int j = 0; j < 3; ++j) {
        const auto& row = c.second_table.groups.groups_val[j];
        ASSERT_EQ(row.terms[0].kind, 1) << j;
        EXPECT_EQ(row.terms[0].search_term_u.value, expected[j]) << "a_values are widened without sign";
        for (int t = 1; t < 16; ++t) {
            EXPECT_EQ(row.terms[t].kind, 0) << j << "/" << t;
            EXPECT_EQ(row.terms[t].search_term_u.value, 0) << j << "/" << t;
        }
    }
}

TEST_F(SearchConfig, ConveyorClampsTheCountsToSixteenInTheCallersParameters)
{
    search_params p{};
    p.a_count = 20;
    p.b_count = 0;
    for (int i = 0; i < 16; ++i)
        p.a_values[i] = static_cast<uint16_t>(100 + i);
    EXPECT_NE(conveyor_read_start(handle_, &p), -1);
    EXPECT_EQ(p.a_count, 16);
    EXPECT_EQ(p.b_count, 0);
    auto got = sent(DETAILED_READ_START);
    ASSERT_TRUE(got);
    expect_conveyor_frame(**got);
    EXPECT_EQ((*got)->lists.value_lists.value_lists_len, 0u) << "no list for b_count 0";
    ASSERT_EQ((*got)->second_table.groups.groups_len, 16u);
    for (int j = 0; j < 16; ++j)
        EXPECT_EQ((*got)->second_table.groups.groups_val[j].terms[0].search_term_u.value, 100 + j);

    search_params q{};
    q.a_count = 1;
    q.b_count = 0xFFFF;
    for (int i = 0; i < 16; ++i)
        q.b_values[i] = static_cast<uint16_t>(0xFFF0 + i);
    reader_->clear_calls();
    EXPECT_NE(conveyor_read_start(handle_, &q), -1);
    EXPECT_EQ(q.b_count, 16);
    EXPECT_EQ(q.a_count, 1);
    got = sent(DETAILED_READ_START);
    ASSERT_TRUE(got);
    ASSERT_EQ((*got)->lists.value_lists.value_lists_len, 1u);
    const auto& b = (*got)->lists.value_lists.value_lists_val[0].values;
    ASSERT_EQ(b.values_len, 16u);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(b.values_val[i], 0xFFF0u + i);
}

TEST_F(SearchConfig, ConveyorWithoutAValuesSendsNoSecondTableGroupsButTheFirstTablesPattern)
{
    search_params p{};
    p.a_count = 0;
    p.a_values[0] = 55;
    p.b_count = 1;
    p.b_values[0] = 3;
    EXPECT_NE(conveyor_read_start(handle_, &p), -1);
    auto got = sent(DETAILED_READ_START);
    ASSERT_TRUE(got);
    expect_conveyor_frame(**got);
    EXPECT_EQ((*got)->second_table.term_count, 0);
    EXPECT_EQ((*got)->second_table.groups.groups_len, 0u);
}

TEST_F(SearchConfig, ConveyorWithoutHandleOrParametersDoesNothing)
{
    search_params p{};
    p.a_count = 20;
    p.b_count = 30;
    reader_errno = 4444;
    EXPECT_EQ(conveyor_read_start(nullptr, &p), -1);
    EXPECT_EQ(p.a_count, 20) << "nothing is clamped without a handle";
    EXPECT_EQ(p.b_count, 30);
    EXPECT_EQ(reader_errno, 4444);
    EXPECT_EQ(conveyor_read_start(handle_, nullptr), -1);
    EXPECT_EQ(reader_errno, 4444);
    EXPECT_TRUE(procs().empty());
}

}  // namespace
