// The reader record that handle_to_reader hands out, read by C code through
// the public header: the host, the connection and the answers of the latest
// connection's initial queries.
#include <gtest/gtest.h>

#include <string>

#include "qdapi.h"
#include "support.h"

extern "C" {
int describe_record(reader_handle handle, char* out, size_t size);
const char* hwid_text(reader_handle handle, int slot);
}

namespace {

using namespace qdtest;

constexpr const char* host = "127.0.6.1";
constexpr uint32_t proc_tagdb_reset_db = 15;

std::string described(reader_handle h)
{
    char text[512];
    return describe_record(h, text, sizeof text) < 0 ? "unresolved" : text;
}

TEST(ReaderRecord, CarriesTheLatestConnectionsAnswers)
{
    qdsim::Options options;
    options.address = host;
    options.hardware.hwid[0] = 0x00010203;
    options.hardware.text[0] = "radio one";
    options.hardware.protocol_bits[0] = 0x1001;
    qdsim::VirtualReader reader(options);
    reader.start();

    reader_handle h = open_reader(host);
    ASSERT_NE(h, nullptr) << "reader_errno " << reader_errno;
    EXPECT_EQ(described(h),
              "host=127.0.6.1 remote=0 connected=1 hwid0=00010203:radio one hwid1=ffffffff: "
              "antennas=2:11 protocols=1001 searches=0 versions=000");
    const char* first_text = hwid_text(h, 0);

    // The reader comes back with other hardware: the next connection's
    // answers replace the copies, and the old text stays readable.
    qdsim::Hardware changed = options.hardware;
    changed.hwid[1] = 0x0A0B0C0D;
    changed.text[0] = "radio two";
    changed.text[1] = "second radio";
    changed.antenna_count = 1;
    changed.antenna_connected_mask = 0x0001;
    reader.set_hardware(changed);
    reader.inject(proc_tagdb_reset_db, error_reply(1));
    EXPECT_EQ(tagdb_reset_db(h), -1);
    reader_record* record = handle_to_reader(h);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(described(h),
              "host=127.0.6.1 remote=0 connected=1 hwid0=00010203:radio two hwid1=0a0b0c0d:second radio "
              "antennas=1:10 protocols=1001 searches=0 versions=000");
    EXPECT_STREQ(first_text, "radio one");

    // A dropped connection shows as a null client until the next operation.
    reader.inject(proc_tagdb_reset_db, error_reply(1));
    EXPECT_EQ(tagdb_reset_db(h), -1);
    EXPECT_EQ(record->client, nullptr);

    close_reader(h);
    EXPECT_EQ(described(h), "unresolved");
}

}  // namespace
