/*
 * qdapi: client library of the network-attached RFID reader.
 *
 * An application opens a reader by host name and drives it through the
 * functions below.  Every operation becomes one or more remote calls to the
 * reader; the reason of a failure is left in `reader_errno`.
 *
 * This header is self-contained C (it needs only <stdint.h> and <stddef.h>)
 * and may be included from C and C++.  The structures that the library hands
 * to the reader unchanged have exactly the layout of the reader's wire
 * records; do not reorder their fields.
 */
#ifndef QDAPI_H
#define QDAPI_H

#include <stddef.h>
#include <stdint.h>

/* QDAPI_EXTERN(type) marks each declaration that the library exports.  The
 * library is built with everything else hidden, and its linker version
 * script and its export test are derived from these markers at build time:
 * a new export is one marked declaration here and one plain definition. */
#if defined(__GNUC__) || defined(__clang__)
#define QDAPI_EXTERN(type) extern __attribute__((visibility("default"))) type
#else
#define QDAPI_EXTERN(type) extern type
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Handles
 * ---------------------------------------------------------------------- */

/* A reader handle: the opaque address of one slot of the library's table of
 * 128 handles.  Pass only values that the library returned. */
typedef struct handle_slot *reader_handle;

/* The record behind a reader handle (declared below with the inventory
 * records it refers to). */
typedef struct reader_record reader_record;

/* ------------------------------------------------------------------------
 * Error and status codes
 *
 * `reader_errno` holds these values negated (e.g. -102); their magnitude
 * indexes `reader_errlist`.  Operation states reported by the reader come
 * back negated too (-1 waiting to run ... -5 build in progress).
 * ---------------------------------------------------------------------- */

enum reader_code {
    READER_SUCCESSFUL = 0,
    READER_OPERATION_WAITING_TO_RUN = -1,
    READER_OPERATION_IN_PROGRESS = -2,
    READER_OPERATION_DONE = -3,
    READER_OPERATION_TIMED_OUT = -4,
    READER_OPERATION_BUILD_IN_PROGRESS = -5,
    READER_STATE_ACTIVE = -10,
    READER_STATE_CLEANUP = -11,
    READER_STATE_ERROR = -12,
    READER_STATE_IDLE = -13,
    READER_STATE_POWERUP = -14,
    READER_STATE_RUNNING = -15,
    READER_STATE_WAITING = -16,
    READER_STATE_CATCHUP = -17,
    READER_ERROR_INVALID_ARGUMENTS = -100,
    READER_ERROR_INVALID_DATA = -101,
    READER_ERROR_REMOTE = -102,
    READER_ERROR_UNABLE_TO_COMPLY = -103,
    READER_ERROR_MISCONFIGURATION = -104,
    READER_ERROR_NO_RESPONSE = -105,
    READER_ERROR_INVALID_ANTENNA = -106,
    READER_ERROR_UNCONNECTED_ANTENNA = -107,
    READER_ERROR_VERIFY_FAILURE = -108,
    READER_ERROR_API_ALLOC = -120,
    READER_ERROR_API_MAX_HANDLES = -121,
    READER_ERROR_NYI = -126,
    READER_ERROR_UNKNOWN = -180
};

/* The reason of the latest failure, process-wide (not per thread). */
QDAPI_EXTERN(int) reader_errno;
/* Names of the codes, indexed by magnitude 0..180; unnamed codes are "". */
QDAPI_EXTERN(const char *const) reader_errlist[181];
/* Published beside the table; the table itself has 181 entries. */
QDAPI_EXTERN(const int) reader_nerr;

/* The name of a code (either sign), or NULL above 180. */
QDAPI_EXTERN(const char *) reader_strerror(int code);
/* Prints "prefix: NAME\n" for reader_errno to standard error (prefix may be
 * NULL); leaves reader_errno holding the code's magnitude. */
QDAPI_EXTERN(void) reader_perror(const char *prefix);

/* ------------------------------------------------------------------------
 * Process-wide switches, both 0 at load; the library never sets them.
 * ---------------------------------------------------------------------- */

