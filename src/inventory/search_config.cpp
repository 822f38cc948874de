#include "search_config.h"

#include <algorithm>

namespace qd {

namespace {

template <class List>
bool present(const List& count, const void* elements)
{
    return count == 0 || elements != nullptr;
}

void copy_kinds(term_table& table)
{
    const unsigned terms = std::min<unsigned>(table.term_count, 16);
    for (auto g = table.groups.groups_len; g-- > 0;)
        for (auto t = terms; t-- > 0;)
            table.groups.groups_val[g].terms[t].kind = table.term_kinds[t];
}

}  // namespace

bool config_is_sendable(const search_config& config)
{
    const auto& lists = config.lists;
    if (!present(lists.value_lists.value_lists_len, lists.value_lists.value_lists_val) ||
        !present(lists.values2.values2_len, lists.values2.values2_val) ||
        !present(lists.values3.values3_len, lists.values3.values3_val))
        return false;
    for (uint32_t i = 0; i < lists.value_lists.value_lists_len; ++i) {
        const auto& values = lists.value_lists.value_lists_val[i].values;
        if (!present(values.values_len, values.values_val))
            return false;
    }
    return present(config.first_table.groups.groups_len, config.first_table.groups.groups_val) &&
           present(config.second_table.groups.groups_len, config.second_table.groups.groups_val) &&
           present(config.steps.steps_len, config.steps.steps_val);
}

void apply_kind_copy(search_config& config)
{
    copy_kinds(config.second_table);
    copy_kinds(config.first_table);
    config.limit.kind = config.limit_kind;
    config.option.kind = config.option_kind;
}

}  // namespace qd
