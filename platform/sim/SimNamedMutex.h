// Named mutexes of the emulated machine: an in-process registry, one per SimPlatform,
// so that every thread of the emulated station that opens a name shares one mutex.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/NamedMutex.h"

namespace vq::sim {

class SimNamedMutexRegistry final : public NamedMutexProvider {
  public:
    std::unique_ptr<NamedMutex> open(std::string_view name) override;

  private:
    std::mutex m_;
    std::map<std::string, std::shared_ptr<std::recursive_mutex>, std::less<>> mutexes_;
};

}  // namespace vq::sim
