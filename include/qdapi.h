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
/* Stores the reader's RF state word in *state; 1, or -1 (a NULL state
 * leaves reader_errno alone). */
QDAPI_EXTERN(int16_t) get_rfState(reader_handle handle, uint32_t *state);

/* ------------------------------------------------------------------------
 * Automatic searches
 *
 * A search that the library starts on the reader by itself, as a detailed
 * search, once its start time has come, and that the reader runs until its
 * stop time, cycling through groups built from the search parameters.  The
 * library starts a thread of its own for this with the first registration;
 * it is stopped and joined when the library is unloaded or the process
 * exits.  The records are those of the reader's `auto_searches` list; the
 * library writes their fields as it starts and watches them.
 *
 * Times are seconds since the epoch; the library's clock for a start of 0
 * reads whole seconds.
 * ---------------------------------------------------------------------- */

/* Registers an automatic search: `params` is copied, the search is due at
 * `start` (0: now, and `stop` then counts from now) and ends at `stop` (0:
 * no end); `period` and `run_time` shape the groups it cycles through.  A
 * start before the stop makes it active.  Returns its handle, or NULL
 * (reader_errno: as left by the reader's resolution; -100 for NULL params or
 * a time that is negative or not a number; -120; -121 table full).  The
 * handle is valid until the reader is closed. */
QDAPI_EXTERN(reader_handle) auto_search_start(reader_handle handle, const search_params *params,
                                              double start, double period, double run_time,
                                              double stop);
/* Stops the search on the reader if it was started there, and marks it
 * neither active nor started; 0, or -1 when the handle does not resolve
 * (reader_errno -100).  reader_errno is then what the reader's stop left:
 * -100 for a search that was never started. */
QDAPI_EXTERN(int) auto_search_stop(reader_handle search);
/* 1 while the search counts as running: registered and active and not yet
 * started, or started and reported waiting or in progress by the reader
 * (asked only then); 0 otherwise, and when the handle does not resolve
 * (reader_errno -100). */
QDAPI_EXTERN(int) search_active(reader_handle search);

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

#endif /* QDAPI_H */
