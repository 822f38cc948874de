// behaviour_admin.cpp: parameter store, named settings, statistics, GPIO,
// firmware, reboot and the version texts.  Included by behaviour.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "reader_model.h"
#include "wire.h"

namespace qdsim::detail {

template <uint32_t P>
struct Proc;

void answer(Proc<PARAMS_GET>, ReaderModel& m, const wire::param_ref* req, char** res);
void answer(Proc<PARAMS_LOOKUP>, ReaderModel& m, const wire::param_ref* req, char** res);
void answer(Proc<PARAMS_SET>, ReaderModel& m, const wire::param_assign* req, void* res);
void answer(Proc<PARAMS_REMOVE>, ReaderModel& m, const wire::param_ref* req, void* res);
void answer(Proc<PARAMS_LOG>, ReaderModel& m, const wire::param_ref* req, void* res);
void answer(Proc<PARAMS_LOAD>, ReaderModel& m, const wire::param_ref* req, void* res);
void answer(Proc<PARAMS_LOAD_ALL>, ReaderModel& m, const u_short* level, void* res);
void answer(Proc<PARAMS_COMMIT_ALL>, ReaderModel& m, const u_short* level, void* res);
void answer(Proc<PARAMS_LIST>, ReaderModel& m, const u_short* level, wire::name_value_list* res);

void answer(Proc<CONFIG_GET>, ReaderModel& m, char* const* name, char** res);
void answer(Proc<CONFIG_SET>, ReaderModel& m, const wire::name_value* req, void* res);

void answer(Proc<ANTENNA_STATS>, ReaderModel& m, const u_short* antenna, wire::antenna_stats_result* res);
void answer(Proc<SOURCE_STATS>, ReaderModel& m, const u_short* source, wire::source_stats_result* res);
void answer(Proc<RESET_STATS>, ReaderModel& m, const u_short* source, void* res);

void answer(Proc<GPIO_GET>, ReaderModel& m, const u_int* line, wire::gpio_get_result* res);
void answer(Proc<GPIO_SET>, ReaderModel& m, const wire::gpio_set_args* req, int* res);
void answer(Proc<GPIO_SET_READER_EVENT>, ReaderModel& m, const wire::gpio_event_args* req, int* res);

void answer(Proc<FW_UPDATE>, ReaderModel& m, const wire::fw_update_args* req, int* res);
void answer(Proc<FW_COMPLETE>, ReaderModel& m, const void*, wire::fw_complete_result* res);
void answer(Proc<REBOOT>, ReaderModel& m, const wire::reboot_args* req, void* res);

void answer(Proc<READ_SETTINGS>, ReaderModel& m, const void*, char** res);
void answer(Proc<GET_FIRMWARE_VERSION>, ReaderModel& m, const void*, char** res);
void answer(Proc<GET_OS_VERSION>, ReaderModel& m, const void*, char** res);

// What the other behaviours report, for the statistics and the GPIO events.
void note_search_done(ReaderModel& m, std::size_t tags_found);
void note_tagop(ReaderModel& m, int16_t status);

// The administration state of a reader that starts with its options (throws
// StateFileError, state_file.h, for a --state file it cannot use), and of
// one that comes back from a reboot.
void start_admin(ReaderModel& m, const Options& o);
void restart_after_reboot(ReaderModel& m);

}  // namespace qdsim::detail
