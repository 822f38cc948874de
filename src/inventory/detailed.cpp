// Searches described by a full configuration, and the conveyor search built
// from short parameters.
#include <algorithm>
#include <vector>

#include "guard.h"
#include "frame.h"
#include "search_config.h"

using namespace qd;

namespace {

constexpr Operation<&wire::detailed_read_start_1, int> detailed_read_start_op{
    .check = "detailed_read_start", .trace = "Calling detailed_read_start\n", .failure = -1,
    .on_success = OnSuccess::clear};

constexpr Operation<&wire::detailed_read_stop_1, int> detailed_read_stop_op{
    .check = "detailed_read_stop", .trace = "Calling detailed_read_stop\n", .failure = -1,
    .on_success = OnSuccess::clear};

// The conveyor search's fixed configuration around the caller's values.
struct conveyor_config {
    explicit conveyor_config(const search_params& params)
        : b_values(params.b_values, params.b_values + params.b_count), first_groups(1),
          second_groups(params.a_count)
    {
        if (!b_values.empty()) {
            b_list.values.values_len = static_cast<uint32_t>(b_values.size());
            b_list.values.values_val = b_values.data();
            config.lists.value_lists.value_lists_len = 1;
            config.lists.value_lists.value_lists_val = &b_list;
        }
        config.lists.values2.values2_len = 1;
        config.lists.values2.values2_val = &zero;

        word_pattern& pattern = first_groups[0].terms[0].search_term_u.pattern;
        pattern.pattern_kind = 4;
        pattern.pattern_value = 100;
        pattern.pattern_extra = 2;
        config.first_table.term_count = 1;
        config.first_table.term_kinds[0] = 4;
        config.first_table.groups.groups_len = 1;
        config.first_table.groups.groups_val = first_groups.data();

        for (std::size_t j = 0; j < second_groups.size(); ++j)
            second_groups[j].terms[0].search_term_u.value = params.a_values[j];
        config.second_table.term_count = params.a_count > 0 ? 1 : 0;
        config.second_table.term_kinds[0] = 1;
        config.second_table.groups.groups_len = static_cast<uint32_t>(second_groups.size());
        config.second_table.groups.groups_val = second_groups.empty() ? nullptr : second_groups.data();

        config.setting1 = 2;
        config.setting2 = 2;
        config.option_kind = 0;
        config.setting4 = 3;
        config.limit_kind = 3;
    }

    std::vector<uint32_t> b_values;
    ulong_list b_list{};
    uint32_t zero = 0;
    std::vector<term_row> first_groups;
    std::vector<term_row> second_groups;
    search_config config{};
};

}  // namespace

extern "C" {

int detailed_read_start(reader_handle handle, search_config* config)
{
    return qd::guarded<int>("detailed_read_start", -1, [&]() -> int {
        Frame frame(detailed_read_start_op, handle);
        if (!frame || !config)
            return frame.failure();
        if (!config_is_sendable(*config))
            return frame.refuse(READER_ERROR_INVALID_ARGUMENTS);
        apply_kind_copy(*config);
        return frame.run(as_wire<wire::search_config>(*config), [](short id) {
            trace("start search uid=%d\n", id);
            return id;
        });
    });
}

int detailed_read_stop(reader_handle handle, int search_id)
{
    return qd::guarded<int>("detailed_read_stop", -1, [&]() -> int {
        return perform(detailed_read_stop_op, handle, static_cast<u_short>(search_id), [](short answer) {
            trace("stop search uid=%d\n", answer);
            return answer;
        });
    });
}

int conveyor_read_start(reader_handle handle, search_params* params)
{
    return qd::guarded<int>("conveyor_read_start", -1, [&]() -> int {
        if (!handle || !params)
            return -1;
        params->a_count = std::min<uint16_t>(params->a_count, 16);
        params->b_count = std::min<uint16_t>(params->b_count, 16);
        try {
            conveyor_config conveyor(*params);
            return detailed_read_start(handle, &conveyor.config);
        } catch (const std::bad_alloc&) {
            set_errno(READER_ERROR_API_ALLOC);
            return -1;
        }
    });
}

int conveyor_read_stop(reader_handle handle, int search_id)
{
    return qd::guarded<int>("conveyor_read_stop", -1, [&]() -> int {
        return detailed_read_stop(handle, search_id);
    });
}

}  // extern "C"
