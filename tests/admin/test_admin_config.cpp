// The named settings: each accessor's conversion at its edges, in both
// directions, and the asymmetries callers rely on.  Virtual reader at
// 127.0.11.4.
#include <climits>
#include <functional>
#include <string>

#include "support.h"

namespace {

using namespace qdtest;

constexpr char host[] = "127.0.11.4";
constexpr int untouched = READER_ERROR_VERIFY_FAILURE;

class Config : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        reader_ = start_reader(host).release();
        handle_ = open_reader(host);
    }
    static void TearDownTestSuite()
    {
        close_reader(handle_);
        delete reader_;
    }
    void SetUp() override
    {
        ASSERT_NE(handle_, nullptr);
        reader_->clear_calls();
    }

    // The text of the one CONFIG_SET the reader received since SetUp.
    static std::pair<std::string, std::string> sent()
    {
        const auto calls = reader_->calls();
        if (calls.size() != 1 || calls[0].proc != CONFIG_SET)
            return {"(calls: " + std::to_string(calls.size()) + ")", ""};
        qdsim::Decoded<wire::name_value> nv(calls[0], reinterpret_cast<xdrproc_t>(wire::xdr_name_value));
        return {nv.ok() ? nv->name : "(undecodable)", nv.ok() ? nv->value : ""};
    }

    static qdsim::VirtualReader* reader_;
    static reader_handle handle_;
};

qdsim::VirtualReader* Config::reader_ = nullptr;
reader_handle Config::handle_ = nullptr;

struct Reading {
    const char* getter;
    std::function<int(reader_handle)> get;
    const char* setting;
    const char* text;   // what the reader holds
    int value;          // what the getter makes of it
};

TEST_F(Config, GettersConvertTheReadersText)
{
    const auto retry = [](reader_handle h) { return int{config_get_tagop_retry_timeout_ms(h)}; };
    const Reading cases[] = {
        // Base detection, low 16 bits kept.
        {"retry", retry, "tagopretrytimeoutms", "0x20", 32},
        {"retry", retry, "tagopretrytimeoutms", "0X1f", 31},
        {"retry", retry, "tagopretrytimeoutms", "010", 8},
        {"retry", retry, "tagopretrytimeoutms", "70000", 4464},
        {"retry", retry, "tagopretrytimeoutms", "  250ms", 250},
        {"retry", retry, "tagopretrytimeoutms", "-3", 65533},
        {"retry", retry, "tagopretrytimeoutms", "none", 0},
        // The leading number equal to 96.
        {"96-bit", config_get_EPC1_96_bit_support, "epc1idlen", "96", 1},
        {"96-bit", config_get_EPC1_96_bit_support, "epc1idlen", "96Only", 1},
        {"96-bit", config_get_EPC1_96_bit_support, "epc1idlen", " +96", 1},
        {"96-bit", config_get_EPC1_96_bit_support, "epc1idlen", "64", 0},
        {"96-bit", config_get_EPC1_96_bit_support, "epc1idlen", "0x60", 0},
        {"96-bit", config_get_EPC1_96_bit_support, "epc1idlen", "abc", 0},
        // atoi-style.
        {"depth", config_get_EPC0_search_depth, "epc0repeats", "-3", -3},
        {"depth", config_get_EPC0_search_depth, "epc0repeats", "12 rounds", 12},
        {"depth", config_get_EPC0_search_depth, "epc0repeats", "010", 10},
        {"depth", config_get_EPC0_search_depth, "epc0repeats", "", 0},
        {"depth", config_get_EPC0_search_depth, "epc0repeats", "99999999999999999999", -1},
        // "yes" in any case, the whole text.
        {"deghost", config_get_EPC0_deghost, "epc0_deghost", "yes", 1},
        {"deghost", config_get_EPC0_deghost, "epc0_deghost", "YeS", 1},
        {"deghost", config_get_EPC0_deghost, "epc0_deghost", "yes ", 0},
        {"deghost", config_get_EPC0_deghost, "epc0_deghost", "y", 0},
        {"deghost", config_get_EPC0_deghost, "epc0_deghost", "1", 0},
        {"epc1 deghost", config_get_EPC1_deghost, "epc1_deghost", "YES", 1},
        {"epc1 deghost", config_get_EPC1_deghost, "epc1_deghost", "no", 0},
        {"synch", config_get_synch_regulatory_timeout, "synch_regulatory_timeout", "yEs", 1},
        {"synch", config_get_synch_regulatory_timeout, "synch_regulatory_timeout", "10", 0},
        // Base detection, all 32 bits as an int.
        {"deghost len", config_get_EPC0_deghost_len, "epc0_deghost_len", "4294967295", -1},
        {"deghost len", config_get_EPC0_deghost_len, "epc0_deghost_len", "0x10", 16},
        {"deghost len", config_get_EPC0_deghost_len, "epc0_deghost_len", "017", 15},
        {"deghost len", config_get_EPC0_deghost_len, "epc0_deghost_len", "70000", 70000},
    };
    for (const Reading& c : cases) {
        SCOPED_TRACE(std::string(c.getter) + " of '" + c.text + "'");
        reader_->set_setting(c.setting, c.text);
        reader_errno = untouched;
        EXPECT_EQ(c.get(handle_), c.value);
        // A value that reads like a failure is not one.
        EXPECT_EQ(reader_errno, untouched);
    }
}

