// Tag memory operations against tags in the virtual reader's field: words
// written are read back, tagdata_read copies back exactly the reply's
// op_word19, op_word20, data_bits and ceil(data_bits/16) data words (at most
// 1024) and nothing else, a refused read leaves the record byte for byte as
// it was, and the shared worker relays the reader's status in reader_errno
// without writing anything.  The request words' meaning (area, first word,
// count, password) is the virtual reader's, from tag_memory.h.
// Virtual reader at 127.0.0.64.
#include <climits>
#include <cstring>
#include <functional>

#include "inventory_support.h"
#include "tag_memory.h"

namespace {

namespace tagmem = qdsim::tagmem;
using qdinv::addressing;

const char* const host = "127.0.0.64";

class TagMemory : public qdinv::ReaderTest {
protected:
    TagMemory() : ReaderTest(host) {}

    void SetUp() override
    {
        ReaderTest::SetUp();
        reader_->add_tag(tag96);
        reader_->add_tag(tag300);
        reader_->add_tag(tag16);
    }

    void TearDown() override
    {
        if (reader_)
            reader_->force_tagop({});
        ReaderTest::TearDown();
    }

    // Writes `words` into `area` of `tag` from word `first`; the result.
    int write_words(const qdsim::Tag& tag, uint16_t area, uint16_t first, const std::vector<uint16_t>& words)
    {
        tagop_record r = addressing(tag);
        r.op_word1 = area;
        r.op_word19 = first;
        r.data_bits = static_cast<uint16_t>(16 * words.size());
        std::copy(words.begin(), words.end(), r.data);
        return tagdata_write(handle_, &r);
    }

    // A read request for `count` words of `area` from `first`, the rest of
    // the record a pattern.
    tagop_record read_request(const qdsim::Tag& tag, uint16_t area, uint16_t first, uint16_t count)
    {
        tagop_record r = qdinv::patterned_tagop(0xAB);
        r.op_status = 0x1357;
        r.id_bits = tag.id_bits;
        std::memset(r.id, 0xAB, sizeof r.id);
        for (std::size_t i = 0; i < 16 && i < tag.id.size(); ++i)
            r.id[i] = tag.id[i];
        r.op_word1 = area;
        r.op_word19 = first;
        r.op_word20 = count;
        r.data_bits = 0x2468;
        return r;
    }

