/*
 * qdapi/readers.h: Opening and closing readers, the record behind a reader handle, and the
 * protocols and antennas of its current connection.
 *
 * Part of the public interface; include <qdapi.h>, which includes every
 * family header, or this header alone.
 */
#ifndef QDAPI_READERS_H
#define QDAPI_READERS_H

#include "qdapi/common.h"
#include "qdapi/inventory.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Readers
 * ---------------------------------------------------------------------- */

/* Opens a reader by host name: connects and runs the initial queries.
 * NULL on failure (reader_errno: -121 table full, -102 no connection). */
QDAPI_EXTERN(reader_handle) open_reader(const char *host_name);
/* Transports for open_reader_over. */
#define QDAPI_TRANSPORT_UDP 1
#define QDAPI_TRANSPORT_TCP 2
/* As open_reader, over the transport given instead of the one use_tcp
 * selects: the reader keeps it for every later connection, reconnections
 * included, whatever use_tcp says then.  NULL with reader_errno -100 for a
 * transport that is neither (and as open_reader otherwise). */
QDAPI_EXTERN(reader_handle) open_reader_over(const char *host_name, int transport);
/* The handle's record, connected (reconnecting when needed), or NULL. */
QDAPI_EXTERN(reader_record *) handle_to_reader(reader_handle handle);
/* The handle itself once it is connected again, or NULL. */
QDAPI_EXTERN(reader_handle) reconnect_reader(reader_handle handle);
/* Closes the reader and frees its handle; returns 0. */
QDAPI_EXTERN(int) close_reader(reader_handle handle);

/* ------------------------------------------------------------------------
 * The reader record
 *
 * handle_to_reader() hands out the record behind a reader handle.  The
 * library owns it and everything it points to; it lives until the reader is
 * closed.  The library updates it while it works (a new connection refreshes
 * client, hwids, antennas and protocols), without a lock that callers could
 * take: read it while no other thread is using the same reader.
 * ---------------------------------------------------------------------- */

/* The hardware of one slot, as the reader reported it on the latest
 * connection.  hwid 0xFFFFFFFF marks an empty slot.  A text stays valid
 * until the reader is closed, even after a later connection replaced it. */
typedef struct reader_hwid {
    uint32_t hwid;
    char *text;
} reader_hwid;

typedef struct reader_antenna {
    int32_t connected;       /* non-zero: an antenna is connected to the port */
    uint16_t aux1;
    uint16_t aux2;
} reader_antenna;

typedef struct reader_antenna_list {
    int16_t count;           /* ports 0..count-1 are meaningful */
    reader_antenna entries[16];
} reader_antenna_list;

typedef struct reader_protocol_list {
    uint16_t bits[16];       /* protocol p supported: bit p%16 of word p/16 */
} reader_protocol_list;

/* An automatic search registered on a reader. */
typedef struct auto_search_record {
    struct auto_search_record *next;   /* the reader's next automatic search */
    double start_time;       /* seconds since the epoch */
    double stop_time;        /* 1e37: no end */
    double run_time;         /* seconds */
    double period;           /* seconds */
    double next_start;       /* when the search is due; 0: never */
    int32_t active;
    int16_t search_id;       /* the reader's search once started, else 0 */
    search_params params;
    int32_t started;
    struct handle_slot *reader_handle;   /* set once the search was started */
} auto_search_record;

struct reader_record {
    struct __rpc_client *client;   /* the RPC library's CLIENT of the current
                                      connection; NULL while not connected */
    char *host_name;
    int32_t remote;          /* 0 for a 127.x.y.z address, else 1 */
    char *firmware_version;  /* latest answers of the version and settings */
    char *os_version;        /* queries; NULL until asked */
    char *settings_text;
    reader_hwid hwids[2];    /* hardware slots 0 and 1 */
    reader_antenna_list antennas;     /* as the latest connection found them */
    reader_protocol_list protocols;
    auto_search_record *auto_searches;
};

/* ------------------------------------------------------------------------
 * Protocols and antennas of the current connection
 * ---------------------------------------------------------------------- */

/* A list of identifiers: element 0 is the count n (0..16), elements 1..n
 * the identifiers in ascending order. */
typedef int32_t id_list[17];

/* Names of the protocol identifiers 0..13. */
QDAPI_EXTERN(const char *const) protocol_names[14];

/* The supported protocols; the count, or -1.  Elements past the count are
 * not written. */
QDAPI_EXTERN(int) get_supported_protocols(reader_handle handle, int32_t *list);
/* The connected antenna ports; the count, or -1.  All 17 elements are
 * written. */
QDAPI_EXTERN(int) get_connected_antennas(reader_handle handle, int32_t *list);

#ifdef __cplusplus
}
#endif

#endif /* QDAPI_READERS_H */
