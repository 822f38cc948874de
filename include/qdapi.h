/*
 * qdapi: client library of the network-attached RFID reader.
 *
 * An application opens a reader by host name and drives it through the
 * functions of the family headers below (qdapi/errors.h ... qdapi/priv.h).  Every operation becomes one or more remote calls to the
 * reader; the reason of a failure is left in `reader_errno`.
 *
 * These headers are self-contained C (they need only <stdint.h> and <stddef.h>)
 * and may be included from C and C++.  The structures that the library hands
 * to the reader unchanged have exactly the layout of the reader's wire
 * records; do not reorder their fields.
 */
#ifndef QDAPI_H
#define QDAPI_H

#include "qdapi/common.h"
#include "qdapi/errors.h"
#include "qdapi/inventory.h"
#include "qdapi/readers.h"
#include "qdapi/tags.h"
#include "qdapi/radio.h"
#include "qdapi/admin.h"
#include "qdapi/priv.h"

#endif /* QDAPI_H */