    const qdsim::Tag tag96 = qdinv::tag_with_identity(96, 0x1000);
    const qdsim::Tag tag300 = qdinv::tag_with_identity(300, 0x3000);
    const qdsim::Tag tag16 = qdinv::tag_with_identity(16, 0x1600);
};

std::vector<uint16_t> ramp(std::size_t n, uint16_t base)
{
    std::vector<uint16_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint16_t>(base + i * 3);
    return v;
}

// ---------------------------------------------------------------------------
// Writes and reads.

TEST_F(TagMemory, WordsWrittenAreReadBack)
{
    struct Case {
        const qdsim::Tag* tag;
        uint16_t area, first;
        std::size_t count;
    };
    const Case cases[] = {
        {&tag96, tagmem::area_user, 10, 5},
        {&tag96, tagmem::area_reserved, 0, 1},
        {&tag300, tagmem::area_tid, 1000, 24},
        {&tag16, tagmem::area_identity, 1, 1023},   // word 0 reads back the identity
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("area " + std::to_string(c.area) + " first " + std::to_string(c.first) + " count " +
                     std::to_string(c.count));
        const auto words = ramp(c.count, static_cast<uint16_t>(0x9000 + c.area));
        reader_errno = -1;
        ASSERT_EQ(write_words(*c.tag, c.area, c.first, words), 0);
        EXPECT_EQ(reader_errno, 0);

        tagop_record r = read_request(*c.tag, c.area, c.first, static_cast<uint16_t>(c.count));
        const tagop_record before = r;
        reader_errno = -1;
        ASSERT_EQ(tagdata_read(handle_, &r), 0);
        EXPECT_EQ(reader_errno, 0);
        EXPECT_EQ(r.data_bits, 16 * c.count);
        for (std::size_t i = 0; i < c.count; ++i)
            EXPECT_EQ(r.data[i], words[i]) << "word " << i;
        for (std::size_t i = c.count; i < 1024; ++i)
            EXPECT_EQ(r.data[i], 0xABAB) << "word past the data read, " << i;
        // The reader echoes op_word19 and op_word20; the rest is the caller's.
        EXPECT_EQ(r.op_word19, c.first);
        EXPECT_EQ(r.op_word20, c.count);
        EXPECT_EQ(r.op_status, before.op_status);
        EXPECT_EQ(r.op_word1, before.op_word1);
        EXPECT_EQ(r.id_bits, before.id_bits);
        EXPECT_EQ(std::memcmp(r.id, before.id, sizeof r.id), 0);
    }
}

// ---------------------------------------------------------------------------
// tagdata_read's copy-back, with the reply's data_bits forced.

struct CopyBack {
    uint16_t data_bits;
    std::size_t words;
};

TEST_F(TagMemory, ReadCopiesBackCeilDataBitsOver16WordsAtMost1024)
{
    const auto memory = ramp(1024, 0x0101);
    ASSERT_EQ(write_words(tag96, tagmem::area_user, 0, memory), 0);
    for (const CopyBack c : {CopyBack{0, 0}, CopyBack{1, 1}, CopyBack{15, 1}, CopyBack{16, 1}, CopyBack{17, 2},
                             CopyBack{255, 16}, CopyBack{16383, 1024}, CopyBack{16384, 1024},
                             CopyBack{16385, 1024}, CopyBack{65535, 1024}}) {
        SCOPED_TRACE("reply data_bits " + std::to_string(c.data_bits));
        reader_->force_tagop({std::nullopt, c.data_bits});
        tagop_record r = read_request(tag96, tagmem::area_user, 0, 1024);
        const tagop_record before = r;
        reader_errno = -1;
        ASSERT_EQ(tagdata_read(handle_, &r), 0);
        EXPECT_EQ(reader_errno, 0);
        EXPECT_EQ(r.data_bits, c.data_bits);
        std::size_t copied = 0, kept = 0;
        for (std::size_t i = 0; i < 1024; ++i) {
            if (i < c.words)
                copied += r.data[i] == memory[i];
            else
                kept += r.data[i] == before.data[i];
        }
        EXPECT_EQ(copied, c.words) << "words copied from the reply";
        EXPECT_EQ(kept, 1024 - c.words) << "words past ceil(data_bits/16) keep the caller's values";
        EXPECT_EQ(r.op_status, before.op_status);
        EXPECT_EQ(r.op_word1, before.op_word1);
        EXPECT_EQ(r.id_bits, before.id_bits);
        EXPECT_EQ(std::memcmp(r.id, before.id, sizeof r.id), 0);
    }
}

TEST_F(TagMemory, ReadCopiesBackTheReadersWords19And20)
{
    ASSERT_EQ(write_words(tag96, tagmem::area_user, 0, ramp(4, 1)), 0);
    reader_->force_tagop({std::nullopt, std::nullopt, uint16_t{0xBEEF}, uint16_t{0x1234}});
    tagop_record r = read_request(tag96, tagmem::area_user, 0, 4);
    ASSERT_EQ(tagdata_read(handle_, &r), 0);
    EXPECT_EQ(r.op_word19, 0xBEEF);
    EXPECT_EQ(r.op_word20, 0x1234);

    // A refused read copies neither.
    reader_->force_tagop({int16_t{-103}, std::nullopt, uint16_t{0x1111}, uint16_t{0x2222}});
    tagop_record refused = read_request(tag96, tagmem::area_user, 0, 4);
    ASSERT_EQ(tagdata_read(handle_, &refused), READER_ERROR_REMOTE);
    EXPECT_NE(refused.op_word19, 0x1111);
    EXPECT_NE(refused.op_word20, 0x2222);
}

// ---------------------------------------------------------------------------
// Refusals.

TEST_F(TagMemory, RefusedReadLeavesTheRecordUnchanged)
{
    ASSERT_EQ(write_words(tag96, tagmem::area_user, 0, ramp(8, 1)), 0);

    // No such tag in the field (the reader's no-response status).
    qdsim::Tag absent = qdinv::tag_with_identity(96, 0x5555);
    tagop_record r = read_request(absent, tagmem::area_user, 0, 8);
    tagop_record before = r;
    reader_errno = 0;
    EXPECT_EQ(tagdata_read(handle_, &r), READER_ERROR_REMOTE);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE) << "a refusal reports -102, not the reader's status";
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);

    // A range the tag does not have.
    r = read_request(tag96, tagmem::area_user, 1000, 100);
    before = r;
    EXPECT_EQ(tagdata_read(handle_, &r), READER_ERROR_REMOTE);
    EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);

    // Any status but 0, even with data in the reply.
    for (const int16_t status : {int16_t{-5}, int16_t{1}, int16_t{-103}, int16_t{-32768}, int16_t{32767}}) {
        reader_->force_tagop({status, uint16_t{128}});
        r = read_request(tag96, tagmem::area_user, 0, 8);
        before = r;
        reader_errno = 0;
        EXPECT_EQ(tagdata_read(handle_, &r), READER_ERROR_REMOTE) << status;
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE) << status;
        EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0) << status;
    }
}

