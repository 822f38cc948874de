// behaviour_instruments.cpp: the privileged instruments (model_instruments.h).
// Included by behaviour.h, after Proc.
//
// GET_PROTOCOL_TRACE answers a record made from the instruments' state:
// trace_word1 the selector, trace_word2 the test mode (0 when none),
// trace_word3 the generator (0 off, 1 pattern, 2 Gen2 LFSR; +256 while the
// output is on); its entry has time1 a sequence number of the traces
// answered, entry_word1 the capture's sample count, entry_word2 the pattern's
// word count, entry_value the pattern writes stored, and samples the first
// 66 I values of the capture.  GET_IQ_BUFFER answers the capture for every
// selector.  EEPROM selectors 0..3 are blocks of 1024 words; another
// selector reads as length 0 and ignores writes.
#pragma once

namespace qdsim::detail {

void answer(Proc<TEST_START>, ReaderModel& m, const u_short* code, void*);
void answer(Proc<TEST_STOP>, ReaderModel& m, const void*, void*);
void answer(Proc<PATTERN_BUFFER_SIZE>, ReaderModel& m, const void*, int* res);
void answer(Proc<PATTERN_BUFFER_WRITE>, ReaderModel& m, const wire::word_list* list, int* res);
void answer(Proc<SIGNAL_GENERATOR_ON>, ReaderModel& m, const void*, void*);
void answer(Proc<SIGNAL_GENERATOR_OFF>, ReaderModel& m, const void*, void*);
void answer(Proc<SIGNAL_GENERATOR_GEN2_LFSR>, ReaderModel& m, const void*, void*);
void answer(Proc<PATTERN_OUTPUT_ON>, ReaderModel& m, const void*, void*);
void answer(Proc<PATTERN_OUTPUT_OFF>, ReaderModel& m, const void*, void*);
void answer(Proc<PUT_WAVE>, ReaderModel& m, const wire::wave_args* args, void*);
void answer(Proc<EEPROM_READ>, ReaderModel& m, const wire::eeprom_ref* ref, wire::eeprom_block* res);
void answer(Proc<EEPROM_WRITE>, ReaderModel& m, const wire::eeprom_block* block, void*);
void answer(Proc<GET_IQ_BUFFER>, ReaderModel& m, const u_short* selector, wire::iq_buffer* res);
void answer(Proc<GET_PROTOCOL_TRACE>, ReaderModel& m, const u_short* selector, wire::protocol_trace* res);

}  // namespace qdsim::detail
