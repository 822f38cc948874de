// The public records that the library hands to the reader unchanged have the
// memory layout of the generated wire records: same size, alignment and field
// offsets, down to every nested record, union and list.  Checked at compile
// time; the run-time test shows one such record going through the generated
// filter as it is.
#include <gtest/gtest.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "qdapi.h"
#include "procedure_traits.h"
#include "wire.h"

#define SAME_FIELD(Public, Wire, field)                                                   \
    static_assert(offsetof(Public, field) == offsetof(Wire, field), #Public "." #field); \
    static_assert(sizeof(std::declval<Public&>().field) == sizeof(std::declval<Wire&>().field), \
                  #Public "." #field)

#define SAME_SIZE(Public, Wire)                               \
    static_assert(sizeof(Public) == sizeof(Wire), #Public);   \
    static_assert(alignof(Public) == alignof(Wire), #Public)

#define SAME_RECORD(T) SAME_SIZE(::T, wire::T)
#define FIELD(T, field) SAME_FIELD(::T, wire::T, field)

SAME_RECORD(search_params);
FIELD(search_params, a_count);
FIELD(search_params, a_values);
FIELD(search_params, b_count);
FIELD(search_params, b_values);
FIELD(search_params, span);

SAME_RECORD(tag_record);
FIELD(tag_record, status);
FIELD(tag_record, tag_word1);
FIELD(tag_record, tag_word2);
FIELD(tag_record, id_bits);
FIELD(tag_record, id);
FIELD(tag_record, tag_word3);
FIELD(tag_record, tag_count1);
FIELD(tag_record, tag_count2);
FIELD(tag_record, tag_count3);
FIELD(tag_record, tag_value);
FIELD(tag_record, tag_word4);
FIELD(tag_record, tag_word5);

SAME_RECORD(ulong_list);
FIELD(ulong_list, values);
FIELD(ulong_list, values.values_len);
FIELD(ulong_list, values.values_val);

SAME_RECORD(search_lists);
FIELD(search_lists, value_lists);
FIELD(search_lists, value_lists.value_lists_len);
FIELD(search_lists, value_lists.value_lists_val);
FIELD(search_lists, values2);
FIELD(search_lists, values2.values2_len);
FIELD(search_lists, values2.values2_val);
FIELD(search_lists, values3);
FIELD(search_lists, values3.values3_len);
FIELD(search_lists, values3.values3_val);

SAME_RECORD(word_pattern);
FIELD(word_pattern, pattern_kind);
FIELD(word_pattern, pattern_value);
FIELD(word_pattern, pattern_extra);
FIELD(word_pattern, pattern_words);

SAME_RECORD(search_term);
FIELD(search_term, kind);
FIELD(search_term, search_term_u);
FIELD(search_term, search_term_u.pattern);
FIELD(search_term, search_term_u.value);

SAME_RECORD(term_row);
FIELD(term_row, terms);

SAME_RECORD(term_table);
FIELD(term_table, term_count);
FIELD(term_table, term_kinds);
FIELD(term_table, groups);
FIELD(term_table, groups.groups_len);
FIELD(term_table, groups.groups_val);

SAME_RECORD(option_pair);
FIELD(option_pair, first);
FIELD(option_pair, second);

SAME_RECORD(search_option);
FIELD(search_option, kind);
FIELD(search_option, search_option_u);
FIELD(search_option, search_option_u.u_value);
FIELD(search_option, search_option_u.s_value);
FIELD(search_option, search_option_u.pair);
FIELD(search_option, search_option_u.longs);

SAME_RECORD(limit_values);
FIELD(limit_values, limit_word);
FIELD(limit_values, limit_a);
FIELD(limit_values, limit_b);
FIELD(limit_values, limit_c);
FIELD(limit_values, limit_d);

SAME_RECORD(search_limit);
FIELD(search_limit, kind);
FIELD(search_limit, search_limit_u);
FIELD(search_limit, search_limit_u.values);
FIELD(search_limit, search_limit_u.longs);

SAME_RECORD(step_entry);
FIELD(step_entry, step_a);
FIELD(step_entry, step_b);
FIELD(step_entry, step_c);
FIELD(step_entry, step_value);
FIELD(step_entry, step_word1);
FIELD(step_entry, step_word2);

SAME_RECORD(word_block);
FIELD(word_block, block_word1);
FIELD(word_block, block_word2);
FIELD(word_block, block_word3);
FIELD(word_block, words);

SAME_RECORD(search_extension);
FIELD(search_extension, ext_word1);
FIELD(search_extension, ext_word2);
FIELD(search_extension, ext_word3);
FIELD(search_extension, ext_id);
FIELD(search_extension, ext_value1);
FIELD(search_extension, ext_value2);
FIELD(search_extension, ext_value3);
FIELD(search_extension, block);

SAME_RECORD(search_config);
FIELD(search_config, lists);
FIELD(search_config, first_table);
FIELD(search_config, second_table);
FIELD(search_config, pattern);
FIELD(search_config, setting1);
FIELD(search_config, setting2);
FIELD(search_config, option_kind);
FIELD(search_config, setting4);
FIELD(search_config, limit_kind);
FIELD(search_config, option);
FIELD(search_config, limit);
FIELD(search_config, steps);
FIELD(search_config, steps.steps_len);
FIELD(search_config, steps.steps_val);
FIELD(search_config, extension);

// One public record serves as both the request and the reply of a tag
// memory operation.
#define TAGOP_FIELDS(Wire)                        \
    SAME_SIZE(tagop_record, Wire);                \
    SAME_FIELD(tagop_record, Wire, op_status);    \
    SAME_FIELD(tagop_record, Wire, op_word1);     \
    SAME_FIELD(tagop_record, Wire, id_bits);      \
    SAME_FIELD(tagop_record, Wire, id);           \
    SAME_FIELD(tagop_record, Wire, op_word19);    \
    SAME_FIELD(tagop_record, Wire, op_word20);    \
    SAME_FIELD(tagop_record, Wire, data_bits);    \
    SAME_FIELD(tagop_record, Wire, data)

TAGOP_FIELDS(wire::tagop_request);
TAGOP_FIELDS(wire::tagop_reply);

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
