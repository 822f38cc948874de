/*
 * qdapi/admin.h: Administration: the parameter store, named settings, statistics, GPIO,
 * firmware, reboot and versions.
 *
 * Part of the public interface; include <qdapi.h>, which includes every
 * family header, or this header alone.
 */
#ifndef QDAPI_ADMIN_H
#define QDAPI_ADMIN_H

#include "qdapi/common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Administration: parameter store
 *
 * Every request carries the privilege level (PRIV_getCurPrivLevel).
 * Strings come back in two forms: the _r operations return heap copies
 * that the caller releases with free(); the others return the library's own
 * copy, which their next call (from any thread) frees and replaces.  A
 * failed call returns NULL or -1 with reader_errno -102; a bad handle or a
 * NULL name or count returns NULL or -1 without a call.
 * ---------------------------------------------------------------------- */

/* The names of the reader's parameters: an array of `count` names, without
 * a terminating NULL entry. */
typedef char **param_name_list;

/* Sets a parameter (flag 0); 0, or -1 when the call fails (-1 with
 * reader_errno -100 for a NULL name or value). */
QDAPI_EXTERN(int) reader_params_set(reader_handle handle, const char *name, const char *value);
/* Sets a parameter with the caller's flag; 0 or -1. */
QDAPI_EXTERN(int) reader_params_set_with_flag(reader_handle handle, const char *name,
                                              const char *value, uint16_t flag);

/* A parameter's value (an empty value is an empty string, not NULL). */
QDAPI_EXTERN(char *) reader_params_get_r(reader_handle handle, const char *name);
QDAPI_EXTERN(char *) reader_params_get(reader_handle handle, const char *name);
/* The reader's answer to a look-up of a name. */
QDAPI_EXTERN(char *) reader_params_lookup_r(reader_handle handle, const char *name);
QDAPI_EXTERN(char *) reader_params_lookup(reader_handle handle, const char *name);

/* Each 0, or -1.  reader_params_remove refuses a NULL name with
 * reader_errno -100; the others leave reader_errno alone for it. */
QDAPI_EXTERN(int) reader_params_remove(reader_handle handle, const char *name);
QDAPI_EXTERN(int) reader_params_log(reader_handle handle, const char *name);
QDAPI_EXTERN(int) reader_params_load(reader_handle handle, const char *name);
/* The whole store: reloaded from, or committed to, the reader's saved one. */
QDAPI_EXTERN(int) reader_params_load_all(reader_handle handle);
QDAPI_EXTERN(int) reader_params_commit_all(reader_handle handle);

/* The parameter names in the reader's order, their number in *count.
 * NULL with *count 0 for an empty store (and on failure); entries that come
 * without a name (an empty one) are left out, so the list may be shorter
 * than the reader's, even empty. */
QDAPI_EXTERN(param_name_list) reader_params_list_r(reader_handle handle, int *count);
QDAPI_EXTERN(param_name_list) reader_params_list(reader_handle handle, int *count);

/* ------------------------------------------------------------------------
 * Administration: named settings, statistics, GPIO, firmware, reboot,
 * versions
 * ---------------------------------------------------------------------- */

/* Named settings as numbers and flags.  Setters return 0 or -1.  Getters
 * return the value, or -1 (0xFFFF for the retry time-out) when it cannot be
 * read; a stored -1 reads the same, but only a failure sets reader_errno.
 *
 * Setters and getters are not always inverses: the deghost setters write
 * "1" or "0" and the synch regulatory time-out setter a number, but their
 * getters report 1 only when the reader's text is "yes" (any case).  The
 * 96-bit getter reports 1 for any text that starts with the number 96. */

/* Sends the low 16 bits of the value; reads numbers as "0x" hexadecimal,
 * "0" octal or decimal, keeping the low 16 bits. */
