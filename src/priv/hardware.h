// What the radio and hardware controls keep inside the library.
#pragma once

#include "qdapi.h"
#include "wire.h"

namespace qd {

// The Gen2 MER query: no export reaches it.  Points *result at the reader's
// answer, kept until the next query replaces it (null when the call fails);
// 0, or -1, -2, -100 (a null request or result), -102 as the family does.
int PRIV_gen2GetMER(reader_handle handle, const wire::mer_args* request, const wire::mer_result** result);

}  // namespace qd
