// The public records that the library hands to the reader unchanged have the
// memory layout of the generated wire records: the library's build proves it
// at compile time (layout.h, included here as well); the run-time test shows
// one such record going through the generated filter as it is.
#include <gtest/gtest.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "layout.h"
#include "procedure_traits.h"
#include "qdapi.h"

namespace {

// A public configuration with every list, union and optional part in use
// encodes through the generated filter as it is and decodes back to the same
// values.
TEST(Layout, PublicSearchConfigTravelsThroughTheWireFilter)
{
    uint32_t inner[] = {11, 12, 13};
    ulong_list lists[2] = {};
    lists[0].values.values_len = 3;
    lists[0].values.values_val = inner;
    uint32_t values2[] = {21};
    uint32_t values3[] = {31, 32};
    term_row rows[2] = {};
    rows[1].terms[15].kind = 4;
    rows[1].terms[15].search_term_u.pattern.pattern_words[6] = 0x7777;
    rows[0].terms[3].kind = 1;
    rows[0].terms[3].search_term_u.value = -9;
    step_entry steps[1] = {{1, 2, 3, 0xDEADBEEF, 4, 5}};
    static word_block block;
    block.words[2047] = 0x5A5A;
    search_extension extension{};
    extension.ext_id[15] = 0x1234;
    extension.ext_value3 = 99;
    extension.block = &block;

    search_config config{};
    config.lists.value_lists.value_lists_len = 2;
    config.lists.value_lists.value_lists_val = lists;
    config.lists.values2.values2_len = 1;
    config.lists.values2.values2_val = values2;
    config.lists.values3.values3_len = 2;
    config.lists.values3.values3_val = values3;
    config.first_table.term_count = 16;
    config.first_table.groups.groups_len = 2;
    config.first_table.groups.groups_val = rows;
    config.pattern.pattern_words[0] = 0x4242;
    config.setting4 = 44;
    config.option.kind = 5;
    config.option.search_option_u.pair = {7, -7};
    config.limit.kind = 2;
    config.limit.search_limit_u.values.limit_d = 0xCAFEF00D;
    config.steps.steps_len = 1;
    config.steps.steps_val = steps;
    config.extension = &extension;

    std::vector<char> buffer(64 * 1024);
    XDR x;
    xdrmem_create(&x, buffer.data(), static_cast<u_int>(buffer.size()), XDR_ENCODE);
    ASSERT_TRUE(wire::xdr_search_config(&x, reinterpret_cast<wire::search_config*>(&config)));
    const u_int length = xdr_getpos(&x);
    xdr_destroy(&x);

    wire::search_config back{};
    xdrmem_create(&x, buffer.data(), length, XDR_DECODE);
    ASSERT_TRUE(wire::xdr_search_config(&x, &back));
    xdr_destroy(&x);

    ASSERT_EQ(back.lists.value_lists.value_lists_len, 2u);
    ASSERT_EQ(back.lists.value_lists.value_lists_val[0].values.values_len, 3u);
    EXPECT_EQ(back.lists.value_lists.value_lists_val[0].values.values_val[2], 13u);
    EXPECT_EQ(back.lists.value_lists.value_lists_val[1].values.values_len, 0u);
    ASSERT_EQ(back.lists.values3.values3_len, 2u);
    EXPECT_EQ(back.lists.values3.values3_val[1], 32u);
    ASSERT_EQ(back.first_table.groups.groups_len, 2u);
    EXPECT_EQ(back.first_table.groups.groups_val[0].terms[3].search_term_u.value, -9);
    EXPECT_EQ(back.first_table.groups.groups_val[1].terms[15].search_term_u.pattern.pattern_words[6],
              0x7777);
    EXPECT_EQ(back.pattern.pattern_words[0], 0x4242);
    EXPECT_EQ(back.setting4, 44);
    EXPECT_EQ(back.option.search_option_u.pair.second, -7);
    EXPECT_EQ(back.limit.search_limit_u.values.limit_d, 0xCAFEF00Du);
    ASSERT_EQ(back.steps.steps_len, 1u);
    EXPECT_EQ(back.steps.steps_val[0].step_value, 0xDEADBEEFu);
    EXPECT_EQ(back.steps.steps_val[0].step_word2, 5);
    ASSERT_NE(back.extension, nullptr);
    EXPECT_EQ(back.extension->ext_id[15], 0x1234);
    EXPECT_EQ(back.extension->ext_value3, 99u);
    ASSERT_NE(back.extension->block, nullptr);
    EXPECT_EQ(back.extension->block->words[2047], 0x5A5A);

    xdr_free(wire::as_xdrproc(wire::xdr_search_config), reinterpret_cast<char*>(&back));
}

}  // namespace
