// The reader protocol's generated declarations, with every record type placed
// in namespace wire so that it does not collide with the public structures of
// the same name.  Functions keep C linkage, so wire::xdr_tag_record is the
// generated xdr_tag_record.  Procedure numbers stay macros (SEARCH_START, ...).
#pragma once

#include <pthread.h>
#include <rpc/rpc.h>

namespace wire {
#include "reader_rpc.h"
}  // namespace wire
