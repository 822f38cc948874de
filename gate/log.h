// The gateway's log: one line per change of state on standard error,
// "qdgate: 2026-12-09T04:05:06.789Z reader door-1 up".
#pragma once

#include <string>

namespace qdgate {

void log_line(const std::string& text);

// A text from a reader or the library made safe for one log line: bytes
// outside printable ASCII as \xHH.
std::string printable(const std::string& text);

}  // namespace qdgate
