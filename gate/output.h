// Where events go: a broker (MqttOutput) or standard output (LineOutput).
// An output takes the store's events in the order they were committed and
// deletes each once it was taken for good; it runs on a thread of its own
// until it is told to finish, then takes what it can of the rest for a
// short while and returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "metrics.h"
#include "status.h"
#include "stop.h"
#include "store.h"

namespace qdgate {

class Output {
public:
    Output(const Config& config, Store& store, Metrics& metrics, StatusBoard& board)
        : config_(config), store_(store), metrics_(metrics), board_(board)
    {
    }
    virtual ~Output() = default;

    // Runs until `finish` is requested and a last pass is over.
    virtual void run(Stop& finish) = 0;

    // How long the last pass may take.
    static constexpr std::chrono::seconds last_pass{3};

protected:
    // Deletes the rows taken and counts them per reader.
    void taken(const std::vector<std::pair<std::int64_t, std::string>>& rows);

    const Config& config_;
    Store& store_;
    Metrics& metrics_;
    StatusBoard& board_;
};

// JSON lines on standard output, flushed before the events are deleted.
class LineOutput : public Output {
public:
    using Output::Output;
    void run(Stop& finish) override;

private:
    // Writes what the store holds after `cursor` (one page); how many.
    std::size_t pass(std::int64_t& cursor);
};

std::unique_ptr<Output> make_mqtt_output(const Config& config, Store& store, Metrics& metrics, StatusBoard& board);

}  // namespace qdgate
