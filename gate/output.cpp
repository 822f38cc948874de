#include "output.h"

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
    store_.remove(ids);
    for (const auto& [reader, n] : per_reader)
        metrics_.reader(reader).published.Increment(n);
}

}  // namespace qdgate
