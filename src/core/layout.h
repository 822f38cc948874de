// The public records that the library hands to the reader as they are, or
// copies whole from an answer, have the memory layout of the generated wire
// records: same size, alignment and field offsets, down to every nested
// record, union and list.  Proven at compile time wherever the library relies
// on it: as_wire() accepts only the pairs proven here.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "qdapi.h"
#include "wire.h"

namespace qd {

template <class Public, class Wire>
struct same_layout : std::false_type {};

// A caller's structure seen as the wire record that it is laid out as, to be
// handed to a client entry unchanged.
template <class Wire, class Public>
Wire& as_wire(Public& record)
{
    using Plain = std::remove_const_t<Public>;
    static_assert(same_layout<Plain, Wire>::value, "no layout proof for this pair of records");
    return *reinterpret_cast<Wire*>(const_cast<Plain*>(&record));
}

#define QD_SAME_FIELD(Public, Wire, field)                                                   \
    static_assert(offsetof(Public, field) == offsetof(Wire, field), #Public "." #field); \
    static_assert(sizeof(std::declval<Public&>().field) == sizeof(std::declval<Wire&>().field), \
                  #Public "." #field)

#define QD_SAME_SIZE(Public, Wire)                                       \
    template <>                                                          \
    struct same_layout<Public, Wire> : std::true_type {};                \
    static_assert(sizeof(Public) == sizeof(Wire), #Public);              \
    static_assert(alignof(Public) == alignof(Wire), #Public)

#define QD_SAME_RECORD(T) QD_SAME_SIZE(::T, wire::T)
#define QD_FIELD(T, field) QD_SAME_FIELD(::T, wire::T, field)

QD_SAME_RECORD(search_params);
QD_FIELD(search_params, a_count);
QD_FIELD(search_params, a_values);
QD_FIELD(search_params, b_count);
QD_FIELD(search_params, b_values);
QD_FIELD(search_params, span);

QD_SAME_RECORD(tag_record);
QD_FIELD(tag_record, status);
QD_FIELD(tag_record, tag_word1);
QD_FIELD(tag_record, tag_word2);
QD_FIELD(tag_record, id_bits);
QD_FIELD(tag_record, id);
QD_FIELD(tag_record, tag_word3);
QD_FIELD(tag_record, tag_count1);
QD_FIELD(tag_record, tag_count2);
QD_FIELD(tag_record, tag_count3);
QD_FIELD(tag_record, tag_value);
QD_FIELD(tag_record, tag_word4);
QD_FIELD(tag_record, tag_word5);

QD_SAME_RECORD(ulong_list);
QD_FIELD(ulong_list, values);
QD_FIELD(ulong_list, values.values_len);
QD_FIELD(ulong_list, values.values_val);

QD_SAME_RECORD(search_lists);
QD_FIELD(search_lists, value_lists);
QD_FIELD(search_lists, value_lists.value_lists_len);
QD_FIELD(search_lists, value_lists.value_lists_val);
QD_FIELD(search_lists, values2);
QD_FIELD(search_lists, values2.values2_len);
QD_FIELD(search_lists, values2.values2_val);
QD_FIELD(search_lists, values3);
QD_FIELD(search_lists, values3.values3_len);
QD_FIELD(search_lists, values3.values3_val);

QD_SAME_RECORD(word_pattern);
QD_FIELD(word_pattern, pattern_kind);
QD_FIELD(word_pattern, pattern_value);
QD_FIELD(word_pattern, pattern_extra);
QD_FIELD(word_pattern, pattern_words);

QD_SAME_RECORD(search_term);
QD_FIELD(search_term, kind);
QD_FIELD(search_term, search_term_u);
QD_FIELD(search_term, search_term_u.pattern);
QD_FIELD(search_term, search_term_u.value);

QD_SAME_RECORD(term_row);
QD_FIELD(term_row, terms);

QD_SAME_RECORD(term_table);
QD_FIELD(term_table, term_count);
QD_FIELD(term_table, term_kinds);
QD_FIELD(term_table, groups);
QD_FIELD(term_table, groups.groups_len);
QD_FIELD(term_table, groups.groups_val);

QD_SAME_RECORD(option_pair);
QD_FIELD(option_pair, first);
QD_FIELD(option_pair, second);

QD_SAME_RECORD(search_option);
QD_FIELD(search_option, kind);
QD_FIELD(search_option, search_option_u);
QD_FIELD(search_option, search_option_u.u_value);
QD_FIELD(search_option, search_option_u.s_value);
QD_FIELD(search_option, search_option_u.pair);
QD_FIELD(search_option, search_option_u.longs);

QD_SAME_RECORD(limit_values);
QD_FIELD(limit_values, limit_word);
QD_FIELD(limit_values, limit_a);
QD_FIELD(limit_values, limit_b);
QD_FIELD(limit_values, limit_c);
QD_FIELD(limit_values, limit_d);

QD_SAME_RECORD(search_limit);
QD_FIELD(search_limit, kind);
QD_FIELD(search_limit, search_limit_u);
QD_FIELD(search_limit, search_limit_u.values);
QD_FIELD(search_limit, search_limit_u.longs);

QD_SAME_RECORD(step_entry);
QD_FIELD(step_entry, step_a);
QD_FIELD(step_entry, step_b);
QD_FIELD(step_entry, step_c);
QD_FIELD(step_entry, step_value);
QD_FIELD(step_entry, step_word1);
QD_FIELD(step_entry, step_word2);

QD_SAME_RECORD(word_block);
QD_FIELD(word_block, block_word1);
QD_FIELD(word_block, block_word2);
QD_FIELD(word_block, block_word3);
QD_FIELD(word_block, words);

QD_SAME_RECORD(search_extension);
QD_FIELD(search_extension, ext_word1);
QD_FIELD(search_extension, ext_word2);
QD_FIELD(search_extension, ext_word3);
QD_FIELD(search_extension, ext_id);
QD_FIELD(search_extension, ext_value1);
QD_FIELD(search_extension, ext_value2);
QD_FIELD(search_extension, ext_value3);
QD_FIELD(search_extension, block);

QD_SAME_RECORD(search_config);
QD_FIELD(search_config, lists);
QD_FIELD(search_config, first_table);
QD_FIELD(search_config, second_table);
QD_FIELD(search_config, pattern);
QD_FIELD(search_config, setting1);
QD_FIELD(search_config, setting2);
QD_FIELD(search_config, option_kind);
QD_FIELD(search_config, setting4);
QD_FIELD(search_config, limit_kind);
QD_FIELD(search_config, option);
QD_FIELD(search_config, limit);
QD_FIELD(search_config, steps);
QD_FIELD(search_config, steps.steps_len);
QD_FIELD(search_config, steps.steps_val);
QD_FIELD(search_config, extension);

// One public record serves as both the request and the reply of a tag
// memory operation.
#define QD_TAGOP_FIELDS(Wire)                        \
    QD_SAME_SIZE(::tagop_record, Wire);                \
    QD_SAME_FIELD(::tagop_record, Wire, op_status);    \
    QD_SAME_FIELD(::tagop_record, Wire, op_word1);     \
    QD_SAME_FIELD(::tagop_record, Wire, id_bits);      \
    QD_SAME_FIELD(::tagop_record, Wire, id);           \
    QD_SAME_FIELD(::tagop_record, Wire, op_word19);    \
    QD_SAME_FIELD(::tagop_record, Wire, op_word20);    \
    QD_SAME_FIELD(::tagop_record, Wire, data_bits);    \
    QD_SAME_FIELD(::tagop_record, Wire, data)

QD_TAGOP_FIELDS(wire::tagop_request);
QD_TAGOP_FIELDS(wire::tagop_reply);

// The reader record's copies of the connection's answers.
QD_SAME_SIZE(::reader_antenna, wire::antenna_entry);
QD_SAME_FIELD(::reader_antenna, wire::antenna_entry, connected);
QD_SAME_FIELD(::reader_antenna, wire::antenna_entry, aux1);
QD_SAME_FIELD(::reader_antenna, wire::antenna_entry, aux2);
QD_SAME_SIZE(::reader_antenna_list, wire::antenna_list);
QD_SAME_FIELD(::reader_antenna_list, wire::antenna_list, count);
QD_SAME_FIELD(::reader_antenna_list, wire::antenna_list, entries);
QD_SAME_SIZE(::reader_protocol_list, wire::protocol_list);
QD_SAME_FIELD(::reader_protocol_list, wire::protocol_list, bits);

}  // namespace qd
