// qdsim's tag field files and its numbers: what a developer writes is what
// the virtual reader serves, and a mistake names its line.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "daemon_options.h"
#include "field_file.h"

namespace {

std::vector<qdsim::Tag> parsed(const std::string& text, std::string& error)
{
    std::istringstream in(text);
    std::vector<qdsim::Tag> tags;
    EXPECT_TRUE(qdsim::parse_field(in, tags, error)) << error;
    return tags;
}

TEST(FieldFile, TagsCarryWhatTheirLinesSay)
{
    std::string error;
    const auto tags = parsed("# a scene\n\n3000ABCD/32 password=0000BEEF user=00010002 tid=E280\n"
                             "ABCD/12 word5=0x10 count2=010 value=4294967295  # trailing comment\n",
                             error);
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[0].id_bits, 32);
    EXPECT_EQ(tags[0].id, (std::vector<uint16_t>{0x3000, 0xABCD}));
    EXPECT_EQ(tags[0].password, 0xBEEFu);
    EXPECT_EQ(tags[0].memory[3], (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(tags[0].memory[2], (std::vector<uint16_t>{0xE280}));
    EXPECT_EQ(tags[1].id_bits, 12);
    EXPECT_EQ(tags[1].tag_word5, 0x10);
    EXPECT_EQ(tags[1].tag_count2, 10u) << "a leading 0 is decimal, not octal";
    EXPECT_EQ(tags[1].tag_value, 4294967295u);
}

TEST(FieldFile, AMistakeNamesItsLine)
{
    struct Case {
        const char* text;
        const char* error;
    };
    for (const Case& c : {Case{"3000\nXYZ\n", "line 2: bad identity 'XYZ'"},
                          Case{"3000 colour=red\n", "line 1: bad item 'colour=red'"},
                          Case{"3000 user=123\n", "line 1: bad item 'user=123'"},
                          Case{"3000 password=123456789\n", "line 1: bad item 'password=123456789'"},
                          Case{"3000 word1=65536\n", "line 1: bad item 'word1=65536'"},
                          Case{"3000 count1\n", "line 1: bad item 'count1'"}}) {
        std::istringstream in(c.text);
        std::vector<qdsim::Tag> tags;
        std::string error;
        EXPECT_FALSE(qdsim::parse_field(in, tags, error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
    std::vector<qdsim::Tag> tags;
    std::string error;
    EXPECT_FALSE(qdsim::load_field_file("/nonexistent/scene", tags, error));
    EXPECT_EQ(error, "cannot read /nonexistent/scene");
}

TEST(DaemonNumbers, DecimalOrHexadecimalNeverOctal)
{
    const char* argv[] = {"qdsim", "--antennas", "010", "--hwid0", "0x10", "--search-duration", "08"};
    qdsim::DaemonOptions options;
    std::string error;
    ASSERT_EQ(qdsim::parse_daemon_options(7, const_cast<char**>(argv), options, error), qdsim::ParseOutcome::run)
        << error;
    EXPECT_EQ(options.reader.hardware.antenna_count, 10);
    EXPECT_EQ(options.reader.hardware.hwid[0], 0x10u);
    EXPECT_EQ(options.reader.search_duration.count(), 8);
}

}  // namespace
