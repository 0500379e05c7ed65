// A mutex shared by every process of the machine that opens the same name (the
// storage scan takes one so that two stations, or a worker and the main thread, never
// enumerate devices at the same time). It is recursive for the owning thread, like a
// Windows mutex.
#pragma once

#include <memory>
#include <string_view>

namespace vq {

class NamedMutex {
  public:
    virtual ~NamedMutex() = default;
    virtual void lock() = 0;
    virtual bool tryLock() = 0;
    virtual void unlock() = 0;
};

class NamedMutexProvider {
  public:
    virtual ~NamedMutexProvider() = default;
    // Opens the mutex of this name, creating it unowned when nobody has it yet.
    // Returns null only when the system refuses (the reason goes to the diagnostics).
    virtual std::unique_ptr<NamedMutex> open(std::string_view name) = 0;
};

// Scoped ownership of a NamedMutex.
class NamedMutexLock {
  public:
    explicit NamedMutexLock(NamedMutex& m) : m_(m) { m_.lock(); }
    ~NamedMutexLock() { m_.unlock(); }
    NamedMutexLock(const NamedMutexLock&) = delete;
    NamedMutexLock& operator=(const NamedMutexLock&) = delete;

  private:
    NamedMutex& m_;
};

}  // namespace vq
