#include "call_log.h"

#include <utility>

namespace qdsim::detail {

void CallLog::record(LoggedCall call)
{
    std::lock_guard lock(mu_);
    ++counts_[call.proc];
    if (limit_ != 0 && calls_.size() >= limit_) {
        calls_[first_] = std::move(call);
        first_ = (first_ + 1) % calls_.size();
        return;
    }
    calls_.push_back(std::move(call));
}

std::vector<LoggedCall> CallLog::calls() const
{
    std::lock_guard lock(mu_);
    std::vector<LoggedCall> out;
    out.reserve(calls_.size());
    for (std::size_t i = 0; i < calls_.size(); ++i)
        out.push_back(calls_[(first_ + i) % calls_.size()]);
    return out;
}

std::size_t CallLog::count(uint32_t proc) const
{
    std::lock_guard lock(mu_);
    auto it = counts_.find(proc);
    return it == counts_.end() ? 0 : it->second;
}

void CallLog::clear()
{
    std::lock_guard lock(mu_);
    calls_.clear();
    counts_.clear();
    first_ = 0;
}

void CallLog::set_limit(std::size_t limit)
{
    std::lock_guard lock(mu_);
    if (limit != 0 && calls_.size() > limit) {
        std::vector<LoggedCall> kept;
        for (std::size_t i = calls_.size() - limit; i < calls_.size(); ++i)
            kept.push_back(std::move(calls_[(first_ + i) % calls_.size()]));
        calls_ = std::move(kept);
    } else if (first_ != 0) {
        std::vector<LoggedCall> ordered;
        for (std::size_t i = 0; i < calls_.size(); ++i)
            ordered.push_back(std::move(calls_[(first_ + i) % calls_.size()]));
        calls_ = std::move(ordered);
    }
    first_ = 0;
    limit_ = limit;
}

std::vector<uint8_t> encode_xdr(xdrproc_t filter, void* value)
{
    unsigned long size = xdr_sizeof(filter, value);
    std::vector<uint8_t> bytes(size);
    if (size == 0)
        return bytes;
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(bytes.data()), static_cast<u_int>(size), XDR_ENCODE);
    bool ok = filter(&x, value) != 0;
    bytes.resize(ok ? xdr_getpos(&x) : 0);
    xdr_destroy(&x);
    return bytes;
}

bool decode_xdr(xdrproc_t filter, const std::vector<uint8_t>& bytes, void* value)
{
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(const_cast<uint8_t*>(bytes.data())), static_cast<u_int>(bytes.size()),
                  XDR_DECODE);
    bool ok = filter(&x, value) != 0;
    xdr_destroy(&x);
    return ok;
}

void FaultTable::inject(uint32_t proc, Fault fault)
{
    std::lock_guard lock(mu_);
    if (fault.kind == FaultKind::none || fault.count == 0)
        faults_.erase(proc);
    else
        faults_[proc] = fault;
}

void FaultTable::clear()
{
    std::lock_guard lock(mu_);
    faults_.clear();
}

Fault FaultTable::take(uint32_t proc)
{
    std::lock_guard lock(mu_);
    auto it = faults_.find(proc);
    if (it == faults_.end())
        return Fault{};
    if (it->second.after > 0) {
        --it->second.after;
        return Fault{};
    }
    Fault hit = it->second;
    if (it->second.count > 0 && --it->second.count == 0)
        faults_.erase(it);
    return hit;
}

}  // namespace qdsim::detail
