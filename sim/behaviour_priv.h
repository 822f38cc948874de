// behaviour_priv.cpp: the hardware that the privileged procedures drive.
// Included by behaviour.h, after Proc.
#pragma once

namespace qdsim::detail {

void answer(Proc<NOP>, ReaderModel& m, const void*, int* res);
void answer(Proc<SETLEDS>, ReaderModel& m, const wire::leds_args* arg, void*);
void answer(Proc<GET_HOST_INFO>, ReaderModel& m, const void*, wire::host_info* res);
void answer(Proc<GET_ZR_CONF>, ReaderModel& m, const void*, char** res);

void answer(Proc<RF_ON>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<RF_OFF>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<SET_RXEN_ON>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<SET_RXEN_OFF>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<SET_TXEN_ON>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<SET_TXEN_OFF>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<SET_TXSW_ON>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<SET_TXSW_OFF>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<LISTEN_ON>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<RECEIVE_ON>, ReaderModel& m, const wire::slot_value* arg, void*);

void answer(Proc<GET_TX_POWER>, ReaderModel& m, const wire::slot_value* arg, short* res);
void answer(Proc<SET_UNCAL_TX_POWER>, ReaderModel& m, const wire::slot_value* arg, short* res);
void answer(Proc<GET_RX_GAIN>, ReaderModel& m, const wire::slot_value* arg, short* res);
void answer(Proc<SET_RX_GAIN>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<GET_FREQ>, ReaderModel& m, const wire::slot_value* arg, u_int* res);
void answer(Proc<SET_FREQ>, ReaderModel& m, const wire::slot_value* arg, void*);

void answer(Proc<CHECK_ANTS_COUNT>, ReaderModel& m, const wire::slot_value* arg, u_short* res);
void answer(Proc<CHECK_ANTS_GET>, ReaderModel& m, const wire::slot_value* arg, u_short* res);
void answer(Proc<GET_ANT>, ReaderModel& m, const wire::slot_value* arg, u_short* res);
void answer(Proc<SET_ANT>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<SET_ANT_ID>, ReaderModel& m, const wire::ant_id_args* arg, u_short* res);
void answer(Proc<ANT_SAFETY>, ReaderModel& m, const wire::slot_value* arg, void*);
void answer(Proc<SET_RX_CLASS>, ReaderModel& m, const wire::slot_value* arg, void*);

void answer(Proc<HOPS_CLEAR>, ReaderModel& m, const void*, void*);
void answer(Proc<HOPS_ADD>, ReaderModel& m, const wire::hop_table* arg, void*);
void answer(Proc<HOPS_COUNT>, ReaderModel& m, const void*, u_int* res);
void answer(Proc<HOPS_GET>, ReaderModel& m, const u_int* index, u_int* res);
void answer(Proc<SET_FREQ_HOP_FORCED>, ReaderModel& m, const u_short* flag, void*);
void answer(Proc<GET_FREQ_HOP_FORCED>, ReaderModel& m, const void*, short* res);
void answer(Proc<SET_GEN2_CMD>, ReaderModel& m, const u_short* command, void*);

void answer(Proc<SET_DEBUG_LEVEL>, ReaderModel& m, const u_int* level, void*);
void answer(Proc<GET_DEBUG_LEVEL>, ReaderModel& m, const void*, u_int* res);
void answer(Proc<SET_AUTOLOAD>, ReaderModel& m, const int* flag, void*);
void answer(Proc<GET_AUTOLOAD>, ReaderModel& m, const void*, int* res);
void answer(Proc<RESYNC>, ReaderModel& m, const void*, void*);
void answer(Proc<RESCAN_HARDWARE>, ReaderModel& m, const void*, void*);

void answer(Proc<GET_DATA>, ReaderModel& m, const wire::data_capture_args* arg, wire::data_capture_result* res);
void answer(Proc<GEN2_GET_MER>, ReaderModel& m, const wire::mer_args* arg, wire::mer_result* res);

}  // namespace qdsim::detail
