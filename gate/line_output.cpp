#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "log.h"

namespace qdgate {

using namespace std::chrono_literals;

namespace {

// Standard output refused a write; the events stay in the store.
struct WriteFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace

std::size_t LineOutput::pass(std::int64_t& cursor)
{
    const std::vector<StoredEvent> page = store_.fetch(cursor, 1024);
    if (page.empty())
        return 0;
    std::string text;
    std::vector<std::pair<std::int64_t, std::string>> rows;
    rows.reserve(page.size());
    for (const StoredEvent& s : page) {
        text += event_json(config_.id, s.event);
        text += '\n';
        rows.emplace_back(s.row, s.event.reader);
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        // Kept in the store; written again once standard output takes it
        // (a line may then come twice: its seq tells).
        const int error = errno;
        std::clearerr(stdout);
        throw WriteFailed(std::string("standard output: ") + std::strerror(error));
    }
    cursor = page.back().row;
    taken(rows);
    return page.size();
}

void LineOutput::run(Stop& finish)
{
    std::int64_t cursor = 0;
    bool failing = false;
    while (!finish.requested()) {
        try {
            const std::size_t n = pass(cursor);
            if (failing)
                log_line("standard output takes events again");
            failing = false;
            if (n == 0)
                finish.wait(10ms);
        } catch (const std::runtime_error& e) {   // WriteFailed, StoreError
            if (!failing)
                log_line(std::string(e.what()) + "; events stay in the store");
            failing = true;
            finish.wait(1s);
        }
    }
    const auto until = std::chrono::steady_clock::now() + last_pass;
    try {
        while (std::chrono::steady_clock::now() < until && pass(cursor) > 0) {
        }
    } catch (const std::runtime_error&) {
    }
}

}  // namespace qdgate
