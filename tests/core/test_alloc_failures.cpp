// Memory that runs out, one allocation at a time, for every exported
// operation: for N = 1, 2, ... the Nth allocation that the operation makes on
// its caller's thread fails, with the library, the RPC library and the
// virtual reader (on its own thread, never failed) running for real.  Every
// run ends with the operation's answer or its failure value, reader_errno
// -120 where the library saw the failure itself (its own allocations), -102
// where the RPC library did (decoding a reply); nothing crashes or aborts
// (no exception leaves the C interface), and under the address sanitizer
// nothing leaks.  Threads that cannot start fail automatic searches the same
// way.
//
// This program replaces operator new; built without sanitizers it also
// replaces malloc, calloc and realloc (forwarding to the C library's own), so
// that the RPC library's allocations fail too.  A sanitizer keeps malloc to
// itself, so there only the C++ allocations fail.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <set>
#include <thread>
#include <vector>

#include "qdapi.h"
#include "support.h"
#include "tag_memory.h"
#include "virtual_reader.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QD_SANITIZED 1
#endif
#endif

namespace {

// Allocations left on this thread before the one that fails; 0: none fails.
thread_local long t_countdown = 0;
thread_local bool t_failed = false;
// Set by a table row right before its operation: the countdown to arm.
thread_local long t_pending = 0;
// Threads the calling thread starts fail to start while set.
thread_local bool t_no_threads = false;

bool fail_this_one()
{
    if (t_countdown <= 0)
        return false;
    if (--t_countdown > 0)
        return false;
    t_failed = true;
    return true;
}

}  // namespace

#ifndef QD_SANITIZED
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size)
{
    return fail_this_one() ? nullptr : __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size)
{
    return fail_this_one() ? nullptr : __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size)
{
    return fail_this_one() ? nullptr : __libc_realloc(p, size);
}
void free(void* p)
{
    __libc_free(p);
}
}
#define QD_RAW_MALLOC __libc_malloc
#define QD_RAW_FREE __libc_free
#else
#define QD_RAW_MALLOC std::malloc
#define QD_RAW_FREE std::free
#endif

