#include "platform/sim/SimNamedMutex.h"

namespace vq::sim {

namespace {
class SimNamedMutex final : public NamedMutex {
  public:
    explicit SimNamedMutex(std::shared_ptr<std::recursive_mutex> m) : m_(std::move(m)) {}
    void lock() override { m_->lock(); }
    bool tryLock() override { return m_->try_lock(); }
    void unlock() override { m_->unlock(); }

  private:
    std::shared_ptr<std::recursive_mutex> m_;
};
}  // namespace

std::unique_ptr<NamedMutex> SimNamedMutexRegistry::open(std::string_view name) {
    std::lock_guard lock(m_);
    auto it = mutexes_.find(name);
    if (it == mutexes_.end()) {
        it = mutexes_.emplace(std::string(name), std::make_shared<std::recursive_mutex>()).first;
    }
    return std::make_unique<SimNamedMutex>(it->second);
}

}  // namespace vq::sim
