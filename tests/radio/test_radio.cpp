// The radio against a virtual reader at 127.0.10.2: what the power setters
// send and which slot or antenna they address, the refusals that make no
// call, set_tx_power over both slots, the protocol and antenna lists, the
// enable list that set_supported_protocols stores and the lists it
// refreshes.  What every operation's frame does is in test_frame_radio.cpp.
#include <cmath>
#include <functional>
#include <limits>

#include "support.h"

namespace {

using namespace qdtest;

constexpr int untouched = READER_ERROR_VERIFY_FAILURE;   // stored by no radio operation
constexpr uint32_t empty = 0xFFFFFFFFu, present = 0x00020001u;
constexpr float inf = std::numeric_limits<float>::infinity();

using Change = std::function<void(qdsim::Hardware&)>;

// {slot or antenna, value} of every call of `proc`: slot_value and
// antenna_value are both an unsigned short and a long on the wire.
std::vector<std::pair<unsigned, int>> sent(const qdsim::VirtualReader& reader, uint32_t proc)
{
    std::vector<std::pair<unsigned, int>> out;
    for (const auto& call : reader.calls())
        if (call.proc == proc) {
            qdsim::Decoded<wire::slot_value> v(call, reinterpret_cast<xdrproc_t>(wire::xdr_slot_value));
            out.emplace_back(v->slot, v->value);
        }
    return out;
}

std::string repeated(const std::string& text, int times)
{
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}

std::vector<int32_t> listed(const id_list& list, int n)
{
    return std::vector<int32_t>(list + 1, list + 1 + std::max(n, 0));
}

template <class Param = int>
class Radio : public testing::TestWithParam<Param> {
protected:
    void SetUp() override
    {
        reader_ = start_reader("127.0.10.2");
        handle_ = open_reader("127.0.10.2");
        ASSERT_NE(handle_, nullptr);
        reader_->clear_calls();
    }
    void TearDown() override { close_reader(handle_); }

    // Makes the reader report changed hardware and the library take it in.
    void use(const Change& change)
    {
        qdsim::Hardware hw;
        change(hw);
        reader_->set_hardware(hw);
        drop_connection(*reader_, handle_);
        ASSERT_NE(handle_to_reader(handle_), nullptr);
        reader_->clear_calls();
    }

