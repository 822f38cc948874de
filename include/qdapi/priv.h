/*
 * qdapi/priv.h: The privileged diagnostics family (PRIV_): closed until a privilege level
 * has been unlocked.
 *
 * Part of the public interface; include <qdapi.h>, which includes every
 * family header, or this header alone.
 */
#ifndef QDAPI_PRIV_H
#define QDAPI_PRIV_H

#include "qdapi/common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Privileged diagnostics
 *
 * Closed until a privilege level has been unlocked; every operation but the
 * two below returns -1 for a bad handle, -2 while closed, -102 when a call
 * fails, and leaves reader_errno and the connection alone.
 * ---------------------------------------------------------------------- */

/* Only every fifth call with the access code sets the level (its low 16
 * bits); a call with any other code freezes the level for good. */
QDAPI_EXTERN(void) PRIV_setPrivLevel(int level, uint32_t code);
/* The current privilege level; 0 while closed. */
QDAPI_EXTERN(uint16_t) PRIV_getCurPrivLevel(void);

/* Calls the reader's no-op: 0 whether or not the reader answered. */
QDAPI_EXTERN(int) PRIV_nop(reader_handle handle);

/* A slot argument is a hardware slot, of which the low 16 bits are sent;
 * a second int argument (power in hundredths, gain, frequency in kHz,
 * antenna, class, safety value) goes to the reader as it is.  Values that
 * the reader answers as 16 bits come back widened: signed ones with their
 * sign, unsigned ones as 0..65535.  A value that equals a failure code
 * cannot be told from it. */

/* The reader's frequency hop table: frequencies in kHz, `count` of them
 * used. */
typedef struct hop_table {
    uint32_t hops[64];
    uint32_t count;
} hop_table;

/* The reader's three host information texts, at most 255 characters each,
 * in buffers of the library that the next PRIV_getHostInfo overwrites. */
typedef struct host_info_texts {
    const char *info1;
    const char *info2;
    const char *info3;
} host_info_texts;

/* A data capture request, sent to the reader as it is; the list holds at
 * most 16 values (a longer one fails the call). */
typedef struct data_capture_args {
    uint16_t capture_word1;
    uint16_t capture_word2;
    uint16_t capture_word3;
    uint16_t capture_word4;
    uint16_t capture_word5;
    uint16_t capture_word6;
    struct {
        uint32_t capture_list_len;
        uint16_t *capture_list_val;
    } capture_list;
    uint16_t capture_word7;
} data_capture_args;

/* The reader's answer to a data capture request. */
typedef struct data_capture_result {
    uint16_t result_word1;
    uint16_t result_word2;
    uint16_t result_word3;
    uint16_t samples[32];
    uint16_t result_word4;
    uint16_t result_word5;
    uint16_t result_word6;
    uint16_t result_word7;
} data_capture_result;

