// Preparing a caller's search configuration for the wire.
#pragma once

#include "qdapi.h"

namespace qd {

// True when every variable list of the configuration that has elements also
// has them in memory: a count without a pointer cannot be encoded.
bool config_is_sendable(const search_config& config);

// Copies each table's term kinds into the discriminants of the first
// term_count terms (at most 16) of every group, from the last group and term
// to the first, then limit_kind and option_kind into their unions.
void apply_kind_copy(search_config& config);

}  // namespace qd
