// Searches described by a full configuration, and the conveyor search built
// from short parameters.
#include <algorithm>
#include <vector>

#include "call.h"
#include "export.h"
#include "search_config.h"
#include "trace.h"

using namespace qd;

namespace {

std::mutex detailed_read_start_lock;
std::mutex detailed_read_stop_lock;

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

QD_EXPORT int detailed_read_start(reader_handle handle, search_config* config)
{
    const auto session = resolve(handle);
    if (!session || !config)
        return -1;
    if (!config_is_sendable(*config)) {
        set_errno(READER_ERROR_INVALID_ARGUMENTS);
        return -1;
    }
    apply_kind_copy(*config);
    trace("Calling detailed_read_start\n");
    int id;
    {
        std::lock_guard<std::mutex> lock(detailed_read_start_lock);
        Reply<&wire::detailed_read_start_1> reply;
        if (!remote(session, "detailed_read_start", reply, as_wire<wire::search_config>(config)))
            return -1;
        id = reply.value;
    }
    trace("start search uid=%d\n", id);
    set_errno(READER_SUCCESSFUL);
    return id;
}

QD_EXPORT int detailed_read_stop(reader_handle handle, int search_id)
{
    const auto session = resolve(handle);
    if (!session)
        return -1;
    trace("Calling detailed_read_stop\n");
    int answer;
    {
        std::lock_guard<std::mutex> lock(detailed_read_stop_lock);
        Reply<&wire::detailed_read_stop_1> reply;
        u_short id = static_cast<u_short>(search_id);
        if (!remote(session, "detailed_read_stop", reply, &id))
            return -1;
        answer = reply.value;
    }
    trace("stop search uid=%d\n", answer);
    set_errno(READER_SUCCESSFUL);
    return answer;
}

QD_EXPORT int conveyor_read_start(reader_handle handle, search_params* params)
{
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
}

QD_EXPORT int conveyor_read_stop(reader_handle handle, int search_id)
{
    return detailed_read_stop(handle, search_id);
}

}  // extern "C"