/* One call each; 0 unless a result is named. */
QDAPI_EXTERN(int) PRIV_setLeds(reader_handle handle, uint16_t mask, uint16_t value);
/* The reader's 16-bit answer. */
QDAPI_EXTERN(int) PRIV_setAntId(reader_handle handle, uint16_t first, uint16_t second);
QDAPI_EXTERN(int) PRIV_rfOn(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_rfOff(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_setRxenOn(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_setRxenOff(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_setTxenOn(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_setTxenOff(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_setTxswOn(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_setTxswOff(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_listenOn(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_receiveOn(reader_handle handle, int slot);
/* flag 0 or 1 (low 16 bits); anything else is -100 without a call. */
QDAPI_EXTERN(int) PRIV_setFreqHopForced(reader_handle handle, int flag);
/* The flag, signed 16-bit. */
QDAPI_EXTERN(int) PRIV_getFreqHopForced(reader_handle handle);
/* The low 16 bits of command are sent. */
QDAPI_EXTERN(int) PRIV_setGen2Cmd(reader_handle handle, int command);
/* Power in hundredths, signed 16-bit. */
QDAPI_EXTERN(int) PRIV_getTxPower(reader_handle handle, int slot);
/* Sets the calibrated or the uncalibrated power (hundredths); the reader's
 * signed 16-bit answer. */
QDAPI_EXTERN(int) PRIV_setTxPower(reader_handle handle, int slot, int power);
QDAPI_EXTERN(int) PRIV_setUncalTxPower(reader_handle handle, int slot, int power);
/* Receive gain, signed 16-bit. */
QDAPI_EXTERN(int) PRIV_getRxGain(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_setRxGain(reader_handle handle, int slot, int gain);
/* Stores the slot's frequency (kHz) in *frequency; -100 without a call
 * when frequency is NULL. */
QDAPI_EXTERN(int) PRIV_getFreq(reader_handle handle, int slot, uint32_t *frequency);
QDAPI_EXTERN(int) PRIV_setFreq(reader_handle handle, int slot, int frequency);
/* The slot's antenna, 0..65535. */
QDAPI_EXTERN(int) PRIV_getAnt(reader_handle handle, int slot);
QDAPI_EXTERN(int) PRIV_antSafety(reader_handle handle, int slot, int value);
QDAPI_EXTERN(int) PRIV_setRxClass(reader_handle handle, int slot, int rx_class);
QDAPI_EXTERN(int) PRIV_setDebugLevel(reader_handle handle, uint32_t level);
/* The reader's 32-bit debug level, as an int. */
QDAPI_EXTERN(int) PRIV_getDebugLevel(reader_handle handle);
QDAPI_EXTERN(int) PRIV_setAutoload(reader_handle handle, int flag);
/* The autoload flag. */
QDAPI_EXTERN(int) PRIV_getAutoload(reader_handle handle);
QDAPI_EXTERN(int) PRIV_resync(reader_handle handle);
QDAPI_EXTERN(int) PRIV_rescanHardware(reader_handle handle);

/* Points *texts at the three host information texts; -100 without a call
 * when texts is NULL. */
QDAPI_EXTERN(int) PRIV_getHostInfo(reader_handle handle, host_info_texts *texts);
/* Points *text at the reader's configuration text, at most 2047
 * characters, in a buffer that the next call overwrites; -100 without a
 * call when text is NULL. */
QDAPI_EXTERN(int) PRIV_getZrConf(reader_handle handle, const char **text);
/* Sends the LED values 0, 1, 2 ... 0xFFFF, 0 ... with mask 0xFFFF until a
 * call fails; then prints "RPC setleds call failed" and returns -102. */
QDAPI_EXTERN(int) PRIV_twiddleLeds(reader_handle handle);
/* Points *text at the hardware description of a slot followed by a
 * newline (at most 255 characters in all, in a buffer that the next call
 * overwrites), or at "Error detecting hardware.\n" when the call fails;
 * -100 without a call when text is NULL. */
QDAPI_EXTERN(int) PRIV_getHwId(reader_handle handle, uint16_t selector, const char **text);
/* The reader's settings "currentslot" and "currentantid", read as numbers
 * (0x... hexadecimal, 0... octal, else decimal; no digits: 0), 0..65535. */
QDAPI_EXTERN(int) PRIV_getCurrentSlot(reader_handle handle);
QDAPI_EXTERN(int) PRIV_getAntId(reader_handle handle);
/* Sets the slot's power through set_slot_tx_power (power in hundredths,
 * so reader_errno follows that operation's rules), then switches RF on;
 * -102 when either fails, and RF stays off when the power failed. */
QDAPI_EXTERN(int) PRIV_powerUp(reader_handle handle, int slot, int power);
/* Power 0, RF on, RF off, stopping with -102 at the first failed call. */
QDAPI_EXTERN(int) PRIV_powerDown(reader_handle handle, int slot);
/* Antenna checks of a slot into checks[0..16]: checks[0] the number of
 * readings, checks[1..] one reading per antenna.  A reader that reports
 * more than 16 antennas gets the first 16 read and checks[0] 16.  All 17
 * elements are zeroed first; a failed call leaves the readings so far.
 * -100 without a call when checks is NULL. */
QDAPI_EXTERN(int) PRIV_checkAnts(reader_handle handle, int slot, int32_t *checks);
/* Selects the slot's antenna; the antenna that the reader then reports,
 * 0..65535. */
QDAPI_EXTERN(int) PRIV_setAnt(reader_handle handle, int slot, int antenna);
/* Points *result at the reader's answer, which stays valid until the next
 * PRIV_getData (NULL when the call fails); -100 without a call when
 * request or result is NULL. */
QDAPI_EXTERN(int) PRIV_getData(reader_handle handle, const data_capture_args *request,
                               const data_capture_result **result);
/* Reads the hop table from entry `first` on into table->hops[0..63] (at
 * most 64 entries; table->count says how many).  With a NULL table the
 * reader is asked for the number of hops and the answer is not kept: it
 * returns 0 (a reachable reader), or a failure. */
QDAPI_EXTERN(int) PRIV_getHops(reader_handle handle, hop_table *table, int first);
/* Replaces the hop table by the frequencies (kHz) of `count` texts, read
 * as numbers (0x... hexadecimal, 0... octal, else decimal); a text without
 * a number (or NULL) is skipped.  Then reads the table back into `table`
 * unless it is NULL.  A failure leaves the hops added so far; -100 without
 * a call when texts is NULL and count above 0. */
QDAPI_EXTERN(int) PRIV_setHops(reader_handle handle, int count, const char *const *texts, hop_table *table);

/* ------------------------------------------------------------------------
 * Privileged instruments: test modes, signal generator, EEPROM, I/Q buffer
 *
 * Gated like the rest of the family (-1 bad handle, -2 closed, -102 failed
 * call); -100 for an argument outside an operation's limits, among them a
 * NULL pointer where the operation needs one.
 * ---------------------------------------------------------------------- */

/* Puts the reader into a test mode, named without regard to case: "stop"
 * (code 0), "cw" (1), "epc1" (2), "iso18000" (3), "epc1lfsr" (4),
 * "iso18000lfsr" (5) or "gen2onoff" (6).  *message is pointed at the
 * library's text about the attempt (at most 255 characters), which the next
 * call, from any thread, replaces.  *code (code may be NULL) receives the
 * code sent.  An unknown name returns -2 without a call and leaves *code
 * alone; the message names it.  mode and message must not be NULL. */
QDAPI_EXTERN(int) PRIV_testStart(reader_handle handle, const char *mode, int16_t *code,
                                 const char **message);
QDAPI_EXTERN(int) PRIV_testStop(reader_handle handle);

/* Sends `count` waveform words (0..1024; -100 otherwise) with two parameters
 * that the reader interprets. */
QDAPI_EXTERN(int) PRIV_putWave(reader_handle handle, uint16_t first, uint16_t second, int count,
                               const uint16_t *values);

/* Drives the signal generator.  Modes, without regard to case: "off",
 * "gen2lfsr", the built-in waveforms "sin160k", "gen2zero" and "gen2one",
 * and "iqlist": the argc texts of argv are numbers (0x hex, 0 octal or
 * decimal; the low 16 bits of each), I, Q, I, Q, ...  A pattern is loaded
 * into the reader's pattern buffer and played: -101 when it is longer than
 * twice the buffer's capacity in samples, -102 when a part of it was
 * refused (two lines on standard error; the generator is started all the
 * same).  -100, with nothing sent, for an unknown mode, an empty list or a
 * list text that is not a number (reported on standard error). */
QDAPI_EXTERN(int) PRIV_signalGenerator(reader_handle handle, const char *mode, int argc,
                                       const char *const *argv);

/* Words of the reader's EEPROM that one transfer reaches: offset + length
 * must not pass it (-100 and a line on standard error otherwise). */
#define PRIV_EEPROM_BLOCK_WORDS 1024

/* Writes `length` words at word `offset` of the EEPROM block `selector`. */
QDAPI_EXTERN(int) PRIV_eepromWrite(reader_handle handle, uint16_t selector, uint16_t offset,
                                   const uint16_t *words, uint16_t length);
/* Reads up to `length` words into words[]: as many as the reader answers,
 * never more than `length`; the rest of words[] is left as it was. */
QDAPI_EXTERN(int) PRIV_eepromRead(reader_handle handle, uint16_t selector, uint16_t offset,
                                  uint16_t *words, uint16_t length);

/* The reader's I/Q capture buffer.  All 1024 samples are copied whatever
 * `count` says. */
typedef struct iq_buffer {
    uint16_t count;          /* as the reader reports it */
    uint16_t i_values[1024];
    uint16_t q_values[1024];
} iq_buffer;

QDAPI_EXTERN(int) PRIV_getIqBuffer(reader_handle handle, uint16_t selector, iq_buffer *buffer);

#ifdef __cplusplus
}
#endif

#endif /* QDAPI_PRIV_H */