/* Non-zero: the library writes its debug trace to standard error. */
QDAPI_EXTERN(int) trace_enabled;
/* Non-zero: new reader connections use TCP instead of UDP. */
QDAPI_EXTERN(int) use_tcp;

/* The library also exports the RPC interface's `_null_auth`, `rpc_createerr`
 * and `svc_fdset` for programs written against that interface; they are zero
 * at load and the library itself never uses them.
 *
 * They cannot be declared here: their types belong to the RPC library, whose
 * headers this one does not include; that library also makes rpc_createerr
 * a macro and gives C++ code svc_fdset with C++ linkage.  So they are
 * listed instead, as X(type, name) entries of the macro below; the library
 * expands it to define them, and the build's list of exports (the version
 * script, the export test) takes them from these entries as it takes the
 * other exports from the QDAPI_EXTERN declarations. */
#define QDAPI_RPC_INTERFACE_VARIABLES(X) \
    X(struct opaque_auth, _null_auth) \
    X(struct rpc_createerr, rpc_createerr) \
    X(fd_set, svc_fdset)

/* ------------------------------------------------------------------------
 * Readers
 * ---------------------------------------------------------------------- */

/* Opens a reader by host name: connects and runs the initial queries.
 * NULL on failure (reader_errno: -121 table full, -102 no connection). */
QDAPI_EXTERN(reader_handle) open_reader(const char *host_name);
/* The handle's record, connected (reconnecting when needed), or NULL. */
QDAPI_EXTERN(reader_record *) handle_to_reader(reader_handle handle);
/* The handle itself once it is connected again, or NULL. */
QDAPI_EXTERN(reader_handle) reconnect_reader(reader_handle handle);
/* Closes the reader and frees its handle; returns 0. */
QDAPI_EXTERN(int) close_reader(reader_handle handle);

/* ------------------------------------------------------------------------
 * Inventory records
 * ---------------------------------------------------------------------- */

/* Parameters of a plain search, and of the searches built from it. */
typedef struct search_params {
    uint16_t a_count;        /* entries used in a_values (at most 16) */
    uint16_t a_values[16];
    uint16_t b_count;        /* entries used in b_values (at most 16) */
    uint16_t b_values[16];
    uint16_t span;
} search_params;

/* One tag from the reader's tag database (tagdb_consume). */
typedef struct tag_record {
    int32_t status;          /* 1: the record holds a tag */
    uint16_t tag_word1;
    uint16_t tag_word2;
    uint16_t id_bits;        /* identity length in bits */
    uint16_t id[16];         /* identity; ceil(min(id_bits,256)/16) words used */
    uint16_t tag_word3;
    uint32_t tag_count1;
    uint32_t tag_count2;
    uint32_t tag_count3;
    uint32_t tag_value;
    uint16_t tag_word4;
    uint16_t tag_word5;
} tag_record;

/* One tag from the reader's tag database (tagdb_pop). */
typedef struct popped_tag_record {
    int32_t status;          /* 1: the record holds a tag */
    uint16_t tag_word1;
    uint16_t tag_word2;
    uint16_t id_bits;
    uint16_t id[16];
    uint16_t tag_word3;
    uint32_t tag_count1;
    uint32_t tag_count2;
    uint32_t tag_count3;
    uint64_t tag_value;      /* the reader's 32-bit value, zero-extended */
} popped_tag_record;

/* A full search configuration (detailed and extended searches).  Variable
 * lists are a count followed by a pointer to the elements. */
typedef struct ulong_list {
    struct {
        uint32_t values_len;
        uint32_t *values_val;
    } values;
} ulong_list;

typedef struct search_lists {
    struct {
        uint32_t value_lists_len;
        ulong_list *value_lists_val;
    } value_lists;
    struct {
        uint32_t values2_len;
        uint32_t *values2_val;
    } values2;
    struct {
        uint32_t values3_len;
        uint32_t *values3_val;
    } values3;
} search_lists;

typedef struct word_pattern {
    uint16_t pattern_kind;
    uint16_t pattern_value;
    uint16_t pattern_extra;
    uint16_t pattern_words[7];
} word_pattern;

