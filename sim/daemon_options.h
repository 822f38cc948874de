// The command line of the qdsim daemon.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "virtual_reader.h"

namespace qdsim {

struct DaemonOptions {
    Options reader;              // --tag tags go to reader.tags
    std::size_t random_tags = 0; // --tags
    uint64_t seed = 1;           // --seed
    uint16_t id_bits = 96;       // --id-bits
    std::size_t host_infos = 0;  // --host-info texts given so far
    // --fault: what to inject once the reader runs, by procedure number.
    std::vector<std::pair<uint32_t, Fault>> faults;
    std::size_t readers = 1;     // --readers
};

// The most readers one qdsim serves.
constexpr std::size_t max_readers = 1000;

// A duration in milliseconds with up to three decimals ("0.5", "20"), no
// longer than `max_ms`.
bool parse_milliseconds(const std::string& text, unsigned long long max_ms, std::chrono::microseconds& out);

// A fault given as PROCEDURE:KIND[:MS[:COUNT[:AFTER]]] (see daemon_usage()).
bool parse_fault(const std::string& text, uint32_t& proc, Fault& out);

// A tag given as hexadecimal identity digits, optionally "/BITS" (default:
// four bits per digit); the digits fill 16-bit words from the left.
bool parse_tag(const std::string& text, Tag& out);

enum class ParseOutcome { run, help, version, bad_usage };

// Parses argv; on bad usage `error` says what is wrong.
ParseOutcome parse_daemon_options(int argc, char** argv, DaemonOptions& out, std::string& error);

// The text of --help.
std::string daemon_usage();

}  // namespace qdsim
