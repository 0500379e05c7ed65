// What the partitioning and formatting procedures are handed: the platform they reach the
// machine through, the bridge transport for the commands they send on an open handle, the
// station's port lock, the access retry count of the run, and where their texts go.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "bridge/Transport.h"
#include "platform/Platform.h"

namespace vq::disk {

// A reference to any lockable (std::mutex, std::recursive_mutex, ...): the station's port
// lock, whatever type the station keeps it in.
class LockRef {
  public:
    template <typename M>
    requires(!std::is_same_v<std::remove_cv_t<M>, LockRef>) LockRef(M& m)
        : object_(&m),
          lock_([](void* p) { static_cast<M*>(p)->lock(); }),
          unlock_([](void* p) { static_cast<M*>(p)->unlock(); }) {}
    void lock() const { lock_(object_); }
    void unlock() const { unlock_(object_); }

  private:
    void* object_;
    void (*lock_)(void*);
    void (*unlock_)(void*);
};

// The local time as the system's GetLocalTime gives it.
struct LocalTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
};

// The machine's local time now.
LocalTime CurrentLocalTime();

struct DiskContext {
    DiskContext(Platform& p, const bridge::Transport& t, LockRef lock, std::uint32_t retry = 5)
        : platform(p), transport(t), portLock(lock), hddAccessRetry(retry) {}

    Platform& platform;
    const bridge::Transport& transport;
    LockRef portLock;
    // g_nHDDAccessRetry: five times the devices of the run; 5 for a one-port command.
    std::uint32_t hddAccessRetry = 5;
    // The procedures' "standard output" (progress and report texts); empty: dropped.
    std::function<void(std::string_view)> console;
    // Source of the local time (the FAT32 volume ID); empty: CurrentLocalTime.
    std::function<LocalTime()> localTime;

    void out(std::string_view text) const;
    void debug(std::string_view text) const;
    void sleepMs(std::uint32_t ms) const;
    LocalTime now() const { return localTime ? localTime() : CurrentLocalTime(); }
};

// Holds a LockRef for a scope.
class LockHolder {
  public:
    explicit LockHolder(const LockRef& lock) : lock_(lock) { lock_.lock(); }
    ~LockHolder() { lock_.unlock(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

  private:
    const LockRef& lock_;
};

}  // namespace vq::disk