/* A term: kind 4 carries a pattern, every other kind a value. */
typedef struct search_term {
    uint16_t kind;
    union {
        word_pattern pattern;
        int32_t value;
    } search_term_u;
} search_term;

typedef struct term_row {
    search_term terms[16];
} term_row;

typedef struct term_table {
    uint16_t term_count;     /* terms used in each group (at most 16) */
    uint16_t term_kinds[16]; /* kind of term t, copied into every group */
    struct {
        uint32_t groups_len;
        term_row *groups_val;
    } groups;
} term_table;

typedef struct option_pair {
    uint16_t first;
    int16_t second;
} option_pair;

/* kind 1, 2, 6: u_value; 4: s_value; 5: pair; any other: longs. */
typedef struct search_option {
    uint16_t kind;
    union {
        uint16_t u_value;
        int16_t s_value;
        option_pair pair;
        int32_t longs[8];
    } search_option_u;
} search_option;

typedef struct limit_values {
    uint16_t limit_word;
    int32_t limit_a;
    int32_t limit_b;
    uint32_t limit_c;
    uint32_t limit_d;
} limit_values;

/* kind 2: values; any other: longs. */
typedef struct search_limit {
    uint16_t kind;
    union {
        limit_values values;
        int32_t longs[8];
    } search_limit_u;
} search_limit;

typedef struct step_entry {
    uint8_t step_a;
    uint8_t step_b;
    uint8_t step_c;
    uint32_t step_value;
    uint16_t step_word1;
    uint16_t step_word2;
} step_entry;

typedef struct word_block {
    uint16_t block_word1;
    uint16_t block_word2;
    uint16_t block_word3;
    uint16_t words[2048];
} word_block;

typedef struct search_extension {
    uint16_t ext_word1;
    uint16_t ext_word2;
    uint16_t ext_word3;
    uint16_t ext_id[16];
    uint32_t ext_value1;
    uint32_t ext_value2;
    uint32_t ext_value3;
    word_block *block;       /* optional: NULL when absent */
} search_extension;

typedef struct search_config {
    search_lists lists;
    term_table first_table;
    term_table second_table;
    word_pattern pattern;
    uint16_t setting1;
    uint16_t setting2;
    uint16_t option_kind;    /* copied into option.kind before sending */
    uint16_t setting4;
    uint16_t limit_kind;     /* copied into limit.kind before sending */
    search_option option;
    search_limit limit;
    struct {
        uint32_t steps_len;
        step_entry *steps_val;
    } steps;
    search_extension *extension;   /* optional: NULL when absent */
} search_config;

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
 * Tag memory records
 * ---------------------------------------------------------------------- */

/* The request and reply of every tag memory operation. */
typedef struct tagop_record {
    int16_t op_status;       /* reply: 0 done, otherwise the reader's status */
    uint16_t op_word1;
    uint16_t id_bits;        /* length of the addressed tag's identity */
    uint16_t id[16];
    uint16_t op_word19;
    uint16_t op_word20;
    uint16_t data_bits;      /* length of the data in bits */
    uint16_t data[1024];
} tagop_record;

/* ------------------------------------------------------------------------
 * Inventory
 *
 * A typical inventory: search_start, then operation_status until it no
 * longer reports waiting (-1) or in progress (-2), then tags_available, then
 * tagdb_pop (or tagdb_consume) once per tag until a record comes back with
 * status other than 1.
 * ---------------------------------------------------------------------- */

/* Starts a search; the search identifier, or -1.  Sets reader_errno to 0. */
QDAPI_EXTERN(int) search_start(reader_handle handle, const search_params *params);
/* The reader's status of an operation or search (above -100), or -5 on
 * failure (reader_errno: -100, -102 or the reader's error status). */
QDAPI_EXTERN(int) operation_status(reader_handle handle, int search_id);
/* Number of tags in the reader's database (0..65535), or -1. */
QDAPI_EXTERN(int) tags_available(reader_handle handle, int value);
/* Takes one tag from the database into *record (status 1), or reports an
 * empty database (status other than 1); 0, or -1 on failure. */
QDAPI_EXTERN(int) tagdb_consume(reader_handle handle, tag_record *record);
/* As tagdb_consume, into the popped form; on an empty database only
 * record->status is written.  Only the identity's significant words are
 * written; the rest of record->id keeps what the caller left there. */