struct Writing {
    const char* call;
    std::function<int(reader_handle)> set;
    const char* setting;
    const char* text;   // what goes to the reader
};

TEST_F(Config, SettersFormatTheCallersValue)
{
    const Writing cases[] = {
        {"retry 70000", [](reader_handle h) { return config_set_tagop_retry_timeout_ms(h, 70000); },
         "tagopretrytimeoutms", "4464"},
        {"retry max", [](reader_handle h) { return config_set_tagop_retry_timeout_ms(h, 0xFFFFFFFFu); },
         "tagopretrytimeoutms", "65535"},
        {"96-bit 5", [](reader_handle h) { return config_set_EPC1_96_bit_support(h, 5); }, "epc1idlen", "96"},
        {"96-bit 0", [](reader_handle h) { return config_set_EPC1_96_bit_support(h, 0); }, "epc1idlen", "64"},
        {"depth -3", [](reader_handle h) { return config_set_EPC0_search_depth(h, -3); }, "epc0repeats", "-3"},
        {"depth min", [](reader_handle h) { return config_set_EPC0_search_depth(h, INT_MIN); }, "epc0repeats",
         "-2147483648"},
        {"deghost 5", [](reader_handle h) { return config_set_EPC0_deghost(h, 5); }, "epc0_deghost", "1"},
        {"deghost 0", [](reader_handle h) { return config_set_EPC0_deghost(h, 0); }, "epc0_deghost", "0"},
        {"epc1 deghost -1", [](reader_handle h) { return config_set_EPC1_deghost(h, -1); }, "epc1_deghost", "1"},
        {"deghost len max", [](reader_handle h) { return config_set_EPC0_deghost_len(h, 4294967295u); },
         "epc0_deghost_len", "4294967295"},
        {"synch -12", [](reader_handle h) { return config_set_synch_regulatory_timeout(h, -12); },
         "synch_regulatory_timeout", "-12"},
    };
    for (const Writing& c : cases) {
        SCOPED_TRACE(c.call);
        reader_->clear_calls();
        EXPECT_EQ(c.set(handle_), 0);
        EXPECT_EQ(sent(), std::make_pair(std::string(c.setting), std::string(c.text)));
    }
}

// The deghost setters write "1"; the getter wants "yes".  This reader keeps
// the flag settings as yes/no, so they go round; one that keeps "1" as it
// is reads back 0.
TEST_F(Config, FlagSettersAndGettersMeetOnlyThroughYes)
{
    ASSERT_EQ(config_set_EPC0_deghost(handle_, 5), 0);
    EXPECT_EQ(reader_->setting("epc0_deghost"), "yes");
    EXPECT_EQ(config_get_EPC0_deghost(handle_), 1);

    reader_->set_setting("epc0_deghost", "1");
    EXPECT_EQ(config_get_EPC0_deghost(handle_), 0);

    ASSERT_EQ(config_set_synch_regulatory_timeout(handle_, 0), 0);
    EXPECT_EQ(config_get_synch_regulatory_timeout(handle_), 0);
}

}  // namespace