void* operator new(std::size_t size)
{
    void* p = fail_this_one() ? nullptr : QD_RAW_MALLOC(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return fail_this_one() ? nullptr : QD_RAW_MALLOC(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}
void operator delete(void* p) noexcept
{
    QD_RAW_FREE(p);
}
void operator delete[](void* p) noexcept
{
    QD_RAW_FREE(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    QD_RAW_FREE(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    QD_RAW_FREE(p);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument)
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (t_no_threads)
        return EAGAIN;
    return real(thread, attributes, start, argument);
}

namespace {

using namespace std::chrono_literals;

constexpr const char* host = "127.0.14.3";

// Arms the countdown: the row's operation runs next.
void arm()
{
    t_countdown = t_pending;
}

struct Operation {
    const char* name;
    // Whether a failure of the operation sets reader_errno: not in the
    // privileged family (its outcome is its result), not where a host
    // look-up fails (the C library's), not for the parameter list's copies.
    bool errno_checked;
    // Runs the operation (arm() right before it); true when it returned its
    // failure value.
    std::function<bool(reader_handle, qdsim::VirtualReader&)> run;
    // A failure may relay the reader's status instead: a tag operation run
    // again addresses a tag that its first run changed.
    bool relays_status = false;
};

Operation relaying(Operation op)
{
    op.relays_status = true;
    return op;
}

qdsim::Tag memory_tag()
{
    qdsim::Tag tag;
    tag.id_bits = 96;
    tag.id = {0x3000, 0x1, 0x2, 0x3, 0x4, 0x5};
    tag.memory[qdsim::tagmem::area_user] = {1, 2, 3, 4};
    return tag;
}

// Built at load, before any allocation may fail: only the library's count.
const tagop_record read_request = [] {
    const qdsim::Tag tag = memory_tag();
    tagop_record r{};
    r.id_bits = tag.id_bits;
    for (std::size_t i = 0; i < tag.id.size(); ++i)
        r.id[i] = tag.id[i];
    r.op_word1 = qdsim::tagmem::area_user;
    r.op_word20 = 4;
    return r;
}();

bool fill_tag_database(reader_handle h)
{
    search_params params{};
    const int id = search_start(h, &params);
    for (int i = 0; id != -1 && i < 2000; ++i) {
        const int status = operation_status(h, id);
        if (status != READER_OPERATION_WAITING_TO_RUN && status != READER_OPERATION_IN_PROGRESS)
            return status == READER_OPERATION_DONE;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// Storage for an operation's output, made before any allocation may fail:
// a row's call must not allocate for itself once the countdown is armed.
template <class T, std::size_t N = 1>
T* scratch()
{
    static T storage[N];
    return storage;
}

// The privileged family fails with -102 (a call) or -120 (memory).
bool priv_failed(int result)
{
    return result == READER_ERROR_REMOTE || result == READER_ERROR_API_ALLOC;
}

// Rows: an operation whose result `r` is compared with its failure value.
#define QD_INT(name, call, failure)                                                        \
    {#name, true, [](reader_handle h, qdsim::VirtualReader&) {                            \
         arm();                                                                            \
         const auto r = call;                                                             \
         return r == (failure);                                                           \
     }}
#define QD_PTR(name, call)                                                                  \
    {#name, true, [](reader_handle h, qdsim::VirtualReader&) {                            \
         static_cast<void>(h);                                                             \
         arm();                                                                            \
         return (call) == nullptr;                                                         \
     }}
#define QD_PRIV(name, call)                                                                 \
    {#name, false, [](reader_handle h, qdsim::VirtualReader&) {                           \
         arm();                                                                            \
         return priv_failed(call);                                                         \
     }}

search_config plain_config()
{
    static step_entry step{};
    search_config c{};
    c.steps.steps_len = 1;
    c.steps.steps_val = &step;
    return c;
}

const uint16_t wave[4] = {1, 2, 3, 4};
const char* const iq_words[] = {"1", "2"};
const char* const hop_texts[] = {"902750", "903250"};
const protocol_enable_entry enable[] = {{1, 1}, {5, 1}};

const Operation operations[] = {
    // Readers and errors.
    {"open_reader", false,
     [](reader_handle, qdsim::VirtualReader&) {
         arm();
         reader_handle h = open_reader(host);
         t_countdown = 0;
         if (h)
             close_reader(h);
         return h == nullptr;
     }},
    // Over the transport of the run (use_tcp is set for it).
    {"open_reader_over", false,
     [](reader_handle, qdsim::VirtualReader&) {
         const int transport = use_tcp ? QDAPI_TRANSPORT_TCP : QDAPI_TRANSPORT_UDP;
         arm();
         reader_handle h = open_reader_over(host, transport);
         t_countdown = 0;
         if (h)
             close_reader(h);
         return h == nullptr;
     }},
    {"close_reader", true,
     [](reader_handle, qdsim::VirtualReader&) {
         reader_handle h = open_reader(host);
         if (!h)
             return true;
         arm();
         close_reader(h);
         t_countdown = 0;
         // Closed for good, whatever ran out: the handle no longer resolves.
         return handle_to_reader(h) != nullptr;
     }},
    QD_PTR(handle_to_reader, handle_to_reader(h)),
    QD_PTR(reconnect_reader, reconnect_reader(h)),
    QD_PTR(reader_strerror, reader_strerror(READER_ERROR_REMOTE)),
    {"reader_perror", true, [](reader_handle, qdsim::VirtualReader&) {
         testing::internal::CaptureStderr();
         arm();
         reader_perror("alloc");
         t_countdown = 0;
         testing::internal::GetCapturedStderr();
         return false;
     }},
    QD_PTR(qdapi_version, qdapi_version(nullptr, nullptr, nullptr)),
    QD_PTR(qdapi_last_error, qdapi_last_error()),
    {"qdapi_clear_error", true, [](reader_handle, qdsim::VirtualReader&) {
         arm();
         qdapi_clear_error();
         return false;
     }},
    QD_INT(get_supported_protocols, get_supported_protocols(h, scratch<int32_t, 17>()), -1),
    QD_INT(get_connected_antennas, get_connected_antennas(h, scratch<int32_t, 17>()), -1),
    // Inventory.
    QD_INT(search_start, search_start(h, scratch<search_params>()), -1),
    QD_INT(operation_status, operation_status(h, 1), READER_OPERATION_BUILD_IN_PROGRESS),
    QD_INT(tags_available, tags_available(h, 0), -1),
    QD_INT(tagdb_consume, tagdb_consume(h, scratch<tag_record>()), -1),
    QD_INT(tagdb_pop, tagdb_pop(h, scratch<popped_tag_record>()), -1),
    QD_INT(tagdb_pop_many, tagdb_pop_many(h, scratch<popped_tag_record, 4>(), 4, nullptr), -1),
    QD_INT(tagdb_consume_many, tagdb_consume_many(h, scratch<tag_record, 4>(), 4, nullptr), -1),
    QD_INT(set_pipeline_window, set_pipeline_window(h, 8), -1),
    QD_INT(get_pipeline_window, get_pipeline_window(h), -1),
    QD_INT(tagdb_reset_db, tagdb_reset_db(h), -1),
    {"detailed_read_start", true, [](reader_handle h, qdsim::VirtualReader&) {
         search_config c = plain_config();
         arm();
         return detailed_read_start(h, &c) == -1;
     }},
    QD_INT(detailed_read_stop, detailed_read_stop(h, 1), -1),
    QD_INT(conveyor_read_start, conveyor_read_start(h, scratch<search_params>()), -1),
    QD_INT(conveyor_read_stop, conveyor_read_stop(h, 1), -1),
    {"zr_search_configure", true, [](reader_handle h, qdsim::VirtualReader&) {
         search_config c = plain_config();
         arm();
         return zr_search_configure(h, &c) == -1;
     }},
    QD_INT(zr_search_start, zr_search_start(h), -1),
    QD_INT(zr_search_stop, zr_search_stop(h), -1),
    QD_INT(zr_search_verify, zr_search_verify(h), -1),
    {"auto_search_start", true, [](reader_handle h, qdsim::VirtualReader&) {
         search_params p{};
         arm();
         reader_handle s = auto_search_start(h, &p, static_cast<double>(std::time(nullptr)) + 3600, 0, 1, 0);
         t_countdown = 0;
         if (s)
             auto_search_stop(s);
         return s == nullptr;
     }},
    {"auto_search_stop", true, [](reader_handle h, qdsim::VirtualReader&) {
         search_params p{};
         reader_handle s = auto_search_start(h, &p, static_cast<double>(std::time(nullptr)) + 3600, 0, 1, 0);
         arm();
         return auto_search_stop(s) == -1;
     }},
    {"search_active", true, [](reader_handle h, qdsim::VirtualReader&) {
         search_params p{};
         reader_handle s = auto_search_start(h, &p, static_cast<double>(std::time(nullptr)) + 3600, 0, 1, 0);
         arm();
         const int active = search_active(s);
         t_countdown = 0;
         auto_search_stop(s);
         return active != 1;
     }},
    // Tag memory.
    QD_INT(tagdata_read, tagdata_read(h, &(*scratch<tagop_record>() = read_request)), READER_ERROR_REMOTE),
    relaying(QD_INT(tagdata_write, tagdata_write(h, &read_request), READER_ERROR_REMOTE)),
    relaying(QD_INT(tagdata_lock, tagdata_lock(h, &read_request), READER_ERROR_REMOTE)),
    relaying(QD_INT(tagid_write, tagid_write(h, &read_request), READER_ERROR_REMOTE)),
    relaying(QD_INT(tagid_lock, tagid_lock(h, &read_request), READER_ERROR_REMOTE)),
    relaying(QD_INT(tag_passwd, tag_passwd(h, &read_request), READER_ERROR_REMOTE)),
    relaying(QD_INT(tag_kill, tag_kill(h, &read_request), READER_ERROR_REMOTE)),
    // Radio.
    QD_INT(get_slot_tx_power, get_slot_tx_power(h, 0), -1.0),
    QD_INT(get_antenna_tx_power, get_antenna_tx_power(h, 0), -1.0),
    QD_INT(get_current_tx_power, get_current_tx_power(h, nullptr), -1.0),
    QD_INT(set_antenna_tx_power, set_antenna_tx_power(h, 10.0f, 0), -1.0),
    QD_INT(set_slot_tx_power, set_slot_tx_power(h, 10.0f, 0), -1.0),
    QD_INT(set_tx_power, set_tx_power(h, 10.0f), -1.0),
    {"get_max_reader_power", true, [](reader_handle h, qdsim::VirtualReader&) {
         int16_t power = -7;
         arm();
         get_max_reader_power(h, &power);
         return power == -7;
     }},
    QD_INT(set_supported_protocols, set_supported_protocols(h, 2, enable, nullptr), -1),
    {"get_region", true, [](reader_handle h, qdsim::VirtualReader&) {
         char region[4096] = "x";
         arm();
         get_region(h, region);
         return false;   // no failure value: whatever it stored is a text
     }},
    {"get_region_sized", true, [](reader_handle h, qdsim::VirtualReader&) {
         char region[8];
         arm();
         return get_region_sized(h, region, sizeof region) == -1;
     }},
    QD_INT(get_rfState, get_rfState(h, scratch<uint32_t>()), -1),
    // Administration.
    QD_INT(reader_params_set, reader_params_set(h, "third", "3"), -1),
    QD_INT(reader_params_set_with_flag, reader_params_set_with_flag(h, "third", "3", 1), -1),
    {"reader_params_get_r", true, [](reader_handle h, qdsim::VirtualReader&) {
         arm();
         char* value = reader_params_get_r(h, "first");
         t_countdown = 0;
         std::free(value);
         return value == nullptr;
     }},
    QD_PTR(reader_params_get, reader_params_get(h, "first")),
    {"reader_params_lookup_r", true, [](reader_handle h, qdsim::VirtualReader&) {
         arm();
         char* value = reader_params_lookup_r(h, "first");
         t_countdown = 0;
         std::free(value);
         return value == nullptr;
     }},
    QD_PTR(reader_params_lookup, reader_params_lookup(h, "first")),
    QD_INT(reader_params_remove, reader_params_remove(h, "nosuch"), -1),
    QD_INT(reader_params_log, reader_params_log(h, "first"), -1),
    QD_INT(reader_params_load, reader_params_load(h, "first"), -1),
    QD_INT(reader_params_load_all, reader_params_load_all(h), -1),
    QD_INT(reader_params_commit_all, reader_params_commit_all(h), -1),
    {"reader_params_list_r", false,
     [](reader_handle h, qdsim::VirtualReader&) {
         int count = 0;
         arm();
         char** names = reader_params_list_r(h, &count);
         t_countdown = 0;
         for (int i = 0; names && i < count; ++i)
             std::free(names[i]);
         std::free(names);
         return names == nullptr;
     }},
    {"reader_params_list", false, [](reader_handle h, qdsim::VirtualReader&) {
         int count = 0;
         arm();
         return reader_params_list(h, &count) == nullptr;
     }},
    QD_INT(config_set_tagop_retry_timeout_ms, config_set_tagop_retry_timeout_ms(h, 100), -1),
    QD_INT(config_get_tagop_retry_timeout_ms, config_get_tagop_retry_timeout_ms(h), static_cast<uint16_t>(-1)),
    QD_INT(config_set_EPC1_96_bit_support, config_set_EPC1_96_bit_support(h, 1), -1),
    QD_INT(config_get_EPC1_96_bit_support, config_get_EPC1_96_bit_support(h), -1),
    QD_INT(config_set_EPC0_search_depth, config_set_EPC0_search_depth(h, 3), -1),
    QD_INT(config_get_EPC0_search_depth, config_get_EPC0_search_depth(h), -1),
    QD_INT(config_set_EPC0_deghost, config_set_EPC0_deghost(h, 1), -1),
    QD_INT(config_get_EPC0_deghost, config_get_EPC0_deghost(h), -1),
    QD_INT(config_set_EPC0_deghost_len, config_set_EPC0_deghost_len(h, 4), -1),
    QD_INT(config_get_EPC0_deghost_len, config_get_EPC0_deghost_len(h), -1),
    QD_INT(config_set_EPC1_deghost, config_set_EPC1_deghost(h, 1), -1),
    QD_INT(config_get_EPC1_deghost, config_get_EPC1_deghost(h), -1),
    QD_INT(config_set_synch_regulatory_timeout, config_set_synch_regulatory_timeout(h, 5), -1),
    QD_INT(config_get_synch_regulatory_timeout, config_get_synch_regulatory_timeout(h), -1),
    QD_INT(get_antenna_stats, get_antenna_stats(h, 0, scratch<antenna_stats>()), -1),
    QD_INT(get_source_stats, get_source_stats(h, scratch<source_stats>()), -1),
    QD_INT(reset_epcg_stats, reset_epcg_stats(h), -1),
    QD_INT(GPIO_get, GPIO_get(h, 0), -1),
    QD_INT(GPIO_set, GPIO_set(h, 1, 1), -1),
    QD_INT(GPIO_set_reader_event, GPIO_set_reader_event(h, 1, 1, 1), -1),
    QD_INT(reader_fw_update, reader_fw_update(h, "fw-2.0.bin", 0), -1),
    {"reader_fw_update_complete", true, [](reader_handle h, qdsim::VirtualReader&) {
         fw_update_info* info = scratch<fw_update_info>();
         *info = fw_update_info{};
         arm();
         const int status = reader_fw_update_complete(h, info);
         t_countdown = 0;
         std::free(info->fw_text1);   // the caller's copies
         std::free(info->fw_text2);
         std::free(info->fw_text3);
         return status == -1;
     }},
    QD_PTR(read_settings, read_settings(h)),
    QD_PTR(get_firmware_version, get_firmware_version(h)),
    QD_PTR(get_os_version, get_os_version(h)),
    {"reboot_reader", true, [](reader_handle h, qdsim::VirtualReader& reader) {
         arm();
         reboot_reader(h, 0, 0);
         t_countdown = 0;
         for (int i = 0; i < 2000 && reader.rebooting(); ++i)
             std::this_thread::sleep_for(1ms);
         return false;   // no failure value
     }},
    // The privileged family.
    {"PRIV_setPrivLevel", false, [](reader_handle, qdsim::VirtualReader&) {
         arm();
         PRIV_setPrivLevel(1, qdtest::priv_access_code);
         return false;
     }},
    {"PRIV_getCurPrivLevel", false, [](reader_handle, qdsim::VirtualReader&) {
         arm();
         return PRIV_getCurPrivLevel() == 0;
     }},
    QD_PRIV(PRIV_nop, PRIV_nop(h)),
    QD_PRIV(PRIV_setLeds, PRIV_setLeds(h, 1, 1)),
    QD_PRIV(PRIV_setAntId, PRIV_setAntId(h, 1, 2)),
    QD_PRIV(PRIV_rfOn, PRIV_rfOn(h, 0)),
    QD_PRIV(PRIV_rfOff, PRIV_rfOff(h, 0)),
    QD_PRIV(PRIV_setRxenOn, PRIV_setRxenOn(h, 0)),
    QD_PRIV(PRIV_setRxenOff, PRIV_setRxenOff(h, 0)),
    QD_PRIV(PRIV_setTxenOn, PRIV_setTxenOn(h, 0)),
    QD_PRIV(PRIV_setTxenOff, PRIV_setTxenOff(h, 0)),
    QD_PRIV(PRIV_setTxswOn, PRIV_setTxswOn(h, 0)),
    QD_PRIV(PRIV_setTxswOff, PRIV_setTxswOff(h, 0)),
    QD_PRIV(PRIV_listenOn, PRIV_listenOn(h, 0)),
    QD_PRIV(PRIV_receiveOn, PRIV_receiveOn(h, 0)),
    QD_PRIV(PRIV_setFreqHopForced, PRIV_setFreqHopForced(h, 1)),
    QD_PRIV(PRIV_getFreqHopForced, PRIV_getFreqHopForced(h)),
    QD_PRIV(PRIV_setGen2Cmd, PRIV_setGen2Cmd(h, 1)),
    QD_PRIV(PRIV_getTxPower, PRIV_getTxPower(h, 0)),
    QD_PRIV(PRIV_setTxPower, PRIV_setTxPower(h, 0, 1000)),
    QD_PRIV(PRIV_setUncalTxPower, PRIV_setUncalTxPower(h, 0, 1000)),
    QD_PRIV(PRIV_getRxGain, PRIV_getRxGain(h, 0)),
    QD_PRIV(PRIV_setRxGain, PRIV_setRxGain(h, 0, 3)),
    QD_PRIV(PRIV_getFreq, PRIV_getFreq(h, 0, scratch<uint32_t>())),
    QD_PRIV(PRIV_setFreq, PRIV_setFreq(h, 0, 902750)),
    QD_PRIV(PRIV_getAnt, PRIV_getAnt(h, 0)),
    QD_PRIV(PRIV_antSafety, PRIV_antSafety(h, 0, 1)),
    QD_PRIV(PRIV_setRxClass, PRIV_setRxClass(h, 0, 1)),
    QD_PRIV(PRIV_setDebugLevel, PRIV_setDebugLevel(h, 1)),
    QD_PRIV(PRIV_getDebugLevel, PRIV_getDebugLevel(h)),
    QD_PRIV(PRIV_setAutoload, PRIV_setAutoload(h, 1)),
    QD_PRIV(PRIV_getAutoload, PRIV_getAutoload(h)),
    QD_PRIV(PRIV_resync, PRIV_resync(h)),
    QD_PRIV(PRIV_rescanHardware, PRIV_rescanHardware(h)),
    QD_PRIV(PRIV_getHostInfo, PRIV_getHostInfo(h, scratch<host_info_texts>())),
    {"PRIV_getZrConf", false, [](reader_handle h, qdsim::VirtualReader&) {
         const char* text = nullptr;
         arm();
         return priv_failed(PRIV_getZrConf(h, &text));
     }},
    {"PRIV_twiddleLeds", false, [](reader_handle h, qdsim::VirtualReader& reader) {
         // It ends only when a call fails: the third does.
         qdsim::Fault end;
         end.kind = qdsim::FaultKind::error_reply;
         end.after = 2;
         end.count = 1;
         reader.inject(3, end);
         arm();
         const int r = PRIV_twiddleLeds(h);
         t_countdown = 0;
         reader.clear_faults();
         return r == READER_ERROR_API_ALLOC;
     }},
    {"PRIV_getHwId", false, [](reader_handle h, qdsim::VirtualReader&) {
         const char* text = nullptr;
         arm();
         return priv_failed(PRIV_getHwId(h, 0, &text));
     }},
    QD_PRIV(PRIV_getCurrentSlot, PRIV_getCurrentSlot(h)),
    QD_PRIV(PRIV_getAntId, PRIV_getAntId(h)),
    QD_PRIV(PRIV_powerUp, PRIV_powerUp(h, 0, 1000)),
    QD_PRIV(PRIV_powerDown, PRIV_powerDown(h, 0)),
    QD_PRIV(PRIV_checkAnts, PRIV_checkAnts(h, 0, scratch<int32_t, 17>())),
    QD_PRIV(PRIV_setAnt, PRIV_setAnt(h, 0, 1)),
    {"PRIV_getData", false, [](reader_handle h, qdsim::VirtualReader&) {
         data_capture_args request{};
         const data_capture_result* result = nullptr;
         arm();
         return priv_failed(PRIV_getData(h, &request, &result));
     }},
    QD_PRIV(PRIV_getHops, PRIV_getHops(h, scratch<hop_table>(), 0)),
    QD_PRIV(PRIV_setHops, PRIV_setHops(h, 2, hop_texts, scratch<hop_table>())),
    {"PRIV_testStart", false, [](reader_handle h, qdsim::VirtualReader&) {
         const char* message = nullptr;
         arm();
         return priv_failed(PRIV_testStart(h, "cw", nullptr, &message));
     }},
    QD_PRIV(PRIV_testStop, PRIV_testStop(h)),
    QD_PRIV(PRIV_putWave, PRIV_putWave(h, 7, 8, 4, wave)),
    QD_PRIV(PRIV_signalGenerator, PRIV_signalGenerator(h, "iqlist", 2, iq_words)),
    QD_PRIV(PRIV_eepromWrite, PRIV_eepromWrite(h, 0, 0, wave, 4)),
    QD_PRIV(PRIV_eepromRead, PRIV_eepromRead(h, 0, 0, scratch<uint16_t, 4>(), 4)),
    QD_PRIV(PRIV_getIqBuffer, PRIV_getIqBuffer(h, 0, scratch<iq_buffer>())),
};

#undef QD_INT
#undef QD_PTR
#undef QD_PRIV

class AllocationFailures : public ::testing::TestWithParam<std::size_t> {};

TEST_P(AllocationFailures, EveryRunEndsWithTheAnswerOrTheFailureValue)
{
    const Operation& op = operations[GetParam()];
    qdsim::Options options;
    options.address = host;
    options.search_duration = 1ms;
    options.tags.push_back(memory_tag());
    qdsim::VirtualReader reader(options);
    reader.add_random_tags(400, 3);
    reader.set_param("first", "1");
    reader.set_param("second", "2");
    reader.set_reboot_time(1ms);
    reader.set_fw_update_time(1ms);
    reader.start();
    qdtest::set_priv_level(1);
    for (int transport = 0; transport < 2; ++transport) {
        qdtest::Switch tcp(use_tcp, transport);
        reader_handle h = open_reader(host);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(fill_tag_database(h));
        // What the operation gives with every allocation granted.
        t_pending = 0;
        const bool fails_anyway = op.run(h, reader);
        int failures = 0;
        for (long n = 1;; ++n) {
            SCOPED_TRACE(std::string(op.name) + (transport ? " tcp" : " udp") + ", allocation " + std::to_string(n));
            reader_errno = 0;
            t_failed = false;
            t_pending = n;
            const bool failed = op.run(h, reader);
            t_countdown = 0;
            t_pending = 0;
            if (!t_failed) {
                if (!op.relays_status) {
                    EXPECT_EQ(failed, fails_anyway) << "reader_errno " << reader_errno;
                }
                break;   // the operation made fewer than n allocations
            }
            if (failed) {
                ++failures;
                if (op.errno_checked && !fails_anyway && !(op.relays_status && reader_errno < READER_ERROR_REMOTE)) {
                    EXPECT_TRUE(reader_errno == READER_ERROR_API_ALLOC || reader_errno == READER_ERROR_REMOTE)
                        << "reader_errno " << reader_errno;
#ifdef QD_SANITIZED
                    // Only the library's own (C++) allocations fail here.
                    EXPECT_EQ(reader_errno, READER_ERROR_API_ALLOC);
#endif
                }
            }
            if (reader.tagdb_size() < 10) {
                ASSERT_TRUE(fill_tag_database(h));
            }
            ASSERT_LT(n, 5000) << "the operation never stops allocating";
        }
        // The handle still works once memory is back.
        EXPECT_GE(tags_available(h, 0), 0) << "reader_errno " << reader_errno;
        close_reader(h);
        RecordProperty(std::string(op.name) + (transport ? "_tcp" : "_udp") + "_failed_runs", failures);
    }
    qdtest::set_priv_level(0);
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationFailures, ::testing::Range<std::size_t>(0, std::size(operations)),
                         [](const auto& info) { return std::string(operations[info.param].name); });

// Every export has its row: a new operation cannot be left out of the table.
TEST(AllocationFailureTable, CoversEveryExportedFunction)
{
    std::set<std::string> rows;
    for (const Operation& op : operations)
        rows.insert(op.name);
    std::vector<std::string> missing;
#define QDAPI_EXPORT_FUNCTION(name) \
    if (!rows.count(#name))         \
        missing.push_back(#name);
#define QDAPI_EXPORT_VARIABLE(name)
#define QDAPI_EXPORT_RPC_VARIABLE(type, name)
#include "qdapi_exports.inc"
#undef QDAPI_EXPORT_FUNCTION
#undef QDAPI_EXPORT_VARIABLE
#undef QDAPI_EXPORT_RPC_VARIABLE
    EXPECT_TRUE(missing.empty()) << testing::PrintToString(missing);
}

// The timer's thread cannot start (no threads left for the process): the
// first automatic search fails with -120 and leaves nothing registered; the
// next one, with threads back, runs.
TEST(ThreadsRunOut, AutomaticSearchFailsCleanlyAndTheNextOneRuns)
{
    auto reader = qdtest::start_reader("127.0.14.4");
    reader_handle h = open_reader("127.0.14.4");
    ASSERT_NE(h, nullptr);
    search_params p{};
    const double now = static_cast<double>(std::time(nullptr));
    t_no_threads = true;
    reader_errno = 0;
    reader_handle failed = auto_search_start(h, &p, now, 0, 1, 0);
    t_no_threads = false;
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(reader_errno, READER_ERROR_API_ALLOC);
    EXPECT_EQ(handle_to_reader(h)->auto_searches, nullptr) << "the failed search stayed registered";

    reader_handle search = auto_search_start(h, &p, now, 0, 1, 0);
    ASSERT_NE(search, nullptr);
    bool started = false;
    for (int i = 0; i < 2000 && !started; ++i) {
        started = handle_to_reader(h)->auto_searches && handle_to_reader(h)->auto_searches->started;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(started) << "the timer never started the search";
    auto_search_stop(search);
    close_reader(h);
}

}  // namespace
