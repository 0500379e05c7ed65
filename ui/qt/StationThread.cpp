#include "ui/qt/StationThread.h"

namespace vq::ui {

StationThread::StationThread() : thread_([this] { loop(); }) {}

StationThread::~StationThread() {
    stop();
}

void StationThread::post(std::function<void()> job) {
    {
        std::lock_guard lock(m_);
        jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
}

void StationThread::stop() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void StationThread::loop() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_);
            cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

}  // namespace vq::ui
