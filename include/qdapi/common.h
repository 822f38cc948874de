/*
 * qdapi/common.h: what every family header of the interface shares: the
 * export marker and the reader handle.
 */
#ifndef QDAPI_COMMON_H
#define QDAPI_COMMON_H

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

/* A reader handle: the opaque address of one slot of the library's table of
 * 128 handles.  Pass only values that the library returned. */
typedef struct handle_slot *reader_handle;

/* The record behind a reader handle (declared in qdapi/readers.h). */
typedef struct reader_record reader_record;

#ifdef __cplusplus
}
#endif

#endif /* QDAPI_COMMON_H */
