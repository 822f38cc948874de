// What a virtual reader remembers of the calls it received, and the faults
// it was told to inject.  Both are read and changed from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "virtual_reader.h"

namespace qdsim::detail {

class CallLog {
public:
    // limit: the most calls kept (the oldest are forgotten); 0: no limit.
    explicit CallLog(std::size_t limit = 0) : limit_(limit) {}

    void record(LoggedCall call);
    std::vector<LoggedCall> calls() const;
    std::size_t count(uint32_t proc) const;   // counts every call, kept or not
    void clear();
    void set_limit(std::size_t limit);

private:
    mutable std::mutex mu_;
    std::size_t limit_;
    std::size_t first_ = 0;                    // ring start once the limit is reached
    std::vector<LoggedCall> calls_;
    std::map<uint32_t, std::size_t> counts_;
};

// XDR bytes of a decoded argument, as the filter encodes it.
std::vector<uint8_t> encode_xdr(xdrproc_t filter, void* value);
// The reverse, into a zeroed `value` (the filter frees what it allocates,
// even when decoding fails half-way).
bool decode_xdr(xdrproc_t filter, const std::vector<uint8_t>& bytes, void* value);

class FaultTable {
public:
    void inject(uint32_t proc, Fault fault);
    void clear();
    // The fault that hits this call of `proc` (kind none when there is none);
    // uses up one of its count.
    Fault take(uint32_t proc);

private:
    std::mutex mu_;
    std::map<uint32_t, Fault> faults_;
};

}  // namespace qdsim::detail
