// The thread the station works on for the window: device refreshes, runs, Safe Remove and
// the detail window's device requests, one job after the other, so the user-interface
// thread only draws and dispatches.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vq::ui {

class StationThread {
  public:
    StationThread();
    ~StationThread();
    StationThread(const StationThread&) = delete;
    StationThread& operator=(const StationThread&) = delete;

    // Queues a job; any thread.
    void post(std::function<void()> job);
    // Runs the queued jobs to their end, then stops the thread.
    void stop();
    bool onThread() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    void loop();

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vq::ui