    std::unique_ptr<qdsim::VirtualReader> reader_;
    reader_handle handle_ = nullptr;
};

template <class Row>
std::string row_name(const testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

// ---------------------------------------------------------------------------
// Power: clamped to 0..33, sent in hundredths truncated, the clamped power
// returned; the same for the three setters.

struct Setter {
    const char* name;
    double (*call)(reader_handle, float);
    uint32_t proc;
};
const Setter setters[] = {
    {"slot", [](reader_handle h, float p) { return set_slot_tx_power(h, p, 0); }, SET_SLOT_TX_POWER},
    {"antenna", [](reader_handle h, float p) { return set_antenna_tx_power(h, p, 0); }, SET_ANTENNA_TX_POWER},
    {"both_slots", [](reader_handle h, float p) { return set_tx_power(h, p); }, SET_SLOT_TX_POWER},
};

struct PowerCase {
    const char* name;
    float power;
    int hundredths;
    double returned;
};
const PowerCase power_cases[] = {
    {"below_zero", -5.0f, 0, 0.0},          {"float_20_3", 20.3f, 2029, static_cast<double>(20.3f)},
    {"top", 33.0f, 3300, 33.0},             {"above_top", 40.0f, 3300, 33.0},
    {"infinity", inf, 3300, 33.0},          {"minus_infinity", -inf, 0, 0.0},
    {"nan", std::nanf(""), 0, 0.0},
};

using Clamping = Radio<std::tuple<Setter, PowerCase>>;
TEST_P(Clamping, SendsTruncatedHundredths)
{
    const auto& [setter, c] = GetParam();
    reader_errno = untouched;
    EXPECT_EQ(setter.call(handle_, c.power), c.returned);
    EXPECT_EQ(reader_errno, untouched);
    EXPECT_EQ(sent(*reader_, setter.proc), (std::vector<std::pair<unsigned, int>>{{0, c.hundredths}}));
}
INSTANTIATE_TEST_SUITE_P(Power, Clamping, testing::Combine(testing::ValuesIn(setters), testing::ValuesIn(power_cases)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

// One call each: the slot (above 0: 1) or antenna (clamped to 0..7) that it
// addresses, the refusals that make no call, set_tx_power over both slots
// (slot 0 first, an empty one skipped, stopping at the first failure).

using Sent = std::vector<std::pair<unsigned, int>>;   // of the row's procedure

struct Case {
    const char* name;
    Change hardware;
    double (*call)(reader_handle);
    double result;
    int reason;          // reader_errno afterwards
    uint32_t proc;
    Sent sent;
    const char* trace;   // among the trace's lines
    bool first_call_fails = false;
};

const Change both_slots_eight_antennas = [](qdsim::Hardware& hw) {
    hw.hwid[1] = present, hw.antenna_count = 8, hw.antenna_connected_mask = 0x00FF;
};
const Change only_slot_1 = [](qdsim::Hardware& hw) { hw.hwid[0] = empty, hw.hwid[1] = present; };
const char* const invalid_antenna = "set_antenna_tx_power: invalid antenna number\n";

const Case cases[] = {
    {"get_slot_5", both_slots_eight_antennas, [](reader_handle h) { return get_slot_tx_power(h, 5); }, 20.0,
     untouched, GET_SLOT_TX_POWER, {{1, 0}}, "get_slot_tx_power got a valid number\n"},
    {"set_slot_minus_3", both_slots_eight_antennas, [](reader_handle h) { return set_slot_tx_power(h, 1, -3); }, 1.0,
     untouched, SET_SLOT_TX_POWER, {{0, 100}}, "set_slot_tx_power got a valid number\n"},
    {"set_slot_largest", both_slots_eight_antennas, [](reader_handle h) { return set_slot_tx_power(h, 1, 32767); },
     1.0, untouched, SET_SLOT_TX_POWER, {{1, 100}}, ""},
    {"get_antenna_12", both_slots_eight_antennas, [](reader_handle h) { return get_antenna_tx_power(h, 12); }, 20.0,
     untouched, GET_ANTENNA_TX_POWER, {{7, 0}}, "get_antenna_tx_power got a valid number\n"},
    {"get_antenna_minus_1", both_slots_eight_antennas, [](reader_handle h) { return get_antenna_tx_power(h, -1); },
     20.0, untouched, GET_ANTENNA_TX_POWER, {{0, 0}}, ""},
    {"set_antenna_9", both_slots_eight_antennas, [](reader_handle h) { return set_antenna_tx_power(h, 1, 9); }, 1.0,
     untouched, SET_ANTENNA_TX_POWER, {{7, 100}}, "set_antenna_tx_power got a valid number\n"},
    {"set_antenna_smallest", both_slots_eight_antennas,
     [](reader_handle h) { return set_antenna_tx_power(h, 1, -32768); }, 1.0, untouched, SET_ANTENNA_TX_POWER,
     {{0, 100}}, ""},
    {"antenna_9_when_7_is_missing", [](qdsim::Hardware& hw) { hw.antenna_count = 8, hw.antenna_connected_mask = 0x7F; },
     [](reader_handle h) { return set_antenna_tx_power(h, 1, 9); }, -1.0, READER_ERROR_INVALID_ANTENNA,
     SET_ANTENNA_TX_POWER, {}, invalid_antenna},
    {"antenna_past_the_count", [](qdsim::Hardware& hw) { hw.antenna_count = 2, hw.antenna_connected_mask = 0x0F; },
     [](reader_handle h) { return set_antenna_tx_power(h, 1, 3); }, -1.0, READER_ERROR_INVALID_ANTENNA,
     SET_ANTENNA_TX_POWER, {}, invalid_antenna},
    {"empty_slot", [](qdsim::Hardware&) {}, [](reader_handle h) { return set_slot_tx_power(h, 1, 5); }, -1.0,
     READER_ERROR_REMOTE, SET_SLOT_TX_POWER, {}, "set_slot_tx_power got a null ptr\n"},
    {"both_slots_empty", [](qdsim::Hardware& hw) { hw.hwid[0] = empty; },
     [](reader_handle h) { return set_tx_power(h, 1); }, -1.0, READER_ERROR_REMOTE, SET_SLOT_TX_POWER, {},
     "set_tx_power got a null ptr\n"},
    {"set_tx_power_slot_1_only", only_slot_1, [](reader_handle h) { return set_tx_power(h, 1); }, 1.0, untouched,
     SET_SLOT_TX_POWER, {{1, 100}}, "set_tx_power got a valid number\n"},
    {"set_tx_power_both", both_slots_eight_antennas, [](reader_handle h) { return set_tx_power(h, 1); }, 1.0,
     untouched, SET_SLOT_TX_POWER, {{0, 100}, {1, 100}}, ""},
    {"set_tx_power_slot_0_fails", both_slots_eight_antennas, [](reader_handle h) { return set_tx_power(h, 1); },
     -1.0, READER_ERROR_REMOTE, SET_SLOT_TX_POWER, {{0, 100}}, "RPC call to set_tx_power failed", true},
};

using Calls = Radio<Case>;
TEST_P(Calls, AddressAndRefuse)
{
    const Case& c = GetParam();
    use(c.hardware);
    if (c.first_call_fails)
        reader_->inject(c.proc, error_reply(1));
    double result = 0;
    TraceOn trace;
    reader_errno = untouched;
    const std::string text = stderr_of([&] { result = c.call(handle_); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(reader_errno, c.reason);
    EXPECT_NE(text.find(c.trace), std::string::npos) << text;
    EXPECT_EQ(sent(*reader_, c.proc), c.sent);
    EXPECT_EQ(reader_->calls().size(), c.sent.size()) << "no other call";
}
INSTANTIATE_TEST_SUITE_P(Power, Calls, testing::ValuesIn(cases), row_name<Case>);

// ---------------------------------------------------------------------------
// The lists of the connection: protocols from the 256-bit array, antennas
// below the count.

struct ListCase {
    const char* name;
    Change hardware;
    int (*call)(reader_handle, int32_t*);
    std::vector<int32_t> ids;
};
const ListCase lists[] = {
    {"bits_1_and_12", [](qdsim::Hardware& hw) { hw.protocol_bits[0] = 0x1002; }, get_supported_protocols, {1, 12}},
    {"bit_16_and_255",
     [](qdsim::Hardware& hw) { hw.protocol_bits[0] = 0, hw.protocol_bits[1] = 1, hw.protocol_bits[15] = 0x8000; },
     get_supported_protocols, {16, 255}},
    {"the_lowest_16_of_more",
     [](qdsim::Hardware& hw) { hw.protocol_bits[0] = 0xFFF0, hw.protocol_bits[1] = 0x00FF, hw.protocol_bits[9] = 1; },
     get_supported_protocols, {4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}},
    {"antennas_0_and_2_of_4", [](qdsim::Hardware& hw) { hw.antenna_count = 4, hw.antenna_connected_mask = 0x5; },
     get_connected_antennas, {0, 2}},
    {"antenna_count_above_16", [](qdsim::Hardware& hw) { hw.antenna_count = 40, hw.antenna_connected_mask = 0x8001; },
     get_connected_antennas, {0, 15}},
};

using Lists = Radio<ListCase>;
TEST_P(Lists, ListsInAscendingOrder)
{
    use(GetParam().hardware);
    id_list list;
    std::fill(std::begin(list), std::end(list), 99);
    const int n = GetParam().call(handle_, list);
    EXPECT_EQ(listed(list, n), GetParam().ids);
    if (n < 16) {   // past the count: protocols leave the caller's, antennas write 0
        EXPECT_EQ(list[n + 1], GetParam().call == get_supported_protocols ? 99 : 0);
    }
    EXPECT_TRUE(reader_->calls().empty());
}
INSTANTIATE_TEST_SUITE_P(Radio, Lists, testing::ValuesIn(lists), row_name<ListCase>);

// ---------------------------------------------------------------------------
// set_supported_protocols: "ID:0xVALUE " per entry, cut at 127 characters,
// stored with flag 1, then the initial queries again.

struct EnableText {
    const char* name;
    std::vector<protocol_enable_entry> entries;
    int count;   // -1: as many as entries
    std::string text;
};
const auto widest = std::vector<protocol_enable_entry>(10, {65535, 0xFFFF});
const EnableText enable_texts[] = {
    {"none", {}, 0, ""},
    {"in_the_callers_order", {{12, 1}, {1, 0}}, -1, "12:0x01 1:0x00 "},
    {"upper_case_hex", {{255, 0xABCD}, {7, 0x1f}}, -1, "255:0xABCD 7:0x1F "},
    // Ten entries of 13 characters; a count of 40 reads nothing past them.
    {"cut_at_127_before_a_count_past_the_array", widest, 40, repeated("65535:0xFFFF ", 10).substr(0, 127)},
    {"negative_count", {{12, 1}}, -5, ""},
    // A count past any reader's list is cut as any count is, never read as
    // "no list" (which the reader takes for every protocol).
    {"huge_count_cut_as_any", widest, 1 << 30, repeated("65535:0xFFFF ", 10).substr(0, 127)},
};

using EnableList = Radio<EnableText>;
TEST_P(EnableList, StoresTheTextAndRefreshesTheLists)
{
    const EnableText& c = GetParam();
    // On the heap and exactly as long, so that the address sanitizer sees a
    // read past it.
    auto entries = std::make_unique<protocol_enable_entry[]>(std::max<std::size_t>(c.entries.size(), 1));
    std::copy(c.entries.begin(), c.entries.end(), entries.get());
    EXPECT_EQ(set_supported_protocols(handle_, c.count == -1 ? static_cast<int>(c.entries.size()) : c.count,
                                      entries.get(), nullptr),
              0);
    ASSERT_EQ(procs(*reader_), concat({PARAMS_SET}, initial_queries));
    qdsim::Decoded<wire::param_assign> set(reader_->calls()[0], reinterpret_cast<xdrproc_t>(wire::xdr_param_assign));
    EXPECT_STREQ(set->name, "protocol_enable_list");
    EXPECT_EQ(set->value, c.text);
    EXPECT_EQ(set->flag, 1);
}
INSTANTIATE_TEST_SUITE_P(Protocols, EnableList, testing::ValuesIn(enable_texts), row_name<EnableText>);

using Protocols = Radio<>;
TEST_F(Protocols, EnablingAProtocolListsIt)
{
    const protocol_enable_entry entries[] = {{12, 1}, {0, 0}, {99, 1}};   // 99: not in the hardware
    id_list list{};
    EXPECT_EQ(set_supported_protocols(handle_, 3, entries, list), 1);
    EXPECT_EQ(list[1], 12);
    drop_connection(*reader_, handle_);
    EXPECT_EQ(get_supported_protocols(handle_, list), 1) << "the next connection";
    EXPECT_EQ(set_supported_protocols(handle_, 0, nullptr, list), 1) << "the empty list: the hardware's own";
    EXPECT_EQ(list[1], 0);
}

TEST_F(Protocols, FailuresRefreshNothing)
{
    const protocol_enable_entry entry{12, 1};
    id_list list{};
    for (const uint32_t failing : {PARAMS_SET, GET_SUPPORTED_PROTOCOLS}) {
        SCOPED_TRACE(failing);
        ASSERT_NE(handle_to_reader(handle_), nullptr);
        reader_->clear_calls();
        reader_->inject(failing, error_reply(1));
        reader_errno = untouched;
        EXPECT_EQ(set_supported_protocols(handle_, 1, &entry, list), -1);
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
        EXPECT_EQ(procs(*reader_), failing == PARAMS_SET ? std::vector<uint32_t>{PARAMS_SET}
                                                         : concat({PARAMS_SET}, initial_queries));
        EXPECT_EQ(list[0], 0);
    }
}

// ---------------------------------------------------------------------------
// Bad input and what the virtual reader answers.

TEST_F(Protocols, MissingPointersMakeNoCall)
{
    reader_errno = untouched;
    get_max_reader_power(handle_, nullptr);
    get_region(handle_, nullptr);
    EXPECT_EQ(get_rfState(handle_, nullptr), -1);
    EXPECT_EQ(reader_errno, untouched);
    EXPECT_EQ(set_supported_protocols(handle_, 2, nullptr, nullptr), -1);
    EXPECT_EQ(reader_errno, READER_ERROR_INVALID_ARGUMENTS);
    EXPECT_TRUE(reader_->calls().empty());
}

TEST_F(Protocols, TheReaderAnswersWhatWasSetAndWhatItsSearchUses)
{
    use([](qdsim::Hardware& hw) { hw.antenna_count = 4, hw.antenna_connected_mask = 0xC; });
    EXPECT_EQ(set_slot_tx_power(handle_, 20.3f, 0), static_cast<double>(20.3f));
    EXPECT_EQ(get_slot_tx_power(handle_, 0), 20.29);
    EXPECT_EQ(set_antenna_tx_power(handle_, 12.5f, 2), 12.5);
    reader_->set_search_duration(std::chrono::hours(1));
    search_params params{};
    const int id = search_start(handle_, &params);
    ASSERT_EQ(operation_status(handle_, id), READER_OPERATION_WAITING_TO_RUN);   // it runs from now
    uint16_t antenna = 0;
    EXPECT_EQ(get_current_tx_power(handle_, &antenna), 12.5);
    EXPECT_EQ(antenna, 2);
    uint32_t state = 0;
    EXPECT_EQ(get_rfState(handle_, &state), 1);
    EXPECT_NE(state, 0u);
    ASSERT_EQ(detailed_read_stop(handle_, id), id);
    EXPECT_EQ(get_rfState(handle_, &state), 1);
    EXPECT_EQ(state, 0u);
}

}  // namespace
