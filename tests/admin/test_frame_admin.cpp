// The frame suite's rows for the administration operations: parameter
// store, named settings, statistics, GPIO, firmware, reboot and the texts
// (see frame_suite.h).  Virtual reader at 127.0.11.1.
#include <cstdlib>

#include "frame_suite.h"

namespace qdframe {

namespace {

// Pointers come back as 0 (a pointer) or -1 (null); what the caller owns is
// freed.
int owned(char* text)
{
    const int result = text ? 0 : -1;
    std::free(text);
    return result;
}

int library_owned(const void* text)
{
    return text ? 0 : -1;
}

int owned_list(char** names, int count)
{
    const int result = names ? 0 : -1;
    for (int i = 0; names && i < count; ++i)
        std::free(names[i]);
    std::free(names);
    return result;
}

Row params(const char* name, std::function<int(reader_handle)> call, uint32_t proc, const char* check)
{
    return {name, std::move(call), proc, check, -1, -1, OnSuccess::leave, 0};
}

// A getter of a named setting, with the text the reader holds and the value
// it reads as.
template <class Getter>
Row config_getter(const char* name, Getter getter, int failure, const char* setting, const char* text, int value)
{
    return {name, [getter](reader_handle h) { return static_cast<int>(getter(h)); }, CONFIG_GET, "config_get",
            failure, failure, OnSuccess::leave, value,
            [setting, text](qdsim::VirtualReader& r) { r.set_setting(setting, text); }};
}

Row config_setter(const char* name, std::function<int(reader_handle)> call)
{
    return {name, std::move(call), CONFIG_SET, "config_set", -1, -1, OnSuccess::leave, 0};
}

// The reader's status relayed into reader_errno.
Relay forced(uint32_t proc, int status, int result)
{
    return {[proc, status](qdsim::VirtualReader& r) { r.force_status(proc, status); }, status, result};
}

}  // namespace

const char* frame_host()
{
    return "127.0.11.1";
}

void prepare_frame_reader(qdsim::VirtualReader& reader)
{
    reader.set_reboot_time(std::chrono::milliseconds(0));
}

const std::vector<Row>& frame_rows()
{
    static const std::vector<Row> table = {
        params("reader_params_get_r", [](reader_handle h) { return owned(reader_params_get_r(h, "hostname")); },
               PARAMS_GET, "params_get"),
        params("reader_params_get", [](reader_handle h) { return library_owned(reader_params_get(h, "hostname")); },
               PARAMS_GET, "params_get"),
        params("reader_params_lookup_r",
               [](reader_handle h) { return owned(reader_params_lookup_r(h, "host")); }, PARAMS_LOOKUP,
               "params_lookup"),
        params("reader_params_lookup",
               [](reader_handle h) { return library_owned(reader_params_lookup(h, "host")); }, PARAMS_LOOKUP,
               "params_lookup"),
        params("reader_params_set", [](reader_handle h) { return reader_params_set(h, "location", "dock 4"); },
               PARAMS_SET, "params_set"),
        params("reader_params_set_with_flag",
               [](reader_handle h) { return reader_params_set_with_flag(h, "location", "dock 4", 1); }, PARAMS_SET,
               "params_set"),
        params("reader_params_remove", [](reader_handle h) { return reader_params_remove(h, "gateway"); },
               PARAMS_REMOVE, "params_remove"),
        params("reader_params_log", [](reader_handle h) { return reader_params_log(h, "hostname"); }, PARAMS_LOG,
               "params_log"),
        params("reader_params_load", [](reader_handle h) { return reader_params_load(h, "hostname"); },
               PARAMS_LOAD, "params_load"),
        params("reader_params_load_all", [](reader_handle h) { return reader_params_load_all(h); },
               PARAMS_LOAD_ALL, "params_load_all"),
        params("reader_params_commit_all", [](reader_handle h) { return reader_params_commit_all(h); },
               PARAMS_COMMIT_ALL, "params_commit_all"),
        params("reader_params_list_r",
               [](reader_handle h) {
                   int count = 0;
                   char** names = reader_params_list_r(h, &count);
                   return owned_list(names, count);
               },
               PARAMS_LIST, "params_set"),
        params("reader_params_list",
               [](reader_handle h) {
                   int count = 0;
                   return library_owned(reader_params_list(h, &count));
               },
               PARAMS_LIST, "params_set"),

        config_getter("config_get_tagop_retry_timeout_ms", config_get_tagop_retry_timeout_ms, 0xFFFF,
                      "tagopretrytimeoutms", "0x20", 32),
        config_getter("config_get_EPC1_96_bit_support", config_get_EPC1_96_bit_support, -1, "epc1idlen", "96", 1),
        config_getter("config_get_EPC0_search_depth", config_get_EPC0_search_depth, -1, "epc0repeats", "7", 7),
        config_getter("config_get_EPC0_deghost", config_get_EPC0_deghost, -1, "epc0_deghost", "yes", 1),
        config_getter("config_get_EPC0_deghost_len", config_get_EPC0_deghost_len, -1, "epc0_deghost_len", "010", 8),
        config_getter("config_get_EPC1_deghost", config_get_EPC1_deghost, -1, "epc1_deghost", "YES", 1),
        config_getter("config_get_synch_regulatory_timeout", config_get_synch_regulatory_timeout, -1,
                      "synch_regulatory_timeout", "yes", 1),
        config_setter("config_set_tagop_retry_timeout_ms",
                      [](reader_handle h) { return config_set_tagop_retry_timeout_ms(h, 500); }),
        config_setter("config_set_EPC1_96_bit_support",
                      [](reader_handle h) { return config_set_EPC1_96_bit_support(h, 1); }),
        config_setter("config_set_EPC0_search_depth", [](reader_handle h) { return config_set_EPC0_search_depth(h, 4); }),
        config_setter("config_set_EPC0_deghost", [](reader_handle h) { return config_set_EPC0_deghost(h, 1); }),
        config_setter("config_set_EPC0_deghost_len", [](reader_handle h) { return config_set_EPC0_deghost_len(h, 3); }),
        config_setter("config_set_EPC1_deghost", [](reader_handle h) { return config_set_EPC1_deghost(h, 0); }),
        config_setter("config_set_synch_regulatory_timeout",
                      [](reader_handle h) { return config_set_synch_regulatory_timeout(h, 10); }),

        {"get_antenna_stats",
         [](reader_handle h) {
             antenna_stats s{};
             return get_antenna_stats(h, 0, &s);
         },
         ANTENNA_STATS, "antenna_stats", -1, -1, OnSuccess::leave, 0},
        {"get_source_stats",
         [](reader_handle h) {
             source_stats s{};
             return get_source_stats(h, &s);
         },
         SOURCE_STATS, "source_stats", -1, -1, OnSuccess::leave, 0},
        {"reset_epcg_stats", [](reader_handle h) { return reset_epcg_stats(h); }, RESET_STATS, "reset_stats", -1, -1,
         OnSuccess::leave, 0},

        relaying({"GPIO_get", [](reader_handle h) { return GPIO_get(h, 0); }, GPIO_GET, "gpio_get", -1, -1,
                  OnSuccess::leave, 1, [](qdsim::VirtualReader& r) { r.set_gpio_inputs(1); }},
                 forced(GPIO_GET, -7, -1)),
        relaying({"GPIO_set", [](reader_handle h) { return GPIO_set(h, 4, 1); }, GPIO_SET, "gpio_set", -1, -1,
                  OnSuccess::reader_status, 0},
                 forced(GPIO_SET, 3, 3)),
        relaying({"GPIO_set_reader_event", [](reader_handle h) { return GPIO_set_reader_event(h, 4, 1, 1); },
                  GPIO_SET_READER_EVENT, "gpio_set_reader_event", -1, -1, OnSuccess::reader_status, 0},
                 forced(GPIO_SET_READER_EVENT, -103, -103)),
        relaying({"reader_fw_update", [](reader_handle h) { return reader_fw_update(h, "fw-2.0.bin", 0); }, FW_UPDATE,
                  "fw_update", -1, -1, OnSuccess::reader_status, 0},
                 forced(FW_UPDATE, -104, -104)),
        {"reader_fw_update_complete",
         [](reader_handle h) {
             fw_update_info info{};
             const int status = reader_fw_update_complete(h, &info);
             std::free(info.fw_text1);
             std::free(info.fw_text2);
             std::free(info.fw_text3);
             return status;
         },
         FW_COMPLETE, "fw_complete", -1, -1, OnSuccess::leave, 5,
         [](qdsim::VirtualReader& r) { r.force_status(FW_COMPLETE, 5); }},
        resetting({"reboot_reader",
                   [](reader_handle h) {
                       reboot_reader(h, 0, 0);
                       return 0;
                   },
                   REBOOT, "reboot", 0, 0, OnSuccess::leave, 0}),
        {"read_settings", [](reader_handle h) { return library_owned(read_settings(h)); }, READ_SETTINGS,
         "read_settings", -1, -1, OnSuccess::leave, 0},
        {"get_firmware_version", [](reader_handle h) { return library_owned(get_firmware_version(h)); },
         GET_FIRMWARE_VERSION, "get_firmware_version", -1, -1, OnSuccess::leave, 0},
        {"get_os_version", [](reader_handle h) { return library_owned(get_os_version(h)); }, GET_OS_VERSION,
         "get_os_version", -1, -1, OnSuccess::leave, 0},
    };
    return table;
}

}  // namespace qdframe
