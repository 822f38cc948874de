#include "output.h"

#include "log.h"

namespace qdgate {

void Output::taken(const std::vector<std::pair<std::int64_t, std::string>>& rows)
{
    std::vector<std::int64_t> ids;
    ids.reserve(rows.size());
    std::map<std::string, int> per_reader;
    for (const auto& [row, reader] : rows) {
        ids.push_back(row);
        ++per_reader[reader];
    }
    // A delete that fails leaves the rows to be taken again, after a
    // restart: a duplicate a consumer recognises by its seq, not a loss.
    try {
        store_.remove(ids);
    } catch (const StoreError& e) {
        log_line(std::string("cannot delete published events from the store: ") + e.what());
    }
    for (const auto& [reader, n] : per_reader)
        metrics_.reader(reader).published.Increment(n);
}

}  // namespace qdgate
