// Each reader's state as the output announces it (retained, on
// qd/GATEWAY/READER/status): reader threads set it, the output publishes
// what changed since it last looked, and everything after a new connection.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qdgate {

struct ReaderStatus {
    std::string reader;
    bool up = false;
    std::string reason;    // why it is down
    bool back_pressure = false;
    std::uint64_t version = 0;

    // {"reader":"door-1","state":"down","reason":"..."}
    std::string json() const;
};

class StatusBoard {
public:
    // Records a change and logs it; a state it already has changes nothing.
    void set(const std::string& reader, bool up, const std::string& reason);
    void set_back_pressure(const std::string& reader, bool on);

    // The states changed after version `since` (0: all), and the version
    // they bring the caller to.
    std::vector<ReaderStatus> changed(std::uint64_t since, std::uint64_t& now) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, ReaderStatus> readers_;
    std::uint64_t version_ = 0;
};

}  // namespace qdgate