QDAPI_EXTERN(int) tagdb_pop(reader_handle handle, popped_tag_record *record);
/* Empties the reader's tag database; 0, or -1. */
QDAPI_EXTERN(int) tagdb_reset_db(reader_handle handle);

/* Starts a search described by a full configuration; the search identifier,
 * or -1.  The term kinds of each table, limit_kind and option_kind are first
 * copied into the configuration's discriminants, in place. */
QDAPI_EXTERN(int) detailed_read_start(reader_handle handle, search_config *config);
/* Stops a search; the reader's answer, or -1. */
QDAPI_EXTERN(int) detailed_read_stop(reader_handle handle, int search_id);
/* Starts a conveyor search built from short parameters (a_count and b_count
 * are clamped to 16 in place); as detailed_read_start. */
QDAPI_EXTERN(int) conveyor_read_start(reader_handle handle, search_params *params);
/* As detailed_read_stop. */
QDAPI_EXTERN(int) conveyor_read_stop(reader_handle handle, int search_id);

/* The extended search.  zr_search_configure: the reader's status, -3 when the
 * handle does not resolve or config is NULL, -2 when the call fails.  The
 * other three: the reader's status, -4 when the handle does not resolve, -1
 * when the call fails. */
QDAPI_EXTERN(int) zr_search_configure(reader_handle handle, search_config *config);
QDAPI_EXTERN(int) zr_search_start(reader_handle handle);
QDAPI_EXTERN(int) zr_search_stop(reader_handle handle);
QDAPI_EXTERN(int) zr_search_verify(reader_handle handle);

/* ------------------------------------------------------------------------
 * Tag memory
 *
 * Each operation sends the caller's record to the reader, which carries the
 * operation out on the tag that id_bits and id address.  0 on success, -102
 * on failure; reader_errno holds the reader's status (or -100, -102).
 * ---------------------------------------------------------------------- */

QDAPI_EXTERN(int) tagid_write(reader_handle handle, const tagop_record *record);
QDAPI_EXTERN(int) tagid_lock(reader_handle handle, const tagop_record *record);
QDAPI_EXTERN(int) tag_kill(reader_handle handle, const tagop_record *record);
QDAPI_EXTERN(int) tag_passwd(reader_handle handle, const tagop_record *record);
QDAPI_EXTERN(int) tagdata_write(reader_handle handle, const tagop_record *record);
QDAPI_EXTERN(int) tagdata_lock(reader_handle handle, const tagop_record *record);
/* Reads tag data: on success op_word19, op_word20, data_bits and the first
 * ceil(data_bits/16) data words (at most 1024) are written back; the rest of
 * the record is left as it was.  0, -100 (NULL record) or -102 (failure, or
 * the reader refused: the record is then unchanged). */
QDAPI_EXTERN(int) tagdata_read(reader_handle handle, tagop_record *record);

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

/* ------------------------------------------------------------------------
 * Radio: transmit power, protocols, antennas, region and RF state
 * ---------------------------------------------------------------------- */

/* ------------------------------------------------------------------------
 * Automatic searches
 * ---------------------------------------------------------------------- */

/* ------------------------------------------------------------------------
 * Administration: parameter store
 *
 * Every request carries the privilege level (PRIV_getCurPrivLevel).
 * ---------------------------------------------------------------------- */

/* Sets a parameter (flag 0); 0, or -1 when the call fails. */
QDAPI_EXTERN(int) reader_params_set(reader_handle handle, const char *name, const char *value);
/* Sets a parameter with the caller's flag; 0 or -1. */
QDAPI_EXTERN(int) reader_params_set_with_flag(reader_handle handle, const char *name,
                                              const char *value, uint16_t flag);

/* ------------------------------------------------------------------------
 * Administration: named settings, statistics, GPIO, firmware, reboot,
 * versions
 * ---------------------------------------------------------------------- */

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

/* ------------------------------------------------------------------------
 * Privileged instruments: test modes, signal generator, EEPROM, I/Q buffer
 * ---------------------------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif /* QDAPI_H */
