#include "stop.h"

#include <random>

namespace qdgate {

std::chrono::milliseconds Backoff::next()
{
    thread_local std::minstd_rand random{std::random_device{}()};
    const auto step = step_;
    step_ = std::min(cap_, step_ * 2);
    std::uniform_int_distribution<long> half(step.count() / 2, step.count());
    return std::chrono::milliseconds(half(random));
}

}  // namespace qdgate
