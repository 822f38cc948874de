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

}  // namespace qdsim::detail
