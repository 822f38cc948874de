// behaviour_radio.cpp: transmit power, region and RF state.  Included by
// behaviour.h, after Proc.
#pragma once

namespace qdsim::detail {

void answer(Proc<GET_SLOT_TX_POWER>, ReaderModel& m, const wire::slot_value* arg, short* res);
void answer(Proc<SET_SLOT_TX_POWER>, ReaderModel& m, const wire::slot_value* arg, short* res);
void answer(Proc<GET_ANTENNA_TX_POWER>, ReaderModel& m, const wire::antenna_value* arg, short* res);
void answer(Proc<SET_ANTENNA_TX_POWER>, ReaderModel& m, const wire::antenna_value* arg, short* res);
void answer(Proc<GET_CURRENT_TX_POWER>, ReaderModel& m, const void*, wire::antenna_value* res);
void answer(Proc<GET_MAX_READER_POWER>, ReaderModel& m, const void*, short* res);
void answer(Proc<GET_REGION>, ReaderModel& m, const void*, char** res);
void answer(Proc<GET_RF_STATE>, ReaderModel& m, const void*, u_int* res);

}  // namespace qdsim::detail
