#include "run/SerialSection.h"

#include <algorithm>

#include "platform/Clock.h"

namespace vq {

void SerialSection::lock() {
    m_.lock();
    clock_.continueFrom(released_);
    since_ = clock_.threadNs();
}

void SerialSection::unlock() {
    const std::int64_t now = clock_.threadNs();
    held_.fetch_add(std::max<std::int64_t>(0, now - since_), std::memory_order_relaxed);
    released_ = now;
    m_.unlock();
}

}  // namespace vq
