#include "log.h"

#include <cstdio>
#include <mutex>

#include "event.h"

namespace qdgate {

void log_line(const std::string& text)
{
    static std::mutex mutex;
    const std::string line = "qdgate: " + rfc3339_ms(now_ms()) + " " + text + "\n";
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string printable(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace qdgate