QDAPI_EXTERN(int) config_set_tagop_retry_timeout_ms(reader_handle handle, uint32_t milliseconds);
QDAPI_EXTERN(uint16_t) config_get_tagop_retry_timeout_ms(reader_handle handle);
/* Writes "96" or "64". */
QDAPI_EXTERN(int) config_set_EPC1_96_bit_support(reader_handle handle, int flag);
QDAPI_EXTERN(int) config_get_EPC1_96_bit_support(reader_handle handle);
QDAPI_EXTERN(int) config_set_EPC0_search_depth(reader_handle handle, int depth);
QDAPI_EXTERN(int) config_get_EPC0_search_depth(reader_handle handle);
QDAPI_EXTERN(int) config_set_EPC0_deghost(reader_handle handle, int flag);
QDAPI_EXTERN(int) config_get_EPC0_deghost(reader_handle handle);
/* Reads as the retry time-out does, all 32 bits, returned as an int. */
QDAPI_EXTERN(int) config_set_EPC0_deghost_len(reader_handle handle, uint32_t length);
QDAPI_EXTERN(int) config_get_EPC0_deghost_len(reader_handle handle);
QDAPI_EXTERN(int) config_set_EPC1_deghost(reader_handle handle, int flag);
QDAPI_EXTERN(int) config_get_EPC1_deghost(reader_handle handle);
QDAPI_EXTERN(int) config_set_synch_regulatory_timeout(reader_handle handle, int value);
QDAPI_EXTERN(int) config_get_synch_regulatory_timeout(reader_handle handle);

/* The reader's counters, in the reader's order; the library gives them no
 * meaning.  A failure writes none of them. */
typedef struct antenna_stats {
    int32_t stat1, stat2, stat3, stat4, stat5, stat6, stat7;
    int32_t stat8, stat9, stat10, stat11, stat12, stat13, stat14;
} antenna_stats;

typedef struct source_stats {
    int32_t stat1, stat2, stat3, stat4, stat5, stat6, stat7;
    int32_t stat8, stat9, stat10, stat11, stat12, stat13;
} source_stats;

/* 0, or -1 (reader_errno -100 without a call for a NULL structure).  The
 * antenna number is sent as it is. */
QDAPI_EXTERN(int) get_antenna_stats(reader_handle handle, uint16_t antenna, antenna_stats *stats);
QDAPI_EXTERN(int) get_source_stats(reader_handle handle, source_stats *stats);
/* Clears the reader's counters; 0 or -1. */
QDAPI_EXTERN(int) reset_epcg_stats(reader_handle handle);

/* GPIO.  The values are the reader's and go to it as they are.
 * GPIO_get: the value read, or -1 (reader_errno: the reader's negative
 * status, or -100, -102).  GPIO_set and GPIO_set_reader_event: the reader's
 * result, also stored in reader_errno (0 included); -1 on failure. */
QDAPI_EXTERN(int) GPIO_get(reader_handle handle, uint32_t line);
QDAPI_EXTERN(int) GPIO_set(reader_handle handle, uint32_t first, uint32_t second);
QDAPI_EXTERN(int) GPIO_set_reader_event(reader_handle handle, uint32_t first, uint32_t second,
                                        uint32_t third);

/* The outcome of a firmware update.  The three texts are heap copies that
 * the caller releases with free(). */
typedef struct fw_update_info {
    int32_t fw_status;
    char *fw_text1;
    char *fw_text2;
    char *fw_text3;
    int32_t fw_value;
} fw_update_info;

/* Starts a firmware update from an image; the reader's result, also stored
 * in reader_errno; -1 on failure (reader_errno -100 without a call for a
 * NULL image). */
QDAPI_EXTERN(int) reader_fw_update(reader_handle handle, const char *image, uint32_t value);
/* The update's status as the reader reports it, or -1 on failure; fills
 * *info unless it is NULL (the reader is asked either way). */
QDAPI_EXTERN(int) reader_fw_update_complete(reader_handle handle, fw_update_info *info);

/* Asks the reader to reboot, and drops the connection whatever came of the
 * call: the next operation on the handle connects anew. */
QDAPI_EXTERN(void) reboot_reader(reader_handle handle, uint32_t first, uint32_t second);

/* The reader's settings, firmware version and OS version texts, or NULL on
 * failure.  The text belongs to the reader's record (settings_text,
 * firmware_version, os_version): it stays valid until the same query runs
 * again on the same reader, or the reader is closed. */
QDAPI_EXTERN(const char *) read_settings(reader_handle handle);
QDAPI_EXTERN(const char *) get_firmware_version(reader_handle handle);
QDAPI_EXTERN(const char *) get_os_version(reader_handle handle);

#ifdef __cplusplus
}
#endif

#endif /* QDAPI_ADMIN_H */
