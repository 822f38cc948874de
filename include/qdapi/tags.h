/*
 * qdapi/tags.h: Tag memory: reading, writing and locking tag data and identities.
 *
 * Part of the public interface; include <qdapi.h>, which includes every
 * family header, or this header alone.
 */
#ifndef QDAPI_TAGS_H
#define QDAPI_TAGS_H

#include "qdapi/common.h"

#ifdef __cplusplus
extern "C" {
#endif

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

#ifdef __cplusplus
}
#endif

#endif /* QDAPI_TAGS_H */
