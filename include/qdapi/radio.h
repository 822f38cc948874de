/*
 * qdapi/radio.h: Radio: transmit power, protocols, antennas, region and RF state.
 *
 * Part of the public interface; include <qdapi.h>, which includes every
 * family header, or this header alone.
 */
#ifndef QDAPI_RADIO_H
#define QDAPI_RADIO_H

#include "qdapi/common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Radio: transmit power, protocols, antennas, region and RF state
 *
 * Power is in the reader's power units; the reader works in hundredths.
 * The setters clamp the power to 0..33 and send it truncated to hundredths
 * (a float 20.3 is sent as 2029).  A slot argument above 0 addresses slot 1,
 * any other slot 0; an antenna argument is clamped to 0..7.  The double
 * operations return -1.0 on failure, with the reason in reader_errno.
 * ---------------------------------------------------------------------- */

/* The transmit power of a slot or of an antenna. */
QDAPI_EXTERN(double) get_slot_tx_power(reader_handle handle, int16_t slot);
QDAPI_EXTERN(double) get_antenna_tx_power(reader_handle handle, int16_t antenna);
/* The power in use; the antenna it is used on goes to *antenna unless that
 * is NULL. */
QDAPI_EXTERN(double) get_current_tx_power(reader_handle handle, uint16_t *antenna);
/* Sets an antenna's power; the clamped power, or -1.0 (reader_errno -106
 * without a call when the antenna is not connected). */
QDAPI_EXTERN(double) set_antenna_tx_power(reader_handle handle, float power, int16_t antenna);
/* Sets a slot's power; the clamped power, or -1.0 (reader_errno -102
 * without a call when the slot is empty). */
QDAPI_EXTERN(double) set_slot_tx_power(reader_handle handle, float power, int16_t slot);
/* Sets the power of slot 0, then slot 1, skipping an empty slot and
 * stopping at the first failed call; the clamped power, or -1.0 (also when
 * both slots are empty). */
QDAPI_EXTERN(double) set_tx_power(reader_handle handle, float power);
/* Stores the reader's maximum power, as the reader gives it, in *power.  A
 * failed call changes nothing at all: not *power, not reader_errno, not
 * the connection. */
QDAPI_EXTERN(void) get_max_reader_power(reader_handle handle, int16_t *power);

/* One element of the list given to set_supported_protocols: enable_value 0
 * disables the protocol, any other value enables it. */
typedef struct protocol_enable_entry {
    uint16_t protocol_id;
    uint16_t enable_value;
} protocol_enable_entry;

/* Stores the enable list as the reader parameter "protocol_enable_list"
 * (at most 127 characters of "ID:0xVALUE " pairs; a count of 0 or less
 * stores the empty text), then runs the connection's initial queries again
 * so that the protocol and antenna lists are fresh.  With a list, what
 * get_supported_protocols gives on it; without, 0; -1 on failure. */
QDAPI_EXTERN(int) set_supported_protocols(reader_handle handle, int count,
                                          const protocol_enable_entry *entries, int32_t *list);
/* Copies the reader's region name and its NUL into buffer, which must hold
 * the reader's longest name.  A failed call changes nothing at all. */
QDAPI_EXTERN(void) get_region(reader_handle handle, char *buffer);
/* The longest region name a reader can send, without its NUL. */
#define QDAPI_REGION_MAX 4096
/* get_region with the buffer's size, as snprintf takes it: copies at most
 * size - 1 characters and a NUL (nothing when size is 0) and returns the
 * length of the whole name, so that a result of size or more tells a name
 * that was cut.  -1 when the call fails (reader_errno -102, the connection
 * dropped as after any failed call) or the handle does not resolve (-100); a
 * NULL buffer with a size above 0 gives -1 and -100 as well. */
QDAPI_EXTERN(int) get_region_sized(reader_handle handle, char *buffer, size_t size);
/* Stores the reader's RF state word in *state; 1, or -1 (a NULL state
 * leaves reader_errno alone). */
QDAPI_EXTERN(int16_t) get_rfState(reader_handle handle, uint32_t *state);

#ifdef __cplusplus
}
#endif

#endif /* QDAPI_RADIO_H */
