/*
 * qdapi/inventory.h: Searches, the reader's tag database and automatic searches.
 *
 * Part of the public interface; include <qdapi.h>, which includes every
 * family header, or this header alone.
 */
#ifndef QDAPI_INVENTORY_H
#define QDAPI_INVENTORY_H

#include "qdapi/common.h"

#ifdef __cplusplus
extern "C" {
#endif

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
 * Draining the tag database with several calls in flight
 *
 * tagdb_pop_many and tagdb_consume_many take tags out of the reader's tag
 * database as a loop of tagdb_pop (tagdb_consume) would, but keep up to the
 * reader's pipeline window of calls in flight at once on its connection:
 * over a link whose round trip is R, the loop takes one tag per R, the
 * drain about one window of tags.  Each call is held to its own time-out.
 * The rules:
 *
 *  - Every tag that arrives is written to records, exactly once, in the
 *    order the reader handed the tags out; the result is how many were
 *    written.  Over UDP that is the order the calls went out: a request
 *    lost on its way (a window larger than the reader's socket can queue)
 *    is carried out when it goes out again, seconds later and after its
 *    turn.  As with tagdb_pop (tagdb_consume), only the identity's
 *    significant words are written; answers without a tag are not written.
 *  - The drain ends when the reader answers that it holds no tag (a status
 *    other than 1), or when `capacity` tags were written.  It never has
 *    more calls in flight than the room left in records, so it never takes
 *    a tag out of the reader that it cannot deliver: what does not fit
 *    stays in the reader.  A call already in flight when another answered
 *    "no tag" still delivers the tag it brings (a search may add tags
 *    meanwhile).
 *  - Calling again goes on where the last call stopped: a caller streams a
 *    large database through a small array by calling until fewer than
 *    `capacity` tags come back (or the reader is known to be empty).
 *  - A call that fails or times out, or a connection that fails, ends the
 *    drain: the tags received so far are written and counted, reader_errno
 *    is -102, and *unanswered says how many calls went out without a usable
 *    answer (none before their time-out, an RPC error, or a reply that did
 *    not decode).  Each of those may have taken a tag out of the reader
 *    that no client can recover.  The connection is dropped; the next
 *    operation reconnects.  Otherwise reader_errno is 0 and *unanswered 0.
 *  - The reader closed by another thread meanwhile ends the drain at once:
 *    the tags written so far are counted, reader_errno is -100.
 *  - -1 with reader_errno -100 for a bad handle, NULL records or a negative
 *    capacity; -1 with -102 (or -120) when the reader cannot be connected.
 *    A capacity of 0 makes no call and returns 0.
 *
 * unanswered may be NULL; otherwise it is always written.
 * ---------------------------------------------------------------------- */
QDAPI_EXTERN(int) tagdb_pop_many(reader_handle handle, popped_tag_record *records, int capacity,
                                 int *unanswered);
QDAPI_EXTERN(int) tagdb_consume_many(reader_handle handle, tag_record *records, int capacity,
                                     int *unanswered);
/* How many calls a drain of this reader keeps in flight at once: 1 to 256.
 * 0, or -1 with reader_errno -100 for a bad handle or a window outside 1 to
 * 256 (the window is then left as it was). */
QDAPI_EXTERN(int) set_pipeline_window(reader_handle handle, int window);
/* The reader's pipeline window: as set, or until then the default of the
 * reader's transport (8 over UDP, 32 over TCP); -1 with reader_errno -100
 * for a bad handle. */
QDAPI_EXTERN(int) get_pipeline_window(reader_handle handle);

#ifdef __cplusplus
}
#endif

#endif /* QDAPI_INVENTORY_H */