// ---------------------------------------------------------------------------
// The shared worker relays the reader's status.

struct Worker {
    const char* name;
    int (*call)(reader_handle, const tagop_record*);
};

const Worker workers[] = {
    {"tagid_write", tagid_write}, {"tagid_lock", tagid_lock},       {"tag_kill", tag_kill},
    {"tag_passwd", tag_passwd},   {"tagdata_write", tagdata_write}, {"tagdata_lock", tagdata_lock},
};

TEST_F(TagMemory, SharedWorkerStoresTheReadersStatusAndWritesNothing)
{
    struct Case {
        int16_t status;
        int result;
    };
    for (const Case c : {Case{-5, -102}, Case{0, 0}, Case{7, -102}, Case{-32768, -102}, Case{-108, -102}}) {
        reader_->force_tagop({c.status, std::nullopt});
        for (const Worker& w : workers) {
            tagop_record r = read_request(tag96, tagmem::area_user, 0, 4);
            const tagop_record before = r;
            reader_errno = 12345;
            EXPECT_EQ(w.call(handle_, &r), c.result) << w.name << " status " << c.status;
            EXPECT_EQ(reader_errno, c.status) << w.name << ": the status, sign-extended";
            EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0) << w.name;
        }
    }
}

TEST_F(TagMemory, SharedWorkerRelaysTheStatusOfWhatTheReaderDid)
{
    // A tag that is not there does not respond.
    tagop_record absent = addressing(qdinv::tag_with_identity(96, 0x4242));
    EXPECT_EQ(tag_kill(handle_, &absent), READER_ERROR_REMOTE);
    EXPECT_EQ(reader_errno, tagmem::status_no_response);

    // New password 0x12345678 (old password 0).
    tagop_record passwd = addressing(tag96);
    passwd.data_bits = 32;
    passwd.data[0] = 0x1234;
    passwd.data[1] = 0x5678;
    EXPECT_EQ(tag_passwd(handle_, &passwd), 0);
    EXPECT_EQ(reader_errno, 0);
    EXPECT_EQ(reader_->tags()[0].password, 0x12345678u);

    // A lock with the wrong password is refused; with the right one it holds.
    tagop_record lock = addressing(tag96);
    lock.op_word1 = tagmem::area_user;
    lock.op_word19 = 0x1234;
    lock.op_word20 = 0x0000;
    EXPECT_EQ(tagdata_lock(handle_, &lock), READER_ERROR_REMOTE);
    EXPECT_EQ(reader_errno, tagmem::status_verify_failure);
    lock.op_word20 = 0x5678;
    EXPECT_EQ(tagdata_lock(handle_, &lock), 0);
    EXPECT_EQ(reader_errno, 0);
    EXPECT_EQ(write_words(tag96, tagmem::area_user, 0, {1, 2}), READER_ERROR_REMOTE);
    EXPECT_EQ(reader_errno, tagmem::status_unable_to_comply);
    EXPECT_EQ(write_words(tag96, tagmem::area_tid, 0, {1, 2}), 0) << "other areas are not locked";

    // A new identity readdresses the tag.
    tagop_record id_write = addressing(tag300);
    id_write.data_bits = 32;
    id_write.data[0] = 0xCAFE;
    id_write.data[1] = 0xF00D;
    EXPECT_EQ(tagid_write(handle_, &id_write), 0);
    qdsim::Tag renamed;
    renamed.id_bits = 32;
    renamed.id = {0xCAFE, 0xF00D};
    EXPECT_EQ(write_words(renamed, tagmem::area_user, 3, {77}), 0);
    EXPECT_EQ(write_words(tag300, tagmem::area_user, 3, {77}), READER_ERROR_REMOTE);
    EXPECT_EQ(reader_errno, tagmem::status_no_response);

    // A killed tag no longer responds.
    tagop_record kill = addressing(tag16);
    EXPECT_EQ(tag_kill(handle_, &kill), 0);
    tagop_record read = read_request(tag16, tagmem::area_user, 0, 1);
    const tagop_record before = read;
    EXPECT_EQ(tagdata_read(handle_, &read), READER_ERROR_REMOTE);
    EXPECT_EQ(std::memcmp(&read, &before, sizeof read), 0);
}

}  // namespace
