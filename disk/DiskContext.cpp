#include "disk/DiskContext.h"

#include <chrono>
#include <ctime>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Diagnostics.h"

namespace vq::disk {

LocalTime CurrentLocalTime() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    // std::localtime hands back a shared buffer; workers may ask at the same time.
    static std::mutex m;
    std::lock_guard lock(m);
    const std::tm* tm = std::localtime(&t);
    LocalTime lt;
    if (tm == nullptr)
        return lt;
    lt.year = tm->tm_year + 1900;
    lt.month = tm->tm_mon + 1;
    lt.day = tm->tm_mday;
    lt.hour = tm->tm_hour;
    lt.minute = tm->tm_min;
    lt.second = tm->tm_sec;
    lt.milliseconds = static_cast<int>(ms.count() % 1000);
    return lt;
}

void DiskContext::out(std::string_view text) const {
    if (console)
        console(text);
}

void DiskContext::debug(std::string_view text) const {
    if (platform.diagnostics)
        platform.diagnostics->debugOutput(text);
}

void DiskContext::sleepMs(std::uint32_t ms) const {
    if (platform.clock)
        platform.clock->sleepMs(ms);
}

}  // namespace vq::disk
