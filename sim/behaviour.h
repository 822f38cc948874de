// How the reader answers each procedure.
//
// procedures.cpp defines the server function of every procedure of the
// protocol; each one zeroes its result (strings empty) and then calls
// answer(Proc<number>{}, model, argument, result) with the model locked.
// The template below is the behaviour of every procedure that has none of
// its own: the zeroed result.  A procedure gets behaviour by an overload
// declared here and defined in the behaviour_*.cpp of its group.
#pragma once

#include <cstdint>

#include "reader_model.h"
#include "wire.h"

namespace qdsim::detail {

template <uint32_t P>
struct Proc {};

template <uint32_t P, class A, class R>
void answer(Proc<P>, ReaderModel&, const A*, R*)
{
}

// behaviour_connection.cpp: the initial queries.
void answer(Proc<GET_HWID>, ReaderModel& m, const int* slot, wire::hwid_result* res);
void answer(Proc<GET_SUPPORTED_PROTOCOLS>, ReaderModel& m, const void*, wire::protocol_list* res);
void answer(Proc<GET_CONNECTED_ANTENNAS>, ReaderModel& m, const void*, wire::antenna_list* res);

// behaviour_search.cpp: searches and the tag database.
void answer(Proc<SEARCH_START>, ReaderModel& m, const wire::search_params*, short* res);
void answer(Proc<DETAILED_READ_START>, ReaderModel& m, const wire::search_config*, short* res);
void answer(Proc<OPERATION_STATUS>, ReaderModel& m, const u_short* id, short* res);
void answer(Proc<DETAILED_READ_STOP>, ReaderModel& m, const u_short* id, short* res);
void answer(Proc<TAGS_AVAILABLE>, ReaderModel& m, const int*, u_short* res);
void answer(Proc<TAGDB_POP>, ReaderModel& m, const void*, wire::tag_record* res);
void answer(Proc<TAGDB_RESET_DB>, ReaderModel& m, const void*, u_short* res);
void answer(Proc<ZR_SEARCH_CONFIGURE>, ReaderModel& m, const wire::search_config*, int* res);
void answer(Proc<ZR_SEARCH_START>, ReaderModel& m, const void*, int* res);
void answer(Proc<ZR_SEARCH_STOP>, ReaderModel& m, const void*, int* res);
void answer(Proc<ZR_SEARCH_VERIFY>, ReaderModel& m, const void*, int* res);

// behaviour_tagops.cpp: tag operations (conventions in tag_memory.h).
void answer(Proc<TAGID_WRITE>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res);
void answer(Proc<TAGID_LOCK>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res);
void answer(Proc<TAG_KILL>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res);
void answer(Proc<TAG_PASSWD>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res);
void answer(Proc<TAGDATA_READ>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res);
void answer(Proc<TAGDATA_WRITE>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res);
void answer(Proc<TAGDATA_LOCK>, ReaderModel& m, const wire::tagop_request* req, wire::tagop_reply* res);

}  // namespace qdsim::detail

#include "behaviour_radio.h"   // transmit power, region, RF state
#include "behaviour_instruments.h"   // test modes, signal generator, EEPROM, I/Q capture
#include "behaviour_admin.h"   // parameters, settings, statistics, GPIO, firmware, reboot
#include "behaviour_priv.h"   // LEDs, radio slots, antennas, hop table: the privileged hardware
#include "behaviour_auto_search.h"   // searches on times of their own
