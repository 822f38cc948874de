#include "status.h"

#include <nlohmann/json.hpp>

#include "log.h"

namespace qdgate {

std::string ReaderStatus::json() const
{
    nlohmann::ordered_json j = {{"reader", reader}, {"state", up ? "up" : "down"}};
    if (!up)
        j["reason"] = reason;
    if (back_pressure)
        j["back_pressure"] = true;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void StatusBoard::set(const std::string& reader, bool up, const std::string& reason)
{
    std::lock_guard lock(mutex_);
    ReaderStatus& s = readers_[reader];
    if (s.version != 0 && s.up == up && (up || s.reason == reason))
        return;
    s.reader = reader;
    s.up = up;
    s.reason = up ? std::string() : reason;
    s.version = ++version_;
    log_line("reader " + reader + (up ? " up" : " down: " + printable(reason)));
}

void StatusBoard::set_back_pressure(const std::string& reader, bool on)
{
    std::lock_guard lock(mutex_);
    ReaderStatus& s = readers_[reader];
    if (s.back_pressure == on)
        return;
    s.reader = reader;
    s.back_pressure = on;
    s.version = ++version_;
    log_line("reader " + reader + (on ? " back-pressure on: the store is full, the reader keeps its tags"
                                      : " back-pressure off"));
}

std::vector<ReaderStatus> StatusBoard::changed(std::uint64_t since, std::uint64_t& now) const
{
    std::lock_guard lock(mutex_);
    std::vector<ReaderStatus> out;
    for (const auto& [name, s] : readers_)
        if (s.version > since)
            out.push_back(s);
    now = version_;
    return out;
}

}  // namespace qdgate
